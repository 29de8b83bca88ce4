/*
 * Windows statuses as Linux programs see them: one table for every status the
 * driver and the I/O manager can answer a file request with.
 */
#pragma once

#include <cstdint>

namespace fusebridge {

/*
 * The errno for a failed status (0 for a success or information status). A status
 * the table does not know is logged once (through the log set below) and becomes EIO.
 * The ends of data (end of file, no more files, entries or EAs, no EAs at all) are 0
 * as well: Linux answers a read or a listing at its end with an empty reply.
 * Thread-safe.
 */
int ErrnoOfStatus(int32_t status);

/* Where the line about an unmapped status goes; null: standard error. The routine is
 * called on the failing request's thread, possibly on several threads at once. */
using LogRoutine = void (*)(const char *line);
void SetStatusLog(LogRoutine log);

} // namespace fusebridge
