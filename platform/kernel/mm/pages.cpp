/*
 * The page allocator: MmAllocatePagesForMdl, its Ex and node forms, and
 * MmFreePagesFromMdl.
 *
 * "Physical pages" here are runs of host memory. Every list describes one run,
 * aligned to 2 MiB (so transparent huge pages can back it), made resident when the
 * run is first made and kept resident for the machine's life; an inaccessible guard
 * page follows every run, so an overrun past a list's last page faults at once.
 * Windows gives a page list no virtual address until it is mapped; likewise a run is
 * inaccessible except while its list is mapped (MapPageList), so a use after unmap
 * or after free faults instead of reading stale memory. Freed runs are kept for reuse
 * by a later list of the same size, up to a bound, the way Windows keeps its free
 * page list: a run handed out again is neither unmapped nor faulted in anew. The
 * checking builds (machine::kPagesPoisoned) fill fresh and freed runs with the
 * poison byte, so a missed zeroing shows; the plain build leaves them as they are,
 * as Windows leaves a page it was told not to zero.
 *
 * Like Windows, a request may be met in part: the list then describes fewer pages
 * than asked for (never fewer than one), and MM_ALLOCATE_FULLY_REQUIRED turns any
 * shortfall into failure. The test controls in machine.h make shortfalls happen.
 */
#include "ke/dispatcher.h"
#include "mm/page_lists.h"
#include "ke/verifier.h"

#include "base/spin.h"
#include "machine.h"

#include <km/bugcheck.h>
#include <km/pool.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <sys/mman.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace {

constexpr size_t kPage = PAGE_SIZE;
constexpr size_t kRunAlignment = 2u * 1024 * 1024;
/* Largest list one call can make: 4 GiB less one page. */
constexpr uint64_t kMaximumListPages = (0x100000000ull - kPage) / kPage;
/* Freed runs kept for reuse by default; beyond the bound the oldest go back to the host. */
constexpr size_t kRetainedBytes = 1ull << 30;
constexpr ULONG kMdlTag = POOL_TAG('M', 'd', 'l', ' ');
constexpr uint64_t kNoLimit = UINT64_MAX;

struct PageRun {
    unsigned char *base = nullptr;
    size_t bytes = 0; /* whole pages */
    bool mapped = false;
};

struct PageState {
    base::SpinLock lock;
    std::unordered_map<const void *, PageRun> lists; /* live lists by MDL */
    std::multimap<size_t, std::pair<uint64_t, unsigned char *>> freeRuns; /* bytes -> (age, run) */
    std::map<uint64_t, std::pair<size_t, unsigned char *>> freeOrder;     /* age -> (bytes, run) */
    uint64_t freeSerial = 0;
    size_t freeBytes = 0;
    size_t retainLimit = kRetainedBytes; /* bound of freeBytes */
    uint64_t pagesInUse = 0;
    bool failAll = false;
    uint64_t budget = kNoLimit;  /* pages still grantable */
    uint64_t listLimit = kNoLimit;
    uint64_t available = 0;
};

PageState &Pages()
{
    static PageState state;
    return state;
}

/* Whether protection changes can follow 4 KiB pages on this host. */
bool CanProtect()
{
    static const bool can = sysconf(_SC_PAGESIZE) == (long)kPage;
    return can;
}

void Protect(unsigned char *base, size_t bytes, bool accessible)
{
    if (CanProtect())
        mprotect(base, bytes, accessible ? PROT_READ | PROT_WRITE : PROT_NONE);
}

size_t GuardBytes()
{
    return CanProtect() ? kPage : 0;
}

/*
 * Makes a fresh run resident: filled with the poison byte in the checking builds,
 * else faulted in by the host, which clears it (a write of every page where the
 * host cannot fault a range in at once).
 */
void Populate(unsigned char *base, size_t bytes)
{
    if (machine::kPagesPoisoned) {
        std::memset(base, machine::kPagePoisonByte, bytes);
        return;
    }
#ifdef MADV_POPULATE_WRITE
    if (madvise(base, bytes, MADV_POPULATE_WRITE) == 0)
        return;
#endif
    for (size_t at = 0; at < bytes; at += kPage)
        base[at] = 0;
}

/* A new run of bytes (whole pages): 2 MiB aligned, resident, inaccessible (poisoned when checking). */
unsigned char *MakeRun(size_t bytes)
{
    size_t keep = bytes + GuardBytes();
    size_t span = keep + kRunAlignment;
    void *raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (raw == MAP_FAILED)
        return nullptr;
    auto start = reinterpret_cast<uintptr_t>(raw);
    uintptr_t aligned = (start + kRunAlignment - 1) & ~(uintptr_t)(kRunAlignment - 1);
    if (aligned > start)
        munmap(raw, aligned - start);
    uintptr_t end = start + span;
    if (end > aligned + keep)
        munmap(reinterpret_cast<void *>(aligned + keep), end - (aligned + keep));
    auto *base = reinterpret_cast<unsigned char *>(aligned);
    madvise(base, bytes, MADV_HUGEPAGE);
    Populate(base, bytes);
    if (GuardBytes() != 0)
        Protect(base + bytes, GuardBytes(), false);
    Protect(base, bytes, false);
    return base;
}

void DestroyRun(unsigned char *base, size_t bytes)
{
    munmap(base, bytes + GuardBytes());
}

/*
 * Takes the oldest kept runs off the free list until it holds at most limit bytes
 * and returns them, for the caller to give back once the lock is dropped.
 * Caller holds state.lock.
 */
std::vector<std::pair<size_t, unsigned char *>> TakeSurplusRuns(PageState &state, size_t limit)
{
    std::vector<std::pair<size_t, unsigned char *>> surplus;
    while (state.freeBytes > limit) {
        auto oldest = state.freeOrder.begin();
        auto [size, run] = oldest->second;
        state.freeOrder.erase(oldest);
        auto range = state.freeRuns.equal_range(size);
        for (auto it = range.first; it != range.second; ++it)
            if (it->second.second == run) {
                state.freeRuns.erase(it);
                break;
            }
        state.freeBytes -= size;
        surplus.emplace_back(size, run);
    }
    return surplus;
}

/* Gives the kept runs beyond limit back to the host. */
void GiveBackRuns(size_t limit)
{
    auto &state = Pages();
    std::vector<std::pair<size_t, unsigned char *>> surplus;
    {
        base::SpinGuard guard(state.lock);
        surplus = TakeSurplusRuns(state, limit);
    }
    for (auto [size, run] : surplus)
        DestroyRun(run, size);
}

/* A run of bytes: a recycled one of that size if there is one, else a new one. */
unsigned char *TakeRun(size_t bytes)
{
    auto &state = Pages();
    {
        base::SpinGuard guard(state.lock);
        auto it = state.freeRuns.find(bytes);
        if (it != state.freeRuns.end()) {
            auto [age, base] = it->second;
            state.freeRuns.erase(it);
            state.freeOrder.erase(age);
            state.freeBytes -= bytes;
            return base;
        }
    }
    unsigned char *run = MakeRun(bytes);
    if (run == nullptr) {
        // The host is short of memory: the kept runs of other sizes go back first.
        GiveBackRuns(0);
        run = MakeRun(bytes);
    }
    return run;
}

/*
 * Keeps a run for reuse (poisoned when checking), letting the oldest kept runs go
 * back to the host beyond the bound.
 */
void RecycleRun(unsigned char *base, size_t bytes)
{
    if (machine::kPagesPoisoned) {
        Protect(base, bytes, true);
        std::memset(base, machine::kPagePoisonByte, bytes);
        Protect(base, bytes, false);
    }
    auto &state = Pages();
    std::vector<std::pair<size_t, unsigned char *>> surplus;
    {
        base::SpinGuard guard(state.lock);
        uint64_t age = state.freeSerial++;
        state.freeRuns.emplace(bytes, std::make_pair(age, base));
        state.freeOrder.emplace(age, std::make_pair(bytes, base));
        state.freeBytes += bytes;
        surplus = TakeSurplusRuns(state, state.retainLimit);
    }
    for (auto [size, run] : surplus)
        DestroyRun(run, size);
}

/* Pages a request may have now: the test limits, the machine's memory, the per-call limit. */
uint64_t GrantablePages(PageState &state, uint64_t wanted)
{
    if (state.failAll)
        return 0;
    uint64_t physical = machine::CurrentConfig().physicalPages;
    uint64_t free = physical > state.pagesInUse ? physical - state.pagesInUse : 0;
    uint64_t grant = wanted;
    for (uint64_t limit : {kMaximumListPages, state.budget, state.listLimit, free})
        if (grant > limit)
            grant = limit;
    return grant;
}

PMDL AllocatePageList(const char *site, const void *routine, SIZE_T totalBytes, ULONG flags, bool alwaysZero)
{
    ke::CheckIrql(routine, DISPATCH_LEVEL);
    if (machine::ShouldFail(site))
        return nullptr;
    uint64_t wanted = ((uint64_t)totalBytes + kPage - 1) / kPage;
    if (wanted == 0)
        return nullptr;

    auto &state = Pages();
    uint64_t pages;
    {
        base::SpinGuard guard(state.lock);
        pages = GrantablePages(state, wanted);
        if (pages == 0 || ((flags & MM_ALLOCATE_FULLY_REQUIRED) != 0 && pages < wanted))
            return nullptr;
        state.pagesInUse += pages;
        if (state.budget != kNoLimit)
            state.budget -= pages;
    }
    size_t bytes = (size_t)pages * kPage;
    auto undo = [&] {
        base::SpinGuard guard(state.lock);
        state.pagesInUse -= pages;
        if (state.budget != kNoLimit)
            state.budget += pages;
    };

    unsigned char *run = TakeRun(bytes);
    if (run == nullptr) {
        undo();
        return nullptr;
    }
    size_t mdlBytes = sizeof(MDL) + (size_t)pages * sizeof(PFN_NUMBER);
    auto *mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPoolNx, mdlBytes, kMdlTag));
    if (mdl == nullptr) {
        RecycleRun(run, bytes);
        undo();
        return nullptr;
    }
    std::memset(mdl, 0, sizeof(MDL));
    mdl->Size = mdlBytes > 0x7FFF ? (CSHORT)0x7FFF : (CSHORT)mdlBytes; /* CSHORT holds no more */
    mdl->MdlFlags = MDL_PAGES_LOCKED | MDL_ALLOCATED_FIXED_SIZE;
    mdl->ByteCount = (ULONG)bytes;
    PPFN_NUMBER frames = MmGetMdlPfnArray(mdl);
    for (uint64_t i = 0; i < pages; ++i)
        frames[i] = (reinterpret_cast<uintptr_t>(run) / kPage) + i;

    if (alwaysZero || (flags & MM_DONT_ZERO_ALLOCATION) == 0) {
        Protect(run, bytes, true);
        std::memset(run, 0, bytes);
        Protect(run, bytes, false);
    }
    base::SpinGuard guard(state.lock);
    state.lists[mdl] = PageRun{run, bytes, false};
    return mdl;
}

void Halt(ULONG code, const void *p2, const void *p3 = nullptr)
{
    KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, code, (ULONG_PTR)p2, (ULONG_PTR)p3, 0);
}

/*
 * The pool must not take back the MDL of a list whose pages are still allocated.
 * A verifier check: without the verifier every pool free would pay a lookup here.
 */
void CheckFreedBlock(const void *block, size_t)
{
    if (!verifier::Enabled())
        return;
    auto &state = Pages();
    bool live;
    {
        base::SpinGuard guard(state.lock);
        live = state.lists.count(block) != 0;
    }
    if (live)
        Halt(VERIFIER_PAGE_LIST_FREED_LIVE, block);
}

void BootPages()
{
    auto &state = Pages();
    {
        base::SpinGuard guard(state.lock);
        state.failAll = false;
        state.budget = kNoLimit;
        state.listLimit = kNoLimit;
        state.retainLimit = kRetainedBytes;
        state.available = machine::CurrentConfig().availablePages;
    }
    machine::AddPoolFreeCheck("page-lists", CheckFreedBlock);
}

void AuditPages(machine::AuditReport &report)
{
    auto &state = Pages();
    base::SpinGuard guard(state.lock);
    if (state.lists.empty())
        return;
    char line[160];
    std::snprintf(line, sizeof(line), "mm: %zu page list(s) with %llu page(s) still allocated", state.lists.size(),
                  (unsigned long long)state.pagesInUse);
    report.findings.push_back(line);
}

void ShutDownPages()
{
    auto &state = Pages();
    std::unordered_map<const void *, PageRun> lists;
    std::map<uint64_t, std::pair<size_t, unsigned char *>> freeRuns;
    {
        base::SpinGuard guard(state.lock);
        lists.swap(state.lists);
        freeRuns.swap(state.freeOrder);
        state.freeRuns.clear();
        state.freeBytes = 0;
        state.pagesInUse = 0;
    }
    // Lists still live were reported by the audit; their MDLs go with the pool.
    for (auto &[mdl, run] : lists)
        DestroyRun(run.base, run.bytes);
    for (auto &[age, run] : freeRuns)
        DestroyRun(run.second, run.first);
}

const bool registered = [] {
    machine::RegisterComponent({"page-lists", machine::kOrderExecutive, BootPages, AuditPages, ShutDownPages});
    return true;
}();

} // namespace

namespace mm {

void *MapPageList(PMDL mdl)
{
    auto &state = Pages();
    PageRun run;
    {
        base::SpinGuard guard(state.lock);
        auto it = state.lists.find(mdl);
        if (it == state.lists.end())
            return nullptr;
        it->second.mapped = true;
        run = it->second;
    }
    Protect(run.base, run.bytes, true);
    return run.base;
}

bool UnmapPageList(void *base, PMDL mdl)
{
    auto &state = Pages();
    PageRun run;
    {
        base::SpinGuard guard(state.lock);
        auto it = state.lists.find(mdl);
        if (it == state.lists.end())
            return false;
        if (!it->second.mapped || it->second.base != base)
            Halt(VERIFIER_UNMAP_WRONG_ADDRESS, mdl, base);
        it->second.mapped = false;
        run = it->second;
    }
    Protect(run.base, run.bytes, false);
    return true;
}

uint64_t AvailablePagesFigure()
{
    auto &state = Pages();
    base::SpinGuard guard(state.lock);
    return state.available;
}

} // namespace mm

namespace machine {

uint64_t PagesInUse()
{
    auto &state = Pages();
    base::SpinGuard guard(state.lock);
    return state.pagesInUse;
}

uint64_t PageListsInUse()
{
    auto &state = Pages();
    base::SpinGuard guard(state.lock);
    return state.lists.size();
}

uint64_t RetainedPageBytes()
{
    auto &state = Pages();
    base::SpinGuard guard(state.lock);
    return state.freeBytes;
}

void SetRetainedPageLimit(uint64_t bytes)
{
    {
        auto &state = Pages();
        base::SpinGuard guard(state.lock);
        state.retainLimit = (size_t)bytes;
    }
    GiveBackRuns((size_t)bytes);
}

void SetAvailablePages(uint64_t pages)
{
    auto &state = Pages();
    base::SpinGuard guard(state.lock);
    state.available = pages;
}

void FailPageAllocations()
{
    auto &state = Pages();
    base::SpinGuard guard(state.lock);
    state.failAll = true;
}

void FailPageAllocationsAfter(uint64_t pages)
{
    auto &state = Pages();
    base::SpinGuard guard(state.lock);
    state.budget = pages;
}

void ShortenPageLists(uint64_t pagesPerList)
{
    auto &state = Pages();
    base::SpinGuard guard(state.lock);
    state.listLimit = pagesPerList == 0 ? kNoLimit : pagesPerList;
}

void ClearPageAllocationFaults()
{
    auto &state = Pages();
    base::SpinGuard guard(state.lock);
    state.failAll = false;
    state.budget = kNoLimit;
    state.listLimit = kNoLimit;
}

} // namespace machine

extern "C" {

NTKERNELAPI PMDL NTAPI MmAllocatePagesForMdl(PHYSICAL_ADDRESS LowAddress, PHYSICAL_ADDRESS HighAddress,
                                             PHYSICAL_ADDRESS SkipBytes, SIZE_T TotalBytes)
{
    (void)LowAddress;
    (void)HighAddress;
    (void)SkipBytes;
    // The original form always zero-fills.
    return AllocatePageList("MmAllocatePagesForMdl", (const void *)&MmAllocatePagesForMdl, TotalBytes, 0, true);
}

NTKERNELAPI PMDL NTAPI MmAllocatePagesForMdlEx(PHYSICAL_ADDRESS LowAddress, PHYSICAL_ADDRESS HighAddress,
                                               PHYSICAL_ADDRESS SkipBytes, SIZE_T TotalBytes,
                                               MEMORY_CACHING_TYPE CacheType, ULONG Flags)
{
    (void)LowAddress;
    (void)HighAddress;
    (void)SkipBytes;
    (void)CacheType;
    return AllocatePageList("MmAllocatePagesForMdlEx", (const void *)&MmAllocatePagesForMdlEx, TotalBytes, Flags,
                            false);
}

NTKERNELAPI PMDL NTAPI MmAllocateNodePagesForMdlEx(PHYSICAL_ADDRESS LowAddress, PHYSICAL_ADDRESS HighAddress,
                                                   PHYSICAL_ADDRESS SkipBytes, SIZE_T TotalBytes,
                                                   MEMORY_CACHING_TYPE CacheType, ULONG IdealNode, ULONG Flags)
{
    (void)LowAddress;
    (void)HighAddress;
    (void)SkipBytes;
    (void)CacheType;
    (void)IdealNode; /* the machine has one node */
    return AllocatePageList("MmAllocateNodePagesForMdlEx", (const void *)&MmAllocateNodePagesForMdlEx, TotalBytes,
                            Flags, false);
}

NTKERNELAPI VOID NTAPI MmFreePagesFromMdl(PMDL MemoryDescriptorList)
{
    ke::CheckIrql((const void *)&MmFreePagesFromMdl, DISPATCH_LEVEL);
    auto &state = Pages();
    PageRun run;
    uint64_t pages;
    {
        base::SpinGuard guard(state.lock);
        auto it = state.lists.find(MemoryDescriptorList);
        if (it == state.lists.end())
            Halt(VERIFIER_NOT_A_PAGE_LIST, MemoryDescriptorList);
        if (it->second.mapped)
            Halt(VERIFIER_PAGES_FREED_WHILE_MAPPED, MemoryDescriptorList);
        run = it->second;
        pages = run.bytes / kPage;
        state.lists.erase(it);
        state.pagesInUse -= pages;
    }
    // The MDL itself stays the caller's, to be given back with ExFreePool.
    MemoryDescriptorList->MdlFlags &= ~MDL_PAGES_LOCKED;
    MemoryDescriptorList->ByteCount = 0;
    RecycleRun(run.base, run.bytes);
}

NTKERNELAPI VOID NTAPI MmUnmapReservedMapping(PVOID BaseAddress, ULONG PoolTag, PMDL MemoryDescriptorList)
{
    (void)PoolTag;
    (void)MemoryDescriptorList;
    Halt(VERIFIER_RESERVED_MAPPING, BaseAddress);
}

NTKERNELAPI VOID NTAPI MmFreeMappingAddress(PVOID BaseAddress, ULONG PoolTag)
{
    (void)PoolTag;
    Halt(VERIFIER_RESERVED_MAPPING, BaseAddress);
}

} // extern "C"
