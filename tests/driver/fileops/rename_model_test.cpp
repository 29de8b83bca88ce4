/*
 * A randomised model test of names: creates, renames (with and without
 * replace, within and across directories, by relative and full names, in any
 * letter case), hard links, plain deletes and POSIX deletes with another handle
 * open, checked after every step against a model of which file each path names:
 * every path of the small universe is opened, and every file's hard-link list and
 * link count are read.
 */
#include "set_information_test.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <random>

namespace {

const char *const kDirs[] = {"", "\\x", "\\y", "\\x\\z"};
const char *const kNames[] = {"n0", "n1", "n2", "n3", "n4"};

class RenameModelTest : public SetInformationTest, public ::testing::WithParamInterface<unsigned> {
protected:
    struct Model {
        std::map<std::string, ULONGLONG> fileAt;            /* path (lower case) -> node id */
    };

    static std::string Lower(std::string text)
    {
        std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return (char)std::tolower(c); });
        return text;
    }
    static std::string DirOf(const std::string &path) { return path.substr(0, path.rfind('\\')); }
    static std::string NameIn(const std::string &path) { return path.substr(path.rfind('\\') + 1); }

    /* Each path of the universe opens the model's node, or nothing; each node lists exactly its names. */
    void Check(const Model &model, int step)
    {
        for (const char *dir : kDirs)
            for (const char *name : kNames) {
                std::string path = std::string(dir) + "\\" + name;
                auto it = model.fileAt.find(path);
                ASSERT_EQ(IdAt(path), it == model.fileAt.end() ? 0 : it->second) << "step " << step << " " << path;
            }
        std::map<ULONGLONG, std::set<std::pair<ULONGLONG, std::string>>> links;
        for (const auto &[path, id] : model.fileAt)
            links[id].insert({dirIds.at(DirOf(path)), NameIn(path)});
        for (const auto &[id, names] : links) {
            std::string path;
            for (const auto &[p, i] : model.fileAt)
                if (i == id)
                    path = p;
            HANDLE handle;
            OpenRequest rq;
            rq.access = FILE_READ_ATTRIBUTES;
            ASSERT_EQ(Open(path, &handle, rq), STATUS_SUCCESS) << "step " << step;
            std::set<std::pair<ULONGLONG, std::string>> reported;
            for (const auto &[parent, name] : LinksOf(handle))
                reported.insert({parent, Lower(name)});
            EXPECT_EQ(reported, names) << "step " << step << " " << path;
            EXPECT_EQ(Standard(handle).NumberOfLinks, names.size()) << "step " << step << " " << path;
            Close(handle);
        }
    }

    std::map<std::string, ULONGLONG> dirIds;
};

TEST_P(RenameModelTest, NamesFollowTheModel)
{
    for (const char *dir : kDirs) {
        if (dir[0] != 0) {
            ASSERT_EQ(Make(dir, FILE_DIRECTORY_FILE), STATUS_SUCCESS);
        }
    }
    for (const char *dir : kDirs)
        dirIds[dir] = dir[0] != 0 ? IdAt(dir) : 1;

    std::mt19937 random(GetParam());
    auto pick = [&](size_t n) { return (size_t)(random() % n); };
    auto anyPath = [&] { return std::string(kDirs[pick(4)]) + "\\" + kNames[pick(5)]; };
    Model model;
    std::map<std::string, int> seen; /* what the run covered */
    for (int step = 0; step < 300; ++step) {
        std::vector<std::string> existing;
        for (const auto &entry : model.fileAt)
            existing.push_back(entry.first);
        const int op = existing.empty() ? 0 : (int)pick(7);
        if (op == 0) {
            std::string path = anyPath();
            NTSTATUS status = Make(path);
            ASSERT_EQ(status, model.fileAt.count(path) ? STATUS_OBJECT_NAME_COLLISION : STATUS_SUCCESS) << step;
            if (NT_SUCCESS(status))
                model.fileAt[path] = IdAt(path);
        } else if (op <= 4) {
            /* Rename (1, 2) or link (3, 4) of an existing path to a random one. */
            const bool link = op >= 3;
            std::string source = existing[pick(existing.size())];
            std::string target = anyPath();
            const bool replace = pick(2) == 0;
            const ULONGLONG id = model.fileAt.at(source);
            /* A relative name is in the directory of the file's first name: used when all its names share one. */
            bool oneDirectory = true;
            for (const auto &[p, i] : model.fileAt)
                oneDirectory &= i != id || DirOf(p) == DirOf(source);
            const bool relative = oneDirectory && DirOf(target) == DirOf(source) && pick(2) == 0;
            std::string sent = relative ? NameIn(target) : target;
            if (pick(3) == 0)
                std::transform(sent.begin(), sent.end(), sent.begin(),
                               [](unsigned char c) { return (char)std::toupper(c); });
            auto hit = model.fileAt.find(target);
            NTSTATUS expect = STATUS_SUCCESS;
            if (hit != model.fileAt.end() && !(target == source) && !(link && hit->second == id) && !replace)
                expect = STATUS_OBJECT_NAME_COLLISION;
            HANDLE handle;
            ASSERT_EQ(OpenForSet(source, &handle), STATUS_SUCCESS) << step;
            ASSERT_EQ(link ? Link(handle, sent, replace) : Rename(handle, sent, replace), expect)
                << "step " << step << (link ? " link " : " rename ") << source << " -> " << sent;
            Close(handle);
            seen[std::string(link ? "link" : "rename") + (!NT_SUCCESS(expect) ? " refused"
                                                          : hit != model.fileAt.end() && hit->second != id ? " replacing"
                                                                                                            : "")]++;
            if (NT_SUCCESS(expect) && target != source && !(link && hit != model.fileAt.end() && hit->second == id)) {
                model.fileAt[target] = id;
                if (!link)
                    model.fileAt.erase(source);
            }
        } else if (op == 5) {
            std::string path = existing[pick(existing.size())];
            ASSERT_EQ(DeleteByDisposition(path), STATUS_SUCCESS) << step;
            model.fileAt.erase(path);
        } else {
            /* POSIX delete through one name while another handle (through any name) stays open. */
            std::string path = existing[pick(existing.size())];
            HANDLE deleting, holding;
            ASSERT_EQ(OpenForSet(path, &deleting), STATUS_SUCCESS) << step;
            ASSERT_EQ(OpenForSet(path, &holding), STATUS_SUCCESS) << step;
            ASSERT_EQ(DisposeEx(deleting, FILE_DISPOSITION_DELETE | FILE_DISPOSITION_POSIX_SEMANTICS), STATUS_SUCCESS);
            Close(deleting);
            const ULONGLONG id = model.fileAt.at(path);
            model.fileAt.erase(path);
            size_t left = 0;
            for (const auto &entry : model.fileAt)
                left += entry.second == id;
            EXPECT_EQ(Standard(holding).NumberOfLinks, left) << step;
            ASSERT_EQ(WriteAt(holding, 0, "held", 4), STATUS_SUCCESS) << step;
            Close(holding);
            seen["posix delete"]++;
        }
        Check(model, step);
        if (HasFatalFailure())
            return;
    }
    for (const char *kind : {"rename", "rename refused", "rename replacing", "link", "link refused", "link replacing",
                             "posix delete"})
        EXPECT_GT(seen[kind], 0) << kind;
}

INSTANTIATE_TEST_SUITE_P(Seeds, RenameModelTest, ::testing::Values(1u, 2u, 3u));

} // namespace
