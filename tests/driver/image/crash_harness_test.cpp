/*
 * Crash safety of saves. A committed image A is loaded, the volume is changed to
 * B, and the save of B meets a fault at one write or flush of the host file
 * system, position by position: the operation fails, a write is torn, the
 * process dies (no host-file I/O from then on), or the machine loses every write
 * not yet flushed. Whatever happened, the image then loads as exactly A or
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
        EXPECT_EQ(RenameTo(handle, "\\dir\\moved"), STATUS_SUCCESS);
        Close(handle);
        model["\\dir\\moved"] = model["\\moved"];
        model.erase("\\moved");
        handle = OpenFile("\\dir\\single");
        EXPECT_EQ(SetEndOfFile(handle, 1000), STATUS_SUCCESS);
        model["\\dir\\single"].resize(1000);
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

    /* Whether R: holds exactly the model (every path either model knows). */
    bool Holds(const Content &model, const Content &other)
    {
        for (const auto &[path, bytes] : model) {
            HANDLE handle = nullptr;
            OpenRequest rq;
            rq.access = FILE_READ_DATA;
            if (!NT_SUCCESS(Open(path, &handle, rq)))
                return false;
            std::vector<UCHAR> got;
            NTSTATUS status = Get(handle, 0, bytes.size() + 1, &got);
            Close(handle);
            if (!NT_SUCCESS(status) || got != bytes)
                return false;
        }
        for (const auto &entry : other) {
            if (model.count(entry.first) == 0 && Exists(entry.first))
                return false;
        }
        return true;
    }

    void Reload(const std::vector<UCHAR> *image)
    {
        Dismount('R');
        if (image != nullptr)
            WriteImageBytes("r.img", *image);
        ASSERT_EQ(CreateFromImage('R', ImagePath("r.img")), STATUS_SUCCESS)
            << Message(LastError()) << " stage " << LastError().Stage;
    }
};

TEST_F(CrashHarnessTest, EveryFaultLeavesTheOldOrTheNewImage)
{
    Content a = BuildA();
    ASSERT_EQ(Save('R', ImagePath("r.img")), STATUS_SUCCESS);
    const std::vector<UCHAR> imageA = ImageBytes("r.img");

    /* A clean save of B, counted. */
    Reload(&imageA);
    Content b = ApplyB(a);
    machine::ArmHostFileFault(machine::HostFileFault::FailDiskFull, ~0ull);
    ASSERT_EQ(Save('R'), STATUS_SUCCESS);
    uint64_t operations = machine::HostFileOperations();
    machine::DisarmHostFileFaults();
    ASSERT_GT(operations, 4u);
    Reload(nullptr);
    ASSERT_TRUE(Holds(b, a));

    const machine::HostFileFault kinds[] = {machine::HostFileFault::FailDiskFull, machine::HostFileFault::Tear,
                                            machine::HostFileFault::Die, machine::HostFileFault::PowerLoss};
    for (machine::HostFileFault kind : kinds) {
        for (uint64_t position = 1; position <= operations; ++position) {
            SCOPED_TRACE("fault " + std::to_string((int)kind) + " at " + std::to_string(position));
            Reload(&imageA);
            ApplyB(a);
            machine::ArmHostFileFault(kind, position, 512);
            NTSTATUS saved = Save('R');
            machine::DisarmHostFileFaults();
            bool survives = kind == machine::HostFileFault::FailDiskFull || kind == machine::HostFileFault::Tear;
            if (survives && !NT_SUCCESS(saved)) {
                /* The volume lives on: its next save completes the image. */
                ASSERT_EQ(Save('R'), STATUS_SUCCESS);
                saved = STATUS_SUCCESS;
            }
            Reload(nullptr);
            bool isA = Holds(a, b);
            bool isB = Holds(b, a);
            EXPECT_TRUE(isA || isB);
            if (NT_SUCCESS(saved) && survives) {
                EXPECT_TRUE(isB);
            }
            if (HasFailure())
                return;
        }
    }
}

} // namespace
