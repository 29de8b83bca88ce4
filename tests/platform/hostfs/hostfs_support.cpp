/*
 * The host-file tests' fixture (see hostfs_fixture.h).
 */
#include "hostfs_fixture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace hftest {

void HostFsTest::SetUp()
{
    char pattern[] = "/tmp/vorel-hostfs-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory_ = pattern;
    std::string more = MoreDrives(directory_);
    drives_.Set("VOREL_HOST_DRIVES", "H=" + directory_ + (more.empty() ? "" : "," + more));
    std::string root = MountRoot(directory_);
    if (!root.empty())
        mountRoot_.Set("VOREL_MOUNT_ROOT", root);
    MachineTest::SetUp();
}

void HostFsTest::TearDown()
{
    MachineTest::TearDown();
    drives_.Restore();
    mountRoot_.Restore();
    std::string command = "rm -rf '" + directory_ + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
}

std::u16string HostFsTest::NtName(const std::string &name)
{
    std::u16string text = u"\\??\\H:\\";
    for (char c : name)
        text.push_back(c == '/' ? u'\\' : (char16_t)(unsigned char)c);
    return text;
}

Opened HostFsTest::Open(const std::string &name, ULONG disposition, ACCESS_MASK access, ULONG share,
                        ULONG options, ULONG attributes)
{
    std::u16string text = NtName(name);
    UNICODE_STRING string;
    string.Buffer = reinterpret_cast<PWCH>(text.data());
    string.Length = string.MaximumLength = (USHORT)(text.size() * sizeof(WCHAR));
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &string, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE | attributes, nullptr,
                               nullptr);
    IO_STATUS_BLOCK iosb{};
    Opened opened{};
    opened.status = ZwCreateFile(&opened.handle, access | SYNCHRONIZE, &oa, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL,
                                 share, disposition, options, nullptr, 0);
    opened.information = NT_SUCCESS(opened.status) ? iosb.Information : 0;
    if (!NT_SUCCESS(opened.status))
        opened.handle = nullptr;
    return opened;
}

NTSTATUS HostFsTest::Write(HANDLE handle, uint64_t offset, const void *data, ULONG length, ULONG_PTR *moved)
{
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER at;
    at.QuadPart = (LONGLONG)offset;
    NTSTATUS status = ZwWriteFile(handle, nullptr, nullptr, nullptr, &iosb, const_cast<void *>(data), length, &at,
                                  nullptr);
    if (moved != nullptr)
        *moved = NT_SUCCESS(status) ? iosb.Information : 0;
    return status;
}

NTSTATUS HostFsTest::Read(HANDLE handle, uint64_t offset, void *data, ULONG length, ULONG_PTR *moved)
{
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER at;
    at.QuadPart = (LONGLONG)offset;
    NTSTATUS status = ZwReadFile(handle, nullptr, nullptr, nullptr, &iosb, data, length, &at, nullptr);
    if (moved != nullptr)
        *moved = NT_SUCCESS(status) ? iosb.Information : 0;
    return status;
}

NTSTATUS HostFsTest::SetEndOfFile(HANDLE handle, uint64_t size)
{
    IO_STATUS_BLOCK iosb{};
    FILE_END_OF_FILE_INFORMATION info;
    info.EndOfFile.QuadPart = (LONGLONG)size;
    return ZwSetInformationFile(handle, &iosb, &info, sizeof(info), FileEndOfFileInformation);
}

NTSTATUS HostFsTest::ZeroData(HANDLE handle, uint64_t from, uint64_t to)
{
    IO_STATUS_BLOCK iosb{};
    FILE_ZERO_DATA_INFORMATION range;
    range.FileOffset.QuadPart = (LONGLONG)from;
    range.BeyondFinalZero.QuadPart = (LONGLONG)to;
    return ZwFsControlFile(handle, nullptr, nullptr, nullptr, &iosb, FSCTL_SET_ZERO_DATA, &range, sizeof(range),
                           nullptr, 0);
}

NTSTATUS HostFsTest::SetSparse(HANDLE handle)
{
    IO_STATUS_BLOCK iosb{};
    return ZwFsControlFile(handle, nullptr, nullptr, nullptr, &iosb, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0);
}

NTSTATUS HostFsTest::Flush(HANDLE handle)
{
    IO_STATUS_BLOCK iosb{};
    return ZwFlushBuffersFile(handle, &iosb);
}

NTSTATUS HostFsTest::Standard(HANDLE handle, FILE_STANDARD_INFORMATION *info)
{
    IO_STATUS_BLOCK iosb{};
    return ZwQueryInformationFile(handle, &iosb, info, sizeof(*info), FileStandardInformation);
}

Bytes HostFsTest::HostBytes(const std::string &name) const
{
    std::ifstream in(HostPath(name), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool HostFsTest::HostExists(const std::string &name) const
{
    struct stat st;
    return lstat(HostPath(name).c_str(), &st) == 0;
}

void HostFsTest::MakeHostFile(const std::string &name, const Bytes &bytes) const
{
    std::ofstream out(HostPath(name), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), (std::streamsize)bytes.size());
}

} // namespace hftest
