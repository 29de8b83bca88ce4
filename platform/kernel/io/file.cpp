/*
 * File objects. One per open; its handles and references decide its end: when
 * the last handle closes the driver gets IRP_MJ_CLEANUP, when the last reference
 * goes (sections and kernel references can keep it alive long after) it gets
 * IRP_MJ_CLOSE and the file object releases its device.
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

/* Sends a cleanup or close request for a file object and waits for it. */
void SendFileRequest(PFILE_OBJECT file, UCHAR major)
{
    PDEVICE_OBJECT device = IoGetRelatedDeviceObject(file);
    PIO_STACK_LOCATION stack;
    Request *request = NewRequest(device, file, KernelMode, major, 0, &stack);
    if (request == nullptr)
        KeBugCheckEx(NO_MORE_IRP_STACK_LOCATIONS, (ULONG_PTR)file, major, 0, 0); /* cannot fail: as Windows */
    request->irp->Flags |= IRP_SYNCHRONOUS_API | (major == IRP_MJ_CLOSE ? IRP_CLOSE_OPERATION : 0);
    CallDriverAndWait(device, request);
}

void CloseFile(void *body, struct _KPROCESS *process, int64_t handlesLeft)
{
    (void)process;
    auto *file = static_cast<PFILE_OBJECT>(body);
    if (handlesLeft != 0 || !StateOf(file)->opened)
        return;
    SendFileRequest(file, IRP_MJ_CLEANUP);
    file->Flags |= FO_CLEANUP_COMPLETE;
}

void DeleteFile(void *body)
{
    auto *file = static_cast<PFILE_OBJECT>(body);
    FileState *state = StateOf(file);
    if (state->opened)
        SendFileRequest(file, IRP_MJ_CLOSE);
    if (file->FileName.Buffer != nullptr)
        ExFreePoolWithTag(file->FileName.Buffer, kNameTag);
    if (file->RelatedFileObject != nullptr)
        ob::Dereference(file->RelatedFileObject);
    PDEVICE_OBJECT device = file->DeviceObject;
    if (device != nullptr) {
        InterlockedDecrement(&device->ReferenceCount);
        if (file->Vpb != nullptr)
            InterlockedDecrement((LONG volatile *)&file->Vpb->ReferenceCount);
        ob::Dereference(device);
    }
    state->~FileState();
}

ob::ObjectType fileType = {"File", POOL_TAG('F', 'i', 'l', 'e'),
                           {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS},
                           FILE_ALL_ACCESS, DeleteFile, CloseFile};
POBJECT_TYPE fileTypePointer = reinterpret_cast<POBJECT_TYPE>(&fileType);
GENERIC_MAPPING fileMapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};

} // namespace

ob::ObjectType *FileType()
{
    return &fileType;
}

FileState *StateOf(PFILE_OBJECT file)
{
    return reinterpret_cast<FileState *>(reinterpret_cast<unsigned char *>(file) + StateOffset());
}

PFILE_OBJECT CreateFileObject(PDEVICE_OBJECT device, const std::u16string &remainingName)
{
    auto *file = static_cast<PFILE_OBJECT>(ob::CreateObject(&fileType, StateOffset() + sizeof(FileState)));
    if (file == nullptr)
        return nullptr;
    new (StateOf(file)) FileState();
    if (!remainingName.empty()) {
        size_t bytes = remainingName.size() * sizeof(WCHAR);
        auto *buffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, bytes, kNameTag));
        if (buffer == nullptr) {
            ob::Dereference(file); /* no device yet: the delete drops nothing of it */
            return nullptr;
        }
        memcpy(buffer, remainingName.data(), bytes);
        file->FileName.Buffer = buffer;
        file->FileName.Length = file->FileName.MaximumLength = (USHORT)bytes;
    }
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

} // extern "C"
