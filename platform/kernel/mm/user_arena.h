/*
 * User address spaces. Each process has an arena: shared memory (a memfd) mapped
 * once as the process's user space. User-mode requests must keep their buffers
 * there; probes test membership, and a user MDL's system mapping is a second
 * mapping of the same pages, as on Windows.
 */
#pragma once

#include <cstddef>
#include <cstdint>

namespace mm {

struct UserArena;

UserArena *CreateUserArena(size_t bytes);
/*
 * A user space shared with a process outside the machine (a socket client): mapped at
 * exactly this address, which must lie in the user-space window
 * (machine::ReserveUserSpaceWindow) clear of every other arena there (null otherwise),
 * its memory sealed against growing and shrinking, so the client, which maps the same
 * pages at the same address, can never pull memory out from under the machine.
 */
UserArena *CreateSharedUserArena(size_t bytes, void *address);
/* The memory descriptor behind an arena (the client maps it), its base and size. */
int ArenaDescriptor(const UserArena *arena);
void *ArenaBase(const UserArena *arena);
size_t ArenaSize(const UserArena *arena);
void DestroyUserArena(UserArena *arena);
void *ArenaAllocate(UserArena *arena, size_t bytes);
void ArenaFree(UserArena *arena, void *address);
/* Whether [address, address + length) lies wholly in the arena. */
bool ArenaContains(const UserArena *arena, const void *address, size_t length);
/* A second mapping of the pages under [address, address + length); null on failure. */
void *ArenaMapAlias(UserArena *arena, const void *address, size_t length);
void ArenaUnmapAlias(void *alias, size_t length);
/*
 * The same pages through one lasting second mapping of the whole arena, made at the
 * first use and kept until the arena goes: no mapping call per request. Used while
 * the verifier is off; with it on, each system mapping is its own and ends at its
 * unmap, so a driver that keeps using one afterwards faults as on Windows.
 */
void *ArenaLastingAlias(UserArena *arena, const void *address);
bool IsLastingAlias(const UserArena *arena, const void *alias);
/* Maps the arena's own pages back over a page-aligned range of it (a view mapped there went). */
bool ArenaRestorePages(UserArena *arena, void *address, size_t length);

} // namespace mm
