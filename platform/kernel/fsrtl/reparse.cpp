/*
 * FsRtlValidateReparsePointBuffer: the shape check a file system applies to a
 * REPARSE_DATA_BUFFER (or, for a tag without the Microsoft bit, a
 * REPARSE_GUID_DATA_BUFFER) before it stores it as a reparse point.
 *
 * Rules, in the order they are applied:
 *
 *   1. The buffer holds at least the 8-byte header (tag, data length, reserved)
 *      and at most MAXIMUM_REPARSE_DATA_BUFFER_SIZE (16 KiB) in all, else
 *      STATUS_IO_REPARSE_DATA_INVALID.
 *   2. The tag is one a caller may set, else STATUS_IO_REPARSE_TAG_INVALID:
 *      not one of the reserved values 0, 1 and 2; a tag without the Microsoft
 *      bit (31) has the reserved bit 30 clear; the name-surrogate bit (29) and
 *      the directory bit (28) are never both set. The twelve reserved bits
 *      27..16 are not looked at: they are to be ignored on receipt.
 *   3. The header's data length accounts for the buffer exactly: header (8
 *      bytes with the Microsoft bit, 24 with the GUID otherwise) plus
 *      ReparseDataLength equals BufferLength, else STATUS_IO_REPARSE_DATA_INVALID.
 *   4. For the two Microsoft formats the system itself parses, mount points and
 *      symbolic links: the fixed part of the record fits in the data, and the
 *      substitute and print names lie inside the path buffer behind it, else
 *      STATUS_IO_REPARSE_DATA_INVALID.
 *
 * Bad input changes nothing: the routine only reads the buffer, which need not
 * be aligned. A caller that got the buffer from user mode validates (and then
 * stores) its own captured copy.
 */
#include "ke/dispatcher.h"

#include <km/fsrtl.h>

#include <cstring>

namespace fsrtl {
namespace {

/* Bit 30 of a tag: must be clear unless the tag is Microsoft's. */
constexpr ULONG kReparseTagReservedBit = 0x40000000;

bool IsReparseTagSettable(ULONG tag)
{
    if (tag <= IO_REPARSE_TAG_RESERVED_RANGE)
        return false;
    if (!IsReparseTagMicrosoft(tag) && (tag & kReparseTagReservedBit) != 0)
        return false;
    if (IsReparseTagNameSurrogate(tag) && IsReparseTagDirectory(tag))
        return false;
    return true;
}

/* A name described by an offset and a byte length inside a path buffer of pathBytes. */
bool IsNameInside(USHORT offset, USHORT length, ULONG pathBytes)
{
    return (ULONG)offset + length <= pathBytes;
}

/*
 * Checks the names of a mount-point or symbolic-link record: data is the data
 * part (after the 8-byte header), dataBytes its length, fixedBytes the size of
 * the record's fields before PathBuffer.
 */
bool AreNamesInside(const UCHAR *data, ULONG dataBytes, ULONG fixedBytes)
{
    if (dataBytes < fixedBytes)
        return false;
    USHORT names[4]; /* SubstituteNameOffset, SubstituteNameLength, PrintNameOffset, PrintNameLength */
    memcpy(names, data, sizeof(names));
    ULONG pathBytes = dataBytes - fixedBytes;
    return IsNameInside(names[0], names[1], pathBytes) && IsNameInside(names[2], names[3], pathBytes);
}

} // namespace
} // namespace fsrtl

extern "C" {

NTKERNELAPI NTSTATUS NTAPI FsRtlValidateReparsePointBuffer(ULONG BufferLength, PREPARSE_DATA_BUFFER ReparseBuffer)
{
    ke::CheckIrql((const void *)&FsRtlValidateReparsePointBuffer, PASSIVE_LEVEL);
    if (BufferLength < REPARSE_DATA_BUFFER_HEADER_SIZE || BufferLength > MAXIMUM_REPARSE_DATA_BUFFER_SIZE)
        return STATUS_IO_REPARSE_DATA_INVALID;

    const auto *bytes = reinterpret_cast<const UCHAR *>(ReparseBuffer);
    ULONG tag;
    USHORT dataLength;
    memcpy(&tag, bytes + FIELD_OFFSET(REPARSE_DATA_BUFFER, ReparseTag), sizeof(tag));
    memcpy(&dataLength, bytes + FIELD_OFFSET(REPARSE_DATA_BUFFER, ReparseDataLength), sizeof(dataLength));
    if (!fsrtl::IsReparseTagSettable(tag))
        return STATUS_IO_REPARSE_TAG_INVALID;

    ULONG header = IsReparseTagMicrosoft(tag) ? REPARSE_DATA_BUFFER_HEADER_SIZE : REPARSE_GUID_DATA_BUFFER_HEADER_SIZE;
    if (header + dataLength != BufferLength)
        return STATUS_IO_REPARSE_DATA_INVALID;

    const UCHAR *data = bytes + REPARSE_DATA_BUFFER_HEADER_SIZE;
    constexpr ULONG kMountPointFixed = FIELD_OFFSET(REPARSE_DATA_BUFFER, MountPointReparseBuffer.PathBuffer) -
                                       REPARSE_DATA_BUFFER_HEADER_SIZE;
    constexpr ULONG kSymbolicLinkFixed = FIELD_OFFSET(REPARSE_DATA_BUFFER, SymbolicLinkReparseBuffer.PathBuffer) -
                                         REPARSE_DATA_BUFFER_HEADER_SIZE;
    if (tag == IO_REPARSE_TAG_MOUNT_POINT && !fsrtl::AreNamesInside(data, dataLength, kMountPointFixed))
        return STATUS_IO_REPARSE_DATA_INVALID;
    if (tag == IO_REPARSE_TAG_SYMLINK && !fsrtl::AreNamesInside(data, dataLength, kSymbolicLinkFixed))
        return STATUS_IO_REPARSE_DATA_INVALID;
    return STATUS_SUCCESS;
}

} // extern "C"
