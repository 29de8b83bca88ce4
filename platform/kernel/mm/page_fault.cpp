/*
 * Page faults on views (see control_area.h). A view maps absent pages
 * inaccessible and clean pages read-only, so the processor stops at the first
 * touch of an absent page and at the first write to a clean one. The SIGSEGV
 * handler finds the view and serves the fault on the faulting thread, as the
 * Windows page-fault handler does: an absent page is read in by a paging read and
 * mapped read-only (a write then faults once more); a write to a present page
 * dirties it and opens it for writing in writable views; a read of a present page
 * found another thread's page-in first and is simply run again. Anything else (an
 * address outside every view, a write to a read-only view) goes to the handler that
 * was in place before, so the sanitizers and crash reporting see real faults as
 * before. The handler runs on the faulting thread's own stack (no SA_ONSTACK): it
 * sends requests through the file system, more than a signal stack holds.
 */
#include "mm/control_area.h"

#include "ke/dispatcher.h"

#include <csignal>
#include <cstring>
#include <ucontext.h>
#if defined(__aarch64__)
#include <asm/sigcontext.h>
#endif

namespace mm {
namespace {

constexpr ULONG kKernelDataInpageError = 0x7A;

struct sigaction previousAction;
std::once_flag installed;

/* Whether the faulting access was a write, from the processor's fault record. */
bool IsWriteFault(void *context)
{
    auto *user = static_cast<ucontext_t *>(context);
#if defined(__x86_64__)
    return (user->uc_mcontext.gregs[REG_ERR] & 0x2) != 0; /* page-fault error code: W/R */
#elif defined(__aarch64__)
    // The exception syndrome of the data abort: WnR (bit 6).
    auto *record = reinterpret_cast<unsigned char *>(user->uc_mcontext.__reserved);
    for (;;) {
        auto *head = reinterpret_cast<struct _aarch64_ctx *>(record);
        if (head->magic == 0 || head->size == 0)
            return false;
        if (head->magic == ESR_MAGIC)
            return (reinterpret_cast<struct esr_context *>(head)->esr & (1u << 6)) != 0;
        record += head->size;
    }
#else
#error "the fault handler needs this processor's write bit"
#endif
}

/*
 * ServeViewFault: the fault at address, when it lies in a view. Returns false when
 * it is not the memory manager's to serve.
 */
bool ServeViewFault(void *address, bool writeFault)
{
    std::unique_lock<std::mutex> guard(Sections().lock);
    View *view = ViewAt(address);
    if (view == nullptr)
        return false;
    ControlArea *area = view->area;
    uintptr_t at = reinterpret_cast<uintptr_t>(address) - reinterpret_cast<uintptr_t>(view->base);
    size_t page = (size_t)((view->offset + at) / PAGE_SIZE);
    bool present = area->state[page] != kPageAbsent && !area->busy[page];
    if (present && !writeFault)
        return true; /* another thread read it in meanwhile: run the access again */
    bool write = present;
    if (write && !view->writable)
        return false; /* a write to a read-only view: an access violation */
    ReferenceArea(area);
    NTSTATUS status = MakePagePresent(guard, area, page, write);
    guard.unlock();
    DereferenceArea(area);
    if (!NT_SUCCESS(status))
        KeBugCheckEx(kKernelDataInpageError, (ULONG_PTR)status, (ULONG_PTR)address, (ULONG_PTR)area->file, 0);
    return true;
}

/* The previous handler gets the fault: called as it asked, or its default action taken. */
void ChainFault(int signal, siginfo_t *info, void *context)
{
    if (previousAction.sa_flags & SA_SIGINFO) {
        previousAction.sa_sigaction(signal, info, context);
        return;
    }
    if (previousAction.sa_handler != SIG_DFL && previousAction.sa_handler != SIG_IGN) {
        previousAction.sa_handler(signal);
        return;
    }
    // The default action: returning re-runs the access, which now ends the process.
    struct sigaction fallback{};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(SIGSEGV, &fallback, nullptr);
}

void HandleFault(int signal, siginfo_t *info, void *context)
{
    int savedErrno = errno;
    bool served = ServeViewFault(info->si_addr, IsWriteFault(context));
    errno = savedErrno;
    if (!served)
        ChainFault(signal, info, context);
}

} // namespace

void InstallPageFaultHandler()
{
    std::call_once(installed, [] {
        struct sigaction action{};
        action.sa_sigaction = HandleFault;
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        sigaction(SIGSEGV, &action, &previousAction);
    });
}

} // namespace mm
