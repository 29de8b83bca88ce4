/*
 * Saves seen from the file: what a save writes, what a second one reuses, and how
 * each refusal is reported.
 */
#include "image_volume_test.h"

#include "machine.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {

class SaveTest : public ImageVolumeTest {
protected:
    /* The generation of a header copy in the file (0 when the copy is not there). */
    ULONGLONG CopyGeneration(const std::vector<UCHAR> &file, int copy)
    {
        size_t at = (size_t)copy * IMAGE_HEADER_SIZE + IMAGE_HEADER_GENERATION_OFFSET;
        if (file.size() < at + 8)
            return 0;
        ULONGLONG value = 0;
        memcpy(&value, file.data() + at, 8);
        return value;
    }
    void ExpectLastError(ULONG operation, ULONG stage, const char *message)
    {
        VOREL_PERSISTENCE_ERROR error = LastError();
        EXPECT_EQ(error.Valid, 1u);
        EXPECT_EQ(error.Operation, operation);
        EXPECT_EQ(error.Stage, stage);
        EXPECT_EQ(Message(error), message);
    }
};

TEST_F(SaveTest, FirstSaveWritesCopyZeroAndLaterSavesAlternateAndReuse)
{
    MakeFile("\\a.txt", Text(3 * kMiB, 1));
    MakeFile("\\b.bin", Noise(100, 2));
    ASSERT_EQ(Save('R', ImagePath("r.img")), STATUS_SUCCESS);
    VOREL_PERSISTENCE_STATE state = PersistState();
    EXPECT_EQ(state.Bound, 1u);
    EXPECT_EQ(state.Committed, 1u);
    EXPECT_EQ(state.Checksums, 1u);
    EXPECT_EQ(state.Generation, 1u);
    EXPECT_EQ(state.LastSaveStatus, 0u);
    EXPECT_EQ(state.LastSaveCounter, 4u);          /* two extents of a.txt, b.bin, the stream */
    EXPECT_EQ(Narrow((const char16_t *)state.ImagePath, VOREL_PATH_UNITS), ImagePath("r.img"));
    std::vector<UCHAR> file = ImageBytes("r.img");
    EXPECT_EQ(memcmp(file.data(), "VORELIMG", 8), 0);
    EXPECT_EQ(CopyGeneration(file, 0), 1u);
    EXPECT_EQ(CopyGeneration(file, 1), 0u);

    /* Nothing changed: only a new stream, into the other copy. */
    ASSERT_EQ(Save('R'), STATUS_SUCCESS);
    state = PersistState();
    EXPECT_EQ(state.Generation, 2u);
    EXPECT_EQ(state.LastSaveCounter, 1u);
    file = ImageBytes("r.img");
    EXPECT_EQ(CopyGeneration(file, 0), 1u);
    EXPECT_EQ(CopyGeneration(file, 1), 2u);

    /* One byte changed: its extent and the stream. */
    HANDLE handle = OpenFile("\\a.txt");
    UCHAR byte = 'X';
    ASSERT_EQ(WriteAt(handle, 2 * kMiB + 5, &byte, 1), STATUS_SUCCESS);
    Close(handle);
    ASSERT_EQ(Save('R'), STATUS_SUCCESS);
    state = PersistState();
    EXPECT_EQ(state.Generation, 3u);
    EXPECT_EQ(state.LastSaveCounter, 2u);
    EXPECT_EQ(CopyGeneration(ImageBytes("r.img"), 0), 3u);
}

TEST_F(SaveTest, OneByteFileIsOneSectorOfItsSlot)
{
    MakeFile("\\one", std::vector<UCHAR>{0x5A});
    ASSERT_EQ(Save('R', ImagePath("r.img")), STATUS_SUCCESS);
    std::vector<UCHAR> file = ImageBytes("r.img");
    /* Slot 0 holds the file; the stream follows in slot 1. */
    ASSERT_GE(file.size(), 2 * IMAGE_SLOT_SIZE + 512);
    EXPECT_EQ(file[IMAGE_SLOT_SIZE], 0x5A);
    EXPECT_TRUE(std::all_of(file.begin() + IMAGE_SLOT_SIZE + 1, file.begin() + IMAGE_SLOT_SIZE + 512,
                            [](UCHAR b) { return b == 0; }));
    struct stat st {};
    ASSERT_EQ(stat(HostPath("r.img").c_str(), &st), 0);
    /* Sparse: the gaps between what was written hold no blocks. */
    EXPECT_LT((uint64_t)st.st_blocks * 512, 2 * IMAGE_SLOT_SIZE);
}

TEST_F(SaveTest, RefusalsAreRecordedAndChangeNothing)
{
    EXPECT_EQ(Save('R'), STATUS_INVALID_DEVICE_STATE);
    ExpectLastError(VOREL_OPERATION_SAVE, IMAGE_STAGE_NOT_BOUND, "save requested but no image is bound (pass a path)");
    EXPECT_EQ(PersistState().Bound, 0u);

    ASSERT_EQ(mkdir(HostPath("dir").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(HostPath("fifo").c_str(), 0644), 0);
    const std::string refused[] = {"relative.img", "Q:\\nodrive.img", ImagePath("dir"), ImagePath("fifo"),
                                   ImagePath("missing\\x.img"), "H:\\" + std::string(600, 'n')};
    for (const std::string &path : refused) {
        EXPECT_FALSE(NT_SUCCESS(Save('R', path))) << path;
        VOREL_PERSISTENCE_ERROR error = LastError();
        EXPECT_EQ(error.Operation, (ULONG)VOREL_OPERATION_BIND) << path;
        EXPECT_EQ(error.Stage, IMAGE_STAGE_OPEN) << path;
        EXPECT_EQ(PersistState().Bound, 0u) << path;
    }
    struct stat st {};
    EXPECT_EQ(stat(HostPath("fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST_F(SaveTest, FullDiskFailsTheSaveAndKeepsTheCommittedImage)
{
    MakeFile("\\a.txt", Text(kMiB, 3));
    ASSERT_EQ(Save('R', ImagePath("r.img")), STATUS_SUCCESS);
    std::vector<UCHAR> before = ImageBytes("r.img");
    MakeFile("\\b.txt", Text(kMiB, 4));
    machine::ArmHostFileFault(machine::HostFileFault::FailDiskFull, 1);
    EXPECT_EQ(Save('R'), STATUS_DISK_FULL);
    machine::DisarmHostFileFaults();
    ExpectLastError(VOREL_OPERATION_SAVE, IMAGE_STAGE_SLOT_SPACE, "image slot space exhausted");
    VOREL_PERSISTENCE_STATE state = PersistState();
    EXPECT_EQ(state.LastSaveStatus, (ULONG)STATUS_DISK_FULL);
    EXPECT_EQ(state.Generation, 1u);
    std::vector<UCHAR> after = ImageBytes("r.img");
    ASSERT_GE(after.size(), 2 * IMAGE_HEADER_SIZE);
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + 2 * IMAGE_HEADER_SIZE, after.begin()));
    ASSERT_EQ(Save('R'), STATUS_SUCCESS);
    EXPECT_EQ(PersistState().Generation, 2u);
}

TEST_F(SaveTest, EditedActiveHeaderMakesTheNextSaveFull)
{
    MakeFile("\\a.txt", Text(3 * kMiB, 5));
    ASSERT_EQ(Save('R', ImagePath("r.img")), STATUS_SUCCESS);
    std::vector<UCHAR> file = ImageBytes("r.img");
    file[IMAGE_HEADER_LABEL_OFFSET] ^= 1;           /* copy 0 no longer checks */
    WriteImageBytes("r.img", file);
    ASSERT_EQ(Save('R'), STATUS_SUCCESS);
    VOREL_PERSISTENCE_STATE state = PersistState();
    EXPECT_EQ(state.Generation, 1u);                /* no valid copy was left to follow */
    EXPECT_EQ(state.LastSaveCounter, 3u);           /* every extent again, and the stream */
}

} // namespace

namespace {

/* A standard user's requests open image files with the user's own rights. */
TEST_F(SaveTest, StandardUserBindsOnlyWhereTheUserMayWrite)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "acting as another Linux user needs root";
    ASSERT_EQ(chmod(HostPath(".").c_str(), 0755), 0);  /* the drive itself may be walked */
    ASSERT_EQ(mkdir(HostPath("locked").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(HostPath("open").c_str(), 0777), 0);
    ASSERT_EQ(chmod(HostPath("open").c_str(), 0777), 0);
    MakeFile("\\a.txt", Text(5000, 9));

    ControlClient user(65534);
    ASSERT_EQ(user.Open(), STATUS_SUCCESS);
    auto input = std::make_unique<VOREL_SAVE_INPUT>();
    input->Letter = 'R';
    const std::string locked = ImagePath("locked\\x.img");
    std::copy(locked.begin(), locked.end(), input->NewImagePath);
    EXPECT_EQ(user.Send(IOCTL_VOREL_SAVE_VOLUME, input.get(), sizeof(*input), nullptr, 0), STATUS_ACCESS_DENIED);
    EXPECT_EQ(LastError().Stage, IMAGE_STAGE_OPEN);
    EXPECT_EQ(access(HostPath("locked/x.img").c_str(), F_OK), -1);

    VOREL_CREATE_VOLUME_INPUT create = CreateRecord('S', 64 * kMiB);
    std::copy(locked.begin(), locked.end(), create.ImagePath);
    EXPECT_EQ(user.Send(IOCTL_VOREL_CREATE_VOLUME, &create, sizeof(create), nullptr, 0), STATUS_ACCESS_DENIED);
    EXPECT_EQ(access(HostPath("locked/x.img").c_str(), F_OK), -1);

    const std::string open = ImagePath("open\\x.img");
    std::fill(std::begin(input->NewImagePath), std::end(input->NewImagePath), 0);
    std::copy(open.begin(), open.end(), input->NewImagePath);
    ASSERT_EQ(user.Send(IOCTL_VOREL_SAVE_VOLUME, input.get(), sizeof(*input), nullptr, 0), STATUS_SUCCESS);
    struct stat st {};
    ASSERT_EQ(stat(HostPath("open/x.img").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
}

} // namespace

namespace {

/*
 * The first save of a new image fails after its header reached the file: that
 * header may be the file's only image, so the next save must not write over it
 * (a torn header there would leave no image at all).
 */
TEST_F(SaveTest, AFirstSaveThatMayHaveCommittedIsNotWrittenOver)
{
    ASSERT_EQ(CreateFromImage('S', ImagePath("s.img"), 64 * kMiB), STATUS_SUCCESS);
    machine::ArmHostFileFault(machine::HostFileFault::FailDiskFull, ~0ull);
    ASSERT_EQ(Save('S'), STATUS_SUCCESS);
    uint64_t operations = machine::HostFileOperations();
    machine::DisarmHostFileFaults();
    ASSERT_EQ(Dismount('S'), STATUS_SUCCESS);
    ASSERT_EQ(unlink(HostPath("s.img").c_str()), 0);

    /* The failing flush of the header is the last operation of an empty volume's first save. */
    ASSERT_EQ(CreateFromImage('S', ImagePath("s.img"), 64 * kMiB), STATUS_SUCCESS);
    machine::ArmHostFileFault(machine::HostFileFault::FailDiskFull, operations);
    EXPECT_EQ(Save('S'), STATUS_DISK_FULL);
    machine::DisarmHostFileFaults();
    machine::ArmHostFileFault(machine::HostFileFault::Tear, operations - 1, 100);
    EXPECT_FALSE(NT_SUCCESS(Save('S')));
    machine::DisarmHostFileFaults();
    ASSERT_EQ(Dismount('S'), STATUS_SUCCESS);
    EXPECT_EQ(CreateFromImage('S', ImagePath("s.img")), STATUS_SUCCESS) << Message(LastError());
    EXPECT_EQ(Dismount('S'), STATUS_SUCCESS);
}

} // namespace
