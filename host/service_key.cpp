/*
 * The driver's service key (see service_key.h), through the registry routines as
 * kernel-mode code on the host's own thread.
 */
#include "service_key.h"

#include "machine.h"

#include <wdm.h>

#include <cstring>
#include <vector>

namespace host {

namespace {

const char16_t kServicesKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

/* A counted string over a UTF-16 text that outlives it. */
UNICODE_STRING Counted(const std::u16string &text)
{
    UNICODE_STRING string;
    string.Buffer = reinterpret_cast<PWCH>(const_cast<char16_t *>(text.data()));
    string.Length = string.MaximumLength = (USHORT)(text.size() * sizeof(WCHAR));
    return string;
}

NTSTATUS SetValue(HANDLE key, const std::u16string &name, ULONG type, const void *data, size_t bytes)
{
    UNICODE_STRING valueName = Counted(name);
    return ZwSetValueKey(key, &valueName, 0, type, const_cast<void *>(data), (ULONG)bytes);
}

NTSTATUS SetString(HANDLE key, const std::u16string &name, ULONG type, const std::u16string &text)
{
    std::u16string terminated = text + u'\0';
    return SetValue(key, name, type, terminated.data(), terminated.size() * sizeof(char16_t));
}

NTSTATUS SetDword(HANDLE key, const std::u16string &name, ULONG value)
{
    return SetValue(key, name, REG_DWORD, &value, sizeof(value));
}

ULONG ReadDword(HANDLE key, const std::u16string &name)
{
    UNICODE_STRING valueName = Counted(name);
    uint8_t buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
    ULONG length = 0;
    NTSTATUS status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer, sizeof(buffer), &length);
    auto *info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION *>(buffer);
    if (!NT_SUCCESS(status) || info->Type != REG_DWORD || info->DataLength != sizeof(ULONG))
        return 0;
    ULONG value;
    std::memcpy(&value, info->Data, sizeof(value));
    return value;
}

NTSTATUS OpenKeyBelow(HANDLE root, const std::u16string &path, ACCESS_MASK access, HANDLE *handle)
{
    UNICODE_STRING name = Counted(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    return ZwOpenKey(handle, access, &attributes);
}

/* Deletes an open key's subkeys, deepest first, then the key. */
NTSTATUS DeleteTree(HANDLE key)
{
    uint8_t buffer[sizeof(KEY_BASIC_INFORMATION) + 256 * sizeof(WCHAR)];
    for (;;) {
        // Each deleted subkey moves the next one to index 0.
        ULONG length = 0;
        NTSTATUS status = ZwEnumerateKey(key, 0, KeyBasicInformation, buffer, sizeof(buffer), &length);
        if (status == STATUS_NO_MORE_ENTRIES)
            break;
        if (!NT_SUCCESS(status))
            return status;
        auto *basic = reinterpret_cast<KEY_BASIC_INFORMATION *>(buffer);
        std::u16string child(reinterpret_cast<const char16_t *>(basic->Name), basic->NameLength / sizeof(WCHAR));
        HANDLE childKey;
        status = OpenKeyBelow(key, child, DELETE | KEY_ENUMERATE_SUB_KEYS, &childKey);
        if (NT_SUCCESS(status)) {
            status = DeleteTree(childKey);
            ZwClose(childKey);
        }
        if (!NT_SUCCESS(status))
            return status;
    }
    return ZwDeleteKey(key);
}

} // namespace

int32_t RemoveServiceKey(const std::u16string &service)
{
    HANDLE handle;
    NTSTATUS status = OpenKeyBelow(nullptr, kServicesKey + service, DELETE | KEY_ENUMERATE_SUB_KEYS, &handle);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND)
        return STATUS_SUCCESS;
    if (!NT_SUCCESS(status))
        return status;
    status = DeleteTree(handle);
    ZwClose(handle);
    if (NT_SUCCESS(status) && !machine::FlushRegistry())
        status = STATUS_REGISTRY_IO_FAILED;
    return status;
}

int32_t ReadServiceKey(const std::u16string &service, ServiceKey *key)
{
    *key = ServiceKey();
    std::u16string path = kServicesKey + service;
    UNICODE_STRING name = Counted(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle;
    NTSTATUS status = ZwOpenKey(&handle, KEY_READ, &attributes);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND)
        return STATUS_SUCCESS;
    if (!NT_SUCCESS(status))
        return status;
    key->exists = true;
    key->markedForDelete = ReadDword(handle, u"DeleteFlag") != 0;
    std::u16string valueText = u"ImagePath";
    UNICODE_STRING valueName = Counted(valueText);
    std::vector<uint8_t> buffer(sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 2048);
    ULONG length = 0;
    status = ZwQueryValueKey(handle, &valueName, KeyValuePartialInformation, buffer.data(), (ULONG)buffer.size(),
                             &length);
    if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
        buffer.resize(length);
        status = ZwQueryValueKey(handle, &valueName, KeyValuePartialInformation, buffer.data(), (ULONG)buffer.size(),
                                 &length);
    }
    ZwClose(handle);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND)
        return STATUS_SUCCESS;
    if (!NT_SUCCESS(status))
        return status;
    auto *info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION *>(buffer.data());
    if (info->Type != REG_SZ && info->Type != REG_EXPAND_SZ)
        return STATUS_SUCCESS;
    size_t units = info->DataLength / sizeof(char16_t);
    std::u16string text(units, u'\0');
    std::memcpy(text.data(), info->Data, units * sizeof(char16_t));
    while (!text.empty() && text.back() == u'\0')
        text.pop_back();
    key->imagePath = text;
    return STATUS_SUCCESS;
}

int32_t WriteServiceKey(const std::u16string &service, const std::u16string &displayName,
                        const std::u16string &imagePath)
{
    std::u16string path = kServicesKey + service;
    UNICODE_STRING name = Counted(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle;
    ULONG disposition = 0;
    NTSTATUS status = ZwCreateKey(&handle, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  &disposition);
    if (!NT_SUCCESS(status))
        return status;
    const ULONG kFileSystemDriver = 2, kSystemStart = 1, kErrorNormal = 1;
    status = SetDword(handle, u"Type", kFileSystemDriver);
    if (NT_SUCCESS(status))
        status = SetDword(handle, u"Start", kSystemStart);
    if (NT_SUCCESS(status))
        status = SetDword(handle, u"ErrorControl", kErrorNormal);
    if (NT_SUCCESS(status))
        status = SetString(handle, u"ImagePath", REG_EXPAND_SZ, imagePath);
    if (NT_SUCCESS(status))
        status = SetString(handle, u"DisplayName", REG_SZ, displayName);
    if (NT_SUCCESS(status))
        status = ZwFlushKey(handle);
    ZwClose(handle);
    return status;
}

} // namespace host
