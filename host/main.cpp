/*
 * vorelhost: the machine. It boots the stand-in kernel, loads the driver as the
 * service "vorel" (from the service key's ImagePath, or from --driver PATH, which
 * also writes the service key when there is none), and serves user-mode processes
 * on $VOREL_RUNTIME_DIR/vorel.sock. Every volume that gets a drive letter is mounted
 * for Linux programs at $VOREL_MOUNT_ROOT/<letter> (host/fuse).
 *
 * SIGTERM or SIGINT end the machine as Windows ends a system: the mounts go, the clients'
 * processes end (their handles close), every driver registered for it gets the
 * shutdown request, the driver is unloaded, and the machine is shut down with its
 * audit. The exit code is 0 when all of it went cleanly, and the host exits within
 * a time limit whatever a driver does.
 *
 * The registry is written when the driver flushes a key and within a second of any
 * change, and once more before the host waits on its clients at shutdown, so what
 * an administrator set survives a crash and a shutdown that runs out of time; a
 * hive that cannot be written makes the exit code 1. A machine that cannot boot on
 * its state (a state directory held by another machine or tool, a hive that is no
 * regular file or cannot be read) is reported and the host exits 1.
 *
 *   vorelhost [--driver PATH] [--daemon] [--log-limit BYTES] [--cache SECONDS]
 */
#include "bridge.h"
#include "log.h"
#include "paths.h"
#include "service_key.h"
#include "trust.h"

#include "machine.h"
#include "mount_manager.h"
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
#include <system_error>
#include <thread>
#include <utility>

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
    bool help = false;
    uint64_t logLimit = host::kDefaultLogLimitBytes;
    double cacheSeconds = 1.0;
};

void Say(const char *format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char *format, ...)
{
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    host::LogLine(line);
}

/* A text of several lines, one log line each. */
void SayLines(const std::string &text)
{
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        Say("  %s", text.substr(start, end - start).c_str());
        start = end + 1;
    }
}

void Usage(FILE *stream)
{
    std::fprintf(stream, "usage: vorelhost [--driver PATH] [--daemon] [--log-limit BYTES] [--cache SECONDS]\n"
                         "  --driver PATH      load this driver module (and register it when the service\n"
                         "                     \"vorel\" is not installed)\n"
                         "  --daemon           detach once serving; the pid file is $VOREL_RUNTIME_DIR/vorelhost.pid\n"
                         "                     and the log $VOREL_RUNTIME_DIR/vorelhost.log\n"
                         "  --log-limit BYTES  move the log to vorelhost.log.1 when it would grow past this\n"
                         "                     (default 1048576)\n"
                         "  --cache SECONDS    how long Linux caches names and attributes of the mounted\n"
                         "                     volumes (default 1; changes made elsewhere end it early)\n"
                         "  --help             show this and exit\n");
}

bool ParseSize(const char *text, uint64_t *value)
{
    char *end = nullptr;
    errno = 0;
    unsigned long long parsed = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != 0 || text[0] == '-' || parsed < 4096)
        return false;
    *value = parsed;
    return true;
}

bool ParseSeconds(const char *text, double *value)
{
    char *end = nullptr;
    errno = 0;
    double parsed = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != 0 || !(parsed > 0) || parsed > 3600)
        return false;
    *value = parsed;
    return true;
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
        } else if (std::strcmp(argv[i], "--log-limit") == 0 && i + 1 < argc) {
            if (!ParseSize(argv[++i], &options->logLimit))
                return false;
        } else if (std::strcmp(argv[i], "--cache") == 0 && i + 1 < argc) {
            if (!ParseSeconds(argv[++i], &options->cacheSeconds))
                return false;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            options->help = true;
        } else {
            return false;
        }
    }
    return true;
}

/* One host per runtime directory: the pid file's lock says who serves it. */
int LockPidFile(const std::string &path)
{
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        Say("cannot open %s: %s", path.c_str(), std::strerror(errno));
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        char pid[32] = {};
        (void)!read(fd, pid, sizeof(pid) - 1);
        pid[std::strcspn(pid, "\r\n")] = 0;
        Say("another host serves this runtime directory (pid %s)", pid[0] ? pid : "unknown");
        close(fd);
        return -1;
    }
    return fd;
}

/* Gives the runtime directory up before a waiting parent hears the outcome, so a host
 * started right after finds it free. */
void ReleasePidFile(const host::Paths &paths, int fd)
{
    unlink((paths.runtimeDirectory + "/vorelhost.pid").c_str());
    close(fd);
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
 * Until then the child's lines still go to the terminal, so a start that fails is
 * reported where it was asked for. Returns the descriptor the child reports on.
 */
int Daemonize()
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
    if (chdir("/") != 0)
        std::exit(1);
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDIN_FILENO);
        close(null);
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

/* The driver image to load: --driver, else the service key's ImagePath. Empty when
 * there is none, or none the host may trust. */
std::string DriverImage(const Options &options, const host::Paths &paths)
{
    host::ServiceKey key;
    int32_t status = host::ReadServiceKey(kServiceWide, &key);
    if (!NT_SUCCESS(status)) {
        Say("cannot read the service key of '%s' (status 0x%08X)", kService, (unsigned)status);
        return std::string();
    }
    if (key.exists && key.markedForDelete) {
        // The service was deleted while its driver ran: it goes now, and is not loaded.
        status = host::RemoveServiceKey(kServiceWide);
        if (!NT_SUCCESS(status)) {
            Say("cannot remove the deleted service '%s' (status 0x%08X)", kService, (unsigned)status);
            return std::string();
        }
        Say("the service '%s' was deleted; its key is removed", kService);
        key = host::ServiceKey();
    }
    std::string path;
    if (!options.driver.empty()) {
        char resolved[PATH_MAX];
        if (realpath(options.driver.c_str(), resolved) == nullptr) {
            Say("%s: %s", options.driver.c_str(), std::strerror(errno));
            return std::string();
        }
        path = resolved;
    } else if (!key.exists || key.imagePath.empty()) {
        Say("the service '%s' is not installed; start with --driver PATH", kService);
        return std::string();
    } else {
        path = host::LinuxPathOfImage(key.imagePath, paths);
        if (path.empty()) {
            Say("the service '%s' names an image path this machine cannot reach", kService);
            return std::string();
        }
    }
    // The host runs the image as its kernel: only one that no other user can change.
    std::string problem = host::CheckDriverImage(path);
    if (!problem.empty()) {
        Say("%s", problem.c_str());
        return std::string();
    }
    if (!options.driver.empty() && !key.exists) {
        status = host::WriteServiceKey(kServiceWide, kDisplayName, host::ImagePathOf(path));
        if (!NT_SUCCESS(status))
            Say("cannot write the service key of '%s' (status 0x%08X)", kService, (unsigned)status);
    }
    return path;
}

/* Ends the process if shutdown outlives its time limit, whatever a driver does. */
void StartShutdownWatchdog()
{
    try {
        std::thread([] {
            std::this_thread::sleep_for(std::chrono::seconds(kShutdownSeconds));
            host::LogLine("shutdown did not finish within the time limit");
            std::_Exit(1);
        }).detach();
    } catch (const std::system_error &) {
        Say("cannot start the shutdown watchdog; shutting down without it");
    }
}

/* Writes what changed in the registry; false (said) when a hive could not be written. */
bool SaveRegistry(const char *when)
{
    if (machine::FlushRegistry())
        return true;
    Say("the registry could not be written %s; settings changed since it was last written are lost", when);
    return false;
}

/* The mount manager's letter observer: one log line per letter given or taken, and
 * the change queued for the FUSE bridge's thread, so it never calls back into the driver. */
fusebridge::Bridge *letterBridge = nullptr;

void ObserveLetter(char16_t letter, std::u16string deviceName, bool arrived)
{
    if (letterBridge != nullptr)
        letterBridge->LetterChanged(letter, deviceName, arrived);
    std::string device;
    for (char16_t c : deviceName)
        device += c < 0x80 ? (char)c : '?';
    std::string text = std::string("letter ") + (char)letter + ":";
    text += arrived ? " -> " + host::EscapeText(device.data(), device.size()) : std::string(" removed");
    host::LogLine(text.c_str());
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        Usage(stderr);
        return 2;
    }
    if (options.help) {
        Usage(stdout);
        return 0;
    }
    umask(022); /* nothing the host makes is writable by other users */
    host::Paths paths = host::PathsFromEnvironment();
    for (auto [directory, purpose] : {std::pair<const std::string &, const char *>{paths.runtimeDirectory, "runtime directory"},
                                      {paths.stateDirectory, "state directory"}}) {
        std::string problem = host::PrepareHostDirectory(directory, purpose);
        if (!problem.empty()) {
            Say("%s", problem.c_str());
            return 1;
        }
    }
    int pidFd = LockPidFile(paths.runtimeDirectory + "/vorelhost.pid");
    if (pidFd < 0)
        return 1;
    int readyFd = options.daemon ? Daemonize() : -1;
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
#ifdef NDEBUG
    /* The verifier is a development aid, as on Windows: the host built for users runs without it. */
    config.verifier = false;
#endif
    long physical = sysconf(_SC_PHYS_PAGES);
    if (physical > 0)
        config.physicalPages = (uint64_t)physical;
    std::string bootError;
    if (!machine::TryBoot(config, &bootError)) {
        Say("the machine did not boot: %s", bootError.c_str());
        ReleasePidFile(paths, pidFd);
        Report(readyFd, 1);
        return 1;
    }

    // Letters given to volumes and taken away; the mounts that follow them are made on
    // the bridge's own thread, never inside the mount manager's call.
    fusebridge::BridgeOptions bridgeOptions;
    bridgeOptions.mountRoot = paths.mountRoot;
    bridgeOptions.cacheSeconds = options.cacheSeconds;
    bridgeOptions.log = host::LogLine;
    fusebridge::Bridge bridge(bridgeOptions);
    std::string bridgeError;
    if (bridge.Start(&bridgeError))
        letterBridge = &bridge;
    else
        Say("volumes will not be mounted for Linux programs: %s", bridgeError.c_str());
    machine::SetLetterObserver(ObserveLetter);
    machine::SetVolumeEventObserver([&bridge](std::u16string deviceName, uint32_t code) {
        if (letterBridge != nullptr)
            bridge.VolumeEvent(deviceName, code);
    });

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
        serverOptions.log = host::LogLine;
        std::string error;
        server = transport::Server::Start(serverOptions, &error);
        if (server == nullptr) {
            Say("cannot serve: %s", error.c_str());
            exitCode = 1;
        }
    }
    if (exitCode == 0 && options.daemon) {
        std::string error = host::StartLogFile(paths.runtimeDirectory + "/vorelhost.log", options.logLimit);
        if (!error.empty()) {
            Say("cannot open the log: %s", error.c_str());
            exitCode = 1;
        }
    }

    if (exitCode == 0) {
        Say("serving %s (driver %s)", (paths.runtimeDirectory + "/vorel.sock").c_str(), image.c_str());
        Report(readyFd, 0);
        readyFd = -1;
        machine::DetachCurrentThread();
        int signal = 0;
        while (sigwait(&endSignals, &signal) != 0)
            ;
        machine::AttachCurrentThread();
        Say("%s: shutting the machine down", strsignal(signal));
        // Linux programs lose the mounts first; their open files close with the bridge's processes.
        machine::SetLetterObserver(nullptr);
        machine::SetVolumeEventObserver(nullptr);
        letterBridge = nullptr;
        bridge.Stop();
        // Clients can hold the shutdown up to its time limit: what was set is written first.
        if (!SaveRegistry("before shutdown"))
            exitCode = 1;
        StartShutdownWatchdog();
        server->Stop();
        server.reset();
        machine::SystemShutdown();
    }
    bridge.Stop();
    if (machine::IsDriverLoaded(kService)) {
        int32_t status = machine::UnloadDriver(kService);
        if (!NT_SUCCESS(status)) {
            Say("the driver did not unload (status 0x%08X)", (unsigned)status);
            exitCode = 1;
        }
    }
    if (!SaveRegistry("at shutdown"))
        exitCode = 1;
    machine::AuditReport report = machine::Shutdown();
    if (!report.Clean()) {
        Say("the machine did not shut down clean:");
        SayLines(report.Text());
        exitCode = 1;
    }
    if (!machine::RegistryWrittenAtShutdown()) {
        Say("the registry could not be written at the machine's shutdown");
        exitCode = 1;
    }
    ReleasePidFile(paths, pidFd);
    Report(readyFd, (unsigned char)exitCode);
    return exitCode;
}
