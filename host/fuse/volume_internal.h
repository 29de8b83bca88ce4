/*
 * What the volume-call files share: the Windows headers, the call frame and the
 * handle conversions. Only volume_*.cpp include it.
 */
#pragma once

#include "volume_calls.h"

#include <ntifs.h>

namespace fusebridge {

/* The records of one request's native calls, in the process's user space. */
struct VolumeCalls::Frame {
    static constexpr size_t kNameUnits = 32767;
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK iosb = {};
    OBJECT_ATTRIBUTES attributes = {};
    UNICODE_STRING name = {};
    LARGE_INTEGER offset = {};
    ULONG needed = 0;
    alignas(8) uint8_t descriptor[1024];
    alignas(8) uint8_t input[64 * 1024 + 64];
    alignas(8) uint8_t record[64 * 1024 + 64];
    char16_t nameBuffer[kNameUnits];

    bool SetName(const char16_t *prefix, const std::u16string &rest);
};

inline HANDLE AsHandle(Handle value)
{
    return reinterpret_cast<HANDLE>((uintptr_t)value);
}

inline Handle AsValue(HANDLE handle)
{
    return (Handle)(uintptr_t)handle;
}

/* "\\??\\X:\\" followed by rest: a path on the volume of letter X. Built by appending:
 * GCC 12 misjudges concatenations of temporaries at -O2. */
inline std::u16string VolumeRootPath(char16_t letter, const std::u16string &rest)
{
    std::u16string path;
    path.reserve(7 + rest.size());
    path.append(u"\\??\\");
    path.push_back(letter);
    path.append(u":\\");
    path.append(rest);
    return path;
}

/* The access an open asks for, as Linux flags mean it. */
uint32_t AccessOfIntent(const OpenIntent &intent);

} // namespace fusebridge
