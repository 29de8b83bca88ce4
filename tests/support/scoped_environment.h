/*
 * An environment variable set for a test and put back as it was afterwards
 * (unset again when it was not set). The machine reads its drives and mount root
 * from the environment when it boots, so fixtures set them before booting.
 */
#pragma once

#include <cstdlib>
#include <string>

namespace support {

class ScopedEnvironment {
public:
    ScopedEnvironment() = default;
    ScopedEnvironment(const ScopedEnvironment &) = delete;
    ScopedEnvironment &operator=(const ScopedEnvironment &) = delete;
    ~ScopedEnvironment() { Restore(); }

    void Set(const char *name, const std::string &value)
    {
        Restore();
        name_ = name;
        const char *old = std::getenv(name);
        had_ = old != nullptr;
        saved_ = had_ ? old : "";
        setenv(name, value.c_str(), 1);
    }
    void Restore()
    {
        if (name_.empty())
            return;
        if (had_)
            setenv(name_.c_str(), saved_.c_str(), 1);
        else
            unsetenv(name_.c_str());
        name_.clear();
    }

private:
    std::string name_, saved_;
    bool had_ = false;
};

} // namespace support
