/*
 * The copies that only read the layout: copying a file's bytes out, and writing
 * in place into memory the file already has. They run with the paging resource
 * held shared, beside each other and beside the paging write path; every chunk
 * stays mapped, so each is a plain memory copy per extent.
 */
#include "vorel.h"

/*
 * CopyFromStorage: copies [Offset, Offset + Length) of the file's data into Buffer.
 * Holes, bytes beyond the table and bytes beyond the memory of the slot, single
 * buffer or a partial extent read as zeros. The caller has cut the range to the
 * file size. An extent in compressed form has no memory and would read as a
 * hole here: the compressed read (ReadCompressedRange) serves those extents
 * itself and hands only the others to this copy.
 */
VOID CopyFromStorage(PFCB Fcb, ULONGLONG Offset, PVOID Buffer, SIZE_T Length)
{
    PFCB_DATA data = &Fcb->Data;
    PUCHAR target = (PUCHAR)Buffer;
    ULONGLONG end = Offset + Length;

    if (data->Extents == NULL) {
        ULONGLONG capacity = data->DataBase != NULL ? data->Capacity : 0;
        ULONGLONG copyEnd = min(end, max(capacity, Offset));
        if (copyEnd > Offset)
            RtlCopyMemory(target, data->DataBase + Offset, (SIZE_T)(copyEnd - Offset));
        if (end > copyEnd)
            RtlZeroMemory(target + (copyEnd - Offset), (SIZE_T)(end - copyEnd));
        return;
    }

    for (ULONGLONG position = Offset; position < end;) {
        ULONGLONG index = position >> EXTENT_SHIFT;
        ULONGLONG pieceEnd = min(end, (index + 1) << EXTENT_SHIFT);
        PUCHAR piece = target + (position - Offset);
        ULONG within = (ULONG)(position & EXTENT_MASK);
        ULONG pieceLength = (ULONG)(pieceEnd - position);
        PUCHAR memory = NULL;
        ULONG size = 0;
        if (index < data->ExtentCapacity) {
            PEXTENT_ENTRY entry = &data->Extents[index];
            memory = (PUCHAR)ReadPointerAcquire(&entry->Data);
            size = ReadULongNoFence(&entry->Size);
        }
        ULONG copied = 0;
        if (memory != NULL && within < size) {
            copied = min(pieceLength, size - within);
            RtlCopyMemory(piece, memory + within, copied);
        }
        if (copied < pieceLength)
            RtlZeroMemory(piece + copied, pieceLength - copied);
        position = pieceEnd;
    }
}

/*
 * WriteInPlace: writes [Offset, Offset + Length) when the whole range already has
 * private memory (the slot or single buffer covers it unshared, or every extent of
 * it is present, unshared and large enough), touching what it writes. Returns
 * FALSE, having written nothing, when any part would need the path that
 * allocates (WriteData).
 */
BOOLEAN WriteInPlace(PFCB Fcb, ULONGLONG Offset, const VOID *Buffer, SIZE_T Length)
{
    PFCB_DATA data = &Fcb->Data;
    const UCHAR *source = (const UCHAR *)Buffer;
    ULONGLONG end = Offset + Length;
    if (Length == 0)
        return TRUE;
    if (end < Offset)
        return FALSE;

    if (data->Extents == NULL) {
        if (data->DataBase == NULL || end > data->Capacity || (data->SingleFlags & SINGLE_SHARED))
            return FALSE;
        RtlCopyMemory(data->DataBase + Offset, source, Length);
        if ((ReadULongNoFence(&data->SingleImageWord) & IMAGE_WORD_MODIFIED) == 0)
            InterlockedOr((volatile LONG *)&data->SingleImageWord, (LONG)IMAGE_WORD_MODIFIED);
        return TRUE;
    }

    ULONGLONG last = (end - 1) >> EXTENT_SHIFT;
    if (last >= data->ExtentCapacity)
        return FALSE;
    for (ULONGLONG index = Offset >> EXTENT_SHIFT; index <= last; index++) {
        PEXTENT_ENTRY entry = &data->Extents[index];
        ULONGLONG extentEnd = min(end, (index + 1) << EXTENT_SHIFT) - (index << EXTENT_SHIFT);
        if (ReadPointerAcquire(&entry->Data) == NULL || (ReadULongNoFence(&entry->Flags) & EXTENT_SHARED) ||
            extentEnd > ReadULongNoFence(&entry->Size))
            return FALSE;
    }
    ULONG now = ExtentAccessTime();
    for (ULONGLONG position = Offset; position < end;) {
        ULONGLONG index = position >> EXTENT_SHIFT;
        ULONGLONG pieceEnd = min(end, (index + 1) << EXTENT_SHIFT);
        PEXTENT_ENTRY entry = &data->Extents[index];
        RtlCopyMemory((PUCHAR)entry->Data + (position & EXTENT_MASK), source + (position - Offset),
                      (SIZE_T)(pieceEnd - position));
        TouchExtent(entry, now);
        position = pieceEnd;
    }
    return TRUE;
}
