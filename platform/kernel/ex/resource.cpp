/*
 * Executive resources. The exclusive owner and its recursion count live in the
 * resource's OwnerEntry; shared owners and the two waiter queues live in a record
 * of the stand-in's own that OwnerTable points at. All state changes happen under
 * the dispatcher lock, and waiters park through the dispatcher, so they count as
 * blocked for the clock.
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
#include <deque>
#include <map>

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
    std::vector<SharedOwner> shared;
    std::deque<ResourceWaiter> exclusiveWaiters;
    std::deque<ResourceWaiter> sharedWaiters;
    const void *site;
};

/* Live resources by address, under the dispatcher lock. */
std::map<const void *, ResourceState *> &LiveResources()
{
    static std::map<const void *, ResourceState *> live;
    return live;
}

ResourceState *StateOf(PERESOURCE resource)
{
    auto state = reinterpret_cast<ResourceState *>(resource->OwnerTable);
    if (state == nullptr || LiveResources().count(resource) == 0) {
        ke::DispatcherLock().unlock();
        KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_UNINITIALIZED_OBJECT, (ULONG_PTR)resource, 0, 0);
    }
    return state;
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
        state->exclusiveWaiters.pop_front();
        GrantExclusive(resource, state, next.thread);
        ke::CompleteWait(next.waiter, STATUS_SUCCESS);
        return;
    }
    while (!state->sharedWaiters.empty()) {
        ResourceWaiter next = state->sharedWaiters.front();
        state->sharedWaiters.pop_front();
        GrantShared(resource, state, next.thread);
        ke::CompleteWait(next.waiter, STATUS_SUCCESS);
    }
    UpdateCounts(resource, state);
}

/* Blocks the caller on a queue of the resource until a releaser grants it. */
void WaitForGrant(PERESOURCE resource, ResourceState *state, std::deque<ResourceWaiter> &queue,
                  ERESOURCE_THREAD thread)
{
    ke::Waiter waiter;
    waiter.thread = &ke::CurrentThreadState();
    waiter.kind = ke::WaitKind::Custom;
    queue.push_back({&waiter, thread});
    resource->ContentionCount++;
    UpdateCounts(resource, state);
    ke::BlockOnWaiter(waiter, UINT64_MAX);
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
    bool granted = false;
    {
        base::SpinGuard guard(ke::DispatcherLock());
        ResourceState *state = StateOf(resource);
        if (IsExclusive(resource) && resource->OwnerEntry.OwnerThread == self) {
            resource->OwnerEntry.TableSize++; /* the exclusive owner may take it shared too */
            granted = true;
        } else if (FindShared(state, self) != nullptr &&
                   (policy != SharedPolicy::WaitForExclusive || state->exclusiveWaiters.empty())) {
            GrantShared(resource, state, self); /* recursion, even past exclusive waiters */
            granted = true;
        } else if (!IsExclusive(resource) && FindShared(state, self) == nullptr &&
                   (state->exclusiveWaiters.empty() || policy == SharedPolicy::StarveExclusive)) {
            GrantShared(resource, state, self);
            granted = true;
        } else if (wait) {
            WaitForGrant(resource, state, state->sharedWaiters, self);
            granted = true;
        }
    }
    if (granted)
        verifier::AfterAcquire(resource, verifier::kResource, true);
    return granted ? TRUE : FALSE;
}

void ReleaseFor(PERESOURCE resource, ERESOURCE_THREAD thread)
{
    base::SpinGuard guard(ke::DispatcherLock());
    ResourceState *state = StateOf(resource);
    if (IsExclusive(resource) && resource->OwnerEntry.OwnerThread == thread) {
        if (--resource->OwnerEntry.TableSize == 0) {
            resource->Flag &= ~ResourceOwnedExclusive;
            resource->OwnerEntry.OwnerThread = 0;
            UpdateCounts(resource, state);
            GrantWaiters(resource, state, true);
        }
        return;
    }
    SharedOwner *owner = FindShared(state, thread);
    if (owner == nullptr) {
        ke::DispatcherLock().unlock();
        KeBugCheckEx(RESOURCE_NOT_OWNED, (ULONG_PTR)resource, thread, (ULONG_PTR)resource->OwnerTable, 0);
    }
    if (--owner->count == 0) {
        state->shared.erase(state->shared.begin() + (owner - state->shared.data()));
        UpdateCounts(resource, state);
        GrantWaiters(resource, state, false);
    }
}

void CheckFreedResources(const void *block, size_t size)
{
    base::SpinGuard guard(ke::DispatcherLock());
    auto &live = LiveResources();
    auto it = live.lower_bound(block);
    if (it != live.end() && (const char *)it->first < (const char *)block + size) {
        const void *resource = it->first;
        ke::DispatcherLock().unlock();
        KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_FREED_LIVE_RESOURCE, (ULONG_PTR)resource, 0,
                     (ULONG_PTR)block);
    }
}

void AuditResources(machine::AuditReport &report)
{
    base::SpinGuard guard(ke::DispatcherLock());
    for (const auto &[resource, state] : LiveResources()) {
        char line[128];
        std::snprintf(line, sizeof(line), "ex: resource %p (initialised at %p) was not deleted", resource,
                      state->site);
        report.findings.push_back(line);
    }
}

void ResetResources()
{
    base::SpinGuard guard(ke::DispatcherLock());
    for (auto &[resource, state] : LiveResources())
        delete state;
    LiveResources().clear();
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
    Resource->OwnerTable = reinterpret_cast<POWNER_ENTRY>(state);
    Resource->Address = const_cast<void *>(site);
    InitializeListHead(&Resource->SystemResourcesList);
    {
        base::SpinGuard guard(ke::DispatcherLock());
        auto &live = LiveResources();
        auto existing = live.find(Resource);
        if (existing != live.end())
            delete existing->second; /* re-initialised without a delete: forget the old state */
        live[Resource] = state;
    }
    verifier::NoteLockInitialized(Resource, verifier::kResource, site);
    return STATUS_SUCCESS;
}

NTKERNELAPI NTSTATUS NTAPI ExReinitializeResourceLite(PERESOURCE Resource)
{
    {
        base::SpinGuard guard(ke::DispatcherLock());
        ResourceState *state = StateOf(Resource);
        if (!state->exclusiveWaiters.empty() || !state->sharedWaiters.empty()) {
            ke::DispatcherLock().unlock();
            KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_RESOURCE_IN_USE, (ULONG_PTR)Resource, 0, 0);
        }
        state->shared.clear();
        Resource->Flag = 0;
        Resource->OwnerEntry.OwnerThread = 0;
        Resource->OwnerEntry.TableSize = 0;
        Resource->ContentionCount = 0;
        UpdateCounts(Resource, state);
    }
    /* A delete and a new initialisation in one: the verifier starts the lock's order afresh. */
    verifier::NoteLockInitialized(Resource, verifier::kResource, __builtin_return_address(0));
    return STATUS_SUCCESS;
}

NTKERNELAPI NTSTATUS NTAPI ExDeleteResourceLite(PERESOURCE Resource)
{
    ke::CheckIrql((const void *)&ExDeleteResourceLite, APC_LEVEL);
    ResourceState *state;
    {
        base::SpinGuard guard(ke::DispatcherLock());
        state = StateOf(Resource);
        if (IsExclusive(Resource) || !state->shared.empty() || !state->exclusiveWaiters.empty() ||
            !state->sharedWaiters.empty()) {
            ke::DispatcherLock().unlock();
            KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_RESOURCE_IN_USE, (ULONG_PTR)Resource, 0, 0);
        }
        LiveResources().erase(Resource);
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
    bool granted = false;
    {
        base::SpinGuard guard(ke::DispatcherLock());
        ResourceState *state = StateOf(Resource);
        if (IsExclusive(Resource) && Resource->OwnerEntry.OwnerThread == self) {
            Resource->OwnerEntry.TableSize++;
            granted = true;
        } else if (FindShared(state, self) != nullptr) {
            ke::DispatcherLock().unlock();
            KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_SHARED_TO_EXCLUSIVE, (ULONG_PTR)Resource, self,
                         0);
        } else if (!IsExclusive(Resource) && state->shared.empty()) {
            GrantExclusive(Resource, state, self);
            granted = true;
        } else if (Wait) {
            WaitForGrant(Resource, state, state->exclusiveWaiters, self);
            granted = true;
        }
    }
    if (granted)
        verifier::AfterAcquire(Resource, verifier::kResource, false);
    return granted ? TRUE : FALSE;
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
        base::SpinGuard guard(ke::DispatcherLock());
        ResourceState *state = StateOf(Resource);
        if (IsExclusive(Resource) && Resource->OwnerEntry.OwnerThread == self) {
            Resource->OwnerEntry.OwnerThread = owner;
        } else if (SharedOwner *shared = FindShared(state, self)) {
            shared->thread = owner;
        } else {
            ke::DispatcherLock().unlock();
            KeBugCheckEx(RESOURCE_NOT_OWNED, (ULONG_PTR)Resource, self, 0, 0);
        }
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
    base::SpinGuard guard(ke::DispatcherLock());
    ResourceState *state = StateOf(Resource);
    if (!IsExclusive(Resource) || Resource->OwnerEntry.OwnerThread != self) {
        ke::DispatcherLock().unlock();
        KeBugCheckEx(RESOURCE_NOT_OWNED, (ULONG_PTR)Resource, self, 0, 0);
    }
    ULONG count = Resource->OwnerEntry.TableSize;
    Resource->Flag &= ~ResourceOwnedExclusive;
    Resource->OwnerEntry.OwnerThread = 0;
    Resource->OwnerEntry.TableSize = 0;
    state->shared.push_back({self, count});
    while (!state->sharedWaiters.empty()) {
        ResourceWaiter next = state->sharedWaiters.front();
        state->sharedWaiters.pop_front();
        GrantShared(Resource, state, next.thread);
        ke::CompleteWait(next.waiter, STATUS_SUCCESS);
    }
    UpdateCounts(Resource, state);
}

NTKERNELAPI BOOLEAN NTAPI ExIsResourceAcquiredExclusiveLite(PERESOURCE Resource)
{
    ERESOURCE_THREAD self = CurrentOwnerId();
    base::SpinGuard guard(ke::DispatcherLock());
    return IsExclusive(Resource) && Resource->OwnerEntry.OwnerThread == self ? TRUE : FALSE;
}

NTKERNELAPI ULONG NTAPI ExIsResourceAcquiredSharedLite(PERESOURCE Resource)
{
    ERESOURCE_THREAD self = CurrentOwnerId();
    base::SpinGuard guard(ke::DispatcherLock());
    if (IsExclusive(Resource) && Resource->OwnerEntry.OwnerThread == self)
        return Resource->OwnerEntry.TableSize;
    SharedOwner *owner = FindShared(StateOf(Resource), self);
    return owner != nullptr ? owner->count : 0;
}

NTKERNELAPI ULONG NTAPI ExGetExclusiveWaiterCount(PERESOURCE Resource)
{
    base::SpinGuard guard(ke::DispatcherLock());
    return Resource->NumberOfExclusiveWaiters;
}

NTKERNELAPI ULONG NTAPI ExGetSharedWaiterCount(PERESOURCE Resource)
{
    base::SpinGuard guard(ke::DispatcherLock());
    return Resource->NumberOfSharedWaiters;
}

NTKERNELAPI ERESOURCE_THREAD NTAPI ExGetCurrentResourceThread(VOID)
{
    return CurrentOwnerId();
}

} // extern "C"
