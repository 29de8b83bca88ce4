/*
 * The lock of a file-system runtime package that holds IRPs with cancel routines
 * (oplocks, change notification): a spin lock, so its holder runs at DISPATCH_LEVEL
 * and nothing that may wait, touch pageable memory or call back into the file
 * system runs under it.
 */
#pragma once

#include "base/spin.h"

#include <km/ke.h>

namespace fsrtl {

class PackageGuard {
public:
    explicit PackageGuard(base::SpinLock &lock) noexcept : lock_(lock)
    {
        KeRaiseIrql(DISPATCH_LEVEL, &old_);
        lock_.lock();
    }
    ~PackageGuard()
    {
        lock_.unlock();
        KeLowerIrql(old_);
    }
    PackageGuard(const PackageGuard &) = delete;
    PackageGuard &operator=(const PackageGuard &) = delete;

private:
    base::SpinLock &lock_;
    KIRQL old_;
};

} // namespace fsrtl
