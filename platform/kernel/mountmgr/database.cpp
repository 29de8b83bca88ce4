/*
 * The MountedDevices database: \Registry\Machine\System\MountedDevices, one value per
 * link ("\DosDevices\X:"), REG_BINARY, holding the unique ID of the volume the link
 * belongs to. The mount manager reads it from the registry every time it decides, so
 * that a driver's or an administrator's direct edits count at once; it keeps no copy.
 */
#include "mountmgr/mountmgr.h"

#include <cstring>

namespace mountmgr {
namespace {

const WCHAR kDatabaseKey[] = L"\\Registry\\Machine\\System\\MountedDevices";

void SetCounted(UNICODE_STRING *counted, const std::u16string &text)
{
    counted->Buffer = reinterpret_cast<PWCH>(const_cast<char16_t *>(text.data()));
    counted->Length = counted->MaximumLength = (USHORT)(text.size() * sizeof(WCHAR));
}

/* Opens the database key, making it when it is missing (the first volume of a fresh machine). */
NTSTATUS OpenDatabase(ACCESS_MASK access, HANDLE *key)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, kDatabaseKey);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    ULONG disposition = 0;
    return ZwCreateKey(key, access, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, &disposition);
}

/* Opens the database for a change of one value, makes it, closes the key. */
template <typename Change>
NTSTATUS ChangeValue(const std::u16string &name, Change change)
{
    HANDLE key;
    NTSTATUS status = OpenDatabase(KEY_SET_VALUE, &key);
    if (!NT_SUCCESS(status))
        return status;
    UNICODE_STRING valueName;
    SetCounted(&valueName, name);
    status = change(key, &valueName);
    ZwClose(key);
    return status;
}

} // namespace

/*
 * ReadDatabase: every value of the database now. Values that are not REG_BINARY are
 * read as they are (their data compares equal to no unique ID of another type only by
 * chance, as on Windows). Returns the registry's failure, if any.
 */
NTSTATUS ReadDatabase(std::vector<DatabaseValue> *values)
{
    values->clear();
    HANDLE key;
    NTSTATUS status = OpenDatabase(KEY_QUERY_VALUE, &key);
    if (!NT_SUCCESS(status))
        return status;
    std::vector<UCHAR> buffer(256);
    for (ULONG index = 0;;) {
        ULONG needed = 0;
        status = ZwEnumerateValueKey(key, index, KeyValueFullInformation, buffer.data(), (ULONG)buffer.size(),
                                     &needed);
        if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
            buffer.resize(needed > buffer.size() ? needed : buffer.size() * 2);
            continue;
        }
        if (status == STATUS_NO_MORE_ENTRIES) {
            status = STATUS_SUCCESS;
            break;
        }
        if (!NT_SUCCESS(status))
            break;
        auto *info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer.data());
        DatabaseValue value;
        value.name.assign(reinterpret_cast<const char16_t *>(info->Name), info->NameLength / sizeof(WCHAR));
        value.data.assign(buffer.data() + info->DataOffset, buffer.data() + info->DataOffset + info->DataLength);
        values->push_back(std::move(value));
        ++index;
    }
    ZwClose(key);
    return status;
}

NTSTATUS WriteDatabaseValue(const std::u16string &name, const std::vector<UCHAR> &data)
{
    return ChangeValue(name, [&](HANDLE key, PUNICODE_STRING valueName) {
        return ZwSetValueKey(key, valueName, 0, REG_BINARY, const_cast<UCHAR *>(data.data()), (ULONG)data.size());
    });
}

NTSTATUS DeleteDatabaseValue(const std::u16string &name)
{
    return ChangeValue(name, [](HANDLE key, PUNICODE_STRING valueName) { return ZwDeleteValueKey(key, valueName); });
}

} // namespace mountmgr
