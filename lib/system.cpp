/*
 * Queries of the operating system alone (no driver): physical memory and the drive
 * letters in use.
 */
#include "vorellib_internal.h"

extern "C" {

VORELLIB_API vorel_status vorel_system_memory_query(vorel_system_memory *memory)
{
    if (memory == nullptr)
        return VOREL_ERR_INVALID;
    MEMORYSTATUSEX status;
    status.dwLength = sizeof(status);
    if (!GlobalMemoryStatusEx(&status))
        return VOREL_ERR_TRANSPORT;
    memory->total = status.ullTotalPhys;
    memory->available = status.ullAvailPhys;
    return VOREL_OK;
}

VORELLIB_API vorel_status vorel_used_drive_letters(unsigned int *mask)
{
    if (mask == nullptr)
        return VOREL_ERR_INVALID;
    DWORD drives = GetLogicalDrives();
    if (drives == 0)
        return VOREL_ERR_TRANSPORT;
    *mask = drives & ((1u << VOREL_LETTER_COUNT) - 1); /* bit 0 = A: ... bit 25 = Z: */
    return VOREL_OK;
}

} // extern "C"
