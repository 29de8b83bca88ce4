/*
 * Test support: running the project's programs (vorelctl, vorelhost) as separate
 * processes, optionally as another Linux user, and reading what they printed.
 */
#pragma once

#include <map>
#include <string>
#include <vector>

namespace testhost {

struct Outcome {
    int exitCode = -1;   /* -1 when it did not exit normally */
    int signal = 0;
    std::string out;     /* standard output */
    std::string err;     /* standard error */
};

struct RunOptions {
    /* Variables set on top of this process's environment. */
    std::map<std::string, std::string> environment;
    /* Run as this uid and gid (with no supplementary groups) through setpriv; -1 = as we are. */
    int uid = -1;
    int timeoutSeconds = 60;
};

/* The path of a program built with the tests. */
std::string ProgramPath(const char *name);
/* Runs a program to its end. */
Outcome Run(const std::string &program, const std::vector<std::string> &arguments,
            const RunOptions &options = RunOptions());

/* A program left running: its pid and the files its output goes to. */
struct Started {
    int pid = -1;
    std::string outPath;
    std::string errPath;
};
Started Start(const std::string &program, const std::vector<std::string> &arguments, const RunOptions &options,
              const std::string &outputDirectory);
/* Sends a signal and waits (bounded) for the exit; fills the outcome with its output. */
Outcome Stop(const Started &started, int signal, int timeoutSeconds = 60);
std::string ReadFile(const std::string &path);

} // namespace testhost
