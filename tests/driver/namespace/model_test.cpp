/*
 * A randomised model test: names are added and removed across directories (hard
 * links, names that differ only in case, directories crossing the index
 * threshold), nodes are held and let go, and after every step the volume must
 * agree with a plain model about lookups in any case, enumeration order, link
 * counts, reference counts, open by id and the orphan list.
 */
#include "namespace_test.h"

#include <map>
#include <random>
#include <set>

namespace {

std::u16string Upper(std::u16string s)
{
    for (auto &c : s)
        if (c >= u'a' && c <= u'z')
            c -= 32;
    return s;
}

struct ModelEntry {
    std::u16string name;
    PFCB node;
};

class ModelTest : public NamespaceTest {
protected:
    struct Node {
        bool directory = false;
        int names = 0;
        int held = 0;
        ULONGLONG id = 0;
    };

    std::mt19937 rng;
    std::vector<PFCB> dirs;
    std::map<PFCB, std::vector<ModelEntry>> children;
    std::map<PFCB, Node> model;
    std::vector<PFCB> live;   /* every node the model knows that still exists */
    ULONGLONG lastId = 1;

    size_t Pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); }

    std::u16string RandomName()
    {
        static const char *stems[] = {"a", "readme.txt", "Data", "x y", "long-name-", "n"};
        std::string s = stems[Pick(6)];
        if (Pick(2) == 0)
            s += std::to_string(Pick(60));
        if (Pick(8) == 0)
            s += std::string(70, 'q'); /* beyond the inline buffer */
        for (auto &c : s)
            if (Pick(3) == 0)
                c = (char)toupper((unsigned char)c);
        return U16(s);
    }

    std::u16string RandomCase(const std::u16string &name)
    {
        std::u16string s = name;
        for (auto &c : s) {
            if (Pick(2) == 0 && c >= u'a' && c <= u'z')
                c -= 32;
            else if (Pick(2) == 0 && c >= u'A' && c <= u'Z')
                c += 32;
        }
        return s;
    }

    const ModelEntry *Find(PFCB dir, const std::u16string &name)
    {
        for (const auto &e : children[dir])
            if (Upper(e.name) == Upper(name))
                return &e;
        return nullptr;
    }

    void Forget(PFCB node)
    {
        model.erase(node);
        live.erase(std::find(live.begin(), live.end(), node));
        auto d = std::find(dirs.begin(), dirs.end(), node);
        if (d != dirs.end())
            dirs.erase(d);
    }

    /* A new file or directory, or a hard link of an existing file, unless the name is taken. */
    void AddStep(bool directory, bool hardLink)
    {
        PFCB dir = dirs[Pick(dirs.size())];
        std::u16string name = RandomName();
        PLINK existing = Lookup(dir, name);
        const ModelEntry *expected = Find(dir, name);
        ASSERT_EQ(existing != nullptr, expected != nullptr) << "lookup before adding";
        if (existing != nullptr) {
            EXPECT_EQ(existing->Node, expected->node);
            return;
        }
        bool deletedDir = dir != root && model[dir].names == 0;
        PFCB node = nullptr;
        if (hardLink) {
            std::vector<PFCB> files;
            for (auto &[fcb, m] : model)
                if (!m.directory)
                    files.push_back(fcb);
            if (files.empty())
                return;
            node = files[Pick(files.size())];
            NTSTATUS expected = deletedDir ? STATUS_DELETE_PENDING
                                : model[node].names == 0 ? STATUS_ACCESS_DENIED : STATUS_SUCCESS;
            ASSERT_EQ(AddName(dir, node, name), expected) << "a name for an existing file";
            if (expected != STATUS_SUCCESS)
                return;
        } else {
            node = NewNode(directory);
            ASSERT_NE(node, nullptr);
            EXPECT_GT(node->NodeId, lastId) << "node ids are never reused";
            lastId = node->NodeId;
            if (deletedDir) {
                EXPECT_EQ(AddName(dir, node, name), STATUS_DELETE_PENDING) << "a name in a deleted directory";
                n->DereferenceNode(node);
                return;
            }
            ASSERT_EQ(AddName(dir, node, name), STATUS_SUCCESS);
            n->DereferenceNode(node);
            model[node] = Node{directory, 0, 0, node->NodeId};
            live.push_back(node);
            if (directory)
                dirs.push_back(node);
        }
        model[node].names++;
        children[dir].push_back({name, node});
    }

    /* Removes a random name: of a file, or of an empty directory. */
    void RemoveStep()
    {
        std::vector<std::pair<PFCB, size_t>> candidates;
        for (auto &[dir, list] : children)
            for (size_t i = 0; i < list.size(); ++i)
                if (!model[list[i].node].directory || children[list[i].node].empty())
                    candidates.push_back({dir, i});
        if (candidates.empty())
            return;
        auto [dir, index] = candidates[Pick(candidates.size())];
        ModelEntry entry = children[dir][index];
        PLINK link = Lookup(dir, RandomCase(entry.name));
        ASSERT_NE(link, nullptr);
        ASSERT_EQ(link->Node, entry.node);
        Node &m = model[entry.node];
        bool willGo = m.names == 1 && m.held == 0;
        bool keepsAName = m.names > 1;
        if (keepsAName)
            entry.node->DeletePending = TRUE; /* as a delete-on-close of this name sets it */
        Remove(link);
        children[dir].erase(children[dir].begin() + (long)index);
        m.names--;
        if (keepsAName) {
            EXPECT_FALSE(entry.node->DeletePending) << "a node that keeps a name is no longer being deleted";
        }
        if (willGo) {
            children.erase(entry.node);
            Forget(entry.node);
        }
    }

    /* Takes or drops a holder's reference on a random node (handles, walks, posted requests). */
    void HoldStep()
    {
        if (live.empty())
            return;
        PFCB node = live[Pick(live.size())];
        Node &m = model[node];
        if (m.held > 0 && Pick(2) == 0) {
            m.held--;
            bool goes = m.held == 0 && m.names == 0;
            n->DereferenceNode(node);
            if (goes)
                Forget(node);
        } else if (m.names > 0 || m.held > 0) {
            m.held++;
            n->ReferenceNode(node);
        }
    }

    void Check(const std::string &where)
    {
        for (PFCB dir : dirs) {
            std::vector<std::u16string> expected;
            for (const auto &e : children[dir])
                expected.push_back(e.name);
            ASSERT_EQ(Children(dir), expected) << where << ": enumeration order";
            EXPECT_EQ(dir->ChildCount, expected.size()) << where;
            EXPECT_EQ((bool)dir->HasChildIndex, expected.size() > 32) << where;
            for (const auto &e : children[dir]) {
                PLINK link = Lookup(dir, RandomCase(e.name));
                ASSERT_NE(link, nullptr) << where;
                EXPECT_EQ(link->Node, e.node) << where;
                EXPECT_EQ(ToU16(link->Name), e.name) << where << ": the stored case";
            }
        }
        size_t orphans = 0;
        for (auto &[node, m] : model) {
            EXPECT_EQ(node->LinkCount, (ULONG)m.names) << where;
            EXPECT_EQ(Refs(node), (m.names > 0 ? 1 : 0) + m.held) << where << ": reference count";
            EXPECT_EQ((bool)node->Unlinked, m.names == 0) << where;
            PFCB byId = n->LookupNodeById(vcb, m.id);
            EXPECT_EQ(byId, m.names > 0 ? node : nullptr) << where << ": open by id";
            if (byId != nullptr)
                n->DereferenceNode(byId);
            orphans += m.names == 0;
        }
        size_t listed = 0;
        for (PLIST_ENTRY e = vcb->OrphanList.Flink; e != &vcb->OrphanList; e = e->Flink)
            listed++;
        EXPECT_EQ(listed, orphans) << where << ": orphan list";
        EXPECT_EQ(vcb->NodeIdIndex.EntryCount, model.size() - orphans) << where;
    }

    void Run(unsigned seed, int steps)
    {
        rng.seed(seed);
        dirs = {root};
        children[root] = {};
        for (int step = 0; step < steps; ++step) {
            size_t op = Pick(20);
            if (op < 7)
                AddStep(false, false);
            else if (op < 9)
                AddStep(true, false);
            else if (op < 12)
                AddStep(false, true);
            else if (op < 17)
                RemoveStep();
            else
                HoldStep();
            if (HasFatalFailure())
                return;
            if (step % 25 == 0 || step == steps - 1)
                Check("seed " + std::to_string(seed) + " step " + std::to_string(step));
            if (HasFatalFailure())
                return;
        }
        /* Let every holder go; what is named stays for the teardown. */
        for (auto it = model.begin(); it != model.end();) {
            PFCB node = it->first;
            int held = it->second.held;
            bool named = it->second.names > 0;
            ++it;
            for (int i = 0; i < held; ++i)
                n->DereferenceNode(node);
            if (!named)
                Forget(node);
        }
        EXPECT_TRUE(IsListEmpty(&vcb->OrphanList));
    }
};

TEST_F(ModelTest, RandomNamesAgreeWithTheModel)
{
    Run(1, 3000);
}

TEST_F(ModelTest, RandomNamesAgreeWithTheModelAnotherSeed)
{
    Run(20261207, 3000);
}

} // namespace
