/*
 * Volume lifecycle through the control device, as a kernel caller sends it: a
 * 64 MiB volume created (disk device, mount manager, root open and mount) and
 * dismounted again (busy test, teardown, letter removal, final free), and a
 * resize of a mounted volume. One line each:
 *   create and dismount: <count> per second
 *   resize: <count> per second
 * the median of three timed rounds of at least 200 ms.
 */
#include "bench_driver.h"

int main()
{
    bench::LoadedDriver driver;
    if (!bench::LoadDriver(driver, "volume_bench"))
        return 1;
    KeEnterCriticalRegion();
    double lifecycle = bench::MedianRate([&] {
        return bench::CreateVolume(driver, 'R', 64ull << 20) == STATUS_SUCCESS &&
               bench::DismountVolume(driver, 'R') == STATUS_SUCCESS;
    });
    bool ok = lifecycle > 0 && bench::CreateVolume(driver, 'S', 64ull << 20) == STATUS_SUCCESS;
    ULONGLONG size = 64ull << 20;
    double resize = ok ? bench::MedianRate([&] {
        size = size == (64ull << 20) ? (128ull << 20) : (64ull << 20);
        VOREL_RESIZE_INPUT input{'S', 0, 0, size};
        return bench::SendControl(driver, IOCTL_VOREL_RESIZE_VOLUME, &input, sizeof(input)) == STATUS_SUCCESS;
    })
                       : 0;
    ok = ok && resize > 0 && bench::DismountVolume(driver, 'S') == STATUS_SUCCESS;
    KeLeaveCriticalRegion();
    if (!ok)
        std::fprintf(stderr, "volume_bench: a request failed\n");
    else {
        std::printf("create and dismount: %.0f per second\n", lifecycle);
        std::printf("resize: %.0f per second\n", resize);
    }
    return bench::UnloadDriver(driver, ok);
}
