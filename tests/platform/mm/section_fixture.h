/*
 * A user process mapping files of the test file system: sections, views, flushes,
 * and the paging requests the file system saw.
 */
#pragma once

#include "../io/fs_fixture.h"

#include <algorithm>
#include <set>
#include <vector>

class SectionTest : public FsTest {
protected:
    static constexpr size_t kPage = 4096;

    /* A file of `bytes` bytes whose page p is filled with the letter 'a' + p. */
    static std::string Pattern(size_t bytes)
    {
        std::string data(bytes, '\0');
        for (size_t i = 0; i < bytes; i++)
            data[i] = (char)('a' + (i / kPage) % 26);
        return data;
    }

    HANDLE OpenFile(const char *path, bool write)
    {
        HANDLE handle = nullptr;
        EXPECT_EQ(Open(path, FILE_READ_DATA | (write ? FILE_WRITE_DATA : 0), &handle), STATUS_SUCCESS);
        return handle;
    }

    NTSTATUS CreateSection(HANDLE file, ULONG protection, HANDLE *section, LONGLONG maximum = 0)
    {
        auto *handle = process->New<HANDLE>();
        LARGE_INTEGER *size = nullptr;
        if (maximum != 0) {
            size = process->New<LARGE_INTEGER>();
            size->QuadPart = maximum;
        }
        NTSTATUS status = User([&] {
            return NtCreateSection(handle, SECTION_ALL_ACCESS, nullptr, size, protection, SEC_COMMIT, file);
        });
        *section = *handle;
        return status;
    }

    NTSTATUS Map(HANDLE section, ULONG protection, unsigned char **base, SIZE_T bytes = 0, LONGLONG offset = 0)
    {
        auto *address = process->New<PVOID>();
        auto *size = process->New<SIZE_T>();
        auto *at = process->New<LARGE_INTEGER>();
        *address = nullptr;
        *size = bytes;
        at->QuadPart = offset;
        NTSTATUS status = User([&] {
            return NtMapViewOfSection(section, NtCurrentProcess(), address, 0, 0, at, size, ViewUnmap, 0, protection);
        });
        *base = static_cast<unsigned char *>(*address);
        return status;
    }

    NTSTATUS Unmap(void *base)
    {
        return User([&] { return NtUnmapViewOfSection(NtCurrentProcess(), base); });
    }

    NTSTATUS Flush(void *base, SIZE_T bytes)
    {
        auto *address = process->New<PVOID>();
        auto *size = process->New<SIZE_T>();
        auto *iosb = process->New<IO_STATUS_BLOCK>();
        *address = base;
        *size = bytes;
        return User([&] { return NtFlushVirtualMemory(NtCurrentProcess(), address, size, iosb); });
    }

    /* Offsets of the paging requests of one major function seen since the last call. */
    std::vector<LONGLONG> Paging(UCHAR major)
    {
        std::vector<LONGLONG> offsets;
        std::vector<testfs::Seen> all = fs().Of(major);
        size_t &mark = major == IRP_MJ_READ ? readMark : writeMark;
        for (size_t i = mark; i < all.size(); i++)
            if (all[i].irpFlags & IRP_PAGING_IO)
                offsets.push_back(all[i].stack.Parameters.Read.ByteOffset.QuadPart);
        mark = all.size();
        std::sort(offsets.begin(), offsets.end());
        return offsets;
    }

    /* The section object pointers of an open file. */
    PSECTION_OBJECT_POINTERS PointersOf(HANDLE handle)
    {
        PFILE_OBJECT file = FileOf(handle);
        PSECTION_OBJECT_POINTERS pointers = file->SectionObjectPointer;
        ObDereferenceObject(file);
        return pointers;
    }

    /* A file \f of `bytes` pattern bytes, opened for writing, with a writable section and view. */
    struct MappedFile {
        HANDLE file = nullptr;
        PSECTION_OBJECT_POINTERS pointers = nullptr;
        HANDLE section = nullptr;
        unsigned char *view = nullptr;
    };
    MappedFile MapNewFile(size_t bytes, SIZE_T viewBytes = 0)
    {
        MappedFile mapped;
        fs().Add(u"\\f", Pattern(bytes));
        mapped.file = OpenFile("\\??\\T:\\f", true);
        mapped.pointers = PointersOf(mapped.file);
        EXPECT_EQ(CreateSection(mapped.file, PAGE_READWRITE, &mapped.section), STATUS_SUCCESS);
        EXPECT_EQ(Map(mapped.section, PAGE_READWRITE, &mapped.view, viewBytes, 0), STATUS_SUCCESS);
        return mapped;
    }

    std::string Data(const char16_t *name)
    {
        std::lock_guard<std::mutex> guard(fs().lock);
        return fs().Find(name)->data;
    }

    size_t readMark = 0;
    size_t writeMark = 0;
};
