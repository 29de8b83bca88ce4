/*
 * The host's lines (see log.h).
 */
#include "log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace host {

namespace {

std::mutex logLock;
std::string logPath;      /* guarded by logLock; empty while lines go to the terminal */
uint64_t logLimit = 0;

/* Opens a fresh log file onto standard output and error (logLock held). */
bool OpenOntoStandardStreams(const std::string &path, int flags)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC | flags, 0644);
    if (fd < 0)
        return false;
    bool ok = dup2(fd, STDOUT_FILENO) >= 0 && dup2(fd, STDERR_FILENO) >= 0;
    close(fd);
    return ok;
}

/* Moves a full log aside before a line would pass the limit (logLock held). Other
 * writers of standard error (the machine's own lines) are counted too: the size is
 * the file's. */
void RotateIfFull(size_t lineBytes)
{
    struct stat info;
    if (logPath.empty() || fstat(STDERR_FILENO, &info) != 0)
        return;
    if ((uint64_t)info.st_size + lineBytes <= logLimit)
        return;
    std::string previous = logPath + ".1";
    if (rename(logPath.c_str(), previous.c_str()) != 0 || !OpenOntoStandardStreams(logPath, O_TRUNC)) {
        // Nowhere new to write: start this file again rather than grow past the limit.
        if (ftruncate(STDERR_FILENO, 0) != 0)
            return;
    }
}

void WriteAll(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += (size_t)n;
    }
}

} // namespace

std::string EscapeText(const char *text, size_t length)
{
    std::string escaped;
    escaped.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = (unsigned char)text[i];
        if (c >= 0x20 && c < 0x7F) {
            escaped.push_back((char)c);
        } else {
            char code[8];
            std::snprintf(code, sizeof(code), "\\x%02X", c);
            escaped += code;
        }
    }
    return escaped;
}

std::string StartLogFile(const std::string &path, uint64_t limitBytes)
{
    std::lock_guard<std::mutex> guard(logLock);
    if (!OpenOntoStandardStreams(path, 0))
        return path + ": " + std::strerror(errno);
    logPath = path;
    logLimit = limitBytes;
    return std::string();
}

void LogLine(const char *text)
{
    std::string line;
    std::lock_guard<std::mutex> guard(logLock);
    if (!logPath.empty()) {
        char stamp[40];
        time_t now = time(nullptr);
        struct tm local;
        localtime_r(&now, &local);
        strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S ", &local);
        line = stamp;
    }
    line += "vorelhost: ";
    line += EscapeText(text, std::strlen(text));
    line += '\n';
    RotateIfFull(line.size());
    WriteAll(STDERR_FILENO, line);
}

} // namespace host
