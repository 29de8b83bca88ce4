/*
 * File calls on the machine's files, through the host (reads and writes are covered
 * end to end): GetFileInformationByHandle from the volume and all-information queries,
 * SetFileInformationByHandle as the native set of the twin class, GetDiskFreeSpaceExW
 * from the volume's size classes, and file-system controls as NtFsControlFile. The
 * test driver's device stands for a volume (drive T:) and records what arrived.
 */
#include <windows.h>
#include <winioctl.h>

#include "test_host.h"
#include "win32_harness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

/* Native classes, as the driver sees them. */
constexpr uint32_t kFileDispositionInformation = 13;
constexpr uint32_t kFileAllInformation = 18;
constexpr uint32_t kFileEndOfFileInformation = 20;
constexpr uint32_t kFileDispositionInformationEx = 64;
constexpr uint32_t kFileFsVolumeInformation = 1;
constexpr uint32_t kFileFsSizeInformation = 3;
constexpr uint32_t kFileFsFullSizeInformation = 7;
constexpr uint8_t kMajorSetInformation = 6, kMajorFsControl = 13;

class Win32FileIo : public testhost::TestHost {
protected:
    void SetUp() override
    {
        TestHost::SetUp();
        testhost::MakeDriveLink('T');
    }
    HANDLE Open(DWORD access)
    {
        return CreateFileW(L"T:\\file", access, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    }
    static testhost::FileRequest Last() { return testhost::FileRequests().back(); }
};

TEST_F(Win32FileIo, FileInformationCombinesTheVolumeAndTheFileQueries)
{
    testhost::SetFileData(std::vector<uint8_t>(5000, 1));
    HANDLE handle = Open(GENERIC_READ);
    BY_HANDLE_FILE_INFORMATION information;
    std::memset(&information, 0xCC, sizeof(information));
    ASSERT_TRUE(GetFileInformationByHandle(handle, &information));
    EXPECT_EQ(0x5EA1F11Eu, information.dwVolumeSerialNumber);
    EXPECT_EQ((DWORD)(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_SPARSE_FILE), information.dwFileAttributes);
    EXPECT_EQ(0u, information.nFileSizeHigh);
    EXPECT_EQ(5000u, information.nFileSizeLow);
    EXPECT_EQ(3u, information.nNumberOfLinks);
    EXPECT_EQ(0x1234u, information.nFileIndexHigh);
    EXPECT_EQ(0x87654321u, information.nFileIndexLow);
    EXPECT_EQ(0x01DA0000u, information.ftCreationTime.dwHighDateTime);
    EXPECT_EQ(1u, information.ftLastWriteTime.dwLowDateTime);
    EXPECT_EQ(2u, information.ftLastAccessTime.dwLowDateTime);
    auto requests = testhost::FileRequests();
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ(kFileFsVolumeInformation, requests[0].informationClass);
    EXPECT_EQ(kFileAllInformation, requests[1].informationClass);
    EXPECT_TRUE(CloseHandle(handle));
}

TEST_F(Win32FileIo, SetsPassTheRecordAsTheTwinNativeClass)
{
    HANDLE handle = Open(GENERIC_READ | GENERIC_WRITE | DELETE);
    FILE_END_OF_FILE_INFO end;
    end.EndOfFile.QuadPart = 0x12345;
    ASSERT_TRUE(SetFileInformationByHandle(handle, FileEndOfFileInfo, &end, sizeof(end)));
    EXPECT_EQ(kMajorSetInformation, Last().major);
    EXPECT_EQ(kFileEndOfFileInformation, Last().informationClass);
    EXPECT_EQ(0x12345u, testhost::FileData().size());
    FILE_DISPOSITION_INFO remove = {TRUE};
    ASSERT_TRUE(SetFileInformationByHandle(handle, FileDispositionInfo, &remove, sizeof(remove)));
    EXPECT_EQ(kFileDispositionInformation, Last().informationClass);
    EXPECT_EQ(std::vector<uint8_t>({1}), Last().input);
    FILE_DISPOSITION_INFO_EX removeEx = {FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS};
    ASSERT_TRUE(SetFileInformationByHandle(handle, FileDispositionInfoEx, &removeEx, sizeof(removeEx)));
    EXPECT_EQ(kFileDispositionInformationEx, Last().informationClass);
    EXPECT_EQ(std::vector<uint8_t>({3, 0, 0, 0}), Last().input);

    // Refused before anything is sent: a short record, a query-only or unknown class, no record.
    size_t sent = testhost::FileRequests().size();
    const struct {
        FILE_INFO_BY_HANDLE_CLASS informationClass;
        void *record;
        DWORD size;
        DWORD error;
    } refusals[] = {{FileEndOfFileInfo, &end, sizeof(end) - 1, ERROR_BAD_LENGTH},
                    {FileNameInfo, &end, sizeof(end), ERROR_INVALID_PARAMETER},
                    {MaximumFileInfoByHandleClass, &end, sizeof(end), ERROR_INVALID_PARAMETER},
                    {FileEndOfFileInfo, nullptr, sizeof(end), ERROR_NOACCESS}};
    for (const auto &r : refusals) {
        EXPECT_FALSE(SetFileInformationByHandle(handle, r.informationClass, r.record, r.size));
        EXPECT_EQ(r.error, GetLastError());
    }
    EXPECT_EQ(sent, testhost::FileRequests().size());
    EXPECT_TRUE(CloseHandle(handle));
}

TEST_F(Win32FileIo, FileSystemControlsGoToTheFileSystem)
{
    HANDLE target = Open(GENERIC_READ | GENERIC_WRITE);
    DUPLICATE_EXTENTS_DATA extents{};
    extents.FileHandle = target;
    extents.ByteCount.QuadPart = 4096;
    DWORD returned;
    EXPECT_FALSE(DeviceIoControl(target, FSCTL_DUPLICATE_EXTENTS_TO_FILE, &extents, sizeof(extents), nullptr, 0,
                                 &returned, nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_FUNCTION, GetLastError());
    EXPECT_EQ(kMajorFsControl, Last().major);
    EXPECT_EQ((uint32_t)FSCTL_DUPLICATE_EXTENTS_TO_FILE, Last().code);
    ASSERT_EQ(sizeof(extents), Last().input.size());
    EXPECT_EQ(0, std::memcmp(&extents, Last().input.data(), sizeof(extents)));
    EXPECT_EQ(0, testhost::Count().controls); /* not a device control */
    EXPECT_TRUE(CloseHandle(target));
}

TEST_F(Win32FileIo, DiskSpaceComesFromTheFullSizeClassOrElseThePlainOne)
{
    ULARGE_INTEGER caller, total, free;
    ASSERT_TRUE(GetDiskFreeSpaceExW(L"T:\\", &caller, &total, &free));
    EXPECT_EQ(300u * 4096, caller.QuadPart);
    EXPECT_EQ(1000u * 4096, total.QuadPart);
    EXPECT_EQ(400u * 4096, free.QuadPart);
    EXPECT_EQ(kFileFsFullSizeInformation, Last().informationClass);
    testhost::OfferFullSizeClass(false);
    ASSERT_TRUE(GetDiskFreeSpaceExW(L"t:/folder", &caller, nullptr, nullptr));
    EXPECT_EQ(400u * 4096, caller.QuadPart);
    EXPECT_EQ(kFileFsSizeInformation, Last().informationClass);
    EXPECT_EQ(testhost::Count().creates, testhost::Count().closes); /* the folder's handle was closed */
    EXPECT_FALSE(GetDiskFreeSpaceExW(L"U:\\", &caller, nullptr, nullptr));
    EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND, GetLastError());
}

/* A host path into the mount root names the volume's file itself, not our own mount's. */
TEST_F(Win32FileIo, PathsIntoTheMountRootGoToTheVolumeTheyShow)
{
    setenv("VOREL_MOUNT_ROOT", "/nonexistent/vorel-mounts/", 1);
    HANDLE handle = CreateFileW(L"C:\\nonexistent\\vorel-mounts\\t\\folder\\file", GENERIC_READ, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, handle) << GetLastError();
    BY_HANDLE_FILE_INFORMATION information;
    ASSERT_TRUE(GetFileInformationByHandle(handle, &information));
    EXPECT_EQ(0x5EA1F11Eu, information.dwVolumeSerialNumber);
    EXPECT_TRUE(CloseHandle(handle));
    ULARGE_INTEGER caller;
    ASSERT_TRUE(GetDiskFreeSpaceExW(L"C:\\nonexistent\\vorel-mounts\\T", &caller, nullptr, nullptr));
    EXPECT_EQ(300u * 4096, caller.QuadPart);
    // Anything else below the root is an ordinary host path.
    for (LPCWSTR path : {L"C:\\nonexistent\\vorel-mounts\\TT\\file", L"C:\\nonexistent\\vorel-mounts\\1\\file"}) {
        EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND, GetLastError());
    }
    unsetenv("VOREL_MOUNT_ROOT");
}

} // namespace
