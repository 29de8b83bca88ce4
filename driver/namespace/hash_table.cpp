/*
 * The generic hash table: directories' child indexes, the volume's node-id index
 * and the security descriptor store are instances of it. Entries carry their
 * 64-bit hash; the bucket is hash & (BucketCount - 1).
 */
#include "vorel.h"

/*
 * InitializeHashTable: BucketCount (a power of two) empty buckets from non-paged
 * pool with Tag. Returns STATUS_INSUFFICIENT_RESOURCES when the pool is exhausted.
 */
NTSTATUS InitializeHashTable(PHASH_TABLE Table, ULONG BucketCount, ULONG Tag)
{
    PLIST_ENTRY buckets = (PLIST_ENTRY)AllocateZeroed(BucketCount * sizeof(LIST_ENTRY), Tag, NonPagedPoolNx);
    if (buckets == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    for (ULONG i = 0; i < BucketCount; ++i)
        InitializeListHead(&buckets[i]);
    Table->Tag = Tag;
    Table->BucketCount = BucketCount;
    Table->EntryCount = 0;
    Table->Buckets = buckets;
    return STATUS_SUCCESS;
}

/* FreeHashTable: frees the buckets; the entries belong to their records. */
VOID FreeHashTable(PHASH_TABLE Table)
{
    FreeAndClear((PVOID *)&Table->Buckets, Table->Tag);
    Table->BucketCount = 0;
    Table->EntryCount = 0;
}

PLIST_ENTRY HashBucket(PHASH_TABLE Table, ULONGLONG Hash)
{
    return &Table->Buckets[Hash & (Table->BucketCount - 1)];
}

/*
 * GrowHashTable: moves every entry into twice as many buckets. Without memory the
 * table keeps its buckets: lookups stay correct, only the chains grow longer.
 */
static VOID GrowHashTable(PHASH_TABLE Table)
{
    ULONG newCount = Table->BucketCount * 2;
    PLIST_ENTRY buckets = (PLIST_ENTRY)AllocateZeroed(newCount * sizeof(LIST_ENTRY), Table->Tag, NonPagedPoolNx);
    if (buckets == NULL)
        return;
    for (ULONG i = 0; i < newCount; ++i)
        InitializeListHead(&buckets[i]);
    for (ULONG i = 0; i < Table->BucketCount; ++i) {
        while (!IsListEmpty(&Table->Buckets[i])) {
            PHASH_ENTRY entry = CONTAINING_RECORD(RemoveHeadList(&Table->Buckets[i]), HASH_ENTRY, Links);
            InsertHeadList(&buckets[entry->Hash & (newCount - 1)], &entry->Links);
        }
    }
    VorelData.FreePool(Table->Buckets, Table->Tag);
    Table->Buckets = buckets;
    Table->BucketCount = newCount;
}

VOID InsertHashEntry(PHASH_TABLE Table, PHASH_ENTRY Entry)
{
    InsertHeadList(HashBucket(Table, Entry->Hash), &Entry->Links);
    Table->EntryCount++;
    if (Table->EntryCount > 4 * Table->BucketCount && Table->BucketCount < HASH_TABLE_MAX_BUCKETS)
        GrowHashTable(Table);
}

VOID RemoveHashEntry(PHASH_TABLE Table, PHASH_ENTRY Entry)
{
    RemoveEntryList(&Entry->Links);
    Entry->Links.Flink = Entry->Links.Blink = NULL;
    Table->EntryCount--;
}
