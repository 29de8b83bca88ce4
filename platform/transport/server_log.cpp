/*
 * The server's log: its lines, text a client controls made fit for them, and the
 * windows that bound how many lines each user's refusals may write (the rest are
 * counted and summed up in one line).
 */
#include "server_internal.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <new>
#include <string>

namespace transport {

/*
 * Text a client controls, made fit for a log line: every control byte, DEL, byte
 * outside ASCII and backslash becomes \xNN, so a client can neither break a line nor
 * forge one, nor pass an escape off as its own text.
 */
std::string Printable(const char *text, size_t length)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string shown;
    for (size_t i = 0; i < length; ++i) {
        auto c = (unsigned char)text[i];
        if (c < 0x20 || c >= 0x7F || c == '\\') {
            shown += "\\x";
            shown += kDigits[c >> 4];
            shown += kDigits[c & 15];
        } else {
            shown += (char)c;
        }
    }
    return shown;
}

void Server::State::Log(const char *format, ...)
{
    char line[512]; /* a line is never longer */
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    if (options.log != nullptr)
        options.log(line);
    else
        std::fprintf(stderr, "transport: %s\n", line);
}

/*
 * Whether a line about one more refusal of this user's may be written. Each user has
 * logBurst lines in a window of logWindowMs that opens with its first refusal; the
 * refusals past them are counted, and the count is written in one line when the
 * window closes (the listener sees to that) or at the user's next refusal after it,
 * whichever comes first.
 */
bool Server::State::AllowRefusalLine(uid_t uid)
{
    Clock::time_point now = Clock::now();
    uint64_t summary = 0;
    bool allowed = false, firstSuppressed = false;
    {
        std::lock_guard<std::mutex> guard(logLock);
        try {
            RefusalWindow &window = refusals[uid];
            if (window.logged == 0 && window.suppressed == 0) {
                window.start = now;
            } else if (now - window.start >= std::chrono::milliseconds(options.logWindowMs)) {
                summary = window.suppressed;
                window = RefusalWindow();
                window.start = now;
            }
            if (window.logged < options.logBurst) {
                window.logged++;
                allowed = true;
            } else {
                firstSuppressed = window.suppressed++ == 0;
                suppressed++;
            }
        } catch (const std::bad_alloc &) {
            suppressed++; /* no room to keep count: the line is lost, never the host */
        }
    }
    if (summary != 0)
        Log("%llu more refusals from uid %u suppressed", (unsigned long long)summary, (unsigned)uid);
    if (firstSuppressed)
        WakeListener(); /* it writes the count when the window closes */
    return allowed;
}

void Server::State::Refusal(uid_t uid, const char *format, ...)
{
    if (!AllowRefusalLine(uid))
        return;
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    Log("%s", line);
}

/*
 * Writes the count of every window that has closed (every window, when all) and
 * forgets those windows. Returns the milliseconds until the next window with
 * suppressed lines closes, or -1 when there is none.
 */
int Server::State::FlushRefusalWindows(bool all)
{
    Clock::time_point now = Clock::now();
    auto length = std::chrono::milliseconds(options.logWindowMs);
    int next = -1;
    std::lock_guard<std::mutex> guard(logLock);
    for (auto it = refusals.begin(); it != refusals.end();) {
        if (all || now - it->second.start >= length) {
            if (it->second.suppressed != 0)
                Log("%llu more refusals from uid %u suppressed", (unsigned long long)it->second.suppressed,
                    (unsigned)it->first);
            it = refusals.erase(it);
            continue;
        }
        if (it->second.suppressed != 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(it->second.start + length - now);
            int wait = (int)left.count() + 1;
            if (next < 0 || wait < next)
                next = wait;
        }
        ++it;
    }
    return next;
}

} // namespace transport
