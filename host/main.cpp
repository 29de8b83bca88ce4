/*
 * vorelhost: the machine. It boots the stand-in kernel, loads the driver as the
 * service "vorel" (from the service key's ImagePath, or from --driver PATH, which
 * also writes the service key when there is none), and serves user-mode processes
 * on $VOREL_RUNTIME_DIR/vorel.sock.
 *
 * SIGTERM or SIGINT end the machine as Windows ends a system: the registry is
 * flushed, the clients' processes end (their handles close), every driver
 * registered for it gets the shutdown request, the driver is unloaded, the registry
 * is flushed again, and the machine is shut down with its audit. The exit code is 0
 * when all of it went cleanly (every hive written included), and the host exits
 * within a time limit whatever a driver does.
 *
 * A machine that cannot boot on its state (a state directory held by another
 * machine or tool, a hive that is no regular file or cannot be read) is reported
 * and the host exits 1.
 *
 *   vorelhost [--driver PATH] [--daemon]
 */
#include "paths.h"
#include "service_key.h"

#include "machine.h"
#include "server.h"

#include <ntdef.h>
#include <ntstatus.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kService[] = "vorel";
const char16_t kServiceWide[] = u"vorel";
const char16_t kDisplayName[] = u"Quenby Vorel";
constexpr int kShutdownSeconds = 30;

struct Options {
    std::string driver;
    bool daemon = false;
};

void Say(const char *format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char *format, ...)
{
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    std::fprintf(stderr, "vorelhost: %s\n", line);
}

void Usage()
{
    std::fprintf(stderr, "usage: vorelhost [--driver PATH] [--daemon]\n"
                         "  --driver PATH  load this driver module (and register it when the service\n"
                         "                 \"vorel\" is not installed)\n"
                         "  --daemon       detach; the pid file is $VOREL_RUNTIME_DIR/vorelhost.pid\n");
}

bool ParseOptions(int argc, char **argv, Options *options)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--driver") == 0 && i + 1 < argc) {
            options->driver = argv[++i];
        } else if (std::strncmp(argv[i], "--driver=", 9) == 0) {
            options->driver = argv[i] + 9;
        } else if (std::strcmp(argv[i], "--daemon") == 0) {
            options->daemon = true;
        } else {
            return false;
        }
    }
    return true;
}

/* One host per runtime directory: the pid file's lock says who serves it. */
int LockPidFile(const std::string &path)
{
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        Say("cannot open %s: %s", path.c_str(), std::strerror(errno));
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        char pid[32] = {};
        (void)!read(fd, pid, sizeof(pid) - 1);
        Say("another host serves this runtime directory (pid %s)", pid[0] ? pid : "unknown");
        close(fd);
        return -1;
    }
    return fd;
}

void WritePid(int fd)
{
    char text[32];
    int length = std::snprintf(text, sizeof(text), "%d\n", (int)getpid());
    if (ftruncate(fd, 0) != 0 || pwrite(fd, text, (size_t)length, 0) != length)
        Say("cannot write the pid file: %s", std::strerror(errno));
}

/*
 * Detaches: the parent waits until the child reports that it serves (or why it
 * could not) and exits with that, so "vorelhost --daemon && vorelctl ..." works.
 * Returns the descriptor the child reports on.
 */
int Daemonize(const std::string &logPath)
{
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        Say("pipe: %s", std::strerror(errno));
        std::exit(1);
    }
    pid_t child = fork();
    if (child < 0) {
        Say("fork: %s", std::strerror(errno));
        std::exit(1);
    }
    if (child > 0) {
        close(ready[1]);
        unsigned char code = 1;
        ssize_t n;
        do
            n = read(ready[0], &code, 1);
        while (n < 0 && errno == EINTR);
        std::_Exit(n == 1 ? code : 1);
    }
    close(ready[0]);
    setsid();
    umask(022);
    if (chdir("/") != 0)
        std::exit(1);
    int null = open("/dev/null", O_RDWR);
    int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (null >= 0) {
        dup2(null, STDIN_FILENO);
        dup2(log >= 0 ? log : null, STDOUT_FILENO);
        dup2(log >= 0 ? log : null, STDERR_FILENO);
    }
    return ready[1];
}

void Report(int readyFd, unsigned char code)
{
    if (readyFd >= 0) {
        (void)!write(readyFd, &code, 1);
        close(readyFd);
    }
}

/* The driver image to load: --driver, else the service key's ImagePath. Empty when none. */
std::string DriverImage(const Options &options, const host::Paths &paths)
{
    host::ServiceKey key;
    int32_t status = host::ReadServiceKey(kServiceWide, &key);
    if (!NT_SUCCESS(status)) {
        Say("cannot read the service key of '%s' (status 0x%08X)", kService, (unsigned)status);
        return std::string();
    }
    if (!options.driver.empty()) {
        char resolved[PATH_MAX];
        if (realpath(options.driver.c_str(), resolved) == nullptr) {
            Say("%s: %s", options.driver.c_str(), std::strerror(errno));
            return std::string();
        }
        if (!key.exists) {
            status = host::WriteServiceKey(kServiceWide, kDisplayName, host::ImagePathOf(resolved));
            if (!NT_SUCCESS(status))
                Say("cannot write the service key of '%s' (status 0x%08X)", kService, (unsigned)status);
        }
        return resolved;
    }
    if (!key.exists || key.imagePath.empty()) {
        Say("the service '%s' is not installed; start with --driver PATH", kService);
        return std::string();
    }
    std::string path = host::LinuxPathOfImage(key.imagePath, paths);
    if (path.empty())
        Say("the service '%s' names an image path this machine cannot reach", kService);
    return path;
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        Usage();
        return 2;
    }
    host::Paths paths = host::PathsFromEnvironment();
    std::string problem = host::PrepareRuntimeDirectory(paths.runtimeDirectory);
    if (!problem.empty()) {
        Say("%s", problem.c_str());
        return 1;
    }
    int pidFd = LockPidFile(paths.runtimeDirectory + "/vorelhost.pid");
    if (pidFd < 0)
        return 1;
    int readyFd = options.daemon ? Daemonize(paths.runtimeDirectory + "/vorelhost.log") : -1;
    WritePid(pidFd);

    // The signals that end the machine are taken by the main thread alone: every thread
    // the machine starts inherits this mask.
    sigset_t endSignals;
    sigemptyset(&endSignals);
    sigaddset(&endSignals, SIGTERM);
    sigaddset(&endSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    machine::Config config;
    config.clock = machine::ClockMode::Real;
    config.stateDirectory = paths.stateDirectory;
    config.runtimeDirectory = paths.runtimeDirectory;
    config.availablePages = 0; /* the host's real figure */
    long physical = sysconf(_SC_PHYS_PAGES);
    if (physical > 0)
        config.physicalPages = (uint64_t)physical;
    std::string bootError;
    if (!machine::TryBoot(config, &bootError)) {
        Say("the machine cannot boot: %s", bootError.c_str());
        Report(readyFd, 1);
        unlink((paths.runtimeDirectory + "/vorelhost.pid").c_str());
        close(pidFd);
        return 1;
    }

    int exitCode = 0;
    std::unique_ptr<transport::Server> server;
    std::string image = DriverImage(options, paths);
    if (image.empty()) {
        exitCode = 1;
    } else {
        int32_t status = machine::LoadDriver(image, kService);
        if (!NT_SUCCESS(status)) {
            Say("the driver %s did not start (status 0x%08X)", image.c_str(), (unsigned)status);
            exitCode = 1;
        }
    }
    if (exitCode == 0) {
        transport::ServerOptions serverOptions;
        serverOptions.socketPath = paths.runtimeDirectory + "/vorel.sock";
        std::string error;
        server = transport::Server::Start(serverOptions, &error);
        if (server == nullptr) {
            Say("cannot serve: %s", error.c_str());
            exitCode = 1;
        } else {
            Say("serving %s (driver %s)", serverOptions.socketPath.c_str(), image.c_str());
        }
    }

    if (exitCode == 0) {
        Report(readyFd, 0);
        readyFd = -1;
        machine::DetachCurrentThread();
        int signal = 0;
        while (sigwait(&endSignals, &signal) != 0)
            ;
        machine::AttachCurrentThread();
        Say("%s: shutting the machine down", strsignal(signal));
        std::thread([] {
            std::this_thread::sleep_for(std::chrono::seconds(kShutdownSeconds));
            std::fprintf(stderr, "vorelhost: shutdown did not finish within %d seconds\n", kShutdownSeconds);
            std::_Exit(1);
        }).detach();
        // Written before anything can hang on a client: what administrators set is on
        // disk even if the time limit ends the host below.
        if (!machine::FlushRegistry()) {
            Say("the registry could not be written");
            exitCode = 1;
        }
        server->Stop();
        server.reset();
        machine::SystemShutdown();
    }
    if (machine::IsDriverLoaded(kService)) {
        int32_t status = machine::UnloadDriver(kService);
        if (!NT_SUCCESS(status)) {
            Say("the driver did not unload (status 0x%08X)", (unsigned)status);
            exitCode = 1;
        }
    }
    // What the driver wrote while it unloaded.
    if (!machine::FlushRegistry()) {
        Say("the registry could not be written after the driver's unload");
        exitCode = 1;
    }
    machine::AuditReport report = machine::Shutdown();
    if (!report.Clean()) {
        Say("the machine did not shut down clean:\n%s", report.Text().c_str());
        exitCode = 1;
    }
    if (!machine::RegistryWrittenAtShutdown()) {
        Say("the registry could not be written at shutdown");
        exitCode = 1;
    }
    Report(readyFd, (unsigned char)exitCode);
    unlink((paths.runtimeDirectory + "/vorelhost.pid").c_str());
    close(pidFd);
    return exitCode;
}
