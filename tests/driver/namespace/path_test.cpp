/*
 * Names and paths: valid new names, case-blind hashing, and walking a path to the
 * parent of its last component.
 */
#include "namespace_test.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace {

using PathTest = NamespaceTest;

TEST_F(PathTest, ValidNewNames)
{
    for (const char16_t *good : {u"a", u"   ", u"name.", u"...", u".hidden", u"a b.c d", u"\u00e9t\u00e9", u""}) {
        TestName name(good);
        EXPECT_TRUE(n->IsValidNewName(&name.string)) << std::string(name.text.begin(), name.text.end());
    }
    for (const char16_t *bad : {u".", u"..", u"a:b", u"stream:$DATA", u"a*", u"a?", u"a\"", u"a<", u"a>", u"a|",
                                u"a/b", u"a\\b", u"tab\t", u"\x1f"}) {
        TestName name(bad);
        EXPECT_FALSE(n->IsValidNewName(&name.string)) << std::string(name.text.begin(), name.text.end());
    }
}

TEST_F(PathTest, HashIgnoresCaseUpToTheUpcaseLimit)
{
    TestName upper(u"ABC.TXT"), mixed(u"abc.Txt"), other(u"abd.txt");
    EXPECT_EQ(n->HashName(&upper.string), n->HashName(&mixed.string));
    EXPECT_NE(n->HashName(&upper.string), n->HashName(&other.string));
    EXPECT_EQ(n->HashName(&mixed.string), XXH3_64bits(upper.text.data(), upper.string.Length))
        << "XXH3 64-bit, seed 0, over the upper-cased UTF-16 bytes";
    TestName long1(NameOfBytes(512, u'x')), long2(NameOfBytes(512, u'X'));
    EXPECT_EQ(n->HashName(&long1.string), n->HashName(&long2.string)) << "512 bytes are still upper-cased";
    TestName over1(NameOfBytes(514, u'x')), over2(NameOfBytes(514, u'X'));
    EXPECT_NE(n->HashName(&over1.string), n->HashName(&over2.string)) << "longer names hash as stored";
}

class WalkTest : public NamespaceTest {
protected:
    NTSTATUS Walk(const std::u16string &path, WALK_RESULT *result, bool wantReparse = false,
                  PTRAVERSE_CHECK check = nullptr, PVOID context = nullptr, bool targetDirectory = false)
    {
        TestName text(path);
        paths.push_back(text);
        NTSTATUS status = n->WalkPath(root, &paths.back().string, wantReparse, targetDirectory, check, context, result);
        if (status == STATUS_SUCCESS || status == STATUS_REPARSE)
            held.push_back(result->Parent);
        return status;
    }
    void TearDown() override
    {
        for (PFCB fcb : held)
            n->DereferenceNode(fcb);
        NamespaceTest::TearDown();
    }
    std::deque<TestName> paths;
    std::vector<PFCB> held;
};

TEST_F(WalkTest, ResolvesToTheParentOfTheLastComponent)
{
    PFCB a = Create(root, u"A", true);
    PFCB b = Create(a, u"b", true);
    Create(b, u"file");
    WALK_RESULT r;
    ASSERT_EQ(Walk(u"\\a\\B\\File", &r), STATUS_SUCCESS);
    EXPECT_EQ(r.Parent, b);
    EXPECT_EQ(ToU16(r.LastComponent), u"File") << "the last component comes back uninterpreted";
    EXPECT_EQ(Refs(b), 2) << "the parent is referenced for the caller";

    ASSERT_EQ(Walk(u"a\\b\\", &r), STATUS_SUCCESS) << "one trailing backslash is ignored";
    EXPECT_EQ(r.Parent, a);
    EXPECT_EQ(ToU16(r.LastComponent), u"b");
    ASSERT_EQ(Walk(u"\\", &r), STATUS_SUCCESS);
    EXPECT_EQ(r.Parent, root) << "no component opens the start";
    EXPECT_EQ(r.LastComponent.Length, 0);
    ASSERT_EQ(Walk(u"\\missing-is-fine", &r), STATUS_SUCCESS) << "the last component is not looked up";
    EXPECT_EQ(r.Parent, root);
}

TEST_F(WalkTest, FailuresHoldNothing)
{
    PFCB a = Create(root, u"a", true);
    PFCB file = Create(a, u"file");
    WALK_RESULT r;
    EXPECT_EQ(Walk(u"a\\\\b", &r), STATUS_OBJECT_NAME_INVALID) << "two backslashes in a row";
    EXPECT_EQ(Walk(u"a\\b\\\\", &r), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Walk(u"\\\\a", &r), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Walk(u"missing\\x", &r), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Walk(u"a\\missing\\x", &r), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Walk(u"a\\file\\x\\y", &r), STATUS_OBJECT_PATH_NOT_FOUND) << "a file is no intermediate directory";
    EXPECT_EQ(Refs(a), 1);
    EXPECT_EQ(Refs(file), 1);
    EXPECT_EQ(Refs(root), 1);
}

TEST_F(WalkTest, SixtyFourComponentsAndNoMore)
{
    PFCB dir = root;
    std::u16string path;
    for (int i = 0; i < 64; ++i) {
        dir = Create(dir, u"d", true);
        path += u"\\d";
    }
    WALK_RESULT r;
    ASSERT_EQ(Walk(path, &r), STATUS_SUCCESS);
    EXPECT_EQ(ToU16(r.LastComponent), u"d");
    EXPECT_EQ(Walk(path + u"\\d", &r), STATUS_OBJECT_NAME_INVALID) << "a 65th component";
}

TEST_F(WalkTest, StopsAtAnIntermediateReparsePointWhenAsked)
{
    PFCB a = Create(root, u"a", true);
    PFCB link = Create(a, u"link", true);
    Create(link, u"inner", true);
    link->ReparseTag = IO_REPARSE_TAG_MOUNT_POINT;
    WALK_RESULT r;
    ASSERT_EQ(Walk(u"\\a\\link\\inner\\x", &r, true), STATUS_REPARSE);
    EXPECT_EQ(r.Parent, link);
    EXPECT_EQ(r.RemainingLength, sizeof(u"\\inner\\x") - sizeof(char16_t));
    ASSERT_EQ(Walk(u"\\a\\link\\inner\\x", &r, false), STATUS_SUCCESS) << "without the wish the walk goes through";
    EXPECT_EQ(ToU16(r.LastComponent), u"x");
    ASSERT_EQ(Walk(u"\\a\\link", &r, true), STATUS_SUCCESS) << "a reparse point as the last component is the caller's";
    link->ReparseTag = 0;
}

TEST_F(WalkTest, TraverseCheckIsAskedForEveryDirectoryPassed)
{
    PFCB a = Create(root, u"a", true);
    PFCB locked = Create(a, u"locked", true);
    Create(locked, u"inner", true);
    struct Policy {
        PFCB denied;
        std::vector<PFCB> asked;
        PVCB vcb;
    } policy{locked, {}, vcb};
    auto check = [](PFCB directory, PVOID context) -> BOOLEAN {
        auto p = static_cast<Policy *>(context);
        p->asked.push_back(directory);
        EXPECT_TRUE(ExIsResourceAcquiredSharedLite(&directory->MainResource)) << "asked under the directory's resource";
        return directory == p->denied;
    };
    WALK_RESULT r;
    EXPECT_EQ(Walk(u"a\\locked\\inner\\x", &r, false, check, &policy), STATUS_ACCESS_DENIED);
    EXPECT_EQ(policy.asked, (std::vector<PFCB>{root, a, locked}));
    EXPECT_EQ(Refs(locked), 1);

    policy.asked.clear();
    EXPECT_EQ(Walk(u"a\\locked\\x", &r, false, check, &policy), STATUS_ACCESS_DENIED) << "the final parent is checked";
    policy.asked.clear();
    ASSERT_EQ(Walk(u"a\\locked\\x", &r, false, check, &policy, true), STATUS_SUCCESS)
        << "not when the request opens the parent itself";
    EXPECT_EQ(policy.asked, (std::vector<PFCB>{root, a}));
    policy.denied = nullptr;
    ASSERT_EQ(Walk(u"a\\locked\\inner\\x", &r, false, check, &policy), STATUS_SUCCESS);
}

} // namespace
