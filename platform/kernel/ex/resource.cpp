/*
 * Executive resources. The exclusive owner and its recursion count live in the
 * resource's OwnerEntry; shared owners and the two waiter queues live in a record
 * of the stand-in's own that OwnerTable points at. Every state change happens
 * under that record's own spin lock, so an acquire or release that finds no one
 * in its way touches nothing shared with other resources. Only a thread that must
 * wait takes the dispatcher lock: it queues under the resource's lock, takes the
 * dispatcher lock before dropping the resource's, and parks through the
 * dispatcher, so it counts as blocked for the clock and no grant can reach it
 * before it is ready to be woken. A releaser grants under the resource's lock and
 * completes the waits under the dispatcher lock inside it (resource lock first,
 * dispatcher lock second, never the other way round).
 *
 * Windows' rules: a thread that holds a resource shared gets it shared again at
 * once, even while exclusive waiters queue; a new shared request waits behind
 * exclusive waiters unless it starves them (ExAcquireSharedStarveExclusive); the
 * exclusive owner may take it again either way; a shared owner asking for it
 * exclusively would deadlock and stops the machine instead. Only
 * ExAcquireSharedWaitForExclusive makes a shared owner wait behind exclusive
 * waiters (until another thread releases its hold for it).
 *
 * Hand-over on release: when the exclusive owner lets go, every waiting shared
 * request is granted if there is one, else the first exclusive waiter; when the
 * last shared owner lets go, the first exclusive waiter is granted. Shared waiters
 * are never granted while shared owners remain and an exclusive waiter queues:
 * they queued behind that writer, and letting them join the readers one by one
 * would starve it for as long as the readers overlap.
 *
 * Live resources are kept on a list for the teardown audit. With the verifier on
 * they are also kept by address, which catches, as Driver Verifier does, the use
 * of a resource never initialised (or already deleted) and the free of pool that
 * still holds a live resource; with it off those checks cost nothing, and a
 * resource whose OwnerTable is null still stops the machine.
 */
#include "ke/dispatcher.h"
#include "ke/thread.h"
#include "ke/verifier.h"

#include "machine.h"

#include <km/bugcheck.h>
#include <km/ex.h>
#include <km/list.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

namespace {

struct SharedOwner {
    ERESOURCE_THREAD thread;
    ULONG count;
};

struct ResourceWaiter {
    ke::Waiter *waiter;
    ERESOURCE_THREAD thread;
};

struct ResourceState {
    base::SpinLock lock;
    std::vector<SharedOwner> shared;
    std::vector<ResourceWaiter> exclusiveWaiters; /* first come, first granted */
    std::vector<ResourceWaiter> sharedWaiters;
    const void *site;
    const void *resource;
    ResourceState *previous = nullptr; /* on the live list */
    ResourceState *next = nullptr;
};

/* Live resources: a list for the audit, and (verifier on) an index by address. */
struct Registry {
    base::SpinLock lock;
    ResourceState *first = nullptr;
    std::map<const void *, ResourceState *> byAddress;
};

Registry &Live()
{
    static Registry registry;
    return registry;
}

void LinkLocked(Registry &registry, ResourceState *state)
{
    state->previous = nullptr;
    state->next = registry.first;
    if (registry.first != nullptr)
        registry.first->previous = state;
    registry.first = state;
}

void UnlinkLocked(Registry &registry, ResourceState *state)
{
    if (state->previous != nullptr)
        state->previous->next = state->next;
    else
        registry.first = state->next;
    if (state->next != nullptr)
        state->next->previous = state->previous;
    state->previous = state->next = nullptr;
}

[[noreturn]] void Uninitialized(PERESOURCE resource)
{
    KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_UNINITIALIZED_OBJECT, (ULONG_PTR)resource, 0, 0);
}

/*
 * StateOf: the resource's record, checked to belong to a live resource when the
 * verifier is on. Takes no lock on return; stops the machine on a resource that
 * was never initialised.
 */
ResourceState *StateOf(PERESOURCE resource)
{
    auto state = reinterpret_cast<ResourceState *>(resource->OwnerTable);
    if (state == nullptr)
        Uninitialized(resource);
    if (verifier::Enabled()) {
        Registry &registry = Live();
        bool live;
        {
            base::SpinGuard guard(registry.lock);
            auto it = registry.byAddress.find(resource);
            live = it != registry.byAddress.end() && it->second == state;
        }
        if (!live)
            Uninitialized(resource);
    }
    return state;
}

/* LockState: StateOf, with the record's lock held on return. */
ResourceState *LockState(PERESOURCE resource)
{
    ResourceState *state = StateOf(resource);
    state->lock.lock();
    return state;
}

/* The resource's record with its lock held, or null (and no lock) for a resource never initialised. */
ResourceState *PeekState(PERESOURCE resource)
{
    auto state = reinterpret_cast<ResourceState *>(resource->OwnerTable);
    if (state != nullptr)
        state->lock.lock();
    return state;
}

/* Drops the resource's lock and stops the machine. */
[[noreturn]] void BugCheckUnlocked(ResourceState *state, ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3,
                                   ULONG_PTR p4)
{
    state->lock.unlock();
    KeBugCheckEx(code, p1, p2, p3, p4);
}

ERESOURCE_THREAD CurrentOwnerId()
{
    return (ERESOURCE_THREAD)ke::CurrentThread();
}

bool IsExclusive(PERESOURCE resource)
{
    return (resource->Flag & ResourceOwnedExclusive) != 0;
}

SharedOwner *FindShared(ResourceState *state, ERESOURCE_THREAD thread)
{
    for (auto &owner : state->shared)
        if (owner.thread == thread)
            return &owner;
    return nullptr;
}

void UpdateCounts(PERESOURCE resource, ResourceState *state)
{
    resource->NumberOfExclusiveWaiters = (ULONG)state->exclusiveWaiters.size();
    resource->NumberOfSharedWaiters = (ULONG)state->sharedWaiters.size();
    resource->ActiveEntries = IsExclusive(resource) ? 1 : (ULONG)state->shared.size();
    resource->ActiveCount = (SHORT)resource->ActiveEntries;
}

void GrantExclusive(PERESOURCE resource, ResourceState *state, ERESOURCE_THREAD thread)
{
    resource->Flag |= ResourceOwnedExclusive;
    resource->OwnerEntry.OwnerThread = thread;
    resource->OwnerEntry.TableSize = 1;
    UpdateCounts(resource, state);
}

void GrantShared(PERESOURCE resource, ResourceState *state, ERESOURCE_THREAD thread)
{
    if (SharedOwner *owner = FindShared(state, thread))
        owner->count++;
    else
        state->shared.push_back({thread, 1});
    UpdateCounts(resource, state);
}

/* Wakes granted waiters. The resource's lock is held; takes the dispatcher lock inside it. */
void CompleteGrants(const ResourceWaiter *granted, size_t count)
{
    if (count == 0)
        return;
    base::SpinGuard guard(ke::DispatcherLock());
    for (size_t i = 0; i < count; ++i)
        ke::CompleteWait(granted[i].waiter, STATUS_SUCCESS);
}

/* Grants every shared waiter (the resource is not held exclusively). The resource's lock is held. */
void GrantSharedWaiters(PERESOURCE resource, ResourceState *state)
{
    if (state->sharedWaiters.empty())
        return;
    for (const ResourceWaiter &next : state->sharedWaiters)
        GrantShared(resource, state, next.thread);
    std::vector<ResourceWaiter> granted;
    granted.swap(state->sharedWaiters);
    UpdateCounts(resource, state);
    CompleteGrants(granted.data(), granted.size());
}

/* The resource lost an owner (see the hand-over rules at the top): grant whoever may have it now. */
void GrantWaiters(PERESOURCE resource, ResourceState *state, bool exclusiveJustReleased)
{
    if (IsExclusive(resource))
        return;
    bool sharedFirst = exclusiveJustReleased && !state->sharedWaiters.empty();
    if (!sharedFirst && !state->exclusiveWaiters.empty()) {
        if (!state->shared.empty())
            return; /* the writer goes next, once the remaining readers leave */
        ResourceWaiter next = state->exclusiveWaiters.front();
        state->exclusiveWaiters.erase(state->exclusiveWaiters.begin());
        GrantExclusive(resource, state, next.thread);
        CompleteGrants(&next, 1);
        return;
    }
    GrantSharedWaiters(resource, state);
}

/*
 * Blocks the caller on a queue of the resource until a releaser grants it. Called
 * with the resource's lock held; returns without it, the grant made.
 */
void WaitForGrant(PERESOURCE resource, ResourceState *state, std::vector<ResourceWaiter> &queue,
                  ERESOURCE_THREAD thread)
{
    ke::Waiter waiter;
    waiter.thread = &ke::CurrentThreadState();
    waiter.kind = ke::WaitKind::Custom;
    queue.push_back({&waiter, thread});
    resource->ContentionCount++;
    UpdateCounts(resource, state);
    // The dispatcher lock is taken before the resource's is dropped: a releaser
    // completes this wait under the dispatcher lock, so only once it is parked.
    ke::DispatcherLock().lock();
    state->lock.unlock();
    ke::BlockOnWaiter(waiter, UINT64_MAX);
    ke::DispatcherLock().unlock();
}

/*
 * EndAcquire: the end of an acquire whose rules the caller applied with the
 * resource's lock held: granted now, else waited for on the queue if the caller
 * may wait, else refused. Returns without the lock, true if the caller holds the
 * resource.
 */
bool EndAcquire(PERESOURCE resource, ResourceState *state, bool grantedNow, BOOLEAN wait,
                std::vector<ResourceWaiter> &queue, ERESOURCE_THREAD self, bool shared)
{
    if (!grantedNow && wait) {
        WaitForGrant(resource, state, queue, self);
    } else {
        state->lock.unlock();
        if (!grantedNow)
            return false;
    }
    verifier::AfterAcquire(resource, verifier::kResource, shared);
    return true;
}

void CheckAcquireContext(PERESOURCE resource, const void *routine)
{
    ke::CheckIrql(routine, APC_LEVEL);
    if (verifier::Enabled() && !KeAreApcsDisabled())
        KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_RESOURCE_APCS_ENABLED, (ULONG_PTR)resource, 0, 0);
}

enum class SharedPolicy { Normal, StarveExclusive, WaitForExclusive };

BOOLEAN AcquireShared(PERESOURCE resource, BOOLEAN wait, SharedPolicy policy, const void *routine,
                      const void *caller)
{
    CheckAcquireContext(resource, routine);
    ERESOURCE_THREAD self = CurrentOwnerId();
    verifier::BeforeAcquire(resource, verifier::kResource, caller);
    bool now = true;
    ResourceState *state = LockState(resource);
    SharedOwner *mine = FindShared(state, self);
    if (IsExclusive(resource) && resource->OwnerEntry.OwnerThread == self) {
        resource->OwnerEntry.TableSize++; /* the exclusive owner may take it shared too */
    } else if (mine != nullptr &&
               (policy != SharedPolicy::WaitForExclusive || state->exclusiveWaiters.empty())) {
        GrantShared(resource, state, self); /* recursion, even past exclusive waiters */
    } else if (!IsExclusive(resource) && mine == nullptr &&
               (state->exclusiveWaiters.empty() || policy == SharedPolicy::StarveExclusive)) {
        GrantShared(resource, state, self);
    } else {
        now = false;
    }
    return EndAcquire(resource, state, now, wait, state->sharedWaiters, self, true) ? TRUE : FALSE;
}

void ReleaseFor(PERESOURCE resource, ERESOURCE_THREAD thread)
{
    ResourceState *state = LockState(resource);
    if (IsExclusive(resource) && resource->OwnerEntry.OwnerThread == thread) {
        if (--resource->OwnerEntry.TableSize == 0) {
            resource->Flag &= ~ResourceOwnedExclusive;
            resource->OwnerEntry.OwnerThread = 0;
            UpdateCounts(resource, state);
            GrantWaiters(resource, state, true);
        }
        state->lock.unlock();
        return;
    }
    SharedOwner *owner = FindShared(state, thread);
    if (owner == nullptr)
        BugCheckUnlocked(state, RESOURCE_NOT_OWNED, (ULONG_PTR)resource, thread, (ULONG_PTR)resource->OwnerTable, 0);
    if (--owner->count == 0) {
        state->shared.erase(state->shared.begin() + (owner - state->shared.data()));
        UpdateCounts(resource, state);
        GrantWaiters(resource, state, false);
    }
    state->lock.unlock();
}

/* A pool block is being freed: with the verifier on, no live resource may be inside it. */
void CheckFreedResources(const void *block, size_t size)
{
    if (!verifier::Enabled())
        return;
    Registry &registry = Live();
    const void *resource = nullptr;
    {
        base::SpinGuard guard(registry.lock);
        auto it = registry.byAddress.lower_bound(block);
        if (it != registry.byAddress.end() && (const char *)it->first < (const char *)block + size)
            resource = it->first;
    }
    if (resource != nullptr)
        KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_FREED_LIVE_RESOURCE, (ULONG_PTR)resource, 0,
                     (ULONG_PTR)block);
}

void AuditResources(machine::AuditReport &report)
{
    Registry &registry = Live();
    base::SpinGuard guard(registry.lock);
    for (ResourceState *state = registry.first; state != nullptr; state = state->next) {
        char line[128];
        std::snprintf(line, sizeof(line), "ex: resource %p (initialised at %p) was not deleted", state->resource,
                      state->site);
        report.findings.push_back(line);
    }
}

void ResetResources()
{
    Registry &registry = Live();
    base::SpinGuard guard(registry.lock);
    while (ResourceState *state = registry.first) {
        UnlinkLocked(registry, state);
        delete state;
    }
    registry.byAddress.clear();
}

const bool registered = [] {
    machine::RegisterComponent({"resources", machine::kOrderExecutive, ResetResources, AuditResources,
                                ResetResources});
    machine::AddPoolFreeCheck("resources", CheckFreedResources);
    return true;
}();

} // namespace

extern "C" {

NTKERNELAPI NTSTATUS NTAPI ExInitializeResourceLite(PERESOURCE Resource)
{
    const void *site = __builtin_return_address(0);
    memset(Resource, 0, sizeof(*Resource));
    auto state = new ResourceState();
    state->site = site;
    state->resource = Resource;
    Resource->OwnerTable = reinterpret_cast<POWNER_ENTRY>(state);
    Resource->Address = const_cast<void *>(site);
    InitializeListHead(&Resource->SystemResourcesList);
    ResourceState *stale = nullptr;
    {
        Registry &registry = Live();
        base::SpinGuard guard(registry.lock);
        if (verifier::Enabled()) {
            auto [it, inserted] = registry.byAddress.try_emplace(Resource, state);
            if (!inserted) {
                stale = it->second; /* re-initialised without a delete: forget the old state */
                UnlinkLocked(registry, stale);
                it->second = state;
            }
        }
        LinkLocked(registry, state);
    }
    delete stale;
    verifier::NoteLockInitialized(Resource, verifier::kResource, site);
    return STATUS_SUCCESS;
}

NTKERNELAPI NTSTATUS NTAPI ExReinitializeResourceLite(PERESOURCE Resource)
{
    {
        ResourceState *state = LockState(Resource);
        if (!state->exclusiveWaiters.empty() || !state->sharedWaiters.empty())
            BugCheckUnlocked(state, DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_RESOURCE_IN_USE, (ULONG_PTR)Resource,
                             0, 0);
        state->shared.clear();
        Resource->Flag = 0;
        Resource->OwnerEntry.OwnerThread = 0;
        Resource->OwnerEntry.TableSize = 0;
        Resource->ContentionCount = 0;
        UpdateCounts(Resource, state);
        state->lock.unlock();
    }
    /* A delete and a new initialisation in one: the verifier starts the lock's order afresh. */
    verifier::NoteLockInitialized(Resource, verifier::kResource, __builtin_return_address(0));
    return STATUS_SUCCESS;
}

NTKERNELAPI NTSTATUS NTAPI ExDeleteResourceLite(PERESOURCE Resource)
{
    ke::CheckIrql((const void *)&ExDeleteResourceLite, APC_LEVEL);
    ResourceState *state = LockState(Resource);
    if (IsExclusive(Resource) || !state->shared.empty() || !state->exclusiveWaiters.empty() ||
        !state->sharedWaiters.empty())
        BugCheckUnlocked(state, DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_RESOURCE_IN_USE, (ULONG_PTR)Resource, 0,
                         0);
    state->lock.unlock();
    {
        Registry &registry = Live();
        base::SpinGuard guard(registry.lock);
        UnlinkLocked(registry, state);
        registry.byAddress.erase(Resource);
    }
    delete state;
    Resource->OwnerTable = nullptr;
    verifier::ForgetLocksIn(Resource, sizeof(*Resource));
    return STATUS_SUCCESS;
}

NTKERNELAPI BOOLEAN NTAPI ExAcquireResourceExclusiveLite(PERESOURCE Resource, BOOLEAN Wait)
{
    CheckAcquireContext(Resource, (const void *)&ExAcquireResourceExclusiveLite);
    ERESOURCE_THREAD self = CurrentOwnerId();
    verifier::BeforeAcquire(Resource, verifier::kResource, __builtin_return_address(0));
    bool now = true;
    ResourceState *state = LockState(Resource);
    if (IsExclusive(Resource) && Resource->OwnerEntry.OwnerThread == self) {
        Resource->OwnerEntry.TableSize++;
    } else if (FindShared(state, self) != nullptr) {
        BugCheckUnlocked(state, DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_SHARED_TO_EXCLUSIVE, (ULONG_PTR)Resource,
                         self, 0);
    } else if (!IsExclusive(Resource) && state->shared.empty()) {
        GrantExclusive(Resource, state, self);
    } else {
        now = false;
    }
    return EndAcquire(Resource, state, now, Wait, state->exclusiveWaiters, self, false) ? TRUE : FALSE;
}

NTKERNELAPI BOOLEAN NTAPI ExAcquireResourceSharedLite(PERESOURCE Resource, BOOLEAN Wait)
{
    return AcquireShared(Resource, Wait, SharedPolicy::Normal, (const void *)&ExAcquireResourceSharedLite,
                         __builtin_return_address(0));
}

NTKERNELAPI BOOLEAN NTAPI ExAcquireSharedStarveExclusive(PERESOURCE Resource, BOOLEAN Wait)
{
    return AcquireShared(Resource, Wait, SharedPolicy::StarveExclusive,
                         (const void *)&ExAcquireSharedStarveExclusive, __builtin_return_address(0));
}

NTKERNELAPI BOOLEAN NTAPI ExAcquireSharedWaitForExclusive(PERESOURCE Resource, BOOLEAN Wait)
{
    return AcquireShared(Resource, Wait, SharedPolicy::WaitForExclusive,
                         (const void *)&ExAcquireSharedWaitForExclusive, __builtin_return_address(0));
}

NTKERNELAPI VOID FASTCALL ExReleaseResourceLite(PERESOURCE Resource)
{
    ke::CheckIrql((const void *)&ExReleaseResourceLite, DISPATCH_LEVEL);
    ReleaseFor(Resource, CurrentOwnerId());
    verifier::OnRelease(Resource);
}

NTKERNELAPI VOID NTAPI ExReleaseResourceForThreadLite(PERESOURCE Resource, ERESOURCE_THREAD ResourceThreadId)
{
    ke::CheckIrql((const void *)&ExReleaseResourceForThreadLite, DISPATCH_LEVEL);
    ReleaseFor(Resource, ResourceThreadId);
    if (ResourceThreadId == CurrentOwnerId())
        verifier::OnRelease(Resource);
}

NTKERNELAPI VOID NTAPI ExSetResourceOwnerPointerEx(PERESOURCE Resource, PVOID OwnerPointer, ULONG Flags)
{
    (void)Flags;
    ERESOURCE_THREAD self = CurrentOwnerId();
    ERESOURCE_THREAD owner = (ERESOURCE_THREAD)OwnerPointer;
    if ((owner & 3) != 3)
        KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_RESOURCE_IN_USE, (ULONG_PTR)Resource, owner, 1);
    {
        ResourceState *state = LockState(Resource);
        if (IsExclusive(Resource) && Resource->OwnerEntry.OwnerThread == self)
            Resource->OwnerEntry.OwnerThread = owner;
        else if (SharedOwner *shared = FindShared(state, self))
            shared->thread = owner;
        else
            BugCheckUnlocked(state, RESOURCE_NOT_OWNED, (ULONG_PTR)Resource, self, 0, 0);
        state->lock.unlock();
    }
    verifier::ForgetHold(Resource); /* the thread no longer holds it; the owner pointer does */
}

NTKERNELAPI VOID NTAPI ExSetResourceOwnerPointer(PERESOURCE Resource, PVOID OwnerPointer)
{
    ExSetResourceOwnerPointerEx(Resource, OwnerPointer, 0);
}

NTKERNELAPI VOID NTAPI ExConvertExclusiveToSharedLite(PERESOURCE Resource)
{
    ERESOURCE_THREAD self = CurrentOwnerId();
    ResourceState *state = LockState(Resource);
    if (!IsExclusive(Resource) || Resource->OwnerEntry.OwnerThread != self)
        BugCheckUnlocked(state, RESOURCE_NOT_OWNED, (ULONG_PTR)Resource, self, 0, 0);
    ULONG count = Resource->OwnerEntry.TableSize;
    Resource->Flag &= ~ResourceOwnedExclusive;
    Resource->OwnerEntry.OwnerThread = 0;
    Resource->OwnerEntry.TableSize = 0;
    state->shared.push_back({self, count});
    UpdateCounts(Resource, state);
    GrantSharedWaiters(Resource, state);
    state->lock.unlock();
}

NTKERNELAPI BOOLEAN NTAPI ExIsResourceAcquiredExclusiveLite(PERESOURCE Resource)
{
    ERESOURCE_THREAD self = CurrentOwnerId();
    ResourceState *state = PeekState(Resource);
    BOOLEAN owned = IsExclusive(Resource) && Resource->OwnerEntry.OwnerThread == self ? TRUE : FALSE;
    if (state != nullptr)
        state->lock.unlock();
    return owned;
}

NTKERNELAPI ULONG NTAPI ExIsResourceAcquiredSharedLite(PERESOURCE Resource)
{
    ERESOURCE_THREAD self = CurrentOwnerId();
    ResourceState *state = LockState(Resource);
    ULONG count = 0;
    if (IsExclusive(Resource) && Resource->OwnerEntry.OwnerThread == self)
        count = Resource->OwnerEntry.TableSize;
    else if (SharedOwner *owner = FindShared(state, self))
        count = owner->count;
    state->lock.unlock();
    return count;
}

NTKERNELAPI ULONG NTAPI ExGetExclusiveWaiterCount(PERESOURCE Resource)
{
    ResourceState *state = PeekState(Resource);
    ULONG count = Resource->NumberOfExclusiveWaiters;
    if (state != nullptr)
        state->lock.unlock();
    return count;
}

NTKERNELAPI ULONG NTAPI ExGetSharedWaiterCount(PERESOURCE Resource)
{
    ResourceState *state = PeekState(Resource);
    ULONG count = Resource->NumberOfSharedWaiters;
    if (state != nullptr)
        state->lock.unlock();
    return count;
}

NTKERNELAPI ERESOURCE_THREAD NTAPI ExGetCurrentResourceThread(VOID)
{
    return CurrentOwnerId();
}

} // extern "C"
