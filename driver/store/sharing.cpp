/*
 * Sharing data between files (block cloning) and taking private copies again.
 *
 * A shared extent or single buffer points at another file's chunk: the chunk's
 * reference count counts the holders, both entries carry the shared flag, and the
 * chunk is read-only while more than one holds it. The charge stays with the chunk,
 * so shared memory is charged once. A write first takes a private copy (charged in
 * full) unless the writer is by then the only holder, which only clears its flag.
 */
#include "vorel.h"

/* UnshareSingle: makes a shared single buffer private, in one step. */
NTSTATUS UnshareSingle(PFCB Fcb)
{
    PFCB_DATA data = &Fcb->Data;
    if ((data->SingleFlags & SINGLE_SHARED) == 0)
        return STATUS_SUCCESS;
    PDATA_CHUNK chunk = data->SingleChunk;
    if (ReadNoFence(&chunk->ReferenceCount) == 1) {
        data->SingleFlags &= ~SINGLE_SHARED;
        return STATUS_SUCCESS;
    }
    if (!VolumeSizeAllows(data->Volume, chunk->Size))
        return STATUS_DISK_FULL;
    PDATA_CHUNK copy;
    NTSTATUS status = AllocateChunk(data->Volume, chunk->Size, 0, chunk->Size, FALSE, FALSE, &copy);
    if (!NT_SUCCESS(status))
        return status;
    RtlCopyMemory(copy->Base, chunk->Base, chunk->Size);
    InstallSingleChunk(Fcb, copy);
    return STATUS_SUCCESS;
}

/* UnshareEntry: makes a shared extent private. */
static NTSTATUS UnshareEntry(PFCB Fcb, PEXTENT_ENTRY Entry)
{
    if ((Entry->Flags & EXTENT_SHARED) == 0)
        return STATUS_SUCCESS;
    PDATA_CHUNK chunk = Entry->Chunk;
    if (ReadNoFence(&chunk->ReferenceCount) == 1) {
        Entry->Flags &= ~EXTENT_SHARED;
        return STATUS_SUCCESS;
    }
    if (!VolumeSizeAllows(Fcb->Data.Volume, chunk->Size))
        return STATUS_DISK_FULL;
    return ReplaceExtentChunk(Fcb, Entry, chunk->Size, Entry->Size, FALSE);
}

/*
 * UnshareRange: makes every shared extent (or the shared single buffer) holding a
 * byte of [Offset, Offset + Length) private. Nothing to do for a file that never
 * shared, no length, or a range that wraps or ends beyond MAX_FILE_OFFSET. Stops
 * at the first failure; what was made private stays so.
 */
NTSTATUS UnshareRange(PFCB Fcb, ULONGLONG Offset, ULONGLONG Length)
{
    PFCB_DATA data = &Fcb->Data;
    ULONGLONG end = Offset + Length;
    if (!data->HasSharedExtents || Length == 0 || end < Offset || end > MAX_FILE_OFFSET)
        return STATUS_SUCCESS;
    if (data->Extents == NULL)
        return UnshareSingle(Fcb);
    ULONGLONG last = min((end - 1) >> EXTENT_SHIFT, (ULONGLONG)data->ExtentCapacity - 1);
    for (ULONGLONG i = Offset >> EXTENT_SHIFT; i <= last && data->ExtentCapacity != 0; i++) {
        NTSTATUS status = UnshareEntry(Fcb, &data->Extents[i]);
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

/*
 * UnshareAll: makes the whole file private (before a writable section maps it).
 * Takes the node's paging I/O resource exclusively itself; the file forgets that
 * it shared only when every part was made private.
 */
NTSTATUS UnshareAll(PFCB Fcb)
{
    PFCB_DATA data = &Fcb->Data;
    NTSTATUS status = STATUS_SUCCESS;
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(Fcb->Header.PagingIoResource, TRUE);
    if (data->HasSharedExtents) {
        if (data->Extents == NULL) {
            status = UnshareSingle(Fcb);
        } else {
            for (ULONG i = 0; i < data->ExtentCapacity && NT_SUCCESS(status); i++)
                status = UnshareEntry(Fcb, &data->Extents[i]);
        }
        if (NT_SUCCESS(status))
            data->HasSharedExtents = FALSE;
    }
    ExReleaseResourceLite(Fcb->Header.PagingIoResource);
    KeLeaveCriticalRegion();
    return status;
}

/* NoteShared: both files hold shared data now; their writes must look for it. */
static VOID NoteShared(PFCB Target, PFCB Source)
{
    Target->Data.HasSharedExtents = TRUE;
    Source->Data.HasSharedExtents = TRUE;
}

/*
 * ShareSingleBuffer: the target's whole data becomes the source's single buffer.
 * The target's old memory (slot or buffer) is let go.
 */
static VOID ShareSingleBuffer(PFCB Target, PFCB Source)
{
    PFCB_DATA target = &Target->Data;
    PFCB_DATA source = &Source->Data;
    PDATA_CHUNK chunk = source->SingleChunk;
    ReferenceChunk(chunk);
    if (target->Slab != NULL) {
        FreeSlot(target->Volume, target->Slab, target->SlotIndex);
        target->Slab = NULL;
    }
    if (target->SingleChunk != NULL)
        ReleaseChunk(target->SingleChunk);
    target->SingleChunk = chunk;
    target->DataBase = chunk->Base;
    target->Capacity = chunk->Size;
    target->SingleFlags |= SINGLE_SHARED;
    source->SingleFlags |= SINGLE_SHARED;
    InterlockedOr((volatile LONG *)&target->SingleImageWord, (LONG)IMAGE_WORD_MODIFIED);
    NoteShared(Target, Source);
    RecomputeHeaderSizes(Target);
}

/*
 * ShareExtent: target extent TargetIndex takes source extent SourceIndex's chunk,
 * or becomes a hole when the source extent is one.
 */
static VOID ShareExtent(PFCB Target, ULONGLONG TargetIndex, PFCB Source, ULONGLONG SourceIndex)
{
    PFCB_DATA target = &Target->Data;
    PFCB_DATA source = &Source->Data;
    PEXTENT_ENTRY from = SourceIndex < source->ExtentCapacity ? &source->Extents[SourceIndex] : NULL;
    if (TargetIndex >= target->ExtentCapacity)
        return;                         /* a hole already, and the source's extent reads as zeros */
    PEXTENT_ENTRY to = &target->Extents[TargetIndex];
    if (from == NULL || from->Data == NULL) {
        if (to->Data != NULL) {
            EmptyExtentEntry(Target, to);
            to->ImageWord = IMAGE_WORD_MODIFIED;
        }
        return;
    }
    PDATA_CHUNK chunk = from->Chunk;
    ReferenceChunk(chunk);              /* before the old one goes: they may be the same */
    ULONG imageWord = to->ImageWord;
    EmptyExtentEntry(Target, to);
    to->Chunk = chunk;
    to->Data = from->Data;
    to->Size = from->Size;
    to->ImageWord = imageWord | IMAGE_WORD_MODIFIED;
    to->Flags = EXTENT_SHARED;
    to->LastAccess = ExtentAccessTime();
    from->Flags |= EXTENT_SHARED;
    target->Capacity += from->Size;
    NoteShared(Target, Source);
}

/*
 * SourceBytes: where the source's bytes at Offset are, and how many of them (up
 * to Length) lie in one piece of memory; NULL with the count when they are zero
 * (a hole or beyond the data).
 */
static PUCHAR SourceBytes(PFCB Source, ULONGLONG Offset, ULONGLONG Length, PULONGLONG Count)
{
    PFCB_DATA source = &Source->Data;
    if (Offset >= source->FileSize) {
        *Count = Length;
        return NULL;
    }
    ULONGLONG limit = min(Length, source->FileSize - Offset);
    if (source->Extents == NULL) {
        // The size may lie beyond the memory; the bytes there are zero.
        if (source->DataBase == NULL || Offset >= source->Capacity) {
            *Count = limit;
            return NULL;
        }
        *Count = min(limit, source->Capacity - Offset);
        return source->DataBase + Offset;
    }
    ULONGLONG index = Offset >> EXTENT_SHIFT;
    ULONGLONG within = Offset & EXTENT_MASK;
    *Count = min(limit, EXTENT_SIZE - within);
    if (index >= source->ExtentCapacity || source->Extents[index].Data == NULL)
        return NULL;
    PEXTENT_ENTRY entry = &source->Extents[index];
    if (within >= entry->Size)
        return NULL;
    *Count = min(*Count, entry->Size - within);
    return (PUCHAR)entry->Data + within;
}

/* Whether the source's part of a target piece is all zero (holes and bytes beyond its end are). */
static BOOLEAN SourceIsZero(PFCB Source, ULONGLONG Offset, ULONGLONG Length)
{
    while (Length != 0) {
        ULONGLONG count;
        PUCHAR bytes = SourceBytes(Source, Offset, Length, &count);
        if (bytes != NULL && !IsAllZero(bytes, (SIZE_T)count))
            return FALSE;
        Offset += count;
        Length -= count;
    }
    return TRUE;
}

/*
 * TargetMemory: where the target's byte at Offset lies in its memory and how many
 * bytes of memory follow it there; NULL when it has none (a hole, or beyond the
 * memory of a small file or a partial extent).
 */
static PUCHAR TargetMemory(PFCB Target, ULONGLONG Offset, PULONGLONG Available)
{
    PFCB_DATA target = &Target->Data;
    if (target->Extents == NULL) {
        if (target->DataBase == NULL || Offset >= target->Capacity)
            return NULL;
        *Available = target->Capacity - Offset;
        return target->DataBase + Offset;
    }
    ULONGLONG index = Offset >> EXTENT_SHIFT;
    ULONG within = (ULONG)(Offset & EXTENT_MASK);
    if (index >= target->ExtentCapacity || target->Extents[index].Data == NULL ||
        within >= target->Extents[index].Size)
        return NULL;
    *Available = target->Extents[index].Size - within;
    return (PUCHAR)target->Extents[index].Data + within;
}

/*
 * CopyPiece: copies the source's bytes of a piece into the target's private
 * memory, which the caller has reserved wherever the bytes are not zero; zero
 * bytes are written as zeros where the target has memory and nowhere else.
 */
static VOID CopyPiece(PFCB Target, ULONGLONG TargetOffset, PFCB Source, ULONGLONG SourceOffset, ULONGLONG Length)
{
    while (Length != 0) {
        ULONGLONG count;
        PUCHAR bytes = SourceBytes(Source, SourceOffset, Length, &count);
        if (bytes == NULL) {
            ZeroRange(Target, TargetOffset, count);
        } else {
            ULONGLONG available = 0;
            PUCHAR memory = TargetMemory(Target, TargetOffset, &available);
            if (memory == NULL || available < count) {
                // No memory was reserved here because the bytes are zero.
                if (!IsAllZero(bytes, (SIZE_T)count))
                    StoreInvariantFailed(INVARIANT_COPY_ACROSS_MISSING);
                ZeroRange(Target, TargetOffset, count);
            } else {
                RtlMoveMemory(memory, bytes, (SIZE_T)count);
                if (Target->Data.Extents == NULL)
                    InterlockedOr((volatile LONG *)&Target->Data.SingleImageWord, (LONG)IMAGE_WORD_MODIFIED);
                else
                    TouchExtent(&Target->Data.Extents[TargetOffset >> EXTENT_SHIFT], ExtentAccessTime());
            }
        }
        TargetOffset += count;
        SourceOffset += count;
        Length -= count;
    }
}

/*
 * A piece of the target range: one that lies in one target extent (or, without a
 * table, the whole range), and either shares a whole extent or is copied.
 */
typedef struct _SHARE_PIECE {
    ULONGLONG TargetOffset;
    ULONGLONG Length;
    BOOLEAN Share;
} SHARE_PIECE;

/*
 * NextPiece: the piece at TargetOffset. A target extent shares its source extent
 * whole when the two lie at the same place within their extents, the range covers
 * the whole of the target extent's data, the source extent is a full one (or a
 * hole), and nothing of the source extent lies beyond the target's end of file.
 */
static SHARE_PIECE NextPiece(PFCB Target, ULONGLONG TargetOffset, ULONGLONG TargetEnd, PFCB Source,
                             ULONGLONG SourceOffset, BOOLEAN Aligned)
{
    SHARE_PIECE piece;
    ULONGLONG extentStart = TargetOffset & ~(ULONGLONG)EXTENT_MASK;
    ULONGLONG extentEnd = extentStart + EXTENT_SIZE;
    ULONGLONG targetSize = Target->Data.FileSize;
    piece.TargetOffset = TargetOffset;
    piece.Length = min(TargetEnd, extentEnd) - TargetOffset;
    piece.Share = FALSE;
    if (!Aligned || Source->Data.Extents == NULL || TargetOffset != extentStart ||
        TargetEnd < min(extentEnd, targetSize))
        return piece;
    ULONGLONG sourceStart = SourceOffset + (extentStart - TargetOffset);
    ULONGLONG sourceIndex = sourceStart >> EXTENT_SHIFT;
    PFCB_DATA source = &Source->Data;
    if (sourceIndex < source->ExtentCapacity) {
        PEXTENT_ENTRY entry = &source->Extents[sourceIndex];
        if (entry->Compressed != NULL || (entry->Data != NULL && entry->Size != EXTENT_SIZE))
            return piece;
    }
    if (targetSize < extentEnd && sourceStart + (targetSize - extentStart) < source->FileSize)
        return piece;
    piece.Share = TRUE;
    return piece;
}

/* The clone a reservation is made for: what it puts into each target extent. */
typedef struct _CLONE_CONTENT {
    PFCB Target;
    PFCB Source;
    ULONGLONG TargetOffset;
    ULONGLONG TargetEnd;
    ULONGLONG SourceOffset;
    BOOLEAN Aligned;
} CLONE_CONTENT, *PCLONE_CONTENT;

static EXTENT_USE ClonedExtentUse(PVOID Context, ULONGLONG Offset, ULONGLONG Length)
{
    PCLONE_CONTENT clone = (PCLONE_CONTENT)Context;
    PFCB_DATA source = &clone->Source->Data;
    ULONGLONG from = clone->SourceOffset + (Offset - clone->TargetOffset);
    SHARE_PIECE piece = NextPiece(clone->Target, Offset, clone->TargetEnd, clone->Source, from, clone->Aligned);
    if (piece.Share) {
        ULONGLONG sourceIndex = from >> EXTENT_SHIFT;
        if (sourceIndex < source->ExtentCapacity && source->Extents[sourceIndex].Data != NULL)
            return ExtentTakesChunk;
        return ExtentUntouched;
    }
    return SourceIsZero(clone->Source, from, Length) ? ExtentGetsZeros : ExtentGetsData;
}

/*
 * ShareRange: makes [TargetOffset, TargetOffset + Length) of Target read as
 * [SourceOffset, SourceOffset + Length) of Source (bytes beyond the source's end
 * as zeros). The caller holds both nodes' paging I/O resources exclusively, in
 * ascending address order, and has checked the request: the nodes are on one
 * volume, and the ranges of one node do not overlap. Only the target's bytes below
 * its file size change.
 *
 * Where whole extents line up they are shared, without copying and without new
 * charge; a whole single buffer is shared likewise when both files are single
 * buffers cloned from offset 0 entirely. Everything else is copied. Everything
 * the clone needs (a table, private memory for the copies) is obtained in one
 * reservation before anything changes, so on failure both files read as before,
 * keep their storage and what they share, and nothing more is charged. Returns
 * STATUS_INVALID_PARAMETER for a range that wraps or ends beyond MAX_FILE_OFFSET.
 */
NTSTATUS ShareRange(PFCB Target, ULONGLONG TargetOffset, PFCB Source, ULONGLONG SourceOffset, ULONGLONG Length)
{
    PFCB_DATA target = &Target->Data;
    PFCB_DATA source = &Source->Data;
    NTSTATUS status;
    if (Length == 0)
        return STATUS_SUCCESS;
    if (TargetOffset + Length < TargetOffset || TargetOffset + Length > MAX_FILE_OFFSET ||
        SourceOffset + Length < SourceOffset || SourceOffset + Length > MAX_FILE_OFFSET)
        return STATUS_INVALID_PARAMETER;
    if (Target == Source && TargetOffset < SourceOffset + Length && SourceOffset < TargetOffset + Length)
        return STATUS_INVALID_PARAMETER;
    ULONGLONG targetEnd = min(TargetOffset + Length, target->FileSize);
    if (TargetOffset >= targetEnd)
        return STATUS_SUCCESS;

    if (Target != Source && source->SingleChunk != NULL && source->Extents == NULL && target->Extents == NULL &&
        TargetOffset == 0 && SourceOffset == 0 && targetEnd == target->FileSize &&
        source->FileSize <= target->FileSize) {
        ShareSingleBuffer(Target, Source);
        return STATUS_SUCCESS;
    }

    // Compressed extents on either side are decoded first: a form is never
    // shared, and a copy reads the source's memory.
    status = DecompressRange(Source, SourceOffset, targetEnd - TargetOffset);
    if (NT_SUCCESS(status))
        status = DecompressRange(Target, TargetOffset, targetEnd - TargetOffset);
    if (!NT_SUCCESS(status))
        return status;

    BOOLEAN aligned = ((TargetOffset ^ SourceOffset) & EXTENT_MASK) == 0;
    SHARE_PIECE piece;
    BOOLEAN anyShare = FALSE;
    for (ULONGLONG at = TargetOffset; at < targetEnd; at += piece.Length) {
        piece = NextPiece(Target, at, targetEnd, Source, SourceOffset + (at - TargetOffset), aligned);
        anyShare |= piece.Share;
    }
    ULONGLONG dataEnd = 0;
    if (target->Extents == NULL && !anyShare) {
        for (ULONGLONG at = TargetOffset; at < targetEnd; at += piece.Length) {
            ULONGLONG from = SourceOffset + (at - TargetOffset);
            piece = NextPiece(Target, at, targetEnd, Source, from, aligned);
            if (!SourceIsZero(Source, from, piece.Length))
                dataEnd = at + piece.Length;
        }
    }

    // First everything that may fail, in one step: a slot or single buffer that
    // only takes copies grows in place (or becomes private); otherwise the
    // reservation converts the file, grows its table for the shared extents and
    // makes room for the copies.
    if (target->Extents == NULL && !anyShare && dataEnd <= EXTENT_SIZE) {
        status = ReserveSmallFile(Target, dataEnd, 0, 0);
    } else {
        CLONE_CONTENT clone = {Target, Source, TargetOffset, targetEnd, SourceOffset, aligned};
        status = ReserveExtents(Target, TargetOffset, targetEnd - TargetOffset, FALSE, FALSE, ClonedExtentUse,
                                &clone);
    }
    if (!NT_SUCCESS(status))
        return status;

    // Then the changes, which cannot fail. Copies go first: they read source
    // extents that sharing may give to the target (when both are one node).
    for (ULONGLONG at = TargetOffset; at < targetEnd; at += piece.Length) {
        ULONGLONG from = SourceOffset + (at - TargetOffset);
        piece = NextPiece(Target, at, targetEnd, Source, from, aligned);
        if (!piece.Share)
            CopyPiece(Target, at, Source, from, piece.Length);
    }
    for (ULONGLONG at = TargetOffset; at < targetEnd; at += piece.Length) {
        ULONGLONG from = SourceOffset + (at - TargetOffset);
        piece = NextPiece(Target, at, targetEnd, Source, from, aligned);
        if (piece.Share)
            ShareExtent(Target, at >> EXTENT_SHIFT, Source, from >> EXTENT_SHIFT);
    }
    RecomputeHeaderSizes(Target);
    return STATUS_SUCCESS;
}
