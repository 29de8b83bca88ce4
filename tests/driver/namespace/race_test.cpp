/*
 * Path walks racing with deletes and re-creates of the directories they pass
 * through: a walk sees each directory before or after the change, ends with a
 * clean status, and whatever parent it hands back stays a live node while the
 * walker holds it.
 */
#include "namespace_test.h"

#include "system_threads.h"

#include <atomic>

namespace {

using RaceTest = NamespaceTest;

TEST_F(RaceTest, WalksAcrossDirectoriesBeingReplaced)
{
    Create(root, u"a", true);
    std::atomic<bool> stop{false};
    std::atomic<int> found{0}, missing{0}, wrong{0};
    auto walker = [&] {
        KeEnterCriticalRegion();
        const std::u16string text = u"\\a\\b\\c\\leaf";
        UNICODE_STRING path;
        path.Buffer = (PWCH)text.data();
        path.Length = path.MaximumLength = (USHORT)(text.size() * sizeof(char16_t));
        while (!stop.load()) {
            WALK_RESULT result;
            NTSTATUS status = n->WalkPath(root, &path, FALSE, FALSE, nullptr, nullptr, &result);
            if (status == STATUS_OBJECT_PATH_NOT_FOUND) {
                missing++;
                continue;
            }
            if (status != STATUS_SUCCESS) {
                wrong++;
                continue;
            }
            ULONGLONG id = result.Parent->NodeId;
            for (int spin = 0; spin < 50; ++spin) {
                if (result.Parent->Signature != FCB_SIGNATURE || result.Parent->NodeId != id ||
                    !result.Parent->IsDirectory)
                    wrong++;
            }
            n->DereferenceNode(result.Parent);
            found++;
        }
        KeLeaveCriticalRegion();
    };
    PKTHREAD threads[2] = {StartThread(walker), StartThread(walker)};
    ASSERT_TRUE(threads[0] != nullptr && threads[1] != nullptr);

    PFCB a = Lookup(root, u"a")->Node;
    /* Replace the directories until the walkers have both found and missed them often. */
    for (int round = 0; round < 300 || ((found.load() < 200 || missing.load() < 200) && round < 200000); ++round) {
        PFCB b = Create(a, u"b", true);
        PFCB c = Create(b, u"c", true);
        Create(c, u"leaf");
        Remove(Lookup(c, u"leaf"));
        Remove(Lookup(b, u"c"));
        Remove(Lookup(a, u"b"));
    }
    stop = true;
    for (PKTHREAD thread : threads)
        JoinThread(thread);
    EXPECT_EQ(wrong.load(), 0) << "a walk ended badly or its parent died under it";
    EXPECT_GE(found.load(), 200);
    EXPECT_GE(missing.load(), 200);
    EXPECT_TRUE(IsListEmpty(&vcb->OrphanList)) << "every directory a walker held went at its release";
}

} // namespace
