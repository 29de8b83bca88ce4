/*
 * Per-stream contexts: filters hang records on a stream's advanced FCB header
 * (FilterContexts, guarded by the header's fast mutex), and the file system calls
 * FsRtlTeardownPerStreamContexts when it frees the header, which hands each record
 * to its owner's free callback. The callback runs without the fast mutex, so an
 * owner may take it (to remove others of its records) from inside the callback.
 */
#include "ke/dispatcher.h"

#include <km/ex.h>
#include <km/fsrtl.h>

extern "C" {

NTKERNELAPI NTSTATUS NTAPI FsRtlInsertPerStreamContext(PFSRTL_ADVANCED_FCB_HEADER PerStreamContext,
                                                       PFSRTL_PER_STREAM_CONTEXT Ptr)
{
    ke::CheckIrql((const void *)&FsRtlInsertPerStreamContext, APC_LEVEL);
    if ((PerStreamContext->Flags2 & FSRTL_FLAG2_SUPPORTS_FILTER_CONTEXTS) == 0)
        return STATUS_INVALID_DEVICE_REQUEST;
    ExAcquireFastMutex(PerStreamContext->FastMutex);
    InsertHeadList(&PerStreamContext->FilterContexts, &Ptr->Links);
    ExReleaseFastMutex(PerStreamContext->FastMutex);
    return STATUS_SUCCESS;
}

NTKERNELAPI VOID NTAPI FsRtlTeardownPerStreamContexts(PFSRTL_ADVANCED_FCB_HEADER AdvancedHeader)
{
    ke::CheckIrql((const void *)&FsRtlTeardownPerStreamContexts, APC_LEVEL);
    if ((AdvancedHeader->Flags2 & FSRTL_FLAG2_SUPPORTS_FILTER_CONTEXTS) == 0)
        return;
    for (;;) {
        ExAcquireFastMutex(AdvancedHeader->FastMutex);
        if (IsListEmpty(&AdvancedHeader->FilterContexts)) {
            ExReleaseFastMutex(AdvancedHeader->FastMutex);
            return;
        }
        PLIST_ENTRY entry = RemoveHeadList(&AdvancedHeader->FilterContexts);
        ExReleaseFastMutex(AdvancedHeader->FastMutex);
        auto context = CONTAINING_RECORD(entry, FSRTL_PER_STREAM_CONTEXT, Links);
        if (context->FreeCallback != nullptr)
            context->FreeCallback(context);
    }
}

} // extern "C"
