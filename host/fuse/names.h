/*
 * Names between Linux and the volume: a Linux name is bytes (UTF-8 here), a volume's
 * name UTF-16 with Windows' rules.
 */
#pragma once

#include <cstddef>
#include <string>

namespace fusebridge {

/*
 * One path component from Linux made a volume name. Returns 0, EINVAL (invalid UTF-8,
 * an empty name, "." or "..", a character Windows refuses in names: control characters
 * below 0x20, \ / : * ? " < > |), or ENAMETOOLONG (over 255 UTF-16 units).
 */
int NameFromUtf8(const char *name, std::u16string *out);

/*
 * A volume name for Linux: UTF-8. A lone surrogate (which no name made through this
 * bridge has, but a Windows program may store) becomes U+FFFD.
 */
std::string Utf8FromName(const char16_t *name, size_t units);

} // namespace fusebridge
