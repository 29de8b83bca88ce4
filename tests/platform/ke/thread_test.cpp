/*
 * System threads, thread handles, priority, affinity and the processor topology.
 */
#include "ke_test_support.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using ThreadTest = MachineTest;

TEST_F(ThreadTest, ThreadHandleReferencesTheThreadObjectOnlyAsAThread)
{
    KEVENT go;
    KeInitializeEvent(&go, NotificationEvent, FALSE);
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                   [](PVOID event) {
                                       KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
                                   },
                                   &go),
              STATUS_SUCCESS);
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsProcessType, KernelMode, &object, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    PVOID again = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &again, nullptr),
              STATUS_INVALID_HANDLE)
        << "a closed handle is gone";
    KeSetEvent(&go, 0, FALSE);
    KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(object);
}

TEST_F(ThreadTest, KernelHandlesAreRefusedToUserModeReferences)
{
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, [](PVOID) {}, nullptr),
              STATUS_SUCCESS);
    EXPECT_LT((LONG_PTR)handle, 0) << "kernel handles carry the high bit";
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, UserMode, &object, nullptr),
              STATUS_INVALID_HANDLE);
    ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    ZwClose(handle);
    KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(object);
}

TEST_F(ThreadTest, PriorityAndAffinityAreRecordedAndTheProcessorFollowsTheMask)
{
    std::atomic<KPRIORITY> previous{-1};
    std::atomic<ULONG> processor{99};
    PKTHREAD thread = StartThread([&] {
        previous = KeSetPriorityThread(KeGetCurrentThread(), 31);
        GROUP_AFFINITY affinity{};
        affinity.Mask = 0x4;
        KeSetSystemGroupAffinityThread(&affinity, nullptr);
        processor = KeGetCurrentProcessorNumberEx(nullptr);
    });
    JoinThread(thread);
    EXPECT_EQ(previous, 8);
    EXPECT_EQ(processor, 2u);
}

/* A base priority is the process's plus the increment, kept inside the variable class; the thread runs at it. */
TEST_F(ThreadTest, BasePriorityIsRelativeToTheProcessAndStaysInItsClass)
{
    std::vector<std::pair<LONG, KPRIORITY>> seen;
    PKTHREAD thread = StartThread([&] {
        PKTHREAD self = KeGetCurrentThread();
        for (LONG increment : {-2, 20, -20, 0}) {
            LONG previous = KeSetBasePriorityThread(self, increment);
            seen.emplace_back(previous, KeQueryPriorityThread(self));
        }
    });
    JoinThread(thread);
    std::vector<std::pair<LONG, KPRIORITY>> expected = {{0, 6}, {-2, 15}, {7, 1}, {-7, 8}};
    EXPECT_EQ(seen, expected);
}

TEST_F(ThreadTest, CreationFailureIsInjectable)
{
    machine::ArmFault("PsCreateSystemThread", 1);
    HANDLE handle;
    EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, [](PVOID) {}, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(ThreadTest, AHostWithoutAThreadToGiveFailsTheCreationAndLeavesNothing)
{
    uint32_t attached = machine::AttachedThreads();
    machine::ArmFault("ps::HostThread", 1);
    HANDLE handle = nullptr;
    CLIENT_ID client{};
    EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, &client, [](PVOID) {}, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(nullptr, handle);
    EXPECT_EQ(nullptr, client.UniqueThread);
    // Nothing stays counted on the thread's behalf (the clock would wait for it) and no
    // handle or object is left: the fixture's audit says so at the end. The machine's own
    // workers attach while they run, so the count is awaited rather than read once.
    for (int wait = 0; wait < 400 && machine::AttachedThreads() > attached; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_LE(machine::AttachedThreads(), attached);
    EXPECT_EQ(0u, machine::LiveSystemThreads());
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, [](PVOID) {}, nullptr),
              STATUS_SUCCESS);
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(handle));
}

class BigLittleTest : public MachineTest {
protected:
    machine::Config BootConfig() override
    {
        machine::Config config;
        for (int i = 0; i < 4; ++i)
            config.cores.push_back({2, 1, 0}); /* big cores */
        for (int i = 0; i < 4; ++i)
            config.cores.push_back({0, 1, 0}); /* little cores */
        return config;
    }
};

TEST_F(BigLittleTest, CoreRelationshipReportsEfficiencyClassesAndNeedsASizingCall)
{
    ULONG length = 0;
    EXPECT_EQ(KeQueryLogicalProcessorRelationship(nullptr, RelationProcessorCore, nullptr, &length),
              STATUS_INFO_LENGTH_MISMATCH);
    ASSERT_EQ(length, 8u * 48u);
    std::vector<unsigned char> buffer(length);
    auto info = reinterpret_cast<PSYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX>(buffer.data());
    ASSERT_EQ(KeQueryLogicalProcessorRelationship(nullptr, RelationProcessorCore, info, &length), STATUS_SUCCESS);
    int big = 0;
    KAFFINITY bigMask = 0;
    for (ULONG offset = 0; offset < length;) {
        auto entry = reinterpret_cast<PSYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX>(buffer.data() + offset);
        EXPECT_EQ(entry->Relationship, RelationProcessorCore);
        EXPECT_EQ(entry->Processor.GroupCount, 1);
        if (entry->Processor.EfficiencyClass == 2) {
            ++big;
            bigMask |= entry->Processor.GroupMask[0].Mask;
        }
        offset += entry->Size;
    }
    EXPECT_EQ(big, 4);
    EXPECT_EQ(bigMask, 0xFu);
    EXPECT_EQ(KeQueryActiveProcessorCountEx(ALL_PROCESSOR_GROUPS), 8u);
    EXPECT_LT(KeGetCurrentProcessorNumberEx(nullptr), 8u);

    machine::ArmFault("KeQueryLogicalProcessorRelationship", 1);
    EXPECT_FALSE(NT_SUCCESS(KeQueryLogicalProcessorRelationship(nullptr, RelationProcessorCore, info, &length)));
}

using ThreadDeathTest = MachineTest;

TEST_F(ThreadDeathTest, ThreadEndingInsideACriticalRegionStopsTheMachine)
{
    EXPECT_BUGCHECK(JoinThread(StartThread([] { KeEnterCriticalRegion(); })), APC_INDEX_MISMATCH);
}

TEST_F(ThreadDeathTest, ThreadEndingWithASpinLockHeldIsAVerifierFinding)
{
    static KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_BUGCHECK(JoinThread(StartThread([] {
                        KIRQL old;
                        KeAcquireSpinLock(&lock, &old);
                        KeLowerIrql(PASSIVE_LEVEL); /* leaves the lock held */
                    })),
                    DRIVER_VERIFIER_DETECTED_VIOLATION, {VERIFIER_LOCK_HELD_AT_EXIT});
}

TEST_F(ThreadDeathTest, ClosingAnInvalidKernelHandleStopsTheMachine)
{
    EXPECT_BUGCHECK(ZwClose((HANDLE)(ULONG_PTR)0x1234), INVALID_KERNEL_HANDLE);
}

TEST_F(MachineTest, SystemThreadStillRunningIsAnAuditFinding)
{
    KEVENT release;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    PKTHREAD thread = StartThread([&] { KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr); });
    ObDereferenceObject(thread);
    std::string text = machine::Audit().Text();
    EXPECT_NE(text.find("system thread(s) still running"), std::string::npos) << text;
    KeSetEvent(&release, 0, FALSE);
    EXPECT_TRUE(Eventually([] { return machine::LiveSystemThreads() == 0; }));
}

} // namespace
