/*
 * A node's reparse point: one stored reparse buffer ("vlRp", non-paged pool), its
 * length and its tag, guarded by the node's main resource.
 *
 * Buffers reach these routines as captured system copies; they need not be
 * aligned, so the header's fields are copied out rather than read in place.
 */
#include "vorel.h"

#define REPARSE_GUID_OFFSET REPARSE_DATA_BUFFER_HEADER_SIZE /* bytes 8..23 of a GUID buffer */

/* ReparseHeaderSize: 8 bytes for a Microsoft tag, 24 (header and GUID) otherwise. */
static ULONG ReparseHeaderSize(ULONG Tag)
{
    return IsReparseTagMicrosoft(Tag) ? REPARSE_DATA_BUFFER_HEADER_SIZE : REPARSE_GUID_DATA_BUFFER_HEADER_SIZE;
}

static ULONG ReparseTagOf(const VOID *Buffer)
{
    ULONG tag;
    RtlCopyMemory(&tag, (const UCHAR *)Buffer + FIELD_OFFSET(REPARSE_DATA_BUFFER, ReparseTag), sizeof(tag));
    return tag;
}

static USHORT ReparseDataLengthOf(const VOID *Buffer)
{
    USHORT length;
    RtlCopyMemory(&length, (const UCHAR *)Buffer + FIELD_OFFSET(REPARSE_DATA_BUFFER, ReparseDataLength),
                  sizeof(length));
    return length;
}

/*
 * ReparseGuidsDiffer: for a tag without the Microsoft bit, whether the GUID of
 * Buffer differs from the stored one. Both buffers hold at least the GUID header.
 */
static BOOLEAN ReparseGuidsDiffer(PFCB Fcb, const VOID *Buffer)
{
    return RtlCompareMemory((const UCHAR *)Fcb->ReparseBuffer + REPARSE_GUID_OFFSET,
                            (const UCHAR *)Buffer + REPARSE_GUID_OFFSET, sizeof(GUID)) != sizeof(GUID);
}

/* RemoveReparse: the node is no reparse point any more. Main resource exclusive (or the last reference). */
VOID RemoveReparse(PFCB Fcb)
{
    FreeAndClear(&Fcb->ReparseBuffer, TAG_REPARSE);
    Fcb->ReparseLength = 0;
    Fcb->ReparseTag = 0;
}

/*
 * SetReparse: Buffer (Length bytes) becomes the node's reparse point, replacing
 * any old one. Main resource exclusive. A mount point needs an empty directory;
 * adding a name takes the directory's main resource exclusively, so the emptiness
 * seen here lasts while the caller holds it.
 * Returns STATUS_INVALID_BUFFER_SIZE, the validator's status,
 * STATUS_NOT_A_DIRECTORY, STATUS_DIRECTORY_NOT_EMPTY,
 * STATUS_IO_REPARSE_DATA_INVALID, STATUS_INSUFFICIENT_RESOURCES; a failure keeps
 * the old point.
 */
NTSTATUS SetReparse(PFCB Fcb, PVOID Buffer, ULONG Length)
{
    if (Buffer == NULL || Length < REPARSE_DATA_BUFFER_HEADER_SIZE)
        return STATUS_INVALID_BUFFER_SIZE;
    NTSTATUS status = FsRtlValidateReparsePointBuffer(Length, (PREPARSE_DATA_BUFFER)Buffer);
    if (!NT_SUCCESS(status))
        return status;

    ULONG tag = ReparseTagOf(Buffer);
    if (tag == IO_REPARSE_TAG_MOUNT_POINT) {
        if (!Fcb->IsDirectory)
            return STATUS_NOT_A_DIRECTORY;
        if (!IsListEmpty(&Fcb->Children))
            return STATUS_DIRECTORY_NOT_EMPTY;
    }
    ULONG stored = ReparseHeaderSize(tag) + ReparseDataLengthOf(Buffer);
    if (stored > Length)
        return STATUS_IO_REPARSE_DATA_INVALID;

    PVOID copy = AllocateZeroed(stored, TAG_REPARSE, NonPagedPoolNx);
    if (copy == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(copy, Buffer, stored);
    RemoveReparse(Fcb);
    Fcb->ReparseBuffer = copy;
    Fcb->ReparseLength = stored;
    Fcb->ReparseTag = tag;
    return STATUS_SUCCESS;
}

/*
 * SetReparseChecked: SetReparse for the set-reparse-point request, which may only
 * rewrite a point of the same tag (and, without the Microsoft bit, the same GUID).
 * Main resource exclusive. Adds STATUS_IO_REPARSE_TAG_MISMATCH and
 * STATUS_REPARSE_ATTRIBUTE_CONFLICT to SetReparse's statuses.
 */
NTSTATUS SetReparseChecked(PFCB Fcb, PVOID Buffer, ULONG Length)
{
    if (Buffer == NULL || Length < REPARSE_DATA_BUFFER_HEADER_SIZE)
        return STATUS_INVALID_BUFFER_SIZE;
    if (Fcb->ReparseTag != 0) {
        ULONG tag = ReparseTagOf(Buffer);
        if (tag != Fcb->ReparseTag)
            return STATUS_IO_REPARSE_TAG_MISMATCH;
        if (!IsReparseTagMicrosoft(tag) && Length >= REPARSE_GUID_DATA_BUFFER_HEADER_SIZE &&
            Fcb->ReparseLength >= REPARSE_GUID_DATA_BUFFER_HEADER_SIZE && ReparseGuidsDiffer(Fcb, Buffer))
            return STATUS_REPARSE_ATTRIBUTE_CONFLICT;
    }
    return SetReparse(Fcb, Buffer, Length);
}

/*
 * DeleteReparse: removes the node's reparse point when Buffer, a bare header with
 * no data, names its tag (and GUID). Main resource exclusive. Returns
 * STATUS_IO_REPARSE_DATA_INVALID, STATUS_IO_REPARSE_TAG_INVALID,
 * STATUS_NOT_A_REPARSE_POINT, STATUS_IO_REPARSE_TAG_MISMATCH or
 * STATUS_REPARSE_ATTRIBUTE_CONFLICT, keeping the point.
 */
NTSTATUS DeleteReparse(PFCB Fcb, PVOID Buffer, ULONG Length)
{
    if (Buffer == NULL || Length < REPARSE_DATA_BUFFER_HEADER_SIZE)
        return STATUS_IO_REPARSE_DATA_INVALID;
    // The data length is looked at before the tag and the tag before the length
    // it implies: a reserved tag is refused as such whatever header carries it.
    ULONG tag = ReparseTagOf(Buffer);
    if (ReparseDataLengthOf(Buffer) != 0)
        return STATUS_IO_REPARSE_DATA_INVALID;
    if (tag < 2)
        return STATUS_IO_REPARSE_TAG_INVALID;
    if (Length != ReparseHeaderSize(tag))
        return STATUS_IO_REPARSE_DATA_INVALID;
    if (Fcb->ReparseTag == 0)
        return STATUS_NOT_A_REPARSE_POINT;
    if (tag != Fcb->ReparseTag)
        return STATUS_IO_REPARSE_TAG_MISMATCH;
    if (!IsReparseTagMicrosoft(tag)) {
        if (Fcb->ReparseLength < REPARSE_GUID_DATA_BUFFER_HEADER_SIZE)
            return STATUS_IO_REPARSE_DATA_INVALID;
        if (ReparseGuidsDiffer(Fcb, Buffer))
            return STATUS_REPARSE_ATTRIBUTE_CONFLICT;
    }
    RemoveReparse(Fcb);
    return STATUS_SUCCESS;
}
