/*
 * Test support for node security: tokens made from templates, descriptors from
 * SDDL, nodes created as a create makes them (the parent's main resource held
 * while the descriptor is assigned and the name added), and the access-check
 * input a create would fill.
 */
#pragma once

#include "namespace_test.h"
#include "../../platform/se/se_test_support.h"

#include <memory>

class SecurityTest : public NamespaceTest {
protected:
    static constexpr uint32_t kUid = 1000;

    void TearDown() override
    {
        for (PVOID token : tokens)
            ObDereferenceObject(token);
        tokens.clear();
        NamespaceTest::TearDown();
    }

    PVOID Keep(PVOID token)
    {
        EXPECT_NE(token, nullptr);
        tokens.push_back(token);
        return token;
    }

    PVOID UserToken(uint32_t uid = kUid) { return Keep(se::CreateLinuxUserToken(uid, uid, {})); }

    /* A user token that also holds (enabled) the given privileges. */
    PVOID PrivilegedToken(std::initializer_list<LUID> privileges)
    {
        se::TokenTemplate t = se::LinuxUserTokenTemplate(kUid, kUid, {});
        for (LUID luid : privileges)
            t.privileges.push_back({luid, SE_PRIVILEGE_ENABLED});
        return Keep(se::CreateToken(t));
    }

    /* A user token restricted to the anonymous SID for its second pass. */
    PVOID RestrictedToken()
    {
        se::TokenTemplate t = se::LinuxUserTokenTemplate(kUid, kUid, {});
        t.restrictingSids.push_back(setest::Sid(L"AN"));
        t.restrictionFlags = TOKEN_IS_RESTRICTED;
        return Keep(se::CreateToken(t));
    }

    /* NewChild: a named node under parent whose descriptor is assigned for token, as a create assigns it. */
    PFCB NewChild(PFCB parent, const std::u16string &name, PVOID token, bool directory = false,
                  PSECURITY_DESCRIPTOR explicitDescriptor = nullptr, NTSTATUS *assigned = nullptr)
    {
        PFCB node = NewNode(directory);
        if (node == nullptr)
            return nullptr;
        ACCESS_STATE state = {};
        state.SubjectSecurityContext.PrimaryToken = token;
        state.SecurityDescriptor = explicitDescriptor;
        ExAcquireResourceExclusiveLite(&parent->MainResource, TRUE);
        NTSTATUS status = n->AssignNewNodeDescriptor(vcb, parent, node, &state);
        ExReleaseResourceLite(&parent->MainResource);
        if (assigned != nullptr)
            *assigned = status;
        if (!NT_SUCCESS(status)) {
            n->DereferenceNode(node);
            return nullptr;
        }
        EXPECT_EQ(AddName(parent, node, name), STATUS_SUCCESS);
        n->DereferenceNode(node);
        return node;
    }

    /* Protect: gives node a private descriptor read from SDDL, as a set-security leaves it. */
    void Protect(PFCB node, const wchar_t *sddl)
    {
        PSECURITY_DESCRIPTOR sd = nullptr;
        ULONG length = 0;
        ASSERT_EQ(se::SecurityDescriptorFromSddl(sddl, PagedPool, machine::TagFromText("vlSd"), &sd, &length),
                  STATUS_SUCCESS)
            << "SDDL";
        ExAcquireResourceExclusiveLite(&node->MainResource, TRUE);
        n->FreeNodeDescriptor(node);
        node->SecurityDescriptor = sd;
        node->SecurityLength = length;
        ExReleaseResourceLite(&node->MainResource);
    }

    std::string Sddl(PFCB node)
    {
        std::string text;
        EXPECT_EQ(se::SddlFromSecurityDescriptor(node->SecurityDescriptor, &text), STATUS_SUCCESS);
        return text;
    }

    /* The input a create fills for a user-mode open by token on this volume. */
    struct Requester {
        SECURITY_SUBJECT_CONTEXT subject = {};
        ACCESS_CHECK_INPUT input = {};
    };
    std::unique_ptr<Requester> Request(PVOID token, bool ordinary = true)
    {
        auto r = std::make_unique<Requester>();
        r->subject.PrimaryToken = token;
        r->input.SubjectContext = &r->subject;
        r->input.AccessMode = UserMode;
        r->input.CheckRequired = !vcb->NoSecurity;
        r->input.OrdinaryToken = ordinary;
        return r;
    }

    struct Outcome {
        NTSTATUS status;
        ACCESS_MASK granted;
    };
    Outcome Open(const ACCESS_CHECK_INPUT &input, PFCB node, PFCB parent, ACCESS_MASK desired)
    {
        Outcome o = {STATUS_PENDING, 0xDEADBEEF};
        ACCESS_CHECK_INPUT copy = input;
        ExAcquireResourceSharedLite(&node->MainResource, TRUE);
        o.status = n->CheckOpenAccess(&copy, node, parent, desired, &o.granted);
        ExReleaseResourceLite(&node->MainResource);
        return o;
    }

    ULONG StoredDescriptors() const { return vcb->DescriptorStore.EntryCount; }
    static LONG StoreRefs(PSECURITY_DESCRIPTOR sd)
    {
        return __atomic_load_n(&DescriptorEntryFromBytes(sd)->ReferenceCount, __ATOMIC_RELAXED);
    }
    static uint64_t Computations() { return machine::PoolTag(machine::TagFromText("SeAs")).allocations; }

    std::vector<PVOID> tokens;
};
