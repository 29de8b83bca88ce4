/*
 * The lock verifier (see verifier.h).
 */
#include "ke/verifier.h"

#include "base/spin.h"
#include "ke/dispatcher.h"
#include "machine.h"

#include <km/bugcheck.h>
#include <km/ke.h>

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <dlfcn.h>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace verifier {
namespace {

/* One lock instance: where it was made (or first taken) and the locks taken while it was held. */
struct LockNode {
    const void *site;
    LockKind kind;
    std::set<const void *> after;  /* locks acquired while this one was held */
    std::set<const void *> before; /* locks held while this one was acquired */
};

struct VerifierState {
    base::SpinLock lock;
    std::map<const void *, LockNode> locks; /* ordered: freed ranges are forgotten */
    bool enabled = true;
};

VerifierState &State()
{
    static VerifierState state;
    return state;
}

std::string DescribeSite(const void *site)
{
    Dl_info info{};
    char text[256];
    if (site != nullptr && dladdr(site, &info) != 0 && info.dli_fname != nullptr) {
        const char *file = std::strrchr(info.dli_fname, '/');
        file = file != nullptr ? file + 1 : info.dli_fname;
        std::snprintf(text, sizeof(text), "%s!%s+0x%lx", file, info.dli_sname != nullptr ? info.dli_sname : "?",
                      (unsigned long)((const char *)site -
                                      (const char *)(info.dli_saddr != nullptr ? info.dli_saddr : info.dli_fbase)));
    } else {
        std::snprintf(text, sizeof(text), "%p", site);
    }
    return text;
}

/* ForgetLockLocked: drops a lock and every order edge to or from it. */
void ForgetLockLocked(VerifierState &state, std::map<const void *, LockNode>::iterator it)
{
    for (const void *next : it->second.after)
        state.locks[next].before.erase(it->first);
    for (const void *previous : it->second.before)
        state.locks[previous].after.erase(it->first);
    state.locks.erase(it);
}

/* Whether lock 'to' is reachable from lock 'from' along recorded orders. */
bool ReachableLocked(VerifierState &state, const void *from, const void *to)
{
    std::vector<const void *> stack{from};
    std::set<const void *> seen;
    while (!stack.empty()) {
        const void *current = stack.back();
        stack.pop_back();
        if (current == to)
            return true;
        if (!seen.insert(current).second)
            continue;
        auto it = state.locks.find(current);
        if (it != state.locks.end())
            stack.insert(stack.end(), it->second.after.begin(), it->second.after.end());
    }
    return false;
}

std::string DescribeLock(const VerifierState &state, const void *lock)
{
    char text[64];
    std::snprintf(text, sizeof(text), "%p", lock);
    auto it = state.locks.find(lock);
    return std::string(text) + (it != state.locks.end() ? " (made at " + DescribeSite(it->second.site) + ")" : "");
}

[[noreturn]] void Report(ULONG_PTR code, const void *acquiring, const void *held, const std::string &detail)
{
    std::fprintf(stderr, "verifier: %s\n", detail.c_str());
    KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, code, (ULONG_PTR)acquiring, (ULONG_PTR)held, 0);
}

void BootVerifier()
{
    auto &state = State();
    base::SpinGuard guard(state.lock);
    state.enabled = machine::CurrentConfig().verifier;
    state.locks.clear();
}

const bool registered = [] {
    machine::RegisterComponent({"verifier", machine::kOrderDispatcher - 1, BootVerifier, nullptr, nullptr});
    machine::AddPoolFreeCheck("verifier-locks", [](const void *block, size_t size) { ForgetLocksIn(block, size); });
    return true;
}();

} // namespace

bool Enabled()
{
    return State().enabled;
}

void NoteLockInitialized(const void *lock, LockKind kind, const void *site)
{
    auto &state = State();
    if (!state.enabled)
        return;
    base::SpinGuard guard(state.lock);
    /* Initialising memory again makes a new lock: whatever the old one was ordered with no longer counts. */
    auto it = state.locks.find(lock);
    if (it != state.locks.end())
        ForgetLockLocked(state, it);
    state.locks[lock] = LockNode{site, kind, {}, {}};
}

void BeforeAcquire(const void *lock, LockKind kind, const void *site)
{
    auto &state = State();
    if (!state.enabled)
        return;
    ke::ThreadState &self = ke::CurrentThreadState();
    std::string detail;
    ULONG_PTR code = 0;
    const void *conflicting = nullptr;
    {
        base::SpinGuard guard(state.lock);
        if (state.locks.find(lock) == state.locks.end())
            state.locks[lock] = LockNode{site, kind, {}, {}};

        for (const ke::HeldLock &held : self.heldLocks) {
            if (held.lock == lock)
                return; /* a recursive acquisition adds no order */
        }
        for (const ke::HeldLock &held : self.heldLocks) {
            if (kind == kSpinLock && held.kind == kSpinLock) {
                code = VERIFIER_SPIN_LOCK_NESTED;
                conflicting = held.lock;
                detail = "spin lock " + DescribeLock(state, lock) + " acquired while holding spin lock " +
                         DescribeLock(state, held.lock);
                break;
            }
            /* An order already recorded was checked when it was recorded: any cycle
               through it would have been found by the edge that closed it. */
            if (state.locks[held.lock].after.count(lock) != 0)
                continue;
            if (ReachableLocked(state, lock, held.lock)) {
                code = VERIFIER_LOCK_ORDER_INVERSION;
                conflicting = held.lock;
                detail = "lock hierarchy violation: acquiring lock " + DescribeLock(state, lock) +
                         " while holding lock " + DescribeLock(state, held.lock) +
                         ", which has been acquired after it before; two threads could deadlock";
                break;
            }
            state.locks[held.lock].after.insert(lock);
            state.locks[lock].before.insert(held.lock);
        }
    }
    if (code != 0)
        Report(code, lock, conflicting, detail);
}

void AfterAcquire(const void *lock, LockKind kind, bool shared)
{
    if (!State().enabled)
        return;
    ke::CurrentThreadState().heldLocks.push_back({lock, kind, shared});
}

void OnRelease(const void *lock)
{
    if (!State().enabled)
        return;
    auto &held = ke::CurrentThreadState().heldLocks;
    for (auto it = held.rbegin(); it != held.rend(); ++it) {
        if (it->lock == lock) {
            held.erase(std::next(it).base());
            return;
        }
    }
}

void ForgetHold(const void *lock)
{
    OnRelease(lock);
}

void CheckNoLocksHeld(uintptr_t where)
{
    // A wait still owed for a Wait TRUE signal stands for the dispatcher lock Windows holds.
    ke::CheckNoWaitPending(ke::CurrentThreadState(), (const void *)where);
    if (!State().enabled)
        return;
    auto &held = ke::CurrentThreadState().heldLocks;
    if (!held.empty())
        Report(VERIFIER_LOCK_HELD_AT_EXIT, held.back().lock, (const void *)where,
               "a lock is still held where none may be");
}

size_t HeldLockCount()
{
    return ke::CurrentThreadState().heldLocks.size();
}

void CheckNoLocksHeldBeyond(size_t count, uintptr_t where)
{
    if (!State().enabled)
        return;
    auto &held = ke::CurrentThreadState().heldLocks;
    if (held.size() > count)
        Report(VERIFIER_LOCK_HELD_AT_EXIT, held.back().lock, (const void *)where,
               "a lock is still held where none may be");
}

void CheckNoSpinLocksHeld(uintptr_t where)
{
    if (!State().enabled)
        return;
    for (const ke::HeldLock &held : ke::CurrentThreadState().heldLocks)
        if (held.kind == kSpinLock)
            Report(VERIFIER_LOCK_HELD_AT_EXIT, held.lock, (const void *)where, "a spin lock is held where none may be");
}

void CheckThreadExit(ke::ThreadState &state)
{
    ke::CheckNoWaitPending(state, nullptr);
    if (State().enabled && !state.heldLocks.empty())
        Report(VERIFIER_LOCK_HELD_AT_EXIT, state.heldLocks.back().lock, nullptr, "a thread ended holding a lock");
    if (state.irql != PASSIVE_LEVEL)
        KeBugCheckEx(IRQL_GT_ZERO_AT_SYSTEM_SERVICE, state.irql, 0, 0, 0);
    if (state.kernelApcDisable != 0 || state.specialApcDisable != 0)
        KeBugCheckEx(APC_INDEX_MISMATCH, 0, 0, (ULONG_PTR)(LONG_PTR)state.kernelApcDisable,
                     (ULONG_PTR)(LONG_PTR)state.specialApcDisable);
}

void ForgetLocksIn(const void *block, size_t size)
{
    auto &state = State();
    if (!state.enabled)
        return; /* nothing was recorded (every free comes through here) */
    base::SpinGuard guard(state.lock);
    auto it = state.locks.lower_bound(block);
    while (it != state.locks.end() && (const char *)it->first < (const char *)block + size)
        ForgetLockLocked(state, it++);
}

} // namespace verifier
