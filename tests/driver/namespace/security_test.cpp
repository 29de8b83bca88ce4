/*
 * Descriptor store and new nodes' descriptors: the root's descriptor, interning
 * by bytes with reference counts, sharing between nodes, the inheritance cache
 * and what happens when a token changes, pool exhaustion, and volumes without
 * security. Every volume's teardown leaves no descriptor and no store bucket.
 */
#include "security_test.h"

namespace {

const wchar_t kRootSddl[] = L"O:BAG:SYD:(A;OICI;FA;;;WD)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

TEST_F(SecurityTest, NewVolumeRootDescriptor)
{
    setest::Descriptor expected(kRootSddl);
    ASSERT_EQ(expected.status(), STATUS_SUCCESS);
    ASSERT_NE(root->SecurityDescriptor, nullptr);
    EXPECT_EQ(Sddl(root), "O:BAG:SYD:(A;OICI;FA;;;WD)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
    ASSERT_EQ(root->SecurityLength, expected.length());
    EXPECT_EQ(memcmp(root->SecurityDescriptor, expected.get(), expected.length()), 0) << "byte for byte";
    EXPECT_TRUE(root->DefaultSecurity);
    EXPECT_FALSE(root->SharedSecurity) << "the root's descriptor is its own, not the store's";
    EXPECT_EQ(StoredDescriptors(), 0u);
    EXPECT_EQ(root->Attributes, FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
}

/* Interning: equal bytes in different buffers are one entry; counts return to zero and the entry goes. */
TEST_F(SecurityTest, StoreInternsByBytes)
{
    setest::Descriptor a(L"O:BAG:SYD:(A;;FA;;;WD)"), b(L"O:BAG:SYD:(A;;FA;;;WD)"), c(L"O:BAG:SYD:(A;;FR;;;WD)");
    const uint64_t baseline = machine::PoolTag(machine::TagFromText("vlSd")).liveBlocks;
    PSECURITY_DESCRIPTOR sa = n->InternDescriptor(vcb, a.get(), a.length());
    PSECURITY_DESCRIPTOR sb = n->InternDescriptor(vcb, b.get(), b.length());
    PSECURITY_DESCRIPTOR sc = n->InternDescriptor(vcb, c.get(), c.length());
    ASSERT_NE(sa, nullptr);
    ASSERT_NE(sc, nullptr);
    EXPECT_EQ(sa, sb) << "equal bytes share one entry";
    EXPECT_NE(sa, a.get()) << "the store keeps its own copy";
    EXPECT_NE(sa, sc);
    EXPECT_EQ(StoredDescriptors(), 2u);
    EXPECT_EQ(StoreRefs(sa), 2);
    EXPECT_EQ(memcmp(sc, c.get(), c.length()), 0);

    /* A prefix of the same bytes is another descriptor, however the hash falls. */
    PSECURITY_DESCRIPTOR prefix = n->InternDescriptor(vcb, a.get(), a.length() - 4);
    EXPECT_NE(prefix, sa);
    EXPECT_EQ(StoredDescriptors(), 3u);
    n->ReleaseDescriptor(vcb, prefix);

    n->ReleaseDescriptor(vcb, sa);
    EXPECT_EQ(StoredDescriptors(), 2u) << "one holder is left";
    n->ReleaseDescriptor(vcb, sb);
    n->ReleaseDescriptor(vcb, sc);
    EXPECT_EQ(StoredDescriptors(), 0u);
    EXPECT_EQ(machine::PoolTag(machine::TagFromText("vlSd")).liveBlocks, baseline);
}

/* Many distinct descriptors: the buckets double and every one is still found by its bytes. */
TEST_F(SecurityTest, StoreGrowsAndFindsEveryEntry)
{
    std::vector<std::unique_ptr<setest::Descriptor>> sources;
    std::vector<PSECURITY_DESCRIPTOR> stored;
    for (int i = 1; i <= 600; ++i) {
        std::string text = "O:BAG:SYD:(A;;" + std::to_string(i) + ";;;WD)";
        std::u16string wide(text.begin(), text.end());
        sources.push_back(std::make_unique<setest::Descriptor>((const wchar_t *)wide.c_str()));
        ASSERT_EQ(sources.back()->status(), STATUS_SUCCESS);
        stored.push_back(n->InternDescriptor(vcb, sources.back()->get(), sources.back()->length()));
    }
    EXPECT_EQ(StoredDescriptors(), 600u);
    EXPECT_GT(vcb->DescriptorStore.BucketCount, 64u);
    for (size_t i = 0; i < stored.size(); ++i) {
        EXPECT_EQ(n->InternDescriptor(vcb, sources[i]->get(), sources[i]->length()), stored[i]);
        n->ReleaseDescriptor(vcb, stored[i]);
        n->ReleaseDescriptor(vcb, stored[i]);
    }
    EXPECT_EQ(StoredDescriptors(), 0u);
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
