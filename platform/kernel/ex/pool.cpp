/*
 * Executive pool. Blocks come from the host heap with no header inside them, so
 * the address sanitizer sees overruns at the block's real end; the stand-in keeps
 * each live block's size, tag and type in its own table instead. That table gives
 * the per-tag accounting the audits use and catches the two classic pool bugs:
 * a free with the wrong tag and a free of a block that is not live.
 *
 * The table is split into shards by address, each under its own lock with its
 * own per-tag counts (summed when read), so that threads allocating at once
 * rarely meet. A freed block's entry stays in its shard, marked freed, and
 * counts until the shard has seen a fixed number of later frees: a second free
 * of it within that window is told apart from a free of something never
 * allocated, and the heap's habit of handing the same address straight back
 * makes the next allocation reuse the entry instead of making a new one.
 * Entries past the window are dropped when the table is next rebuilt.
 */
#include "machine.h"

#include "base/spin.h"

#include <ntdef.h>
#include <km/bugcheck.h>
#include <km/ke.h>
#include <km/pool.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

namespace {

constexpr size_t kPageSize = 4096;
constexpr size_t kCacheAlignment = 128;
constexpr size_t kShards = 16;
constexpr uint64_t kFreedMemory = 4096; /* frees per shard within which a second free is told as one */
constexpr ULONG kProtectedPoolBit = 0x80000000;

struct Block {
    const void *address; /* null: a free slot */
    size_t size;
    ULONG tag;
    POOL_TYPE type;
    machine::PoolTagStats *stats; /* the shard's counts for the tag */
    bool live;
    uint64_t freeNumber; /* the shard's free count when this block was freed */
};

/*
 * Blocks by address: open addressing with linear probing. Nothing is erased one
 * by one: a freed entry past the window no longer counts, and is left out when
 * the table is rebuilt (which happens once half the slots are taken), so every
 * free and allocation makes a single probe run.
 */
class BlockTable {
public:
    uint64_t frees = 0; /* frees so far, which age the freed entries */

    /* A live entry, or a freed one still inside the window, or null. */
    Block *Find(const void *address)
    {
        if (slots_.empty())
            return nullptr;
        for (size_t i = Home(address);; i = (i + 1) & Mask()) {
            if (slots_[i].address == address)
                return Counts(slots_[i]) ? &slots_[i] : nullptr;
            if (slots_[i].address == nullptr)
                return nullptr;
        }
    }

    /* The entry for the address, whatever it held, or a new one: the caller fills it in. */
    Block &Slot(const void *address)
    {
        if ((used_ + 1) * 2 > slots_.size())
            Rebuild();
        size_t i = Home(address);
        for (; slots_[i].address != nullptr; i = (i + 1) & Mask())
            if (slots_[i].address == address)
                return slots_[i];
        used_++;
        return slots_[i];
    }

    /* Marks a live entry freed. */
    void Free(Block &entry)
    {
        entry.live = false;
        entry.freeNumber = frees++;
    }

    void Clear()
    {
        slots_.clear();
        used_ = 0;
        frees = 0;
    }

    template <typename Fn> void ForEach(Fn fn)
    {
        for (Block &entry : slots_)
            if (entry.address != nullptr)
                fn(entry);
    }

private:
    bool Counts(const Block &entry) const { return entry.live || frees - entry.freeNumber <= kFreedMemory; }
    size_t Mask() const { return slots_.size() - 1; }
    size_t Home(const void *address) const
    {
        return (size_t)(((uintptr_t)address >> 4) * 0x9E3779B97F4A7C15ull >> (64 - bits_));
    }
    /* Moves the entries that still count into a table four times their number. */
    void Rebuild()
    {
        std::vector<Block> old;
        old.swap(slots_);
        size_t keep = 0;
        for (const Block &entry : old)
            keep += entry.address != nullptr && Counts(entry);
        for (bits_ = 10; ((size_t)1 << bits_) < 4 * (keep + 1);)
            bits_++;
        slots_.assign((size_t)1 << bits_, Block{});
        used_ = 0;
        for (const Block &entry : old)
            if (entry.address != nullptr && Counts(entry))
                Slot(entry.address) = entry;
    }

    std::vector<Block> slots_;
    size_t used_ = 0;
    unsigned bits_ = 0;
};

struct alignas(64) PoolShard {
    base::SpinLock lock;
    BlockTable blocks; /* live ones and recently freed ones */
    std::map<ULONG, machine::PoolTagStats> tags;
};

struct PoolState {
    PoolShard shards[kShards];
    base::SpinLock checksLock;
    std::vector<std::pair<std::string, machine::PoolFreeCheck>> freeChecks;
};

PoolState &Pool()
{
    static PoolState pool;
    return pool;
}

PoolShard &ShardOf(const void *block)
{
    auto address = (uintptr_t)block;
    return Pool().shards[(address >> 4 ^ address >> 12) % kShards];
}

bool IsPagedType(POOL_TYPE type)
{
    return (type & 1) != 0;
}

void *AllocateBlock(POOL_TYPE type, size_t size)
{
    size_t alignment = size >= kPageSize ? kPageSize : MEMORY_ALLOCATION_ALIGNMENT;
    if ((type & 4) != 0 && alignment < kCacheAlignment) /* cache-aligned types */
        alignment = kCacheAlignment;
    void *block = nullptr;
    if (posix_memalign(&block, alignment, size) != 0)
        return nullptr;
    return block;
}

void FreeBlock(PVOID p, ULONG tag, bool checkTag)
{
    if (p == nullptr)
        KeBugCheckEx(BAD_POOL_CALLER, 0x42, 0, 0, 0);
    auto &pool = Pool();
    auto &shard = ShardOf(p);
    Block block{};
    bool known = false;
    {
        base::SpinGuard guard(shard.lock);
        if (Block *entry = shard.blocks.Find(p)) {
            known = true;
            block = *entry;
        }
    }
    if (known && !block.live)
        KeBugCheckEx(BAD_POOL_CALLER, 0x07, 0, 0, (ULONG_PTR)p);
    if (!known)
        KeBugCheckEx(BAD_POOL_CALLER, 0x42, (ULONG_PTR)p, 0, 0);
    if (checkTag && (block.tag & ~kProtectedPoolBit) != (tag & ~kProtectedPoolBit))
        KeBugCheckEx(BAD_POOL_CALLER, 0x0A, (ULONG_PTR)p, block.tag, tag);

    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && IsPagedType(block.type)))
        KeBugCheckEx(BAD_POOL_CALLER, 0x09, irql, (ULONG_PTR)block.type, (ULONG_PTR)p);

    // Objects that must be torn down before their memory goes (resources, timers,
    // waiters) are checked while the block is still live.
    for (const auto &check : pool.freeChecks)
        check.second(p, block.size);

    {
        base::SpinGuard guard(shard.lock);
        Block *entry = shard.blocks.Find(p);
        if (entry == nullptr || !entry->live) /* freed by another thread meanwhile */
            KeBugCheckEx(BAD_POOL_CALLER, 0x07, 0, 0, (ULONG_PTR)p);
        entry->stats->liveBlocks--;
        entry->stats->liveBytes -= entry->size;
        entry->stats->frees++;
        shard.blocks.Free(*entry);
    }
    std::free(p);
}

/* Per-tag counts summed over the shards. */
std::map<ULONG, machine::PoolTagStats> SumTags()
{
    std::map<ULONG, machine::PoolTagStats> sum;
    for (auto &shard : Pool().shards) {
        base::SpinGuard guard(shard.lock);
        for (const auto &[tag, stats] : shard.tags) {
            auto &total = sum[tag];
            total.tag = tag;
            total.liveBlocks += stats.liveBlocks;
            total.liveBytes += stats.liveBytes;
            total.allocations += stats.allocations;
            total.frees += stats.frees;
        }
    }
    return sum;
}

void AuditPool(machine::AuditReport &report)
{
    for (const auto &[tag, stats] : SumTags()) {
        if (stats.liveBlocks == 0)
            continue;
        char line[160];
        std::snprintf(line, sizeof(line), "pool: tag '%s' holds %llu block(s), %llu byte(s)",
                      machine::TagText(tag).c_str(), (unsigned long long)stats.liveBlocks,
                      (unsigned long long)stats.liveBytes);
        report.findings.push_back(line);
    }
}

void ResetPool()
{
    for (auto &shard : Pool().shards) {
        base::SpinGuard guard(shard.lock);
        // Blocks still live at shutdown were reported by the audit; they are released
        // here so that the next boot in the same process starts clean.
        shard.blocks.ForEach([](Block &block) {
            if (block.live)
                std::free(const_cast<void *>(block.address));
        });
        shard.blocks.Clear();
        shard.tags.clear();
    }
}

const bool registered = [] {
    machine::RegisterComponent({"pool", machine::kOrderPool, ResetPool, AuditPool, ResetPool});
    return true;
}();

} // namespace

namespace machine {

std::string TagText(uint32_t tag)
{
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = (char)((tag >> (8 * i)) & 0x7F);
        text += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return text;
}

uint32_t TagFromText(const char *text)
{
    uint32_t tag = 0;
    for (int i = 0; i < 4 && text[i] != 0; ++i)
        tag |= (uint32_t)(unsigned char)text[i] << (8 * i);
    return tag;
}

std::vector<PoolTagStats> PoolSnapshot()
{
    std::vector<PoolTagStats> result;
    for (const auto &[tag, stats] : SumTags())
        result.push_back(stats);
    return result;
}

PoolTagStats PoolTag(uint32_t tag)
{
    PoolTagStats total;
    total.tag = tag;
    for (auto &shard : Pool().shards) {
        base::SpinGuard guard(shard.lock);
        auto it = shard.tags.find(tag);
        if (it == shard.tags.end())
            continue;
        total.liveBlocks += it->second.liveBlocks;
        total.liveBytes += it->second.liveBytes;
        total.allocations += it->second.allocations;
        total.frees += it->second.frees;
    }
    return total;
}

PoolTagStats PoolTotals()
{
    PoolTagStats total;
    for (const auto &stats : PoolSnapshot()) {
        total.liveBlocks += stats.liveBlocks;
        total.liveBytes += stats.liveBytes;
        total.allocations += stats.allocations;
        total.frees += stats.frees;
    }
    return total;
}

void AddPoolFreeCheck(const std::string &name, PoolFreeCheck check)
{
    auto &pool = Pool();
    base::SpinGuard guard(pool.checksLock);
    for (auto &entry : pool.freeChecks)
        if (entry.first == name) {
            entry.second = std::move(check);
            return;
        }
    pool.freeChecks.emplace_back(name, std::move(check));
}

} // namespace machine

extern "C" {

NTKERNELAPI PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    if (NumberOfBytes == 0)
        KeBugCheckEx(BAD_POOL_CALLER, 0x00, 0, (ULONG_PTR)PoolType, Tag);
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && IsPagedType(PoolType)))
        KeBugCheckEx(BAD_POOL_CALLER, 0x08, irql, (ULONG_PTR)PoolType, NumberOfBytes);
    if (machine::ShouldFail("ExAllocatePoolWithTag", Tag))
        return nullptr;

    void *block = AllocateBlock(PoolType, NumberOfBytes);
    if (block == nullptr)
        return nullptr;
    std::memset(block, machine::kPoolPoisonByte, NumberOfBytes);

    auto &shard = ShardOf(block);
    base::SpinGuard guard(shard.lock);
    auto &stats = shard.tags[Tag];
    stats.tag = Tag;
    stats.liveBlocks++;
    stats.liveBytes += NumberOfBytes;
    stats.allocations++;
    /* a recently freed entry at this address is reused */
    shard.blocks.Slot(block) = Block{block, NumberOfBytes, Tag, PoolType, &stats, true, 0};
    return block;
}

NTKERNELAPI PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, POOL_TAG('N', 'o', 'n', 'e'));
}

NTKERNELAPI VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    FreeBlock(P, Tag, true);
}

NTKERNELAPI VOID NTAPI ExFreePool(PVOID P)
{
    FreeBlock(P, 0, false);
}

} // extern "C"
