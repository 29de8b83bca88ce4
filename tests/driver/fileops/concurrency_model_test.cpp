/*
 * Many programs at once: threads of one user process create, write, append,
 * overwrite, read back and delete files in shared directories through the native
 * API, each checked step by step against a model of its own files, while every
 * thread also appends numbered records to one shared log. At the end every file
 * reads back as its model says, the log holds every record once and whole, and
 * the dismount finds nothing left open.
 */
#include "fileops_test.h"
#include "system_threads.h"

#include <atomic>
#include <map>
#include <random>
#include <vector>

namespace {

constexpr int kThreads = 4;
constexpr int kDirectories = 3;
constexpr int kSteps = 160;
constexpr size_t kRecord = 64;
constexpr size_t kBufferBytes = 3u << 20;
constexpr ULONGLONG kAppend = ~0ull; /* FILE_WRITE_TO_END_OF_FILE */

/* One thread's user-space tools: a status block, an offset and a data buffer. */
struct UserIo {
    support::UserProcess &process;
    PIO_STATUS_BLOCK iosb;
    PLARGE_INTEGER offset;
    unsigned char *buffer;

    explicit UserIo(support::UserProcess &p) : process(p)
    {
        iosb = p.New<IO_STATUS_BLOCK>();
        offset = p.New<LARGE_INTEGER>();
        buffer = static_cast<unsigned char *>(p.Alloc(kBufferBytes));
    }
    NTSTATUS Write(HANDLE file, ULONGLONG at, const std::string &bytes)
    {
        memcpy(buffer, bytes.data(), bytes.size());
        offset->QuadPart = (LONGLONG)at;
        NTSTATUS status = support::AsUser(process, [&] {
            return NtWriteFile(file, nullptr, nullptr, nullptr, iosb, buffer, (ULONG)bytes.size(), offset, nullptr);
        });
        return status == STATUS_SUCCESS && iosb->Information != bytes.size() ? STATUS_UNSUCCESSFUL : status;
    }
    /* Reads up to length bytes at offset into *out; the status of the read. */
    NTSTATUS Read(HANDLE file, ULONGLONG at, size_t length, std::string *out)
    {
        offset->QuadPart = (LONGLONG)at;
        NTSTATUS status = support::AsUser(process, [&] {
            return NtReadFile(file, nullptr, nullptr, nullptr, iosb, buffer, (ULONG)length, offset, nullptr);
        });
        out->assign(reinterpret_cast<char *>(buffer), status == STATUS_SUCCESS ? iosb->Information : 0);
        return status;
    }
};

class ConcurrencyModelTest : public FileOpsTest {
protected:
    /* Opens R:path as the test's process on the calling thread (which acts for it). */
    NTSTATUS OpenHere(const std::string &path, ACCESS_MASK access, ULONG disposition, ULONG options, HANDLE *handle)
    {
        OpenRequest rq;
        rq.access = access;
        rq.disposition = disposition;
        rq.options = options;
        return Open(path, handle, rq);
    }

    /* The whole content of path, read in pieces until the end of the file. */
    NTSTATUS ReadAll(UserIo &io, const std::string &path, std::string *content)
    {
        HANDLE handle = nullptr;
        NTSTATUS status = OpenHere(path, FILE_READ_DATA, FILE_OPEN, 0, &handle);
        if (status != STATUS_SUCCESS)
            return status;
        content->clear();
        for (;;) {
            std::string piece;
            status = io.Read(handle, content->size(), kBufferBytes, &piece);
            if (status != STATUS_SUCCESS)
                break;
            *content += piece;
        }
        Close(handle);
        return status == STATUS_END_OF_FILE ? STATUS_SUCCESS : status;
    }

    /* One thread's life: kSteps random operations on its own files, each checked against its model. */
    void RunThread(int thread, std::vector<std::string> *failures)
    {
        std::mt19937 rng(1000 + thread);
        auto random = [&](size_t below) { return std::uniform_int_distribution<size_t>(0, below - 1)(rng); };
        auto fail = [&](const std::string &what) {
            failures->push_back("thread " + std::to_string(thread) + ": " + what);
        };
        auto bytes = [&](size_t length) {
            std::string text(length, '\0');
            for (char &c : text)
                c = (char)('a' + random(26));
            return text;
        };
        UserIo io(*process);
        std::map<std::string, std::string> model;
        std::vector<std::string> names;
        for (int i = 0; i < 6; ++i)
            names.push_back("\\d" + std::to_string(i % kDirectories) + "\\t" + std::to_string(thread) + "-" +
                            std::to_string(i));
        size_t records = 0;
        for (int step = 0; step < kSteps && failures->empty(); ++step) {
            const std::string &name = names[random(names.size())];
            bool exists = model.count(name) != 0;
            HANDLE handle = nullptr;
            switch (random(6)) {
            case 0: { /* create: refused while the name exists */
                NTSTATUS status = OpenHere(name, FILE_WRITE_DATA, FILE_CREATE, FILE_NON_DIRECTORY_FILE, &handle);
                if (status != (exists ? STATUS_OBJECT_NAME_COLLISION : STATUS_SUCCESS))
                    fail("create " + name + " gave " + std::to_string(status));
                if (status == STATUS_SUCCESS) {
                    model[name].clear();
                    Close(handle);
                }
                break;
            }
            case 1:   /* write somewhere, often across the 2 MiB extent boundary */
            case 2: { /* or append */
                bool append = random(2) == 0;
                NTSTATUS status = OpenHere(name, FILE_WRITE_DATA | FILE_APPEND_DATA, FILE_OPEN_IF, 0, &handle);
                if (status != STATUS_SUCCESS) {
                    fail("open for writing " + name);
                    break;
                }
                std::string &content = model[name];
                size_t length = 1 + random(random(4) == 0 ? 300000 : 5000);
                ULONGLONG at = random(3) == 0 ? (2u << 20) - random(4096) : random(content.size() + 9000);
                std::string data = bytes(length);
                if (io.Write(handle, append ? kAppend : at, data) != STATUS_SUCCESS)
                    fail("write to " + name);
                if (append)
                    at = content.size();
                if (content.size() < at + length)
                    content.resize(at + length, '\0');
                content.replace(at, length, data);
                Close(handle);
                break;
            }
            case 3: { /* overwrite: the data goes, the name stays */
                NTSTATUS status = OpenHere(name, FILE_WRITE_DATA, FILE_OVERWRITE, 0, &handle);
                if (status != (exists ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND))
                    fail("overwrite " + name);
                if (status == STATUS_SUCCESS) {
                    model[name].clear();
                    Close(handle);
                }
                break;
            }
            case 4: { /* delete on close */
                NTSTATUS status = OpenHere(name, DELETE, FILE_OPEN, FILE_DELETE_ON_CLOSE, &handle);
                if (status != (exists ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND))
                    fail("delete " + name);
                if (status == STATUS_SUCCESS) {
                    model.erase(name);
                    Close(handle);
                }
                break;
            }
            default: { /* read back and compare */
                std::string content;
                NTSTATUS status = ReadAll(io, name, &content);
                if (status != (exists ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND))
                    fail("read " + name);
                else if (exists && content != model[name])
                    fail("content of " + name + " differs from the model");
                break;
            }
            }
            /* A numbered record on the shared log, appended whole. */
            if (OpenHere("\\shared.log", FILE_APPEND_DATA, FILE_OPEN, 0, &handle) == STATUS_SUCCESS) {
                char record[kRecord + 1];
                snprintf(record, sizeof(record), "%02d %08zu %-*s|", thread, records, (int)(kRecord - 13), "");
                if (io.Write(handle, kAppend, std::string(record, kRecord)) == STATUS_SUCCESS)
                    records++;
                else
                    fail("append to the log");
                Close(handle);
            }
        }
        for (const auto &[name, content] : model) {
            std::string read;
            if (ReadAll(io, name, &read) != STATUS_SUCCESS || read != content)
                fail("final content of " + name);
        }
        recordsWritten[thread] = records;
    }

    size_t recordsWritten[kThreads] = {};
};

TEST_F(ConcurrencyModelTest, ThreadsSharingDirectoriesAgreeWithTheirModelsAndTheSharedLog)
{
    ASSERT_EQ(MakeVolume(), STATUS_SUCCESS);
    for (int d = 0; d < kDirectories; ++d)
        ASSERT_EQ(Make("\\d" + std::to_string(d), FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\shared.log"), STATUS_SUCCESS);

    std::vector<std::vector<std::string>> failures(kThreads);
    std::atomic<int> ready{0};
    std::vector<PKTHREAD> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.push_back(StartThread([&, t] {
            ready++;
            while (ready.load() < kThreads)
                usleep(100);
            RunThread(t, &failures[t]);
        }));
    for (PKTHREAD thread : threads)
        JoinThread(thread);
    for (const auto &list : failures)
        for (const std::string &failure : list)
            ADD_FAILURE() << failure;

    /* Every record once, whole, in order per thread. */
    UserIo io(*process);
    std::string log;
    ASSERT_EQ(ReadAll(io, "\\shared.log", &log), STATUS_SUCCESS);
    size_t total = 0;
    for (size_t count : recordsWritten)
        total += count;
    ASSERT_EQ(log.size(), total * kRecord);
    size_t next[kThreads] = {};
    for (size_t at = 0; at < log.size(); at += kRecord) {
        int thread = -1;
        size_t number = 0;
        ASSERT_EQ(sscanf(log.c_str() + at, "%02d %08zu", &thread, &number), 2) << "torn record at " << at;
        ASSERT_TRUE(thread >= 0 && thread < kThreads);
        EXPECT_EQ(number, next[thread]++) << "record of thread " << thread << " out of order at " << at;
        EXPECT_EQ(log[at + kRecord - 1], '|') << "torn record at " << at;
    }
    /* No handle was left behind: the volume is not busy. */
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

} // namespace
