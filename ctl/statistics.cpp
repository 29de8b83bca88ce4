/*
 * list, iostats, lifetime: the mounted volumes and the I/O totals.
 */
#include "vorelctl.h"

#include <stdlib.h>

namespace ctl {

int List(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    vorel_handle h;
    if (!Connect(&h))
        return kExitUnavailable;
    auto *volumes = static_cast<vorel_live_volume *>(calloc(26, sizeof(vorel_live_volume)));
    if (volumes == nullptr) {
        fprintf(stderr, "vorelctl: out of memory\n");
        vorel_disconnect(h);
        return kExitUnavailable;
    }
    unsigned int count = 0;
    int result = kExitSuccess;
    vorel_status status = vorel_live_query(h, volumes, &count);
    if (status != VOREL_OK) {
        result = RequestFailed(h, "query live volumes", status, nullptr);
    } else if (count == 0) {
        printf("No volumes mounted\n");
    } else {
        for (unsigned int i = 0; i < count; ++i) {
            char size[32], used[32];
            WCHAR label[128];
            FormatSize(volumes[i].size, size, sizeof(size));
            FormatSize(volumes[i].used, used, sizeof(used));
            printf("%c:  %-9s  used=%-9s  compress=%-7s  label='%ls'\n", volumes[i].letter, size, used,
                   LevelName(volumes[i].compression), WideText(volumes[i].label, label, 128));
        }
    }
    free(volumes);
    vorel_disconnect(h);
    return result;
}

namespace {

/* QueryTotals: one query of four I/O totals, printed by Print; the exit code. */
int QueryTotals(const char *operation, vorel_status (*query)(vorel_handle, vorel_io_totals *),
                void (*print)(const vorel_io_totals &totals))
{
    vorel_handle h;
    if (!Connect(&h))
        return kExitUnavailable;
    vorel_io_totals totals;
    int result = kExitSuccess;
    vorel_status status = query(h, &totals);
    if (status != VOREL_OK)
        result = RequestFailed(h, operation, status, nullptr);
    else
        print(totals);
    vorel_disconnect(h);
    return result;
}

void PrintRunningTotals(const vorel_io_totals &totals)
{
    char read[32], written[32];
    FormatSize(totals.bytes_read, read, sizeof(read));
    FormatSize(totals.bytes_written, written, sizeof(written));
    printf("read  : %-10s  (%llu bytes, %llu ops)\n", read, totals.bytes_read, totals.reads);
    printf("write : %-10s  (%llu bytes, %llu ops)\n", written, totals.bytes_written, totals.writes);
}

/* The lifetime query carries the peak speeds where the running one carries operation counts. */
void PrintLifetimeTotals(const vorel_io_totals &totals)
{
    char read[32], written[32], peakRead[32], peakWrite[32];
    FormatSize(totals.bytes_read, read, sizeof(read));
    FormatSize(totals.bytes_written, written, sizeof(written));
    FormatSize(totals.reads, peakRead, sizeof(peakRead));
    FormatSize(totals.writes, peakWrite, sizeof(peakWrite));
    printf("read       : %-10s  (%llu bytes)\n", read, totals.bytes_read);
    printf("write      : %-10s  (%llu bytes)\n", written, totals.bytes_written);
    printf("peak read  : %s/s\n", peakRead);
    printf("peak write : %s/s\n", peakWrite);
}

} // namespace

int IoStats(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    return QueryTotals("query I/O stats", vorel_io_stats_query, PrintRunningTotals);
}

int Lifetime(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    return QueryTotals("query lifetime stats", vorel_lifetime_stats_query, PrintLifetimeTotals);
}

} // namespace ctl
