/*
 * Halts: the bug check's line and binary record, fast-fail from the checked list
 * routines, and the interlocked alignment check.
 */
#include "machine_test.h"

#include <wdm.h>

#include <cstdlib>
#include <unistd.h>

namespace {

using HaltDeathTest = MachineTest;

TEST_F(HaltDeathTest, BugCheckPrintsCodeAndParameters)
{
    EXPECT_BUGCHECK(KeBugCheckEx(0xE0F11500, 1362, 2, 3, 4), 0xE0F11500, {1362, 2, 3, 4});
}

TEST_F(HaltDeathTest, BugCheckWritesItsRecordToTheHaltDescriptor)
{
    // The child must write into this process's pipe: fork without re-running the test.
    GTEST_FLAG_SET(death_test_style, "fast");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    setenv("VOREL_HALT_FD", std::to_string(fds[1]).c_str(), 1);
    EXPECT_BUGCHECK(KeBugCheckEx(0xE0F11500, 0x57C, 0xAA, 0xBB, 0xCC), 0xE0F11500);
    unsetenv("VOREL_HALT_FD");
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    close(fds[1]);

    machine::HaltRecord record{};
    ASSERT_EQ(read(fds[0], &record, sizeof(record)), (ssize_t)sizeof(record));
    close(fds[0]);
    EXPECT_STREQ(record.magic, "VRLHALT");
    EXPECT_EQ(record.kind, machine::kHaltBugCheck);
    EXPECT_EQ(record.code, 0xE0F11500u);
    EXPECT_EQ(record.parameters[0], 0x57Cu);
    EXPECT_EQ(record.parameters[3], 0xCCu);
    EXPECT_GT(record.frameCount, 0u);
}

TEST_F(HaltDeathTest, BrokenListNeighbourFastFailsWithCode3)
{
    LIST_ENTRY head, a, b;
    InitializeListHead(&head);
    InsertTailList(&head, &a);
    InsertTailList(&head, &b);
    LIST_ENTRY stray;
    a.Blink = &stray; /* a's back link no longer points at head */
    EXPECT_FASTFAIL(RemoveEntryList(&a), FAST_FAIL_CORRUPT_LIST_ENTRY);
    EXPECT_FASTFAIL(InsertHeadList(&head, &stray), FAST_FAIL_CORRUPT_LIST_ENTRY);
    a.Blink = &head;
    head.Blink = &stray; /* tail insertion checks the old tail's forward link */
    EXPECT_FASTFAIL(InsertTailList(&head, &stray), FAST_FAIL_CORRUPT_LIST_ENTRY);
}

TEST_F(HaltDeathTest, ListRoutinesKeepAConsistentList)
{
    LIST_ENTRY head, e[3];
    InitializeListHead(&head);
    EXPECT_TRUE(IsListEmpty(&head));
    InsertTailList(&head, &e[1]);
    InsertHeadList(&head, &e[0]);
    InsertTailList(&head, &e[2]);
    EXPECT_EQ(RemoveHeadList(&head), &e[0]);
    EXPECT_EQ(RemoveTailList(&head), &e[2]);
    EXPECT_TRUE(RemoveEntryList(&e[1])) << "removing the last entry reports an empty list";
    EXPECT_TRUE(IsListEmpty(&head));
}

TEST_F(HaltDeathTest, MisalignedInterlockedOperandStopsTheMachine)
{
    alignas(8) unsigned char bytes[16] = {};
    auto *misaligned = reinterpret_cast<LONG volatile *>(bytes + 2);
    EXPECT_BUGCHECK(InterlockedIncrement(misaligned), KMODE_EXCEPTION_NOT_HANDLED,
                    {(uint64_t)(ULONG)STATUS_DATATYPE_MISALIGNMENT, kAnyParameter});
}

} // namespace
