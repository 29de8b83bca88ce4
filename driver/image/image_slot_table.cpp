/*
 * Slot tables: which slots an image uses and what each data slot holds. The
 * caller owns the table (a binding's committed table belongs to its save or
 * load; no lock).
 */
#include "vorel.h"

#define SLOT_TABLE_MINIMUM 64u

/* FreeImageSlotTable: gives back both arrays; the table is empty afterwards. */
VOID FreeImageSlotTable(PIMAGE_SLOT_TABLE Table)
{
    FreeAndClear((PVOID *)&Table->Bits, TAG_IMAGE_SLOTS);
    FreeAndClear((PVOID *)&Table->Records, TAG_IMAGE_SLOTS);
    Table->Capacity = 0;
}

/*
 * EnsureImageSlotTable: the table covers at least Slots slots (growing by
 * doubling, new slots unused). Returns STATUS_INSUFFICIENT_RESOURCES, the table
 * as it was, when memory is short; STATUS_DISK_FULL beyond the slot limit.
 */
NTSTATUS EnsureImageSlotTable(PIMAGE_SLOT_TABLE Table, ULONGLONG Slots)
{
    if (Slots <= Table->Capacity)
        return STATUS_SUCCESS;
    if (Slots > IMAGE_SLOT_LIMIT)
        return STATUS_DISK_FULL;
    ULONGLONG capacity = max((ULONGLONG)Table->Capacity, (ULONGLONG)SLOT_TABLE_MINIMUM);
    while (capacity < Slots)
        capacity *= 2;
    capacity = min(capacity, ALIGN_UP_BY((ULONGLONG)IMAGE_SLOT_LIMIT, 64));

    PULONGLONG bits = (PULONGLONG)AllocateZeroed((SIZE_T)(capacity / 64) * sizeof(ULONGLONG), TAG_IMAGE_SLOTS,
                                                NonPagedPoolNx);
    PIMAGE_SLOT_RECORD records = (PIMAGE_SLOT_RECORD)AllocateZeroed(
        (SIZE_T)capacity * sizeof(IMAGE_SLOT_RECORD), TAG_IMAGE_SLOTS, NonPagedPoolNx);
    if (bits == NULL || records == NULL) {
        FreeAndClear((PVOID *)&bits, TAG_IMAGE_SLOTS);
        FreeAndClear((PVOID *)&records, TAG_IMAGE_SLOTS);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (Table->Capacity != 0) {
        RtlCopyMemory(bits, Table->Bits, (Table->Capacity / 64) * sizeof(ULONGLONG));
        RtlCopyMemory(records, Table->Records, (SIZE_T)Table->Capacity * sizeof(IMAGE_SLOT_RECORD));
    }
    FreeImageSlotTable(Table);
    Table->Bits = bits;
    Table->Records = records;
    Table->Capacity = (ULONG)capacity;
    return STATUS_SUCCESS;
}

/* ImageSlotUsed: whether the table marks Slot used; slots beyond it are not. */
BOOLEAN ImageSlotUsed(const IMAGE_SLOT_TABLE *Table, ULONG Slot)
{
    if (Slot >= Table->Capacity)
        return FALSE;
    return (Table->Bits[Slot / 64] & (1ull << (Slot % 64))) != 0;
}

/* MarkImageSlot: Slot (inside the table) becomes used, holding Record (NULL: a metadata slot). */
VOID MarkImageSlot(PIMAGE_SLOT_TABLE Table, ULONG Slot, const IMAGE_SLOT_RECORD *Record)
{
    Table->Bits[Slot / 64] |= 1ull << (Slot % 64);
    if (Record != NULL)
        Table->Records[Slot] = *Record;
    else
        RtlZeroMemory(&Table->Records[Slot], sizeof(IMAGE_SLOT_RECORD));
}

/* ReplaceImageSlotTable: Target takes Source's arrays (its own are freed); Source is left empty. */
VOID ReplaceImageSlotTable(PIMAGE_SLOT_TABLE Target, PIMAGE_SLOT_TABLE Source)
{
    FreeImageSlotTable(Target);
    *Target = *Source;
    RtlZeroMemory(Source, sizeof(*Source));
}
