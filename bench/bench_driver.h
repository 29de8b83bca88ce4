/*
 * What every driver benchmark does around its measurements: boot the machine
 * without the verifier, load the driver, send control requests as a kernel
 * caller, time a step as a rate, and unload with the machine's audit checked.
 */
#pragma once

#include "machine.h"

#include <vorel.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace bench {

/* The loaded driver's control device, and the file object that keeps it referenced. */
struct LoadedDriver {
    const char *who = "";
    PDEVICE_OBJECT control = nullptr;
    PFILE_OBJECT controlFile = nullptr;
};

/* Boots and loads the driver (and opens its control device when asked); false, with a message, on failure. */
inline bool LoadDriver(LoadedDriver &driver, const char *who, bool openControl = true)
{
    driver.who = who;
    machine::Config config;
    config.verifier = false;
    machine::Boot(config);
    if (machine::LoadDriver(VOREL_DRIVER_PATH, "vorel") != 0) {
        std::fprintf(stderr, "%s: the driver did not load\n", who);
        return false;
    }
    if (!openControl)
        return true;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, VOREL_CONTROL_DEVICE_NAME);
    if (IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &driver.controlFile, &driver.control) != STATUS_SUCCESS) {
        std::fprintf(stderr, "%s: no control device\n", who);
        return false;
    }
    return true;
}

/* Unloads the driver and shuts the machine down; the exit code: 0 when ok and the machine was left clean. */
inline int UnloadDriver(LoadedDriver &driver, bool ok)
{
    if (driver.controlFile != nullptr)
        ObDereferenceObject(driver.controlFile);
    driver.controlFile = nullptr;
    machine::UnloadDriver("vorel");
    machine::AuditReport report = machine::Shutdown();
    if (!report.Clean())
        std::fprintf(stderr, "%s: the machine was not left clean:\n%s", driver.who, report.Text().c_str());
    return ok && report.Clean() ? 0 : 1;
}

/* Sends a control request as a kernel caller and waits for it. */
inline NTSTATUS SendControl(const LoadedDriver &driver, ULONG code, void *input, ULONG inputLength)
{
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp =
        IoBuildDeviceIoControlRequest(code, driver.control, input, inputLength, nullptr, 0, FALSE, &event, &iosb);
    if (irp == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = IoCallDriver(driver.control, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

/* Creates a volume of the given size on a letter. */
inline NTSTATUS CreateVolume(const LoadedDriver &driver, VOREL_U16 letter, ULONGLONG bytes)
{
    VOREL_CREATE_VOLUME_INPUT input{};
    input.Letter = letter;
    input.SizeBytes = bytes;
    return SendControl(driver, IOCTL_VOREL_CREATE_VOLUME, &input, sizeof(input));
}

inline NTSTATUS DismountVolume(const LoadedDriver &driver, VOREL_U16 letter)
{
    VOREL_LETTER_INPUT input{letter, 0};
    return SendControl(driver, IOCTL_VOREL_DISMOUNT_VOLUME, &input, sizeof(input));
}

/*
 * A user program's scratch for its native calls on R:, in its own user space: a
 * status block, a name being built and its attributes, a handle slot.
 */
struct UserNames {
    PIO_STATUS_BLOCK iosb;
    PUNICODE_STRING name;
    PWCH text;
    POBJECT_ATTRIBUTES attributes;
    PHANDLE handle;

    explicit UserNames(void *process)
    {
        iosb = static_cast<PIO_STATUS_BLOCK>(machine::UserAlloc(process, sizeof(IO_STATUS_BLOCK)));
        name = static_cast<PUNICODE_STRING>(machine::UserAlloc(process, sizeof(UNICODE_STRING)));
        text = static_cast<PWCH>(machine::UserAlloc(process, 256 * sizeof(WCHAR)));
        attributes = static_cast<POBJECT_ATTRIBUTES>(machine::UserAlloc(process, sizeof(OBJECT_ATTRIBUTES)));
        handle = static_cast<PHANDLE>(machine::UserAlloc(process, sizeof(HANDLE)));
    }
    /* NtCreateFile of R:path (below 250 characters) as the program, which the caller has entered; the handle in *out. */
    NTSTATUS Open(const std::string &path, ACCESS_MASK access, ULONG disposition, ULONG options, HANDLE *out)
    {
        char full[256]; /* snprintf: GCC 12 misjudges std::string concatenation at -O2 */
        std::snprintf(full, sizeof(full), "\\??\\R:%s", path.c_str());
        size_t length = std::strlen(full);
        for (size_t i = 0; i < length; ++i)
            text[i] = (WCHAR)full[i];
        name->Buffer = text;
        name->Length = name->MaximumLength = (USHORT)(length * sizeof(WCHAR));
        InitializeObjectAttributes(attributes, name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        NTSTATUS status = NtCreateFile(handle, access | SYNCHRONIZE, attributes, iosb, nullptr, 0,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, disposition,
                                       options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
        *out = *handle;
        return status;
    }
};

/* Steps per second, the median of three rounds of at least 200 ms; 0 when a step failed. */
inline double MedianRate(const std::function<bool()> &step)
{
    std::vector<double> rates;
    for (int round = 0; round < 3; ++round) {
        auto start = std::chrono::steady_clock::now();
        size_t count = 0;
        double seconds = 0;
        do {
            if (!step())
                return 0;
            ++count;
            seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        } while (seconds < 0.2);
        rates.push_back((double)count / seconds);
    }
    std::sort(rates.begin(), rates.end());
    return rates[1];
}

/* Text built with snprintf (GCC 12 misjudges std::string concatenation at -O2). */
template <typename... Args>
std::string Format(const char *format, Args... args)
{
    char text[160];
    std::snprintf(text, sizeof(text), format, args...);
    return text;
}

/*
 * One thread's user-space scratch in the benchmark's user process (Process, set
 * before the first one is made): the naming scratch and an offset.
 */
struct UserScratch : UserNames {
    static inline void *Process = nullptr;

    PLARGE_INTEGER offset;

    UserScratch() : UserNames(Process)
    {
        offset = static_cast<PLARGE_INTEGER>(machine::UserAlloc(Process, sizeof(LARGE_INTEGER)));
    }
    NTSTATUS Read(HANDLE file, void *buffer, size_t length, ULONGLONG at)
    {
        offset->QuadPart = (LONGLONG)at;
        return NtReadFile(file, nullptr, nullptr, nullptr, iosb, buffer, (ULONG)length, offset, nullptr);
    }
    NTSTATUS Write(HANDLE file, const void *buffer, size_t length, ULONGLONG at)
    {
        offset->QuadPart = (LONGLONG)at;
        return NtWriteFile(file, nullptr, nullptr, nullptr, iosb, (PVOID)buffer, (ULONG)length, offset, nullptr);
    }
};

} // namespace bench
