/*
 * Helpers for registry tests: counted strings over their own storage, key handles
 * that close themselves, and short forms of the Zw calls a driver makes.
 */
#pragma once

#include <functional>
#include "machine_test.h"

#include <wdm.h>

#include <string>
#include <vector>

#define SERVICES u"\\Registry\\Machine\\System\\CurrentControlSet\\Services"

/* A UNICODE_STRING that owns its characters. */
class Name {
public:
    Name(std::u16string text) : text_(std::move(text)) { Point(); }
    Name(const char16_t *text) : Name(std::u16string(text)) {}
    Name(const Name &other) : Name(other.text_) {}
    Name &operator=(const Name &) = delete;
    operator PUNICODE_STRING() { return &string_; }

private:
    void Point()
    {
        string_.Buffer = (PWCH)text_.data();
        string_.Length = string_.MaximumLength = (USHORT)(text_.size() * sizeof(char16_t));
    }
    std::u16string text_;
    UNICODE_STRING string_;
};

/* A key handle closed at the end of its scope (NtClose: in the caller's mode). */
class Key {
public:
    Key() = default;
    Key(const Key &) = delete;
    Key &operator=(const Key &) = delete;
    ~Key() { Close(); }
    HANDLE get() const { return handle_; }
    PHANDLE out()
    {
        Close();
        return &handle_;
    }
    void Close()
    {
        if (handle_ != nullptr)
            NtClose(handle_);
        handle_ = nullptr;
    }

private:
    HANDLE handle_ = nullptr;
};

inline NTSTATUS CreateKey(Key &key, const char16_t *path, ULONG options = REG_OPTION_NON_VOLATILE,
                          HANDLE root = nullptr, ULONG *disposition = nullptr)
{
    Name name(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    return ZwCreateKey(key.out(), KEY_ALL_ACCESS, &attributes, 0, nullptr, options, disposition);
}

inline NTSTATUS OpenKey(Key &key, const char16_t *path, HANDLE root = nullptr, ACCESS_MASK access = KEY_ALL_ACCESS)
{
    Name name(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    return ZwOpenKey(key.out(), access, &attributes);
}

inline NTSTATUS SetValue(HANDLE key, const char16_t *name, ULONG type, const void *data, ULONG size)
{
    return ZwSetValueKey(key, Name(name), 0, type, const_cast<void *>(data), size);
}

inline NTSTATUS SetDword(HANDLE key, const char16_t *name, ULONG value)
{
    return SetValue(key, name, REG_DWORD, &value, sizeof(value));
}

struct ValueData {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ULONG type = 0;
    std::vector<uint8_t> data;
};

inline ValueData QueryValue(HANDLE key, const char16_t *name)
{
    ValueData result;
    std::vector<uint8_t> buffer(4096);
    ULONG length = 0;
    result.status = ZwQueryValueKey(key, Name(name), KeyValuePartialInformation, buffer.data(),
                                    (ULONG)buffer.size(), &length);
    if (NT_SUCCESS(result.status)) {
        auto info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data());
        result.type = info->Type;
        result.data.assign(info->Data, info->Data + info->DataLength);
    }
    return result;
}

inline std::string Ascii(const WCHAR *text, ULONG bytes)
{
    std::string ascii;
    for (ULONG i = 0; i < bytes / sizeof(WCHAR); ++i)
        ascii += (text[i] > 0 && text[i] < 0x7F) ? (char)text[i] : '?';
    return ascii;
}

/* Subkey names in enumeration order (ZwEnumerateKey until STATUS_NO_MORE_ENTRIES). */
inline std::vector<std::string> SubkeyNames(HANDLE key)
{
    std::vector<std::string> names;
    alignas(8) uint8_t buffer[1024];
    ULONG length;
    for (ULONG i = 0; ZwEnumerateKey(key, i, KeyBasicInformation, buffer, sizeof(buffer), &length) == STATUS_SUCCESS;
         ++i) {
        auto info = reinterpret_cast<PKEY_BASIC_INFORMATION>(buffer);
        names.push_back(Ascii(info->Name, info->NameLength));
    }
    return names;
}

/* Value names in enumeration order. */
inline std::vector<std::string> ValueNames(HANDLE key)
{
    std::vector<std::string> names;
    alignas(8) uint8_t buffer[1024];
    ULONG length;
    for (ULONG i = 0;
         ZwEnumerateValueKey(key, i, KeyValueBasicInformation, buffer, sizeof(buffer), &length) == STATUS_SUCCESS;
         ++i) {
        auto info = reinterpret_cast<PKEY_VALUE_BASIC_INFORMATION>(buffer);
        names.push_back(Ascii(info->Name, info->NameLength));
    }
    return names;
}

/* Everything below a key, as text: for comparing states before and after. */
inline std::string Dump(HANDLE key)
{
    std::string text;
    alignas(8) uint8_t buffer[4096];
    ULONG length;
    for (ULONG i = 0; ZwEnumerateValueKey(key, i, KeyValueFullInformation, buffer, sizeof(buffer), &length) ==
                      STATUS_SUCCESS;
         ++i) {
        auto info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
        text += "value " + Ascii(info->Name, info->NameLength) + " type " + std::to_string(info->Type) + " [";
        for (ULONG b = 0; b < info->DataLength; ++b)
            text += std::to_string(buffer[info->DataOffset + b]) + " ";
        text += "]\n";
    }
    for (const std::string &subkey : SubkeyNames(key)) {
        Key child;
        std::u16string name(subkey.begin(), subkey.end());
        if (OpenKey(child, name.c_str(), key) != STATUS_SUCCESS)
            return text + "cannot open " + subkey + "\n";
        text += "key " + subkey + " {\n" + Dump(child.get()) + "}\n";
    }
    return text;
}

/*
 * Runs body as a caller in user mode would: previous mode UserMode, acting for a
 * scratch user process with its own handle table, so that Nt* registry calls make
 * user handles and are checked against the access those handles were granted.
 * Handles the body leaves open are closed when the process ends.
 */
inline void RunAsUserModeCaller(const std::function<void()> &body)
{
    machine::ProcessIdentity identity;
    void *process = machine::CreateProcess(identity);
    machine::EnterProcess(process);
    body();
    machine::LeaveProcess();
    machine::ReleaseProcess(process);
}
