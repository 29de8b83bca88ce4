/*
 * Configuration manager (registry) routines: key access rights, create options,
 * value types, the key and value information records and the Zw registry calls,
 * with Windows' values and layouts (wdm.h; KEY_NAME_INFORMATION and
 * KEY_CACHED_INFORMATION come from ntddk.h on Windows).
 */
#pragma once

#include <ntdef.h>
#include <km/ob.h>

/* Key-specific access rights. */
#define KEY_QUERY_VALUE        (0x0001)
#define KEY_SET_VALUE          (0x0002)
#define KEY_CREATE_SUB_KEY     (0x0004)
#define KEY_ENUMERATE_SUB_KEYS (0x0008)
#define KEY_NOTIFY             (0x0010)
#define KEY_CREATE_LINK        (0x0020)
#define KEY_WOW64_32KEY        (0x0200)
#define KEY_WOW64_64KEY        (0x0100)
#define KEY_WOW64_RES          (0x0300)

#define KEY_READ                                                                                \
    ((STANDARD_RIGHTS_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY) & (~SYNCHRONIZE))
#define KEY_WRITE ((STANDARD_RIGHTS_WRITE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY) & (~SYNCHRONIZE))
#define KEY_EXECUTE ((KEY_READ) & (~SYNCHRONIZE))
#define KEY_ALL_ACCESS                                                                          \
    ((STANDARD_RIGHTS_ALL | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY |              \
      KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY | KEY_CREATE_LINK) &                                  \
     (~SYNCHRONIZE))

/* Create and open options. */
#define REG_OPTION_RESERVED        (0x00000000L)
#define REG_OPTION_NON_VOLATILE    (0x00000000L)
#define REG_OPTION_VOLATILE        (0x00000001L)
#define REG_OPTION_CREATE_LINK     (0x00000002L)
#define REG_OPTION_BACKUP_RESTORE  (0x00000004L)
#define REG_OPTION_OPEN_LINK       (0x00000008L)
#define REG_OPTION_DONT_VIRTUALIZE (0x00000010L)
#define REG_LEGAL_OPTION                                                                        \
    (REG_OPTION_RESERVED | REG_OPTION_NON_VOLATILE | REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK | \
     REG_OPTION_BACKUP_RESTORE | REG_OPTION_OPEN_LINK | REG_OPTION_DONT_VIRTUALIZE)

/* ZwCreateKey dispositions. */
#define REG_CREATED_NEW_KEY     (0x00000001L)
#define REG_OPENED_EXISTING_KEY (0x00000002L)

/* Value types. */
#define REG_NONE                       (0ul)
#define REG_SZ                         (1ul)
#define REG_EXPAND_SZ                  (2ul)
#define REG_BINARY                     (3ul)
#define REG_DWORD                      (4ul)
#define REG_DWORD_LITTLE_ENDIAN        (4ul)
#define REG_DWORD_BIG_ENDIAN           (5ul)
#define REG_LINK                       (6ul)
#define REG_MULTI_SZ                   (7ul)
#define REG_RESOURCE_LIST              (8ul)
#define REG_FULL_RESOURCE_DESCRIPTOR   (9ul)
#define REG_RESOURCE_REQUIREMENTS_LIST (10ul)
#define REG_QWORD                      (11ul)
#define REG_QWORD_LITTLE_ENDIAN        (11ul)

typedef enum _KEY_INFORMATION_CLASS {
    KeyBasicInformation,
    KeyNodeInformation,
    KeyFullInformation,
    KeyNameInformation,
    KeyCachedInformation,
    KeyFlagsInformation,
    KeyVirtualizationInformation,
    KeyHandleTagsInformation,
    KeyTrustInformation,
    KeyLayerInformation,
    MaxKeyInfoClass
} KEY_INFORMATION_CLASS;

typedef enum _KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation,
    KeyValueFullInformation,
    KeyValuePartialInformation,
    KeyValueFullInformationAlign64,
    KeyValuePartialInformationAlign64,
    KeyValueLayerInformation,
    MaxKeyValueInfoClass
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_BASIC_INFORMATION {
    LARGE_INTEGER LastWriteTime;
    ULONG TitleIndex;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_BASIC_INFORMATION, *PKEY_BASIC_INFORMATION;

typedef struct _KEY_NODE_INFORMATION {
    LARGE_INTEGER LastWriteTime;
    ULONG TitleIndex;
    ULONG ClassOffset;
    ULONG ClassLength;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_NODE_INFORMATION, *PKEY_NODE_INFORMATION;

typedef struct _KEY_FULL_INFORMATION {
    LARGE_INTEGER LastWriteTime;
    ULONG TitleIndex;
    ULONG ClassOffset;
    ULONG ClassLength;
    ULONG SubKeys;
    ULONG MaxNameLen;
    ULONG MaxClassLen;
    ULONG Values;
    ULONG MaxValueNameLen;
    ULONG MaxValueDataLen;
    WCHAR Class[1];
} KEY_FULL_INFORMATION, *PKEY_FULL_INFORMATION;

typedef struct _KEY_NAME_INFORMATION {
    ULONG NameLength;
    WCHAR Name[1];
} KEY_NAME_INFORMATION, *PKEY_NAME_INFORMATION;

typedef struct _KEY_CACHED_INFORMATION {
    LARGE_INTEGER LastWriteTime;
    ULONG TitleIndex;
    ULONG SubKeys;
    ULONG MaxNameLen;
    ULONG Values;
    ULONG MaxValueNameLen;
    ULONG MaxValueDataLen;
    ULONG NameLength;
} KEY_CACHED_INFORMATION, *PKEY_CACHED_INFORMATION;

typedef struct _KEY_VALUE_BASIC_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_VALUE_BASIC_INFORMATION, *PKEY_VALUE_BASIC_INFORMATION;

typedef struct _KEY_VALUE_FULL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataOffset;
    ULONG DataLength;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_VALUE_FULL_INFORMATION, *PKEY_VALUE_FULL_INFORMATION;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION_ALIGN64 {
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION_ALIGN64, *PKEY_VALUE_PARTIAL_INFORMATION_ALIGN64;

#if defined(__cplusplus)
static_assert(sizeof(KEY_BASIC_INFORMATION) == 24 && FIELD_OFFSET(KEY_BASIC_INFORMATION, Name) == 16,
              "KEY_BASIC_INFORMATION");
static_assert(sizeof(KEY_NODE_INFORMATION) == 32 && FIELD_OFFSET(KEY_NODE_INFORMATION, ClassOffset) == 12 &&
                  FIELD_OFFSET(KEY_NODE_INFORMATION, Name) == 24,
              "KEY_NODE_INFORMATION");
static_assert(sizeof(KEY_FULL_INFORMATION) == 48 && FIELD_OFFSET(KEY_FULL_INFORMATION, SubKeys) == 20 &&
                  FIELD_OFFSET(KEY_FULL_INFORMATION, MaxValueDataLen) == 40 &&
                  FIELD_OFFSET(KEY_FULL_INFORMATION, Class) == 44,
              "KEY_FULL_INFORMATION");
static_assert(sizeof(KEY_NAME_INFORMATION) == 8 && FIELD_OFFSET(KEY_NAME_INFORMATION, Name) == 4,
              "KEY_NAME_INFORMATION");
static_assert(sizeof(KEY_CACHED_INFORMATION) == 40 && FIELD_OFFSET(KEY_CACHED_INFORMATION, NameLength) == 32,
              "KEY_CACHED_INFORMATION");
static_assert(sizeof(KEY_VALUE_BASIC_INFORMATION) == 16 && FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name) == 12,
              "KEY_VALUE_BASIC_INFORMATION");
static_assert(sizeof(KEY_VALUE_FULL_INFORMATION) == 24 && FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, DataOffset) == 8 &&
                  FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name) == 20,
              "KEY_VALUE_FULL_INFORMATION");
static_assert(sizeof(KEY_VALUE_PARTIAL_INFORMATION) == 16 &&
                  FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12,
              "KEY_VALUE_PARTIAL_INFORMATION");
static_assert(sizeof(KEY_VALUE_PARTIAL_INFORMATION_ALIGN64) == 12 &&
                  FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION_ALIGN64, Data) == 8,
              "KEY_VALUE_PARTIAL_INFORMATION_ALIGN64");
#endif

EXTERN_C_START

extern NTKERNELAPI POBJECT_TYPE *CmKeyObjectType;

NTSYSAPI NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                    ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions,
                                    PULONG Disposition);
NTSYSAPI NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes);
NTSYSAPI NTSTATUS NTAPI ZwDeleteKey(HANDLE KeyHandle);
NTSYSAPI NTSTATUS NTAPI ZwFlushKey(HANDLE KeyHandle);
NTSYSAPI NTSTATUS NTAPI ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass,
                                   PVOID KeyInformation, ULONG Length, PULONG ResultLength);
NTSYSAPI NTSTATUS NTAPI ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                                       PVOID KeyInformation, ULONG Length, PULONG ResultLength);
NTSYSAPI NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                        KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                        PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);
NTSYSAPI NTSTATUS NTAPI ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                            KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                            PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);
NTSYSAPI NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                                      PVOID Data, ULONG DataSize);
NTSYSAPI NTSTATUS NTAPI ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName);

/*
 * The native entry points behind them. A Zw call runs with previous mode kernel;
 * the Nt form takes the caller's previous mode, so a user-mode caller's handles
 * are checked against the access they were granted.
 */
NTSYSCALLAPI NTSTATUS NTAPI NtCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                                        POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex,
                                        PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition);
NTSYSCALLAPI NTSTATUS NTAPI NtOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                                      POBJECT_ATTRIBUTES ObjectAttributes);
NTSYSCALLAPI NTSTATUS NTAPI NtDeleteKey(HANDLE KeyHandle);
NTSYSCALLAPI NTSTATUS NTAPI NtFlushKey(HANDLE KeyHandle);
NTSYSCALLAPI NTSTATUS NTAPI NtQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass,
                                       PVOID KeyInformation, ULONG Length, PULONG ResultLength);
NTSYSCALLAPI NTSTATUS NTAPI NtEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                                           PVOID KeyInformation, ULONG Length, PULONG ResultLength);
NTSYSCALLAPI NTSTATUS NTAPI NtQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                            KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                            PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);
NTSYSCALLAPI NTSTATUS NTAPI NtEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                                KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                                PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);
NTSYSCALLAPI NTSTATUS NTAPI NtSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                                          PVOID Data, ULONG DataSize);
NTSYSCALLAPI NTSTATUS NTAPI NtDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName);

EXTERN_C_END
