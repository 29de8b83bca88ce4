/*
 * User address spaces (see user_arena.h).
 *
 * The user-space window. The user spaces of socket clients are placed in the host
 * only inside one range reserved once per process (inaccessible, not backed by
 * memory): a client's proposal can then only ever meet the window or another
 * client's user space, and what the host keeps elsewhere in its address space
 * stays out of every answer. An arena is mapped over the reservation and, when it
 * goes, the reservation is put back over its range instead of unmapping it, so that
 * nothing else the process maps can ever land in the window.
 */
#include "mm/user_arena.h"

#include "base/spin.h"

#include "machine.h"

#include <atomic>
#include <fcntl.h>
#include <iterator>
#include <map>
#include <sys/mman.h>
#include <unistd.h>

namespace mm {

struct UserArena {
    int fd = -1;
    unsigned char *base = nullptr;
    size_t size = 0;
    bool inWindow = false; /* mapped over the user-space window, which takes its range back */
    base::SpinLock lock;
    std::map<size_t, size_t> freeRanges; /* offset -> length */
    std::map<size_t, size_t> used;       /* offset -> length */
    std::atomic<unsigned char *> systemAlias{nullptr}; /* the whole arena mapped once more; lock to make */
};

namespace {
constexpr size_t kGranule = 16;
constexpr size_t kPage = 4096;
} // namespace

namespace {

/* The window and the arenas mapped in it. The lock is held only to look at and
 * change the table: a range is claimed in it before it is mapped and given back only
 * after the reservation covers it again, so two claims never meet. */
struct WindowState {
    base::SpinLock lock;
    uintptr_t base = 0;                /* 0 until reserved; then fixed for the process's life */
    size_t bytes = 0;
    std::map<uintptr_t, size_t> live;  /* claimed ranges: start -> length */
};

WindowState &Window()
{
    static WindowState window;
    return window;
}

/* Whether [start, start + bytes) overlaps a claimed range (window lock held). */
bool OverlapsLive(const WindowState &window, uintptr_t start, size_t bytes)
{
    auto next = window.live.lower_bound(start);
    if (next != window.live.end() && next->first - start < bytes)
        return true;
    if (next != window.live.begin()) {
        auto previous = std::prev(next);
        if (start - previous->first < previous->second)
            return true;
    }
    return false;
}

/* Puts the window's inaccessible reservation back over a range of it. */
void Rereserve(void *address, size_t bytes)
{
    // MAP_FIXED replaces whatever is there in one step: the range is never open to
    // another mapping in between.
    (void)mmap(address, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0);
}

void Unclaim(uintptr_t start)
{
    WindowState &window = Window();
    base::SpinGuard guard(window.lock);
    window.live.erase(start);
}

/* The memory file behind an arena; sealed, its size can never change. -1 on failure. */
int CreateArenaFile(size_t bytes, bool sealed)
{
    int fd = memfd_create("vorel-user", MFD_CLOEXEC | (sealed ? MFD_ALLOW_SEALING : 0));
    if (fd < 0)
        return -1;
    if (ftruncate(fd, (off_t)bytes) != 0 ||
        (sealed && fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

UserArena *WrapArena(int fd, void *base, size_t bytes)
{
    auto *arena = new UserArena();
    arena->fd = fd;
    arena->base = static_cast<unsigned char *>(base);
    arena->size = bytes;
    // The first page stays unused, so no user buffer starts at the arena's base.
    arena->freeRanges[kPage] = bytes - kPage;
    return arena;
}

} // namespace

UserArena *CreateUserArena(size_t bytes)
{
    int fd = CreateArenaFile(bytes, false);
    if (fd < 0)
        return nullptr;
    void *base = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) {
        close(fd);
        return nullptr;
    }
    return WrapArena(fd, base, bytes);
}

UserArena *CreateSharedUserArena(size_t bytes, void *address)
{
    auto start = reinterpret_cast<uintptr_t>(address);
    if (address == nullptr || (start & (kPage - 1)) != 0 || bytes < 2 * kPage || (bytes & (kPage - 1)) != 0)
        return nullptr;
    WindowState &window = Window();
    {
        base::SpinGuard guard(window.lock);
        if (window.bytes == 0 || start < window.base || start - window.base > window.bytes ||
            window.bytes - (start - window.base) < bytes || OverlapsLive(window, start, bytes))
            return nullptr;
        window.live[start] = bytes;
    }
    int fd = CreateArenaFile(bytes, true);
    if (fd < 0) {
        Unclaim(start);
        return nullptr;
    }
    void *base = mmap(address, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0);
    if (base != address) {
        // A failed fixed mapping may have taken the reservation with it.
        Rereserve(address, bytes);
        close(fd);
        Unclaim(start);
        return nullptr;
    }
    UserArena *arena = WrapArena(fd, base, bytes);
    arena->inWindow = true;
    return arena;
}

int ArenaDescriptor(const UserArena *arena)
{
    return arena->fd;
}

void *ArenaBase(const UserArena *arena)
{
    return arena->base;
}

size_t ArenaSize(const UserArena *arena)
{
    return arena->size;
}

void DestroyUserArena(UserArena *arena)
{
    if (arena == nullptr)
        return;
    if (arena->inWindow) {
        Rereserve(arena->base, arena->size);
        Unclaim(reinterpret_cast<uintptr_t>(arena->base));
    } else {
        munmap(arena->base, arena->size);
    }
    if (unsigned char *alias = arena->systemAlias.load(std::memory_order_acquire))
        munmap(alias, arena->size);
    close(arena->fd);
    delete arena;
}

void *ArenaAllocate(UserArena *arena, size_t bytes)
{
    size_t need = (bytes + kGranule - 1) & ~(kGranule - 1);
    if (need == 0)
        need = kGranule;
    base::SpinGuard guard(arena->lock);
    for (auto it = arena->freeRanges.begin(); it != arena->freeRanges.end(); ++it) {
        if (it->second < need)
            continue;
        size_t offset = it->first;
        size_t left = it->second - need;
        arena->freeRanges.erase(it);
        if (left != 0)
            arena->freeRanges[offset + need] = left;
        arena->used[offset] = need;
        return arena->base + offset;
    }
    return nullptr;
}

void ArenaFree(UserArena *arena, void *address)
{
    size_t offset = static_cast<unsigned char *>(address) - arena->base;
    base::SpinGuard guard(arena->lock);
    auto it = arena->used.find(offset);
    if (it == arena->used.end())
        return;
    size_t length = it->second;
    arena->used.erase(it);
    auto next = arena->freeRanges.lower_bound(offset);
    if (next != arena->freeRanges.end() && next->first == offset + length) {
        length += next->second;
        arena->freeRanges.erase(next);
    }
    auto prev = arena->freeRanges.lower_bound(offset);
    if (prev != arena->freeRanges.begin()) {
        --prev;
        if (prev->first + prev->second == offset) {
            prev->second += length;
            return;
        }
    }
    arena->freeRanges[offset] = length;
}

bool ArenaContains(const UserArena *arena, const void *address, size_t length)
{
    if (arena == nullptr)
        return false;
    auto start = reinterpret_cast<uintptr_t>(address);
    auto base = reinterpret_cast<uintptr_t>(arena->base);
    if (start < base || length > arena->size)
        return false;
    return start - base <= arena->size - length;
}

void *ArenaMapAlias(UserArena *arena, const void *address, size_t length)
{
    size_t offset = static_cast<const unsigned char *>(address) - arena->base;
    size_t pageOffset = offset & ~(kPage - 1);
    size_t span = ((offset + length + kPage - 1) & ~(kPage - 1)) - pageOffset;
    void *alias = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_SHARED, arena->fd, (off_t)pageOffset);
    if (alias == MAP_FAILED)
        return nullptr;
    return static_cast<unsigned char *>(alias) + (offset - pageOffset);
}

void *ArenaLastingAlias(UserArena *arena, const void *address)
{
    unsigned char *alias = arena->systemAlias.load(std::memory_order_acquire);
    if (alias == nullptr) {
        base::SpinGuard guard(arena->lock);
        alias = arena->systemAlias.load(std::memory_order_relaxed);
        if (alias == nullptr) {
            void *made = mmap(nullptr, arena->size, PROT_READ | PROT_WRITE, MAP_SHARED, arena->fd, 0);
            if (made == MAP_FAILED)
                return nullptr;
            alias = static_cast<unsigned char *>(made);
            arena->systemAlias.store(alias, std::memory_order_release);
        }
    }
    return alias + (static_cast<const unsigned char *>(address) - arena->base);
}

bool IsLastingAlias(const UserArena *arena, const void *alias)
{
    const unsigned char *base = arena->systemAlias.load(std::memory_order_acquire);
    auto *at = static_cast<const unsigned char *>(alias);
    return base != nullptr && at >= base && at < base + arena->size;
}

void ArenaUnmapAlias(void *alias, size_t length)
{
    auto start = reinterpret_cast<uintptr_t>(alias);
    uintptr_t pageStart = start & ~(uintptr_t)(kPage - 1);
    size_t span = ((start + length + kPage - 1) & ~(uintptr_t)(kPage - 1)) - pageStart;
    munmap(reinterpret_cast<void *>(pageStart), span);
}

bool ArenaRestorePages(UserArena *arena, void *address, size_t length)
{
    size_t offset = static_cast<unsigned char *>(address) - arena->base;
    // MAP_FIXED replaces the view in one step: the range never lies open to another mapping.
    void *mapped = mmap(address, length, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, arena->fd, (off_t)offset);
    return mapped == address;
}

} // namespace mm

namespace machine {

UserSpaceWindow ReserveUserSpaceWindow(size_t bytes, size_t alignment)
{
    mm::WindowState &window = mm::Window();
    {
        base::SpinGuard guard(window.lock);
        if (window.bytes != 0)
            return {reinterpret_cast<void *>(window.base), window.bytes};
    }
    if (alignment < mm::kPage || (alignment & (alignment - 1)) != 0)
        alignment = mm::kPage;
    bytes = (bytes + alignment - 1) & ~(alignment - 1);
    if (bytes == 0)
        return {};
    // Over-reserve by one alignment unit and trim both ends, so the window starts aligned.
    size_t span = bytes + alignment;
    void *raw = mmap(nullptr, span, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (raw == MAP_FAILED)
        return {};
    auto rawStart = reinterpret_cast<uintptr_t>(raw);
    uintptr_t start = (rawStart + alignment - 1) & ~(uintptr_t)(alignment - 1);
    if (start != rawStart)
        munmap(raw, start - rawStart);
    if (rawStart + span != start + bytes)
        munmap(reinterpret_cast<void *>(start + bytes), rawStart + span - (start + bytes));
    base::SpinGuard guard(window.lock);
    if (window.bytes != 0) {
        // Another caller was first: its window stands.
        munmap(reinterpret_cast<void *>(start), bytes);
    } else {
        window.base = start;
        window.bytes = bytes;
    }
    return {reinterpret_cast<void *>(window.base), window.bytes};
}

bool UserSpaceInUse(const void *address, size_t bytes)
{
    mm::WindowState &window = mm::Window();
    base::SpinGuard guard(window.lock);
    return mm::OverlapsLive(window, reinterpret_cast<uintptr_t>(address), bytes);
}

} // namespace machine
