/*
 * Raising a status. A raise inside a guarded call (STANDIN_GUARDED_CALL, the
 * stand-in's __try) jumps back to the innermost guard of the raising thread with
 * the status; with no guard to receive it, an exception raised in kernel mode
 * stops the machine, as an unhandled kernel exception does on Windows.
 *
 * The jump skips the frames between the guard and the raise without running their
 * destructors, as a structured exception skips C frames: a stand-in routine that
 * raises holds no lock and owns nothing at that moment.
 */
#include <km/bugcheck.h>
#include <km/ex.h>

#if defined(__SANITIZE_ADDRESS__)
extern "C" void __asan_handle_no_return();
#endif

namespace {

thread_local PSTANDIN_GUARD_FRAME innermostGuard = nullptr;

} // namespace

NTKERNELAPI VOID StandInPushGuardFrame(PSTANDIN_GUARD_FRAME Frame)
{
    Frame->Previous = innermostGuard;
    Frame->Raised = 0;
    innermostGuard = Frame;
}

NTKERNELAPI VOID StandInPopGuardFrame(PSTANDIN_GUARD_FRAME Frame)
{
    if (innermostGuard != Frame)
        KeBugCheckEx(KMODE_EXCEPTION_NOT_HANDLED, 0, (ULONG_PTR)Frame, (ULONG_PTR)innermostGuard, 1);
    innermostGuard = Frame->Previous;
}

extern "C" {

NTKERNELAPI DECLSPEC_NORETURN VOID NTAPI ExRaiseStatus(NTSTATUS Status)
{
    PSTANDIN_GUARD_FRAME guard = innermostGuard;
    if (guard == nullptr)
        KeBugCheckEx(KMODE_EXCEPTION_NOT_HANDLED, (ULONG_PTR)(ULONG)Status, (ULONG_PTR)__builtin_return_address(0),
                     0, 0);
    guard->Raised = Status;
#if defined(__SANITIZE_ADDRESS__)
    __asan_handle_no_return(); /* the skipped frames' stack goes back to unpoisoned */
#endif
    __builtin_longjmp(guard->JumpBuffer, 1);
}

/*
 * The language-specific handler that a driver's structured exception handlers
 * name in their unwind data on Windows. The stand-in dispatches no structured
 * exceptions (a raise stops the machine, above), so nothing ever calls it here;
 * it exists so that such a driver links against the stand-in's import list.
 */
NTKERNELAPI int __C_specific_handler(void *ExceptionRecord, void *EstablisherFrame, void *ContextRecord,
                                     void *DispatcherContext)
{
    KeBugCheckEx(KMODE_EXCEPTION_NOT_HANDLED, 0, (ULONG_PTR)ExceptionRecord, (ULONG_PTR)EstablisherFrame,
                 (ULONG_PTR)ContextRecord ^ (ULONG_PTR)DispatcherContext);
}

} // extern "C"
