/*
 * The generic hash table: directories' child indexes, the volume's node-id index
 * and the security descriptor store are instances of it. Entries carry their
 * 64-bit hash; the bucket is hash & (BucketCount - 1). See HASH_BUCKET for the
 * slots and the overflow list.
 */
#include "vorel.h"

C_ASSERT(sizeof(HASH_BUCKET) == 64); /* one cache line per lookup */

/*
 * HashTag: the low 32 bits of Hash. They hold every bit a bucket index can use
 * (HASH_TABLE_MAX_BUCKETS is below 2^32), so growing the table places slot
 * entries from their tags alone, without touching the entries themselves.
 */
static FORCEINLINE ULONG HashTag(ULONGLONG Hash)
{
    return (ULONG)Hash;
}

static VOID InitializeBuckets(PHASH_BUCKET Buckets, ULONG Count)
{
    for (ULONG i = 0; i < Count; ++i)
        InitializeListHead(&Buckets[i].Overflow);
}

/*
 * InitializeHashTable: BucketCount (a power of two) empty buckets from non-paged
 * pool with Tag. Returns STATUS_INSUFFICIENT_RESOURCES when the pool is exhausted.
 */
NTSTATUS InitializeHashTable(PHASH_TABLE Table, ULONG BucketCount, ULONG Tag)
{
    PHASH_BUCKET buckets = (PHASH_BUCKET)AllocateZeroed(BucketCount * sizeof(HASH_BUCKET), Tag, NonPagedPoolNx);
    if (buckets == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    InitializeBuckets(buckets, BucketCount);
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

/*
 * PlaceHashEntry: Entry, whose tag is Tag, into the first free slot of Bucket, else
 * onto its overflow list.
 */
static VOID PlaceHashEntry(PHASH_BUCKET Bucket, PHASH_ENTRY Entry, ULONG Tag)
{
    for (ULONG i = 0; i < HASH_BUCKET_SLOTS; ++i) {
        if (Bucket->Slots[i] == NULL) {
            Bucket->Slots[i] = Entry;
            Bucket->Tags[i] = Tag;
            Entry->Links.Flink = Entry->Links.Blink = NULL;
            return;
        }
    }
    InsertHeadList(&Bucket->Overflow, &Entry->Links);
}

/*
 * GrowHashTable: moves every entry into twice as many buckets. Without memory the
 * table keeps its buckets: lookups stay correct, only the overflow lists grow.
 */
static VOID GrowHashTable(PHASH_TABLE Table)
{
    ULONG newCount = Table->BucketCount * 2;
    PHASH_BUCKET buckets = (PHASH_BUCKET)AllocateZeroed(newCount * sizeof(HASH_BUCKET), Table->Tag, NonPagedPoolNx);
    if (buckets == NULL)
        return;
    InitializeBuckets(buckets, newCount);
    for (ULONG i = 0; i < Table->BucketCount; ++i) {
        PHASH_BUCKET old = &Table->Buckets[i];
        for (ULONG s = 0; s < HASH_BUCKET_SLOTS; ++s) {
            if (old->Slots[s] != NULL)
                PlaceHashEntry(&buckets[old->Tags[s] & (newCount - 1)], old->Slots[s], old->Tags[s]);
        }
        while (!IsListEmpty(&old->Overflow)) {
            PHASH_ENTRY entry = CONTAINING_RECORD(RemoveHeadList(&old->Overflow), HASH_ENTRY, Links);
            PlaceHashEntry(&buckets[entry->Hash & (newCount - 1)], entry, HashTag(entry->Hash));
        }
    }
    VorelData.FreePool(Table->Buckets, Table->Tag);
    Table->Buckets = buckets;
    Table->BucketCount = newCount;
}

VOID InsertHashEntry(PHASH_TABLE Table, PHASH_ENTRY Entry)
{
    PlaceHashEntry(&Table->Buckets[Entry->Hash & (Table->BucketCount - 1)], Entry, HashTag(Entry->Hash));
    Table->EntryCount++;
    if (Table->EntryCount > 4 * Table->BucketCount && Table->BucketCount < HASH_TABLE_MAX_BUCKETS)
        GrowHashTable(Table);
}

/*
 * RemoveHashEntry: takes Entry out of Table. A slot it leaves is refilled from the
 * overflow list. An entry in neither a slot nor a list is a corrupt table.
 */
VOID RemoveHashEntry(PHASH_TABLE Table, PHASH_ENTRY Entry)
{
    if (Entry->Links.Flink != NULL) {
        RemoveEntryList(&Entry->Links);
    } else {
        PHASH_BUCKET bucket = &Table->Buckets[Entry->Hash & (Table->BucketCount - 1)];
        ULONG slot = 0;
        while (slot < HASH_BUCKET_SLOTS && bucket->Slots[slot] != Entry)
            slot++;
        if (slot == HASH_BUCKET_SLOTS)
            RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
        bucket->Slots[slot] = NULL;
        if (!IsListEmpty(&bucket->Overflow)) {
            PHASH_ENTRY moved = CONTAINING_RECORD(RemoveHeadList(&bucket->Overflow), HASH_ENTRY, Links);
            bucket->Slots[slot] = moved;
            bucket->Tags[slot] = HashTag(moved->Hash);
            moved->Links.Flink = moved->Links.Blink = NULL;
        }
    }
    Entry->Links.Flink = Entry->Links.Blink = NULL;
    Table->EntryCount--;
}

/*
 * NextHashEntry: the next entry of the cursor's bucket whose hash equals the
 * cursor's, or NULL. Slots come first and are judged by their tags; overflow
 * entries are checked for a broken list as they are passed.
 */
PHASH_ENTRY NextHashEntry(PHASH_CURSOR Cursor)
{
    PHASH_BUCKET bucket = Cursor->Bucket;
    ULONG tag = HashTag(Cursor->Hash);
    while (Cursor->Slot < HASH_BUCKET_SLOTS) {
        ULONG slot = Cursor->Slot++;
        PHASH_ENTRY entry = bucket->Slots[slot];
        if (entry != NULL && bucket->Tags[slot] == tag && entry->Hash == Cursor->Hash)
            return entry;
    }
    if (Cursor->Next == NULL)
        Cursor->Next = bucket->Overflow.Flink;
    while (Cursor->Next != &bucket->Overflow) {
        PLIST_ENTRY links = Cursor->Next;
        if (links->Flink->Blink != links)
            RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
        Cursor->Next = links->Flink;
        PHASH_ENTRY entry = CONTAINING_RECORD(links, HASH_ENTRY, Links);
        if (entry->Hash == Cursor->Hash)
            return entry;
    }
    return NULL;
}

/*
 * FindHashEntry: the first entry of Table whose hash equals Hash, or NULL; Cursor
 * then continues with NextHashEntry. The table must not change in between.
 */
PHASH_ENTRY FindHashEntry(PHASH_TABLE Table, ULONGLONG Hash, PHASH_CURSOR Cursor)
{
    Cursor->Bucket = &Table->Buckets[Hash & (Table->BucketCount - 1)];
    Cursor->Hash = Hash;
    Cursor->Slot = 0;
    Cursor->Next = NULL;
    return NextHashEntry(Cursor);
}
