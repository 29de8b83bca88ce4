/*
 * Names and paths: valid new names, and walking a path to the parent of its last
 * component: failures hold nothing, and a reparse point stops the walk on request.
 */
#include "namespace_test.h"

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

} // namespace
