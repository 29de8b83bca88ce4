/*
 * The SDDL reader: text to a self-relative security descriptor (grammar in se/sddl.h).
 * The whole text is parsed into host memory first; pool memory is allocated only
 * once it has proved well formed, so malformed text leaves nothing behind.
 */
#include "se/sddl.h"
#include "se/se_private.h"

#include <km/pool.h>

#include <cstring>
#include <optional>
#include <string>

namespace se {
namespace {

using sddl::Code;

const Code *FindCode(const Code *table, size_t count, const std::string &text)
{
    for (size_t i = 0; i < count; ++i)
        if (text == table[i].code)
            return &table[i];
    return nullptr;
}

std::optional<SidBytes> AliasSid(const std::string &code)
{
    for (size_t i = 0; i < sddl::kSidAliasCount; ++i) {
        const sddl::SidAlias &alias = sddl::kSidAliases[i];
        if (code != alias.code)
            continue;
        SidBytes sid(RtlLengthRequiredSid(alias.count));
        SID_IDENTIFIER_AUTHORITY authority = {{0, 0, 0, 0, 0, alias.authority}};
        RtlInitializeSid(sid.data(), &authority, alias.count);
        for (UCHAR n = 0; n < alias.count; ++n)
            *RtlSubAuthoritySid(sid.data(), n) = alias.subAuthorities[n];
        return sid;
    }
    return std::nullopt;
}

bool IsDigit(char c, int base)
{
    if (base == 16)
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    return c >= '0' && c < (char)('0' + base);
}

int DigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return c - 'A' + 10;
}

/* An unsigned number filling all of text, at most max; base 0 takes 0x.. as hex, 0.. as octal. */
std::optional<uint64_t> ParseNumber(const std::string &text, int base, uint64_t max)
{
    size_t i = 0;
    if (base == 0) {
        if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
            base = 16;
            i = 2;
        } else if (text.size() > 1 && text[0] == '0') {
            base = 8;
            i = 1;
        } else {
            base = 10;
        }
    }
    if (i >= text.size())
        return std::nullopt;
    uint64_t value = 0;
    for (; i < text.size(); ++i) {
        if (!IsDigit(text[i], base))
            return std::nullopt;
        value = value * (uint64_t)base + (uint64_t)DigitValue(text[i]);
        if (value > max)
            return std::nullopt;
    }
    return value;
}

std::vector<std::string> Split(const std::string &text, char separator)
{
    std::vector<std::string> pieces(1);
    for (char c : text) {
        if (c == separator)
            pieces.emplace_back();
        else
            pieces.back() += c;
    }
    return pieces;
}

/* "S-1-<authority>(-<sub-authority>)*", the authority decimal below 2^32 or 0x-hex below 2^48. */
std::optional<SidBytes> LiteralSid(const std::string &text)
{
    std::vector<std::string> pieces = Split(text, '-');
    if (pieces.size() < 3 || (pieces[0] != "S" && pieces[0] != "s") || pieces[1] != "1")
        return std::nullopt;
    size_t subCount = pieces.size() - 3;
    if (subCount > SID_MAX_SUB_AUTHORITIES)
        return std::nullopt;
    bool hexAuthority = pieces[2].size() > 2 && pieces[2][0] == '0' && (pieces[2][1] == 'x' || pieces[2][1] == 'X');
    auto authority = ParseNumber(pieces[2], hexAuthority ? 0 : 10, hexAuthority ? 0xFFFFFFFFFFFFull : MAXULONG);
    if (!authority)
        return std::nullopt;
    SidBytes sid(RtlLengthRequiredSid((ULONG)subCount));
    SID_IDENTIFIER_AUTHORITY identifierAuthority;
    for (int b = 0; b < 6; ++b)
        identifierAuthority.Value[b] = (UCHAR)(*authority >> (8 * (5 - b)));
    RtlInitializeSid(sid.data(), &identifierAuthority, (UCHAR)subCount);
    for (size_t n = 0; n < subCount; ++n) {
        auto rid = ParseNumber(pieces[3 + n], 10, MAXULONG);
        if (!rid)
            return std::nullopt;
        *RtlSubAuthoritySid(sid.data(), (ULONG)n) = (ULONG)*rid;
    }
    return sid;
}

std::optional<SidBytes> ParseSid(const std::string &text)
{
    if (text.size() == 2)
        return AliasSid(text);
    return LiteralSid(text);
}

/* Rights: a number, or two-letter codes run together. */
std::optional<ACCESS_MASK> ParseRights(const std::string &text)
{
    if (text.empty())
        return std::nullopt;
    if (text[0] >= '0' && text[0] <= '9') {
        auto value = ParseNumber(text, 0, MAXULONG);
        if (!value)
            return std::nullopt;
        return (ACCESS_MASK)*value;
    }
    if (text.size() % 2 != 0)
        return std::nullopt;
    ACCESS_MASK mask = 0;
    for (size_t i = 0; i < text.size(); i += 2) {
        const Code *code = FindCode(sddl::kRights, sddl::kRightCount, text.substr(i, 2));
        if (code == nullptr)
            return std::nullopt;
        mask |= code->value;
    }
    return mask;
}

std::optional<UCHAR> ParseAceFlags(const std::string &text)
{
    if (text.size() % 2 != 0)
        return std::nullopt;
    ULONG flags = 0;
    for (size_t i = 0; i < text.size(); i += 2) {
        const Code *code = FindCode(sddl::kAceFlags, sddl::kAceFlagCount, text.substr(i, 2));
        if (code == nullptr)
            return std::nullopt;
        flags |= code->value;
    }
    return (UCHAR)flags;
}

/* One ACE's text (between the parentheses) appended to an ACL being built. */
bool AppendAce(const std::string &text, std::vector<UCHAR> *aces, ULONG *count)
{
    std::vector<std::string> fields = Split(text, ';');
    if (fields.size() != 6)
        return false;
    const Code *type = FindCode(sddl::kAceTypes, sddl::kAceTypeCount, fields[0]);
    auto flags = ParseAceFlags(fields[1]);
    auto rights = ParseRights(fields[2]);
    auto sid = ParseSid(fields[5]);
    if (type == nullptr || !flags || !rights || !sid || !fields[3].empty() || !fields[4].empty())
        return false;
    ULONG aceSize = FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart) + (ULONG)sid->size();
    size_t at = aces->size();
    aces->resize(at + aceSize);
    auto ace = (PACCESS_ALLOWED_ACE)(aces->data() + at);
    ace->Header.AceType = (UCHAR)type->value;
    ace->Header.AceFlags = *flags;
    ace->Header.AceSize = (USHORT)aceSize;
    ace->Mask = *rights;
    std::memcpy(&ace->SidStart, sid->data(), sid->size());
    ++*count;
    return true;
}

class Reader {
public:
    explicit Reader(PCWSTR text) : text_(text) {}

    /* The whole text as ASCII; false if it holds anything else. */
    bool Load()
    {
        for (PCWSTR p = text_; *p != 0; ++p) {
            if (*p < 0x21 || *p > 0x7E)
                return false;
            ascii_ += (char)*p;
        }
        return true;
    }

    bool Parse()
    {
        while (pos_ < ascii_.size()) {
            if (pos_ + 2 > ascii_.size() || ascii_[pos_ + 1] != ':')
                return false;
            char part = ascii_[pos_];
            pos_ += 2;
            bool ok = false;
            switch (part) {
            case 'O':
                ok = !owner_ && ReadSidPart(&owner_);
                break;
            case 'G':
                ok = !group_ && ReadSidPart(&group_);
                break;
            case 'D':
                ok = !(control_ & SE_DACL_PRESENT) && ReadAclPart(SE_DACL_PRESENT, 0, &dacl_);
                break;
            case 'S':
                ok = !(control_ & SE_SACL_PRESENT) && ReadAclPart(SE_SACL_PRESENT, 1, &sacl_);
                break;
            default:
                return false;
            }
            if (!ok)
                return false;
        }
        return true;
    }

    DescriptorParts Parts()
    {
        DescriptorParts parts;
        parts.control = control_;
        parts.owner = owner_ ? owner_->data() : nullptr;
        parts.group = group_ ? group_->data() : nullptr;
        parts.dacl = dacl_ ? (PACL)dacl_->data() : nullptr;
        parts.sacl = sacl_ ? (PACL)sacl_->data() : nullptr;
        return parts;
    }

private:
    /* Whether a new part ("X:") or the end of the text starts at pos. */
    bool AtPartBoundary(size_t pos) const
    {
        return pos >= ascii_.size() || (pos + 1 < ascii_.size() && ascii_[pos + 1] == ':');
    }

    bool ReadSidPart(std::optional<SidBytes> *sid)
    {
        size_t end = pos_;
        if (ascii_.compare(pos_, 2, "S-") == 0 || ascii_.compare(pos_, 2, "s-") == 0) {
            end = pos_ + 2;
            while (end < ascii_.size() && (IsDigit(ascii_[end], 16) || ascii_[end] == '-' || ascii_[end] == 'x' ||
                                           ascii_[end] == 'X'))
                ++end;
            // A part tag ("D:") may follow digits; give back its letter.
            if (end < ascii_.size() && ascii_[end] == ':' && end > pos_ + 2)
                --end;
        } else {
            end = pos_ + 2;
        }
        if (end > ascii_.size() || !AtPartBoundary(end))
            return false;
        *sid = ParseSid(ascii_.substr(pos_, end - pos_));
        pos_ = end;
        return sid->has_value();
    }

    bool ReadAclPart(SECURITY_DESCRIPTOR_CONTROL present, int shift, std::optional<std::vector<UCHAR>> *acl)
    {
        control_ |= present;
        bool nullAcl = false;
        for (;;) {
            if (ascii_.compare(pos_, sizeof(sddl::kNoAccessControl) - 1, sddl::kNoAccessControl) == 0) {
                nullAcl = true;
                pos_ += sizeof(sddl::kNoAccessControl) - 1;
                continue;
            }
            const Code *flag = nullptr;
            for (size_t i = 0; i < sddl::kAclFlagCount && flag == nullptr; ++i) {
                size_t length = std::strlen(sddl::kAclFlags[i].code);
                if (ascii_.compare(pos_, length, sddl::kAclFlags[i].code) == 0 && !AtPartBoundary(pos_))
                    flag = &sddl::kAclFlags[i];
            }
            if (flag == nullptr)
                break;
            control_ |= (SECURITY_DESCRIPTOR_CONTROL)(flag->value << shift);
            pos_ += std::strlen(flag->code);
        }

        std::vector<UCHAR> aces;
        ULONG count = 0;
        while (pos_ < ascii_.size() && ascii_[pos_] == '(') {
            size_t close = ascii_.find(')', pos_);
            if (close == std::string::npos || nullAcl)
                return false;
            if (!AppendAce(ascii_.substr(pos_ + 1, close - pos_ - 1), &aces, &count))
                return false;
            pos_ = close + 1;
        }
        if (!AtPartBoundary(pos_))
            return false;
        if (nullAcl)
            return true;
        ULONG size = sizeof(ACL) + (ULONG)aces.size();
        if (size > MAXUSHORT)
            return false;
        std::vector<UCHAR> bytes(size);
        auto header = (PACL)bytes.data();
        header->AclRevision = ACL_REVISION;
        header->AclSize = (USHORT)size;
        header->AceCount = (USHORT)count;
        if (!aces.empty())
            std::memcpy(bytes.data() + sizeof(ACL), aces.data(), aces.size());
        *acl = std::move(bytes);
        return true;
    }

    PCWSTR text_;
    std::string ascii_;
    size_t pos_ = 0;
    SECURITY_DESCRIPTOR_CONTROL control_ = 0;
    std::optional<SidBytes> owner_, group_;
    std::optional<std::vector<UCHAR>> dacl_, sacl_;
};

} // namespace

NTSTATUS SidFromSddl(PCWSTR text, SidBytes *sid)
{
    if (text == nullptr)
        return STATUS_INVALID_PARAMETER;
    std::string ascii;
    for (PCWSTR p = text; *p != 0; ++p) {
        if (*p < 0x21 || *p > 0x7E)
            return STATUS_INVALID_PARAMETER;
        ascii += (char)*p;
    }
    auto parsed = ParseSid(ascii);
    if (!parsed)
        return STATUS_INVALID_PARAMETER;
    *sid = std::move(*parsed);
    return STATUS_SUCCESS;
}

NTSTATUS SecurityDescriptorFromSddl(PCWSTR sddl, POOL_TYPE pool, ULONG tag, PSECURITY_DESCRIPTOR *selfRelative,
                                    ULONG *length)
{
    if (sddl == nullptr || selfRelative == nullptr)
        return STATUS_INVALID_PARAMETER;
    Reader reader(sddl);
    if (!reader.Load() || !reader.Parse())
        return STATUS_INVALID_PARAMETER;
    DescriptorParts parts = reader.Parts();
    ULONG size = SelfRelativeLength(parts);
    PVOID buffer = ExAllocatePoolWithTag(pool, size, tag);
    if (buffer == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    WriteSelfRelative(parts, buffer);
    *selfRelative = buffer;
    if (length != nullptr)
        *length = size;
    return STATUS_SUCCESS;
}

} // namespace se
