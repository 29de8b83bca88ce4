/* GUIDs. */
#pragma once

#ifndef GUID_DEFINED
#define GUID_DEFINED
typedef struct _GUID {
    unsigned int Data1;
    unsigned short Data2;
    unsigned short Data3;
    unsigned char Data4[8];
} GUID;
#endif
typedef GUID *LPGUID;
typedef const GUID *LPCGUID;
typedef GUID IID;
typedef GUID CLSID;
#define REFGUID const GUID &

#ifdef INITGUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    extern "C" const GUID name __attribute__((weak)) = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#else
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) extern "C" const GUID name
#endif

#if defined(__cplusplus)
inline bool IsEqualGUID(const GUID &a, const GUID &b)
{
    return __builtin_memcmp(&a, &b, sizeof(GUID)) == 0;
}
static_assert(sizeof(GUID) == 16, "GUID");
#endif
