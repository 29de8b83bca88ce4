/*
 * Key information: ZwQueryKey and ZwEnumerateKey, and the information records
 * shared with the value routines.
 */
#include "cm/cmprocs.h"

#include "ke/dispatcher.h"
#include "ke/thread.h"

#include "machine.h"

#include <ntstatus.h>

#include <algorithm>

namespace cm {

void InfoRecord::Append(const void *data, size_t length)
{
    auto bytes = static_cast<const uint8_t *>(data);
    bytes_.insert(bytes_.end(), bytes, bytes + length);
}

void InfoRecord::AlignTo(size_t alignment)
{
    bytes_.resize((bytes_.size() + alignment - 1) & ~(alignment - 1), 0);
}

NTSTATUS InfoRecord::CopyOut(size_t minimumBytes, PVOID buffer, ULONG length, PULONG resultLength) const
{
    if (bytes_.size() > MAXULONG)
        return STATUS_INSUFFICIENT_RESOURCES;
    *resultLength = (ULONG)bytes_.size();
    if (length < minimumBytes)
        return STATUS_BUFFER_TOO_SMALL;
    if (buffer == nullptr)
        return STATUS_INVALID_PARAMETER;
    size_t copied = std::min<size_t>(length, bytes_.size());
    std::memcpy(buffer, bytes_.data(), copied);
    return copied < bytes_.size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

namespace {

constexpr ULONG kNoClass = 0xFFFFFFFF; /* ClassOffset of a key without a class */

ULONG Bytes(const std::u16string &text)
{
    return (ULONG)(text.size() * sizeof(char16_t));
}

struct KeyFigures {
    ULONG subKeys = 0;
    ULONG maxNameLen = 0;
    ULONG maxClassLen = 0;
    ULONG values = 0;
    ULONG maxValueNameLen = 0;
    ULONG maxValueDataLen = 0;
};

KeyFigures FiguresOf(const Node &node)
{
    KeyFigures figures;
    figures.subKeys = (ULONG)node.subkeys.size();
    for (const auto &[upcased, child] : node.subkeys) {
        figures.maxNameLen = std::max(figures.maxNameLen, Bytes(child->name));
        figures.maxClassLen = std::max(figures.maxClassLen, Bytes(child->className));
    }
    figures.values = (ULONG)node.values.size();
    for (const Value &value : node.values) {
        figures.maxValueNameLen = std::max(figures.maxValueNameLen, Bytes(value.name));
        figures.maxValueDataLen = std::max(figures.maxValueDataLen, (ULONG)value.data.size());
    }
    return figures;
}

/* The record of one key in a served class (lock held). */
InfoRecord BuildKeyRecord(const Node &node, KEY_INFORMATION_CLASS infoClass, size_t *minimumBytes)
{
    switch (infoClass) {
    case KeyBasicInformation: {
        InfoRecord record(FIELD_OFFSET(KEY_BASIC_INFORMATION, Name));
        record.Put<LONGLONG>(FIELD_OFFSET(KEY_BASIC_INFORMATION, LastWriteTime), (LONGLONG)node.lastWriteTime);
        record.Put<ULONG>(FIELD_OFFSET(KEY_BASIC_INFORMATION, NameLength), Bytes(node.name));
        record.Append(node.name.data(), Bytes(node.name));
        *minimumBytes = FIELD_OFFSET(KEY_BASIC_INFORMATION, Name);
        return record;
    }
    case KeyNodeInformation: {
        InfoRecord record(FIELD_OFFSET(KEY_NODE_INFORMATION, Name));
        ULONG nameBytes = Bytes(node.name);
        record.Put<LONGLONG>(FIELD_OFFSET(KEY_NODE_INFORMATION, LastWriteTime), (LONGLONG)node.lastWriteTime);
        record.Put<ULONG>(FIELD_OFFSET(KEY_NODE_INFORMATION, ClassOffset),
                          node.className.empty() ? kNoClass : FIELD_OFFSET(KEY_NODE_INFORMATION, Name) + nameBytes);
        record.Put<ULONG>(FIELD_OFFSET(KEY_NODE_INFORMATION, ClassLength), Bytes(node.className));
        record.Put<ULONG>(FIELD_OFFSET(KEY_NODE_INFORMATION, NameLength), nameBytes);
        record.Append(node.name.data(), nameBytes);
        record.Append(node.className.data(), Bytes(node.className));
        *minimumBytes = FIELD_OFFSET(KEY_NODE_INFORMATION, Name);
        return record;
    }
    case KeyFullInformation: {
        KeyFigures figures = FiguresOf(node);
        InfoRecord record(FIELD_OFFSET(KEY_FULL_INFORMATION, Class));
        record.Put<LONGLONG>(FIELD_OFFSET(KEY_FULL_INFORMATION, LastWriteTime), (LONGLONG)node.lastWriteTime);
        record.Put<ULONG>(FIELD_OFFSET(KEY_FULL_INFORMATION, ClassOffset),
                          node.className.empty() ? kNoClass : FIELD_OFFSET(KEY_FULL_INFORMATION, Class));
        record.Put<ULONG>(FIELD_OFFSET(KEY_FULL_INFORMATION, ClassLength), Bytes(node.className));
        record.Put<ULONG>(FIELD_OFFSET(KEY_FULL_INFORMATION, SubKeys), figures.subKeys);
        record.Put<ULONG>(FIELD_OFFSET(KEY_FULL_INFORMATION, MaxNameLen), figures.maxNameLen);
        record.Put<ULONG>(FIELD_OFFSET(KEY_FULL_INFORMATION, MaxClassLen), figures.maxClassLen);
        record.Put<ULONG>(FIELD_OFFSET(KEY_FULL_INFORMATION, Values), figures.values);
        record.Put<ULONG>(FIELD_OFFSET(KEY_FULL_INFORMATION, MaxValueNameLen), figures.maxValueNameLen);
        record.Put<ULONG>(FIELD_OFFSET(KEY_FULL_INFORMATION, MaxValueDataLen), figures.maxValueDataLen);
        record.Append(node.className.data(), Bytes(node.className));
        *minimumBytes = FIELD_OFFSET(KEY_FULL_INFORMATION, Class);
        return record;
    }
    case KeyNameInformation: {
        std::u16string fullName = FullKeyName(&node);
        InfoRecord record(FIELD_OFFSET(KEY_NAME_INFORMATION, Name));
        record.Put<ULONG>(FIELD_OFFSET(KEY_NAME_INFORMATION, NameLength), Bytes(fullName));
        record.Append(fullName.data(), Bytes(fullName));
        *minimumBytes = FIELD_OFFSET(KEY_NAME_INFORMATION, Name);
        return record;
    }
    default: { /* KeyCachedInformation: fixed size, no name */
        KeyFigures figures = FiguresOf(node);
        InfoRecord record(sizeof(KEY_CACHED_INFORMATION));
        record.Put<LONGLONG>(FIELD_OFFSET(KEY_CACHED_INFORMATION, LastWriteTime), (LONGLONG)node.lastWriteTime);
        record.Put<ULONG>(FIELD_OFFSET(KEY_CACHED_INFORMATION, SubKeys), figures.subKeys);
        record.Put<ULONG>(FIELD_OFFSET(KEY_CACHED_INFORMATION, MaxNameLen), figures.maxNameLen);
        record.Put<ULONG>(FIELD_OFFSET(KEY_CACHED_INFORMATION, Values), figures.values);
        record.Put<ULONG>(FIELD_OFFSET(KEY_CACHED_INFORMATION, MaxValueNameLen), figures.maxValueNameLen);
        record.Put<ULONG>(FIELD_OFFSET(KEY_CACHED_INFORMATION, MaxValueDataLen), figures.maxValueDataLen);
        record.Put<ULONG>(FIELD_OFFSET(KEY_CACHED_INFORMATION, NameLength), Bytes(node.name));
        *minimumBytes = sizeof(KEY_CACHED_INFORMATION);
        return record;
    }
    }
}

/* Classes Windows defines but the stand-in does not serve answer STATUS_NOT_IMPLEMENTED. */
NTSTATUS CheckKeyClass(KEY_INFORMATION_CLASS infoClass, bool enumerate)
{
    if ((int)infoClass < 0 || infoClass >= MaxKeyInfoClass)
        return STATUS_INVALID_PARAMETER;
    if (enumerate)
        return infoClass <= KeyFullInformation ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    return infoClass <= KeyCachedInformation ? STATUS_SUCCESS : STATUS_NOT_IMPLEMENTED;
}

/* ZwQueryKey (index < 0) and ZwEnumerateKey (the index-th subkey). */
NTSTATUS QueryKey(HANDLE keyHandle, LONGLONG index, KEY_INFORMATION_CLASS infoClass, PVOID buffer, ULONG length,
                  PULONG resultLength, KPROCESSOR_MODE mode)
{
    bool enumerate = index >= 0;
    NTSTATUS status = CheckKeyClass(infoClass, enumerate);
    if (!NT_SUCCESS(status))
        return status;
    if (resultLength == nullptr)
        return STATUS_INVALID_PARAMETER;
    ACCESS_MASK access = enumerate ? KEY_ENUMERATE_SUB_KEYS : infoClass == KeyNameInformation ? 0 : KEY_QUERY_VALUE;
    KeyBody *body;
    status = ReferenceKey(keyHandle, access, mode, &body);
    if (!NT_SUCCESS(status))
        return status;
    InfoRecord record(0);
    size_t minimumBytes = 0;
    {
        Registry &registry = State();
        std::lock_guard<std::mutex> guard(registry.lock);
        const Node *node = LiveNode(body);
        if (node == nullptr) {
            status = STATUS_KEY_DELETED;
        } else if (enumerate && (ULONGLONG)index >= node->subkeys.size()) {
            status = STATUS_NO_MORE_ENTRIES;
        } else {
            if (enumerate) {
                auto it = node->subkeys.begin();
                std::advance(it, (ptrdiff_t)index);
                node = it->second.get();
            }
            record = BuildKeyRecord(*node, infoClass, &minimumBytes);
        }
    }
    DereferenceKey(body);
    if (!NT_SUCCESS(status))
        return status;
    return record.CopyOut(minimumBytes, buffer, length, resultLength);
}

} // namespace

NTSTATUS CheckValueClass(KEY_VALUE_INFORMATION_CLASS infoClass)
{
    if ((int)infoClass < 0 || infoClass >= MaxKeyValueInfoClass)
        return STATUS_INVALID_PARAMETER;
    return infoClass <= KeyValuePartialInformationAlign64 ? STATUS_SUCCESS : STATUS_NOT_IMPLEMENTED;
}

InfoRecord BuildValueRecord(const Value &value, KEY_VALUE_INFORMATION_CLASS infoClass, size_t *minimumBytes)
{
    ULONG nameBytes = Bytes(value.name);
    ULONG dataBytes = (ULONG)value.data.size();
    switch (infoClass) {
    case KeyValueBasicInformation: {
        InfoRecord record(FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name));
        record.Put<ULONG>(FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Type), value.type);
        record.Put<ULONG>(FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, NameLength), nameBytes);
        record.Append(value.name.data(), nameBytes);
        *minimumBytes = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
        return record;
    }
    case KeyValueFullInformation:
    case KeyValueFullInformationAlign64: {
        // The data follows the name at the next ULONG boundary (ULONGLONG for the
        // Align64 class), so that it can be read in place.
        InfoRecord record(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name));
        record.Append(value.name.data(), nameBytes);
        record.AlignTo(infoClass == KeyValueFullInformation ? sizeof(ULONG) : sizeof(ULONGLONG));
        record.Put<ULONG>(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Type), value.type);
        record.Put<ULONG>(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, DataOffset), (ULONG)record.Size());
        record.Put<ULONG>(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, DataLength), dataBytes);
        record.Put<ULONG>(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, NameLength), nameBytes);
        record.Append(value.data.data(), dataBytes);
        *minimumBytes = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
        return record;
    }
    case KeyValuePartialInformation: {
        InfoRecord record(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data));
        record.Put<ULONG>(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Type), value.type);
        record.Put<ULONG>(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, DataLength), dataBytes);
        record.Append(value.data.data(), dataBytes);
        *minimumBytes = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
        return record;
    }
    default: { /* KeyValuePartialInformationAlign64 */
        InfoRecord record(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION_ALIGN64, Data));
        record.Put<ULONG>(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION_ALIGN64, Type), value.type);
        record.Put<ULONG>(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION_ALIGN64, DataLength), dataBytes);
        record.Append(value.data.data(), dataBytes);
        *minimumBytes = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION_ALIGN64, Data);
        return record;
    }
    }
}

} // namespace cm

extern "C" {

NTSYSAPI NTSTATUS NTAPI ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass,
                                   PVOID KeyInformation, ULONG Length, PULONG ResultLength)
{
    ke::CheckIrql((const void *)&ZwQueryKey, PASSIVE_LEVEL);
    if (machine::ShouldFail("ZwQueryKey"))
        return STATUS_INSUFFICIENT_RESOURCES;
    return cm::QueryKey(KeyHandle, -1, KeyInformationClass, KeyInformation, Length, ResultLength, KernelMode);
}

NTSYSCALLAPI NTSTATUS NTAPI NtQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass,
                                       PVOID KeyInformation, ULONG Length, PULONG ResultLength)
{
    ke::CheckIrql((const void *)&NtQueryKey, PASSIVE_LEVEL);
    if (machine::ShouldFail("NtQueryKey"))
        return STATUS_INSUFFICIENT_RESOURCES;
    return cm::QueryKey(KeyHandle, -1, KeyInformationClass, KeyInformation, Length, ResultLength,
                        ke::CurrentThreadState().previousMode);
}

NTSYSAPI NTSTATUS NTAPI ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                                       PVOID KeyInformation, ULONG Length, PULONG ResultLength)
{
    ke::CheckIrql((const void *)&ZwEnumerateKey, PASSIVE_LEVEL);
    if (machine::ShouldFail("ZwEnumerateKey"))
        return STATUS_INSUFFICIENT_RESOURCES;
    return cm::QueryKey(KeyHandle, Index, KeyInformationClass, KeyInformation, Length, ResultLength, KernelMode);
}

NTSYSCALLAPI NTSTATUS NTAPI NtEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                                           PVOID KeyInformation, ULONG Length, PULONG ResultLength)
{
    ke::CheckIrql((const void *)&NtEnumerateKey, PASSIVE_LEVEL);
    if (machine::ShouldFail("NtEnumerateKey"))
        return STATUS_INSUFFICIENT_RESOURCES;
    return cm::QueryKey(KeyHandle, Index, KeyInformationClass, KeyInformation, Length, ResultLength,
                        ke::CurrentThreadState().previousMode);
}

} // extern "C"
