/*
 * The stand-in's own short leaf lock, for its internal tables (pool accounting,
 * fault rules, S-lists). It guards a few instructions at a time and never waits
 * for anything else, so it stays outside the dispatcher and the lock verifier.
 */
#pragma once

#include <atomic>
#include <sched.h>

namespace base {

class SpinLock {
public:
    void lock() noexcept
    {
        for (;;) {
            if (!flag_.exchange(true, std::memory_order_acquire))
                return;
            while (flag_.load(std::memory_order_relaxed))
                sched_yield();
        }
    }
    void unlock() noexcept { flag_.store(false, std::memory_order_release); }

private:
    std::atomic<bool> flag_{false};
};

class SpinGuard {
public:
    explicit SpinGuard(SpinLock &lock) noexcept : lock_(lock) { lock_.lock(); }
    ~SpinGuard() { lock_.unlock(); }
    SpinGuard(const SpinGuard &) = delete;
    SpinGuard &operator=(const SpinGuard &) = delete;

private:
    SpinLock &lock_;
};

} // namespace base
