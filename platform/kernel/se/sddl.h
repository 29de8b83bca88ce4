/*
 * SDDL (security descriptor definition language): the vocabulary shared by the
 * reader (sddl_reader.cpp) and the writer (sddl_writer.cpp).
 *
 *   descriptor := part*            part := "O:" sid | "G:" sid | "D:" acl | "S:" acl
 *   acl        := flags ace*       flags := ("P" | "AI" | "AR" | "NO_ACCESS_CONTROL")*
 *   ace        := "(" type ";" aceflags ";" rights ";" objectguid ";" inheritguid ";" sid ")"
 *   rights     := number (0x.. hex, 0.. octal, decimal) | two-letter codes, concatenated
 *   sid        := two-letter alias | "S-1-" authority ("-" subauthority)*
 * Object GUIDs must be empty: object and callback ACEs are not supported, nor are
 * domain-relative aliases (DA, DU, LA, ...), which need a domain this machine does not have.
 */
#pragma once

#include <ntdef.h>
#include <km/se.h>

#include <cstddef>

namespace se::sddl {

/* A two-letter SID alias: authority (the last byte of the identifier authority) and sub-authorities. */
struct SidAlias {
    char code[3];
    UCHAR authority;
    UCHAR count;
    ULONG subAuthorities[2];
};

/* A two-letter (or longer) code with a numeric value: rights, ACE types, ACE flags, ACL flags. */
struct Code {
    const char *code;
    ULONG value;
};

extern const SidAlias kSidAliases[];
extern const size_t kSidAliasCount;
extern const Code kRights[];
extern const size_t kRightCount;
extern const Code kAceTypes[];
extern const size_t kAceTypeCount;
extern const Code kAceFlags[];
extern const size_t kAceFlagCount;
/* ACL flags: value is the descriptor control bit for a DACL; the SACL's bit is value << 1. */
extern const Code kAclFlags[];
extern const size_t kAclFlagCount;

/* The text of the NULL-ACL flag. */
constexpr const char kNoAccessControl[] = "NO_ACCESS_CONTROL";

} // namespace se::sddl
