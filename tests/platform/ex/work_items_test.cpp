/*
 * System worker threads: the two pools and what runs where, draining, the clock,
 * I/O work items and their device, deferred object deletion, and the checks that
 * stop the machine on a misused work item.
 */
#include "machine_test.h"
#include "system_threads.h"

#include <wdm.h>

#include <atomic>
#include <set>

namespace {

constexpr ULONG kTestTag = POOL_TAG('W', 'k', 'T', 's');

/* Work items that hold workers of one pool until the gate opens. */
struct Gate {
    KEVENT open;
    std::atomic<int> holding{0};
    WORK_QUEUE_ITEM items[8];

    Gate() { KeInitializeEvent(&open, NotificationEvent, FALSE); }

    /* Occupies every worker of the pool that serves type. */
    void Hold(WORK_QUEUE_TYPE type, uint32_t workers)
    {
        for (uint32_t i = 0; i < workers; ++i) {
            ExInitializeWorkItem(
                &items[i],
                [](PVOID context) {
                    auto *gate = static_cast<Gate *>(context);
                    gate->holding++;
                    KeWaitForSingleObject(&gate->open, Executive, KernelMode, FALSE, nullptr);
                    gate->holding--;
                },
                this);
            ExQueueWorkItem(&items[i], type);
        }
        ASSERT_TRUE(Eventually([&] { return holding.load() == (int)workers; }));
    }
    void Open() { KeSetEvent(&open, 0, FALSE); }
};

uint32_t DelayedWorkers()
{
    return machine::CurrentConfig().delayedWorkerThreads;
}

/* What one work item saw while it ran. */
struct Sighting {
    WORK_QUEUE_ITEM item;
    std::atomic<bool> ran{false};
    PETHREAD thread = nullptr;
    KIRQL irql = HIGH_LEVEL;
    KPRIORITY priority = -1;
    BOOLEAN systemThread = FALSE;

    void Queue(WORK_QUEUE_TYPE type)
    {
        ran = false;
        ExInitializeWorkItem(
            &item,
            [](PVOID context) {
                auto *run = static_cast<Sighting *>(context);
                run->thread = PsGetCurrentThread();
                run->irql = KeGetCurrentIrql();
                run->priority = KeQueryPriorityThread(KeGetCurrentThread());
                run->systemThread = PsIsSystemThread(PsGetCurrentThread());
                run->ran = true;
            },
            this);
        ExQueueWorkItem(&item, type);
    }
};

using WorkerTest = MachineTest;

TEST_F(WorkerTest, ItemsRunOnTheMachinesBoundedPoolNotOnThreadsOfTheirOwn)
{
    static Sighting runs[40];
    for (Sighting &run : runs)
        run.Queue(DelayedWorkQueue);
    EXPECT_EQ(machine::LiveSystemThreads(), 0u) << "workers are the machine's, not a driver's";
    ASSERT_TRUE(machine::DrainSystemWork());

    std::set<PETHREAD> threads;
    for (Sighting &run : runs) {
        ASSERT_TRUE(run.ran);
        threads.insert(run.thread);
        EXPECT_EQ(run.irql, PASSIVE_LEVEL);
        EXPECT_EQ(run.priority, 12);
        EXPECT_TRUE(run.systemThread);
    }
    EXPECT_LE(threads.size(), DelayedWorkers());
    EXPECT_EQ(threads.count(PsGetCurrentThread()), 0u);
    // Idle workers count neither as attached nor as blocked threads: only this one is left.
    EXPECT_TRUE(Eventually([] { return machine::AttachedThreads() == 1 && machine::BlockedThreads() == 0; }));
}

TEST_F(WorkerTest, QueueTypesMapOntoTheRealTimeAndDelayedPoolsAtTheirPriorities)
{
    Gate gate;
    gate.Hold(DelayedWorkQueue, DelayedWorkers());
    struct Case {
        WORK_QUEUE_TYPE type;
        KPRIORITY priority;
        bool realTime;
    };
    const Case cases[] = {
        {CriticalWorkQueue, 13, true},          {HyperCriticalWorkQueue, 15, true},
        {SuperCriticalWorkQueue, 14, true},     {RealTimeWorkQueue, 18, true},
        {(WORK_QUEUE_TYPE)(CustomPriorityWorkQueue + 20), 20, true},
        {DelayedWorkQueue, 12, false},          {NormalWorkQueue, 8, false},
        {BackgroundWorkQueue, 7, false},        {(WORK_QUEUE_TYPE)(CustomPriorityWorkQueue + 5), 5, false},
    };
    static Sighting runs[9];
    for (size_t i = 0; i < 9; ++i)
        runs[i].Queue(cases[i].type);
    // The real-time pool runs its items while every delayed worker is held.
    ASSERT_TRUE(Eventually([&] {
        for (size_t i = 0; i < 9; ++i)
            if (cases[i].realTime && !runs[i].ran)
                return false;
        return true;
    }));
    for (size_t i = 0; i < 9; ++i)
        EXPECT_TRUE(cases[i].realTime || !runs[i].ran) << "type " << cases[i].type << " must wait for a delayed worker";
    EXPECT_FALSE(machine::DrainSystemWork(50));

    gate.Open();
    ASSERT_TRUE(machine::DrainSystemWork());
    for (size_t i = 0; i < 9; ++i) {
        EXPECT_TRUE(runs[i].ran);
        EXPECT_EQ(runs[i].priority, cases[i].priority) << "type " << cases[i].type;
    }
}

TEST_F(WorkerTest, ARoutineMayQueueItsOwnItemAgainAndTheDrainWaitsForThatToo)
{
    static WORK_QUEUE_ITEM item;
    static std::atomic<int> rounds;
    rounds = 0;
    ExInitializeWorkItem(
        &item,
        [](PVOID) {
            LARGE_INTEGER pause = RelativeMs(2);
            KeDelayExecutionThread(KernelMode, FALSE, &pause);
            if (++rounds < 5)
                ExQueueWorkItem(&item, CriticalWorkQueue); /* already off the queue */
        },
        nullptr);
    ExQueueWorkItem(&item, CriticalWorkQueue);
    ASSERT_TRUE(machine::DrainSystemWork());
    EXPECT_EQ(rounds.load(), 5);
    EXPECT_EQ(item.List.Flink, nullptr);
}

TEST_F(AutoClockTest, IdleWorkersLetTheClockJumpAndADrainFollowsAnItemsDeadline)
{
    uint64_t start = KeQueryInterruptTime();
    static WORK_QUEUE_ITEM item;
    ExInitializeWorkItem(
        &item,
        [](PVOID) {
            LARGE_INTEGER tenMinutes = RelativeMs(10 * 60 * 1000);
            KeDelayExecutionThread(KernelMode, FALSE, &tenMinutes);
        },
        nullptr);
    ExQueueWorkItem(&item, DelayedWorkQueue);
    ASSERT_TRUE(machine::DrainSystemWork());
    EXPECT_EQ(KeQueryInterruptTime() - start, 10ull * 60 * 10000000);

    // An hour's wait on a thread of the test's own: the idle workers must not hold the clock.
    std::atomic<bool> woke{false};
    PKTHREAD sleeper = StartThread([&] {
        LARGE_INTEGER hour = RelativeMs(3600 * 1000);
        KeDelayExecutionThread(KernelMode, FALSE, &hour);
        woke = true;
    });
    machine::DetachCurrentThread();
    bool advanced = Eventually([&] { return woke.load(); });
    machine::AttachCurrentThread();
    EXPECT_TRUE(advanced);
    JoinThread(sleeper);
}

TEST_F(AutoClockTest, WorkThatCannotRunIsReportedByTheAudit)
{
    Gate gate;
    gate.Hold(DelayedWorkQueue, DelayedWorkers());
    static Sighting late;
    late.Queue(NormalWorkQueue);
    std::string text = machine::Audit().Text();
    EXPECT_NE(text.find("ex: 1 queued work item(s) never ran"), std::string::npos) << text;
    EXPECT_NE(text.find("work item(s) still running"), std::string::npos) << text;
    gate.Open();
    ASSERT_TRUE(machine::DrainSystemWork());
    EXPECT_TRUE(late.ran);
}

/* ---- I/O work items ----------------------------------------------------------------------- */

PDEVICE_OBJECT workDevice;

NTSTATUS NTAPI WorkDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->DriverUnload = [](PDRIVER_OBJECT) {
        if (workDevice != nullptr)
            IoDeleteDevice(workDevice);
        workDevice = nullptr;
    };
    return IoCreateDevice(driver, 16, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &workDevice);
}

class IoWorkItemTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        ASSERT_EQ(machine::LoadBuiltInDriver((void *)&WorkDriverEntry, "worktest"), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        EXPECT_EQ(machine::UnloadDriver("worktest"), STATUS_SUCCESS);
        MachineTest::TearDown();
    }
};

struct DeviceWork {
    PIO_WORKITEM item;
    PDEVICE_OBJECT device = nullptr;
    PVOID context = nullptr;
    KIRQL irql = HIGH_LEVEL;
    CSHORT typeAfterDelete = 0;
};

TEST_F(IoWorkItemTest, TheDeviceOutlivesItsDeletionUntilTheRoutineHasReturned)
{
    static DeviceWork work;
    work.item = IoAllocateWorkItem(workDevice);
    ASSERT_NE(work.item, nullptr);
    IoQueueWorkItem(
        work.item,
        [](PDEVICE_OBJECT device, PVOID context) {
            auto *w = static_cast<DeviceWork *>(context);
            w->device = device;
            w->context = context;
            w->irql = KeGetCurrentIrql();
            IoFreeWorkItem(w->item); /* the item is off its queue: freeing it here is allowed */
            IoDeleteDevice(device);  /* as an unload would: the queueing reference keeps it */
            workDevice = nullptr;
            w->typeAfterDelete = device->Type;
        },
        DelayedWorkQueue, &work);
    PDEVICE_OBJECT device = workDevice;
    ASSERT_TRUE(machine::DrainSystemWork());
    EXPECT_EQ(work.device, device);
    EXPECT_EQ(work.context, &work);
    EXPECT_EQ(work.irql, PASSIVE_LEVEL);
    EXPECT_EQ(work.typeAfterDelete, IO_TYPE_DEVICE);
    EXPECT_EQ(workDevice, nullptr);
}

TEST_F(IoWorkItemTest, AWorkItemNeverFreedIsAnAuditFinding)
{
    PIO_WORKITEM item = IoAllocateWorkItem(workDevice);
    std::string text = machine::Audit().Text();
    EXPECT_NE(text.find("io: 1 work item(s) not freed"), std::string::npos) << text;
    IoFreeWorkItem(item);
}

/* ---- Misuse stops the machine --------------------------------------------------------------- */

using WorkItemDeathTest = IoWorkItemTest;

VOID NTAPI Nothing(PDEVICE_OBJECT, PVOID) {}
VOID NTAPI NothingEx(PVOID) {}

TEST_F(WorkItemDeathTest, QueueingAnItemThatIsStillQueued)
{
    EXPECT_BUGCHECK(
        {
            Gate gate;
            gate.Hold(DelayedWorkQueue, DelayedWorkers());
            PIO_WORKITEM item = IoAllocateWorkItem(workDevice);
            IoQueueWorkItem(item, Nothing, DelayedWorkQueue, nullptr);
            IoQueueWorkItem(item, Nothing, DelayedWorkQueue, nullptr);
        },
        WORKER_INVALID, {1, kAnyParameter, DelayedWorkQueue, 0});
    EXPECT_BUGCHECK(
        {
            Gate gate;
            gate.Hold(DelayedWorkQueue, DelayedWorkers());
            static WORK_QUEUE_ITEM item;
            ExInitializeWorkItem(&item, NothingEx, nullptr);
            ExQueueWorkItem(&item, DelayedWorkQueue);
            ExQueueWorkItem(&item, NormalWorkQueue);
        },
        WORKER_INVALID, {1, kAnyParameter, NormalWorkQueue, 0});
    EXPECT_BUGCHECK(
        {
            // Never initialised: pool memory comes poisoned, so its link is not null.
            auto *item = static_cast<PWORK_QUEUE_ITEM>(
                ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(WORK_QUEUE_ITEM), kTestTag));
            item->WorkerRoutine = NothingEx;
            ExQueueWorkItem(item, CriticalWorkQueue);
        },
        WORKER_INVALID, {1, kAnyParameter, CriticalWorkQueue, 0});
}

TEST_F(WorkItemDeathTest, FreeingAQueuedItem)
{
    EXPECT_BUGCHECK(
        {
            Gate gate;
            gate.Hold(DelayedWorkQueue, DelayedWorkers());
            PIO_WORKITEM item = IoAllocateWorkItem(workDevice);
            IoQueueWorkItem(item, Nothing, DelayedWorkQueue, nullptr);
            IoFreeWorkItem(item);
        },
        WORKER_INVALID, {2, kAnyParameter, kAnyParameter, 0});
    EXPECT_BUGCHECK(
        {
            Gate gate;
            gate.Hold(DelayedWorkQueue, DelayedWorkers());
            auto *record = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTestTag));
            auto *item = reinterpret_cast<PWORK_QUEUE_ITEM>(record + 16);
            ExInitializeWorkItem(item, NothingEx, nullptr);
            ExQueueWorkItem(item, DelayedWorkQueue);
            ExFreePoolWithTag(record, kTestTag);
        },
        WORKER_INVALID, {0, kAnyParameter, kAnyParameter, kAnyParameter});
}

TEST_F(WorkItemDeathTest, BadQueueTypeRoutineOrObject)
{
    static WORK_QUEUE_ITEM item;
    ExInitializeWorkItem(&item, NothingEx, nullptr);
    EXPECT_BUGCHECK(ExQueueWorkItem(&item, MaximumWorkQueue), WORKER_INVALID, {6, kAnyParameter, MaximumWorkQueue, 0});
    ExInitializeWorkItem(&item, nullptr, nullptr);
    EXPECT_BUGCHECK(ExQueueWorkItem(&item, DelayedWorkQueue), WORKER_INVALID, {7, kAnyParameter, DelayedWorkQueue, 0});
    PIO_WORKITEM io = IoAllocateWorkItem(workDevice);
    EXPECT_BUGCHECK(IoQueueWorkItem(io, nullptr, DelayedWorkQueue, nullptr), WORKER_INVALID,
                    {7, kAnyParameter, DelayedWorkQueue, 0});
    IoFreeWorkItem(io);
    auto *driver = static_cast<PDRIVER_OBJECT>(machine::DriverObject("worktest"));
    EXPECT_BUGCHECK(IoAllocateWorkItem(reinterpret_cast<PDEVICE_OBJECT>(driver)), WORKER_INVALID,
                    {3, kAnyParameter, kAnyParameter, 0});
}

TEST_F(WorkItemDeathTest, ARoutineThatReturnsInAStateAWorkerCannotKeep)
{
    static WORK_QUEUE_ITEM item;
    static int parameter;
    EXPECT_BUGCHECK(
        {
            ExInitializeWorkItem(
                &item,
                [](PVOID) {
                    KIRQL old;
                    KeRaiseIrql(DISPATCH_LEVEL, &old);
                },
                &parameter);
            ExQueueWorkItem(&item, DelayedWorkQueue);
            machine::DrainSystemWork();
        },
        WORKER_THREAD_RETURNED_AT_BAD_IRQL, {kAnyParameter, DISPATCH_LEVEL, kAnyParameter, kAnyParameter});
    EXPECT_BUGCHECK(
        {
            ExInitializeWorkItem(&item, [](PVOID) { KeEnterCriticalRegion(); }, nullptr);
            ExQueueWorkItem(&item, CriticalWorkQueue);
            machine::DrainSystemWork();
        },
        APC_INDEX_MISMATCH, {kAnyParameter, 0, 0xFFFF, 1});
    EXPECT_BUGCHECK(
        {
            ExInitializeWorkItem(&item, [](PVOID) { PsTerminateSystemThread(STATUS_SUCCESS); }, nullptr);
            ExQueueWorkItem(&item, DelayedWorkQueue);
            machine::DrainSystemWork();
        },
        ACTIVE_EX_WORKER_THREAD_TERMINATION);
}

/* ---- Deferred deletion ------------------------------------------------------------------------ */

/* The event's memory: freed by whom, and at what IRQL. */
std::atomic<const void *> watchedBody{nullptr};
std::atomic<bool> watchedFreed{false};
std::atomic<HANDLE> freeingThread{nullptr};
std::atomic<int> freeingIrql{-1};

TEST_F(WorkerTest, LastDeferredDereferenceAtDispatchLevelDeletesLaterOnAWorker)
{
    static const bool checking = [] {
        machine::AddPoolFreeCheck("watched object", [](const void *block, size_t size) {
            auto *body = static_cast<const char *>(watchedBody.load());
            if (body != nullptr && body >= block && body < static_cast<const char *>(block) + size) {
                freeingThread = PsGetCurrentThreadId();
                freeingIrql = KeGetCurrentIrql();
                watchedFreed = true;
            }
        });
        return true;
    }();
    (void)checking;
    watchedFreed = false;
    HANDLE handle;
    ASSERT_EQ(ZwCreateEvent(&handle, EVENT_ALL_ACCESS, nullptr, NotificationEvent, FALSE), STATUS_SUCCESS);
    PVOID event;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, EVENT_ALL_ACCESS, *ExEventObjectType, KernelMode, &event, nullptr),
              STATUS_SUCCESS);
    ObReferenceObject(event);
    ZwClose(handle);
    watchedBody = event;

    Gate gate; /* the delayed workers are busy, so nothing can run the deletion early */
    gate.Hold(DelayedWorkQueue, DelayedWorkers());
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    ObDereferenceObjectDeferDelete(event); /* not the last reference: nothing to defer */
    KeSetEvent(static_cast<PKEVENT>(event), 0, FALSE);
    ObDereferenceObjectDeferDelete(event); /* the last, under a spin lock */
    KeReleaseSpinLock(&lock, old);
    EXPECT_FALSE(watchedFreed) << "the deletion ran on the caller's stack";

    gate.Open();
    ASSERT_TRUE(machine::DrainSystemWork());
    EXPECT_TRUE(watchedFreed);
    EXPECT_EQ(freeingIrql.load(), PASSIVE_LEVEL);
    EXPECT_NE(freeingThread.load(), PsGetCurrentThreadId());
}

} // namespace
