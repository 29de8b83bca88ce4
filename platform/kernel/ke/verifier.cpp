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
#include <unordered_map>
#include <vector>

namespace verifier {
namespace {

struct LockClass {
    const void *site;
    LockKind kind;
    std::set<uint32_t> after; /* classes seen acquired while this one was held */
};

struct VerifierState {
    base::SpinLock lock;
    std::vector<LockClass> classes;                        /* index + 1 = class id */
    std::unordered_map<const void *, uint32_t> classBySite;
    std::map<const void *, uint32_t> classByLock;          /* ordered: freed ranges are forgotten */
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

uint32_t ClassForSiteLocked(VerifierState &state, const void *site, LockKind kind)
{
    auto it = state.classBySite.find(site);
    if (it != state.classBySite.end())
        return it->second;
    state.classes.push_back({site, kind, {}});
    uint32_t id = (uint32_t)state.classes.size();
    state.classBySite[site] = id;
    return id;
}

/* Whether class 'to' is reachable from class 'from' along recorded orders. */
bool ReachableLocked(VerifierState &state, uint32_t from, uint32_t to)
{
    std::vector<uint32_t> stack{from};
    std::set<uint32_t> seen;
    while (!stack.empty()) {
        uint32_t c = stack.back();
        stack.pop_back();
        if (c == to)
            return true;
        if (!seen.insert(c).second)
            continue;
        for (uint32_t next : state.classes[c - 1].after)
            stack.push_back(next);
    }
    return false;
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
    state.classes.clear();
    state.classBySite.clear();
    state.classByLock.clear();
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
    state.classByLock[lock] = ClassForSiteLocked(state, site, kind);
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
        uint32_t lockClass;
        auto known = state.classByLock.find(lock);
        if (known != state.classByLock.end()) {
            lockClass = known->second;
        } else {
            lockClass = ClassForSiteLocked(state, site, kind);
            state.classByLock[lock] = lockClass;
        }

        for (const ke::HeldLock &held : self.heldLocks) {
            if (held.lock == lock)
                return; /* a recursive acquisition adds no order */
        }
        for (const ke::HeldLock &held : self.heldLocks) {
            if (kind == kSpinLock && held.kind == kSpinLock) {
                code = VERIFIER_SPIN_LOCK_NESTED;
                conflicting = held.lock;
                detail = "spin lock " + std::to_string((uintptr_t)lock) + " (class from " +
                         DescribeSite(state.classes[lockClass - 1].site) + ") acquired while holding spin lock of class from " +
                         DescribeSite(state.classes[held.lockClass - 1].site);
                break;
            }
            if (held.lockClass == lockClass) {
                if ((uintptr_t)held.lock > (uintptr_t)lock) {
                    code = VERIFIER_SAME_CLASS_ORDER;
                    conflicting = held.lock;
                    detail = "two locks of the class initialised at " + DescribeSite(state.classes[lockClass - 1].site) +
                             " taken in descending address order";
                    break;
                }
                continue;
            }
            if (ReachableLocked(state, lockClass, held.lockClass)) {
                code = VERIFIER_LOCK_ORDER_INVERSION;
                conflicting = held.lock;
                detail = "lock order inversion: acquiring a lock of the class initialised at " +
                         DescribeSite(state.classes[lockClass - 1].site) +
                         " while holding one of the class initialised at " +
                         DescribeSite(state.classes[held.lockClass - 1].site) +
                         ", which has been taken after it before; two threads could deadlock";
                break;
            }
            state.classes[held.lockClass - 1].after.insert(lockClass);
        }
    }
    if (code != 0)
        Report(code, lock, conflicting, detail);
}

void AfterAcquire(const void *lock, LockKind kind, bool shared)
{
    auto &state = State();
    if (!state.enabled)
        return;
    uint32_t lockClass = 0;
    {
        base::SpinGuard guard(state.lock);
        auto it = state.classByLock.find(lock);
        if (it != state.classByLock.end())
            lockClass = it->second;
    }
    ke::CurrentThreadState().heldLocks.push_back({lock, lockClass, kind, shared});
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
    base::SpinGuard guard(state.lock);
    auto first = state.classByLock.lower_bound(block);
    auto last = state.classByLock.lower_bound((const char *)block + size);
    state.classByLock.erase(first, last);
}

} // namespace verifier
