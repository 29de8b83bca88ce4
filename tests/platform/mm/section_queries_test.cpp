/*
 * What a file system asks about a file's sections before it truncates, deletes,
 * purges or dismounts: with no section, everything may go ahead; a section in use
 * stops what it must.
 */
#include "machine_test.h"

#include <ntifs.h>

namespace {

using SectionQueriesTest = MachineTest;

TEST_F(SectionQueriesTest, FileWithoutSectionsMayBeTruncatedFlushedAndClosed)
{
    SECTION_OBJECT_POINTERS none{};
    LARGE_INTEGER size;
    size.QuadPart = 4096;
    EXPECT_TRUE(MmCanFileBeTruncated(&none, &size));
    EXPECT_TRUE(MmCanFileBeTruncated(&none, nullptr)) << "no size means truncating the whole file";
    EXPECT_TRUE(MmFlushImageSection(&none, MmFlushForDelete));
    EXPECT_TRUE(MmFlushImageSection(&none, MmFlushForWrite));
    EXPECT_TRUE(MmForceSectionClosed(&none, TRUE));

    IO_STATUS_BLOCK iosb;
    iosb.Status = STATUS_UNSUCCESSFUL;
    iosb.Information = 77;
    CcCoherencyFlushAndPurgeCache(&none, nullptr, 0, &iosb, 0);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 0u);
}

TEST_F(SectionQueriesTest, SectionsInUseStopTruncationAndClosing)
{
    int image = 0, data = 0;
    SECTION_OBJECT_POINTERS withImage{};
    withImage.ImageSectionObject = &image;
    EXPECT_FALSE(MmCanFileBeTruncated(&withImage, nullptr)) << "an image section forbids truncation";
    EXPECT_FALSE(MmFlushImageSection(&withImage, MmFlushForDelete));
    EXPECT_FALSE(MmForceSectionClosed(&withImage, FALSE));

    SECTION_OBJECT_POINTERS withData{};
    withData.DataSectionObject = &data;
    EXPECT_FALSE(MmCanFileBeTruncated(&withData, nullptr));
    EXPECT_TRUE(MmFlushImageSection(&withData, MmFlushForWrite)) << "no image section to flush";
    EXPECT_FALSE(MmForceSectionClosed(&withData, TRUE));
}

using SectionQueriesDeathTest = MachineTest;

TEST_F(SectionQueriesDeathTest, RefusedAtDispatchLevel)
{
    SECTION_OBJECT_POINTERS none{};
    IO_STATUS_BLOCK iosb;
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    EXPECT_BUGCHECK(MmCanFileBeTruncated(&none, nullptr), IRQL_NOT_LESS_OR_EQUAL);
    EXPECT_BUGCHECK(MmForceSectionClosed(&none, FALSE), IRQL_NOT_LESS_OR_EQUAL);
    KeLowerIrql(irql);
    KeRaiseIrql(APC_LEVEL, &irql);
    EXPECT_BUGCHECK(CcCoherencyFlushAndPurgeCache(&none, nullptr, 0, &iosb, 0), IRQL_NOT_LESS_OR_EQUAL);
    KeLowerIrql(irql);
}

} // namespace
