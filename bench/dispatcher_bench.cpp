/*
 * The dispatcher primitives that sit on every I/O path: uncontended spin lock,
 * event signal/wait round trip between two threads, shared resource acquire and
 * release, and queue insert/remove.
 */
#include "machine.h"

#include <wdm.h>

#include <benchmark/benchmark.h>

#include <atomic>

namespace {

struct MachineScope {
    MachineScope()
    {
        machine::Config config;
        config.verifier = false;
        machine::Boot(config);
    }
    ~MachineScope() { machine::Shutdown(); }
};

void BM_SpinLockUncontended(benchmark::State &state)
{
    MachineScope machine;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    for (auto _ : state) {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        KeReleaseSpinLock(&lock, old);
    }
}
BENCHMARK(BM_SpinLockUncontended);

struct PingPong {
    KEVENT ping, pong;
    std::atomic<bool> stop{false};
};

void BM_EventRoundTrip(benchmark::State &state)
{
    MachineScope machine;
    PingPong pp;
    KeInitializeEvent(&pp.ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pp.pong, SynchronizationEvent, FALSE);
    HANDLE handle;
    PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                         [](PVOID context) {
                             auto *p = static_cast<PingPong *>(context);
                             for (;;) {
                                 KeWaitForSingleObject(&p->ping, Executive, KernelMode, FALSE, nullptr);
                                 if (p->stop)
                                     break;
                                 KeSetEvent(&p->pong, 0, FALSE);
                             }
                         },
                         &pp);
    PVOID thread;
    ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr);
    ZwClose(handle);
    for (auto _ : state) {
        KeSetEvent(&pp.ping, 0, FALSE);
        KeWaitForSingleObject(&pp.pong, Executive, KernelMode, FALSE, nullptr);
    }
    pp.stop = true;
    KeSetEvent(&pp.ping, 0, FALSE);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
}
BENCHMARK(BM_EventRoundTrip)->UseRealTime();

void BM_ResourceSharedAcquireRelease(benchmark::State &state)
{
    MachineScope machine;
    ERESOURCE resource;
    ExInitializeResourceLite(&resource);
    KeEnterCriticalRegion();
    for (auto _ : state) {
        ExAcquireResourceSharedLite(&resource, TRUE);
        ExReleaseResourceLite(&resource);
    }
    KeLeaveCriticalRegion();
    ExDeleteResourceLite(&resource);
}
BENCHMARK(BM_ResourceSharedAcquireRelease);

void BM_QueueInsertRemove(benchmark::State &state)
{
    MachineScope machine;
    KQUEUE queue;
    KeInitializeQueue(&queue, 1);
    LIST_ENTRY entry;
    for (auto _ : state) {
        KeInsertQueue(&queue, &entry);
        benchmark::DoNotOptimize(KeRemoveQueue(&queue, KernelMode, nullptr));
    }
    KeRundownQueue(&queue);
}
BENCHMARK(BM_QueueInsertRemove);

} // namespace

BENCHMARK_MAIN();
