/*
 * NtQueryInformationFile and NtSetInformationFile (and their Zw forms).
 *
 * From user mode every class has a minimum length and an access the handle must
 * grant, as Windows' tables give them; a class with no length for the direction is
 * STATUS_INVALID_INFO_CLASS, a shorter buffer STATUS_INFO_LENGTH_MISMATCH. Both
 * calls are synchronous for every handle and the record travels in a system buffer.
 *
 * The I/O manager answers some classes itself, as Windows does: the access the
 * handle was granted, the file object's mode, the device's alignment, and the
 * position of a file object opened for synchronous I/O (set too, checked for
 * sign and sector alignment); the mode is set here as well. Basic, standard and
 * network-open queries try the file system's fast I/O entry first.
 *
 * A rename or link whose target is a full name (or relative to RootDirectory)
 * opens the target's directory first, with SL_OPEN_TARGET_DIRECTORY, as the caller
 * (the access check is forced for user-mode callers); it must be on the same
 * volume (STATUS_NOT_SAME_DEVICE) and goes to the file system in
 * Parameters.SetFile.FileObject. The record keeps the name as the caller gave it.
 */
#include "io/internal.h"

#include "ke/dispatcher.h"

#include <cstring>

namespace io {
namespace {

struct ClassRule {
    UCHAR queryLength;
    ACCESS_MASK queryAccess;
    UCHAR setLength;
    ACCESS_MASK setAccess;
    bool kernelOnly;
};

ClassRule RuleOf(FILE_INFORMATION_CLASS c)
{
    switch (c) {
    case FileBasicInformation:
        return {sizeof(FILE_BASIC_INFORMATION), FILE_READ_ATTRIBUTES, sizeof(FILE_BASIC_INFORMATION),
                FILE_WRITE_ATTRIBUTES, false};
    case FileStandardInformation:
        return {sizeof(FILE_STANDARD_INFORMATION), 0, 0, 0, false};
    case FileInternalInformation:
        return {sizeof(FILE_INTERNAL_INFORMATION), 0, 0, 0, false};
    case FileEaInformation:
        return {sizeof(FILE_EA_INFORMATION), 0, 0, 0, false};
    case FileAccessInformation:
        return {sizeof(FILE_ACCESS_INFORMATION), 0, 0, 0, false};
    case FileNameInformation:
    case FileAlternateNameInformation:
    case FileNormalizedNameInformation:
    case FileVolumeNameInformation:
        return {sizeof(FILE_NAME_INFORMATION), 0, 0, 0, false};
    case FileRenameInformation:
    case FileRenameInformationEx:
        return {0, 0, sizeof(FILE_RENAME_INFORMATION), DELETE, false};
    case FileLinkInformation:
    case FileLinkInformationEx:
        return {0, 0, sizeof(FILE_LINK_INFORMATION), 0, false};
    case FileRenameInformationBypassAccessCheck:
    case FileLinkInformationBypassAccessCheck:
    case FileRenameInformationExBypassAccessCheck:
    case FileLinkInformationExBypassAccessCheck:
        return {0, 0, sizeof(FILE_RENAME_INFORMATION), 0, true};
    case FileDispositionInformation:
        return {0, 0, sizeof(FILE_DISPOSITION_INFORMATION), DELETE, false};
    case FileDispositionInformationEx:
        return {0, 0, sizeof(FILE_DISPOSITION_INFORMATION_EX), DELETE, false};
    case FilePositionInformation:
        return {sizeof(FILE_POSITION_INFORMATION), 0, sizeof(FILE_POSITION_INFORMATION), 0, false};
    case FileModeInformation:
        return {sizeof(FILE_MODE_INFORMATION), 0, sizeof(FILE_MODE_INFORMATION), 0, false};
    case FileAlignmentInformation:
        return {sizeof(FILE_ALIGNMENT_INFORMATION), 0, 0, 0, false};
    case FileAllInformation:
        return {sizeof(FILE_ALL_INFORMATION), FILE_READ_ATTRIBUTES, 0, 0, false};
    case FileAllocationInformation:
        return {0, 0, sizeof(FILE_ALLOCATION_INFORMATION), FILE_WRITE_DATA, false};
    case FileEndOfFileInformation:
        return {0, 0, sizeof(FILE_END_OF_FILE_INFORMATION), FILE_WRITE_DATA, false};
    case FileValidDataLengthInformation:
        return {0, 0, sizeof(FILE_VALID_DATA_LENGTH_INFORMATION), FILE_WRITE_DATA, false};
    case FileShortNameInformation:
        return {0, 0, sizeof(FILE_NAME_INFORMATION), DELETE, false};
    case FileStreamInformation:
        return {sizeof(FILE_STREAM_INFORMATION), 0, 0, 0, false};
    case FileCompressionInformation:
        return {sizeof(FILE_COMPRESSION_INFORMATION), 0, 0, 0, false};
    case FileObjectIdInformation:
        return {sizeof(FILE_OBJECTID_INFORMATION), 0, sizeof(FILE_OBJECTID_INFORMATION), 0, false};
    case FileCompletionInformation:
        return {0, 0, sizeof(FILE_COMPLETION_INFORMATION), 0, false};
    case FileReparsePointInformation:
        return {sizeof(FILE_REPARSE_POINT_INFORMATION), 0, 0, 0, false};
    case FileNetworkOpenInformation:
        return {sizeof(FILE_NETWORK_OPEN_INFORMATION), FILE_READ_ATTRIBUTES, 0, 0, false};
    case FileAttributeTagInformation:
        return {sizeof(FILE_ATTRIBUTE_TAG_INFORMATION), FILE_READ_ATTRIBUTES, 0, 0, false};
    case FileHardLinkInformation:
        return {sizeof(FILE_LINKS_INFORMATION), 0, 0, 0, false};
    case FileIsRemoteDeviceInformation:
        return {sizeof(BOOLEAN), 0, 0, 0, false};
    case FileStandardLinkInformation:
        return {sizeof(FILE_STANDARD_LINK_INFORMATION), 0, 0, 0, false};
    case FileIdInformation:
        return {sizeof(FILE_ID_INFORMATION), 0, 0, 0, false};
    case FileStatInformation:
        return {sizeof(FILE_STAT_INFORMATION), FILE_READ_ATTRIBUTES, 0, 0, false};
    case FileStatLxInformation:
        return {sizeof(FILE_STAT_LX_INFORMATION), FILE_READ_ATTRIBUTES | FILE_READ_EA, 0, 0, false};
    case FileCaseSensitiveInformation:
        return {sizeof(FILE_CASE_SENSITIVE_INFORMATION), FILE_READ_ATTRIBUTES, sizeof(FILE_CASE_SENSITIVE_INFORMATION),
                FILE_WRITE_ATTRIBUTES, false};
    default:
        return {0, 0, 0, 0, false};
    }
}

bool IsRenameOrLink(FILE_INFORMATION_CLASS c)
{
    return c == FileRenameInformation || c == FileRenameInformationEx || c == FileLinkInformation ||
           c == FileLinkInformationEx || c == FileRenameInformationBypassAccessCheck ||
           c == FileLinkInformationBypassAccessCheck || c == FileRenameInformationExBypassAccessCheck ||
           c == FileLinkInformationExBypassAccessCheck;
}

/* The mode bits a file object's flags stand for. */
ULONG ModeOf(PFILE_OBJECT file)
{
    ULONG mode = 0;
    if (file->Flags & FO_WRITE_THROUGH)
        mode |= FILE_WRITE_THROUGH;
    if (file->Flags & FO_SEQUENTIAL_ONLY)
        mode |= FILE_SEQUENTIAL_ONLY;
    if (file->Flags & FO_NO_INTERMEDIATE_BUFFERING)
        mode |= FILE_NO_INTERMEDIATE_BUFFERING;
    if (file->Flags & FO_SYNCHRONOUS_IO)
        mode |= (file->Flags & FO_ALERTABLE_IO) ? FILE_SYNCHRONOUS_IO_ALERT : FILE_SYNCHRONOUS_IO_NONALERT;
    if (file->Flags & FO_DELETE_ON_CLOSE)
        mode |= FILE_DELETE_ON_CLOSE;
    return mode;
}

/* Answers a query the I/O manager knows itself; false when the class is the file system's. */
bool QueryOwnClass(FileCall &call, FILE_INFORMATION_CLASS c, PVOID buffer, NTSTATUS *status)
{
    ULONG value;
    switch (c) {
    case FileAccessInformation:
        value = call.granted;
        break;
    case FileModeInformation:
        value = ModeOf(call.file);
        break;
    case FileAlignmentInformation:
        value = call.device->AlignmentRequirement;
        break;
    case FilePositionInformation:
        if (!call.synchronous)
            return false;
        memcpy(buffer, &call.file->CurrentByteOffset, sizeof(LARGE_INTEGER));
        CompleteWithoutRequest(&call, STATUS_SUCCESS, sizeof(FILE_POSITION_INFORMATION));
        *status = STATUS_SUCCESS;
        return true;
    default:
        return false;
    }
    memcpy(buffer, &value, sizeof(value));
    CompleteWithoutRequest(&call, STATUS_SUCCESS, sizeof(value));
    *status = STATUS_SUCCESS;
    return true;
}

/* Basic, standard and network-open information from the file system's fast I/O entries. */
bool QueryByFastIo(FileCall &call, FILE_INFORMATION_CLASS c, PVOID buffer, NTSTATUS *status)
{
    IO_STATUS_BLOCK local{};
    BOOLEAN done = FALSE;
    if (c == FileBasicInformation) {
        FILE_BASIC_INFORMATION record{};
        if (PFAST_IO_DISPATCH fastIo = FastIoTable(call.device, FIELD_OFFSET(FAST_IO_DISPATCH, FastIoQueryBasicInfo)))
            done = fastIo->FastIoQueryBasicInfo(call.file, TRUE, &record, &local, call.device);
        if (done)
            memcpy(buffer, &record, sizeof(record));
    } else if (c == FileStandardInformation) {
        FILE_STANDARD_INFORMATION record{};
        if (PFAST_IO_DISPATCH fastIo = FastIoTable(call.device, FIELD_OFFSET(FAST_IO_DISPATCH, FastIoQueryStandardInfo)))
            done = fastIo->FastIoQueryStandardInfo(call.file, TRUE, &record, &local, call.device);
        if (done)
            memcpy(buffer, &record, sizeof(record));
    } else if (c == FileNetworkOpenInformation) {
        FILE_NETWORK_OPEN_INFORMATION record{};
        if (PFAST_IO_DISPATCH fastIo =
                FastIoTable(call.device, FIELD_OFFSET(FAST_IO_DISPATCH, FastIoQueryNetworkOpenInfo)))
            done = fastIo->FastIoQueryNetworkOpenInfo(call.file, TRUE, &record, &local, call.device);
        if (done)
            memcpy(buffer, &record, sizeof(record));
    }
    if (!done)
        return false;
    CompleteWithoutRequest(&call, local.Status, local.Information);
    *status = local.Status;
    return true;
}

NTSTATUS QueryInformation(HANDLE handle, PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length, FILE_INFORMATION_CLASS c)
{
    KPROCESSOR_MODE mode = ke::CurrentThreadState().previousMode;
    if ((ULONG)c >= FileMaximumInformation)
        return STATUS_INVALID_INFO_CLASS;
    ClassRule rule = RuleOf(c);
    if (mode == UserMode && (rule.queryLength == 0 || rule.kernelOnly))
        return STATUS_INVALID_INFO_CLASS;
    if (mode == UserMode) {
        if (length < rule.queryLength)
            return STATUS_INFO_LENGTH_MISMATCH;
        if (!IsUserRange(buffer, length))
            return STATUS_ACCESS_VIOLATION;
    }
    FileCall call;
    NTSTATUS status = BeginFileCall(&call, handle, mode == UserMode ? rule.queryAccess : 0, nullptr, iosb);
    if (!NT_SUCCESS(status))
        return status;
    if (QueryOwnClass(call, c, buffer, &status) || QueryByFastIo(call, c, buffer, &status)) {
        EndFileCall(&call);
        return status;
    }
    return IssueFileRequest(&call, IRP_MJ_QUERY_INFORMATION, 0, true, [&](Request *request, PIO_STACK_LOCATION stack) {
        stack->Parameters.QueryFile.Length = length;
        stack->Parameters.QueryFile.FileInformationClass = c;
        return AttachSystemBuffer(request, buffer, length, false, true);
    });
}

/* Sets a class the I/O manager keeps itself; false when the class is the file system's. */
bool SetOwnClass(FileCall &call, FILE_INFORMATION_CLASS c, const void *buffer, NTSTATUS *status)
{
    PFILE_OBJECT file = call.file;
    if (c == FilePositionInformation) {
        if (!call.synchronous)
            return false;
        LARGE_INTEGER offset;
        memcpy(&offset, buffer, sizeof(offset));
        ULONG sector = call.device->SectorSize != 0 ? call.device->SectorSize : 1;
        if (offset.QuadPart < 0 ||
            ((file->Flags & FO_NO_INTERMEDIATE_BUFFERING) && (offset.LowPart & (sector - 1))))
            *status = STATUS_INVALID_PARAMETER;
        else {
            file->CurrentByteOffset = offset;
            *status = STATUS_SUCCESS;
            CompleteWithoutRequest(&call, STATUS_SUCCESS, 0);
        }
        return true;
    }
    if (c == FileModeInformation) {
        ULONG mode;
        memcpy(&mode, buffer, sizeof(mode));
        ULONG sync = mode & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT);
        bool synchronousFile = (file->Flags & FO_SYNCHRONOUS_IO) != 0;
        // Only write-through, sequential-only and the alertable kind of a synchronous
        // file object can change; a file object stays synchronous or not.
        if ((mode & ~(FILE_WRITE_THROUGH | FILE_SEQUENTIAL_ONLY | FILE_SYNCHRONOUS_IO_ALERT |
                      FILE_SYNCHRONOUS_IO_NONALERT)) ||
            sync == (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT) || (sync != 0) != synchronousFile) {
            *status = STATUS_INVALID_PARAMETER;
            return true;
        }
        ULONG flags = file->Flags & ~(FO_WRITE_THROUGH | FO_SEQUENTIAL_ONLY | FO_ALERTABLE_IO);
        if (mode & FILE_WRITE_THROUGH)
            flags |= FO_WRITE_THROUGH;
        if (mode & FILE_SEQUENTIAL_ONLY)
            flags |= FO_SEQUENTIAL_ONLY;
        if (mode & FILE_SYNCHRONOUS_IO_ALERT)
            flags |= FO_ALERTABLE_IO;
        file->Flags = flags;
        *status = STATUS_SUCCESS;
        CompleteWithoutRequest(&call, STATUS_SUCCESS, 0);
        return true;
    }
    if (c == FileCompletionInformation) {
        *status = STATUS_NOT_IMPLEMENTED; /* completion ports are not part of this machine */
        return true;
    }
    return false;
}

/*
 * Opens the directory a rename or link goes to, as the caller (kernel handle), and
 * references its file object; the volume must be the source's.
 */
NTSTATUS OpenTargetDirectory(FileCall &call, const FILE_RENAME_INFORMATION *info, HANDLE *handle, PFILE_OBJECT *target)
{
    UNICODE_STRING name;
    name.Buffer = const_cast<PWCH>(info->FileName);
    name.Length = name.MaximumLength = (USHORT)info->FileNameLength;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, info->RootDirectory,
                               nullptr);
    IO_STATUS_BLOCK iosb;
    ULONG options = IO_NO_PARAMETER_CHECKING | IO_OPEN_TARGET_DIRECTORY |
                    (call.mode == UserMode ? IO_FORCE_ACCESS_CHECK : 0);
    NTSTATUS status = IoCreateFileEx(handle, FILE_WRITE_DATA | SYNCHRONIZE, &attributes, &iosb, nullptr, 0,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_OPEN_FOR_BACKUP_INTENT,
                                     nullptr, 0, CreateFileTypeNone, nullptr, options, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    PVOID object;
    status = ObReferenceObjectByHandle(*handle, 0, *IoFileObjectType, KernelMode, &object, nullptr);
    if (NT_SUCCESS(status) && TargetOf(static_cast<PFILE_OBJECT>(object)) != call.device) {
        ob::Dereference(object);
        status = STATUS_NOT_SAME_DEVICE;
    }
    if (!NT_SUCCESS(status)) {
        ZwClose(*handle);
        return status;
    }
    *target = static_cast<PFILE_OBJECT>(object);
    return STATUS_SUCCESS;
}

NTSTATUS SetInformation(HANDLE handle, PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length, FILE_INFORMATION_CLASS c)
{
    KPROCESSOR_MODE mode = ke::CurrentThreadState().previousMode;
    if ((ULONG)c >= FileMaximumInformation)
        return STATUS_INVALID_INFO_CLASS;
    ClassRule rule = RuleOf(c);
    if (mode == UserMode && (rule.setLength == 0 || rule.kernelOnly))
        return STATUS_INVALID_INFO_CLASS;
    if (mode == UserMode) {
        if (length < rule.setLength)
            return STATUS_INFO_LENGTH_MISMATCH;
        if (!IsUserRange(buffer, length))
            return STATUS_ACCESS_VIOLATION;
    }
    // The record is captured once: the checks below and the file system see the same bytes.
    std::vector<UCHAR> record(static_cast<const UCHAR *>(buffer), static_cast<const UCHAR *>(buffer) + length);
    if (IsRenameOrLink(c)) {
        auto *info = reinterpret_cast<const FILE_RENAME_INFORMATION *>(record.data());
        if (length < sizeof(FILE_RENAME_INFORMATION) ||
            (ULONGLONG)FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName) + info->FileNameLength > length)
            return STATUS_INVALID_PARAMETER;
    }
    FileCall call;
    NTSTATUS status = BeginFileCall(&call, handle, mode == UserMode ? rule.setAccess : 0, nullptr, iosb);
    if (!NT_SUCCESS(status))
        return status;
    if (SetOwnClass(call, c, record.data(), &status)) {
        EndFileCall(&call);
        return status;
    }
    HANDLE targetHandle = nullptr;
    PFILE_OBJECT target = nullptr;
    if (IsRenameOrLink(c)) {
        auto *info = reinterpret_cast<const FILE_RENAME_INFORMATION *>(record.data());
        if (info->RootDirectory != nullptr || (info->FileNameLength >= sizeof(WCHAR) && info->FileName[0] == L'\\')) {
            status = OpenTargetDirectory(call, info, &targetHandle, &target);
            if (!NT_SUCCESS(status)) {
                EndFileCall(&call);
                return status;
            }
        }
    }
    status = IssueFileRequest(&call, IRP_MJ_SET_INFORMATION, 0, true, [&](Request *request, PIO_STACK_LOCATION stack) {
        stack->Parameters.SetFile.Length = length;
        stack->Parameters.SetFile.FileInformationClass = c;
        stack->Parameters.SetFile.FileObject = target;
        if (IsRenameOrLink(c)) {
            auto *info = reinterpret_cast<const FILE_RENAME_INFORMATION *>(record.data());
            bool extended = c == FileRenameInformationEx || c == FileLinkInformationEx ||
                            c == FileRenameInformationExBypassAccessCheck || c == FileLinkInformationExBypassAccessCheck;
            stack->Parameters.SetFile.ReplaceIfExists =
                extended ? (info->Flags & FILE_RENAME_REPLACE_IF_EXISTS) != 0 : info->ReplaceIfExists;
        } else if (c == FileDispositionInformation || c == FileDispositionInformationEx) {
            stack->Parameters.SetFile.DeleteHandle = handle;
        }
        return AttachSystemBuffer(request, record.data(), length, true, false);
    });
    if (target != nullptr) {
        ob::Dereference(target);
        ZwClose(targetHandle);
    }
    return status;
}

} // namespace
} // namespace io

extern "C" {

NTSYSCALLAPI NTSTATUS NTAPI NtQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                                   PVOID FileInformation, ULONG Length,
                                                   FILE_INFORMATION_CLASS FileInformationClass)
{
    ke::CheckIrql((const void *)&NtQueryInformationFile, PASSIVE_LEVEL);
    return io::QueryInformation(FileHandle, IoStatusBlock, FileInformation, Length, FileInformationClass);
}

NTSYSCALLAPI NTSTATUS NTAPI NtSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                                 PVOID FileInformation, ULONG Length,
                                                 FILE_INFORMATION_CLASS FileInformationClass)
{
    ke::CheckIrql((const void *)&NtSetInformationFile, PASSIVE_LEVEL);
    return io::SetInformation(FileHandle, IoStatusBlock, FileInformation, Length, FileInformationClass);
}

NTSYSAPI NTSTATUS NTAPI ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                               PVOID FileInformation, ULONG Length,
                                               FILE_INFORMATION_CLASS FileInformationClass)
{
    return io::AsKernelCall(
        [&] { return NtQueryInformationFile(FileHandle, IoStatusBlock, FileInformation, Length, FileInformationClass); });
}

NTSYSAPI NTSTATUS NTAPI ZwSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                                             ULONG Length, FILE_INFORMATION_CLASS FileInformationClass)
{
    return io::AsKernelCall(
        [&] { return NtSetInformationFile(FileHandle, IoStatusBlock, FileInformation, Length, FileInformationClass); });
}

} // extern "C"
