/*
 * Executive pool. Blocks come from the host heap with no header inside them, so
 * the address sanitizer sees overruns at the block's real end; the stand-in keeps
 * each live block's size, tag and type in its own table instead. That table gives
 * the per-tag accounting the audits use and catches the two classic pool bugs:
 * a free with the wrong tag and a free of a block that is not live.
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
#include <deque>
#include <map>
#include <unordered_map>
#include <unordered_set>

namespace {

constexpr size_t kPageSize = 4096;
constexpr size_t kCacheAlignment = 128;
constexpr size_t kFreedMemory = 65536; /* recently freed addresses kept to tell a double free */
constexpr ULONG kProtectedPoolBit = 0x80000000;

struct Block {
    size_t size;
    ULONG tag;
    POOL_TYPE type;
    void *caller;
};

struct PoolState {
    base::SpinLock lock;
    std::unordered_map<const void *, Block> live;
    std::map<ULONG, machine::PoolTagStats> tags;
    std::unordered_set<const void *> recentlyFreed;
    std::deque<const void *> freedOrder;
    std::vector<std::pair<std::string, machine::PoolFreeCheck>> freeChecks;
};

PoolState &Pool()
{
    static PoolState pool;
    return pool;
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

void ForgetFreed(PoolState &pool, const void *block)
{
    pool.recentlyFreed.erase(block);
}

void RememberFreed(PoolState &pool, const void *block)
{
    if (pool.freedOrder.size() >= kFreedMemory) {
        pool.recentlyFreed.erase(pool.freedOrder.front());
        pool.freedOrder.pop_front();
    }
    pool.recentlyFreed.insert(block);
    pool.freedOrder.push_back(block);
}

void FreeBlock(PVOID p, ULONG tag, bool checkTag)
{
    if (p == nullptr)
        KeBugCheckEx(BAD_POOL_CALLER, 0x42, 0, 0, 0);
    auto &pool = Pool();
    Block block{};
    bool live = false;
    bool freedBefore = false;
    {
        base::SpinGuard guard(pool.lock);
        auto it = pool.live.find(p);
        if (it != pool.live.end()) {
            live = true;
            block = it->second;
        } else {
            freedBefore = pool.recentlyFreed.count(p) != 0;
        }
    }
    if (!live && freedBefore)
        KeBugCheckEx(BAD_POOL_CALLER, 0x07, 0, 0, (ULONG_PTR)p);
    if (!live)
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
        base::SpinGuard guard(pool.lock);
        pool.live.erase(p);
        auto &stats = pool.tags[block.tag];
        stats.liveBlocks--;
        stats.liveBytes -= block.size;
        stats.frees++;
        RememberFreed(pool, p);
    }
    std::free(p);
}

void AuditPool(machine::AuditReport &report)
{
    auto &pool = Pool();
    base::SpinGuard guard(pool.lock);
    for (const auto &[tag, stats] : pool.tags) {
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
    auto &pool = Pool();
    base::SpinGuard guard(pool.lock);
    // Blocks still live at shutdown were reported by the audit; they are released
    // here so that the next boot in the same process starts clean.
    for (auto &[address, block] : pool.live)
        std::free(const_cast<void *>(address));
    pool.live.clear();
    pool.tags.clear();
    pool.recentlyFreed.clear();
    pool.freedOrder.clear();
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
    auto &pool = Pool();
    base::SpinGuard guard(pool.lock);
    std::vector<PoolTagStats> result;
    for (const auto &[tag, stats] : pool.tags)
        result.push_back(stats);
    return result;
}

PoolTagStats PoolTag(uint32_t tag)
{
    auto &pool = Pool();
    base::SpinGuard guard(pool.lock);
    auto it = pool.tags.find(tag);
    if (it == pool.tags.end()) {
        PoolTagStats empty;
        empty.tag = tag;
        return empty;
    }
    return it->second;
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
    base::SpinGuard guard(pool.lock);
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

    auto &pool = Pool();
    base::SpinGuard guard(pool.lock);
    pool.live[block] = Block{NumberOfBytes, Tag, PoolType, __builtin_return_address(0)};
    ForgetFreed(pool, block);
    auto &stats = pool.tags[Tag];
    stats.tag = Tag;
    stats.liveBlocks++;
    stats.liveBytes += NumberOfBytes;
    stats.allocations++;
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
