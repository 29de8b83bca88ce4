/*
 * SDDL writer: a descriptor as the text Windows' own converter gives, so tests can
 * state expected descriptors as text and compare.
 *
 *   parts    "O:" owner, "G:" group, "D:" DACL, "S:" SACL, each only when present
 *   ACL      flags "P", "AR", "AI" in that order, then "NO_ACCESS_CONTROL" for a NULL ACL
 *   ACE      "(" type ";" flags ";" rights ";;;" SID ")"; flags in the order OI CI NP IO ID SA FA
 *   rights   a mask equal to FA/FR/FW/FX/KA/KR/KW written as that code; else, when every bit has a
 *            two-letter code, the codes in the order GA GR GW GX CC DC LC SW RP WP DT LO CR SD RC
 *            WD WO; else "0x" and lower-case hex (also for 0). A label ACE's mask uses NR, NW, NX.
 *   SID      the alias when there is one, else "S-1-" authority (decimal below 2^32, else hex)
 *            and the sub-authorities in decimal
 * An ACE of a type without an SDDL form here gives STATUS_NOT_SUPPORTED.
 */
#include "se/sddl.h"
#include "se/se_private.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace se {
namespace {

using sddl::Code;

const char *kCombinedRights[] = {"FA", "FR", "FW", "FX", "KA", "KR", "KW"};
const char *kBitRights[] = {"GA", "GR", "GW", "GX", "CC", "DC", "LC", "SW", "RP",
                            "WP", "DT", "LO", "CR", "SD", "RC", "WD", "WO"};
const char *kLabelRights[] = {"NR", "NW", "NX"};
const char *kFlagOrder[] = {"OI", "CI", "NP", "IO", "ID", "SA", "FA"};

const Code *Find(const Code *table, size_t count, const char *code)
{
    for (size_t i = 0; i < count; ++i)
        if (std::strcmp(table[i].code, code) == 0)
            return &table[i];
    return nullptr;
}

std::string Hex(ULONG value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%x", value);
    return text;
}

/* The codes for the mask from a list of single-bit codes, or "" when a bit has none. */
std::string BitCodes(ACCESS_MASK mask, const char *const *codes, size_t count)
{
    std::string text;
    ACCESS_MASK covered = 0;
    for (size_t i = 0; i < count; ++i) {
        const Code *code = Find(sddl::kRights, sddl::kRightCount, codes[i]);
        if ((mask & code->value) == code->value && !(covered & code->value)) {
            text += code->code;
            covered |= code->value;
        }
    }
    return covered == mask ? text : std::string();
}

std::string Rights(ACCESS_MASK mask, bool label)
{
    if (label) {
        std::string codes = BitCodes(mask, kLabelRights, sizeof(kLabelRights) / sizeof(kLabelRights[0]));
        return codes.empty() ? Hex(mask) : codes;
    }
    for (const char *combined : kCombinedRights) {
        if (Find(sddl::kRights, sddl::kRightCount, combined)->value == mask)
            return combined;
    }
    std::string codes = BitCodes(mask, kBitRights, sizeof(kBitRights) / sizeof(kBitRights[0]));
    return codes.empty() ? Hex(mask) : codes;
}

std::string AceFlags(UCHAR flags)
{
    std::string text;
    for (const char *name : kFlagOrder) {
        const Code *code = Find(sddl::kAceFlags, sddl::kAceFlagCount, name);
        if (flags & code->value)
            text += name;
    }
    return text;
}

bool AppendAcl(PACL acl, std::string *text)
{
    bool ok = true;
    ForEachAce(acl, [&](PACE_HEADER ace) {
        const Code *type = nullptr;
        for (size_t i = 0; i < sddl::kAceTypeCount && type == nullptr; ++i)
            if (sddl::kAceTypes[i].value == ace->AceType)
                type = &sddl::kAceTypes[i];
        PSID sid = KnownAceSid(ace);
        if (type == nullptr || sid == nullptr) {
            ok = false;
            return false;
        }
        *text += "(";
        *text += type->code;
        /* Appended piece by piece: GCC 12's optimiser warns (wrongly) about ";" + std::string. */
        *text += ";";
        *text += AceFlags(ace->AceFlags);
        *text += ";";
        *text += Rights(((PACCESS_ALLOWED_ACE)ace)->Mask, ace->AceType == SYSTEM_MANDATORY_LABEL_ACE_TYPE);
        *text += ";;;" + SidToSddl(sid) + ")";
        return true;
    });
    return ok;
}

/* tag ("D:" or "S:"), the ACL's flags "P", "AR", "AI" and its ACEs, when the control says it is present.
 * shift moves the DACL's flag bits to this ACL's. False for an ACE without a spelling. */
bool AppendAclPart(const char *tag, SECURITY_DESCRIPTOR_CONTROL control, SECURITY_DESCRIPTOR_CONTROL present,
                   int shift, PACL acl, std::string *out)
{
    if (!(control & present))
        return true;
    *out += tag;
    if (control & (SE_DACL_PROTECTED << shift))
        *out += "P";
    if (control & (SE_DACL_AUTO_INHERIT_REQ << shift))
        *out += "AR";
    if (control & (SE_DACL_AUTO_INHERITED << shift))
        *out += "AI";
    if (acl == nullptr) {
        *out += sddl::kNoAccessControl;
        return true;
    }
    return AppendAcl(acl, out);
}

} // namespace

std::string SidToSddl(PSID sid)
{
    auto s = (PISID)sid;
    for (size_t i = 0; i < sddl::kSidAliasCount; ++i) {
        const sddl::SidAlias &alias = sddl::kSidAliases[i];
        if (alias.count != s->SubAuthorityCount || alias.authority != s->IdentifierAuthority.Value[5])
            continue;
        bool same = std::memcmp(s->IdentifierAuthority.Value, "\0\0\0\0\0", 5) == 0;
        for (ULONG k = 0; same && k < alias.count; ++k)
            same = alias.subAuthorities[k] == s->SubAuthority[k];
        if (same)
            return alias.code;
    }
    uint64_t authority = 0;
    for (UCHAR byte : s->IdentifierAuthority.Value)
        authority = (authority << 8) | byte;
    char part[24];
    if (authority >> 32)
        std::snprintf(part, sizeof(part), "0x%llx", (unsigned long long)authority);
    else
        std::snprintf(part, sizeof(part), "%llu", (unsigned long long)authority);
    std::string text = std::string("S-1-") + part;
    for (ULONG k = 0; k < s->SubAuthorityCount; ++k) {
        std::snprintf(part, sizeof(part), "-%u", s->SubAuthority[k]);
        text += part;
    }
    return text;
}

NTSTATUS SddlFromSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, std::string *text)
{
    if (descriptor == nullptr || ((PISECURITY_DESCRIPTOR)descriptor)->Revision != SECURITY_DESCRIPTOR_REVISION)
        return STATUS_INVALID_PARAMETER;
    DescriptorParts parts;
    ReadDescriptor(descriptor, &parts);
    std::string out;
    if (parts.owner != nullptr)
        out += "O:" + SidToSddl(parts.owner);
    if (parts.group != nullptr)
        out += "G:" + SidToSddl(parts.group);
    if (!AppendAclPart("D:", parts.control, SE_DACL_PRESENT, 0, parts.dacl, &out) ||
        !AppendAclPart("S:", parts.control, SE_SACL_PRESENT, 1, parts.sacl, &out))
        return STATUS_NOT_SUPPORTED;
    *text = std::move(out);
    return STATUS_SUCCESS;
}

} // namespace se
