/*
 * Writing hives on the registry's own: the lazy writer, and the machine's
 * FlushRegistry and RegistryWrittenAtShutdown.
 *
 * A change reaches its hive file within about a second without anyone flushing,
 * so a crash of the host loses at most that second. The lazy writer is a host
 * thread of the registry, not a machine thread: it never enters the dispatcher and
 * sleeps on host time, so a manual or auto-advancing clock neither waits for it
 * nor moves it. After the first change to a clean hive it waits out the delay, so
 * that the changes of that moment cost one write, then writes every changed hive
 * through SaveHive, which holds the tree's lock only for the snapshot.
 */
#include "cm/cmprocs.h"

#include "machine.h"

#include <chrono>
#include <cstdio>
#include <system_error>

namespace cm {
namespace {

/* Whether a hive has changes not yet written (lock held). */
bool AnyHiveChanged(const Registry &registry)
{
    for (int kind = 0; kind < kHiveCount; ++kind)
        if (registry.changes[kind] != registry.saved[kind])
            return true;
    return false;
}

void LazyWriterMain(Registry *registry, std::chrono::milliseconds delay)
{
    std::string lastError; /* a failure is said once, not at every retry */
    std::unique_lock<std::mutex> guard(registry->lock);
    for (;;) {
        registry->lazyWriterWake.wait(guard, [&] { return registry->lazyWriterStop || AnyHiveChanged(*registry); });
        // A failed write is retried after the same delay: at most one write a delay.
        registry->lazyWriterWake.wait_for(guard, delay, [&] { return registry->lazyWriterStop; });
        if (registry->lazyWriterStop)
            return;
        guard.unlock();
        std::string error;
        for (int kind = 0; kind < kHiveCount; ++kind) {
            std::string failure;
            if (!SaveHive(*registry, static_cast<HiveKind>(kind), "RegistryLazyWrite", &failure))
                error = failure;
        }
        if (!error.empty() && error != lastError)
            std::fprintf(stderr, "cm: the lazy write failed (%s); retrying\n", error.c_str());
        else if (error.empty() && !lastError.empty())
            std::fprintf(stderr, "cm: the lazy write succeeds again\n");
        lastError = error;
        guard.lock();
    }
}

} // namespace

void StartLazyWriter(Registry &registry, uint32_t delayMilliseconds)
{
    bool anyFile = !registry.hivePath[kPersistentHive].empty() || !registry.hivePath[kVolatileHive].empty();
    if (delayMilliseconds == 0 || !anyFile)
        return;
    {
        std::lock_guard<std::mutex> guard(registry.lock);
        registry.lazyWriterStop = false;
    }
    try {
        registry.lazyWriter = std::thread(LazyWriterMain, &registry, std::chrono::milliseconds(delayMilliseconds));
    } catch (const std::system_error &error) {
        // Flushes and shutdown still write the hives; only the unasked writes are lost.
        std::fprintf(stderr, "cm: cannot start the lazy writer (%s); hives are written when flushed\n",
                     error.what());
    }
}

void StopLazyWriter(Registry &registry)
{
    if (!registry.lazyWriter.joinable())
        return;
    {
        std::lock_guard<std::mutex> guard(registry.lock);
        registry.lazyWriterStop = true;
        registry.lazyWriterWake.notify_all();
    }
    registry.lazyWriter.join();
}

} // namespace cm

namespace machine {

bool FlushRegistry()
{
    cm::Registry &registry = cm::State();
    bool written = true;
    for (int kind = 0; kind < cm::kHiveCount; ++kind) {
        std::string error;
        if (!cm::SaveHive(registry, static_cast<cm::HiveKind>(kind), "RegistryHiveWrite", &error)) {
            std::fprintf(stderr, "cm: %s\n", error.c_str());
            written = false;
        }
    }
    return written;
}

bool RegistryWrittenAtShutdown()
{
    cm::Registry &registry = cm::State();
    std::lock_guard<std::mutex> guard(registry.lock);
    return registry.writtenAtShutdown;
}

} // namespace machine
