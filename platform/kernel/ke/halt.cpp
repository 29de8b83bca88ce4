/*
 * Stopping the machine: KeBugCheckEx and fast-fail. The halt is written as one
 * line on standard error (what death tests match) and, when VOREL_HALT_FD names a
 * descriptor, as a binary HaltRecord there; then the process aborts. Nothing is
 * ever thrown through driver frames.
 */
#include "machine.h"

#include <ntdef.h>
#include <km/bugcheck.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <execinfo.h>
#include <unistd.h>

namespace machine {

std::string HaltLine(uint32_t kind, uint32_t code, const uint64_t parameters[4])
{
    char line[192];
    if (kind == kHaltFastFail) {
        std::snprintf(line, sizeof(line), "*** STOP: FAST_FAIL %u (KERNEL_SECURITY_CHECK_FAILURE 0x%08X)", code,
                      KERNEL_SECURITY_CHECK_FAILURE);
    } else {
        std::snprintf(line, sizeof(line), "*** STOP: BUGCHECK 0x%08X (0x%016llX, 0x%016llX, 0x%016llX, 0x%016llX)",
                      code, (unsigned long long)parameters[0], (unsigned long long)parameters[1],
                      (unsigned long long)parameters[2], (unsigned long long)parameters[3]);
    }
    return line;
}

} // namespace machine

namespace {

std::atomic<bool> halting{false};

[[noreturn]] void Halt(uint32_t kind, uint32_t code, uint64_t p1, uint64_t p2, uint64_t p3, uint64_t p4)
{
    // A halt while halting (a check tripping inside this path) must not recurse.
    if (halting.exchange(true))
        std::abort();

    machine::HaltRecord record{};
    std::memcpy(record.magic, "VRLHALT", 8);
    record.kind = kind;
    record.code = code;
    record.parameters[0] = p1;
    record.parameters[1] = p2;
    record.parameters[2] = p3;
    record.parameters[3] = p4;
    void *frames[32];
    int count = backtrace(frames, 32);
    record.frameCount = (uint32_t)count;
    for (int i = 0; i < count; ++i)
        record.frames[i] = (uint64_t)frames[i];

    std::string line = machine::HaltLine(kind, code, record.parameters) + "\n";
    ssize_t ignored = write(2, line.data(), line.size());
    backtrace_symbols_fd(frames, count, 2);

    if (const char *fdText = std::getenv("VOREL_HALT_FD")) {
        int fd = std::atoi(fdText);
        if (fd > 2)
            ignored = write(fd, &record, sizeof(record));
    }
    (void)ignored;
    std::abort();
}

} // namespace

extern "C" {

NTKERNELAPI DECLSPEC_NORETURN VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1,
                                                      ULONG_PTR BugCheckParameter2, ULONG_PTR BugCheckParameter3,
                                                      ULONG_PTR BugCheckParameter4)
{
    Halt(machine::kHaltBugCheck, BugCheckCode, BugCheckParameter1, BugCheckParameter2, BugCheckParameter3,
         BugCheckParameter4);
}

NTKERNELAPI DECLSPEC_NORETURN VOID NTAPI KeBugCheck(ULONG BugCheckCode)
{
    Halt(machine::kHaltBugCheck, BugCheckCode, 0, 0, 0, 0);
}

NTKERNELAPI DECLSPEC_NORETURN void __fastfail(unsigned int Code)
{
    Halt(machine::kHaltFastFail, Code, Code, 0, 0, 0);
}

} // extern "C"
