/*
 * The page store: physical pages from the memory manager, mapped once into system
 * space, handed out as reference-counted data chunks of up to 2 MiB and charged
 * against the volume size.
 *
 * Pages are asked for without zeroing; a chunk's maker zeroes only the bytes its
 * caller will not overwrite (the keep window). A chunk stays mapped for its whole
 * life, so reading or writing file data is a plain memory copy.
 */
#include "vorel.h"

static const WCHAR NodePagesRoutineName[] = L"MmAllocateNodePagesForMdlEx";

/*
 * The last answer of the node allocation routine's lookup. The lookup is made on
 * every allocation at PASSIVE_LEVEL, so the system's answer is always current;
 * MmGetSystemRoutineAddress may not be called above it (the paging write path runs
 * at APC_LEVEL), and there the last answer serves.
 */
static PVOID LastNodePagesRoutine;

static PMM_ALLOCATE_NODE_PAGES_FOR_MDL_EX FindNodePagesRoutine(VOID)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        return (PMM_ALLOCATE_NODE_PAGES_FOR_MDL_EX)ReadPointerNoFence(&LastNodePagesRoutine);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, NodePagesRoutineName);
    PVOID routine = MmGetSystemRoutineAddress(&name);
    WritePointerNoFence(&LastNodePagesRoutine, routine);
    return (PMM_ALLOCATE_NODE_PAGES_FOR_MDL_EX)routine;
}

/* AllocatePageList: one page list of up to Bytes, unzeroed when the system allows. */
static PMDL AllocatePageList(SIZE_T Bytes, BOOLEAN FullyRequired)
{
    PHYSICAL_ADDRESS low, high, skip;
    low.QuadPart = 0;
    high.QuadPart = -1;
    skip.QuadPart = 0;
    PMM_ALLOCATE_NODE_PAGES_FOR_MDL_EX routine = FindNodePagesRoutine();
    if (routine != NULL) {
        ULONG flags = MM_DONT_ZERO_ALLOCATION | (FullyRequired ? MM_ALLOCATE_FULLY_REQUIRED : 0);
        return routine(low, high, skip, Bytes, MmCached, 0, flags);
    }
    // The older routine zeroes and may fall short even when everything was needed;
    // AllocatePages checks the count either way.
    return MmAllocatePagesForMdl(low, high, skip, Bytes);
}

/*
 * AllocatePages: a page set of Bytes in page lists of at most PAGE_LIST_LIMIT
 * bytes. A list that comes back short ends the requests: with FullyRequired the
 * whole set is freed and NULL returned, otherwise the set holds what was obtained
 * (possibly no list at all). NULL also when a record cannot be had.
 */
PPAGE_SET AllocatePages(ULONGLONG Bytes, BOOLEAN FullyRequired)
{
    ULONGLONG listCount = (Bytes + PAGE_LIST_LIMIT - 1) / PAGE_LIST_LIMIT;
    if (listCount > MAXULONG)
        return NULL;
    PPAGE_SET pageSet = (PPAGE_SET)CacheAllocate(VorelData.PageSetCache);
    if (pageSet == NULL)
        return NULL;
    RtlZeroMemory(pageSet, sizeof(*pageSet));
    if (listCount != 0) {
        pageSet->PageLists = (PMDL *)AllocateZeroed((SIZE_T)listCount * sizeof(PMDL), TAG_GENERIC, NonPagedPoolNx);
        if (pageSet->PageLists == NULL) {
            CacheFree(VorelData.PageSetCache, (PVOID *)&pageSet);
            return NULL;
        }
    }

    ULONGLONG remaining = Bytes;
    while (remaining != 0) {
        SIZE_T wanted = (SIZE_T)min(remaining, (ULONGLONG)PAGE_LIST_LIMIT);
        PMDL list = AllocatePageList(wanted, FullyRequired);
        if (list == NULL)
            break;
        pageSet->PageLists[pageSet->PageListCount++] = list;
        ULONG obtained = MmGetMdlByteCount(list);
        pageSet->TotalBytes += obtained;
        if (obtained < wanted)
            break;
        remaining -= wanted;
    }

    if (FullyRequired && pageSet->TotalBytes < Bytes) {
        FreePages(pageSet);
        return NULL;
    }
    return pageSet;
}

/* FreePages: every page list's pages and the list itself, then the array and the record. */
VOID FreePages(PPAGE_SET PageSet)
{
    for (ULONG i = 0; i < PageSet->PageListCount; i++) {
        MmFreePagesFromMdl(PageSet->PageLists[i]);
        ExFreePool(PageSet->PageLists[i]);
    }
    FreeAndClear((PVOID *)&PageSet->PageLists, TAG_GENERIC);
    CacheFree(VorelData.PageSetCache, (PVOID *)&PageSet);
}

/*
 * MakeChunk: maps the first page list of PageSet and makes a chunk record for it:
 * reference count 1, not charged, counted in the volume's held bytes. The memory
 * is not zeroed. On failure the page set is still the caller's.
 * Returns STATUS_INVALID_PARAMETER for a page set without pages.
 */
NTSTATUS MakeChunk(PSTORE_VOLUME Volume, PPAGE_SET PageSet, PDATA_CHUNK *Chunk)
{
    *Chunk = NULL;
    if (PageSet->PageListCount == 0)
        return STATUS_INVALID_PARAMETER;

    PCHUNK_MAPPING mapping = (PCHUNK_MAPPING)CacheAllocate(VorelData.MappingCache);
    if (mapping == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;

    PMDL first = PageSet->PageLists[0];
    PVOID base;
    if (first->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
        base = first->MappedSystemVa;
    else
        base = MmMapLockedPagesSpecifyCache(first, KernelMode, MmCached, NULL, FALSE,
                                            NormalPagePriority | MdlMappingNoExecute);
    if (base == NULL) {
        CacheFree(VorelData.MappingCache, (PVOID *)&mapping);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    mapping->Flags = 0;
    mapping->Locked = FALSE;
    mapping->PageSet = PageSet;
    mapping->SystemAddress = base;

    PDATA_CHUNK chunk = (PDATA_CHUNK)ExAllocateFromNPagedLookasideList(&VorelData.ChunkRecords);
    if (chunk == NULL) {
        if (first->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA)
            MmUnmapLockedPages(base, first);
        CacheFree(VorelData.MappingCache, (PVOID *)&mapping);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    chunk->Volume = Volume;
    chunk->PageSet = PageSet;
    chunk->Mapping = mapping;
    chunk->Base = (PUCHAR)base;
    chunk->ReferenceCount = 1;
    chunk->Size = MmGetMdlByteCount(first);
    chunk->Charged = 0;
    chunk->Flags = 0;
    AddHeld(Volume, chunk->Size);
    *Chunk = chunk;
    return STATUS_SUCCESS;
}

/*
 * ZeroOutsideWindow: zeroes every byte of [0, Size) outside the window
 * [KeepOffset, KeepOffset + KeepLength), which is clipped to the chunk; an empty
 * window zeroes everything.
 */
VOID ZeroOutsideWindow(PUCHAR Base, ULONG Size, ULONG KeepOffset, ULONG KeepLength)
{
    if (KeepLength == 0 || KeepOffset >= Size) {
        RtlZeroMemory(Base, Size);
        return;
    }
    ULONG keepEnd = KeepOffset + KeepLength;
    if (keepEnd < KeepOffset || keepEnd > Size)
        keepEnd = Size;
    RtlZeroMemory(Base, KeepOffset);
    RtlZeroMemory(Base + keepEnd, Size - keepEnd);
}

/*
 * AllocateChunk: a chunk of Size bytes whose bytes outside the keep window are
 * zero, charged against the volume when Charge. A 2 MiB chunk for a volume comes
 * from the volume's chunk cache when it has one, even while memory is low.
 * Returns STATUS_INSUFFICIENT_RESOURCES when memory is low (unless
 * SkipPressureCheck) or cannot be had even after trimming the cache, and
 * STATUS_INVALID_PARAMETER for Size 0. Nothing is charged on failure. The caller
 * has checked the volume size.
 */
NTSTATUS AllocateChunk(PSTORE_VOLUME Volume, ULONG Size, ULONG KeepOffset, ULONG KeepLength, BOOLEAN Charge,
                       BOOLEAN SkipPressureCheck, PDATA_CHUNK *Chunk)
{
    PDATA_CHUNK chunk = NULL;
    *Chunk = NULL;

    if (Size == EXTENT_SIZE && Volume != NULL)
        chunk = PopCachedChunk(Volume);
    if (chunk != NULL) {
        chunk->ReferenceCount = 1;
        chunk->Flags = 0;
        chunk->Charged = 0;
        AddHeld(Volume, chunk->Size);
    } else {
        if (!SkipPressureCheck && IsLowMemory(Volume, Size))
            return STATUS_INSUFFICIENT_RESOURCES;
        PPAGE_SET pageSet = AllocatePages(Size, TRUE);
        if (pageSet == NULL && Volume != NULL) {
            TrimChunkCache(Volume);
            pageSet = AllocatePages(Size, TRUE);
        }
        if (pageSet == NULL)
            return STATUS_INSUFFICIENT_RESOURCES;
        NTSTATUS status = MakeChunk(Volume, pageSet, &chunk);
        if (!NT_SUCCESS(status)) {
            FreePages(pageSet);
            return status;
        }
    }

    ZeroOutsideWindow(chunk->Base, chunk->Size, KeepOffset, KeepLength);
    if (Charge) {
        chunk->Charged = chunk->Size;
        AddCharge(Volume, chunk->Size);
    }
    *Chunk = chunk;
    return STATUS_SUCCESS;
}

/* ReferenceChunk: one more holder; the chunk is read-only while it has several. */
VOID ReferenceChunk(PDATA_CHUNK Chunk)
{
    InterlockedIncrement(&Chunk->ReferenceCount);
}

/*
 * ReleaseChunk: drops one reference. The last one gives the chunk's charge back
 * and either parks a 2 MiB chunk in its volume's cache or returns the memory.
 * IRQL <= APC_LEVEL.
 */
VOID ReleaseChunk(PDATA_CHUNK Chunk)
{
    if (InterlockedDecrement(&Chunk->ReferenceCount) != 0)
        return;
    PSTORE_VOLUME volume = Chunk->Volume;
    if (Chunk->Charged != 0) {
        AddCharge(volume, -(LONG64)Chunk->Charged);
        Chunk->Charged = 0;
    }
    AddHeld(volume, -(LONG64)Chunk->Size);
    if (volume != NULL && Chunk->Size == EXTENT_SIZE && Chunk->PageSet != NULL && Chunk->Base != NULL &&
        (Chunk->Flags & DATA_CHUNK_NO_CACHE) == 0 && PushCachedChunk(volume, Chunk))
        return;
    DestroyChunk(Chunk);
}

/*
 * DestroyChunk: returns an unreferenced, uncounted chunk's mapping, pages and
 * record to the system. IRQL <= APC_LEVEL.
 */
VOID DestroyChunk(PDATA_CHUNK Chunk)
{
    PCHUNK_MAPPING mapping = Chunk->Mapping;
    PPAGE_SET pageSet = Chunk->PageSet;
    if (mapping != NULL) {
        PMDL first = pageSet != NULL && pageSet->PageListCount != 0 ? pageSet->PageLists[0] : NULL;
        if (mapping->Flags & CHUNK_MAPPING_RESERVED)
            MmUnmapReservedMapping(mapping->SystemAddress, TAG_CHUNK_MAPPING, first);
        else if (first != NULL && (first->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA))
            MmUnmapLockedPages(mapping->SystemAddress, first);
        if (mapping->Locked && first != NULL)
            MmUnlockPages(first);
        if (pageSet != NULL && pageSet->ReservedMapping != NULL)
            MmFreeMappingAddress(pageSet->ReservedMapping, TAG_CHUNK_MAPPING);
        CacheFree(VorelData.MappingCache, (PVOID *)&mapping);
    }
    if (pageSet != NULL)
        FreePages(pageSet);
    ExFreeToNPagedLookasideList(&VorelData.ChunkRecords, Chunk);
}
