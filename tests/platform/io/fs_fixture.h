/*
 * A machine with the test file system loaded (tests/support/test_fs.h) and a user
 * process acting for root, with helpers to open and call as that process.
 */
#pragma once

#include "test_fs.h"

#include <cstring>
#include <memory>

class FsTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        testfs::Reset();
        ASSERT_EQ(testfs::Load(), STATUS_SUCCESS);
        process = std::make_unique<support::UserProcess>(0, 0);
    }
    void TearDown() override
    {
        process.reset();
        machine::DrainSystemWork();
        testfs::Unload();
        machine::DrainSystemWork();
        MachineTest::TearDown();
    }

    testfs::Fs &fs() { return testfs::TheFs(); }

    /* Runs fn as the user process. */
    template <typename Fn>
    auto User(Fn fn)
    {
        return support::AsUser(*process, fn);
    }

    /* NtCreateFile as the user process; the status block comes back in *result when given. */
    NTSTATUS Open(const char *path, ACCESS_MASK access, HANDLE *handle, ULONG disposition = FILE_OPEN,
                  ULONG options = FILE_SYNCHRONOUS_IO_NONALERT, ULONG share = FILE_SHARE_READ | FILE_SHARE_WRITE,
                  IO_STATUS_BLOCK *result = nullptr, HANDLE root = nullptr)
    {
        POBJECT_ATTRIBUTES oa = process->Attributes(path);
        oa->RootDirectory = root;
        auto *iosb = process->New<IO_STATUS_BLOCK>();
        auto *userHandle = process->New<HANDLE>();
        *userHandle = nullptr;
        NTSTATUS status = User([&] {
            return NtCreateFile(userHandle, access | ((options & FILE_SYNCHRONOUS_IO_NONALERT) ? SYNCHRONIZE : 0), oa,
                                iosb, nullptr, 0, share, disposition, options, nullptr, 0);
        });
        *handle = *userHandle;
        if (result != nullptr)
            *result = *iosb;
        return status;
    }

    NTSTATUS Close(HANDLE handle)
    {
        return User([&] { return NtClose(handle); });
    }

    /* Bytes in the process's user space, filled with text. */
    char *UserBytes(const std::string &text, size_t size = 0)
    {
        size_t bytes = size != 0 ? size : text.size() + 1;
        auto *buffer = static_cast<char *>(process->Alloc(bytes));
        memset(buffer, 0, bytes);
        memcpy(buffer, text.data(), std::min(text.size(), bytes));
        return buffer;
    }

    /* The file object a user handle names (referenced; the caller dereferences it). */
    PFILE_OBJECT FileOf(HANDLE handle)
    {
        PVOID object = nullptr;
        User([&] { return ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, &object, nullptr); });
        return static_cast<PFILE_OBJECT>(object);
    }

    std::unique_ptr<support::UserProcess> process;
};

/* UTF-16 text of an ASCII string, for comparing names. */
inline std::u16string U(const char *text)
{
    return std::u16string(text, text + strlen(text));
}
