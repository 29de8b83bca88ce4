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

} // extern "C"
