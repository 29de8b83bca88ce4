/*
 * Access checks of opens and path walks: a matrix of descriptors, tokens and
 * requests against what Windows grants (owner, group, Everyone, deny before
 * allow, inherited entries, backup and restore intent, read-only files, the
 * directory's delete-child right, restricted tokens), and the traverse check
 * wired into the path walk.
 */
#include "security_test.h"

namespace {

constexpr ACCESS_MASK kRead = FILE_GENERIC_READ, kWrite = FILE_GENERIC_WRITE, kAll = FILE_ALL_ACCESS;
constexpr ACCESS_MASK kReadOnlyDenied = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD;

/*
 * One row: the node's descriptor, its directory's (nullptr: one that lends
 * nothing; kDefault: the volume default it inherited), what a user asks for, and
 * the answer.
 */
const wchar_t kDefault[] = L"";
struct Row {
    const char *what;
    const wchar_t *node;
    const wchar_t *parent;
    ACCESS_MASK desired;
    NTSTATUS status;
    ACCESS_MASK granted;
};

const Row kMatrix[] = {
    {"Everyone may read", L"O:BAG:SYD:(A;;FR;;;WD)", nullptr, kRead, STATUS_SUCCESS, kRead},
    {"Everyone may not write", L"O:BAG:SYD:(A;;FR;;;WD)", nullptr, FILE_WRITE_DATA, STATUS_ACCESS_DENIED, 0},
    {"generic read maps", L"O:BAG:SYD:(A;;FR;;;WD)", nullptr, GENERIC_READ, STATUS_SUCCESS, kRead},
    {"the user's entry", L"O:BAG:SYD:(A;;FA;;;S-1-22-1-1000)", nullptr, GENERIC_ALL, STATUS_SUCCESS, kAll},
    {"another user's entry", L"O:BAG:SYD:(A;;FA;;;S-1-22-1-1001)", nullptr, kRead, STATUS_ACCESS_DENIED, 0},
    {"the primary group's entry", L"O:BAG:SYD:(A;;FW;;;S-1-22-2-1000)", nullptr, kWrite, STATUS_SUCCESS, kWrite},
    {"the owner may read and change the DACL without an entry", L"O:S-1-22-1-1000G:SYD:", nullptr,
     READ_CONTROL | WRITE_DAC, STATUS_SUCCESS, READ_CONTROL | WRITE_DAC},
    {"but nothing else", L"O:S-1-22-1-1000G:SYD:", nullptr, FILE_READ_DATA, STATUS_ACCESS_DENIED, 0},
    {"an empty DACL denies all", L"O:BAG:SYD:", nullptr, FILE_READ_ATTRIBUTES, STATUS_ACCESS_DENIED, 0},
    {"the volume default's directory lends read-attributes", L"O:BAG:SYD:", kDefault, FILE_READ_ATTRIBUTES,
     STATUS_SUCCESS, FILE_READ_ATTRIBUTES},
    {"no DACL allows all", L"O:BAG:SY", nullptr, GENERIC_ALL, STATUS_SUCCESS, kAll},
    {"deny before allow denies", L"O:BAG:SYD:(D;;FW;;;WD)(A;;FA;;;WD)", nullptr, FILE_WRITE_DATA,
     STATUS_ACCESS_DENIED, 0},
    {"deny before allow leaves the rest", L"O:BAG:SYD:(D;;FW;;;WD)(A;;FA;;;WD)", nullptr, FILE_READ_DATA,
     STATUS_SUCCESS, FILE_READ_DATA},
    {"allow before deny grants", L"O:BAG:SYD:(A;;FA;;;WD)(D;;FW;;;WD)", nullptr, FILE_WRITE_DATA, STATUS_SUCCESS,
     FILE_WRITE_DATA},
    {"a denied group entry", L"O:BAG:SYD:(D;;FR;;;S-1-22-2-1000)(A;;FA;;;WD)", nullptr, FILE_READ_DATA,
     STATUS_ACCESS_DENIED, 0},
    {"maximum allowed grants what the entries sum to", L"O:BAG:SYD:(A;;FR;;;WD)(A;;FW;;;S-1-22-1-1000)", nullptr,
     MAXIMUM_ALLOWED, STATUS_SUCCESS, kRead | kWrite},
    {"and what the volume default's directory lends", L"O:BAG:SYD:(A;;FR;;;WD)(A;;FW;;;S-1-22-1-1000)", kDefault,
     MAXIMUM_ALLOWED, STATUS_SUCCESS, kRead | kWrite | DELETE},
    {"maximum allowed and nothing allowed", L"O:BAG:SYD:(A;;FA;;;S-1-22-1-1001)", nullptr, MAXIMUM_ALLOWED,
     STATUS_ACCESS_DENIED, 0},

    /* The directory's rights lend DELETE and FILE_READ_ATTRIBUTES. */
    {"delete through the directory's delete-child", L"O:BAG:SYD:(A;;FR;;;WD)", L"O:BAG:SYD:(A;;0x40;;;WD)", DELETE,
     STATUS_SUCCESS, DELETE},
    {"delete and read through it", L"O:BAG:SYD:(A;;FR;;;WD)", L"O:BAG:SYD:(A;;0x40;;;WD)",
     DELETE | FILE_READ_DATA, STATUS_SUCCESS, DELETE | FILE_READ_DATA},
    {"delete and write: the file still refuses the write", L"O:BAG:SYD:(A;;FR;;;WD)", L"O:BAG:SYD:(A;;0x40;;;WD)",
     DELETE | FILE_WRITE_DATA, STATUS_ACCESS_DENIED, 0},
    {"no delete without delete-child", L"O:BAG:SYD:(A;;FR;;;WD)", L"O:BAG:SYD:(A;;FA;;;S-1-22-1-1001)", DELETE,
     STATUS_ACCESS_DENIED, 0},
    {"read attributes through list-directory", L"O:BAG:SYD:", L"O:BAG:SYD:(A;;0x1;;;WD)", FILE_READ_ATTRIBUTES,
     STATUS_SUCCESS, FILE_READ_ATTRIBUTES},
    {"maximum allowed gains both", L"O:BAG:SYD:(A;;FR;;;WD)", L"O:BAG:SYD:(A;;0x41;;;WD)", MAXIMUM_ALLOWED,
     STATUS_SUCCESS, kRead | DELETE},
    {"maximum allowed gains only what the directory gives", L"O:BAG:SYD:(A;;0x1;;;WD)",
     L"O:BAG:SYD:(A;;0x40;;;WD)", MAXIMUM_ALLOWED, STATUS_SUCCESS, FILE_READ_DATA | DELETE},
};

TEST_F(SecurityTest, OpenAccessMatrix)
{
    PVOID user = UserToken();
    auto r = Request(user);
    for (const Row &row : kMatrix) {
        SCOPED_TRACE(row.what);
        PFCB dir = NewChild(root, u"dir", user, true);
        PFCB file = NewChild(dir, u"file", user);
        ASSERT_NE(file, nullptr);
        Protect(file, row.node);
        if (row.parent != kDefault)
            Protect(dir, row.parent != nullptr ? row.parent : L"O:BAG:SYD:");
        Outcome o = Open(r->input, file, dir, row.desired);
        EXPECT_EQ(o.status, row.status);
        EXPECT_EQ(o.granted, row.granted);
        Remove(Lookup(dir, u"file"));
        Remove(Lookup(root, u"dir"));
    }
}

/* Inherited entries decide for a new file as its own entries would. */
TEST_F(SecurityTest, InheritedEntries)
{
    PVOID user = UserToken();
    auto r = Request(user);
    PFCB dir = NewChild(root, u"dir", user, true);
    Protect(dir, L"O:BAG:SYD:(D;OICI;FW;;;S-1-22-1-1000)(A;OICI;FA;;;WD)");
    PFCB file = NewChild(dir, u"file", user);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(Sddl(file), "O:S-1-22-1-1000G:S-1-22-2-1000D:AI(D;ID;FW;;;S-1-22-1-1000)(A;ID;FA;;;WD)");
    EXPECT_FALSE(file->DefaultSecurity);
    EXPECT_EQ(Open(r->input, file, dir, FILE_READ_DATA).status, STATUS_SUCCESS);
    EXPECT_EQ(Open(r->input, file, dir, FILE_APPEND_DATA).status, STATUS_ACCESS_DENIED);
    auto other = Request(UserToken(2000));
    EXPECT_EQ(Open(other->input, file, dir, FILE_APPEND_DATA).status, STATUS_SUCCESS);
}

/* Backup and restore intent: the privileges override the descriptor only for their sets and only with intent. */
TEST_F(SecurityTest, BackupAndRestoreIntent)
{
    PVOID backup = PrivilegedToken({SeExports->SeBackupPrivilege});
    PVOID restore = PrivilegedToken({SeExports->SeRestorePrivilege});
    PVOID both = PrivilegedToken({SeExports->SeBackupPrivilege, SeExports->SeRestorePrivilege});
    PFCB dir = NewChild(root, u"dir", UserToken(), true);
    PFCB file = NewChild(dir, u"file", UserToken());
    Protect(file, L"O:BAG:SYD:");
    Protect(dir, L"O:BAG:SYD:");

    struct Case {
        const char *what;
        PVOID token;
        bool intent, backupHeld, restoreHeld;
        ACCESS_MASK desired;
        NTSTATUS status;
        ACCESS_MASK granted;
    } cases[] = {
        {"backup reads", backup, true, true, false, GENERIC_READ, STATUS_SUCCESS, kRead},
        {"backup does not write", backup, true, true, false, FILE_WRITE_DATA, STATUS_ACCESS_DENIED, 0},
        {"backup without intent", backup, false, true, false, GENERIC_READ, STATUS_ACCESS_DENIED, 0},
        {"intent without the privilege", UserToken(), true, false, false, GENERIC_READ, STATUS_ACCESS_DENIED, 0},
        {"restore writes and deletes", restore, true, false, true, FILE_WRITE_DATA | DELETE | WRITE_DAC,
         STATUS_SUCCESS, FILE_WRITE_DATA | DELETE | WRITE_DAC},
        {"restore does not read data", restore, true, false, true, FILE_READ_DATA, STATUS_ACCESS_DENIED, 0},
        {"both read and write", both, true, true, true, GENERIC_READ | GENERIC_WRITE, STATUS_SUCCESS, kRead | kWrite},
        {"both, maximum allowed: delete-child lies outside both sets", both, true, true, true, MAXIMUM_ALLOWED,
         STATUS_ACCESS_DENIED, 0},
        {"both, the union of the sets", both, true, true, true, 0x11F01BF, STATUS_SUCCESS, 0x11F01BF},
        {"the security bit through backup intent", backup, true, true, false, ACCESS_SYSTEM_SECURITY | READ_CONTROL,
         STATUS_SUCCESS, ACCESS_SYSTEM_SECURITY | READ_CONTROL},
        {"the security bit without intent", backup, false, true, false, ACCESS_SYSTEM_SECURITY,
         STATUS_PRIVILEGE_NOT_HELD, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        auto r = Request(c.token);
        r->input.BackupIntent = c.intent;
        r->input.BackupPrivilege = c.backupHeld;
        r->input.RestorePrivilege = c.restoreHeld;
        Outcome o = Open(r->input, file, dir, c.desired);
        EXPECT_EQ(o.status, c.status);
        EXPECT_EQ(o.granted, c.granted);
    }

    /* A check that succeeds on its own gains the privileges' sets with intent, limited to what was asked. */
    Protect(file, L"O:BAG:SYD:(A;;FR;;;WD)");
    auto r = Request(restore);
    r->input.BackupIntent = TRUE;
    r->input.RestorePrivilege = TRUE;
    EXPECT_EQ(Open(r->input, file, dir, FILE_READ_DATA).granted, (ACCESS_MASK)FILE_READ_DATA);
    EXPECT_EQ(Open(r->input, file, dir, FILE_READ_DATA | FILE_WRITE_DATA).status, STATUS_ACCESS_DENIED)
        << "reading data lies outside the restore set";
    EXPECT_EQ(Open(r->input, file, dir, MAXIMUM_ALLOWED).granted, kRead | 0x11F0116u);
}

/* The security bit needs the security privilege; a holder gets it added back to what was granted. */
TEST_F(SecurityTest, SystemSecurityNeedsThePrivilege)
{
    PFCB file = NewChild(root, u"file", UserToken());
    Protect(file, L"O:BAG:SYD:(A;;FA;;;WD)");
    auto plain = Request(UserToken());
    Outcome o = Open(plain->input, file, root, ACCESS_SYSTEM_SECURITY | FILE_READ_DATA);
    EXPECT_EQ(o.status, STATUS_PRIVILEGE_NOT_HELD);
    EXPECT_EQ(o.granted, 0u);
    auto holder = Request(PrivilegedToken({SeExports->SeSecurityPrivilege}));
    o = Open(holder->input, file, root, ACCESS_SYSTEM_SECURITY | FILE_READ_DATA);
    EXPECT_EQ(o.status, STATUS_SUCCESS);
    EXPECT_EQ(o.granted, (ACCESS_MASK)(ACCESS_SYSTEM_SECURITY | FILE_READ_DATA));
}

/* MAXIMUM_ALLOWED never grants writing a read-only file's data, by either path; directories are unaffected. */
TEST_F(SecurityTest, MaximumAllowedOnReadOnlyFiles)
{
    PVOID user = UserToken();
    auto r = Request(user);
    PFCB file = NewChild(root, u"file", user);
    PFCB dir = NewChild(root, u"dir", user, true);
    file->Attributes = FILE_ATTRIBUTE_READONLY;
    dir->Attributes = FILE_ATTRIBUTE_READONLY;
    ASSERT_TRUE(file->DefaultSecurity);

    Outcome fast = Open(r->input, file, root, MAXIMUM_ALLOWED);
    EXPECT_EQ(fast.status, STATUS_SUCCESS);
    EXPECT_EQ(fast.granted, kAll & ~kReadOnlyDenied);
    EXPECT_EQ(Open(r->input, file, root, FILE_WRITE_DATA).granted, (ACCESS_MASK)FILE_WRITE_DATA)
        << "an explicit request is the create path's to refuse";
    EXPECT_EQ(Open(r->input, dir, root, MAXIMUM_ALLOWED).granted, kAll);

    Protect(file, L"O:BAG:SYD:(A;;FA;;;WD)");
    Outcome checked = Open(r->input, file, root, MAXIMUM_ALLOWED);
    EXPECT_EQ(checked.status, STATUS_SUCCESS);
    EXPECT_EQ(checked.granted, kAll & ~kReadOnlyDenied);

    auto b = Request(PrivilegedToken({SeExports->SeRestorePrivilege}));
    b->input.BackupIntent = b->input.RestorePrivilege = TRUE;
    EXPECT_EQ(Open(b->input, file, root, MAXIMUM_ALLOWED).granted & kReadOnlyDenied, 0u);
}

/*
 * Nodes under the volume default skip the evaluation for ordinary tokens only: a
 * restricted token is checked against its restricting SIDs and refused here.
 */
TEST_F(SecurityTest, RestrictedTokensSkipTheFastGrant)
{
    PVOID restricted = RestrictedToken();
    PFCB file = NewChild(root, u"file", UserToken());
    ASSERT_TRUE(file->DefaultSecurity);
    auto asOrdinary = Request(restricted, true);
    EXPECT_EQ(Open(asOrdinary->input, file, root, GENERIC_READ).status, STATUS_SUCCESS) << "what the fast grant would do";
    auto r = Request(restricted, false);
    Outcome o = Open(r->input, file, root, GENERIC_READ);
    EXPECT_EQ(o.status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(o.granted, 0u);

    /* Not required (kernel mode): whatever is asked, mapped. */
    r->input.CheckRequired = FALSE;
    EXPECT_EQ(Open(r->input, file, root, GENERIC_READ).granted, kRead);
}

/* The traverse check: path walks by users without the bypass privilege need FILE_TRAVERSE on each directory. */
TEST_F(SecurityTest, TraverseCheckInPathWalks)
{
    PVOID user = UserToken();
    PFCB a = NewChild(root, u"a", user, true);
    PFCB b = NewChild(a, u"b", user, true);
    ASSERT_NE(NewChild(b, u"file", user), nullptr);
    TestName path(u"\\a\\b\\file");
    auto walk = [&](PACCESS_CHECK_INPUT input, BOOLEAN target = FALSE) {
        WALK_RESULT result;
        PTRAVERSE_CHECK check = n->SelectTraverseCheck(vcb, input);
        NTSTATUS status = n->WalkPath(root, &path.string, FALSE, target, check, input, &result);
        if (NT_SUCCESS(status))
            n->DereferenceNode(result.Parent);
        return status;
    };

    auto r = Request(user);
    EXPECT_EQ(walk(&r->input), STATUS_SUCCESS) << "default security passes";
    Protect(b, L"O:BAG:SYD:(A;;FR;;;WD)");
    EXPECT_EQ(walk(&r->input), STATUS_ACCESS_DENIED) << "read without traverse";
    EXPECT_EQ(walk(&r->input, TRUE), STATUS_SUCCESS) << "a target-directory open does not traverse the last parent";
    Protect(b, L"O:BAG:SYD:(A;;FX;;;WD)");
    EXPECT_EQ(walk(&r->input), STATUS_SUCCESS);
    Protect(a, L"O:BAG:SYD:(D;;0x20;;;S-1-22-1-1000)(A;;FA;;;WD)");
    EXPECT_EQ(walk(&r->input), STATUS_ACCESS_DENIED) << "denied at the first directory";

    r->input.TraversePrivilege = TRUE;
    EXPECT_EQ(walk(&r->input), STATUS_SUCCESS) << "the bypass privilege skips the check";
    r->input.TraversePrivilege = FALSE;
    r->input.AccessMode = KernelMode;
    EXPECT_EQ(walk(&r->input), STATUS_SUCCESS) << "kernel callers are not checked";
}

} // namespace
