/*
 * The generic hash table against a model: random inserts and removals of entries
 * whose hashes are made to meet in one bucket, share a slot tag without being
 * equal, or be equal outright. Every lookup must return exactly the entries with
 * that hash, through slots and overflow, before and after the buckets double and
 * while removals pull overflow entries into slots.
 */
#include "namespace_test.h"

#include <algorithm>
#include <random>
#include <set>

namespace {

using HashTableTest = NamespaceTest;

constexpr ULONG kTag = 0x7454'6c76; /* "vlTt" */

std::multiset<PHASH_ENTRY> Found(const VOREL_NAMESPACE_DIAGNOSTICS *n, HASH_TABLE *table, ULONGLONG hash)
{
    std::multiset<PHASH_ENTRY> found;
    HASH_CURSOR cursor;
    for (PHASH_ENTRY e = n->FindHashEntry(table, hash, &cursor); e != nullptr; e = n->NextHashEntry(&cursor))
        found.insert(e);
    return found;
}

TEST_F(HashTableTest, LookupsMatchAModelThroughGrowthAndRemoval)
{
    std::mt19937_64 random(7);
    /* Hash values: a few bases, each with a twin that shares its bucket and its slot tag
     * (only the high half differs) and one that shares only its bucket while the table
     * is small. */
    std::vector<ULONGLONG> values;
    for (int b = 0; b < 12; ++b) {
        ULONGLONG base = random();
        values.push_back(base);
        values.push_back(base ^ (0x5ull << 40));
        values.push_back(base ^ (0x100000ull << 32) ^ 0x100000ull);
    }
    for (int b = 0; b < 40; ++b)
        values.push_back(random());

    constexpr size_t kEntries = 700;
    std::vector<HASH_ENTRY> entries(kEntries);
    std::vector<bool> inTable(kEntries, false);
    HASH_TABLE table{};
    ASSERT_EQ(n->InitializeHashTable(&table, 4, kTag), STATUS_SUCCESS);
    ULONG buckets = 4;
    size_t count = 0;

    auto checkAll = [&]() {
        for (ULONGLONG v : values) {
            std::multiset<PHASH_ENTRY> expected;
            for (size_t i = 0; i < kEntries; ++i)
                if (inTable[i] && entries[i].Hash == v)
                    expected.insert(&entries[i]);
            ASSERT_EQ(Found(n, &table, v), expected) << "hash " << v;
        }
    };

    for (int step = 0; step < 6000; ++step) {
        size_t i = random() % kEntries;
        /* Fill early, then churn: removals outnumber inserts in the last third. */
        bool insert = step < 2000 ? random() % 4 != 0 : step < 4000 ? random() % 2 == 0 : random() % 3 == 0;
        if (insert && !inTable[i]) {
            entries[i].Hash = values[random() % values.size()];
            n->InsertHashEntry(&table, &entries[i]);
            inTable[i] = true;
            count++;
            while (count > 4 * buckets)
                buckets *= 2;
        } else if (!insert && inTable[i]) {
            n->RemoveHashEntry(&table, &entries[i]);
            EXPECT_EQ(entries[i].Links.Flink, nullptr);
            inTable[i] = false;
            count--;
        }
        ASSERT_EQ(table.EntryCount, count);
        ASSERT_EQ(table.BucketCount, buckets) << "doubles once entries exceed four per bucket, never shrinks";
        if (step % 97 == 0)
            checkAll();
        if (HasFatalFailure())
            return;
    }
    checkAll();
    for (size_t i = 0; i < kEntries; ++i)
        if (inTable[i])
            n->RemoveHashEntry(&table, &entries[i]);
    EXPECT_EQ(table.EntryCount, 0u);
    for (ULONGLONG v : values)
        EXPECT_TRUE(Found(n, &table, v).empty());
    n->FreeHashTable(&table);
}

} // namespace
