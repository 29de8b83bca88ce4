/*
 * File objects. One per open; its handles and references decide its end, as on
 * Windows:
 *   - a process that closes its last handle of a file object through which it took
 *     byte-range locks, while other handles remain, sends IRP_MJ_LOCK_CONTROL /
 *     IRP_MN_UNLOCK_ALL for itself (fast I/O first);
 *   - the last handle sends IRP_MJ_CLEANUP;
 *   - the last reference (sections, stream files and kernel references keep a file
 *     object long after its cleanup) sends IRP_MJ_CLOSE, drops the VPB reference and
 *     releases the device.
 * Setting FO_CLEANUP_COMPLETE is the file system's business, not the I/O manager's.
 *
 * A file object opened for synchronous I/O serialises every call made through it on
 * its lock (Busy, Waiters and the Lock event of the FILE_OBJECT), so CurrentByteOffset
 * means one thing at a time.
 */
#include "io/internal.h"

#include "ke/dispatcher.h"

#include <km/bugcheck.h>
#include <km/list.h>

#include <cstring>

namespace io {
namespace {

constexpr ULONG kNameTag = POOL_TAG('I', 'o', 'N', 'm');

size_t StateOffset()
{
    return (sizeof(FILE_OBJECT) + 15) & ~size_t(15);
}

/*
 * Sends a cleanup or close request for a file object and waits for it (it cannot fail:
 * as Windows). One sent while the file object is being deleted takes no reference.
 * Its IRP is a must-succeed allocation, as on Windows: a failed allocation is tried
 * again (so a single injected pool failure passes), and only a pool that keeps failing
 * stops the machine.
 */
void SendCleanupOrClose(PFILE_OBJECT file, UCHAR major, bool deleting = false)
{
    constexpr int kAllocationAttempts = 8;
    PDEVICE_OBJECT device = TargetOf(file);
    PIO_STACK_LOCATION stack;
    Request *request = nullptr;
    for (int attempt = 0; request == nullptr && attempt < kAllocationAttempts; ++attempt)
        request = NewRequest(device, file, KernelMode, major, 0, &stack, !deleting);
    if (request == nullptr)
        KeBugCheckEx(NO_MORE_IRP_STACK_LOCATIONS, (ULONG_PTR)file, major, 0, 0);
    request->irp->Flags |= IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API;
    CallDriverAndWait(device, request);
}

void CloseFile(void *body, struct _KPROCESS *process, int64_t processHandles, int64_t handlesLeft)
{
    auto *file = static_cast<PFILE_OBJECT>(body);
    FileState *state = StateOf(file);
    if (processHandles != 0 || !state->opened)
        return;
    // Locks this process took through the file object go with its last handle; when the
    // file object's last handle goes, the cleanup releases them instead.
    if (file->LockOperation && handlesLeft != 0)
        UnlockAllForProcess(file, process);
    if (handlesLeft != 0 || state->cleanupSent)
        return;
    bool synchronous = (file->Flags & FO_SYNCHRONOUS_IO) != 0;
    if (synchronous)
        AcquireFileObjectLock(file);
    state->cleanupSent = true;
    SendCleanupOrClose(file, IRP_MJ_CLEANUP);
    if (synchronous)
        ReleaseFileObjectLock(file);
}

void DeleteFile(void *body)
{
    auto *file = static_cast<PFILE_OBJECT>(body);
    FileState *state = StateOf(file);
    // An open that never got a handle (a query by name, a failed handle insertion) owes
    // its cleanup too, as on Windows.
    if (state->opened && !state->cleanupSent && !(file->Flags & FO_HANDLE_CREATED)) {
        state->cleanupSent = true;
        SendCleanupOrClose(file, IRP_MJ_CLEANUP, true);
    }
    if (state->opened)
        SendCleanupOrClose(file, IRP_MJ_CLOSE);
    // The file system may have replaced the name with its own allocation.
    if (file->FileName.Buffer != nullptr)
        ExFreePool(file->FileName.Buffer);
    if (file->Vpb != nullptr)
        DereferenceVpb(file->Vpb);
    PDEVICE_OBJECT device = file->DeviceObject;
    if (device != nullptr) {
        InterlockedDecrement(&device->ReferenceCount);
        ob::Dereference(device);
    }
    state->~FileState();
}

ob::ObjectType fileType = {"File", POOL_TAG('F', 'i', 'l', 'e'),
                           {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS},
                           FILE_ALL_ACCESS, DeleteFile, CloseFile};
POBJECT_TYPE fileTypePointer = reinterpret_cast<POBJECT_TYPE>(&fileType);
GENERIC_MAPPING fileMapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};

/* A stream file object on a device or beside a file: it counts in the VPB like an open. */
PFILE_OBJECT NewStreamFileObject(PFILE_OBJECT related, PDEVICE_OBJECT device)
{
    if (related != nullptr)
        device = related->DeviceObject;
    PFILE_OBJECT file = CreateFileObject(device);
    if (file == nullptr)
        return nullptr;
    file->Flags |= FO_STREAM_FILE | FO_HANDLE_CREATED;
    PVPB vpb = related != nullptr ? related->Vpb : device->Vpb;
    if (vpb != nullptr) {
        KIRQL irql;
        IoAcquireVpbSpinLock(&irql);
        vpb->ReferenceCount++;
        IoReleaseVpbSpinLock(irql);
        file->Vpb = vpb;
    }
    StateOf(file)->opened = true;
    StateOf(file)->process = ke::CurrentProcess();
    return file;
}

} // namespace

ob::ObjectType *FileType()
{
    return &fileType;
}

FileState *StateOf(PFILE_OBJECT file)
{
    return reinterpret_cast<FileState *>(reinterpret_cast<unsigned char *>(file) + StateOffset());
}

PFILE_OBJECT CreateFileObject(PDEVICE_OBJECT device)
{
    auto *file = static_cast<PFILE_OBJECT>(ob::CreateObject(&fileType, StateOffset() + sizeof(FileState)));
    if (file == nullptr)
        return nullptr;
    new (StateOf(file)) FileState();
    file->Type = IO_TYPE_FILE;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;
    KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&file->Event, NotificationEvent, FALSE);
    KeInitializeSpinLock(&file->IrpListLock);
    InitializeListHead(&file->IrpList);
    ob::Reference(device);
    InterlockedIncrement(&device->ReferenceCount);
    return file;
}

NTSTATUS SetFileObjectName(PFILE_OBJECT file, const std::u16string &name)
{
    if (name.size() * sizeof(WCHAR) > MAXUSHORT)
        return STATUS_OBJECT_NAME_INVALID;
    return IoReplaceFileObjectName(file, reinterpret_cast<PWSTR>(const_cast<char16_t *>(name.data())),
                                   (USHORT)(name.size() * sizeof(WCHAR)));
}

void AcquireFileObjectLock(PFILE_OBJECT file)
{
    auto *busy = reinterpret_cast<LONG volatile *>(&file->Busy);
    auto *waiters = reinterpret_cast<LONG volatile *>(&file->Waiters);
    InterlockedIncrement(waiters);
    while (InterlockedExchange(busy, TRUE) != FALSE)
        KeWaitForSingleObject(&file->Lock, Executive, KernelMode, FALSE, nullptr);
    InterlockedDecrement(waiters);
}

void ReleaseFileObjectLock(PFILE_OBJECT file)
{
    InterlockedExchange(reinterpret_cast<LONG volatile *>(&file->Busy), FALSE);
    if (InterlockedCompareExchange(reinterpret_cast<LONG volatile *>(&file->Waiters), 0, 0) != 0)
        KeSetEvent(&file->Lock, 0, FALSE);
}

PDEVICE_OBJECT TargetOf(PFILE_OBJECT file)
{
    return IoGetRelatedDeviceObject(file);
}

} // namespace io

extern "C" {

NTKERNELAPI POBJECT_TYPE *IoFileObjectType = &io::fileTypePointer;

NTKERNELAPI PGENERIC_MAPPING NTAPI IoGetFileObjectGenericMapping(VOID)
{
    return &io::fileMapping;
}

NTKERNELAPI PDEVICE_OBJECT NTAPI IoGetRelatedDeviceObject(PFILE_OBJECT FileObject)
{
    PDEVICE_OBJECT device;
    if (FileObject->Vpb != nullptr && FileObject->Vpb->DeviceObject != nullptr)
        device = FileObject->Vpb->DeviceObject;
    else if (!(FileObject->Flags & FO_DIRECT_DEVICE_OPEN) && FileObject->DeviceObject->Vpb != nullptr &&
             FileObject->DeviceObject->Vpb->DeviceObject != nullptr)
        device = FileObject->DeviceObject->Vpb->DeviceObject;
    else
        device = FileObject->DeviceObject;
    return io::TopOfStack(device);
}

NTKERNELAPI PFILE_OBJECT NTAPI IoCreateStreamFileObject(PFILE_OBJECT FileObject, PDEVICE_OBJECT DeviceObject)
{
    ke::CheckIrql((const void *)&IoCreateStreamFileObject, APC_LEVEL);
    PFILE_OBJECT file = io::NewStreamFileObject(FileObject, DeviceObject);
    if (file == nullptr)
        ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
    // Windows makes a handle for it and closes it at once: the file system sees the
    // cleanup now, the close when the caller's reference goes.
    io::StateOf(file)->cleanupSent = true;
    io::SendCleanupOrClose(file, IRP_MJ_CLEANUP);
    return file;
}

NTKERNELAPI PFILE_OBJECT NTAPI IoCreateStreamFileObjectLite(PFILE_OBJECT FileObject, PDEVICE_OBJECT DeviceObject)
{
    ke::CheckIrql((const void *)&IoCreateStreamFileObjectLite, APC_LEVEL);
    PFILE_OBJECT file = io::NewStreamFileObject(FileObject, DeviceObject);
    if (file == nullptr)
        ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
    io::StateOf(file)->cleanupSent = true; /* never sends one */
    return file;
}

NTKERNELAPI NTSTATUS NTAPI IoReplaceFileObjectName(PFILE_OBJECT FileObject, PWSTR NewFileName, USHORT FileNameLength)
{
    ke::CheckIrql((const void *)&IoReplaceFileObjectName, APC_LEVEL);
    PUNICODE_STRING name = &FileObject->FileName;
    if (FileNameLength <= name->MaximumLength && name->Buffer != nullptr) {
        memmove(name->Buffer, NewFileName, FileNameLength);
        name->Length = FileNameLength;
        return STATUS_SUCCESS;
    }
    PWCH buffer = nullptr;
    if (FileNameLength != 0) {
        buffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, FileNameLength, io::kNameTag));
        if (buffer == nullptr)
            return STATUS_INSUFFICIENT_RESOURCES;
        memcpy(buffer, NewFileName, FileNameLength);
    }
    if (name->Buffer != nullptr)
        ExFreePool(name->Buffer);
    name->Buffer = buffer;
    name->Length = name->MaximumLength = FileNameLength;
    return STATUS_SUCCESS;
}

} // extern "C"
