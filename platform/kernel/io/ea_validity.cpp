/*
 * IoCheckEaBufferValidity: the shape check every FILE_FULL_EA_INFORMATION chain
 * gets before a file system trusts it (create with EAs, set EA). Entry by entry,
 * from the start of the buffer:
 *
 *   - the fixed part (NextEntryOffset, Flags, EaNameLength, EaValueLength) lies
 *     in what is left of the buffer;
 *   - so do the name, its terminating NUL and the value;
 *   - the byte after the name (EaName[EaNameLength]) is that NUL, and the name
 *     holds no earlier NUL: EaNameLength is the length of the C string EaName;
 *   - NextEntryOffset is 0 for the last entry, and otherwise exactly the entry's
 *     size rounded up to a ULONG boundary, and no further than the buffer's end.
 *
 * The first entry that breaks a rule is the one reported: *ErrorOffset is its
 * offset from the start of the buffer (which may be EaLength itself when the
 * chain promises an entry the buffer has no room for). Bytes after the last
 * entry are not looked at.
 *
 * A zero-length value is valid (it asks a set to delete the name); so is an
 * empty name, which only a file system's own name rules can refuse.
 *
 * The routine reads the buffer as it stands; a caller that got it from user mode
 * checks (and then uses) its own captured copy, never the user's memory. The
 * buffer need not be aligned: its fields are copied out, never dereferenced in
 * place.
 */
#include "ke/dispatcher.h"

#include <km/io.h>

#include <cstring>

namespace io {
namespace {

constexpr ULONG kFixedPart = FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName);

ULONG AlignToUlong(ULONG size)
{
    return (size + sizeof(ULONG) - 1) & ~ULONG(sizeof(ULONG) - 1);
}

/* The fixed part of the entry at entry, which may lie on any byte. */
FILE_FULL_EA_INFORMATION ReadFixedPart(const UCHAR *entry)
{
    FILE_FULL_EA_INFORMATION fixed;
    memcpy(&fixed, entry, kFixedPart);
    return fixed;
}

} // namespace
} // namespace io

extern "C" {

NTKERNELAPI NTSTATUS NTAPI IoCheckEaBufferValidity(PFILE_FULL_EA_INFORMATION EaBuffer, ULONG EaLength,
                                                   PULONG ErrorOffset)
{
    ke::CheckIrql((const void *)&IoCheckEaBufferValidity, APC_LEVEL);
    const UCHAR *base = reinterpret_cast<const UCHAR *>(EaBuffer);
    ULONG offset = 0;
    ULONG remaining = EaLength;
    for (;;) {
        if (remaining < io::kFixedPart)
            break;
        const FILE_FULL_EA_INFORMATION entry = io::ReadFixedPart(base + offset);
        /* At most 8 + 255 + 1 + 65535: no overflow. */
        ULONG size = io::kFixedPart + entry.EaNameLength + 1 + entry.EaValueLength;
        if (size > remaining)
            break;
        const UCHAR *name = base + offset + io::kFixedPart;
        if (memchr(name, '\0', entry.EaNameLength + 1) != name + entry.EaNameLength)
            break;
        ULONG next = entry.NextEntryOffset;
        if (next == 0)
            return STATUS_SUCCESS;
        if (next != io::AlignToUlong(size) || next > remaining)
            break;
        offset += next;
        remaining -= next;
    }
    *ErrorOffset = offset;
    return STATUS_EA_LIST_INCONSISTENT;
}

} // extern "C"
