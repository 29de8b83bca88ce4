/*
 * User address spaces (see user_arena.h).
 */
#include "mm/user_arena.h"

#include "base/spin.h"

#include <fcntl.h>
#include <map>
#include <sys/mman.h>
#include <unistd.h>

namespace mm {

struct UserArena {
    int fd = -1;
    unsigned char *base = nullptr;
    size_t size = 0;
    base::SpinLock lock;
    std::map<size_t, size_t> freeRanges; /* offset -> length */
    std::map<size_t, size_t> used;       /* offset -> length */
};

namespace {
constexpr size_t kGranule = 16;
constexpr size_t kPage = 4096;
} // namespace

namespace {

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
    if (address == nullptr || (reinterpret_cast<uintptr_t>(address) & (kPage - 1)) != 0 || bytes < 2 * kPage)
        return nullptr;
    int fd = CreateArenaFile(bytes, true);
    if (fd < 0)
        return nullptr;
    void *base = mmap(address, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED_NOREPLACE, fd, 0);
    if (base != address) {
        // Taken (or, on a kernel without MAP_FIXED_NOREPLACE, placed elsewhere).
        if (base != MAP_FAILED)
            munmap(base, bytes);
        close(fd);
        return nullptr;
    }
    return WrapArena(fd, base, bytes);
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
    munmap(arena->base, arena->size);
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

void ArenaUnmapAlias(void *alias, size_t length)
{
    auto start = reinterpret_cast<uintptr_t>(alias);
    uintptr_t pageStart = start & ~(uintptr_t)(kPage - 1);
    size_t span = ((start + length + kPage - 1) & ~(uintptr_t)(kPage - 1)) - pageStart;
    munmap(reinterpret_cast<void *>(pageStart), span);
}

} // namespace mm
