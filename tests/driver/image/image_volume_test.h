/*
 * Fixture of the image save and load tests: the machine's drive H: is a fresh
 * temporary directory, volume R: is made by the cold-volume fixture, and images
 * are written to and read from H: through the control device, as the console
 * would.
 */
#pragma once

#include "../compress/cold_volume_test.h"
#include "scoped_environment.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

class ImageVolumeTest : public ColdVolumeTest {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/vorel-image-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory_ = pattern;
        drives_.Set("VOREL_HOST_DRIVES", "H=" + directory_);
        ColdVolumeTest::SetUp();
    }
    void TearDown() override
    {
        ColdVolumeTest::TearDown();
        drives_.Restore();
        std::string command = "rm -rf '" + directory_ + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }

    /* The Windows path of a name on H: ("r.img" -> "H:\r.img") and the Linux path of the same file. */
    static std::string ImagePath(const std::string &name) { return "H:\\" + name; }
    std::string HostPath(const std::string &name) const { return directory_ + "/" + name; }

    /* Creates a volume bound to an image (size 0: the image's own, or 64 MiB for a new one). */
    NTSTATUS CreateFromImage(char letter, const std::string &image, ULONGLONG size = 0, ULONG flags = 0)
    {
        VOREL_CREATE_VOLUME_INPUT input = CreateRecord(letter, size, "Imaged", flags);
        for (size_t i = 0; i < image.size() && i + 1 < VOREL_PATH_UNITS; ++i)
            input.ImagePath[i] = (VOREL_WCHAR)(unsigned char)image[i];
        return Control(IOCTL_VOREL_CREATE_VOLUME, &input, sizeof(input));
    }
    /* Saves a volume to its image, or (newPath set) fully to that path and rebinds. */
    NTSTATUS Save(char letter, const std::string &newPath = "")
    {
        auto input = std::make_unique<VOREL_SAVE_INPUT>();
        input->Letter = (VOREL_U16)letter;
        for (size_t i = 0; i < newPath.size() && i + 1 < VOREL_PATH_UNITS; ++i)
            input->NewImagePath[i] = (VOREL_WCHAR)(unsigned char)newPath[i];
        return Control(IOCTL_VOREL_SAVE_VOLUME, input.get(), sizeof(*input));
    }
    VOREL_PERSISTENCE_STATE PersistState(char letter = 'R')
    {
        VOREL_PERSISTENCE_STATE state{};
        state.Letter = (VOREL_U16)letter;
        EXPECT_EQ(Control(IOCTL_VOREL_PERSISTENCE_STATE, &state, sizeof(state), &state, sizeof(state)),
                  STATUS_SUCCESS);
        return state;
    }
    VOREL_PERSISTENCE_ERROR LastError()
    {
        VOREL_PERSISTENCE_ERROR error{};
        EXPECT_EQ(Control(IOCTL_VOREL_LAST_PERSISTENCE_ERROR, nullptr, 0, &error, sizeof(error)), STATUS_SUCCESS);
        return error;
    }
    static std::string Message(const VOREL_PERSISTENCE_ERROR &error)
    {
        return Narrow((const char16_t *)error.Message, VOREL_MESSAGE_UNITS);
    }

    /* The image file's bytes as Linux sees them; and writing them back (to damage an image). */
    std::vector<UCHAR> ImageBytes(const std::string &name) const
    {
        std::ifstream in(HostPath(name), std::ios::binary | std::ios::ate);
        if (!in)
            return {};
        std::vector<UCHAR> bytes((size_t)in.tellg());
        in.seekg(0);
        in.read(reinterpret_cast<char *>(bytes.data()), (std::streamsize)bytes.size());
        return bytes;
    }
    void WriteImageBytes(const std::string &name, const std::vector<UCHAR> &bytes) const
    {
        std::ofstream out(HostPath(name), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(bytes.data()), (std::streamsize)bytes.size());
    }

private:
    std::string directory_;
    support::ScopedEnvironment drives_;
};
