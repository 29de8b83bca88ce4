/*
 * Volume lifecycle through the control device, as a kernel caller sends it: a
 * 64 MiB volume created (disk device, mount manager, root open and mount) and
 * dismounted again (busy test, teardown, letter removal, final free), and a
 * resize of a mounted volume. One line each:
 *   create and dismount: <count> per second
 *   resize: <count> per second
 * the median of three timed rounds of at least 200 ms.
 */
#include "machine.h"

#include <vorel.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

PDEVICE_OBJECT control;

NTSTATUS Send(ULONG code, void *input, ULONG inputLength)
{
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, control, input, inputLength, nullptr, 0, FALSE, &event, &iosb);
    if (irp == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = IoCallDriver(control, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

NTSTATUS SendCreate(VOREL_U16 letter)
{
    static VOREL_CREATE_VOLUME_INPUT input;
    input = {};
    input.Letter = letter;
    input.SizeBytes = 64ull << 20;
    return Send(IOCTL_VOREL_CREATE_VOLUME, &input, sizeof(input));
}

NTSTATUS SendDismount(VOREL_U16 letter)
{
    VOREL_LETTER_INPUT input{letter, 0};
    return Send(IOCTL_VOREL_DISMOUNT_VOLUME, &input, sizeof(input));
}

/* Operations per second of Step, the median of three rounds of at least 200 ms; 0 if a step failed. */
double Rate(const std::function<bool()> &step)
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
        rates.push_back(count / seconds);
    }
    std::sort(rates.begin(), rates.end());
    return rates[1];
}

} // namespace

int main()
{
    machine::Config config;
    config.verifier = false;
    machine::Boot(config);
    if (machine::LoadDriver(VOREL_DRIVER_PATH, "vorel") != 0) {
        std::fprintf(stderr, "volume_bench: the driver did not load\n");
        return 1;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, VOREL_CONTROL_DEVICE_NAME);
    PFILE_OBJECT file = nullptr;
    if (IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file, &control) != STATUS_SUCCESS) {
        std::fprintf(stderr, "volume_bench: no control device\n");
        return 1;
    }
    KeEnterCriticalRegion();
    double lifecycle = Rate([] { return SendCreate('R') == STATUS_SUCCESS && SendDismount('R') == STATUS_SUCCESS; });
    bool ok = lifecycle > 0 && SendCreate('S') == STATUS_SUCCESS;
    ULONGLONG size = 64ull << 20;
    double resize = ok ? Rate([&] {
        size = size == (64ull << 20) ? (128ull << 20) : (64ull << 20);
        VOREL_RESIZE_INPUT input{'S', 0, 0, size};
        return Send(IOCTL_VOREL_RESIZE_VOLUME, &input, sizeof(input)) == STATUS_SUCCESS;
    })
                       : 0;
    ok = ok && resize > 0 && SendDismount('S') == STATUS_SUCCESS;
    KeLeaveCriticalRegion();
    ObDereferenceObject(file);
    if (!ok) {
        std::fprintf(stderr, "volume_bench: a request failed\n");
        return 1;
    }
    std::printf("create and dismount: %.0f per second\n", lifecycle);
    std::printf("resize: %.0f per second\n", resize);
    machine::UnloadDriver("vorel");
    machine::Shutdown();
    return 0;
}
