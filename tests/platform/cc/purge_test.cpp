/*
 * The cache manager's purge on this machine, which has no cache sections yet: a
 * file without a data section or shared cache map has nothing cached, so every
 * purge succeeds and changes nothing; the IRQL limit holds; a pointer to a section
 * the machine cannot have made stops it.
 */
#include "machine_test.h"

#include <ntifs.h>

namespace {

using PurgeTest = MachineTest;

TEST_F(PurgeTest, AFileWithNothingCachedIsPurgedWhollyOrInPartUpToApcLevel)
{
    SECTION_OBJECT_POINTERS pointers{};
    LARGE_INTEGER offset;
    offset.QuadPart = 4096;
    EXPECT_TRUE(CcPurgeCacheSection(&pointers, nullptr, 0, FALSE));
    EXPECT_TRUE(CcPurgeCacheSection(&pointers, &offset, 0, TRUE)) << "from an offset to the end";
    EXPECT_TRUE(CcPurgeCacheSection(&pointers, &offset, 8192, FALSE));
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    EXPECT_TRUE(CcPurgeCacheSection(&pointers, nullptr, 0, FALSE));
    KeLowerIrql(old);
    EXPECT_EQ(pointers.DataSectionObject, nullptr);
    EXPECT_EQ(pointers.SharedCacheMap, nullptr);
}

using PurgeDeathTest = MachineTest;

TEST_F(PurgeDeathTest, APurgeAtDispatchLevelOrOfAnUnknownSectionStopsTheMachine)
{
    SECTION_OBJECT_POINTERS pointers{};
    EXPECT_BUGCHECK(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            CcPurgeCacheSection(&pointers, nullptr, 0, FALSE);
        },
        IRQL_NOT_LESS_OR_EQUAL, {kAnyParameter, DISPATCH_LEVEL, APC_LEVEL});
    int section = 0;
    pointers.SharedCacheMap = &section;
    EXPECT_BUGCHECK(CcPurgeCacheSection(&pointers, nullptr, 0, FALSE), DRIVER_VERIFIER_DETECTED_VIOLATION,
                    {VERIFIER_NO_CACHE_SECTIONS, kAnyParameter, 0, 0});
}

} // namespace
