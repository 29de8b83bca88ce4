/*
 * The registry's native calls, for clients. The configuration manager trusts the
 * pointers it is handed, as its kernel-mode callers' pointers deserve; a client's
 * are probed here first, and what the registry reads more than once (the object
 * attributes, the names) is captured, so a client that rewrites its user space
 * while the call runs cannot change a length after it was checked.
 */
#include "native_calls.h"

#include <wdm.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace transport {

namespace {

void *Pointer(uint64_t value)
{
    return reinterpret_cast<void *>((uintptr_t)value);
}

/* Guarded bodies: one probe or copy each. */
void CopyFromUser(void *to, const void *from, SIZE_T bytes)
{
    ProbeForRead(from, bytes, 1);
    std::memcpy(to, from, bytes);
}

void CheckUserOutput(void *at, SIZE_T bytes, ULONG alignment)
{
    ProbeForWrite(at, bytes, alignment);
}

void CheckUserInput(const void *at, SIZE_T bytes, ULONG alignment)
{
    ProbeForRead(at, bytes, alignment);
}

NTSTATUS ReadUser(void *to, const void *from, SIZE_T bytes)
{
    NTSTATUS status = STATUS_SUCCESS;
    STANDIN_GUARDED_CALL(status, CopyFromUser(to, from, bytes));
    return status;
}

NTSTATUS CheckOutput(uint64_t at, SIZE_T bytes, ULONG alignment)
{
    NTSTATUS status = STATUS_SUCCESS;
    STANDIN_GUARDED_CALL(status, CheckUserOutput(Pointer(at), bytes, alignment));
    return status;
}

NTSTATUS CheckInput(uint64_t at, SIZE_T bytes, ULONG alignment)
{
    NTSTATUS status = STATUS_SUCCESS;
    STANDIN_GUARDED_CALL(status, CheckUserInput(Pointer(at), bytes, alignment));
    return status;
}

/* A counted string of the client's, copied: its text lives in *text. */
struct CapturedString {
    UNICODE_STRING string = {0, 0, nullptr};
    std::vector<WCHAR> text;
};

NTSTATUS CaptureString(uint64_t user, CapturedString *captured)
{
    UNICODE_STRING header;
    NTSTATUS status = ReadUser(&header, Pointer(user), sizeof(header));
    if (!NT_SUCCESS(status))
        return status;
    if ((header.Length & 1) || header.Length > header.MaximumLength)
        return STATUS_INVALID_PARAMETER;
    captured->text.resize(header.Length / sizeof(WCHAR) + 1);
    if (header.Length != 0) {
        status = ReadUser(captured->text.data(), header.Buffer, header.Length);
        if (!NT_SUCCESS(status))
            return status;
    }
    captured->string.Buffer = captured->text.data();
    captured->string.Length = captured->string.MaximumLength = header.Length;
    return STATUS_SUCCESS;
}

/* Object attributes of the client's, copied with their name. The registry keeps no
 * security, so a descriptor or quality of service is not carried along. */
struct CapturedAttributes {
    OBJECT_ATTRIBUTES attributes;
    CapturedString name;
};

NTSTATUS CaptureAttributes(uint64_t user, CapturedAttributes *captured)
{
    NTSTATUS status = ReadUser(&captured->attributes, Pointer(user), sizeof(OBJECT_ATTRIBUTES));
    if (!NT_SUCCESS(status))
        return status;
    if (captured->attributes.Length != sizeof(OBJECT_ATTRIBUTES))
        return STATUS_INVALID_PARAMETER;
    if (captured->attributes.ObjectName != nullptr) {
        status = CaptureString((uint64_t)(uintptr_t)captured->attributes.ObjectName, &captured->name);
        if (!NT_SUCCESS(status))
            return status;
        captured->attributes.ObjectName = &captured->name.string;
    }
    captured->attributes.SecurityDescriptor = nullptr;
    captured->attributes.SecurityQualityOfService = nullptr;
    return STATUS_SUCCESS;
}

/* An information class as the routines take it: anything past the last is the end marker. */
KEY_VALUE_INFORMATION_CLASS ValueClass(uint64_t value)
{
    return value < (uint64_t)MaxKeyValueInfoClass ? (KEY_VALUE_INFORMATION_CLASS)value : MaxKeyValueInfoClass;
}

/* A key information class as the routines take it. */
KEY_INFORMATION_CLASS KeyClass(uint64_t value)
{
    return value < (uint64_t)MaxKeyInfoClass ? (KEY_INFORMATION_CLASS)value : MaxKeyInfoClass;
}

NTSTATUS OpenOrCreate(const CallBody &c, bool create)
{
    const uint64_t *a = c.arguments;
    NTSTATUS status = CheckOutput(a[0], sizeof(HANDLE), alignof(HANDLE));
    if (NT_SUCCESS(status) && create && a[6] != 0)
        status = CheckOutput(a[6], sizeof(ULONG), alignof(ULONG));
    CapturedAttributes attributes;
    if (NT_SUCCESS(status))
        status = CaptureAttributes(a[2], &attributes);
    if (!NT_SUCCESS(status))
        return status;
    if (!create)
        return NtOpenKey(static_cast<PHANDLE>(Pointer(a[0])), (ACCESS_MASK)a[1], &attributes.attributes);
    CapturedString className;
    if (a[4] != 0) {
        status = CaptureString(a[4], &className);
        if (!NT_SUCCESS(status))
            return status;
    }
    return NtCreateKey(static_cast<PHANDLE>(Pointer(a[0])), (ACCESS_MASK)a[1], &attributes.attributes, (ULONG)a[3],
                       a[4] != 0 ? &className.string : nullptr, (ULONG)a[5], static_cast<PULONG>(Pointer(a[6])));
}

/* The record buffer and result length of a query or enumeration: arguments 3, 4 and 5. */
NTSTATUS CheckRecordOutput(const uint64_t *a)
{
    NTSTATUS status = CheckOutput(a[3], (SIZE_T)a[4], alignof(ULONG));
    if (NT_SUCCESS(status))
        status = CheckOutput(a[5], sizeof(ULONG), alignof(ULONG));
    return status;
}

/* NtQueryValueKey and NtEnumerateValueKey: the record goes to a probed buffer. */
NTSTATUS QueryOrEnumerate(const CallBody &c, bool byName)
{
    const uint64_t *a = c.arguments;
    NTSTATUS status = CheckRecordOutput(a);
    if (!NT_SUCCESS(status))
        return status;
    auto *information = Pointer(a[3]);
    auto *resultLength = static_cast<PULONG>(Pointer(a[5]));
    if (!byName)
        return NtEnumerateValueKey(Pointer(a[0]), (ULONG)a[1], ValueClass(a[2]), information, (ULONG)a[4],
                                   resultLength);
    CapturedString name;
    status = CaptureString(a[1], &name);
    if (!NT_SUCCESS(status))
        return status;
    return NtQueryValueKey(Pointer(a[0]), &name.string, ValueClass(a[2]), information, (ULONG)a[4], resultLength);
}

} // namespace

/* Runs one of the registry's calls (the caller checked that c names one). */
NTSTATUS InvokeRegistryCall(const CallBody &c)
{
    const uint64_t *a = c.arguments;
    CapturedString name;
    NTSTATUS status;
    switch ((CallNumber)c.number) {
    case CallNumber::NtCreateKey:
        return OpenOrCreate(c, true);
    case CallNumber::NtOpenKey:
        return OpenOrCreate(c, false);
    case CallNumber::NtDeleteKey:
        return NtDeleteKey(Pointer(a[0]));
    case CallNumber::NtFlushKey:
        return NtFlushKey(Pointer(a[0]));
    case CallNumber::NtQueryValueKey:
        return QueryOrEnumerate(c, true);
    case CallNumber::NtEnumerateValueKey:
        return QueryOrEnumerate(c, false);
    case CallNumber::NtEnumerateKey:
        status = CheckRecordOutput(a);
        if (!NT_SUCCESS(status))
            return status;
        return NtEnumerateKey(Pointer(a[0]), (ULONG)a[1], KeyClass(a[2]), Pointer(a[3]), (ULONG)a[4],
                              static_cast<PULONG>(Pointer(a[5])));
    case CallNumber::NtSetValueKey:
        status = CaptureString(a[1], &name);
        if (NT_SUCCESS(status))
            status = CheckInput(a[4], (SIZE_T)a[5], 1);
        if (!NT_SUCCESS(status))
            return status;
        return NtSetValueKey(Pointer(a[0]), &name.string, (ULONG)a[2], (ULONG)a[3], Pointer(a[4]), (ULONG)a[5]);
    case CallNumber::NtDeleteValueKey:
        status = CaptureString(a[1], &name);
        if (!NT_SUCCESS(status))
            return status;
        return NtDeleteValueKey(Pointer(a[0]), &name.string);
    default:
        return STATUS_INVALID_SYSTEM_SERVICE;
    }
}

} // namespace transport
