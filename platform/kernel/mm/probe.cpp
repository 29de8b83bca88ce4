/*
 * Probes of user buffers: a range a user-mode request passes must lie in the
 * calling process's user address space, or the probe raises an access violation.
 */
#include "ke/dispatcher.h"
#include "ke/thread.h"
#include "mm/user_arena.h"

#include <km/ex.h>
#include <km/mm.h>

namespace mm {

bool IsUserRange(const void *address, size_t length)
{
    if (length == 0)
        return true;
    struct _KPROCESS *process = ke::CurrentProcess();
    return ArenaContains(process->Arena, address, length);
}

} // namespace mm

namespace {

void Probe(const volatile void *address, SIZE_T length, ULONG alignment)
{
    if (length == 0)
        return;
    if (alignment != 0 && ((ULONG_PTR)address & (alignment - 1)) != 0)
        ExRaiseStatus(STATUS_DATATYPE_MISALIGNMENT);
    if (!mm::IsUserRange(const_cast<const void *>(address), length))
        ExRaiseStatus(STATUS_ACCESS_VIOLATION);
}

} // namespace

extern "C" {

NTKERNELAPI VOID NTAPI ProbeForRead(const volatile VOID *Address, SIZE_T Length, ULONG Alignment)
{
    Probe(Address, Length, Alignment);
}

NTKERNELAPI VOID NTAPI ProbeForWrite(volatile VOID *Address, SIZE_T Length, ULONG Alignment)
{
    Probe(Address, Length, Alignment);
}

} // extern "C"
