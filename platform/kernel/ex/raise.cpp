/*
 * Raising a status. With no guarded frame to receive it, an exception raised in
 * kernel mode stops the machine, as an unhandled kernel exception does on Windows.
 */
#include <km/bugcheck.h>
#include <km/ex.h>

extern "C" {

NTKERNELAPI DECLSPEC_NORETURN VOID NTAPI ExRaiseStatus(NTSTATUS Status)
{
    KeBugCheckEx(KMODE_EXCEPTION_NOT_HANDLED, (ULONG_PTR)(ULONG)Status, (ULONG_PTR)__builtin_return_address(0), 0, 0);
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
