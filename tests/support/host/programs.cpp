/*
 * Running programs for tests (see programs.h).
 */
#include "programs.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace testhost {

namespace {

std::vector<std::string> Environment(const RunOptions &options)
{
    std::map<std::string, std::string> merged;
    for (char **e = environ; *e != nullptr; ++e) {
        const char *equals = std::strchr(*e, '=');
        if (equals != nullptr)
            merged[std::string(*e, (size_t)(equals - *e))] = equals + 1;
    }
    for (const auto &[name, value] : options.environment)
        merged[name] = value;
    std::vector<std::string> result;
    for (const auto &[name, value] : merged)
        result.push_back(name + "=" + value);
    return result;
}

std::vector<std::string> CommandLine(const std::string &program, const std::vector<std::string> &arguments,
                                     const RunOptions &options)
{
    std::vector<std::string> command;
    if (options.uid >= 0) {
        command = {"/usr/bin/setpriv", std::string("--reuid=").append(std::to_string(options.uid)),
                   std::string("--regid=").append(std::to_string(options.uid)), "--clear-groups", "--"};
    }
    command.push_back(program);
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

int SpawnWithFiles(const std::vector<std::string> &command, const std::vector<std::string> &environment,
                   const std::string &outPath, const std::string &errPath)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char *> argv, envp;
    for (const auto &part : command)
        argv.push_back(const_cast<char *>(part.c_str()));
    argv.push_back(nullptr);
    for (const auto &entry : environment)
        envp.push_back(const_cast<char *>(entry.c_str()));
    envp.push_back(nullptr);
    pid_t pid = -1;
    int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? pid : -1;
}

/* Waits for a child up to a deadline; kills it after. */
void Wait(int pid, int timeoutSeconds, Outcome *outcome)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        if (done < 0 && errno != EINTR)
            return;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            outcome->err.append("\n[killed after ").append(std::to_string(timeoutSeconds)).append(" s]");
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFEXITED(status))
        outcome->exitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        outcome->signal = WTERMSIG(status);
}

} // namespace

std::string ProgramPath(const char *name)
{
    return std::string(VOREL_BINARY_DIR) + "/bin/" + name;
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

Outcome Run(const std::string &program, const std::vector<std::string> &arguments, const RunOptions &options)
{
    char directory[] = "/tmp/vorel-run-XXXXXX";
    Outcome outcome;
    if (mkdtemp(directory) == nullptr)
        return outcome;
    std::string outPath = std::string(directory) + "/out", errPath = std::string(directory) + "/err";
    int pid = SpawnWithFiles(CommandLine(program, arguments, options), Environment(options), outPath, errPath);
    if (pid > 0)
        Wait(pid, options.timeoutSeconds, &outcome);
    outcome.out = ReadFile(outPath);
    outcome.err += ReadFile(errPath);
    unlink(outPath.c_str());
    unlink(errPath.c_str());
    rmdir(directory);
    return outcome;
}

Started Start(const std::string &program, const std::vector<std::string> &arguments, const RunOptions &options,
              const std::string &outputDirectory)
{
    Started started;
    started.outPath = outputDirectory + "/started.out";
    started.errPath = outputDirectory + "/started.err";
    started.pid = SpawnWithFiles(CommandLine(program, arguments, options), Environment(options), started.outPath,
                                 started.errPath);
    return started;
}

Outcome Stop(const Started &started, int signal, int timeoutSeconds)
{
    Outcome outcome;
    if (started.pid <= 0)
        return outcome;
    kill(started.pid, signal);
    Wait(started.pid, timeoutSeconds, &outcome);
    outcome.out = ReadFile(started.outPath);
    outcome.err += ReadFile(started.errPath);
    return outcome;
}

} // namespace testhost
