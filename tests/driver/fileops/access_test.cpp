/*
 * Access checks at open: what a handle is granted (generic rights mapped,
 * maximum allowed widened, implied rights kept out), what a descriptor refuses
 * a standard user, the rights needed to add to a directory, and the privilege
 * that system security needs. A volume without security grants what is asked.
 */
#include "fileops_test.h"

namespace {

class AccessTest : public UserFileOpsTest {
protected:
    /* The access the handle's CCB records. */
    ACCESS_MASK GrantedOf(HANDLE handle, support::UserProcess &who)
    {
        return static_cast<PCCB>(FileObjectOf(handle, who)->FsContext2)->GrantedAccess;
    }
};

TEST_F(AccessTest, HandlesRecordTheMappedGrantWithoutImpliedRights)
{
    ASSERT_EQ(MakeVolume(), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\f"), STATUS_SUCCESS);
    struct {
        ACCESS_MASK asked;
        ULONG options;
        ACCESS_MASK recorded;
    } cases[] = {
        {GENERIC_READ, 0, FILE_GENERIC_READ},
        {GENERIC_WRITE, 0, FILE_GENERIC_WRITE},
        {MAXIMUM_ALLOWED, 0, FILE_ALL_ACCESS},
    };
    for (auto &c : cases) {
        OpenRequest rq;
        rq.access = c.asked;
        rq.options = c.options;
        HANDLE handle;
        ASSERT_EQ(OpenAs(*user, "\\f", &handle, rq), STATUS_SUCCESS) << std::hex << c.asked;
        EXPECT_EQ(GrantedOf(handle, *user), c.recorded | SYNCHRONIZE) << std::hex << c.asked;
        EXPECT_EQ(CloseAs(*user, handle), STATUS_SUCCESS);
    }
    /* Overwrite implies writing: checked, not recorded. */
    OpenRequest rq;
    rq.access = FILE_READ_DATA;
    rq.disposition = FILE_OVERWRITE;
    HANDLE handle;
    ASSERT_EQ(OpenAs(*user, "\\f", &handle, rq), STATUS_SUCCESS);
    EXPECT_EQ(GrantedOf(handle, *user), (ACCESS_MASK)(FILE_READ_DATA | SYNCHRONIZE));
    EXPECT_EQ(CloseAs(*user, handle), STATUS_SUCCESS);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

TEST_F(AccessTest, ADescriptorRefusesWhatItDoesNotGrant)
{
    ASSERT_EQ(MakeVolume(), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\readonly"), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\locked", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    Protect("\\readonly", L"O:BAG:SYD:(A;;FR;;;WD)");
    Protect("\\locked", L"O:BAG:SYD:(A;;FR;;;WD)");

    HANDLE handle;
    OpenRequest rq;
    rq.access = FILE_READ_DATA;
    ASSERT_EQ(OpenAs(*user, "\\readonly", &handle, rq), STATUS_SUCCESS);
    EXPECT_EQ(CloseAs(*user, handle), STATUS_SUCCESS);
    rq.access = FILE_WRITE_DATA;
    EXPECT_EQ(OpenAs(*user, "\\readonly", &handle, rq), STATUS_ACCESS_DENIED);
    rq.access = FILE_READ_DATA;
    rq.disposition = FILE_OVERWRITE;
    EXPECT_EQ(OpenAs(*user, "\\readonly", &handle, rq), STATUS_ACCESS_DENIED) << "overwrite implies writing";
    rq.disposition = FILE_CREATE;
    EXPECT_EQ(OpenAs(*user, "\\locked\\new", &handle, rq), STATUS_ACCESS_DENIED) << "no right to add a file";
    rq.options = FILE_DIRECTORY_FILE;
    EXPECT_EQ(OpenAs(*user, "\\locked\\new", &handle, rq), STATUS_ACCESS_DENIED) << "no right to add a directory";
    EXPECT_FALSE(Exists("\\locked\\new"));

    rq = OpenRequest{};
    rq.access = FILE_READ_DATA | ACCESS_SYSTEM_SECURITY;
    EXPECT_EQ(OpenAs(*user, "\\readonly", &handle, rq), STATUS_PRIVILEGE_NOT_HELD);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

TEST_F(AccessTest, AVolumeWithoutSecurityGrantsWhatIsAsked)
{
    ASSERT_EQ(MakeVolume(VOREL_CREATE_NO_SECURITY), STATUS_SUCCESS);
    HANDLE handle;
    OpenRequest rq;
    rq.access = FILE_WRITE_DATA | FILE_READ_DATA;
    rq.disposition = FILE_CREATE;
    ASSERT_EQ(OpenAs(*user, "\\f", &handle, rq), STATUS_SUCCESS);
    EXPECT_EQ(NodeOf(handle), nullptr) << "the handle belongs to the other process";
    EXPECT_EQ(GrantedOf(handle, *user), (ACCESS_MASK)(FILE_WRITE_DATA | FILE_READ_DATA | SYNCHRONIZE));
    EXPECT_EQ(CloseAs(*user, handle), STATUS_SUCCESS);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

} // namespace
