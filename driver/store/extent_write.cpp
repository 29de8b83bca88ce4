/*
 * Writing with allocation: the write that may grow a file's storage, take private
 * copies of shared data and fill holes. Zeros written into a hole allocate
 * nothing, so holes stay holes.
 */
#include "vorel.h"

/* An 8-byte load from any address (the caller's buffer need not be aligned). */
typedef ULONG64 __attribute__((aligned(1), may_alias)) UNALIGNED_ULONG64;

/*
 * IsAllZero: whether every byte of the buffer is zero; FALSE for no buffer or no
 * length. Tests 128-byte blocks first (the compiler makes vector code of them),
 * then 16-byte blocks, then single bytes, stopping at the first block with a set
 * bit.
 */
BOOLEAN IsAllZero(const VOID *Buffer, SIZE_T Length)
{
    if (Buffer == NULL || Length == 0)
        return FALSE;
    const UCHAR *p = (const UCHAR *)Buffer;
    while (Length >= 128) {
        const UNALIGNED_ULONG64 *w = (const UNALIGNED_ULONG64 *)p;
        ULONG64 bits = 0;
        for (ULONG i = 0; i < 16; i++)
            bits |= w[i];
        if (bits != 0)
            return FALSE;
        p += 128;
        Length -= 128;
    }
    while (Length >= 16) {
        const UNALIGNED_ULONG64 *w = (const UNALIGNED_ULONG64 *)p;
        if ((w[0] | w[1]) != 0)
            return FALSE;
        p += 16;
        Length -= 16;
    }
    while (Length != 0) {
        if (*p != 0)
            return FALSE;
        p++;
        Length--;
    }
    return TRUE;
}

/*
 * CopyIntoExtents: copies into the extents of a table file, piece by piece (no
 * piece crosses an extent boundary), touching every extent written. A piece over
 * a hole is skipped: it carries zeros, which the hole already reads as. So is one
 * beyond the table, which only an all-zero piece can reach (the table grows for
 * any other). A shared extent here is a broken invariant.
 */
VOID CopyIntoExtents(PFCB Fcb, ULONGLONG Offset, const VOID *Buffer, SIZE_T Length)
{
    PFCB_DATA data = &Fcb->Data;
    const UCHAR *source = (const UCHAR *)Buffer;
    ULONGLONG end = Offset + Length;
    ULONG now = ExtentAccessTime();
    for (ULONGLONG position = Offset; position < end;) {
        ULONGLONG index = position >> EXTENT_SHIFT;
        ULONGLONG pieceEnd = min(end, (index + 1) << EXTENT_SHIFT);
        SIZE_T pieceLength = (SIZE_T)(pieceEnd - position);
        const UCHAR *piece = source + (position - Offset);
        if (index >= data->ExtentCapacity) {
            if (!IsAllZero(piece, pieceLength))
                StoreInvariantFailed(INVARIANT_WRITE_SHARED_OR_BEYOND);
        } else {
            PEXTENT_ENTRY entry = &data->Extents[index];
            if (entry->Data != NULL) {
                if (entry->Flags & EXTENT_SHARED)
                    StoreInvariantFailed(INVARIANT_WRITE_EXTENT_SHARED);
                RtlCopyMemory((PUCHAR)entry->Data + (position & EXTENT_MASK), piece, pieceLength);
                TouchExtent(entry, now);
            }
        }
        position = pieceEnd;
    }
}

/*
 * CopyAfterReservation: the copy of a write whose whole range was just reserved:
 * every byte has private memory, or the invariant is broken.
 */
static VOID CopyAfterReservation(PFCB Fcb, ULONGLONG Offset, const VOID *Buffer, SIZE_T Length)
{
    PFCB_DATA data = &Fcb->Data;
    ULONGLONG end = Offset + Length;
    if (data->Extents == NULL) {
        if (data->DataBase == NULL)
            StoreInvariantFailed(INVARIANT_WRITE_NO_DATA_BASE);
        if (data->SingleFlags & SINGLE_SHARED)
            StoreInvariantFailed(INVARIANT_WRITE_SHARED_OR_BEYOND);
        RtlCopyMemory(data->DataBase + Offset, Buffer, Length);
        InterlockedOr((volatile LONG *)&data->SingleImageWord, (LONG)IMAGE_WORD_MODIFIED);
        return;
    }

    ULONG now = ExtentAccessTime();
    BOOLEAN acrossExtents = (Offset >> EXTENT_SHIFT) != ((end - 1) >> EXTENT_SHIFT);
    ULONG missingInvariant = acrossExtents ? INVARIANT_COPY_ACROSS_MISSING : INVARIANT_WRITE_EXTENT_NO_DATA;
    ULONG sharedInvariant = acrossExtents ? INVARIANT_COPY_ACROSS_SHARED : INVARIANT_WRITE_EXTENT_SHARED;
    const UCHAR *source = (const UCHAR *)Buffer;
    for (ULONGLONG position = Offset; position < end;) {
        ULONGLONG index = position >> EXTENT_SHIFT;
        ULONGLONG pieceEnd = min(end, (index + 1) << EXTENT_SHIFT);
        if (index >= data->ExtentCapacity || data->Extents[index].Data == NULL)
            StoreInvariantFailed(missingInvariant);
        PEXTENT_ENTRY entry = &data->Extents[index];
        if (entry->Flags & EXTENT_SHARED)
            StoreInvariantFailed(sharedInvariant);
        RtlCopyMemory((PUCHAR)entry->Data + (position & EXTENT_MASK), source + (position - Offset),
                      (SIZE_T)(pieceEnd - position));
        TouchExtent(entry, now);
        position = pieceEnd;
    }
}

/* The bytes a write puts into one extent, for its reservation. */
typedef struct _WRITE_CONTENT {
    ULONGLONG Offset;
    const UCHAR *Buffer;
} WRITE_CONTENT, *PWRITE_CONTENT;

static EXTENT_USE WrittenExtentUse(PVOID Context, ULONGLONG Offset, ULONGLONG Length)
{
    PWRITE_CONTENT content = (PWRITE_CONTENT)Context;
    return IsAllZero(content->Buffer + (Offset - content->Offset), (SIZE_T)Length) ? ExtentGetsZeros
                                                                                   : ExtentGetsData;
}

/*
 * WriteData: writes Length bytes at Offset, making room as needed: compressed
 * extents in the range are decoded, shared data in the range becomes private, a pending partial extent the write passes becomes
 * full, and missing extents are allocated except where the bytes written are all
 * zero. The file size is the caller's to raise. Returns STATUS_DISK_FULL for an
 * end beyond MAX_FILE_OFFSET or the last extent a table can hold, zeros or not.
 * On failure nothing was written, nothing more is charged, and the file keeps
 * its storage and what it shares.
 */
NTSTATUS WriteData(PFCB Fcb, ULONGLONG Offset, const VOID *Buffer, SIZE_T Length)
{
    PFCB_DATA data = &Fcb->Data;
    if (Length == 0)
        return STATUS_SUCCESS;
    ULONGLONG end = Offset + Length;
    if (end < Offset || end > MAX_FILE_OFFSET || ((end - 1) >> EXTENT_SHIFT) >= MAX_EXTENTS)
        return STATUS_DISK_FULL;

    NTSTATUS status = DecompressRange(Fcb, Offset, Length);
    if (!NT_SUCCESS(status))
        return status;
    if (data->Extents == NULL && end <= EXTENT_SIZE) {
        status = ReserveRange(Fcb, Offset, Length, TRUE, FALSE);
        if (NT_SUCCESS(status))
            CopyAfterReservation(Fcb, Offset, Buffer, Length);
        return status;
    }

    // One reservation for every piece that needs memory (all-zero pieces aimed at
    // holes need none), the conversion of a small file, the private copies, the
    // partial extent and the table: it fails as a whole, and the copy that
    // follows at once fills what it left unzeroed.
    WRITE_CONTENT content = {Offset, (const UCHAR *)Buffer};
    status = ReserveExtents(Fcb, Offset, Length, TRUE, FALSE, WrittenExtentUse, &content);
    if (!NT_SUCCESS(status))
        return status;
    CopyIntoExtents(Fcb, Offset, Buffer, Length);
    return STATUS_SUCCESS;
}
