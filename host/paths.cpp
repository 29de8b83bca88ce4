/*
 * Host paths (see paths.h).
 */
#include "paths.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace host {

namespace {

std::string Environment(const char *name, const char *fallback)
{
    const char *value = std::getenv(name);
    return value != nullptr && value[0] != 0 ? value : fallback;
}

std::string Narrow(const std::u16string &text)
{
    std::string result;
    for (char16_t c : text) {
        if (c >= 0x80)
            return std::string(); /* driver paths of this machine are ASCII */
        result.push_back((char)c);
    }
    return result;
}

bool StartsWithNoCase(const std::string &text, const char *prefix)
{
    size_t n = std::strlen(prefix);
    return text.size() >= n && strncasecmp(text.c_str(), prefix, n) == 0;
}

/* The host directory behind a drive letter: C: is the root; others from VOREL_HOST_DRIVES. */
std::string DriveDirectory(char letter, const Paths &paths)
{
    letter = (char)(letter & ~0x20);
    if (letter == 'C')
        return "";
    const std::string &list = paths.hostDrives;
    size_t start = 0;
    while (start < list.size()) {
        size_t end = list.find_first_of(",;", start);
        if (end == std::string::npos)
            end = list.size();
        std::string entry = list.substr(start, end - start);
        if (entry.size() > 2 && entry[1] == '=' && (char)(entry[0] & ~0x20) == letter)
            return entry.substr(2);
        start = end + 1;
    }
    return "/nonexistent-drive";
}

/* "x\y\z" below a Linux directory. */
std::string Below(const std::string &directory, std::string relative)
{
    for (char &c : relative)
        if (c == '\\')
            c = '/';
    while (!relative.empty() && relative[0] == '/')
        relative.erase(0, 1);
    if (relative.find("..") != std::string::npos)
        return std::string();
    return directory + "/" + relative;
}

} // namespace

Paths PathsFromEnvironment()
{
    Paths paths;
    paths.runtimeDirectory = Environment("VOREL_RUNTIME_DIR", "/run/vorel");
    paths.stateDirectory = Environment("VOREL_STATE_DIR", "/var/lib/vorel");
    paths.mountRoot = Environment("VOREL_MOUNT_ROOT", "/mnt/vorel");
    paths.systemDirectory = Environment("VOREL_SYSTEM_DIR", "/usr/local/lib/vorel");
    paths.hostDrives = Environment("VOREL_HOST_DRIVES", "");
    return paths;
}

std::string LinuxPathOfImage(const std::u16string &imagePath, const Paths &paths)
{
    std::string path = Narrow(imagePath);
    if (path.empty())
        return path;
    if (StartsWithNoCase(path, "\\??\\"))
        path.erase(0, 4);
    if (StartsWithNoCase(path, "\\SystemRoot\\System32\\"))
        return Below(paths.systemDirectory, path.substr(std::strlen("\\SystemRoot\\System32\\")));
    if (StartsWithNoCase(path, "System32\\"))
        return Below(paths.systemDirectory, path.substr(std::strlen("System32\\")));
    if (path.size() >= 3 && std::isalpha((unsigned char)path[0]) && path[1] == ':' && path[2] == '\\')
        return Below(DriveDirectory(path[0], paths), path.substr(3));
    return std::string();
}

std::u16string ImagePathOf(const std::string &linuxPath)
{
    std::u16string result = u"\\??\\C:";
    for (char c : linuxPath)
        result.push_back(c == '/' ? u'\\' : (char16_t)(unsigned char)c);
    return result;
}

} // namespace host
