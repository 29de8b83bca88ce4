/*
 * Opportunistic locks. An OPLOCK is an opaque pointer that the package fills the
 * first time a request asks for an oplock on the stream; until then it is null.
 * Nothing on this system grants oplocks yet (they come with the file operations),
 * so an initialised oplock stays null and uninitialising it has no waiter to
 * complete. The routines still check their documented IRQL.
 */
#include "ke/dispatcher.h"

#include <km/fsrtl.h>

extern "C" {

NTKERNELAPI VOID NTAPI FsRtlInitializeOplock(POPLOCK Oplock)
{
    ke::CheckIrql((const void *)&FsRtlInitializeOplock, APC_LEVEL);
    *Oplock = nullptr;
}

NTKERNELAPI VOID NTAPI FsRtlUninitializeOplock(POPLOCK Oplock)
{
    ke::CheckIrql((const void *)&FsRtlUninitializeOplock, APC_LEVEL);
    /* A granted oplock would own a record here with its waiting requests; none can be yet. */
    *Oplock = nullptr;
}

} // extern "C"
