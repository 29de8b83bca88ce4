/*
 * What the rest of the stand-in asks of section views: a process's views at its
 * end, and user ranges in views that MDLs lock and map.
 */
#pragma once

#include <cstddef>

struct _KPROCESS;

namespace mm {

/* A process ends: its views go, dirty pages written back. */
void UnmapProcessViews(struct _KPROCESS *process);
/* MmProbeAndLockPages over views: the pages made present (dirty for a write); raises an in-page error. */
void LockViewPages(const void *address, size_t length, bool write);
/* A system mapping of a range lying wholly in one view (unmapped like an arena alias); null otherwise. */
void *MapViewAlias(const void *address, size_t length);

} // namespace mm
