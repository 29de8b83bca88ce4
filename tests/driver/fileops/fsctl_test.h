/*
 * Fixture of the file-system control tests: a user program that sends
 * NtFsControlFile with its buffers in its own memory, and files of known
 * bytes it can compare with a model.
 */
#pragma once

#include "fileops_test.h"

#include <random>
#include <vector>

constexpr ULONGLONG kExtent = 2 * kMiB;

class FsctlTest : public DataFileOpsTest {
protected:
    void SetUp() override
    {
        DataFileOpsTest::SetUp();
        ASSERT_EQ(Create('R', VolumeBytes()), STATUS_SUCCESS);
        AllocateScratch(kScratchBytes);
        in = static_cast<UCHAR *>(process->Alloc(kControlBytes));
        out = static_cast<UCHAR *>(process->Alloc(kControlBytes));
        controlIosb = process->New<IO_STATUS_BLOCK>();
    }
    void TearDown() override
    {
        for (HANDLE h : handles)
            Close(h);
        for (char letter : letters)
            Dismount(letter);
        DataFileOpsTest::TearDown();
    }
    virtual ULONGLONG VolumeBytes() { return 256 * kMiB; }

    /* What one control gave back: status, Information and the output bytes it reported. */
    struct Reply {
        NTSTATUS status;
        ULONG_PTR information;
        std::vector<UCHAR> output;
    };

    /*
     * NtFsControlFile as the user program. The input is copied into its memory
     * (a null input passes a null pointer with inLength); the output lands in
     * its memory and is handed back up to Information.
     */
    Reply Fsctl(HANDLE handle, ULONG code, const void *input, ULONG inLength, ULONG outLength)
    {
        if (input != nullptr)
            memcpy(in, input, inLength);
        memset(out, 0xCC, outLength);
        controlIosb->Information = 0;
        NTSTATUS status = support::AsUser(*process, [&] {
            return NtFsControlFile(handle, nullptr, nullptr, nullptr, controlIosb, code,
                                   input != nullptr ? in : nullptr, inLength, outLength != 0 ? out : nullptr,
                                   outLength);
        });
        ULONG_PTR information = NT_ERROR(status) ? 0 : controlIosb->Information;
        return {status, information, std::vector<UCHAR>(out, out + std::min<ULONG_PTR>(information, outLength))};
    }
    template <typename T> Reply Fsctl(HANDLE handle, ULONG code, const T &input, ULONG outLength = 0)
    {
        return Fsctl(handle, code, &input, sizeof(input), outLength);
    }

    /* A handle on path of drive R: (created when missing), closed at teardown. */
    HANDLE Keep(const std::string &path, ACCESS_MASK access = FILE_READ_DATA | FILE_WRITE_DATA, ULONG options = 0)
    {
        OpenRequest rq;
        rq.access = access;
        rq.disposition = FILE_OPEN_IF;
        rq.options = options;
        HANDLE handle = nullptr;
        EXPECT_EQ(Open(path, &handle, rq), STATUS_SUCCESS) << path;
        handles.push_back(handle);
        return handle;
    }

    /* Random bytes, never zero, so that written extents always hold memory. */
    std::vector<UCHAR> RandomBytes(size_t length)
    {
        std::vector<UCHAR> bytes(length);
        for (auto &b : bytes)
            b = (UCHAR)(1 + random() % 255);
        return bytes;
    }
    /* Writes bytes at offset in pieces that fit the scratch buffer. */
    void WriteAll(HANDLE handle, ULONGLONG at, const UCHAR *bytes, size_t length)
    {
        for (size_t done = 0; done < length;) {
            size_t piece = std::min(length - done, kScratchBytes);
            ULONG_PTR written = 0;
            ASSERT_EQ(WriteAt(handle, (LONGLONG)(at + done), bytes + done, piece, &written), STATUS_SUCCESS);
            ASSERT_EQ(written, piece);
            done += piece;
        }
    }
    /* The whole file as a reader sees it. */
    std::vector<UCHAR> Contents(HANDLE handle)
    {
        std::vector<UCHAR> all;
        ULONGLONG size = SizeOf(handle);
        for (ULONGLONG at = 0; at < size;) {
            std::vector<UCHAR> piece;
            EXPECT_EQ(ReadAt(handle, (LONGLONG)at, (size_t)std::min<ULONGLONG>(size - at, kScratchBytes), &piece),
                      STATUS_SUCCESS);
            if (piece.empty())
                break;
            all.insert(all.end(), piece.begin(), piece.end());
            at += piece.size();
        }
        return all;
    }
    /* A file at path holding model (random bytes of length). */
    HANDLE MakeFile(const std::string &path, size_t length, std::vector<UCHAR> *model)
    {
        HANDLE handle = Keep(path);
        *model = RandomBytes(length);
        WriteAll(handle, 0, model->data(), model->size());
        return handle;
    }

    static constexpr size_t kScratchBytes = 4 * kMiB;
    static constexpr size_t kControlBytes = 64 * 1024;
    UCHAR *in = nullptr;
    UCHAR *out = nullptr;
    IO_STATUS_BLOCK *controlIosb = nullptr;
    std::vector<HANDLE> handles;
    std::vector<char> letters{'R'};
    std::mt19937 random{20261207};
};
