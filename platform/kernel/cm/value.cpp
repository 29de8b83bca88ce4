/*
 * Values: set, delete, query by name and enumerate by index.
 */
#include "cm/cmprocs.h"

#include "ke/dispatcher.h"
#include "ke/thread.h"

#include "machine.h"

#include <ntstatus.h>

namespace cm {
namespace {

/* A value name as given: empty (or absent) names the key's default value. */
NTSTATUS CheckValueName(const UNICODE_STRING *name)
{
    if (name == nullptr)
        return STATUS_SUCCESS;
    if ((name->Length & 1) || (name->Length != 0 && name->Buffer == nullptr))
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

const char16_t *NameText(const UNICODE_STRING *name)
{
    return name != nullptr ? reinterpret_cast<const char16_t *>(name->Buffer) : nullptr;
}

size_t NameChars(const UNICODE_STRING *name)
{
    return name != nullptr ? name->Length / sizeof(char16_t) : 0;
}

NTSTATUS SetValue(HANDLE keyHandle, PUNICODE_STRING valueName, ULONG type, PVOID data, ULONG dataSize,
                  KPROCESSOR_MODE mode)
{
    NTSTATUS status = CheckValueName(valueName);
    if (!NT_SUCCESS(status))
        return status;
    if (NameChars(valueName) * sizeof(char16_t) > kMaxValueNameBytes)
        return STATUS_INVALID_PARAMETER;
    if (data == nullptr && dataSize != 0)
        return STATUS_INVALID_PARAMETER;
    KeyBody *body;
    status = ReferenceKey(keyHandle, KEY_SET_VALUE, mode, &body);
    if (!NT_SUCCESS(status))
        return status;

    // The copy is made before the lock is taken: the tree never waits for the heap.
    Value value;
    if (NameChars(valueName) != 0)
        value.name.assign(NameText(valueName), NameChars(valueName));
    value.type = type;
    value.data.assign(static_cast<const uint8_t *>(data), static_cast<const uint8_t *>(data) + dataSize);
    {
        Registry &registry = State();
        std::lock_guard<std::mutex> guard(registry.lock);
        Node *node = LiveNode(body);
        if (node == nullptr) {
            status = STATUS_KEY_DELETED;
        } else {
            ptrdiff_t index = FindValue(node, value.name.data(), value.name.size());
            if (index < 0) {
                node->values.push_back(std::move(value));
            } else {
                /* An existing value keeps its place and the spelling of its name. */
                node->values[index].type = value.type;
                node->values[index].data.swap(value.data);
            }
            node->lastWriteTime = Now();
            NoteChange(registry, node);
        }
    }
    DereferenceKey(body);
    return status;
}

NTSTATUS DeleteValue(HANDLE keyHandle, PUNICODE_STRING valueName, KPROCESSOR_MODE mode)
{
    NTSTATUS status = CheckValueName(valueName);
    if (!NT_SUCCESS(status))
        return status;
    KeyBody *body;
    status = ReferenceKey(keyHandle, KEY_SET_VALUE, mode, &body);
    if (!NT_SUCCESS(status))
        return status;
    {
        Registry &registry = State();
        std::lock_guard<std::mutex> guard(registry.lock);
        Node *node = LiveNode(body);
        ptrdiff_t index = node != nullptr ? FindValue(node, NameText(valueName), NameChars(valueName)) : -1;
        if (node == nullptr) {
            status = STATUS_KEY_DELETED;
        } else if (index < 0) {
            status = STATUS_OBJECT_NAME_NOT_FOUND;
        } else {
            node->values.erase(node->values.begin() + index); /* later values move down one index */
            node->lastWriteTime = Now();
            NoteChange(registry, node);
        }
    }
    DereferenceKey(body);
    return status;
}

/* ZwQueryValueKey (by name) and ZwEnumerateValueKey (by index, when valueName is null and index >= 0). */
NTSTATUS QueryValue(HANDLE keyHandle, PUNICODE_STRING valueName, LONGLONG index,
                    KEY_VALUE_INFORMATION_CLASS infoClass, PVOID buffer, ULONG length, PULONG resultLength,
                    KPROCESSOR_MODE mode)
{
    NTSTATUS status = CheckValueClass(infoClass);
    if (!NT_SUCCESS(status))
        return status;
    if (resultLength == nullptr)
        return STATUS_INVALID_PARAMETER;
    bool byIndex = index >= 0;
    if (!byIndex) {
        status = CheckValueName(valueName);
        if (!NT_SUCCESS(status))
            return status;
    }
    KeyBody *body;
    status = ReferenceKey(keyHandle, KEY_QUERY_VALUE, mode, &body);
    if (!NT_SUCCESS(status))
        return status;
    InfoRecord record(0);
    size_t minimumBytes = 0;
    {
        Registry &registry = State();
        std::lock_guard<std::mutex> guard(registry.lock);
        const Node *node = LiveNode(body);
        ptrdiff_t found = -1;
        if (node != nullptr)
            found = byIndex ? ((ULONGLONG)index < node->values.size() ? (ptrdiff_t)index : -1)
                            : FindValue(node, NameText(valueName), NameChars(valueName));
        if (node == nullptr)
            status = STATUS_KEY_DELETED;
        else if (found < 0)
            status = byIndex ? STATUS_NO_MORE_ENTRIES : STATUS_OBJECT_NAME_NOT_FOUND;
        else
            record = BuildValueRecord(node->values[found], infoClass, &minimumBytes);
    }
    DereferenceKey(body);
    if (!NT_SUCCESS(status))
        return status;
    return record.CopyOut(minimumBytes, buffer, length, resultLength);
}

} // namespace
} // namespace cm

extern "C" {

NTSYSAPI NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                                      PVOID Data, ULONG DataSize)
{
    (void)TitleIndex;
    ke::CheckIrql((const void *)&ZwSetValueKey, PASSIVE_LEVEL);
    if (machine::ShouldFail("ZwSetValueKey"))
        return STATUS_INSUFFICIENT_RESOURCES;
    return cm::SetValue(KeyHandle, ValueName, Type, Data, DataSize, KernelMode);
}

NTSYSCALLAPI NTSTATUS NTAPI NtSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                                          PVOID Data, ULONG DataSize)
{
    (void)TitleIndex;
    ke::CheckIrql((const void *)&NtSetValueKey, PASSIVE_LEVEL);
    if (machine::ShouldFail("NtSetValueKey"))
        return STATUS_INSUFFICIENT_RESOURCES;
    return cm::SetValue(KeyHandle, ValueName, Type, Data, DataSize, ke::CurrentThreadState().previousMode);
}

NTSYSAPI NTSTATUS NTAPI ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName)
{
    ke::CheckIrql((const void *)&ZwDeleteValueKey, PASSIVE_LEVEL);
    if (machine::ShouldFail("ZwDeleteValueKey"))
        return STATUS_INSUFFICIENT_RESOURCES;
    return cm::DeleteValue(KeyHandle, ValueName, KernelMode);
}

NTSYSCALLAPI NTSTATUS NTAPI NtDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName)
{
    ke::CheckIrql((const void *)&NtDeleteValueKey, PASSIVE_LEVEL);
    if (machine::ShouldFail("NtDeleteValueKey"))
        return STATUS_INSUFFICIENT_RESOURCES;
    return cm::DeleteValue(KeyHandle, ValueName, ke::CurrentThreadState().previousMode);
}

NTSYSAPI NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                        KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                        PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    ke::CheckIrql((const void *)&ZwQueryValueKey, PASSIVE_LEVEL);
    if (machine::ShouldFail("ZwQueryValueKey"))
        return STATUS_INSUFFICIENT_RESOURCES;
    return cm::QueryValue(KeyHandle, ValueName, -1, KeyValueInformationClass, KeyValueInformation, Length,
                          ResultLength, KernelMode);
}

NTSYSCALLAPI NTSTATUS NTAPI NtQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                            KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                            PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    ke::CheckIrql((const void *)&NtQueryValueKey, PASSIVE_LEVEL);
    if (machine::ShouldFail("NtQueryValueKey"))
        return STATUS_INSUFFICIENT_RESOURCES;
    return cm::QueryValue(KeyHandle, ValueName, -1, KeyValueInformationClass, KeyValueInformation, Length,
                          ResultLength, ke::CurrentThreadState().previousMode);
}

NTSYSAPI NTSTATUS NTAPI ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                            KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                            PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    ke::CheckIrql((const void *)&ZwEnumerateValueKey, PASSIVE_LEVEL);
    if (machine::ShouldFail("ZwEnumerateValueKey"))
        return STATUS_INSUFFICIENT_RESOURCES;
    return cm::QueryValue(KeyHandle, nullptr, Index, KeyValueInformationClass, KeyValueInformation, Length,
                          ResultLength, KernelMode);
}

NTSYSCALLAPI NTSTATUS NTAPI NtEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                                KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                                PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    ke::CheckIrql((const void *)&NtEnumerateValueKey, PASSIVE_LEVEL);
    if (machine::ShouldFail("NtEnumerateValueKey"))
        return STATUS_INSUFFICIENT_RESOURCES;
    return cm::QueryValue(KeyHandle, nullptr, Index, KeyValueInformationClass, KeyValueInformation, Length,
                          ResultLength, ke::CurrentThreadState().previousMode);
}

} // extern "C"
