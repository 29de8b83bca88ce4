/*
 * The sets a program sends to rename, link, delete and resize, through the
 * native API from the program's own memory, and straight to the volume (where
 * the I/O manager's own checks would hide the file system's); and the names a
 * node answers to, read back by opening paths and by its hard-link list.
 */
#pragma once

#include "fileops_test.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

class SetInformationTest : public DataFileOpsTest {
protected:
    static constexpr size_t kScratch = 256 * 1024;

    void SetUp() override
    {
        FileOpsTest::SetUp();
        ASSERT_EQ(MakeVolume(), STATUS_SUCCESS);
        AllocateScratch(kScratch);
    }

    static std::u16string Utf16(const std::string &text) { return std::u16string(text.begin(), text.end()); }
    static std::string Narrow(const std::u16string &text) { return std::string(text.begin(), text.end()); }

    /*
     * A rename or link record for name, with the replace flag or flags word and a
     * root handle; never shorter than the declared record, as the I/O manager asks.
     */
    static std::vector<UCHAR> TargetRecord(const std::u16string &name, ULONG flags, HANDLE root = nullptr)
    {
        std::vector<UCHAR> record(
            std::max(sizeof(FILE_RENAME_INFORMATION), FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName) + name.size() * 2),
            0);
        auto *info = reinterpret_cast<FILE_RENAME_INFORMATION *>(record.data());
        info->Flags = flags;
        info->RootDirectory = root;
        info->FileNameLength = (ULONG)(name.size() * 2);
        memcpy(info->FileName, name.data(), name.size() * 2);
        return record;
    }

    /* NtSetInformationFile as the user program with length bytes of record. */
    NTSTATUS UserSet(HANDLE handle, FILE_INFORMATION_CLASS c, const void *record, ULONG length)
    {
        memcpy(scratch, record, length);
        return support::AsUser(*process, [&] { return NtSetInformationFile(handle, iosb, scratch, length, c); });
    }
    /* NtQueryInformationFile as the user program; the record lands in scratch. */
    NTSTATUS UserQuery(HANDLE handle, FILE_INFORMATION_CLASS c, ULONG length)
    {
        memset(scratch, 0xCC, length);
        return support::AsUser(*process, [&] { return NtQueryInformationFile(handle, iosb, scratch, length, c); });
    }

    /* Renames (or links, with link) what handle opens to target; "\x" targets are made full drive paths. */
    NTSTATUS Rename(HANDLE handle, const std::string &target, bool replace = false, bool link = false,
                    HANDLE root = nullptr)
    {
        std::string name = !target.empty() && target[0] == '\\' && root == nullptr ? "\\??\\R:" + target : target;
        std::vector<UCHAR> record = TargetRecord(Utf16(name), replace ? 1 : 0, root);
        return UserSet(handle, link ? FileLinkInformation : FileRenameInformation, record.data(),
                       (ULONG)record.size());
    }
    NTSTATUS Link(HANDLE handle, const std::string &target, bool replace = false, HANDLE root = nullptr)
    {
        return Rename(handle, target, replace, true, root);
    }

    /* IRP_MJ_SET_INFORMATION straight to the volume from the test thread (kernel mode), length bytes of record. */
    static NTSTATUS SetDirect(PFILE_OBJECT file, FILE_INFORMATION_CLASS c, const void *record, ULONG length,
                              BOOLEAN advanceOnly = FALSE)
    {
        std::vector<UCHAR> bytes(length + 64, 0);
        memcpy(bytes.data(), record, length);
        return SendFileRequest(file, IRP_MJ_SET_INFORMATION, [&](PIRP irp, PIO_STACK_LOCATION stack) {
            irp->AssociatedIrp.SystemBuffer = bytes.data();
            stack->Parameters.SetFile.Length = length;
            stack->Parameters.SetFile.FileInformationClass = c;
            stack->Parameters.SetFile.AdvanceOnly = advanceOnly;
        });
    }

    /* An open for the sets: attributes, data and delete. */
    NTSTATUS OpenForSet(const std::string &path, HANDLE *handle, ULONG options = 0)
    {
        OpenRequest rq;
        rq.access = FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | DELETE |
                    ((options & FILE_DIRECTORY_FILE) ? 0 : (FILE_READ_DATA | FILE_WRITE_DATA));
        rq.options = options;
        return Open(path, handle, rq);
    }

    /* Sets the delete disposition (plain, or Ex with flags) through handle. */
    NTSTATUS Dispose(HANDLE handle, bool remove = true)
    {
        FILE_DISPOSITION_INFORMATION record{};
        record.DeleteFile = remove;
        return UserSet(handle, FileDispositionInformation, &record, sizeof(record));
    }
    NTSTATUS DisposeEx(HANDLE handle, ULONG flags)
    {
        FILE_DISPOSITION_INFORMATION_EX record{};
        record.Flags = flags;
        return UserSet(handle, FileDispositionInformationEx, &record, sizeof(record));
    }
    /* Opens path for delete, sets the disposition and closes: the name goes. */
    NTSTATUS DeleteByDisposition(const std::string &path)
    {
        HANDLE handle;
        NTSTATUS status = OpenForSet(path, &handle);
        if (!NT_SUCCESS(status))
            return status;
        status = Dispose(handle);
        Close(handle);
        return status;
    }

    /* The node identifier a handle's internal-information query reports. */
    ULONGLONG IdOf(HANDLE handle)
    {
        if (UserQuery(handle, FileInternalInformation, sizeof(FILE_INTERNAL_INFORMATION)) != STATUS_SUCCESS)
            return 0;
        return (ULONGLONG)reinterpret_cast<const FILE_INTERNAL_INFORMATION *>(scratch)->IndexNumber.QuadPart;
    }

    /* The full name a handle reports. */
    std::string NameOf(HANDLE handle)
    {
        if (UserQuery(handle, FileNameInformation, 4096) != STATUS_SUCCESS)
            return "<none>";
        const auto *name = reinterpret_cast<const FILE_NAME_INFORMATION *>(scratch);
        return Narrow(std::u16string(reinterpret_cast<const char16_t *>(name->FileName), name->FileNameLength / 2));
    }

    /* The standard record a handle reports. */
    FILE_STANDARD_INFORMATION Standard(HANDLE handle)
    {
        FILE_STANDARD_INFORMATION record{};
        EXPECT_EQ(UserQuery(handle, FileStandardInformation, sizeof(record)), STATUS_SUCCESS);
        memcpy(&record, scratch, sizeof(record));
        return record;
    }

    /* A node's names as its hard-link list gives them: (parent identifier, name). */
    std::set<std::pair<ULONGLONG, std::string>> LinksOf(HANDLE handle)
    {
        std::set<std::pair<ULONGLONG, std::string>> links;
        if (UserQuery(handle, FileHardLinkInformation, 8192) != STATUS_SUCCESS)
            return {{0, "<query failed>"}};
        const auto *info = reinterpret_cast<const FILE_LINKS_INFORMATION *>(scratch);
        const UCHAR *at = reinterpret_cast<const UCHAR *>(&info->Entry);
        for (ULONG i = 0; i < info->EntriesReturned; ++i) {
            const auto *entry = reinterpret_cast<const FILE_LINK_ENTRY_INFORMATION *>(at);
            links.insert({(ULONGLONG)entry->ParentFileId,
                          Narrow(std::u16string(reinterpret_cast<const char16_t *>(entry->FileName),
                                                entry->FileNameLength))});
            at += entry->NextEntryOffset;
        }
        return links;
    }
};
