/*
 * Fixtures for the file operations' tests: a volume made through the control
 * device, and a user-mode program that opens and closes on it through the
 * native API. Every test ends with its handles closed and the volume dismounted,
 * so the pool check at teardown sees everything the opens took given back.
 */
#pragma once

#include "../volume/volume_test.h"
#include "../../platform/se/se_test_support.h"
#include "namespace/namespace_diagnostics.h"
#include "store/store_diagnostics.h"

#include <cstring>
#include <memory>
#include <string>

/* One open's request, with the defaults of a plain open of an existing file. */
struct OpenRequest {
    ACCESS_MASK access = FILE_READ_DATA;
    ULONG disposition = FILE_OPEN;
    ULONG options = 0;
    ULONG share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    ULONG attributes = 0;
    HANDLE root = nullptr;
    const void *ea = nullptr;
    ULONG eaLength = 0;
};

/* One extended attribute as a create request carries it, built in buffer; returns the record's length. */
inline ULONG PackOneEa(UCHAR (&buffer)[32], const char *name, const char *value)
{
    memset(buffer, 0, sizeof(buffer));
    auto *entry = reinterpret_cast<PFILE_FULL_EA_INFORMATION>(buffer);
    entry->EaNameLength = (UCHAR)strlen(name);
    entry->EaValueLength = (USHORT)strlen(value);
    memcpy(entry->EaName, name, entry->EaNameLength + 1u);
    memcpy(entry->EaName + entry->EaNameLength + 1, value, entry->EaValueLength);
    return (ULONG)(FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName) + entry->EaNameLength + 1 + entry->EaValueLength);
}

/* A kernel handle on R:path; asynchronous unless options ask otherwise. */
inline NTSTATUS KernelOpen(const std::string &path, HANDLE *handle, ULONG options = 0,
                           ACCESS_MASK access = FILE_READ_DATA, ULONG disposition = FILE_OPEN)
{
    support::Name name(("\\??\\R:" + path).c_str());
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name.string, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    return ZwCreateFile(handle, access | SYNCHRONIZE, &oa, &iosb, nullptr, 0,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, disposition, options, nullptr, 0);
}

class FileOpsTest : public VolumeTest {
protected:
    /* The clock jumps over waits: a dismount refused as busy gives up at once. */
    machine::Config BootConfig() override { return AutoClockConfig(); }
    void SetUp() override
    {
        VolumeTest::SetUp();
        process = std::make_unique<support::UserProcess>(0, 0);
        s = static_cast<const VOREL_STORE_DIAGNOSTICS *>(machine::DriverSymbol(kService, "VorelStoreDiagnostics"));
        ASSERT_NE(s, nullptr);
        n = static_cast<const VOREL_NAMESPACE_DIAGNOSTICS *>(
            machine::DriverSymbol(kService, "VorelNamespaceDiagnostics"));
        ASSERT_NE(n, nullptr);
    }
    void TearDown() override
    {
        process.reset();
        VolumeTest::TearDown();
    }

    /* A volume on R: with the given create flags and initial folders. */
    NTSTATUS MakeVolume(ULONG flags = 0, const char *folders = "")
    {
        VOREL_CREATE_VOLUME_INPUT input = CreateRecord('R', 64 * kMiB, "", flags);
        for (size_t i = 0; folders[i] != 0 && i + 1 < VOREL_FOLDERS_UNITS; ++i)
            input.InitialFolders[i] = (VOREL_WCHAR)folders[i];
        return Control(IOCTL_VOREL_CREATE_VOLUME, &input, sizeof(input));
    }

    /* NtCreateFile as the user program; path is relative to R:\ unless rq.root is set. */
    NTSTATUS Open(const std::string &path, HANDLE *handle, const OpenRequest &rq = {}, ULONG_PTR *action = nullptr)
    {
        return OpenAs(*process, path, handle, rq, action);
    }
    NTSTATUS OpenAs(support::UserProcess &who, const std::string &path, HANDLE *handle, const OpenRequest &rq,
                    ULONG_PTR *action = nullptr)
    {
        std::string full = rq.root != nullptr ? path : "\\??\\R:" + path;
        POBJECT_ATTRIBUTES oa = who.Attributes(full.c_str());
        oa->RootDirectory = rq.root;
        auto *iosb = who.New<IO_STATUS_BLOCK>();
        auto *userHandle = who.New<HANDLE>();
        *userHandle = nullptr;
        PVOID ea = nullptr;
        if (rq.eaLength != 0) {
            ea = who.Alloc(rq.eaLength);
            memcpy(ea, rq.ea, rq.eaLength);
        }
        NTSTATUS status = support::AsUser(who, [&] {
            return NtCreateFile(userHandle, rq.access | SYNCHRONIZE, oa, iosb, nullptr, rq.attributes, rq.share,
                                rq.disposition, rq.options | FILE_SYNCHRONOUS_IO_NONALERT, ea, rq.eaLength);
        });
        *handle = *userHandle;
        if (action != nullptr)
            *action = NT_SUCCESS(status) ? iosb->Information : ~(ULONG_PTR)0;
        return status;
    }
    NTSTATUS Close(HANDLE handle) { return CloseAs(*process, handle); }
    NTSTATUS CloseAs(support::UserProcess &who, HANDLE handle)
    {
        return support::AsUser(who, [&] { return NtClose(handle); });
    }

    /* Creates path (a file, or a directory with FILE_DIRECTORY_FILE) and closes it. */
    NTSTATUS Make(const std::string &path, ULONG options = 0, ULONG attributes = 0)
    {
        OpenRequest rq;
        rq.access = FILE_READ_ATTRIBUTES;
        rq.disposition = FILE_CREATE;
        rq.options = options;
        rq.attributes = attributes;
        HANDLE handle;
        NTSTATUS status = Open(path, &handle, rq);
        if (NT_SUCCESS(status))
            Close(handle);
        return status;
    }
    /* The node identifier path opens (any kind of node), or 0 when it does not open. */
    ULONGLONG IdAt(const std::string &path)
    {
        OpenRequest rq;
        rq.access = FILE_READ_ATTRIBUTES;
        HANDLE handle;
        if (!NT_SUCCESS(Open(path, &handle, rq)))
            return 0;
        ULONGLONG id = NodeOf(handle)->NodeId;
        Close(handle);
        return id;
    }
    bool Exists(const std::string &path) { return IdAt(path) != 0; }

    /* Deletes path (a file or an empty directory) through a delete-on-close handle. */
    void Delete(const std::string &path)
    {
        OpenRequest rq;
        rq.access = DELETE;
        rq.options = FILE_DELETE_ON_CLOSE;
        HANDLE handle = nullptr;
        ASSERT_EQ(Open(path, &handle, rq), STATUS_SUCCESS) << path;
        ASSERT_EQ(Close(handle), STATUS_SUCCESS);
    }

    /* The file object behind a process's handle (no reference kept: the handle keeps it), or null. */
    PFILE_OBJECT FileObjectOf(HANDLE handle, support::UserProcess &who)
    {
        PVOID object = nullptr;
        support::AsUser(who, [&] {
            return ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, &object, nullptr);
        });
        if (object != nullptr)
            ObDereferenceObject(object);
        return static_cast<PFILE_OBJECT>(object);
    }
    /* The node a handle of the test's process opens. */
    PFCB NodeOf(HANDLE handle)
    {
        PFILE_OBJECT file = FileObjectOf(handle, *process);
        return file != nullptr ? static_cast<PFCB>(file->FsContext) : nullptr;
    }

    /* Runs body (returning a status) with a node's main and paging resources exclusive, as a write or resize takes them. */
    template <typename Body>
    static NTSTATUS Exclusively(PFCB node, Body body)
    {
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(&node->MainResource, TRUE);
        ExAcquireResourceExclusiveLite(&node->PagingIoResource, TRUE);
        NTSTATUS status = body();
        ExReleaseResourceLite(&node->PagingIoResource);
        ExReleaseResourceLite(&node->MainResource);
        KeLeaveCriticalRegion();
        return status;
    }
    /* Writes bytes of data into the file a handle opens, as a write would. */
    NTSTATUS WriteBytes(HANDLE handle, ULONGLONG offset, size_t length)
    {
        PFCB node = NodeOf(handle);
        std::string bytes(length, 'x');
        return Exclusively(node, [&] { return s->WriteData(node, offset, bytes.data(), bytes.size()); });
    }
    /* Sets the size of the file a handle opens, as a set-end-of-file would. */
    NTSTATUS SetDataSize(HANDLE handle, ULONGLONG size)
    {
        PFCB node = NodeOf(handle);
        return Exclusively(node, [&] { return s->SetDataSize(node, size); });
    }

    /* Gives the node at path a private descriptor read from SDDL. */
    void Protect(const std::string &path, const wchar_t *sddl)
    {
        HANDLE handle;
        ASSERT_EQ(Open(path, &handle), STATUS_SUCCESS);
        PFCB node = NodeOf(handle);
        PSECURITY_DESCRIPTOR sd = nullptr;
        ULONG length = 0;
        ASSERT_EQ(se::SecurityDescriptorFromSddl(sddl, PagedPool, machine::TagFromText("vlSd"), &sd, &length),
                  STATUS_SUCCESS);
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(&node->MainResource, TRUE);
        n->FreeNodeDescriptor(node);
        node->SecurityDescriptor = sd;
        node->SecurityLength = length;
        node->SharedSecurity = FALSE;
        node->DefaultSecurity = FALSE;
        ExReleaseResourceLite(&node->MainResource);
        KeLeaveCriticalRegion();
        EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    }

    /* The driver's fast I/O table, reached through the volume device a file object's requests go to. */
    static PFAST_IO_DISPATCH FastIoOf(PFILE_OBJECT file)
    {
        return IoGetRelatedDeviceObject(file)->DriverObject->FastIoDispatch;
    }

    /*
     * Sends a request for a file object from the calling thread, as the I/O
     * manager would, and returns its status (and Information when asked). Fill
     * sets up the IRP and its stack location; the wait for the completion is here.
     */
    template <typename Fill>
    static NTSTATUS SendFileRequest(PFILE_OBJECT file, UCHAR major, Fill fill, ULONG_PTR *information = nullptr)
    {
        PDEVICE_OBJECT device = IoGetRelatedDeviceObject(file);
        PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
        if (irp == nullptr)
            return STATUS_INSUFFICIENT_RESOURCES;
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        irp->Tail.Overlay.Thread = KeGetCurrentThread();
        irp->Tail.Overlay.OriginalFileObject = file;
        irp->RequestorMode = KernelMode;
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MajorFunction = major;
        stack->FileObject = file;
        fill(irp, stack);
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT, PIRP, PVOID context) -> NTSTATUS {
                KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
                return STATUS_MORE_PROCESSING_REQUIRED;
            },
            &done, TRUE, TRUE, TRUE);
        IoCallDriver(device, irp);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        NTSTATUS status = irp->IoStatus.Status;
        if (information != nullptr)
            *information = irp->IoStatus.Information;
        IoFreeIrp(irp);
        return status;
    }

    /* IRP_MJ_LOCK_CONTROL with minor (an unlock-all form), as the I/O manager sends when a process's handle goes. */
    static NTSTATUS SendUnlockAll(PFILE_OBJECT file, UCHAR minor, ULONG key = 0)
    {
        return SendFileRequest(file, IRP_MJ_LOCK_CONTROL, [&](PIRP, PIO_STACK_LOCATION stack) {
            stack->MinorFunction = minor;
            stack->Parameters.LockControl.Key = key;
        });
    }

    std::unique_ptr<support::UserProcess> process;
    const VOREL_STORE_DIAGNOSTICS *s = nullptr;
    const VOREL_NAMESPACE_DIAGNOSTICS *n = nullptr;
};

/* The fixture with a second program acting for a standard (non-administrator) user. */
class UserFileOpsTest : public FileOpsTest {
protected:
    void SetUp() override
    {
        FileOpsTest::SetUp();
        user = std::make_unique<support::UserProcess>(1000, 1000);
    }
    void TearDown() override
    {
        user.reset();
        FileOpsTest::TearDown();
    }

    std::unique_ptr<support::UserProcess> user;
};

/*
 * The user program's data calls: synchronous handles and NtReadFile/NtWriteFile
 * from a scratch buffer in its own memory.
 */
class DataFileOpsTest : public FileOpsTest {
protected:
    void AllocateScratch(size_t bytes)
    {
        scratch = static_cast<UCHAR *>(process->Alloc(bytes));
        offset = process->New<LARGE_INTEGER>();
        iosb = process->New<IO_STATUS_BLOCK>();
        ASSERT_NE(scratch, nullptr);
    }

    /* A read-write handle on path, created when missing. */
    HANDLE OpenFile(const std::string &path, ACCESS_MASK access = FILE_READ_DATA | FILE_WRITE_DATA)
    {
        OpenRequest rq;
        rq.access = access;
        rq.disposition = FILE_OPEN_IF;
        HANDLE handle = nullptr;
        EXPECT_EQ(Open(path, &handle, rq), STATUS_SUCCESS) << path;
        return handle;
    }

    /* NtWriteFile as the user program from its own memory; at names the offset, null the file pointer. */
    NTSTATUS Write(HANDLE handle, const LONGLONG *at, const void *data, size_t length, ULONG_PTR *bytes = nullptr)
    {
        memcpy(scratch, data, length);
        if (at != nullptr)
            offset->QuadPart = *at;
        NTSTATUS status = support::AsUser(*process, [&] {
            return NtWriteFile(handle, nullptr, nullptr, nullptr, iosb, scratch, (ULONG)length,
                               at != nullptr ? offset : nullptr, nullptr);
        });
        if (bytes != nullptr)
            *bytes = iosb->Information;
        return status;
    }
    NTSTATUS WriteAt(HANDLE handle, LONGLONG at, const void *data, size_t length, ULONG_PTR *bytes = nullptr)
    {
        return Write(handle, &at, data, length, bytes);
    }
    /* NtReadFile as the user program; the bytes read land in out. */
    NTSTATUS Read(HANDLE handle, const LONGLONG *at, size_t length, std::vector<UCHAR> *out)
    {
        memset(scratch, 0xA5, length);
        if (at != nullptr)
            offset->QuadPart = *at;
        NTSTATUS status = support::AsUser(*process, [&] {
            return NtReadFile(handle, nullptr, nullptr, nullptr, iosb, scratch, (ULONG)length,
                              at != nullptr ? offset : nullptr, nullptr);
        });
        out->assign(scratch, scratch + (NT_SUCCESS(status) ? iosb->Information : 0));
        return status;
    }
    NTSTATUS ReadAt(HANDLE handle, LONGLONG at, size_t length, std::vector<UCHAR> *out)
    {
        return Read(handle, &at, length, out);
    }
    ULONGLONG SizeOf(HANDLE handle) { return NodeOf(handle)->Data.FileSize; }
    LONG64 Charged(HANDLE handle) { return NodeOf(handle)->Vcb->Store.ChargedBytes; }

    UCHAR *scratch = nullptr;
    LARGE_INTEGER *offset = nullptr;
    IO_STATUS_BLOCK *iosb = nullptr;
};
