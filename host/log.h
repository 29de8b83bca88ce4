/*
 * The host's lines: on standard error while it starts (so a failed start is
 * reported where it was asked for), and, once a daemon has detached, in its log
 * file. The log is bounded: when it would grow past its limit it is moved to
 * <log>.1 (replacing the one before) and started again, so at most two limits'
 * worth of lines are ever kept. Control characters in a line are written escaped
 * (\xNN): text that came from a client can never forge a line of its own.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace host {

constexpr uint64_t kDefaultLogLimitBytes = 1u << 20;

/* Sends standard output and standard error to the log file from now on. Empty on
 * success, else the reason (the lines stay where they went). */
std::string StartLogFile(const std::string &path, uint64_t limitBytes);
/* One line, "vorelhost: " and the text; time-stamped in the log file. Thread-safe. */
void LogLine(const char *text);
/* The text with every control or non-ASCII byte written \xNN. */
std::string EscapeText(const char *text, size_t length);

} // namespace host
