/*
 * Fixture of the boot configuration tests: the driver on a machine whose clock
 * jumps over waits, drive H: a fresh temporary directory for images, stored
 * configurations set and listed through the control device as the console
 * would, and the driver reloaded in the same machine (the registry persists) to
 * see what it mounts at start.
 */
#pragma once

#include "../volume/volume_test.h"
#include "scoped_environment.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class BootConfigTest : public AutoClockVolumeTest {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/vorel-bootcfg-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory_ = pattern;
        drives_.Set("VOREL_HOST_DRIVES", "H=" + directory_);
        AutoClockVolumeTest::SetUp();
    }
    void TearDown() override
    {
        AutoClockVolumeTest::TearDown();
        drives_.Restore();
        std::string command = "rm -rf '" + directory_ + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }
    const std::string &Directory() const { return directory_; }

    /* A configuration record (on the heap: 3 KiB). */
    static std::unique_ptr<VOREL_BOOT_CONFIGURATION> Entry(char letter, ULONG flags, ULONGLONG size = 64 * kMiB,
                                                           const std::string &image = "", ULONG period = 0)
    {
        auto entry = std::make_unique<VOREL_BOOT_CONFIGURATION>();
        *entry = VOREL_BOOT_CONFIGURATION{};
        entry->Letter = (VOREL_U16)letter;
        entry->Flags = flags;
        entry->SizeBytes = size;
        entry->SaveIntervalSeconds = period;
        Put(entry->ImagePath, image);
        return entry;
    }
    template <size_t N> static void Put(VOREL_WCHAR (&array)[N], const std::string &text)
    {
        for (size_t i = 0; i < N; ++i)
            array[i] = i < text.size() ? (VOREL_WCHAR)(unsigned char)text[i] : 0;
    }
    NTSTATUS Set(const VOREL_BOOT_CONFIGURATION &entry)
    {
        return Control(IOCTL_VOREL_SET_BOOT_CONFIGURATION, &entry, sizeof(entry));
    }
    NTSTATUS Delete(char letter)
    {
        VOREL_LETTER_INPUT input{(VOREL_U16)letter, 0};
        return Control(IOCTL_VOREL_DELETE_BOOT_CONFIGURATION, &input, sizeof(input));
    }
    std::unique_ptr<VOREL_BOOT_CONFIGURATION_LIST> Query()
    {
        auto list = std::make_unique<VOREL_BOOT_CONFIGURATION_LIST>();
        EXPECT_EQ(Control(IOCTL_VOREL_QUERY_BOOT_CONFIGURATION, nullptr, 0, list.get(), sizeof(*list)),
                  STATUS_SUCCESS);
        return list;
    }
    /* The listed entry of a letter, or null. */
    static const VOREL_BOOT_CONFIGURATION *Find(const VOREL_BOOT_CONFIGURATION_LIST &list, char letter)
    {
        for (ULONG i = 0; i < list.Count; ++i)
            if (list.Entries[i].Letter == (VOREL_U16)letter)
                return &list.Entries[i];
        return nullptr;
    }
    ULONG AutoMountStatus(char letter)
    {
        auto list = Query();
        const VOREL_BOOT_CONFIGURATION *entry = Find(*list, letter);
        return entry != nullptr ? entry->AutoMountStatus : 0xFFFFFFFFu;
    }

    /* The driver unloaded (no pool left) and loaded again, as at the next boot. */
    void Reload()
    {
        ASSERT_EQ(UnloadDriver(), STATUS_SUCCESS);
        WaitForEndingSystemThreads();
        ASSERT_EQ(machine::PoolTotals().liveBlocks, 0u);
        ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
        d = Diagnostics();
        ASSERT_NE(d, nullptr);
    }
    /* Whether the letter's volume is Online (its state read under the volume list lock). */
    bool Online(char letter)
    {
        bool online = false;
        KIRQL irql;
        KeAcquireSpinLock(&d->Data->VolumeListLock, &irql);
        for (PLIST_ENTRY e = d->Data->VolumeList.Flink; e != &d->Data->VolumeList; e = e->Flink) {
            auto *vdr = CONTAINING_RECORD(e, VOLUME_DEVICE_RECORD, ListLinks);
            online = online || (vdr->Letter == (WCHAR)letter && vdr->State == 1 /* Online */);
        }
        KeReleaseSpinLock(&d->Data->VolumeListLock, irql);
        return online;
    }
    /* Waits (real time; the machine's clock stands still meanwhile) until the letter is Online. */
    bool WaitOnline(char letter)
    {
        for (int i = 0; i < 2000 && !Online(letter); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return Online(letter);
    }
    /* Lets seconds of the machine's time pass; the clock jumps while every thread waits. */
    static void LetTimePass(double seconds)
    {
        LARGE_INTEGER interval;
        interval.QuadPart = -(LONGLONG)(seconds * 10000000);
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    static double Seconds() { return (double)machine::InterruptTimeNow() / 1e7; }

    NTSTATUS CreateImaged(char letter, const std::string &image, ULONGLONG size = 64 * kMiB)
    {
        VOREL_CREATE_VOLUME_INPUT input = CreateRecord(letter, size, "Imaged");
        Put(input.ImagePath, image);
        return Control(IOCTL_VOREL_CREATE_VOLUME, &input, sizeof(input));
    }
    /* The generation of the letter's committed image: it grows by one with every save. */
    ULONGLONG Generation(char letter)
    {
        VOREL_PERSISTENCE_STATE state{};
        state.Letter = (VOREL_U16)letter;
        EXPECT_EQ(Control(IOCTL_VOREL_PERSISTENCE_STATE, &state, sizeof(state), &state, sizeof(state)),
                  STATUS_SUCCESS);
        return state.Generation;
    }

    /* A file of the letter's volume, written whole or read whole (kernel handles). */
    static NTSTATUS OpenOn(char letter, const std::string &path, ULONG disposition, HANDLE *handle)
    {
        support::Name name((std::string("\\??\\") + letter + ":" + path).c_str());
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &name.string, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        IO_STATUS_BLOCK iosb{};
        return ZwCreateFile(handle, FILE_READ_DATA | FILE_WRITE_DATA | SYNCHRONIZE, &oa, &iosb, nullptr, 0,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, disposition, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    }
    static NTSTATUS WriteOn(char letter, const std::string &path, const std::string &text)
    {
        HANDLE handle;
        NTSTATUS status = OpenOn(letter, path, FILE_OVERWRITE_IF, &handle);
        if (!NT_SUCCESS(status))
            return status;
        IO_STATUS_BLOCK iosb{};
        LARGE_INTEGER at{};
        status = ZwWriteFile(handle, nullptr, nullptr, nullptr, &iosb, const_cast<char *>(text.data()),
                             (ULONG)text.size(), &at, nullptr);
        ZwClose(handle);
        return status;
    }
    static std::string ReadOn(char letter, const std::string &path)
    {
        HANDLE handle;
        if (!NT_SUCCESS(OpenOn(letter, path, FILE_OPEN, &handle)))
            return "<missing>";
        std::string text(1 << 20, '\0');
        IO_STATUS_BLOCK iosb{};
        LARGE_INTEGER at{};
        NTSTATUS status = ZwReadFile(handle, nullptr, nullptr, nullptr, &iosb, text.data(), (ULONG)text.size(), &at,
                                     nullptr);
        ZwClose(handle);
        text.resize(NT_SUCCESS(status) ? iosb.Information : 0);
        return text;
    }

private:
    std::string directory_;
    support::ScopedEnvironment drives_;
};
