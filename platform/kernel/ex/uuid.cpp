/*
 * UUIDs: a fresh random (version 4) UUID per call.
 */
#include "ke/dispatcher.h"

#include "machine.h"

#include <km/io.h>

#include <sys/random.h>

extern "C" {

NTKERNELAPI NTSTATUS NTAPI ExUuidCreate(GUID *Uuid)
{
    ke::CheckIrql((const void *)&ExUuidCreate, PASSIVE_LEVEL);
    if (machine::ShouldFail("ExUuidCreate"))
        return STATUS_RETRY;
    unsigned char bytes[16];
    if (getrandom(bytes, sizeof(bytes), 0) != (ssize_t)sizeof(bytes))
        return STATUS_RETRY;
    bytes[6] = (unsigned char)((bytes[6] & 0x0F) | 0x40); /* version 4 */
    bytes[8] = (unsigned char)((bytes[8] & 0x3F) | 0x80); /* RFC 4122 variant */
    Uuid->Data1 = (unsigned)bytes[0] << 24 | (unsigned)bytes[1] << 16 | (unsigned)bytes[2] << 8 | bytes[3];
    Uuid->Data2 = (unsigned short)(bytes[4] << 8 | bytes[5]);
    Uuid->Data3 = (unsigned short)(bytes[6] << 8 | bytes[7]);
    for (int i = 0; i < 8; ++i)
        Uuid->Data4[i] = bytes[8 + i];
    return STATUS_SUCCESS;
}

} // extern "C"
