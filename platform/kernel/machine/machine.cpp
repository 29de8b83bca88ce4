/*
 * The machine: boot, shutdown and audit of every registered component.
 */
#include "machine.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace machine {
namespace {

struct MachineState {
    std::vector<Component> components;
    bool booted = false;
    Config config;
    /* Set by FailBoot while a boot runs; read by the boot loop after each component. */
    bool booting = false;
    bool bootFailed = false;
    std::string bootFailure;
};

MachineState &State()
{
    static MachineState state;
    return state;
}

std::vector<Component> SortedComponents()
{
    auto components = State().components;
    std::stable_sort(components.begin(), components.end(),
                     [](const Component &a, const Component &b) { return a.order < b.order; });
    return components;
}

} // namespace

std::string AuditReport::Text() const
{
    std::string text;
    for (const auto &finding : findings)
        text += finding + "\n";
    return text;
}

void RegisterComponent(const Component &component)
{
    State().components.push_back(component);
}

bool TryBoot(const Config &config, std::string *error)
{
    auto &state = State();
    if (state.booted) {
        std::fprintf(stderr, "machine: Boot called twice\n");
        std::abort();
    }
    state.config = config;
    state.booted = true;
    state.booting = true;
    state.bootFailed = false;
    state.bootFailure.clear();
    auto components = SortedComponents();
    size_t next = 0;
    for (; next < components.size() && !state.bootFailed; ++next)
        if (components[next].boot)
            components[next].boot();
    state.booting = false;
    if (!state.bootFailed)
        return true;
    // components[next - 1] failed and undid its own work; the ones before it unwind
    // last booted first, as at a shutdown.
    for (size_t i = next - 1; i-- > 0;)
        if (components[i].shutdown)
            components[i].shutdown();
    state.booted = false;
    if (error != nullptr)
        *error = state.bootFailure;
    return false;
}

void Boot(const Config &config)
{
    std::string error;
    if (!TryBoot(config, &error)) {
        std::fprintf(stderr, "machine: boot failed: %s\n", error.c_str());
        std::abort();
    }
}

void FailBoot(const std::string &reason)
{
    auto &state = State();
    if (!state.booting) {
        std::fprintf(stderr, "machine: FailBoot outside a boot (%s)\n", reason.c_str());
        std::abort();
    }
    if (!state.bootFailed) {
        state.bootFailed = true;
        state.bootFailure = reason;
    }
}

AuditReport Audit()
{
    // Deferred work (object deletions, the end of a driver's unload) finishes before
    // anything is counted; what cannot finish is reported by the worker threads' audit.
    if (State().booted)
        DrainSystemWork();
    AuditReport report;
    for (const auto &component : SortedComponents())
        if (component.audit)
            component.audit(report);
    return report;
}

AuditReport Shutdown()
{
    auto &state = State();
    AuditReport report;
    if (!state.booted)
        return report;
    report = Audit();
    auto components = SortedComponents();
    for (auto it = components.rbegin(); it != components.rend(); ++it)
        if (it->shutdown)
            it->shutdown();
    state.booted = false;
    return report;
}

bool IsBooted()
{
    return State().booted;
}

const Config &CurrentConfig()
{
    return State().config;
}

} // namespace machine
