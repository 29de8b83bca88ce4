/*
 * Page faults on views (see control_area.h). A view maps absent pages
 * inaccessible and clean pages read-only, so the processor stops at the first
 * touch of an absent page and at the first write to a clean one. The SIGSEGV
 * handler finds the view and serves the fault on the faulting thread, as the
 * Windows page-fault handler does: an absent page is read in by a paging read and
 * mapped read-only (a write then faults once more); a fault on a present page can
 * only be a write, which dirties the page and opens it for writing in writable
 * views. Anything else (an address outside every view, a write to a read-only
 * view) goes to the handler that was in place before, so the sanitizers and crash
 * reporting see real faults as before.
 */
#include "mm/control_area.h"

#include "ke/dispatcher.h"

#include <csignal>
#include <cstring>

namespace mm {
namespace {

constexpr ULONG kKernelDataInpageError = 0x7A;

struct sigaction previousAction;
std::once_flag installed;

/*
 * ServeViewFault: the fault at address, when it lies in a view. Returns false when
 * it is not the memory manager's to serve.
 */
bool ServeViewFault(void *address)
{
    std::unique_lock<std::mutex> guard(Sections().lock);
    View *view = ViewAt(address);
    if (view == nullptr)
        return false;
    ControlArea *area = view->area;
    uintptr_t at = reinterpret_cast<uintptr_t>(address) - reinterpret_cast<uintptr_t>(view->base);
    size_t page = (size_t)((view->offset + at) / PAGE_SIZE);
    bool write = area->state[page] != kPageAbsent && !area->busy[page];
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
    bool served = ServeViewFault(info->si_addr);
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
        action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        sigaction(SIGSEGV, &action, &previousAction);
    });
}

} // namespace mm
