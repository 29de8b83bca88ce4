/*
 * One cold file in the hands of the compression worker: which files it may
 * touch, and the pass over a file's extents.
 *
 * The worker holds the node's main resource and then its paging I/O resource
 * exclusively while it changes the file (the order every request path takes),
 * so no read, write or save sees an extent half packed; it lets go as soon as
 * someone waits for either resource, leaving the rest of the file for later.
 */
#include "vorel.h"

#define HUNDRED_NS_PER_MS 10000ull

/* SomeoneWaitsFor: whether a request waits for the node's main or paging resource. */
static BOOLEAN SomeoneWaitsFor(PFCB Fcb)
{
    return ExGetExclusiveWaiterCount(&Fcb->MainResource) != 0 || ExGetSharedWaiterCount(&Fcb->MainResource) != 0 ||
           ExGetExclusiveWaiterCount(&Fcb->PagingIoResource) != 0 ||
           ExGetSharedWaiterCount(&Fcb->PagingIoResource) != 0;
}

/*
 * The tally of one pass over a file's extents, from which the worker decides
 * what becomes of the file.
 */
typedef struct _COLD_PASS {
    ULONG Compressed;
    ULONG Released;
    ULONG NotWorth;
    BOOLEAN NotYetCold;                     /* an extent was touched within the cold delay */
    BOOLEAN Interrupted;                    /* the volume stops, or a request waits for the file */
    BOOLEAN OutOfMemory;
    BOOLEAN CodecFailed;
} COLD_PASS, *PCOLD_PASS;

/*
 * PackExtents: the pass itself, over every extent in order, with both resources
 * held exclusively and the file in an extent table.
 */
static VOID PackExtents(PVCB Vcb, PFCB Fcb, PCODEC_CONTEXT Context, PCOLD_PASS Pass)
{
    PFCB_DATA data = &Fcb->Data;
    // Cold delay in last-access units (2^23 x 100 ns).
    ULONG coldStamps = (ULONG)(((ULONGLONG)Vcb->ColdDelayMs * HUNDRED_NS_PER_MS) >> 23);
    ULONG now = ExtentAccessTime();
    for (ULONG i = 0; i < data->ExtentCapacity; i++) {
        if (IsColdQueueStopping(Vcb) ||
            ((Pass->Compressed != 0 || Pass->Released != 0 || Pass->NotWorth != 0) && SomeoneWaitsFor(Fcb))) {
            Pass->Interrupted = TRUE;
            return;
        }
        PEXTENT_ENTRY entry = &data->Extents[i];
        if (entry->Data == NULL)
            continue;
        if (now - entry->LastAccess < coldStamps) {
            Pass->NotYetCold = TRUE;
            continue;
        }
        COLD_EXTENT_OUTCOME outcome;
        NTSTATUS status = CompressExtent(Fcb, i, Context, &outcome);
        if (status == STATUS_INSUFFICIENT_RESOURCES) {
            Pass->OutOfMemory = TRUE;
            return;
        }
        if (!NT_SUCCESS(status)) {
            Pass->CodecFailed = TRUE;
            return;
        }
        Pass->Compressed += outcome == ColdExtentCompressed;
        Pass->Released += outcome == ColdExtentReleased;
        Pass->NotWorth += outcome == ColdExtentNotWorth;
    }
}

/*
 * SharesSingleBuffer: whether the file's single buffer is another file's too: its
 * conversion would copy it, spending memory to save memory.
 */
static BOOLEAN SharesSingleBuffer(PFCB_DATA Data)
{
    return Data->Extents == NULL && Data->SingleChunk != NULL && (Data->SingleFlags & SINGLE_SHARED) != 0 &&
           ReadNoFence(&Data->SingleChunk->ReferenceCount) > 1;
}

/*
 * ReleaseSection: a file that was mapped can be packed only once no section is
 * left on it: paging I/O copies memory and never meets a compressed form. One
 * that has no views left is flushed and purged (at most COLD_PURGE_ATTEMPTS
 * times in a row, then the file is left alone for the guard time). Returns
 * whether the file is free of sections. Holds no resource on entry or exit.
 */
static BOOLEAN ReleaseSection(PFCB Fcb)
{
    if (!ReadUCharNoFence(&Fcb->SectionCreated) && Fcb->SectionObjectPointers.DataSectionObject == NULL &&
        Fcb->SectionObjectPointers.ImageSectionObject == NULL)
        return TRUE;
    if (Fcb->SectionObjectPointers.ImageSectionObject == NULL)
        PurgeUnmappedSection(Fcb);
    if (!ReadUCharNoFence(&Fcb->SectionCreated) && Fcb->SectionObjectPointers.DataSectionObject == NULL &&
        Fcb->SectionObjectPointers.ImageSectionObject == NULL) {
        Fcb->Cold.PurgeAttempts = 0;
        return TRUE;
    }
    if (++Fcb->Cold.PurgeAttempts >= COLD_PURGE_ATTEMPTS) {
        Fcb->Cold.PurgeAttempts = 0;
        WriteNoFence64(&Fcb->Cold.LastDecompression, (LONG64)KeQueryInterruptTime());
    }
    return FALSE;
}

/*
 * PackColdFile: packs what is cold in one file the worker took from the queue,
 * with its compression context. PASSIVE_LEVEL, inside a critical region, no
 * lock held. Returns whether the file goes back to the queue (something in it
 * was not cold yet, the file was busy or mapped, or memory ran short); a file
 * that is done, deleted, too small or a directory is not.
 */
BOOLEAN PackColdFile(PVCB Vcb, PFCB Fcb, PCODEC_CONTEXT Context)
{
    if (Fcb->IsDirectory)
        return FALSE;
    if (!ReleaseSection(Fcb))
        return TRUE;

    COLD_PASS pass;
    RtlZeroMemory(&pass, sizeof(pass));
    BOOLEAN requeue = FALSE;
    ExAcquireResourceExclusiveLite(&Fcb->MainResource, TRUE);
    ExAcquireResourceExclusiveLite(&Fcb->PagingIoResource, TRUE);
    PFCB_DATA data = &Fcb->Data;
    if (Fcb->DeletePending || Fcb->Unlinked || data->FileSize < COLD_FILE_MIN_SIZE || data->Slab != NULL ||
        SharesSingleBuffer(data)) {
        requeue = FALSE;
    } else if (Fcb->SectionCreated || Fcb->SectionObjectPointers.DataSectionObject != NULL ||
               Fcb->SectionObjectPointers.ImageSectionObject != NULL) {
        requeue = TRUE;     /* mapped again since the check above */
    } else {
        // A single buffer becomes a one-extent table of its own size first.
        NTSTATUS status = data->Extents == NULL ? ConvertToExtentTable(Fcb, TRUE) : STATUS_SUCCESS;
        if (status == STATUS_INSUFFICIENT_RESOURCES)
            pass.OutOfMemory = TRUE;
        else if (NT_SUCCESS(status))
            PackExtents(Vcb, Fcb, Context, &pass);
        if (pass.Released != 0)
            RecomputeHeaderSizes(Fcb);
        if (pass.NotWorth != 0 && pass.Compressed == 0)
            WriteNoFence64(&Fcb->Cold.LastDecompression, (LONG64)KeQueryInterruptTime());
        requeue = pass.NotYetCold || pass.Interrupted || pass.OutOfMemory;
    }
    ExReleaseResourceLite(&Fcb->PagingIoResource);
    ExReleaseResourceLite(&Fcb->MainResource);
    return requeue && !pass.CodecFailed;
}

/*
 * RecentlyDecompressed: whether one of the file's extents was decoded back within
 * the guard time: packing it again so soon would only be undone again.
 */
BOOLEAN RecentlyDecompressed(PVCB Vcb, PFCB Fcb)
{
    ULONGLONG last = (ULONGLONG)ReadNoFence64(&Fcb->Cold.LastDecompression);
    return last != 0 && KeQueryInterruptTime() - last < Vcb->RecentDecompressionGuardMs * HUNDRED_NS_PER_MS;
}
