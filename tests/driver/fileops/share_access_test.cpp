/*
 * Share access between two handles of one file, against a model of the rule:
 * a second open is refused when it asks for what the first does not share, or
 * does not share what the first holds (each pair opens on a file the pairs
 * before gave their sharing back to at cleanup). Implied access (the write
 * access of an overwrite) is checked but not recorded.
 */
#include "fileops_test.h"

namespace {

constexpr ACCESS_MASK kAccesses[] = {FILE_READ_ATTRIBUTES, FILE_READ_DATA, FILE_WRITE_DATA, FILE_APPEND_DATA, DELETE,
                                     FILE_READ_DATA | FILE_WRITE_DATA};
constexpr ULONG kShares[] = {0, FILE_SHARE_READ, FILE_SHARE_WRITE, FILE_SHARE_DELETE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE};

bool Conflicts(ACCESS_MASK held, ULONG heldShare, ACCESS_MASK asked, ULONG askedShare)
{
    auto reads = [](ACCESS_MASK a) { return (a & (FILE_READ_DATA | FILE_EXECUTE)) != 0; };
    auto writes = [](ACCESS_MASK a) { return (a & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0; };
    auto deletes = [](ACCESS_MASK a) { return (a & DELETE) != 0; };
    auto refuses = [&](ACCESS_MASK a, ULONG share) {
        return (reads(a) && !(share & FILE_SHARE_READ)) || (writes(a) && !(share & FILE_SHARE_WRITE)) ||
               (deletes(a) && !(share & FILE_SHARE_DELETE));
    };
    bool heldUses = reads(held) || writes(held) || deletes(held);
    bool askedUses = reads(asked) || writes(asked) || deletes(asked);
    if (!heldUses || !askedUses)
        return false;
    return refuses(asked, heldShare) || refuses(held, askedShare);
}

TEST_F(FileOpsTest, TwoHandlesShareAsTheModelSays)
{
    ASSERT_EQ(MakeVolume(), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\f"), STATUS_SUCCESS);
    for (ACCESS_MASK firstAccess : kAccesses) {
        for (ULONG firstShare : kShares) {
            OpenRequest first;
            first.access = firstAccess;
            first.share = firstShare;
            HANDLE one;
            ASSERT_EQ(Open("\\f", &one, first), STATUS_SUCCESS);
            for (ACCESS_MASK secondAccess : kAccesses) {
                for (ULONG secondShare : kShares) {
                    OpenRequest second;
                    second.access = secondAccess;
                    second.share = secondShare;
                    HANDLE two = nullptr;
                    NTSTATUS status = Open("\\f", &two, second);
                    bool conflict = Conflicts(firstAccess, firstShare, secondAccess, secondShare);
                    EXPECT_EQ(status, conflict ? STATUS_SHARING_VIOLATION : STATUS_SUCCESS)
                        << std::hex << firstAccess << "/" << firstShare << " then " << secondAccess << "/"
                        << secondShare;
                    if (NT_SUCCESS(status)) {
                        EXPECT_EQ(Close(two), STATUS_SUCCESS);
                    }
                }
            }
            EXPECT_EQ(Close(one), STATUS_SUCCESS);
            if (HasFailure())
                break;
        }
    }
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

/* Overwrite implies write access: checked against the holders, kept out of the record. */
TEST_F(FileOpsTest, ImpliedAccessIsCheckedButNotRecorded)
{
    ASSERT_EQ(MakeVolume(), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\f"), STATUS_SUCCESS);
    HANDLE one, two;
    OpenRequest reader;
    reader.access = FILE_READ_DATA;
    reader.share = FILE_SHARE_READ;
    ASSERT_EQ(Open("\\f", &one, reader), STATUS_SUCCESS);
    OpenRequest overwrite;
    overwrite.access = FILE_READ_DATA;
    overwrite.disposition = FILE_OVERWRITE;
    EXPECT_EQ(Open("\\f", &two, overwrite), STATUS_SHARING_VIOLATION) << "the reader shares no writing";
    EXPECT_EQ(Close(one), STATUS_SUCCESS);
    overwrite.share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    ASSERT_EQ(Open("\\f", &two, overwrite), STATUS_SUCCESS);
    PFCB node = NodeOf(two);
    EXPECT_EQ(node->ShareAccess.Writers, 0u) << "implied write access is not recorded";
    EXPECT_EQ(node->ShareAccess.Readers, 1u);
    ASSERT_EQ(Open("\\f", &one, reader), STATUS_SUCCESS) << "so a reader that shares no writing still opens";
    EXPECT_EQ(Close(one), STATUS_SUCCESS);
    EXPECT_EQ(Close(two), STATUS_SUCCESS);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

} // namespace
