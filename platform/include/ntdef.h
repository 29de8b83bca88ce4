/*
 * Basic NT types and macros (the parts of Windows' ntdef.h, basetsd.h and
 * winnt.h that kernel and user code share). The same header serves both targets:
 * built for Windows (_WIN64: LLP64, long is 32 bits) it declares the kit's own
 * types; built for the stand-in on Linux (LP64) it declares types of the same
 * sizes, so LONG and ULONG are 32 bits there too, as int.
 */
#pragma once

#include <sal.h>
#include <guiddef.h>

#if defined(__cplusplus)
static_assert(sizeof(wchar_t) == 2, "build with -fshort-wchar: WCHAR is a UTF-16 unit");
#define EXTERN_C extern "C"
#define EXTERN_C_START extern "C" {
#define EXTERN_C_END }
#else
#define EXTERN_C extern
#define EXTERN_C_START
#define EXTERN_C_END
#endif

/* On 64-bit ARM and x64 there is one calling convention, so these mark nothing. */
#define NTAPI
#define WINAPI
#define NTAPI_INLINE
#define CALLBACK
#define FASTCALL
#define __stdcall
#define __cdecl
#if defined(_WIN32)
#define DECLSPEC_IMPORT __declspec(dllimport)
#define DECLSPEC_EXPORT __declspec(dllexport)
#else
/* The stand-in implements what these headers import, and exports it from its libraries. */
#define DECLSPEC_IMPORT __attribute__((visibility("default")))
#define DECLSPEC_EXPORT __attribute__((visibility("default")))
#endif
#define NTSYSAPI DECLSPEC_IMPORT
#define NTSYSCALLAPI DECLSPEC_IMPORT
#define NTKERNELAPI DECLSPEC_IMPORT
#define NTHALAPI DECLSPEC_IMPORT
#define NTSTRSAFEDDI static inline NTSTATUS
#define DECLSPEC_NORETURN __attribute__((noreturn))
#define DECLSPEC_NOINLINE __attribute__((noinline))
#define DECLSPEC_ALIGN(x) __attribute__((aligned(x)))
#define DECLSPEC_NOTHROW
#define DECLSPEC_SELECTANY __attribute__((weak))
#define FORCEINLINE inline __attribute__((always_inline))
#define CFORCEINLINE FORCEINLINE
#define __forceinline inline __attribute__((always_inline))
#define __inline inline
#if defined(_M_AMD64) || defined(__x86_64__)
#define SYSTEM_CACHE_ALIGNMENT_SIZE 64
#else
#define SYSTEM_CACHE_ALIGNMENT_SIZE 128 /* 64-bit ARM */
#endif
#define DECLSPEC_CACHEALIGN DECLSPEC_ALIGN(SYSTEM_CACHE_ALIGNMENT_SIZE)
#define MEMORY_ALLOCATION_ALIGNMENT 16
#define CONST const
#define VOID void
#define IN
#define OUT
#define OPTIONAL
#define UNALIGNED

typedef void *PVOID, **PPVOID;
typedef const void *PCVOID;
typedef char CHAR, *PCHAR, *PSTR, *LPSTR;
typedef const char *PCSTR, *LPCSTR, *PCCH;
typedef unsigned char UCHAR, *PUCHAR, BYTE, *PBYTE, *LPBYTE, BOOLEAN, *PBOOLEAN;
typedef signed char SCHAR, CCHAR, *PSCHAR;
typedef short SHORT, *PSHORT, CSHORT;
typedef unsigned short USHORT, *PUSHORT, WORD, *PWORD;
typedef int INT, *PINT, BOOL, *PBOOL, LONG32, INT32;
typedef unsigned int UINT, *PUINT, ULONG32, UINT32, DWORD32;
#if defined(_WIN64)
typedef long LONG, *PLONG;
typedef unsigned long ULONG, *PULONG, DWORD, *PDWORD, *LPDWORD;
typedef __int64 LONG_PTR, *PLONG_PTR, INT_PTR, SSIZE_T, *PSSIZE_T;
typedef unsigned __int64 ULONG_PTR, *PULONG_PTR, UINT_PTR, DWORD_PTR, *PDWORD_PTR, KAFFINITY, *PKAFFINITY;
#else
typedef int LONG, *PLONG;
typedef unsigned int ULONG, *PULONG, DWORD, *PDWORD, *LPDWORD;
typedef long LONG_PTR, *PLONG_PTR, INT_PTR, SSIZE_T, *PSSIZE_T;
typedef unsigned long ULONG_PTR, *PULONG_PTR, UINT_PTR, DWORD_PTR, *PDWORD_PTR, KAFFINITY, *PKAFFINITY;
#endif
typedef long long LONGLONG, *PLONGLONG, LONG64, *PLONG64, INT64, *PINT64;
typedef unsigned long long ULONGLONG, *PULONGLONG, ULONG64, *PULONG64, UINT64, *PUINT64, DWORD64, *PDWORD64, DWORDLONG;
typedef __SIZE_TYPE__ SIZE_T, *PSIZE_T;
typedef wchar_t WCHAR, *PWCHAR, *PWSTR, *LPWSTR, *PWCH;
typedef const wchar_t *PCWSTR, *LPCWSTR, *PCWCH;
typedef LONG NTSTATUS, *PNTSTATUS;
typedef void *HANDLE, **PHANDLE;
typedef double DOUBLE;
typedef ULONG LOGICAL, *PLOGICAL;
typedef ULONG ACCESS_MASK, *PACCESS_MASK;
typedef UCHAR KIRQL, *PKIRQL;
typedef CCHAR KPROCESSOR_MODE;
typedef LONG KPRIORITY;
typedef USHORT RTL_ATOM;
typedef ULONG CLONG;
typedef ULONG LCID;

#ifndef __cplusplus
typedef unsigned short wchar_t;
#endif

#ifndef NULL
#define NULL __null
#endif
#define FALSE 0
#define TRUE 1

#define MINCHAR 0x80
#define MAXCHAR 0x7f
#define MINSHORT 0x8000
#define MAXSHORT 0x7fff
#define MINLONG 0x80000000
#define MAXLONG 0x7fffffff
#define MAXUCHAR 0xff
#define MAXUSHORT 0xffff
#define MAXULONG 0xffffffffU
#define MAXLONGLONG 0x7fffffffffffffffLL
#define MAXULONGLONG 0xffffffffffffffffULL
#define MAXULONG_PTR (~(ULONG_PTR)0)
#define MAXSIZE_T (~(SIZE_T)0)
#define MAXDWORD 0xffffffffU

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    };
    struct {
        ULONG LowPart;
        ULONG HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

typedef struct _LUID {
    ULONG LowPart;
    LONG HighPart;
} LUID, *PLUID;

/* Counted strings: Length and MaximumLength are in bytes, never NUL-terminated by rule. */
typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWCH Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, *PSTRING, ANSI_STRING, *PANSI_STRING, OEM_STRING, *POEM_STRING;
typedef const STRING *PCSTRING, *PCANSI_STRING, *PCOEM_STRING;

#define UNICODE_NULL ((WCHAR)0)
#define ANSI_NULL ((CHAR)0)
#define UNICODE_STRING_MAX_BYTES ((USHORT)65534)
#define UNICODE_STRING_MAX_CHARS (32767)

#if defined(__cplusplus)
template <typename T> struct RtlConstantStringUnit;
template <typename T> struct RtlConstantStringUnit<const T &> {
    typedef T Type;
};
#define RTL_CONSTANT_STRING(s)                                                                      \
    {                                                                                               \
        (USHORT)(sizeof(s) - sizeof((s)[0])), (USHORT)sizeof(s),                                    \
            const_cast<typename RtlConstantStringUnit<decltype((s)[0])>::Type *>(s)                 \
    }
#endif

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY *Flink;
    struct _LIST_ENTRY *Blink;
} LIST_ENTRY, *PLIST_ENTRY, *PRLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
    struct _SINGLE_LIST_ENTRY *Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;
typedef const OBJECT_ATTRIBUTES *PCOBJECT_ATTRIBUTES;

#define OBJ_INHERIT 0x00000002L
#define OBJ_PERMANENT 0x00000010L
#define OBJ_EXCLUSIVE 0x00000020L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_OPENIF 0x00000080L
#define OBJ_OPENLINK 0x00000100L
#define OBJ_KERNEL_HANDLE 0x00000200L
#define OBJ_FORCE_ACCESS_CHECK 0x00000400L
#define OBJ_VALID_ATTRIBUTES 0x00001FF2L

#define InitializeObjectAttributes(p, n, a, r, s) \
    do {                                              \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);      \
        (p)->RootDirectory = (r);                     \
        (p)->Attributes = (a);                        \
        (p)->ObjectName = (n);                        \
        (p)->SecurityDescriptor = (s);                \
        (p)->SecurityQualityOfService = NULL;         \
    } while (0)

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
typedef enum _TIMER_TYPE { NotificationTimer, SynchronizationTimer } TIMER_TYPE;
typedef enum _WAIT_TYPE { WaitAll, WaitAny, WaitNotification, WaitDequeue } WAIT_TYPE;

typedef struct _GROUP_AFFINITY {
    KAFFINITY Mask;
    USHORT Group;
    USHORT Reserved[3];
} GROUP_AFFINITY, *PGROUP_AFFINITY;

typedef struct _PROCESSOR_NUMBER {
    USHORT Group;
    UCHAR Number;
    UCHAR Reserved;
} PROCESSOR_NUMBER, *PPROCESSOR_NUMBER;

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

#define FIELD_OFFSET(type, field) ((LONG)__builtin_offsetof(type, field))
#define UFIELD_OFFSET(type, field) ((ULONG)__builtin_offsetof(type, field))
#define RTL_FIELD_SIZE(type, field) (sizeof(((type *)0)->field))
#define RTL_SIZEOF_THROUGH_FIELD(type, field) (FIELD_OFFSET(type, field) + RTL_FIELD_SIZE(type, field))
#define CONTAINING_RECORD(address, type, field) \
    ((type *)((PCHAR)(address) - (ULONG_PTR)__builtin_offsetof(type, field)))
#define RTL_NUMBER_OF(A) (sizeof(A) / sizeof((A)[0]))
#define ARRAYSIZE(A) RTL_NUMBER_OF(A)
#define ARGUMENT_PRESENT(ArgumentPointer) ((CHAR *)((ULONG_PTR)(ArgumentPointer)) != (CHAR *)NULL)
#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define C_ASSERT(e) static_assert(e, #e)
#define ALIGN_DOWN_BY(length, alignment) ((ULONG_PTR)(length) & ~((ULONG_PTR)(alignment) - 1))
#define ALIGN_UP_BY(length, alignment) (ALIGN_DOWN_BY(((ULONG_PTR)(length) + (alignment) - 1), alignment))
#define ALIGN_DOWN_POINTER_BY(address, alignment) ((PVOID)((ULONG_PTR)(address) & ~((ULONG_PTR)(alignment) - 1)))
#define ALIGN_UP_POINTER_BY(address, alignment) (ALIGN_DOWN_POINTER_BY(((ULONG_PTR)(address) + (alignment) - 1), alignment))
#define FlagOn(_F, _SF) ((_F) & (_SF))
#define BooleanFlagOn(F, SF) ((BOOLEAN)(((F) & (SF)) != 0))
#define SetFlag(_F, _SF) ((_F) |= (_SF))
#define ClearFlag(_F, _SF) ((_F) &= ~(_SF))

#if !defined(VOREL_LINUX_WORLD) && !defined(NOMINMAX)
#ifndef min
#define min(a, b) (((a) < (b)) ? (a) : (b))
#endif
#ifndef max
#define max(a, b) (((a) > (b)) ? (a) : (b))
#endif
#endif

#define MAKEWORD(a, b) ((WORD)(((BYTE)(a)) | ((WORD)((BYTE)(b))) << 8))
#define MAKELONG(a, b) ((LONG)(((WORD)(a)) | ((DWORD)((WORD)(b))) << 16))
#define LOWORD(l) ((WORD)(((DWORD_PTR)(l)) & 0xffff))
#define HIWORD(l) ((WORD)((((DWORD_PTR)(l)) >> 16) & 0xffff))

/* Processor modes. */
typedef enum _MODE { KernelMode, UserMode, MaximumMode } MODE;

#if defined(__cplusplus)
static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4, "LLP64");
static_assert(sizeof(LONGLONG) == 8 && sizeof(ULONG_PTR) == 8 && sizeof(PVOID) == 8, "64-bit");
static_assert(sizeof(WCHAR) == 2, "UTF-16");
static_assert(sizeof(LARGE_INTEGER) == 8 && sizeof(LUID) == 8, "64-bit records");
static_assert(sizeof(UNICODE_STRING) == 16 && sizeof(STRING) == 16, "counted strings");
static_assert(sizeof(LIST_ENTRY) == 16 && sizeof(SINGLE_LIST_ENTRY) == 8, "list entries");
static_assert(sizeof(OBJECT_ATTRIBUTES) == 48, "object attributes");
static_assert(sizeof(GROUP_AFFINITY) == 16 && sizeof(PROCESSOR_NUMBER) == 4, "affinity");
#endif
