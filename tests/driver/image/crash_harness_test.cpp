/*
 * Crash safety of saves. A committed image A is loaded, the volume is changed to
 * B, and the save of B meets a fault at one write or flush of the host file
 * system, position by position: the operation fails, a write is torn, the
 * process dies (no host-file I/O from then on), the machine loses every write
 * not yet flushed, or all of them but the latest (a disk writes in any order). Whatever happened, the image then loads as exactly A or
 * exactly B; after a failure the volume lives on and its next save must give B.
 *
 * VOREL_CRASH_HARNESS_LONG=1 runs a larger volume (more extents, more
 * positions).
 */
#include "image_volume_test.h"

#include "machine.h"

#include <cstdlib>
#include <map>
#include <optional>

namespace {

using Content = std::map<std::string, std::vector<UCHAR>>;

/* A torn write keeps this much: less than a header copy's fields, so a torn copy is a broken one. */
constexpr uint64_t kTornBytes = 100;

class CrashHarnessTest : public ImageVolumeTest {
protected:
    static bool Long() { return std::getenv("VOREL_CRASH_HARNESS_LONG") != nullptr; }

    void Write(Content &model, const std::string &path, const std::vector<UCHAR> &bytes)
    {
        MakeFile(path, bytes);
        model[path] = bytes;
    }

    /* State A: files of every tier, several extents, a directory tree. */
    Content BuildA()
    {
        Content model;
        EXPECT_EQ(Make("\\dir", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
        EXPECT_EQ(Make("\\dir\\sub", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
        Write(model, "\\tiny", Text(100, 1));
        Write(model, "\\dir\\single", Noise(300 * 1024, 2));
        Write(model, "\\dir\\sub\\big", Text((Long() ? 9 : 5) * kMiB + 12345, 3));
        Write(model, "\\gone", Text(70000, 4));
        Write(model, "\\moved", Noise(5000, 5));
        if (Long()) {
            for (int i = 0; i < 8; ++i)
                Write(model, "\\dir\\f" + std::to_string(i), Noise(kMiB + 4096 * i, 10 + i));
        }
        return model;
    }

    /* B: an overwrite inside one extent, growth, a new file, a delete, a rename, a truncation. */
    Content ApplyB(Content model)
    {
        HANDLE handle = OpenFile("\\dir\\sub\\big");
        std::vector<UCHAR> patch = Noise(777, 20);
        EXPECT_EQ(WriteAt(handle, 2 * kMiB + 100, patch.data(), patch.size()), STATUS_SUCCESS);
        std::copy(patch.begin(), patch.end(), model["\\dir\\sub\\big"].begin() + 2 * kMiB + 100);
        Close(handle);
        handle = OpenFile("\\tiny");
        EXPECT_EQ(SetEndOfFile(handle, 3000), STATUS_SUCCESS);
        model["\\tiny"].resize(3000, 0);
        Close(handle);
        Write(model, "\\dir\\new", Text(kMiB / 2, 21));
        Delete("\\gone");
        model.erase("\\gone");
        OpenRequest rq;
        rq.access = DELETE | SYNCHRONIZE;
        EXPECT_EQ(Open("\\moved", &handle, rq), STATUS_SUCCESS);
        EXPECT_EQ(RenameTo(handle, "\\??\\R:\\dir\\moved"), STATUS_SUCCESS);
        Close(handle);
        model["\\dir\\moved"] = model["\\moved"];
        model.erase("\\moved");
        handle = OpenFile("\\dir\\single");
        EXPECT_EQ(SetEndOfFile(handle, 1000), STATUS_SUCCESS);
        model["\\dir\\single"].resize(1000);
        Close(handle);
        return model;
    }

    /* C, after B: another overwrite of the same extent, a new file, a truncation. */
    Content ApplyC(Content model)
    {
        HANDLE handle = OpenFile("\\dir\\sub\\big");
        std::vector<UCHAR> patch = Noise(kMiB, 30);
        EXPECT_EQ(WriteAt(handle, 2 * kMiB + 50, patch.data(), patch.size()), STATUS_SUCCESS);
        std::copy(patch.begin(), patch.end(), model["\\dir\\sub\\big"].begin() + 2 * kMiB + 50);
        Close(handle);
        Write(model, "\\dir\\third", Noise(3 * kMiB, 31));
        handle = OpenFile("\\dir\\new");
        EXPECT_EQ(SetEndOfFile(handle, 10), STATUS_SUCCESS);
        model["\\dir\\new"].resize(10);
        Close(handle);
        return model;
    }

    NTSTATUS RenameTo(HANDLE handle, const std::string &target)
    {
        size_t bytes = FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName) + target.size() * sizeof(WCHAR);
        auto *info = reinterpret_cast<FILE_RENAME_INFORMATION *>(scratch);
        memset(info, 0, bytes);
        info->FileNameLength = (ULONG)(target.size() * sizeof(WCHAR));
        for (size_t i = 0; i < target.size(); ++i)
            info->FileName[i] = (WCHAR)target[i];
        return support::AsUser(*process, [&] {
            return NtSetInformationFile(handle, iosb, info, (ULONG)bytes, FileRenameInformation);
        });
    }

    /* The bytes of a file on a letter's volume (kernel handle), or nothing when it does not open. */
    static std::optional<std::vector<UCHAR>> ReadWhole(char letter, const std::string &path)
    {
        support::Name name((std::string("\\??\\") + letter + ":" + path).c_str());
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &name.string, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        IO_STATUS_BLOCK io{};
        HANDLE file = nullptr;
        if (!NT_SUCCESS(ZwCreateFile(&file, FILE_READ_DATA | SYNCHRONIZE, &oa, &io, nullptr, 0, FILE_SHARE_READ,
                                     FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0)))
            return std::nullopt;
        std::vector<UCHAR> bytes;
        std::vector<UCHAR> piece(kMiB);
        for (LARGE_INTEGER at{}; ; at.QuadPart += (LONGLONG)io.Information) {
            NTSTATUS status = ZwReadFile(file, nullptr, nullptr, nullptr, &io, piece.data(), (ULONG)piece.size(), &at,
                                         nullptr);
            if (status == STATUS_END_OF_FILE || (NT_SUCCESS(status) && io.Information == 0))
                break;
            if (!NT_SUCCESS(status)) {
                ZwClose(file);
                return std::nullopt;
            }
            bytes.insert(bytes.end(), piece.begin(), piece.begin() + (ptrdiff_t)io.Information);
        }
        ZwClose(file);
        return bytes;
    }

    /* Whether a letter's volume holds exactly the model (every path either model knows). */
    static bool Holds(char letter, const Content &model, const Content &other)
    {
        for (const auto &[path, bytes] : model) {
            std::optional<std::vector<UCHAR>> got = ReadWhole(letter, path);
            if (!got || *got != bytes)
                return false;
        }
        for (const auto &entry : other) {
            if (model.count(entry.first) == 0 && ReadWhole(letter, entry.first))
                return false;
        }
        return true;
    }

    /*
     * What the image file holds right now, as a volume created on a copy of it
     * (on S:) sees it, as if the machine stopped here: 'A', 'B', or '?' for
     * anything else (no load, or other content).
     */
    char ImageNow(const Content &a, const Content &b)
    {
        WriteImageBytes("check.img", ImageBytes("r.img"));
        if (CreateFromImage('S', ImagePath("check.img")) != STATUS_SUCCESS)
            return '?';
        char found = Holds('S', b, a) ? 'B' : Holds('S', a, b) ? 'A' : '?';
        EXPECT_EQ(Dismount('S'), STATUS_SUCCESS);
        return found;
    }

    void Reload(const std::vector<UCHAR> *image)
    {
        Dismount('R');
        if (image != nullptr)
            WriteImageBytes("r.img", *image);
        ASSERT_EQ(CreateFromImage('R', ImagePath("r.img")), STATUS_SUCCESS)
            << Message(LastError()) << " stage " << LastError().Stage;
    }

    /* A's image saved, kept as bytes; then B applied to it and saved cleanly: its operations counted. */
    void Prepare()
    {
        a_ = BuildA();
        ASSERT_EQ(Save('R', ImagePath("r.img")), STATUS_SUCCESS);
        imageA_ = ImageBytes("r.img");
        Reload(&imageA_);
        b_ = ApplyB(a_);
        machine::ArmHostFileFault(machine::HostFileFault::FailDiskFull, ~0ull);
        ASSERT_EQ(Save('R'), STATUS_SUCCESS);
        operations_ = machine::HostFileOperations();
        machine::DisarmHostFileFaults();
        ASSERT_GT(operations_, 4u);
        RecordProperty("operations", (int)operations_);
    }
    /* R: loaded from A's image, changed to B, and saved under a fault; the save's status. */
    NTSTATUS SaveBUnderFault(machine::HostFileFault kind, uint64_t position)
    {
        Reload(&imageA_);
        ApplyB(a_);
        machine::ArmHostFileFault(kind, position, kTornBytes);
        NTSTATUS saved = Save('R');
        machine::DisarmHostFileFaults();
        return saved;
    }

    Content a_, b_;
    std::vector<UCHAR> imageA_;
    uint64_t operations_ = 0;
};

TEST_F(CrashHarnessTest, EveryFaultLeavesTheOldOrTheNewImage)
{
    Prepare();
    ASSERT_FALSE(HasFatalFailure());
    const Content &a = a_, &b = b_;
    ASSERT_EQ(ImageNow(a, b), 'B');

    const machine::HostFileFault kinds[] = {machine::HostFileFault::FailDiskFull, machine::HostFileFault::Tear,
                                            machine::HostFileFault::Die, machine::HostFileFault::PowerLoss,
                                            machine::HostFileFault::PowerLossOutOfOrder};
    for (machine::HostFileFault kind : kinds) {
        for (uint64_t position = 1; position <= operations_; ++position) {
            SCOPED_TRACE("fault " + std::to_string((int)kind) + " at " + std::to_string(position));
            NTSTATUS saved = SaveBUnderFault(kind, position);
            /* Had the machine stopped here, the image would be the old one or the new one. */
            char now = ImageNow(a, b);
            EXPECT_TRUE(now == 'A' || now == 'B') << "image holds " << now;
            if (NT_SUCCESS(saved)) {
                EXPECT_EQ(now, 'B');
            } else {
                /* The volume lives on: its next save completes the image. */
                ASSERT_EQ(Save('R'), STATUS_SUCCESS);
                EXPECT_EQ(ImageNow(a, b), 'B');
            }
            if (HasFailure())
                return;
        }
    }
}

/*
 * A save whose header reached the file but whose flush failed has perhaps
 * committed: the next save, of newer content, must keep away from what that
 * header names, whatever stops it.
 */
TEST_F(CrashHarnessTest, ASaveAfterAnUncertainCommitKeepsBothImagesSafe)
{
    Prepare();
    ASSERT_FALSE(HasFatalFailure());
    const Content &a = a_, &b = b_;

    /* The failure that leaves B in the file: the flush of the header. */
    uint64_t uncertain = 0;
    for (uint64_t position = operations_; position >= 1 && uncertain == 0; --position) {
        if (!NT_SUCCESS(SaveBUnderFault(machine::HostFileFault::FailDiskFull, position)) && ImageNow(a, b) == 'B')
            uncertain = position;
    }
    ASSERT_NE(uncertain, 0u);

    Content c;
    for (uint64_t position = 1;; ++position) {
        SCOPED_TRACE("power lost at " + std::to_string(position));
        ASSERT_FALSE(NT_SUCCESS(SaveBUnderFault(machine::HostFileFault::FailDiskFull, uncertain)));
        c = ApplyC(b);
        machine::ArmHostFileFault(machine::HostFileFault::PowerLossOutOfOrder, position);
        NTSTATUS saved = Save('R');
        machine::DisarmHostFileFaults();
        WriteImageBytes("check.img", ImageBytes("r.img"));
        ASSERT_EQ(CreateFromImage('S', ImagePath("check.img")), STATUS_SUCCESS) << Message(LastError());
        bool known = Holds('S', c, b) || Holds('S', b, c) || Holds('S', a, c);
        EXPECT_EQ(Dismount('S'), STATUS_SUCCESS);
        EXPECT_TRUE(known);
        if (NT_SUCCESS(saved) || HasFailure())
            break;
    }
}

} // namespace
