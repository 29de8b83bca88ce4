/*
 * The holder table: one slot per process with handles on the volume, counted
 * per open and freed at the last cleanup; a full table leaves later processes
 * unrecorded without refusing their opens. Read through the volume-holders
 * request, as the control program does.
 */
#include "fileops_test.h"

#include <algorithm>
#include <vector>

namespace {

class HoldersTest : public FileOpsTest {
protected:
    std::vector<VOREL_U32> Holders()
    {
        VOREL_LETTER_INPUT input{'R', 0};
        auto reply = std::make_unique<VOREL_VOLUME_HOLDERS>();
        EXPECT_EQ(Control(IOCTL_VOREL_VOLUME_HOLDERS, &input, sizeof(input), reply.get(), sizeof(*reply)),
                  STATUS_SUCCESS);
        return std::vector<VOREL_U32>(reply->ProcessIds, reply->ProcessIds + reply->Count);
    }
};

TEST_F(HoldersTest, OneSlotPerProcessCountedPerOpen)
{
    ASSERT_EQ(MakeVolume(), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\f"), STATUS_SUCCESS);
    PVCB vcb = VcbOf('R');
    EXPECT_TRUE(Holders().empty());
    std::vector<HANDLE> handles(10);
    for (HANDLE &handle : handles)
        ASSERT_EQ(Open("\\f", &handle), STATUS_SUCCESS);
    EXPECT_EQ(vcb->HolderSlotsInUse, 1u);
    auto slot = std::find_if(std::begin(vcb->Holders), std::end(vcb->Holders),
                             [](const VOLUME_HOLDER &h) { return h.OpenCount != 0; });
    ASSERT_NE(slot, std::end(vcb->Holders));
    EXPECT_EQ(slot->OpenCount, 10);
    EXPECT_EQ(Holders(), std::vector<VOREL_U32>{slot->ProcessId});
    for (size_t i = 0; i < handles.size(); ++i) {
        EXPECT_EQ(Close(handles[i]), STATUS_SUCCESS);
        EXPECT_EQ(slot->OpenCount, (LONG)(handles.size() - 1 - i));
    }
    EXPECT_EQ(vcb->HolderSlotsInUse, 0u);
    EXPECT_TRUE(Holders().empty());
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

TEST_F(HoldersTest, AFullTableLeavesLaterProcessesOutButTheirOpensSucceed)
{
    ASSERT_EQ(MakeVolume(), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\f"), STATUS_SUCCESS);
    PVCB vcb = VcbOf('R');
    std::vector<std::unique_ptr<support::UserProcess>> others;
    std::vector<HANDLE> handles;
    for (int i = 0; i < 65; ++i) {
        others.push_back(std::make_unique<support::UserProcess>(0, 0));
        HANDLE handle;
        ASSERT_EQ(OpenAs(*others.back(), "\\f", &handle, OpenRequest{}), STATUS_SUCCESS) << i;
        handles.push_back(handle);
    }
    EXPECT_EQ(vcb->HolderSlotsInUse, 64u);
    EXPECT_EQ(Holders().size(), 64u);
    EXPECT_EQ(CloseAs(*others[64], handles[64]), STATUS_SUCCESS) << "an unrecorded handle ends cleanly";
    EXPECT_EQ(vcb->HolderSlotsInUse, 64u);
    EXPECT_EQ(CloseAs(*others[0], handles[0]), STATUS_SUCCESS);
    EXPECT_EQ(vcb->HolderSlotsInUse, 63u);
    for (int i = 1; i < 64; ++i)
        EXPECT_EQ(CloseAs(*others[i], handles[i]), STATUS_SUCCESS);
    EXPECT_EQ(vcb->HolderSlotsInUse, 0u);
    others.clear();
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

} // namespace
