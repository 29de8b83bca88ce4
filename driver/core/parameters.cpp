/*
 * Registry values under the driver's service key. Every registry access of the
 * driver starts at VorelData.ServiceKeyPath. PASSIVE_LEVEL throughout; no driver
 * lock may be held across these calls.
 */
#include "vorel.h"

/*
 * OpenServiceSubkey: opens (or, with Create, creates with CreateOptions) the named
 * key directly below the service key. Returns the registry's status; *Key is
 * null on failure.
 */
NTSTATUS OpenServiceSubkey(PCWSTR Subkey, BOOLEAN Create, ULONG CreateOptions, PHANDLE Key)
{
    *Key = NULL;

    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &VorelData.ServiceKeyPath, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL,
                               NULL);
    HANDLE serviceKey;
    NTSTATUS status = Create ? ZwCreateKey(&serviceKey, KEY_ALL_ACCESS, &attributes, 0, NULL, REG_OPTION_NON_VOLATILE,
                                           NULL)
                             : ZwOpenKey(&serviceKey, KEY_READ, &attributes);
    if (!NT_SUCCESS(status))
        return status;

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Subkey);
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, serviceKey, NULL);
    status = Create ? ZwCreateKey(Key, KEY_ALL_ACCESS, &attributes, 0, NULL, CreateOptions, NULL)
                    : ZwOpenKey(Key, KEY_READ, &attributes);
    ZwClose(serviceKey);
    if (!NT_SUCCESS(status))
        *Key = NULL;
    return status;
}

/*
 * QueryValue: reads a value of the expected type and exact size into Data.
 * Returns FALSE (Data untouched) when the value is missing, of another type or
 * another size.
 */
static BOOLEAN QueryValue(HANDLE Key, PCWSTR ValueName, ULONG Type, PVOID Data, ULONG Size)
{
    /* Room for the header and the largest value read here (a QWORD). */
    UCHAR buffer[FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + sizeof(ULONGLONG)];
    PKEY_VALUE_PARTIAL_INFORMATION info = (PKEY_VALUE_PARTIAL_INFORMATION)buffer;
    if (Size > sizeof(ULONGLONG))
        return FALSE;

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ValueName);
    ULONG resultLength = 0;
    NTSTATUS status = ZwQueryValueKey(Key, &name, KeyValuePartialInformation, info, sizeof(buffer), &resultLength);
    if (!NT_SUCCESS(status) || info->Type != Type || info->DataLength != Size)
        return FALSE;
    RtlCopyMemory(Data, info->Data, Size);
    return TRUE;
}

/* QuerySubkeyDword: a REG_DWORD of a key below the service key, or Default when the key or value is missing. */
ULONG QuerySubkeyDword(PCWSTR Subkey, PCWSTR ValueName, ULONG Default)
{
    HANDLE key;
    if (!NT_SUCCESS(OpenServiceSubkey(Subkey, FALSE, 0, &key)))
        return Default;
    ULONG value = Default;
    if (!QueryValue(key, ValueName, REG_DWORD, &value, sizeof(value)))
        value = Default;
    ZwClose(key);
    return value;
}

/* QueryParameterDword: a REG_DWORD under "Parameters", or Default when the key or value is missing. */
ULONG QueryParameterDword(PCWSTR ValueName, ULONG Default)
{
    return QuerySubkeyDword(L"Parameters", ValueName, Default);
}

/*
 * SetParameterDword: writes a REG_DWORD under "Parameters", creating the key when
 * missing, and flushes the key: a setting an administrator made must not wait for
 * the registry's lazy write, which a crash can beat. The status is the write's; a
 * failed flush leaves the value set and written later, so it is not reported.
 */
NTSTATUS SetParameterDword(PCWSTR ValueName, ULONG Value)
{
    HANDLE key;
    NTSTATUS status = OpenServiceSubkey(L"Parameters", TRUE, REG_OPTION_NON_VOLATILE, &key);
    if (!NT_SUCCESS(status))
        return status;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ValueName);
    status = ZwSetValueKey(key, &name, 0, REG_DWORD, &Value, sizeof(Value));
    if (NT_SUCCESS(status))
        (VOID)ZwFlushKey(key);
    ZwClose(key);
    return status;
}

/* QueryQwordValue: a REG_QWORD of an open key; a missing or malformed value reads as 0. */
ULONGLONG QueryQwordValue(HANDLE Key, PCWSTR ValueName)
{
    ULONGLONG value = 0;
    if (!QueryValue(Key, ValueName, REG_QWORD, &value, sizeof(value)))
        value = 0;
    return value;
}
