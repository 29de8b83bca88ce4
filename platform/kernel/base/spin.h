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
            // The holder is a few instructions from letting go: spin briefly before
            // giving the processor away, which costs a trip through the scheduler.
            for (int spins = 0; flag_.load(std::memory_order_relaxed); ++spins) {
                if (spins < kSpinsBeforeYield)
                    Pause();
                else
                    sched_yield();
            }
        }
    }
    void unlock() noexcept { flag_.store(false, std::memory_order_release); }

private:
    static constexpr int kSpinsBeforeYield = 128;
    static void Pause() noexcept
    {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#elif defined(__aarch64__)
        asm volatile("yield");
#endif
    }
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
