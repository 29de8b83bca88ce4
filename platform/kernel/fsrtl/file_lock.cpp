/*
 * Byte-range lock state of a stream: FsRtlAllocateFileLock and FsRtlFreeFileLock.
 * The record comes from paged pool, as on Windows, and keeps the two callbacks the
 * file system gave; the lock queue itself (LockInformation) is built by the first
 * granted lock, which comes with the lock-control requests, so a freed record has
 * no lock to release yet.
 */
#include "machine.h"

#include "ke/dispatcher.h"

#include <km/fsrtl.h>
#include <km/pool.h>

#include <cstring>

namespace {
constexpr ULONG kFileLockTag = POOL_TAG('F', 's', 'L', 'k');
}

extern "C" {

NTKERNELAPI PFILE_LOCK NTAPI FsRtlAllocateFileLock(PCOMPLETE_LOCK_IRP_ROUTINE CompleteLockIrpRoutine,
                                                   PUNLOCK_ROUTINE UnlockRoutine)
{
    ke::CheckIrql((const void *)&FsRtlAllocateFileLock, APC_LEVEL);
    auto lock = static_cast<PFILE_LOCK>(ExAllocatePoolWithTag(PagedPool, sizeof(FILE_LOCK), kFileLockTag));
    if (lock == nullptr)
        return nullptr;
    memset(lock, 0, sizeof(*lock));
    lock->CompleteLockIrpRoutine = CompleteLockIrpRoutine;
    lock->UnlockRoutine = UnlockRoutine;
    return lock;
}

NTKERNELAPI VOID NTAPI FsRtlFreeFileLock(PFILE_LOCK FileLock)
{
    ke::CheckIrql((const void *)&FsRtlFreeFileLock, APC_LEVEL);
    ExFreePoolWithTag(FileLock, kFileLockTag);
}

} // extern "C"
