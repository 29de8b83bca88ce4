/*
 * A volume's I/O worker queue: how many workers it runs, what they do with a
 * posted request, refusing posts once stopping began, completing what is left
 * at stop, draining, and a start that fails half-way.
 */
#include "core_fixture.h"

#include <atomic>
#include <memory>
#include <vector>

namespace {

class WorkerQueueTest : public CoreTest {
protected:
    void SetUp() override
    {
        CoreTest::SetUp();
        WaitForEndingSystemThreads(kServiceThreads);
    }
    /* Boots again with these cores (and clock) and loads the driver. */
    void Restart(std::vector<machine::CoreDescription> cores, machine::ClockMode clock = machine::ClockMode::Real)
    {
        ASSERT_EQ(UnloadDriver(), STATUS_SUCCESS);
        ASSERT_TRUE(machine::Shutdown().Clean());
        machine::Config config;
        config.cores = std::move(cores);
        config.clock = clock;
        machine::Boot(config);
        ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
        d = Diagnostics();
        WaitForEndingSystemThreads(kServiceThreads);
    }
    void TearDown() override
    {
        machine::DisarmFaults();
        CoreTest::TearDown();
    }
    /* Auto-save and statistics; the auto-mount pass, with nothing configured, ends at once. */
    static constexpr uint32_t kServiceThreads = 2;
};

/* Reads a field the driver changes with interlocked operations. */
LONG Atomic(volatile LONG &field)
{
    return InterlockedCompareExchange(&field, 0, 0);
}

/* A gate the test opens: requests whose completion waits on it keep their worker busy. */
struct Gate {
    Gate() { KeInitializeEvent(&event, NotificationEvent, FALSE); }
    void Wait() { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); }
    void Open() { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); }
    KEVENT event;
};

TEST_F(WorkerQueueTest, TwelvePerformanceCoresRunEightWorkersBoundToThem)
{
    std::vector<machine::CoreDescription> cores(12, CpuCore(1, 2));
    for (int i = 0; i < 4; ++i)
        cores.push_back(CpuCore(0));
    Restart(cores);
    TestVolume volume(d, DriverObject());
    PWORKER_QUEUE queue = &volume.vcb->WorkerQueue;

    ASSERT_EQ(d->WorkerQueueStart(queue), STATUS_SUCCESS);
    EXPECT_EQ(queue->ThreadCount, 8u);
    EXPECT_EQ(queue->Queue.MaximumCount, 8u) << "no more workers wake than there are threads";
    EXPECT_EQ(Atomic(queue->State), WORKER_QUEUE_RUNNING);
    EXPECT_EQ(machine::LiveSystemThreads(), kServiceThreads + 8);
    EXPECT_EQ(d->WorkerQueueStart(queue), STATUS_SUCCESS) << "a running queue starts once";
    EXPECT_EQ(machine::LiveSystemThreads(), kServiceThreads + 8);

    /* The worker that runs a request sits at priority 31 on a performance core. */
    TestNode node;
    TestRequest request(IRP_MJ_READ);
    KPRIORITY priority = 0;
    PROCESSOR_NUMBER processor{};
    request.onComplete = [&] {
        priority = KeQueryPriorityThread(KeGetCurrentThread());
        KeGetCurrentProcessorNumberEx(&processor);
    };
    ASSERT_EQ(d->WorkerQueuePost(queue, request.irp, &node.fcb), STATUS_PENDING);
    ASSERT_TRUE(request.WaitCompleted());
    EXPECT_EQ(priority, 31);
    EXPECT_EQ(processor.Group, 0);
    EXPECT_NE(d->Data->PerformanceCoreMask & ((KAFFINITY)1 << processor.Number), 0u);

    d->WorkerQueueStop(queue);
    EXPECT_EQ(Atomic(queue->State), WORKER_QUEUE_STOPPED);
    EXPECT_EQ(queue->ThreadCount, 0u);
    EXPECT_EQ(machine::LiveSystemThreads(), kServiceThreads);
}

TEST_F(WorkerQueueTest, APostedRequestRunsOnAWorkerWhoseCoreCompletesIt)
{
    TestVolume volume(d, DriverObject());
    PWORKER_QUEUE queue = &volume.vcb->WorkerQueue;
    ASSERT_EQ(d->WorkerQueueStart(queue), STATUS_SUCCESS);

    TestNode node;
    for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE}) {
        TestRequest request(major);
        ASSERT_EQ(d->WorkerQueuePost(queue, request.irp, &node.fcb), STATUS_PENDING);
        ASSERT_TRUE(request.WaitCompleted());
        EXPECT_TRUE(request.pendingReturned) << "the post marks the request pending";
        EXPECT_EQ(request.status, STATUS_SUCCESS) << "a request of no bytes";
        EXPECT_EQ(request.information, 0u);
        EXPECT_NE(request.completedBy, KeGetCurrentThread());
        ASSERT_TRUE(Eventually([&] { return Atomic(queue->Pending) == 0; }));
        EXPECT_EQ(Atomic(node.fcb.ReferenceCount), 1) << "the post's node reference is dropped";
    }
}

TEST_F(WorkerQueueTest, APostBeforeStartOrAfterStopBeganIsRefusedUntouched)
{
    TestVolume volume(d, DriverObject());
    PWORKER_QUEUE queue = &volume.vcb->WorkerQueue;
    TestNode node;
    TestRequest request(IRP_MJ_READ);
    EXPECT_EQ(d->WorkerQueuePost(queue, request.irp, &node.fcb), STATUS_DEVICE_NOT_READY);

    ASSERT_EQ(d->WorkerQueueStart(queue), STATUS_SUCCESS);
    d->WorkerQueueStop(queue);
    EXPECT_EQ(d->WorkerQueuePost(queue, request.irp, &node.fcb), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(request.irp)->Control & SL_PENDING_RETURNED, 0);
    EXPECT_EQ(Atomic(node.fcb.ReferenceCount), 1);
    EXPECT_EQ(Atomic(queue->Pending), 0);

    /* A queue stopped once can start again (a volume mounted anew). */
    ASSERT_EQ(d->WorkerQueueStart(queue), STATUS_SUCCESS);
    EXPECT_EQ(d->WorkerQueuePost(queue, request.irp, &node.fcb), STATUS_PENDING);
    ASSERT_TRUE(request.WaitCompleted());
}

/*
 * A post that passed its check just before stopping began lands behind the stop
 * entries; the workers leave first, so the stop itself must complete it.
 */
TEST_F(WorkerQueueTest, RequestsLeftQueuedAtStopCompleteWithVolumeDismounted)
{
    Restart({CpuCore(0)});
    TestVolume volume(d, DriverObject());
    PWORKER_QUEUE queue = &volume.vcb->WorkerQueue;
    ASSERT_EQ(d->WorkerQueueStart(queue), STATUS_SUCCESS);

    Gate gate;
    TestNode node;
    TestRequest busy(IRP_MJ_WRITE);
    busy.onComplete = [&] { gate.Wait(); };
    ASSERT_EQ(d->WorkerQueuePost(queue, busy.irp, &node.fcb), STATUS_PENDING);
    ASSERT_TRUE(Eventually([&] { return machine::WaitersOn(&gate.event) == 1; }));

    PKTHREAD stopper = StartThread([&] { d->WorkerQueueStop(queue); });
    PKTHREAD worker = queue->Threads[0];
    ASSERT_TRUE(Eventually([&] { return Atomic(queue->Closing) != 0 && machine::WaitersOn(worker) == 1; }));

    std::vector<std::unique_ptr<TestRequest>> late;
    for (int i = 0; i < 3; ++i) {
        late.push_back(std::make_unique<TestRequest>(IRP_MJ_READ));
        PIRP irp = late.back()->irp;
        irp->Tail.Overlay.DriverContext[0] = &node.fcb;
        InterlockedIncrement(&node.fcb.ReferenceCount);
        IoMarkIrpPending(irp);
        InterlockedIncrement(&queue->Pending);
        KeInsertQueue(&queue->Queue, &irp->Tail.Overlay.ListEntry);
    }
    gate.Open();
    JoinThread(stopper);

    ASSERT_TRUE(busy.WaitCompleted());
    EXPECT_EQ(busy.status, STATUS_SUCCESS);
    for (auto &request : late) {
        ASSERT_TRUE(request->WaitCompleted(0));
        EXPECT_EQ(request->status, STATUS_VOLUME_DISMOUNTED);
        EXPECT_EQ(request->information, 0u);
        EXPECT_EQ(request->completedBy, stopper);
    }
    EXPECT_EQ(Atomic(queue->Pending), 0);
    EXPECT_EQ(Atomic(node.fcb.ReferenceCount), 1);
    EXPECT_EQ(Atomic(queue->State), WORKER_QUEUE_STOPPED);
}

TEST_F(WorkerQueueTest, DrainReturnsOnceEveryPostedRequestFinished)
{
    Restart({CpuCore(0), CpuCore(0)});
    TestVolume volume(d, DriverObject());
    PWORKER_QUEUE queue = &volume.vcb->WorkerQueue;
    ASSERT_EQ(d->WorkerQueueStart(queue), STATUS_SUCCESS);

    Gate gate;
    TestNode node;
    std::vector<std::unique_ptr<TestRequest>> requests;
    for (int i = 0; i < 5; ++i) {
        requests.push_back(std::make_unique<TestRequest>(i % 2 ? IRP_MJ_READ : IRP_MJ_WRITE));
        requests.back()->onComplete = [&] { gate.Wait(); };
        ASSERT_EQ(d->WorkerQueuePost(queue, requests.back()->irp, &node.fcb), STATUS_PENDING);
    }
    std::atomic<bool> drained{false};
    PKTHREAD drainer = StartThread([&] {
        d->WorkerQueueDrainWait(queue);
        drained = true;
    });
    ASSERT_TRUE(Eventually([&] { return machine::WaitersOn(&gate.event) == 2; }));
    EXPECT_FALSE(drained);
    EXPECT_EQ(Atomic(queue->Pending), 5);
    gate.Open();
    JoinThread(drainer);
    EXPECT_TRUE(drained);
    EXPECT_EQ(Atomic(queue->Pending), 0);
    EXPECT_EQ(Atomic(node.fcb.ReferenceCount), 1);
}

TEST_F(WorkerQueueTest, DrainGivesUpAfterTenThousandPollsOfOneMillisecond)
{
    Restart({CpuCore(0)}, machine::ClockMode::AutoAdvance);
    TestVolume volume(d, DriverObject());
    PWORKER_QUEUE queue = &volume.vcb->WorkerQueue;
    ASSERT_EQ(d->WorkerQueueStart(queue), STATUS_SUCCESS);

    Gate gate;
    TestNode node;
    TestRequest stuck(IRP_MJ_READ);
    stuck.onComplete = [&] { gate.Wait(); };
    ASSERT_EQ(d->WorkerQueuePost(queue, stuck.irp, &node.fcb), STATUS_PENDING);
    ASSERT_TRUE(Eventually([&] { return machine::WaitersOn(&gate.event) == 1; }));

    uint64_t start = machine::InterruptTimeNow();
    d->WorkerQueueDrainWait(queue);
    uint64_t waited = machine::InterruptTimeNow() - start;
    EXPECT_GE(waited, 10000ull * 10000) << "10000 polls of 1 ms";
    EXPECT_LT(waited, 10000ull * 10000 * 2);
    EXPECT_EQ(Atomic(queue->Pending), 1);
    gate.Open();
    ASSERT_TRUE(stuck.WaitCompleted());
}

TEST_F(WorkerQueueTest, AStartThatFailsHalfWayEndsEveryWorkerMade)
{
    TestVolume volume(d, DriverObject());
    PWORKER_QUEUE queue = &volume.vcb->WorkerQueue;
    for (const char *site : {"PsCreateSystemThread", "ObReferenceObjectByHandle"}) {
        for (uint64_t n = 1; n <= 4; ++n) {
            machine::ArmFault(site, n);
            EXPECT_EQ(d->WorkerQueueStart(queue), STATUS_UNSUCCESSFUL) << site << " #" << n;
            machine::DisarmFaults();
            EXPECT_EQ(Atomic(queue->State), WORKER_QUEUE_STOPPED);
            EXPECT_EQ(queue->ThreadCount, 0u);
            /* A worker that has signalled its end may still be dropping its thread object. */
            WaitForEndingSystemThreads(kServiceThreads);
            EXPECT_EQ(machine::LiveSystemThreads(), kServiceThreads) << site << " #" << n;
        }
    }
    TestNode node;
    TestRequest request(IRP_MJ_READ);
    EXPECT_EQ(d->WorkerQueuePost(queue, request.irp, &node.fcb), STATUS_DEVICE_NOT_READY)
        << "the read and write handlers then run requests inline";
    ASSERT_EQ(d->WorkerQueueStart(queue), STATUS_SUCCESS);
    EXPECT_EQ(queue->ThreadCount, 4u);
}

} // namespace
