/*
 * Opens that are not a plain path: by file identifier, of a target's parent
 * directory (rename and link targets), through and of reparse points, and with
 * extended attributes given at create.
 */
#include "fileops_test.h"

#include <vector>

namespace {

class UnusualOpensTest : public FileOpsTest {
protected:
    /* NtCreateFile with FILE_OPEN_BY_FILE_ID: the name is the identifier's bytes, relative to root. */
    NTSTATUS OpenById(HANDLE root, const void *id, USHORT length, HANDLE *handle, ULONG disposition = FILE_OPEN)
    {
        auto *name = process->New<UNICODE_STRING>();
        name->Buffer = static_cast<PWCH>(process->Alloc(length == 0 ? 2 : length));
        memcpy(name->Buffer, id, length);
        name->Length = name->MaximumLength = length;
        auto *oa = process->New<OBJECT_ATTRIBUTES>();
        InitializeObjectAttributes(oa, name, OBJ_CASE_INSENSITIVE, root, nullptr);
        auto *iosb = process->New<IO_STATUS_BLOCK>();
        auto *userHandle = process->New<HANDLE>();
        NTSTATUS status = support::AsUser(*process, [&] {
            return NtCreateFile(userHandle, FILE_READ_DATA | SYNCHRONIZE, oa, iosb, nullptr, 0,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, disposition,
                                FILE_OPEN_BY_FILE_ID | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
        });
        *handle = *userHandle;
        return status;
    }

    /* Makes path a mount point leading to substitute (an NT path). */
    void MakeMountPoint(const std::string &path, const std::string &substitute)
    {
        std::vector<UCHAR> buffer(REPARSE_DATA_BUFFER_HEADER_SIZE + 8 + (substitute.size() + 2) * 2 + 2);
        auto *data = reinterpret_cast<PREPARSE_DATA_BUFFER>(buffer.data());
        data->ReparseTag = IO_REPARSE_TAG_MOUNT_POINT;
        data->ReparseDataLength = (USHORT)(buffer.size() - REPARSE_DATA_BUFFER_HEADER_SIZE);
        data->MountPointReparseBuffer.SubstituteNameLength = (USHORT)(substitute.size() * 2);
        data->MountPointReparseBuffer.PrintNameOffset = (USHORT)(substitute.size() * 2 + 2);
        for (size_t i = 0; i < substitute.size(); ++i)
            data->MountPointReparseBuffer.PathBuffer[i] = (WCHAR)substitute[i];
        HANDLE handle;
        OpenRequest rq;
        rq.options = FILE_DIRECTORY_FILE;
        ASSERT_EQ(Open(path, &handle, rq), STATUS_SUCCESS);
        PFCB node = NodeOf(handle);
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(&node->MainResource, TRUE);
        EXPECT_EQ(n->SetReparse(node, data, (ULONG)buffer.size()), STATUS_SUCCESS);
        ExReleaseResourceLite(&node->MainResource);
        KeLeaveCriticalRegion();
        EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    }
};

TEST_F(UnusualOpensTest, OpensByIdentifier)
{
    ASSERT_EQ(MakeVolume(), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\dir", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\dir\\file"), STATUS_SUCCESS);
    HANDLE root, file, byId = nullptr;
    ASSERT_EQ(Open("\\", &root), STATUS_SUCCESS);
    ASSERT_EQ(Open("\\dir\\file", &file), STATUS_SUCCESS);
    PFCB node = NodeOf(file);

    ULONGLONG id[2] = {node->NodeId, 0};
    ASSERT_EQ(OpenById(root, id, 8, &byId), STATUS_SUCCESS);
    EXPECT_EQ(NodeOf(byId), node);
    EXPECT_EQ(Close(byId), STATUS_SUCCESS);
    ASSERT_EQ(OpenById(root, id, 16, &byId), STATUS_SUCCESS) << "a 128-bit identifier with a zero upper half";
    EXPECT_EQ(Close(byId), STATUS_SUCCESS);
    id[1] = 1;
    EXPECT_EQ(OpenById(root, id, 16, &byId), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(OpenById(root, id, 12, &byId), STATUS_INVALID_PARAMETER);
    id[1] = 0;
    EXPECT_EQ(OpenById(root, id, 8, &byId, FILE_CREATE), STATUS_INVALID_PARAMETER);
    ULONGLONG zero = 0, missing = 999, rootId = 1;
    EXPECT_EQ(OpenById(root, &zero, 8, &byId), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(OpenById(root, &missing, 8, &byId), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(OpenById(root, &rootId, 8, &byId), STATUS_SUCCESS);
    EXPECT_TRUE(NodeOf(byId)->IsRoot);
    EXPECT_EQ(Close(byId), STATUS_SUCCESS);
    EXPECT_EQ(Close(file), STATUS_SUCCESS);
    EXPECT_EQ(Close(root), STATUS_SUCCESS);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

TEST_F(UnusualOpensTest, TargetDirectoryOpenTellsWhetherTheNameExists)
{
    ASSERT_EQ(MakeVolume(), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\dir", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\dir\\there"), STATUS_SUCCESS);
    for (const char *leaf : {"there", "absent"}) {
        support::Name name((std::string("\\??\\R:\\dir\\") + leaf).c_str());
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &name.string, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        HANDLE handle;
        IO_STATUS_BLOCK iosb{};
        ASSERT_EQ(IoCreateFile(&handle, FILE_WRITE_DATA | SYNCHRONIZE, &oa, &iosb, nullptr, 0,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0,
                               CreateFileTypeNone, nullptr, IO_OPEN_TARGET_DIRECTORY),
                  STATUS_SUCCESS)
            << leaf;
        EXPECT_EQ(iosb.Information, (ULONG_PTR)(leaf[0] == 't' ? FILE_EXISTS : FILE_DOES_NOT_EXIST));
        PFILE_OBJECT file = nullptr;
        ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, (PVOID *)&file, nullptr),
                  STATUS_SUCCESS);
        auto *node = static_cast<PFCB>(file->FsContext);
        EXPECT_TRUE(node->IsDirectory);
        EXPECT_EQ(std::u16string((const char16_t *)file->FileName.Buffer, file->FileName.Length / 2),
                  Utf16(leaf))
            << "only the last component is left as the name";
        ObDereferenceObject(file);
        EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    }
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

TEST_F(UnusualOpensTest, ReparsePointsSendTheOpenOnUnlessOpenedThemselves)
{
    ASSERT_EQ(MakeVolume(), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\target", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\target\\file"), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\link", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    MakeMountPoint("\\link", "\\??\\R:\\target");

    HANDLE through, link, real;
    ASSERT_EQ(Open("\\link\\file", &through), STATUS_SUCCESS) << "a reparse point in the middle of the path";
    ASSERT_EQ(Open("\\target\\file", &real), STATUS_SUCCESS);
    EXPECT_EQ(NodeOf(through), NodeOf(real));
    EXPECT_EQ(Close(through), STATUS_SUCCESS);
    HANDLE target;
    ASSERT_EQ(Open("\\target", &target), STATUS_SUCCESS);
    ASSERT_EQ(Open("\\link", &through), STATUS_SUCCESS) << "a reparse point at the end";
    EXPECT_EQ(NodeOf(through), NodeOf(target)) << "the open went on to the target";
    EXPECT_EQ(Close(through), STATUS_SUCCESS);
    EXPECT_EQ(Close(target), STATUS_SUCCESS);
    OpenRequest itself;
    itself.options = FILE_OPEN_REPARSE_POINT;
    ASSERT_EQ(Open("\\link", &link, itself), STATUS_SUCCESS);
    EXPECT_EQ(NodeOf(link)->ReparseTag, (ULONG)IO_REPARSE_TAG_MOUNT_POINT);
    EXPECT_EQ(Close(link), STATUS_SUCCESS);
    EXPECT_EQ(Close(real), STATUS_SUCCESS);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

TEST_F(UnusualOpensTest, EasGivenAtCreateOrOpenAreStored)
{
    ASSERT_EQ(MakeVolume(), STATUS_SUCCESS);
    alignas(8) UCHAR ea[32];
    ULONG length = PackOneEa(ea, "COLOR", "blue");
    OpenRequest rq;
    rq.disposition = FILE_CREATE;
    rq.ea = ea;
    rq.eaLength = length;
    HANDLE handle;
    ASSERT_EQ(Open("\\f", &handle, rq), STATUS_SUCCESS);
    EXPECT_EQ(NodeOf(handle)->EaCount, 1u);
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);

    ASSERT_EQ(Make("\\g"), STATUS_SUCCESS);
    rq.disposition = FILE_OPEN;
    ASSERT_EQ(Open("\\g", &handle, rq), STATUS_SUCCESS) << "a plain open stores the EAs too";
    EXPECT_EQ(NodeOf(handle)->EaCount, 1u);
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);

    reinterpret_cast<PFILE_FULL_EA_INFORMATION>(ea)->EaNameLength = 40; /* runs past the buffer */
    rq.disposition = FILE_CREATE;
    EXPECT_NE(Open("\\h", &handle, rq), STATUS_SUCCESS);
    EXPECT_FALSE(Exists("\\h"));
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

} // namespace
