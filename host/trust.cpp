/*
 * Which files and directories the host may trust (see trust.h).
 */
#include "trust.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace host {

namespace {

/* "/a/b/c" -> "/a", "/a/b", "/a/b/c" (the root itself first). */
std::vector<std::string> Prefixes(const std::string &path)
{
    std::vector<std::string> prefixes{"/"};
    for (size_t slash = path.find('/', 1); ; slash = path.find('/', slash + 1)) {
        std::string prefix = path.substr(0, slash);
        if (prefix.size() > 1 && prefix.back() != '/' && prefix != prefixes.back())
            prefixes.push_back(prefix);
        if (slash == std::string::npos)
            break;
    }
    return prefixes;
}

/* The path from the root, without trailing slashes. */
std::string Absolute(std::string path)
{
    if (path.empty() || path[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof(cwd)) != nullptr)
            path = std::string(cwd) + "/" + path;
    }
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string ParentOf(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    return slash == 0 || slash == std::string::npos ? std::string("/") : path.substr(0, slash);
}

/* A directory others cannot change the entries of, or a sticky one where they cannot
 * move another user's entry. */
std::string CheckDirectoryOnTheWay(const std::string &path, const struct stat &info)
{
    if (!IsTrustedUser(info.st_uid))
        return path + " belongs to " + DescribeUser(info.st_uid);
    bool sticky = (info.st_mode & S_ISVTX) != 0;
    bool othersWrite = (info.st_mode & S_IWOTH) != 0 || ((info.st_mode & S_IWGRP) != 0 && info.st_gid != 0);
    if (othersWrite && !sticky)
        return path + " is writable by other users";
    return std::string();
}

/* The deepest prefix of path that exists, resolved; empty when none resolves. */
std::string ResolveExisting(const std::string &path)
{
    std::vector<std::string> prefixes = Prefixes(path);
    for (size_t i = prefixes.size(); i-- > 0;) {
        char resolved[PATH_MAX];
        if (realpath(prefixes[i].c_str(), resolved) != nullptr)
            return resolved;
    }
    return std::string();
}

} // namespace

bool IsTrustedUser(uid_t uid)
{
    return uid == 0 || uid == geteuid();
}

std::string DescribeUser(uid_t uid)
{
    struct passwd entry;
    struct passwd *found = nullptr;
    char buffer[1024];
    if (getpwuid_r(uid, &entry, buffer, sizeof(buffer), &found) == 0 && found != nullptr)
        return std::string("user ") + found->pw_name + " (uid " + std::to_string(uid) + ")";
    return "uid " + std::to_string(uid);
}

std::string CheckTrustedPath(const std::string &given)
{
    std::string path = Absolute(given);
    // The path as given: a link on the way must be one no other user can replace.
    for (const std::string &prefix : Prefixes(path)) {
        struct stat info;
        if (lstat(prefix.c_str(), &info) != 0)
            break;
        if (S_ISLNK(info.st_mode) && !IsTrustedUser(info.st_uid))
            return prefix + " is a symbolic link of " + DescribeUser(info.st_uid);
    }
    // Where it really leads: every directory there is checked, the last one included.
    std::string resolved = ResolveExisting(path);
    if (resolved.empty())
        return path + ": " + std::strerror(errno);
    for (const std::string &prefix : Prefixes(resolved)) {
        struct stat info;
        if (lstat(prefix.c_str(), &info) != 0)
            return prefix + ": " + std::strerror(errno);
        if (!S_ISDIR(info.st_mode))
            continue; /* the file at the end: its owner is for the caller to judge */
        std::string problem = CheckDirectoryOnTheWay(prefix, info);
        if (!problem.empty())
            return problem;
    }
    return std::string();
}

std::string PrepareHostDirectory(const std::string &given, const char *purpose)
{
    std::string directory = Absolute(given);
    std::string problem = CheckTrustedPath(ParentOf(directory));
    if (!problem.empty())
        return std::string("the ") + purpose + " " + directory + " is not safe: " + problem;
    struct stat info;
    if (lstat(directory.c_str(), &info) != 0) {
        if (errno != ENOENT)
            return directory + ": " + std::strerror(errno);
        // Parents as the administrator would make them; the directory itself for every
        // user to read. mkdir's mode is cut by the umask, never widened.
        for (size_t slash = directory.find('/', 1); slash != std::string::npos;
             slash = directory.find('/', slash + 1))
            mkdir(directory.substr(0, slash).c_str(), 0755);
        if (mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST)
            return directory + ": " + std::strerror(errno);
        if (lstat(directory.c_str(), &info) != 0)
            return directory + ": " + std::strerror(errno);
    }
    if (S_ISLNK(info.st_mode))
        return std::string("the ") + purpose + " " + directory + " is a symbolic link; refusing to use it";
    if (!S_ISDIR(info.st_mode))
        return std::string("the ") + purpose + " " + directory + " is not a directory";
    if (info.st_uid != geteuid())
        return std::string("the ") + purpose + " " + directory + " belongs to " + DescribeUser(info.st_uid) +
               ", not to the host's " + DescribeUser(geteuid()) + "; refusing to use it";
    if (info.st_mode & (S_IWGRP | S_IWOTH))
        return std::string("the ") + purpose + " " + directory + " is writable by other users; refusing to use it";
    if ((info.st_mode & 07777) != 0755 && chmod(directory.c_str(), 0755) != 0)
        return directory + ": " + std::strerror(errno);
    // What was made just now is checked again, the parents it made included.
    problem = CheckTrustedPath(ParentOf(directory));
    if (!problem.empty())
        return std::string("the ") + purpose + " " + directory + " is not safe: " + problem;
    return std::string();
}

std::string CheckDriverImage(const std::string &path)
{
    std::string problem = CheckTrustedPath(path);
    if (!problem.empty())
        return "the driver image " + path + " is not safe to load: " + problem;
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        return path + ": " + std::strerror(errno);
    if (!S_ISREG(info.st_mode))
        return "the driver image " + path + " is not a regular file";
    if (!IsTrustedUser(info.st_uid))
        return "the driver image " + path + " belongs to " + DescribeUser(info.st_uid) + "; refusing to load it";
    if ((info.st_mode & S_IWOTH) || ((info.st_mode & S_IWGRP) && info.st_gid != 0))
        return "the driver image " + path + " is writable by other users; refusing to load it";
    return std::string();
}

} // namespace host
