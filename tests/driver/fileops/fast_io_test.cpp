/*
 * The fast I/O queries and flush: what NtQueryInformationFile and
 * NtQueryFullAttributesFile report for files and directories of several sizes
 * and attributes (the I/O manager answers them through the driver's fast
 * entries), the opens the fast query open declines so that the create request
 * decides, the access it checks, and flushes on every kind of handle.
 */
#include "fileops_test.h"

namespace {

class FastIoTest : public UserFileOpsTest {
protected:
    template <typename Record>
    NTSTATUS Query(HANDLE handle, FILE_INFORMATION_CLASS c, Record *out)
    {
        auto *iosb = process->New<IO_STATUS_BLOCK>();
        auto *record = process->New<Record>();
        NTSTATUS status = support::AsUser(
            *process, [&] { return NtQueryInformationFile(handle, iosb, record, sizeof(Record), c); });
        *out = *record;
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(iosb->Information, sizeof(Record));
        }
        return status;
    }
    NTSTATUS QueryByName(support::UserProcess &who, const std::string &path, FILE_NETWORK_OPEN_INFORMATION *out)
    {
        POBJECT_ATTRIBUTES oa = who.Attributes(("\\??\\R:" + path).c_str());
        auto *record = who.New<FILE_NETWORK_OPEN_INFORMATION>();
        NTSTATUS status = support::AsUser(who, [&] { return NtQueryFullAttributesFile(oa, record); });
        *out = *record;
        return status;
    }

    /* The volume's device, found through a handle on its root. */
    PDEVICE_OBJECT VolumeDevice()
    {
        HANDLE root;
        OpenRequest rq;
        rq.access = FILE_READ_ATTRIBUTES;
        EXPECT_EQ(Open("\\", &root, rq), STATUS_SUCCESS);
        PDEVICE_OBJECT device = IoGetRelatedDeviceObject(FileObjectOf(root, *process));
        EXPECT_EQ(Close(root), STATUS_SUCCESS);
        return device;
    }

    /* How a create for the fast query open is built; the defaults are the I/O manager's. */
    struct QueryOpenRequest {
        const char *name = "\\f";
        bool related = false;
        bool accessState = true;
        KPROCESSOR_MODE mode = KernelMode;
    };
    /*
     * Calls the driver's FastIoQueryOpen with a create request made as the I/O
     * manager makes one (as the calling thread's subject), on device.
     */
    static BOOLEAN CallQueryOpen(PDEVICE_OBJECT device, const QueryOpenRequest &rq, FILE_NETWORK_OPEN_INFORMATION *info,
                                 IO_STATUS_BLOCK *result)
    {
        support::Name name(rq.name);
        auto relatedObject = std::make_unique<FILE_OBJECT>();
        auto fileObject = std::make_unique<FILE_OBJECT>();
        memset(relatedObject.get(), 0, sizeof(FILE_OBJECT));
        memset(fileObject.get(), 0, sizeof(FILE_OBJECT));
        fileObject->FileName = name.string;
        fileObject->RelatedFileObject = rq.related ? relatedObject.get() : nullptr;
        se::AuxAccessData aux{};
        ACCESS_STATE state;
        EXPECT_EQ(SeCreateAccessState(&state, &aux, FILE_READ_ATTRIBUTES, IoGetFileObjectGenericMapping()),
                  STATUS_SUCCESS);
        IO_SECURITY_CONTEXT security{};
        security.AccessState = rq.accessState ? &state : nullptr;
        security.DesiredAccess = FILE_READ_ATTRIBUTES;
        PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
        irp->RequestorMode = rq.mode;
        irp->Tail.Overlay.Thread = KeGetCurrentThread();
        irp->IoStatus.Status = STATUS_PENDING;
        IoSetNextIrpStackLocation(irp);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_CREATE;
        stack->DeviceObject = device;
        stack->FileObject = fileObject.get();
        stack->Parameters.Create.SecurityContext = &security;
        stack->Parameters.Create.Options = FILE_OPEN << 24;
        BOOLEAN answered = device->DriverObject->FastIoDispatch->FastIoQueryOpen(irp, info, device);
        *result = irp->IoStatus;
        IoFreeIrp(irp);
        SeDeleteAccessState(&state);
        return answered;
    }
};

TEST_F(FastIoTest, QueriesReportTimesSizesAndAttributesOfFilesAndDirectories)
{
    ASSERT_EQ(MakeVolume(), STATUS_SUCCESS);
    struct {
        const char *path;
        ULONG options;
        ULONG attributes;
        size_t bytes;
        ULONGLONG allocation;
        ULONG mustHave;
    } cases[] = {
        {"\\empty", 0, 0, 0, 0, FILE_ATTRIBUTE_ARCHIVE},
        {"\\small", 0, FILE_ATTRIBUTE_HIDDEN, 100, 104, FILE_ATTRIBUTE_HIDDEN},
        {"\\paged", 0, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM, 5000, 8192,
         FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM},
        {"\\dir", FILE_DIRECTORY_FILE, 0, 0, 0, FILE_ATTRIBUTE_DIRECTORY},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.path);
        ASSERT_EQ(Make(c.path, c.options, c.attributes), STATUS_SUCCESS);
        OpenRequest rq;
        rq.access = FILE_READ_ATTRIBUTES;
        HANDLE handle;
        ASSERT_EQ(Open(c.path, &handle, rq), STATUS_SUCCESS);
        if (c.bytes != 0) {
            ASSERT_EQ(SetDataSize(handle, c.bytes), STATUS_SUCCESS);
        }
        PFCB node = NodeOf(handle); /* nothing changes it meanwhile */

        FILE_BASIC_INFORMATION basic;
        FILE_STANDARD_INFORMATION standard;
        FILE_NETWORK_OPEN_INFORMATION open;
        ASSERT_EQ(Query(handle, FileBasicInformation, &basic), STATUS_SUCCESS);
        ASSERT_EQ(Query(handle, FileStandardInformation, &standard), STATUS_SUCCESS);
        ASSERT_EQ(Query(handle, FileNetworkOpenInformation, &open), STATUS_SUCCESS);
        EXPECT_EQ(basic.CreationTime.QuadPart, node->CreationTime.QuadPart);
        EXPECT_EQ(basic.LastAccessTime.QuadPart, node->LastAccessTime.QuadPart);
        EXPECT_EQ(basic.LastWriteTime.QuadPart, node->LastWriteTime.QuadPart);
        EXPECT_EQ(basic.ChangeTime.QuadPart, node->ChangeTime.QuadPart);
        EXPECT_EQ(basic.FileAttributes & c.mustHave, c.mustHave);
        EXPECT_EQ((basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0, c.options == FILE_DIRECTORY_FILE);
        EXPECT_EQ(standard.EndOfFile.QuadPart, (LONGLONG)c.bytes);
        EXPECT_EQ(standard.AllocationSize.QuadPart, (LONGLONG)c.allocation);
        EXPECT_EQ(standard.NumberOfLinks, 1u);
        EXPECT_FALSE(standard.DeletePending);
        EXPECT_EQ(standard.Directory, c.options == FILE_DIRECTORY_FILE);

        /* The network-open record is the other two together, by handle and by name alike. */
        FILE_NETWORK_OPEN_INFORMATION byName;
        ASSERT_EQ(QueryByName(*process, c.path, &byName), STATUS_SUCCESS);
        for (const FILE_NETWORK_OPEN_INFORMATION &r : {open, byName}) {
            EXPECT_EQ(r.CreationTime.QuadPart, basic.CreationTime.QuadPart);
            EXPECT_EQ(r.LastAccessTime.QuadPart, basic.LastAccessTime.QuadPart);
            EXPECT_EQ(r.LastWriteTime.QuadPart, basic.LastWriteTime.QuadPart);
            EXPECT_EQ(r.ChangeTime.QuadPart, basic.ChangeTime.QuadPart);
            EXPECT_EQ(r.AllocationSize.QuadPart, standard.AllocationSize.QuadPart);
            EXPECT_EQ(r.EndOfFile.QuadPart, standard.EndOfFile.QuadPart);
            EXPECT_EQ(r.FileAttributes, basic.FileAttributes);
        }
        EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    }

    /* A deleted-on-close file reports its pending deletion while a handle remains. */
    OpenRequest rq;
    rq.access = FILE_READ_ATTRIBUTES | DELETE;
    rq.options = FILE_DELETE_ON_CLOSE;
    HANDLE going;
    ASSERT_EQ(Open("\\small", &going, rq), STATUS_SUCCESS);
    HANDLE other;
    rq = OpenRequest();
    rq.access = FILE_READ_ATTRIBUTES;
    ASSERT_EQ(Open("\\small", &other, rq), STATUS_SUCCESS);
    EXPECT_EQ(Close(going), STATUS_SUCCESS);
    FILE_STANDARD_INFORMATION standard;
    ASSERT_EQ(Query(other, FileStandardInformation, &standard), STATUS_SUCCESS);
    EXPECT_TRUE(standard.DeletePending);
    FILE_NETWORK_OPEN_INFORMATION byName;
    EXPECT_EQ(QueryByName(*process, "\\small", &byName), STATUS_DELETE_PENDING) << "the create decides";
    EXPECT_EQ(Close(other), STATUS_SUCCESS);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

TEST_F(FastIoTest, QueryOpenDeclinesWhatTheCreateMustDecide)
{
    ASSERT_EQ(MakeVolume(0, "dir"), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\f"), STATUS_SUCCESS);
    FILE_NETWORK_OPEN_INFORMATION info;
    EXPECT_EQ(QueryByName(*process, "\\missing", &info), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(QueryByName(*process, "\\nowhere\\f", &info), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(QueryByName(*process, "\\f\\g", &info), STATUS_OBJECT_PATH_NOT_FOUND);

    PDEVICE_OBJECT device = VolumeDevice();
    IO_STATUS_BLOCK result{};
    QueryOpenRequest plain;
    memset(&info, 0xCC, sizeof(info));
    ASSERT_TRUE(CallQueryOpen(device, plain, &info, &result));
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Information, sizeof(FILE_NETWORK_OPEN_INFORMATION));
    EXPECT_EQ(info.EndOfFile.QuadPart, 0);
    EXPECT_EQ(info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);

    struct {
        const char *what;
        QueryOpenRequest rq;
    } declined[] = {
        {"missing", {"\\missing", false, true, KernelMode}},
        {"missing directory", {"\\nowhere\\f", false, true, KernelMode}},
        {"related file object", {"f", true, true, KernelMode}},
        {"relative name", {"f", false, true, KernelMode}},
        {"empty name", {"", false, true, KernelMode}},
        {"the root itself", {"\\", false, true, KernelMode}},
        {"no access state", {"\\f", false, false, KernelMode}},
    };
    for (auto &d : declined) {
        SCOPED_TRACE(d.what);
        result.Status = STATUS_PENDING;
        EXPECT_FALSE(CallQueryOpen(device, d.rq, &info, &result));
        EXPECT_EQ(result.Status, STATUS_PENDING) << "a declined call leaves the request alone";
    }
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

TEST_F(FastIoTest, QueryOpenChecksReadAttributesWhereTheVolumeEnforcesSecurity)
{
    ASSERT_EQ(MakeVolume(0, "dir"), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\dir\\hidden"), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\dir\\shown"), STATUS_SUCCESS);
    /* The directory lends no listing, so only the file's own descriptor can grant. */
    Protect("\\dir", L"O:BAG:SYD:(A;;FX;;;WD)(A;;FA;;;BA)");
    Protect("\\dir\\hidden", L"O:BAG:SYD:(A;;FA;;;BA)");
    Protect("\\dir\\shown", L"O:BAG:SYD:(A;;0x100080;;;WD)(A;;FA;;;BA)");

    FILE_NETWORK_OPEN_INFORMATION info;
    EXPECT_EQ(QueryByName(*user, "\\dir\\hidden", &info), STATUS_ACCESS_DENIED);
    EXPECT_EQ(QueryByName(*user, "\\dir\\shown", &info), STATUS_SUCCESS);
    EXPECT_EQ(QueryByName(*process, "\\dir\\hidden", &info), STATUS_SUCCESS) << "administrators may";

    PDEVICE_OBJECT device = VolumeDevice();
    IO_STATUS_BLOCK result{};
    QueryOpenRequest rq;
    rq.name = "\\dir\\hidden";
    rq.mode = UserMode;
    EXPECT_FALSE(support::AsUser(*user, [&] { return CallQueryOpen(device, rq, &info, &result); }));
    rq.mode = KernelMode;
    EXPECT_TRUE(support::AsUser(*user, [&] { return CallQueryOpen(device, rq, &info, &result); }))
        << "kernel callers are not checked";
    rq.name = "\\dir\\shown";
    rq.mode = UserMode;
    EXPECT_TRUE(support::AsUser(*user, [&] { return CallQueryOpen(device, rq, &info, &result); }));
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

TEST_F(FastIoTest, FlushSucceedsOnFilesDirectoriesAndTheVolume)
{
    ASSERT_EQ(MakeVolume(0, "dir"), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\f"), STATUS_SUCCESS);
    struct {
        const char *path;
        ULONG options;
    } targets[] = {{"\\f", 0}, {"\\dir", FILE_DIRECTORY_FILE}, {"", 0}};
    for (auto &t : targets) {
        SCOPED_TRACE(t.path);
        OpenRequest rq;
        rq.access = FILE_WRITE_DATA;
        rq.options = t.options;
        HANDLE handle;
        ASSERT_EQ(Open(t.path, &handle, rq), STATUS_SUCCESS);
        if (*t.path == '\\' && t.options == 0) {
            ASSERT_EQ(WriteBytes(handle, 0, 3000), STATUS_SUCCESS);
        }
        auto *iosb = process->New<IO_STATUS_BLOCK>();
        EXPECT_EQ(support::AsUser(*process, [&] { return NtFlushBuffersFile(handle, iosb); }), STATUS_SUCCESS);
        EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    }
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

} // namespace
