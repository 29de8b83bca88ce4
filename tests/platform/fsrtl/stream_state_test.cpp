/*
 * The file-system runtime's per-stream state that a file system sets up with each
 * node and tears down at its end: oplocks, byte-range lock records and filters'
 * per-stream contexts.
 */
#include "machine_test.h"

#include <ntifs.h>

#include <vector>

namespace {

using StreamStateTest = MachineTest;

/* A stream header as a file system builds it. */
struct Stream {
    Stream()
    {
        ExInitializeFastMutex(&mutex);
        FsRtlSetupAdvancedHeader(&header, &mutex);
    }
    FSRTL_ADVANCED_FCB_HEADER header{};
    FAST_MUTEX mutex;
};

struct Context {
    FSRTL_PER_STREAM_CONTEXT base;
    int id;
    Stream *stream;
    std::vector<int> *freed;
};

TEST_F(StreamStateTest, OplockIsEmptyUntilGrantedAndUninitialisesToEmpty)
{
    OPLOCK oplock = (OPLOCK)0x1234;
    FsRtlInitializeOplock(&oplock);
    EXPECT_EQ(oplock, nullptr);
    FsRtlUninitializeOplock(&oplock);
    EXPECT_EQ(oplock, nullptr);
    EXPECT_EQ(machine::PoolTotals().liveBlocks, 0u);
}

TEST_F(StreamStateTest, FileLockKeepsItsCallbacksInPagedPoolAndFailsCleanly)
{
    auto complete = [](PVOID, PIRP) -> NTSTATUS { return STATUS_SUCCESS; };
    auto unlock = [](PVOID, PFILE_LOCK_INFO) {};
    PFILE_LOCK lock = FsRtlAllocateFileLock(complete, unlock);
    ASSERT_NE(lock, nullptr);
    EXPECT_EQ(lock->CompleteLockIrpRoutine, (PCOMPLETE_LOCK_IRP_ROUTINE)complete);
    EXPECT_EQ(lock->UnlockRoutine, (PUNLOCK_ROUTINE)unlock);
    EXPECT_EQ(lock->LockInformation, nullptr) << "no lock is held yet";
    EXPECT_EQ(machine::PoolTotals().liveBlocks, 1u);
    FsRtlFreeFileLock(lock);
    EXPECT_EQ(machine::PoolTotals().liveBlocks, 0u);

    machine::ArmFault("ExAllocatePoolWithTag", 1);
    EXPECT_EQ(FsRtlAllocateFileLock(nullptr, nullptr), nullptr);
    EXPECT_EQ(machine::PoolTotals().liveBlocks, 0u);
}

/* Teardown hands every context to its owner once, without the header's mutex held. */
TEST_F(StreamStateTest, TeardownFreesEveryContextOutsideTheMutex)
{
    Stream stream;
    std::vector<int> freed;
    Context contexts[3];
    for (int i = 0; i < 3; ++i) {
        contexts[i].id = i;
        contexts[i].stream = &stream;
        contexts[i].freed = &freed;
        FsRtlInitPerStreamContext(&contexts[i].base, &freed, nullptr, [](PVOID buffer) {
            auto context = static_cast<Context *>(buffer);
            /* An owner may take the header's mutex in its callback. */
            ExAcquireFastMutex(context->stream->header.FastMutex);
            context->freed->push_back(context->id);
            ExReleaseFastMutex(context->stream->header.FastMutex);
        });
        ASSERT_EQ(FsRtlInsertPerStreamContext(&stream.header, &contexts[i].base), STATUS_SUCCESS);
    }
    FsRtlTeardownPerStreamContexts(&stream.header);
    EXPECT_EQ(freed, (std::vector<int>{2, 1, 0})) << "newest first, each once";
    EXPECT_TRUE(IsListEmpty(&stream.header.FilterContexts));
    FsRtlTeardownPerStreamContexts(&stream.header);
    EXPECT_EQ(freed.size(), 3u) << "a second teardown finds nothing";
}

TEST_F(StreamStateTest, HeaderWithoutFilterContextsRefusesThem)
{
    Stream stream;
    stream.header.Flags2 &= ~FSRTL_FLAG2_SUPPORTS_FILTER_CONTEXTS;
    FSRTL_PER_STREAM_CONTEXT context;
    FsRtlInitPerStreamContext(&context, nullptr, nullptr, nullptr);
    EXPECT_EQ(FsRtlInsertPerStreamContext(&stream.header, &context), STATUS_INVALID_DEVICE_REQUEST);
    FsRtlTeardownPerStreamContexts(&stream.header);
}

using StreamStateDeathTest = MachineTest;

TEST_F(StreamStateDeathTest, RoutinesRefuseDispatchLevel)
{
    Stream stream;
    OPLOCK oplock = nullptr;
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    EXPECT_BUGCHECK(FsRtlTeardownPerStreamContexts(&stream.header), IRQL_NOT_LESS_OR_EQUAL);
    EXPECT_BUGCHECK(FsRtlInitializeOplock(&oplock), IRQL_NOT_LESS_OR_EQUAL);
    EXPECT_BUGCHECK(FsRtlAllocateFileLock(nullptr, nullptr), IRQL_NOT_LESS_OR_EQUAL);
    KeLowerIrql(irql);
}

} // namespace
