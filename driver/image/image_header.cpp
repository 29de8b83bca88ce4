/*
 * Header copies: building one from a filled-in record, checking and parsing one
 * read from the file, and choosing the committed copy of the two.
 */
#include "vorel.h"

static const UCHAR ImageMagic[8] = {'V', 'O', 'R', 'E', 'L', 'I', 'M', 'G'};

/* The checksum of a copy: XXH3 of all its bytes with the checksum field zero. */
static ULONGLONG ImageHeaderChecksum(PUCHAR Copy)
{
    ImagePut64(Copy + IMAGE_HEADER_CHECKSUM_OFFSET, 0);
    return HashBytes(Copy, IMAGE_HEADER_SIZE);
}

/*
 * BuildImageHeaderCopy: writes Header into Copy (IMAGE_HEADER_SIZE bytes) with
 * the constant fields of this format version and its checksum, computed last.
 * Slot list entries beyond the metadata slot count are written as 0.
 */
VOID BuildImageHeaderCopy(PCIMAGE_HEADER Header, PUCHAR Copy)
{
    RtlZeroMemory(Copy, IMAGE_HEADER_SIZE);
    RtlCopyMemory(Copy + IMAGE_HEADER_MAGIC_OFFSET, ImageMagic, sizeof(ImageMagic));
    ImagePut16(Copy + IMAGE_HEADER_VERSION_OFFSET, IMAGE_FORMAT_VERSION);
    ImagePut16(Copy + IMAGE_HEADER_COMPAT_OFFSET, IMAGE_FORMAT_COMPAT);
    ImagePut32(Copy + IMAGE_HEADER_SIZE_OFFSET, IMAGE_HEADER_SIZE);
    ImagePut64(Copy + IMAGE_HEADER_GENERATION_OFFSET, Header->Generation);
    RtlCopyMemory(Copy + IMAGE_HEADER_IDENTIFIER_OFFSET, Header->Identifier, sizeof(Header->Identifier));
    ImagePut64(Copy + IMAGE_HEADER_FLAGS_OFFSET, Header->Flags);
    Copy[IMAGE_HEADER_SLOT_SHIFT_OFFSET] = IMAGE_SLOT_SHIFT;
    Copy[IMAGE_HEADER_WRITER_OFFSET] = Header->Writer;
    ImagePut64(Copy + IMAGE_HEADER_HIGH_WATER_OFFSET, Header->HighWater);
    ImagePut64(Copy + IMAGE_HEADER_VOLUME_SIZE_OFFSET, Header->VolumeSize);
    ImagePut32(Copy + IMAGE_HEADER_SERIAL_OFFSET, Header->SerialNumber);
    ImagePut32(Copy + IMAGE_HEADER_SECURITY_OFFSET, Header->PerFileSecurity);
    ImagePut32(Copy + IMAGE_HEADER_COMPRESSION_OFFSET, Header->CompressionLevel);
    ImagePut32(Copy + IMAGE_HEADER_BUILD_HASH_OFFSET, Header->BuildHash);
    ImagePut64(Copy + IMAGE_HEADER_SAVE_TIME_OFFSET, (ULONGLONG)Header->SaveTime);
    ImagePut64(Copy + IMAGE_HEADER_NEXT_NODE_OFFSET, Header->NextNodeId);
    for (ULONG i = 0; i < IMAGE_LABEL_UNITS; ++i)
        ImagePut16(Copy + IMAGE_HEADER_LABEL_OFFSET + 2 * i, Header->Label[i]);
    ImagePut64(Copy + IMAGE_HEADER_STREAM_LENGTH_OFFSET, Header->StreamLength);
    ImagePut64(Copy + IMAGE_HEADER_STREAM_CHECKSUM_OFFSET, Header->StreamChecksum);
    ULONG count = min(Header->MetadataSlotCount, IMAGE_METADATA_SLOTS_MAX);
    ImagePut32(Copy + IMAGE_HEADER_SLOT_COUNT_OFFSET, Header->MetadataSlotCount);
    for (ULONG i = 0; i < count; ++i)
        ImagePut32(Copy + IMAGE_HEADER_SLOT_LIST_OFFSET + 4 * i, Header->MetadataSlots[i]);
    ImagePut64(Copy + IMAGE_HEADER_CHECKSUM_OFFSET, ImageHeaderChecksum(Copy));
}

/*
 * CheckImageHeaderCopy: whether Copy (Length bytes as read; a short read makes
 * the copy invalid, bytes past the first 4096 are not part of it) is a valid
 * copy: magic, version, header size, slot shift, slot count, high-water mark and
 * checksum. The writer byte is not part of validity. Returns the generation of a
 * valid copy; STATUS_FILE_CORRUPT_ERROR for an invalid one, or
 * STATUS_INSUFFICIENT_RESOURCES when the checksum could not be computed.
 */
NTSTATUS CheckImageHeaderCopy(const UCHAR *Copy, SIZE_T Length, PULONGLONG Generation)
{
    if (Length < IMAGE_HEADER_SIZE)
        return STATUS_FILE_CORRUPT_ERROR;
    if (RtlCompareMemory(Copy + IMAGE_HEADER_MAGIC_OFFSET, ImageMagic, sizeof(ImageMagic)) != sizeof(ImageMagic) ||
        ImageGet16(Copy + IMAGE_HEADER_VERSION_OFFSET) != IMAGE_FORMAT_VERSION ||
        ImageGet32(Copy + IMAGE_HEADER_SIZE_OFFSET) != IMAGE_HEADER_SIZE ||
        Copy[IMAGE_HEADER_SLOT_SHIFT_OFFSET] != IMAGE_SLOT_SHIFT ||
        ImageGet32(Copy + IMAGE_HEADER_SLOT_COUNT_OFFSET) > IMAGE_METADATA_SLOTS_MAX ||
        ImageGet64(Copy + IMAGE_HEADER_HIGH_WATER_OFFSET) > IMAGE_SLOT_LIMIT)
        return STATUS_FILE_CORRUPT_ERROR;

    /* The checksum covers the copy with its own field zero: hashed from a scratch copy. */
    PUCHAR scratch = (PUCHAR)VorelData.AllocatePool(IMAGE_HEADER_SIZE, TAG_IMAGE_HEADER, NonPagedPoolNx);
    if (scratch == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(scratch, Copy, IMAGE_HEADER_SIZE);
    BOOLEAN match = ImageHeaderChecksum(scratch) == ImageGet64(Copy + IMAGE_HEADER_CHECKSUM_OFFSET);
    VorelData.FreePool(scratch, TAG_IMAGE_HEADER);
    if (!match)
        return STATUS_FILE_CORRUPT_ERROR;
    *Generation = ImageGet64(Copy + IMAGE_HEADER_GENERATION_OFFSET);
    return STATUS_SUCCESS;
}

/* ParseImageHeaderCopy: the fields of a copy CheckImageHeaderCopy found valid. */
VOID ParseImageHeaderCopy(const UCHAR *Copy, PIMAGE_HEADER Header)
{
    RtlZeroMemory(Header, sizeof(*Header));
    Header->Compat = ImageGet16(Copy + IMAGE_HEADER_COMPAT_OFFSET);
    Header->Generation = ImageGet64(Copy + IMAGE_HEADER_GENERATION_OFFSET);
    RtlCopyMemory(Header->Identifier, Copy + IMAGE_HEADER_IDENTIFIER_OFFSET, sizeof(Header->Identifier));
    Header->Flags = ImageGet64(Copy + IMAGE_HEADER_FLAGS_OFFSET);
    Header->Writer = Copy[IMAGE_HEADER_WRITER_OFFSET];
    Header->HighWater = ImageGet64(Copy + IMAGE_HEADER_HIGH_WATER_OFFSET);
    Header->VolumeSize = ImageGet64(Copy + IMAGE_HEADER_VOLUME_SIZE_OFFSET);
    Header->SerialNumber = ImageGet32(Copy + IMAGE_HEADER_SERIAL_OFFSET);
    Header->PerFileSecurity = ImageGet32(Copy + IMAGE_HEADER_SECURITY_OFFSET);
    Header->CompressionLevel = ImageGet32(Copy + IMAGE_HEADER_COMPRESSION_OFFSET);
    Header->BuildHash = ImageGet32(Copy + IMAGE_HEADER_BUILD_HASH_OFFSET);
    Header->SaveTime = (LONGLONG)ImageGet64(Copy + IMAGE_HEADER_SAVE_TIME_OFFSET);
    Header->NextNodeId = ImageGet64(Copy + IMAGE_HEADER_NEXT_NODE_OFFSET);
    for (ULONG i = 0; i < IMAGE_LABEL_UNITS; ++i)
        Header->Label[i] = ImageGet16(Copy + IMAGE_HEADER_LABEL_OFFSET + 2 * i);
    Header->StreamLength = ImageGet64(Copy + IMAGE_HEADER_STREAM_LENGTH_OFFSET);
    Header->StreamChecksum = ImageGet64(Copy + IMAGE_HEADER_STREAM_CHECKSUM_OFFSET);
    Header->MetadataSlotCount = min(ImageGet32(Copy + IMAGE_HEADER_SLOT_COUNT_OFFSET), IMAGE_METADATA_SLOTS_MAX);
    for (ULONG i = 0; i < IMAGE_METADATA_SLOTS_MAX; ++i)
        Header->MetadataSlots[i] = ImageGet32(Copy + IMAGE_HEADER_SLOT_LIST_OFFSET + 4 * i);
}

/*
 * ChooseImageHeaderCopy: the committed copy of the two as read (a short read is
 * given as a short length): the valid one with the larger generation, copy 0 on
 * equal generations. Neither valid: STATUS_FILE_CORRUPT_ERROR. A committed copy
 * written by another system is refused with STATUS_INVALID_DEVICE_REQUEST; its
 * header is still returned, so that the refusal can be reported.
 */
NTSTATUS ChooseImageHeaderCopy(const UCHAR *Copy0, SIZE_T Length0, const UCHAR *Copy1, SIZE_T Length1,
                               PULONG Active, PIMAGE_HEADER Header)
{
    ULONGLONG generation0 = 0, generation1 = 0;
    NTSTATUS status0 = CheckImageHeaderCopy(Copy0, Length0, &generation0);
    NTSTATUS status1 = CheckImageHeaderCopy(Copy1, Length1, &generation1);
    if (status0 == STATUS_INSUFFICIENT_RESOURCES || status1 == STATUS_INSUFFICIENT_RESOURCES)
        return STATUS_INSUFFICIENT_RESOURCES;
    if (!NT_SUCCESS(status0) && !NT_SUCCESS(status1))
        return STATUS_FILE_CORRUPT_ERROR;

    ULONG active = !NT_SUCCESS(status0) || (NT_SUCCESS(status1) && generation1 > generation0) ? 1 : 0;
    ParseImageHeaderCopy(active == 0 ? Copy0 : Copy1, Header);
    *Active = active;
    return Header->Writer == IMAGE_WRITER_THIS_SYSTEM ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST;
}

/*
 * CheckImageHeaderContents: the committed header's settings and its metadata
 * slot list, before any slot is read. The settings must lie in their ranges;
 * the stream must be nonempty and fill exactly its listed slots (one piece of
 * 2 MiB each, the last one partly); each listed slot is claimed in Claims (made
 * for the header's high-water mark), so one below the mark and used once; the
 * unused list entries are 0. Returns STATUS_FILE_CORRUPT_ERROR otherwise.
 */
NTSTATUS CheckImageHeaderContents(PCIMAGE_HEADER Header, PIMAGE_SLOT_CLAIMS Claims)
{
    if (Header->HighWater > IMAGE_SLOT_LIMIT || Header->MetadataSlotCount > IMAGE_METADATA_SLOTS_MAX ||
        Header->PerFileSecurity > 1 || Header->CompressionLevel > COMPRESSION_LEVEL_MAX ||
        Header->NextNodeId == 0 || Header->StreamLength == 0 || Header->StreamLength > IMAGE_STREAM_LENGTH_MAX ||
        ImageStreamPieceCount(Header->StreamLength) != Header->MetadataSlotCount)
        return STATUS_FILE_CORRUPT_ERROR;
    for (ULONG i = Header->MetadataSlotCount; i < IMAGE_METADATA_SLOTS_MAX; ++i) {
        if (Header->MetadataSlots[i] != 0)
            return STATUS_FILE_CORRUPT_ERROR;
    }
    for (ULONG i = 0; i < Header->MetadataSlotCount; ++i) {
        NTSTATUS status = ClaimImageSlot(Claims, Header->MetadataSlots[i]);
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

/*
 * CheckImageNextNodeId: the next node identifier must be larger than every
 * identifier in the stream; one equal to the largest would be handed to a new
 * node while a loaded node still has it.
 */
NTSTATUS CheckImageNextNodeId(PCIMAGE_HEADER Header, ULONGLONG LargestNodeId)
{
    return Header->NextNodeId > LargestNodeId ? STATUS_SUCCESS : STATUS_FILE_CORRUPT_ERROR;
}

/*
 * NextImageGeneration: the generation of the next save. A committed generation
 * of 2^64 - 1 cannot be followed: the next copy would wrap to 0 and lose the
 * choice to the copy it replaces, so every later save would be silently passed
 * over. No run of saves reaches it; a header that carries it is refused.
 */
NTSTATUS NextImageGeneration(ULONGLONG Committed, PULONGLONG Next)
{
    if (Committed == MAXULONGLONG)
        return STATUS_FILE_CORRUPT_ERROR;
    *Next = Committed + 1;
    return STATUS_SUCCESS;
}
