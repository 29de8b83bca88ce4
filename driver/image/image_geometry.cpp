/*
 * Image file geometry: where slots lie, how much of one is written, and the
 * claims that keep any slot from being used twice by one image.
 */
#include "vorel.h"

/*
 * CheckImageSectorSize: the sector size a target reports (0 meaning 4096) must
 * divide 4096, since every write into a slot is rounded up to it and slots are
 * 4096-aligned. Returns STATUS_INVALID_DEVICE_REQUEST otherwise.
 */
NTSTATUS CheckImageSectorSize(ULONG Reported, PULONG SectorSize)
{
    ULONG size = Reported == 0 ? IMAGE_DEFAULT_SECTOR_SIZE : Reported;
    if (size > IMAGE_DEFAULT_SECTOR_SIZE || IMAGE_DEFAULT_SECTOR_SIZE % size != 0)
        return STATUS_INVALID_DEVICE_REQUEST;
    *SectorSize = size;
    return STATUS_SUCCESS;
}

/* ImageSlotOffset: the file offset of a slot; the first 2 MiB hold the header copies. */
ULONGLONG ImageSlotOffset(ULONG SlotNumber)
{
    return ((ULONGLONG)SlotNumber + 1) << IMAGE_SLOT_SHIFT;
}

/* ImageWrittenLength: the bytes written for StoredLength bytes, a whole number of sectors. */
ULONG ImageWrittenLength(ULONG StoredLength, ULONG SectorSize)
{
    return (ULONG)(((ULONGLONG)StoredLength + SectorSize - 1) / SectorSize * SectorSize);
}

/*
 * ImageSlotInsideFile: whether the written bytes of a slot lie inside a file of
 * FileSize bytes. The caller has checked the slot number and the length.
 */
BOOLEAN ImageSlotInsideFile(ULONG SlotNumber, ULONG StoredLength, ULONG SectorSize, ULONGLONG FileSize)
{
    if (SlotNumber >= IMAGE_SLOT_LIMIT || StoredLength > IMAGE_SLOT_SIZE)
        return FALSE;
    return ImageSlotOffset(SlotNumber) + ImageWrittenLength(StoredLength, SectorSize) <= FileSize;
}

/* ImageStreamPieceCount: the metadata slots a stream of StreamLength bytes fills. */
ULONG ImageStreamPieceCount(ULONGLONG StreamLength)
{
    ULONGLONG pieces = (StreamLength + IMAGE_SLOT_SIZE - 1) >> IMAGE_SLOT_SHIFT;
    return pieces > MAXULONG ? MAXULONG : (ULONG)pieces;
}

SIZE_T ImageSlotClaimWords(ULONGLONG HighWater)
{
    return (SIZE_T)((HighWater + 63) / 64);
}

/*
 * InitializeImageSlotClaims: claims over Words, ImageSlotClaimWords(HighWater)
 * words of the caller's, all cleared here.
 */
VOID InitializeImageSlotClaims(PIMAGE_SLOT_CLAIMS Claims, PULONGLONG Words, ULONGLONG HighWater)
{
    Claims->Words = Words;
    Claims->HighWater = HighWater;
    RtlZeroMemory(Words, ImageSlotClaimWords(HighWater) * sizeof(ULONGLONG));
}

/*
 * ClaimImageSlot: marks a slot used. A slot at or above the high-water mark is
 * outside the image, one already claimed would hold two things: both corrupt.
 */
NTSTATUS ClaimImageSlot(PIMAGE_SLOT_CLAIMS Claims, ULONG SlotNumber)
{
    if (SlotNumber >= Claims->HighWater || SlotNumber >= IMAGE_SLOT_LIMIT)
        return STATUS_FILE_CORRUPT_ERROR;
    ULONGLONG bit = 1ull << (SlotNumber % 64);
    PULONGLONG word = &Claims->Words[SlotNumber / 64];
    if (*word & bit)
        return STATUS_FILE_CORRUPT_ERROR;
    *word |= bit;
    return STATUS_SUCCESS;
}
