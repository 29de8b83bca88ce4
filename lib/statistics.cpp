/*
 * Queries of mounted volumes, I/O totals and the reserved per-volume statistics.
 */
#include "vorellib_internal.h"

#include <string.h>

namespace {

vorel_status QueryTotals(vorel_handle h, DWORD code, vorel_io_totals *totals)
{
    if (h == nullptr || totals == nullptr)
        return VOREL_ERR_INVALID;
    VOREL_IO_STATISTICS reply;
    memset(&reply, 0, sizeof(reply));
    vorel_status status = vorellib::SendRequest(h, code, nullptr, 0, &reply, sizeof(reply));
    if (status != VOREL_OK)
        return status;
    totals->bytes_read = reply.BytesRead;
    totals->bytes_written = reply.BytesWritten;
    totals->reads = reply.ReadOperations;
    totals->writes = reply.WriteOperations;
    return VOREL_OK;
}

} // namespace

extern "C" {

VORELLIB_API vorel_status vorel_live_query(vorel_handle h, vorel_live_volume *volumes, unsigned int *count)
{
    if (count != nullptr)
        *count = 0;
    if (h == nullptr || volumes == nullptr || count == nullptr)
        return VOREL_ERR_INVALID;
    auto *reply = static_cast<VOREL_MOUNTED_VOLUME_LIST *>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(VOREL_MOUNTED_VOLUME_LIST)));
    if (reply == nullptr)
        return VOREL_ERR_NO_MEMORY;
    vorel_status status = vorellib::SendRequest(h, IOCTL_VOREL_QUERY_MOUNTED_VOLUMES, nullptr, 0, reply,
                                                sizeof(VOREL_MOUNTED_VOLUME_LIST));
    if (status == VOREL_OK) {
        unsigned int n = reply->Count < VOREL_LETTER_COUNT ? reply->Count : VOREL_LETTER_COUNT;
        for (unsigned int i = 0; i < n; ++i) {
            const VOREL_MOUNTED_VOLUME &entry = reply->Entries[i];
            vorel_live_volume &volume = volumes[i];
            memset(&volume, 0, sizeof(volume));
            volume.letter = (char)entry.Letter;
            volume.flags = entry.Flags;
            volume.compression = entry.CompressionLevel;
            volume.size = entry.SizeBytes;
            volume.used = entry.BytesInUse;
            vorellib::FromWideField(entry.Label, VOREL_LABEL_UNITS, volume.label, sizeof(volume.label));
            vorellib::FromWideField(entry.ImagePath, VOREL_PATH_UNITS, volume.image_path,
                                    sizeof(volume.image_path));
        }
        *count = n;
    }
    HeapFree(GetProcessHeap(), 0, reply);
    return status;
}

VORELLIB_API vorel_status vorel_io_stats_query(vorel_handle h, vorel_io_totals *totals)
{
    return QueryTotals(h, IOCTL_VOREL_IO_STATISTICS, totals);
}

VORELLIB_API vorel_status vorel_lifetime_stats_query(vorel_handle h, vorel_io_totals *totals)
{
    return QueryTotals(h, IOCTL_VOREL_LIFETIME_STATISTICS, totals);
}

VORELLIB_API vorel_status vorel_slab_stats_query(vorel_handle h, char letter, vorel_slab_stats *stats)
{
    VOREL_SLAB_STATISTICS_REPLY reply;
    vorel_status status =
        vorellib::QueryLetterRecord(h, IOCTL_VOREL_SLAB_STATISTICS, letter, stats, &reply, sizeof(reply));
    if (status != VOREL_OK)
        return status;
    for (int i = 0; i < 20; ++i)
        stats->values[i] = reply.Values[i];
    for (int i = 0; i < 3; ++i)
        stats->totals[i] = reply.Totals[i];
    return VOREL_OK;
}

VORELLIB_API vorel_status vorel_sd_stats_query(vorel_handle h, char letter, vorel_sd_stats *stats)
{
    VOREL_DESCRIPTOR_STATISTICS_REPLY reply;
    vorel_status status =
        vorellib::QueryLetterRecord(h, IOCTL_VOREL_DESCRIPTOR_STATISTICS, letter, stats, &reply, sizeof(reply));
    if (status != VOREL_OK)
        return status;
    stats->descriptors = reply.Descriptors;
    stats->reserved = 0;
    stats->bytes = reply.Bytes;
    return VOREL_OK;
}

} // extern "C"
