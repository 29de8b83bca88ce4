/*
 * Hard links' root handles (the link rules are in the rename table, counts and
 * lists in the rename model), the delete
 * disposition with and without POSIX semantics, and the size sets (end of file,
 * allocation, advance-only, a mapped file's refusal), as a program sees them.
 */
#include "set_information_test.h"

namespace {

class LinksAndDeleteTest : public SetInformationTest {
protected:
    NTSTATUS MapWhole(HANDLE file, HANDLE *section, PVOID *base)
    {
        auto *sectionHandle = process->New<HANDLE>();
        NTSTATUS status = support::AsUser(*process, [&] {
            return NtCreateSection(sectionHandle, SECTION_ALL_ACCESS, nullptr, nullptr, PAGE_READWRITE, SEC_COMMIT,
                                   file);
        });
        *section = *sectionHandle;
        if (!NT_SUCCESS(status))
            return status;
        auto *address = process->New<PVOID>();
        auto *size = process->New<SIZE_T>();
        *address = nullptr;
        *size = 0;
        status = support::AsUser(*process, [&] {
            return NtMapViewOfSection(*section, NtCurrentProcess(), address, 0, 0, nullptr, size, ViewUnmap, 0,
                                      PAGE_READWRITE);
        });
        *base = *address;
        return status;
    }
    NTSTATUS Unmap(PVOID base)
    {
        return support::AsUser(*process, [&] { return NtUnmapViewOfSection(NtCurrentProcess(), base); });
    }
    NTSTATUS SetSize(HANDLE handle, FILE_INFORMATION_CLASS c, LONGLONG value)
    {
        LARGE_INTEGER record;
        record.QuadPart = value;
        return UserSet(handle, c, &record, sizeof(record));
    }
};

/*
 * A link's root handle: names relative to it work; a leading backslash with it,
 * a file as root, or another volume's directory are refused, by the I/O manager
 * or the file system.
 */
TEST_F(LinksAndDeleteTest, LinkRootHandles)
{
    ASSERT_EQ(Make("\\d", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\f"), STATUS_SUCCESS);
    VOREL_CREATE_VOLUME_INPUT input = CreateRecord('S', 16 * kMiB, "", 0);
    ASSERT_EQ(Control(IOCTL_VOREL_CREATE_VOLUME, &input, sizeof(input)), STATUS_SUCCESS);
    HANDLE file, dir, plain, foreign;
    ASSERT_EQ(OpenForSet("\\f", &file), STATUS_SUCCESS);
    OpenRequest listing;
    listing.access = FILE_READ_ATTRIBUTES; /* no DELETE: the I/O manager's open of the target shares no delete */
    listing.options = FILE_DIRECTORY_FILE;
    ASSERT_EQ(Open("\\d", &dir, listing), STATUS_SUCCESS);
    ASSERT_EQ(OpenForSet("\\f", &plain), STATUS_SUCCESS);
    /* The fixture's paths are on R:; the other volume's root is opened by its full name. */
    ASSERT_EQ(process->Open("\\??\\S:\\", FILE_READ_ATTRIBUTES, &foreign,
                            FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT),
              STATUS_SUCCESS);

    ASSERT_EQ(Link(file, "rel", false, dir), STATUS_SUCCESS);
    EXPECT_EQ(IdAt("\\d\\rel"), IdOf(file));
    EXPECT_EQ(Link(file, "x", false, foreign), STATUS_NOT_SAME_DEVICE);

    /* Straight to the volume, the file system's own answers. */
    PFILE_OBJECT object = FileObjectOf(file, *process);
    auto direct = [&](const std::u16string &name, HANDLE root) {
        std::vector<UCHAR> record = TargetRecord(name, 0, root);
        return support::AsUser(*process, [&] {
            return SetDirect(object, FileLinkInformation, record.data(), (ULONG)record.size());
        });
    };
    EXPECT_EQ(direct(u"\\lead", dir), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(direct(u"x", plain), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(direct(u"x", foreign), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(direct(u"sub\\x", dir), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(direct(u"rel2", dir), STATUS_SUCCESS);
    EXPECT_EQ(Standard(file).NumberOfLinks, 3u);
    for (HANDLE h : {file, dir, plain, foreign})
        EXPECT_EQ(Close(h), STATUS_SUCCESS);
    EXPECT_EQ(Dismount('S'), STATUS_SUCCESS);
}

/*
 * POSIX delete: the name goes when the deleting handle is cleaned up, at once
 * free for a new file, while another handle goes on reading and writing the
 * nameless file, which can get no new name. Without POSIX semantics the name
 * stays (refusing opens) until the last handle.
 */
TEST_F(LinksAndDeleteTest, PosixDeleteFreesTheNameAtOnce)
{
    HANDLE first, second;
    ASSERT_EQ(Make("\\p"), STATUS_SUCCESS);
    ASSERT_EQ(OpenForSet("\\p", &first), STATUS_SUCCESS);
    ASSERT_EQ(OpenForSet("\\p", &second), STATUS_SUCCESS);
    ASSERT_EQ(WriteAt(first, 0, "posix", 5), STATUS_SUCCESS);
    const ULONGLONG id = IdOf(first);
    ASSERT_EQ(DisposeEx(first, FILE_DISPOSITION_DELETE | FILE_DISPOSITION_POSIX_SEMANTICS), STATUS_SUCCESS);
    EXPECT_TRUE(Standard(second).DeletePending);
    EXPECT_EQ(Close(first), STATUS_SUCCESS);
    EXPECT_EQ(IdAt("\\p"), 0u);
    ASSERT_EQ(Make("\\p"), STATUS_SUCCESS);
    EXPECT_NE(IdAt("\\p"), id);

    std::vector<UCHAR> data;
    ASSERT_EQ(WriteAt(second, 5, "!", 1), STATUS_SUCCESS);
    ASSERT_EQ(ReadAt(second, 0, 6, &data), STATUS_SUCCESS);
    EXPECT_EQ(std::string(data.begin(), data.end()), "posix!");
    EXPECT_EQ(Standard(second).NumberOfLinks, 0u);
    EXPECT_EQ(Link(second, "\\again"), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Rename(second, "again"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(IdAt("\\again"), 0u);
    EXPECT_EQ(Close(second), STATUS_SUCCESS);

    /* The plain disposition: the name waits for the last handle. */
    ASSERT_EQ(OpenForSet("\\p", &first), STATUS_SUCCESS);
    ASSERT_EQ(OpenForSet("\\p", &second), STATUS_SUCCESS);
    ASSERT_EQ(Dispose(first), STATUS_SUCCESS);
    EXPECT_EQ(Close(first), STATUS_SUCCESS);
    HANDLE third;
    EXPECT_EQ(OpenForSet("\\p", &third), STATUS_DELETE_PENDING);
    EXPECT_EQ(Close(second), STATUS_SUCCESS);
    EXPECT_EQ(IdAt("\\p"), 0u);

    /* A POSIX delete of an empty directory another handle holds. */
    ASSERT_EQ(Make("\\pd", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    ASSERT_EQ(OpenForSet("\\pd", &first, FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    ASSERT_EQ(OpenForSet("\\pd", &second, FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    ASSERT_EQ(DisposeEx(first, FILE_DISPOSITION_DELETE | FILE_DISPOSITION_POSIX_SEMANTICS), STATUS_SUCCESS);
    EXPECT_EQ(Close(first), STATUS_SUCCESS);
    EXPECT_EQ(IdAt("\\pd"), 0u);
    EXPECT_EQ(Close(second), STATUS_SUCCESS);
}

/*
 * The disposition's refusals and its clearing: the root, a directory with
 * entries, the ON_CLOSE flag, short records; a cleared disposition keeps the
 * name; a read-only file is deleted all the same.
 */
TEST_F(LinksAndDeleteTest, DispositionRules)
{
    ASSERT_EQ(Make("\\full", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\full\\x"), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\ro", 0, FILE_ATTRIBUTE_READONLY), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\keep"), STATUS_SUCCESS);
    HANDLE root, full, ro, keep;
    OpenRequest rq;
    rq.access = FILE_READ_ATTRIBUTES | DELETE;
    ASSERT_EQ(Open("\\", &root, rq), STATUS_SUCCESS);
    ASSERT_EQ(OpenForSet("\\full", &full, FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    ASSERT_EQ(Open("\\ro", &ro, rq), STATUS_SUCCESS);
    ASSERT_EQ(OpenForSet("\\keep", &keep), STATUS_SUCCESS);

    EXPECT_EQ(Dispose(root), STATUS_CANNOT_DELETE);
    EXPECT_EQ(Dispose(full), STATUS_DIRECTORY_NOT_EMPTY);
    EXPECT_EQ(DisposeEx(keep, FILE_DISPOSITION_DELETE | FILE_DISPOSITION_ON_CLOSE), STATUS_INVALID_PARAMETER);
    PFILE_OBJECT object = FileObjectOf(keep, *process);
    ULONG flags = FILE_DISPOSITION_DELETE;
    for (ULONG length = 0; length < sizeof(flags); ++length)
        EXPECT_EQ(SetDirect(object, FileDispositionInformationEx, &flags, length), STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(SetDirect(object, FileDispositionInformation, &flags, 0), STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_FALSE(Standard(keep).DeletePending);
    ASSERT_EQ(Dispose(keep), STATUS_SUCCESS);
    EXPECT_TRUE(Standard(keep).DeletePending);
    ASSERT_EQ(DisposeEx(keep, 0), STATUS_SUCCESS);
    EXPECT_FALSE(Standard(keep).DeletePending);
    ASSERT_EQ(Dispose(ro), STATUS_SUCCESS);
    for (HANDLE h : {root, full, ro, keep})
        EXPECT_EQ(Close(h), STATUS_SUCCESS);
    EXPECT_NE(IdAt("\\keep"), 0u);
    EXPECT_EQ(IdAt("\\ro"), 0u);
    EXPECT_NE(IdAt("\\full\\x"), 0u);
}

/*
 * End of file and allocation: growing reads zeros, shrinking cuts, the
 * allocation hint shapes the reported allocation until an end-of-file set drops
 * it; advance-only never shrinks; bad values and directories are refused.
 */
TEST_F(LinksAndDeleteTest, SizesAndAllocation)
{
    HANDLE file = OpenFile("\\s");
    ASSERT_EQ(WriteAt(file, 0, "abcdefghij", 10), STATUS_SUCCESS);
    ASSERT_EQ(SetSize(file, FileEndOfFileInformation, 10000), STATUS_SUCCESS);
    EXPECT_EQ(SizeOf(file), 10000u);
    std::vector<UCHAR> data;
    ASSERT_EQ(ReadAt(file, 9990, 100, &data), STATUS_SUCCESS);
    EXPECT_EQ(data, std::vector<UCHAR>(10, 0));
    ASSERT_EQ(SetSize(file, FileEndOfFileInformation, 3), STATUS_SUCCESS);
    ASSERT_EQ(ReadAt(file, 0, 100, &data), STATUS_SUCCESS);
    EXPECT_EQ(std::string(data.begin(), data.end()), "abc");
    ASSERT_EQ(SetSize(file, FileEndOfFileInformation, 100), STATUS_SUCCESS);
    ASSERT_EQ(ReadAt(file, 0, 100, &data), STATUS_SUCCESS);
    EXPECT_EQ(data[3], 0) << "bytes cut off and grown again read as zero";
    EXPECT_EQ(Standard(file).AllocationSize.QuadPart, 104);

    ASSERT_EQ(SetSize(file, FileAllocationInformation, 1 << 20), STATUS_SUCCESS);
    EXPECT_EQ(Standard(file).AllocationSize.QuadPart, 1 << 20);
    EXPECT_EQ(NodeOf(file)->Header.AllocationSize.QuadPart, 1 << 20) << "the header the cache manager reads";
    EXPECT_EQ(Standard(file).EndOfFile.QuadPart, 100);
    ASSERT_EQ(SetSize(file, FileAllocationInformation, 50), STATUS_SUCCESS);
    EXPECT_EQ(Standard(file).EndOfFile.QuadPart, 50);
    EXPECT_EQ(Standard(file).AllocationSize.QuadPart, 4096);
    ASSERT_EQ(SetSize(file, FileEndOfFileInformation, 50), STATUS_SUCCESS);
    EXPECT_EQ(Standard(file).AllocationSize.QuadPart, 56) << "an end-of-file set drops the hint";
    EXPECT_EQ(NodeOf(file)->Header.AllocationSize.QuadPart, 56);

    PFILE_OBJECT object = FileObjectOf(file, *process);
    LARGE_INTEGER value;
    value.QuadPart = 20;
    EXPECT_EQ(SetDirect(object, FileEndOfFileInformation, &value, sizeof(value), TRUE), STATUS_SUCCESS);
    EXPECT_EQ(SizeOf(file), 50u);
    value.QuadPart = 60;
    EXPECT_EQ(SetDirect(object, FileEndOfFileInformation, &value, sizeof(value), TRUE), STATUS_SUCCESS);
    EXPECT_EQ(SizeOf(file), 60u);
    for (FILE_INFORMATION_CLASS c : {FileEndOfFileInformation, FileAllocationInformation}) {
        for (ULONG length = 0; length < sizeof(value); ++length)
            EXPECT_EQ(SetDirect(object, c, &value, length), STATUS_INFO_LENGTH_MISMATCH);
        EXPECT_EQ(SetSize(file, c, -1), STATUS_INVALID_PARAMETER);
    }
    EXPECT_EQ(SetSize(file, FileEndOfFileInformation, (1ll << 53) + 1), STATUS_DISK_FULL);
    EXPECT_EQ(SizeOf(file), 60u);
    /* A large sparse size costs nothing until written. */
    LONG64 charged = Charged(file);
    ASSERT_EQ(SetSize(file, FileEndOfFileInformation, 1ll << 40), STATUS_SUCCESS);
    EXPECT_LE(Charged(file), charged + (LONG64)(4 << 20));
    ASSERT_EQ(SetSize(file, FileEndOfFileInformation, 0), STATUS_SUCCESS);
    EXPECT_EQ(Close(file), STATUS_SUCCESS);

    ASSERT_EQ(Make("\\dir", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    HANDLE dir;
    ASSERT_EQ(OpenForSet("\\dir", &dir, FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    object = FileObjectOf(dir, *process);
    value.QuadPart = 10;
    EXPECT_EQ(SetDirect(object, FileEndOfFileInformation, &value, sizeof(value)), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(SetDirect(object, FileAllocationInformation, &value, sizeof(value)), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Close(dir), STATUS_SUCCESS);
}

/*
 * A mapped file cannot shrink below its view (by end of file or by allocation),
 * and keeps its size; it may grow; once unmapped it shrinks, and bytes written
 * through the view before stay in the kept range.
 */
TEST_F(LinksAndDeleteTest, MappedFileRefusesToShrink)
{
    HANDLE file = OpenFile("\\m");
    ASSERT_EQ(SetSize(file, FileEndOfFileInformation, 3 * PAGE_SIZE), STATUS_SUCCESS);
    HANDLE section;
    PVOID base = nullptr;
    ASSERT_EQ(MapWhole(file, &section, &base), STATUS_SUCCESS);
    memcpy(base, "viewdata", 8);
    EXPECT_EQ(SetSize(file, FileEndOfFileInformation, 100), STATUS_USER_MAPPED_FILE);
    EXPECT_EQ(SetSize(file, FileAllocationInformation, 100), STATUS_USER_MAPPED_FILE);
    EXPECT_EQ(SizeOf(file), 3u * PAGE_SIZE);
    EXPECT_EQ(SetSize(file, FileEndOfFileInformation, 4 * PAGE_SIZE), STATUS_SUCCESS);
    ASSERT_EQ(Unmap(base), STATUS_SUCCESS);
    EXPECT_EQ(Close(section), STATUS_SUCCESS);
    ASSERT_EQ(SetSize(file, FileEndOfFileInformation, 100), STATUS_SUCCESS);
    EXPECT_EQ(SizeOf(file), 100u);
    std::vector<UCHAR> data;
    ASSERT_EQ(ReadAt(file, 0, 8, &data), STATUS_SUCCESS);
    EXPECT_EQ(std::string(data.begin(), data.end()), "viewdata");
    EXPECT_EQ(Close(file), STATUS_SUCCESS);
}

} // namespace
