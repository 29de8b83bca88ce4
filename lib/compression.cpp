/*
 * Cold-file compression of a mounted volume: its level and its statistics.
 */
#include "vorellib_internal.h"

#include <string.h>

extern "C" {

VORELLIB_API vorel_status vorel_compress_set(vorel_handle h, char letter, unsigned int level)
{
    if (h == nullptr)
        return VOREL_ERR_INVALID;
    VOREL_COMPRESSION_LEVEL request;
    memset(&request, 0, sizeof(request));
    WCHAR normalised;
    if (!vorellib::NormaliseLetter(letter, &normalised) || level > 3)
        return vorellib::RefuseArgument(h);
    request.Letter = normalised;
    request.Level = level;
    return vorellib::SendRequest(h, IOCTL_VOREL_SET_COMPRESSION_LEVEL, &request, sizeof(request), nullptr, 0);
}

VORELLIB_API vorel_status vorel_compress_get(vorel_handle h, char letter, unsigned int *level)
{
    if (h == nullptr || level == nullptr)
        return VOREL_ERR_INVALID;
    VOREL_COMPRESSION_LEVEL record;
    memset(&record, 0, sizeof(record));
    WCHAR normalised;
    if (!vorellib::NormaliseLetter(letter, &normalised))
        return vorellib::RefuseArgument(h);
    record.Letter = normalised;
    // One record travels both ways: the letter out, the level (after a zero word) back.
    vorel_status status =
        vorellib::SendRequest(h, IOCTL_VOREL_GET_COMPRESSION_LEVEL, &record, sizeof(record), &record, sizeof(record));
    if (status != VOREL_OK)
        return status;
    *level = record.Level;
    return VOREL_OK;
}

VORELLIB_API vorel_status vorel_comp_stats_query(vorel_handle h, char letter, vorel_comp_stats *stats)
{
    VOREL_COMPRESSION_STATISTICS reply;
    vorel_status status =
        vorellib::QueryLetterRecord(h, IOCTL_VOREL_COMPRESSION_STATISTICS, letter, stats, &reply, sizeof(reply));
    if (status != VOREL_OK)
        return status;
    stats->compressed_files = reply.CompressedFiles;
    stats->compressed_extent_bytes = reply.CompressedExtentBytes;
    stats->compressed_memory = reply.CompressedMemory;
    stats->extents_compressed = reply.ExtentsCompressed;
    stats->extents_decompressed = reply.ExtentsDecompressed;
    stats->extents_not_worth = reply.ExtentsNotWorthCompressing;
    stats->zero_extents_released = reply.ZeroExtentsReleased;
    stats->held_bytes = reply.HeldBytes;
    return VOREL_OK;
}

} // extern "C"
