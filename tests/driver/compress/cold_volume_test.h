/*
 * Fixture of the cold-file compression tests on a mounted volume: files written
 * by a user program, time let pass on the auto-advancing clock so the volume's
 * worker packs them, and the volume's compression counters and charges read
 * back through the control device.
 */
#pragma once

#include "../fileops/fsctl_test.h"
#include "system_threads.h"

#include <atomic>
#include <random>
#include <string>
#include <vector>

class ColdVolumeTest : public FsctlTest {
protected:
    /* Lets Seconds of the machine's time pass; the clock jumps while every thread waits. */
    static void LetTimePass(ULONG Seconds)
    {
        LARGE_INTEGER interval;
        interval.QuadPart = -(LONGLONG)Seconds * 10000000;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }

    NTSTATUS SetLevel(char letter, ULONG level)
    {
        VOREL_COMPRESSION_LEVEL input{(VOREL_U16)letter, 0, level};
        return Control(IOCTL_VOREL_SET_COMPRESSION_LEVEL, &input, sizeof(input));
    }

    VOREL_COMPRESSION_STATISTICS Statistics(char letter = 'R')
    {
        VOREL_LETTER_INPUT input{(VOREL_U16)letter, 0};
        VOREL_COMPRESSION_STATISTICS reply{};
        EXPECT_EQ(Control(IOCTL_VOREL_COMPRESSION_STATISTICS, &input, sizeof(input), &reply, sizeof(reply)),
                  STATUS_SUCCESS);
        return reply;
    }

    /* Text as people keep it: words from a small vocabulary, lines, numbers. */
    static std::vector<UCHAR> Text(size_t bytes, uint32_t seed)
    {
        static const char *const words[] = {"volume ", "extent ", "cold ",   "file ",  "memory ", "the ",
                                            "of ",     "while ",  "return ", "status ", "\n",     "0x1F ",
                                            "struct ", "{ ",      "} ",      "node->"};
        std::mt19937 random(seed);
        std::vector<UCHAR> out;
        out.reserve(bytes);
        while (out.size() < bytes) {
            const char *word = words[random() % (sizeof(words) / sizeof(words[0]))];
            for (const char *c = word; *c != 0 && out.size() < bytes; ++c)
                out.push_back((UCHAR)*c);
        }
        return out;
    }

    /* Bytes no codec shrinks. */
    static std::vector<UCHAR> Noise(size_t bytes, uint32_t seed)
    {
        std::mt19937 random(seed);
        std::vector<UCHAR> out(bytes);
        for (auto &b : out)
            b = (UCHAR)(1 + random() % 255);
        return out;
    }

    /* Writes bytes at offset in pieces the scratch buffer holds. */
    void Put(HANDLE handle, ULONGLONG at, const std::vector<UCHAR> &bytes, size_t from = 0, size_t length = ~size_t(0))
    {
        length = std::min(length, bytes.size() - from);
        for (size_t done = 0; done < length;) {
            size_t piece = std::min(length - done, kScratchBytes);
            ASSERT_EQ(WriteAt(handle, (LONGLONG)(at + done), bytes.data() + from + done, piece), STATUS_SUCCESS);
            done += piece;
        }
    }

    /* Reads [at, at + length) back in pieces; the status of the first piece that failed, else success. */
    NTSTATUS Get(HANDLE handle, ULONGLONG at, size_t length, std::vector<UCHAR> *out)
    {
        out->clear();
        for (size_t done = 0; done < length;) {
            size_t piece = std::min(length - done, kScratchBytes);
            std::vector<UCHAR> got;
            NTSTATUS status = ReadAt(handle, (LONGLONG)(at + done), piece, &got);
            if (status == STATUS_END_OF_FILE)
                break;
            if (!NT_SUCCESS(status))
                return status;
            out->insert(out->end(), got.begin(), got.end());
            if (got.size() < piece)
                break;
            done += piece;
        }
        return STATUS_SUCCESS;
    }

    /* A file made, written with bytes and closed: the cleanup offers it to the worker. */
    void MakeFile(const std::string &path, const std::vector<UCHAR> &bytes)
    {
        OpenRequest rq;
        rq.access = FILE_READ_DATA | FILE_WRITE_DATA;
        rq.disposition = FILE_OVERWRITE_IF;
        HANDLE handle = nullptr;
        ASSERT_EQ(Open(path, &handle, rq), STATUS_SUCCESS) << path;
        Put(handle, 0, bytes);
        ASSERT_EQ(Close(handle), STATUS_SUCCESS);
    }

    /* The node behind path, looked up through a short-lived handle (the tree keeps it). */
    PFCB NodeAt(const std::string &path)
    {
        OpenRequest rq;
        rq.access = FILE_READ_ATTRIBUTES;
        HANDLE handle = nullptr;
        if (!NT_SUCCESS(Open(path, &handle, rq)))
            return nullptr;
        PFCB node = NodeOf(handle);
        Close(handle);
        return node;
    }

    /* NtSetInformationFile(FileEndOfFileInformation) as the user program. */
    NTSTATUS SetEndOfFile(HANDLE handle, ULONGLONG size)
    {
        auto *record = reinterpret_cast<FILE_END_OF_FILE_INFORMATION *>(scratch);
        record->EndOfFile.QuadPart = (LONGLONG)size;
        return support::AsUser(*process, [&] {
            return NtSetInformationFile(handle, iosb, record, sizeof(*record), FileEndOfFileInformation);
        });
    }

    /*
     * A system thread that patches R:path (kernel handle) and reads it back at
     * random places for Rounds rounds, against its model: one round in WriteEvery
     * writes (text or noise), the others compare; between rounds time passes on
     * the machine's clock. Every failure or mismatch counts in *Wrong.
     */
    static PKTHREAD StartModelWriter(const std::string &path, std::vector<UCHAR> *model, uint32_t seed, int rounds,
                                     unsigned writeEvery, bool text, std::atomic<int> *wrong)
    {
        return StartThread([=] {
            HANDLE file = nullptr;
            if (KernelOpen(path, &file, FILE_SYNCHRONOUS_IO_NONALERT, FILE_READ_DATA | FILE_WRITE_DATA) !=
                STATUS_SUCCESS) {
                (*wrong)++;
                return;
            }
            std::mt19937 random(seed);
            std::vector<UCHAR> got(std::min<size_t>(512 * 1024, model->size() / 2));
            for (int i = 0; i < rounds; ++i) {
                LARGE_INTEGER at;
                at.QuadPart = (LONGLONG)(random() % (model->size() - got.size()));
                ULONG length = 1 + random() % (ULONG)got.size();
                IO_STATUS_BLOCK io{};
                if (random() % writeEvery == 0) {
                    std::vector<UCHAR> patch = text ? Text(length, random()) : Noise(length, random());
                    if (ZwWriteFile(file, nullptr, nullptr, nullptr, &io, patch.data(), length, &at, nullptr) !=
                        STATUS_SUCCESS)
                        (*wrong)++;
                    std::copy(patch.begin(), patch.end(), model->begin() + at.QuadPart);
                } else if (ZwReadFile(file, nullptr, nullptr, nullptr, &io, got.data(), length, &at, nullptr) !=
                               STATUS_SUCCESS ||
                           !std::equal(got.begin(), got.begin() + length, model->begin() + at.QuadPart)) {
                    (*wrong)++;
                }
                LetTimePass(random() % 50);
            }
            ZwClose(file);
        });
    }

    LONG64 VolumeCharged() { return MountedVcb()->Store.ChargedBytes; }
    LONG64 VolumeHeld() { return MountedVcb()->Store.HeldBytes; }
    PVCB MountedVcb() { return NodeAt("\\")->Vcb; }
};
