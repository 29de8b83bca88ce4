/*
 * Descriptor store and new nodes' descriptors: the root's descriptor, interning
 * by bytes with reference counts, sharing between nodes, the inheritance cache
 * and what happens when a token changes, pool exhaustion, and volumes without
 * security. Every volume's teardown leaves no descriptor and no store bucket.
 */
#include "security_test.h"

#include <map>
#include <random>

namespace {

/*
 * Model: random interns and releases of descriptors that differ in one access
 * mask or lack their last four bytes, against a count per distinct byte string.
 * Equal bytes share one stored copy (never the caller's buffer), a prefix is a
 * descriptor of its own however the hash falls, the buckets grow past their
 * first size, and the last release frees the copy.
 */
TEST_F(SecurityTest, StoreFollowsTheModel)
{
    std::mt19937 random(11);
    std::vector<std::unique_ptr<setest::Descriptor>> sources;
    for (int i = 1; i <= 400; ++i) {
        std::string text = "O:BAG:SYD:(A;;" + std::to_string(i) + ";;;WD)";
        std::u16string wide(text.begin(), text.end());
        sources.push_back(std::make_unique<setest::Descriptor>((const wchar_t *)wide.c_str()));
        ASSERT_EQ(sources.back()->status(), STATUS_SUCCESS);
    }
    const uint64_t baseline = machine::PoolTag(machine::TagFromText("vlSd")).liveBlocks;
    using Key = std::pair<size_t, ULONG>;
    std::map<Key, std::pair<PSECURITY_DESCRIPTOR, LONG>> model;
    std::vector<Key> held;
    auto release = [&](size_t k) {
        Key key = held[k];
        held[k] = held.back();
        held.pop_back();
        auto &entry = model[key];
        n->ReleaseDescriptor(vcb, entry.first);
        if (--entry.second == 0) {
            model.erase(key);
        } else {
            EXPECT_EQ(StoreRefs(entry.first), entry.second);
        }
    };
    for (int step = 0; step < 3000; ++step) {
        if (held.empty() || random() % 3 != 0) {
            size_t i = random() % sources.size();
            ULONG length = sources[i]->length() - (random() % 4 == 0 ? 4 : 0);
            PSECURITY_DESCRIPTOR stored = n->InternDescriptor(vcb, sources[i]->get(), length);
            ASSERT_NE(stored, nullptr);
            ASSERT_NE(stored, sources[i]->get()) << "the store keeps its own copy";
            ASSERT_EQ(memcmp(stored, sources[i]->get(), length), 0);
            auto &entry = model[{i, length}];
            if (entry.second != 0) {
                ASSERT_EQ(stored, entry.first) << "equal bytes share one entry";
            }
            entry = {stored, entry.second + 1};
            EXPECT_EQ(StoreRefs(stored), entry.second);
            held.push_back({i, length});
        } else {
            release(random() % held.size());
        }
        ASSERT_EQ(StoredDescriptors(), model.size()) << "step " << step;
    }
    EXPECT_GT(vcb->DescriptorStore.BucketCount, 64u);
    while (!held.empty())
        release(held.size() - 1);
    EXPECT_EQ(StoredDescriptors(), 0u);
    EXPECT_EQ(machine::PoolTag(machine::TagFromText("vlSd")).liveBlocks, baseline);
}

/* Two files by one user in one directory share one stored descriptor; a private one leaves the other alone. */
TEST_F(SecurityTest, SiblingsShareUntilTheLastGoes)
{
    PVOID user = UserToken();
    PFCB dir = NewChild(root, u"dir", user, true);
    ASSERT_NE(dir, nullptr);
    PFCB one = NewChild(dir, u"one", user);
    ULONG stored = StoredDescriptors();
    PFCB two = NewChild(dir, u"two", user);
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(one->SecurityDescriptor, two->SecurityDescriptor);
    EXPECT_TRUE(one->SharedSecurity && two->SharedSecurity);
    EXPECT_TRUE(two->DefaultSecurity) << "inherited from the root's descriptor alone";
    EXPECT_EQ(StoredDescriptors(), stored) << "the second file adds no entry";
    EXPECT_EQ(Sddl(two), "O:S-1-22-1-1000G:S-1-22-2-1000D:AI(A;ID;FA;;;WD)(A;ID;FA;;;SY)(A;ID;FA;;;BA)");

    PSECURITY_DESCRIPTOR shared = two->SecurityDescriptor;
    LONG refs = StoreRefs(shared);
    Protect(one, L"O:BAG:SYD:(A;;FR;;;WD)");
    EXPECT_FALSE(one->SharedSecurity);
    EXPECT_EQ(two->SecurityDescriptor, shared);
    EXPECT_EQ(StoreRefs(shared), refs - 1);
    EXPECT_EQ(StoredDescriptors(), stored) << "the other file still holds the entry";

    Remove(Lookup(dir, u"two"));
    EXPECT_EQ(StoreRefs(shared), 1) << "only the inheritance cache holds it now";
    EXPECT_EQ(vcb->InheritanceCache.Result, shared);
}

/* One user creating many files in one directory: one descriptor computation in all. */
TEST_F(SecurityTest, InheritanceCacheComputesOnce)
{
    PVOID user = UserToken();
    PFCB dir = NewChild(root, u"dir", user, true);
    ASSERT_NE(dir, nullptr);
    const uint64_t before = Computations();
    PFCB first = NewChild(dir, u"f0", user);
    ASSERT_NE(first, nullptr);
    for (int i = 1; i < 200; ++i) {
        PFCB f = NewChild(dir, NumberedName("f", i), user);
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(f->SecurityDescriptor, first->SecurityDescriptor);
        ASSERT_TRUE(f->SharedSecurity && f->DefaultSecurity);
    }
    EXPECT_EQ(Computations() - before, 1u);
    EXPECT_EQ(StoreRefs(first->SecurityDescriptor), 201) << "200 files and the cache";

    /* A directory child is another kind of inheritance: computed, and cached in turn. */
    PFCB sub = NewChild(dir, u"sub", user, true);
    EXPECT_EQ(Computations() - before, 2u);
    EXPECT_NE(sub->SecurityDescriptor, first->SecurityDescriptor) << "directories keep the inheritable flags";
    NewChild(dir, u"sub2", user, true);
    EXPECT_EQ(Computations() - before, 2u);
}

/* The cache is keyed by token, token state, parent descriptor and directory-ness; a miss computes again. */
TEST_F(SecurityTest, InheritanceCacheMisses)
{
    PVOID user = UserToken();
    PVOID other = UserToken(2000);
    PFCB dir = NewChild(root, u"dir", user, true);
    PFCB a = NewChild(dir, u"a", user);
    uint64_t count = Computations();

    /* Another user: another owner. */
    PFCB b = NewChild(dir, u"b", other);
    EXPECT_EQ(Computations(), ++count);
    EXPECT_NE(b->SecurityDescriptor, a->SecurityDescriptor);

    /* The same user again after the token changed: computed anew, the same bytes, so the same entry. */
    NewChild(dir, u"c", user);
    EXPECT_EQ(Computations(), ++count);
    ASSERT_EQ(se::SetTokenDefaultDacl(user, nullptr), STATUS_SUCCESS);
    PFCB d = NewChild(dir, u"d", user);
    EXPECT_EQ(Computations(), ++count) << "a changed token is never served from the cache";
    EXPECT_EQ(d->SecurityDescriptor, a->SecurityDescriptor);

    /* An explicit descriptor is never served from the cache and loses the volume default. */
    setest::Descriptor explicitSd(L"D:(A;;FR;;;WD)");
    PFCB e = NewChild(dir, u"e", user, false, explicitSd.get());
    EXPECT_EQ(Computations(), ++count);
    EXPECT_FALSE(e->DefaultSecurity);
    EXPECT_TRUE(e->SharedSecurity);
    EXPECT_EQ(Sddl(e), "O:S-1-22-1-1000G:S-1-22-2-1000D:(A;;FR;;;WD)");

    /* A parent whose descriptor is its own is not cached: each child computes. */
    PFCB priv = NewChild(dir, u"priv", user, true);
    Protect(priv, L"O:BAG:SYD:(A;OICI;FA;;;WD)");
    count = Computations();
    PFCB p1 = NewChild(priv, u"p1", user);
    PFCB p2 = NewChild(priv, u"p2", user);
    EXPECT_EQ(Computations(), count + 2);
    EXPECT_EQ(p1->SecurityDescriptor, p2->SecurityDescriptor) << "still shared through the store";
    EXPECT_FALSE(p1->DefaultSecurity) << "the parent's descriptor is no longer the default";
}

/* Without pool for the stored copy the node gets no descriptor, and nothing else changes. */
TEST_F(SecurityTest, AssignWithoutPool)
{
    PVOID user = UserToken();
    PFCB dir = NewChild(root, u"dir", user, true);
    PFCB a = NewChild(dir, u"a", user, true);
    ULONG stored = StoredDescriptors();
    INHERITANCE_CACHE cache = vcb->InheritanceCache;
    LONG refs = StoreRefs(a->SecurityDescriptor);

    machine::ArmPoolFault(1, machine::TagFromText("vlSd"));
    NTSTATUS status = STATUS_PENDING;
    EXPECT_EQ(NewChild(dir, u"b", user, false, nullptr, &status), nullptr);
    machine::DisarmFaults();
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(StoredDescriptors(), stored);
    EXPECT_EQ(memcmp(&cache, &vcb->InheritanceCache, sizeof(cache)), 0) << "the cache is as it was";
    EXPECT_EQ(StoreRefs(a->SecurityDescriptor), refs);
    EXPECT_NE(NewChild(dir, u"b", user), nullptr) << "and it works once the pool is back";
}

/* A volume without security: no descriptors anywhere, no checks. */
TEST_F(SecurityTest, VolumeWithoutSecurity)
{
    n->DeleteVolume(vcb);
    vcb = n->CreateVolumeWithoutSecurity(64ull << 20);
    ASSERT_NE(vcb, nullptr);
    root = vcb->RootFcb;
    EXPECT_EQ(root->SecurityDescriptor, nullptr);
    PVOID user = UserToken();
    PFCB file = NewChild(root, u"file", user);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->SecurityDescriptor, nullptr);
    EXPECT_EQ(StoredDescriptors(), 0u);

    auto r = Request(user);
    EXPECT_FALSE(r->input.CheckRequired);
    EXPECT_EQ(n->SelectTraverseCheck(vcb, &r->input), nullptr);
    Outcome o = Open(r->input, file, root, GENERIC_ALL | MAXIMUM_ALLOWED);
    EXPECT_EQ(o.status, STATUS_SUCCESS);
    EXPECT_EQ(o.granted, (ACCESS_MASK)FILE_ALL_ACCESS);
}

} // namespace
