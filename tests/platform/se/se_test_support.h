/*
 * Security reference monitor tests: descriptors from SDDL, tokens that release
 * themselves, and an access check with one call.
 */
#pragma once

#include "machine_test.h"

#include "../../../platform/kernel/se/security.h"

#include <wdm.h>

#include <cstring>
#include <vector>

namespace setest {

const ULONG kSdTag = POOL_TAG('T', 's', 'S', 'd');

/* The file object type's mapping. */
constexpr ACCESS_MASK kFileRead = 0x120089;
constexpr ACCESS_MASK kFileWrite = 0x120116;
constexpr ACCESS_MASK kFileExecute = 0x1200A0;
constexpr ACCESS_MASK kFileAll = 0x1F01FF;
inline GENERIC_MAPPING FileMapping()
{
    return {kFileRead, kFileWrite, kFileExecute, kFileAll};
}
constexpr ACCESS_MASK kReadData = 0x1, kWriteData = 0x2, kAppendData = 0x4, kExecute = 0x20;

/* A self-relative descriptor read from SDDL, freed at scope exit. */
class Descriptor {
public:
    explicit Descriptor(const wchar_t *sddl)
    {
        status_ = se::SecurityDescriptorFromSddl(sddl, PagedPool, kSdTag, &sd_, &length_);
    }
    ~Descriptor()
    {
        if (sd_ != nullptr)
            ExFreePoolWithTag(sd_, kSdTag);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    NTSTATUS status() const { return status_; }
    PSECURITY_DESCRIPTOR get() const { return sd_; }
    ULONG length() const { return length_; }
    const UCHAR *bytes() const { return static_cast<const UCHAR *>(sd_); }

private:
    NTSTATUS status_;
    PSECURITY_DESCRIPTOR sd_ = nullptr;
    ULONG length_ = 0;
};

/* A token reference dropped at scope exit. */
class TokenRef {
public:
    explicit TokenRef(PVOID token) : token_(token) {}
    ~TokenRef()
    {
        if (token_ != nullptr)
            ObDereferenceObject(token_);
    }
    TokenRef(const TokenRef &) = delete;
    TokenRef &operator=(const TokenRef &) = delete;
    PVOID get() const { return token_; }

private:
    PVOID token_;
};

struct CheckOutcome {
    BOOLEAN allowed;
    ACCESS_MASK granted;
    NTSTATUS status;
};

/* SeAccessCheck for a subject whose primary token is token, with the file mapping. */
inline CheckOutcome Check(PSECURITY_DESCRIPTOR sd, PVOID token, ACCESS_MASK desired,
                          KPROCESSOR_MODE mode = UserMode, ACCESS_MASK previous = 0)
{
    SECURITY_SUBJECT_CONTEXT subject = {};
    subject.PrimaryToken = token;
    GENERIC_MAPPING mapping = FileMapping();
    CheckOutcome outcome = {FALSE, 0xDEADBEEF, STATUS_PENDING};
    outcome.allowed = SeAccessCheck(sd, &subject, FALSE, desired, previous, nullptr, &mapping, mode,
                                    &outcome.granted, &outcome.status);
    return outcome;
}

inline se::SidBytes Sid(const wchar_t *text)
{
    se::SidBytes sid;
    EXPECT_EQ(se::SidFromSddl(text, &sid), STATUS_SUCCESS) << "SID text";
    return sid;
}

/* The SIDs of a TokenGroups query, in order. */
inline std::vector<se::SidBytes> GroupSids(PVOID token, std::vector<ULONG> *attributes = nullptr)
{
    PVOID info = nullptr;
    EXPECT_EQ(SeQueryInformationToken(token, TokenGroups, &info), STATUS_SUCCESS);
    std::vector<se::SidBytes> sids;
    auto groups = static_cast<PTOKEN_GROUPS>(info);
    for (ULONG i = 0; i < groups->GroupCount; ++i) {
        auto sid = static_cast<const UCHAR *>(groups->Groups[i].Sid);
        sids.emplace_back(sid, sid + RtlLengthSid(groups->Groups[i].Sid));
        if (attributes != nullptr)
            attributes->push_back(groups->Groups[i].Attributes);
    }
    ExFreePool(info);
    return sids;
}

} // namespace setest
