/*
 * The host as the driver service's process: started and stopped for the service
 * control manager (see advapi32_internal.h).
 */
#include "advapi32_internal.h"

#include "client.h"
#include "registry_access.h"
#include "win32_harness.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace advapi {

namespace {

constexpr const char *kUnit = "vorel.service";
/* A host shuts down within its own time limit (a minute); this waits a little longer. */
constexpr auto kStopLimit = std::chrono::seconds(75);
constexpr auto kStartLimit = std::chrono::seconds(60);

std::string PidFilePath()
{
    return RuntimeDirectory() + "/vorelhost.pid";
}

/* The host's pid while one holds the pid file; 0 when none does. */
pid_t RunningHostPid()
{
    int fd = open(PidFilePath().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return 0;
    pid_t pid = 0;
    if (flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        char text[32] = {};
        if (pread(fd, text, sizeof(text) - 1, 0) > 0)
            pid = (pid_t)std::strtol(text, nullptr, 10);
        if (pid <= 0)
            pid = -1; /* held, but the pid is not written yet */
    }
    close(fd);
    return pid;
}

bool SystemdManagesMachine()
{
    struct stat st;
    if (stat("/run/systemd/system", &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    for (const char *directory : {"/etc/systemd/system/", "/usr/local/lib/systemd/system/", "/lib/systemd/system/",
                                  "/usr/lib/systemd/system/"})
        if (access((std::string(directory) + kUnit).c_str(), F_OK) == 0)
            return true;
    return false;
}

/* vorelhost next to this program, else the first in PATH; empty when there is none. */
std::string FindHostProgram()
{
    char self[4096];
    ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (length > 0) {
        std::string path(self, (size_t)length);
        path = path.substr(0, path.find_last_of('/') + 1) + "vorelhost";
        if (access(path.c_str(), X_OK) == 0)
            return path;
    }
    const char *search = std::getenv("PATH");
    std::string list = search != nullptr ? search : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(':', start);
        if (end == std::string::npos)
            end = list.size();
        std::string directory = list.substr(start, end - start);
        if (!directory.empty()) {
            std::string path = directory + "/vorelhost";
            if (access(path.c_str(), X_OK) == 0)
                return path;
        }
        start = end + 1;
    }
    return std::string();
}

/*
 * Runs a program with its standard output sent to /dev/null (what the tool prints is
 * its own), its standard error shared; the exit code, or -1 when it could not run.
 */
int RunProgram(const std::vector<std::string> &arguments)
{
    std::vector<char *> argv;
    for (const std::string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t child = fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, STDIN_FILENO);
            dup2(null, STDOUT_FILENO);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string SystemctlProgram()
{
    for (const char *path : {"/usr/bin/systemctl", "/bin/systemctl"})
        if (access(path, X_OK) == 0)
            return path;
    return std::string();
}

template <typename Predicate>
bool WaitFor(Predicate done, std::chrono::seconds limit)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

} // namespace

bool HostRunning()
{
    return RunningHostPid() != 0;
}

DWORD StartHost()
{
    if (SystemdManagesMachine()) {
        std::string systemctl = SystemctlProgram();
        if (systemctl.empty() || RunProgram({systemctl, "start", kUnit}) != 0)
            return ERROR_SERVICE_REQUEST_TIMEOUT;
    } else {
        std::string host = FindHostProgram();
        if (host.empty())
            return ERROR_FILE_NOT_FOUND;
        // The daemon's first process exits once the host serves, or with the reason it does not.
        if (RunProgram({host, "--daemon"}) != 0)
            return ERROR_SERVICE_REQUEST_TIMEOUT;
    }
    return WaitFor([] { return RunningHostPid() > 0; }, kStartLimit) ? ERROR_SUCCESS : ERROR_SERVICE_REQUEST_TIMEOUT;
}

DWORD StopHost()
{
    // This process's own connection would only hold the shutdown up.
    win32::HostConnection().Disconnect();
    if (SystemdManagesMachine()) {
        std::string systemctl = SystemctlProgram();
        if (systemctl.empty() || RunProgram({systemctl, "stop", kUnit}) != 0)
            return ERROR_SERVICE_REQUEST_TIMEOUT;
    } else {
        pid_t pid = RunningHostPid();
        if (pid == 0)
            return ERROR_SERVICE_NOT_ACTIVE;
        if (pid < 0 && !WaitFor([&pid] { return (pid = RunningHostPid()) >= 0; }, std::chrono::seconds(5)))
            return ERROR_SERVICE_REQUEST_TIMEOUT;
        if (pid > 0 && kill(pid, SIGTERM) != 0)
            return errno == EPERM ? ERROR_ACCESS_DENIED : ERROR_SERVICE_NOT_ACTIVE;
    }
    return WaitFor([] { return RunningHostPid() == 0; }, kStopLimit) ? ERROR_SUCCESS : ERROR_SERVICE_REQUEST_TIMEOUT;
}

} // namespace advapi
