/*
 * Create under injected pool failures: the nth allocation of a create of a new
 * file (a long name, EAs, a fresh descriptor) and of a supersede fails in turn
 * until one runs with nothing injected. A failed create leaves no name, no
 * handle count and no share access; the pool check at teardown sees that the
 * undo paths gave everything back.
 */
#include "fileops_test.h"

namespace {

class CreateFaultSweepTest : public FileOpsTest {
protected:
    /* Runs open once with the nth pool allocation of tag (0: any) failing; returns whether anything was injected. */
    bool RunOnce(const std::string &path, const OpenRequest &rq, uint64_t n, bool existed, uint32_t tag = 0)
    {
        machine::ArmPoolFault(n, tag);
        HANDLE handle = nullptr;
        NTSTATUS status = Open(path, &handle, rq);
        uint64_t injected = machine::FaultsInjected("ExAllocatePoolWithTag");
        machine::DisarmFaults();
        SCOPED_TRACE("allocation #" + std::to_string(n) + " of tag " + std::to_string(tag) + " status " +
                     std::to_string((uint32_t)status));
        if (NT_SUCCESS(status)) {
            PFCB node = NodeOf(handle);
            EXPECT_EQ(node->OpenCount, 1);
            EXPECT_EQ(Close(handle), STATUS_SUCCESS);
            EXPECT_EQ(node->OpenCount, 0);
        } else {
            EXPECT_NE(injected, 0u) << "only an injected failure may fail the open";
            EXPECT_EQ(Exists(path), existed);
        }
        /* The share access of a failed open is gone: an exclusive open succeeds. */
        if (Exists(path)) {
            OpenRequest exclusive;
            exclusive.share = 0;
            exclusive.access = FILE_READ_DATA | FILE_WRITE_DATA | DELETE;
            EXPECT_EQ(Open(path, &handle, exclusive), STATUS_SUCCESS);
            EXPECT_EQ(Close(handle), STATUS_SUCCESS);
        }
        return injected != 0;
    }
};

TEST_F(CreateFaultSweepTest, EveryPoolAllocationOfACreateAndASupersede)
{
    ASSERT_EQ(MakeVolume(), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\dir", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    alignas(8) UCHAR ea[32];
    ULONG eaLength = PackOneEa(ea, "TAG", "ok");
    std::string name = "\\dir\\" + std::string(100, 'n');
    uint64_t runs = 0;
    for (ULONG disposition : {FILE_CREATE, FILE_SUPERSEDE}) {
        OpenRequest rq;
        rq.access = FILE_READ_DATA | FILE_WRITE_DATA;
        rq.disposition = disposition;
        rq.ea = ea;
        rq.eaLength = eaLength;
        for (uint64_t n = 1; n < 500; ++n, ++runs) {
            bool existed = disposition == FILE_SUPERSEDE;
            if (!RunOnce(name, rq, n, existed) || HasFailure())
                break;
            if (disposition == FILE_CREATE && Exists(name)) {
                OpenRequest remove;
                remove.access = DELETE;
                remove.options = FILE_DELETE_ON_CLOSE;
                HANDLE handle;
                ASSERT_EQ(Open(name, &handle, remove), STATUS_SUCCESS);
                ASSERT_EQ(Close(handle), STATUS_SUCCESS);
            }
        }
        EXPECT_TRUE(Exists(name)) << "the run with nothing injected made the file; the supersede runs replace it";
    }
    EXPECT_GT(runs, 4u);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

/*
 * The sweep above counts allocations, and which allocations a create makes depends
 * on what earlier runs left in the volume's caches (a freed node record is reused).
 * Failing the first allocation of each kind a create of a new file makes reaches
 * every one of them, whatever the caches hold.
 */
TEST_F(CreateFaultSweepTest, EachKindOfAllocationOfACreateFailsCleanly)
{
    ASSERT_EQ(MakeVolume(), STATUS_SUCCESS);
    alignas(8) UCHAR ea[32];
    ULONG eaLength = PackOneEa(ea, "TAG", "ok");
    std::string name = "\\" + std::string(100, 'k');
    OpenRequest rq;
    rq.access = FILE_READ_DATA | FILE_WRITE_DATA;
    rq.disposition = FILE_CREATE;
    rq.ea = ea;
    rq.eaLength = eaLength;
    uint64_t failed = 0;
    for (const char *tag : {"vlCb", "vlFb", "vlLk", "vlNm", "vlSd", "vlEa"}) {
        bool injected = RunOnce(name, rq, 1, false, machine::TagFromText(tag));
        if (HasFailure())
            break;
        failed += injected;
        if (Exists(name))
            Delete(name);
    }
    EXPECT_GE(failed, 3u) << "the handle's CCB, the name and the EAs are always allocated";
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

} // namespace
