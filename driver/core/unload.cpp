/*
 * Driver unload: dismounts every volume, then frees everything start-up built.
 */
#include "vorel.h"

/*
 * VorelUnload: the driver's end. PASSIVE_LEVEL; the I/O manager calls it once,
 * with no request of the driver left running. Stops the services (so none of
 * them mounts or saves a volume behind the dismounts), dismounts every Online
 * volume (one that cannot go is counted and left), removes the control device
 * and its registrations (unless prepare-unload already did), closes the
 * statistics keys and deletes the lookaside list and the caches.
 */
VOID NTAPI VorelUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    StopDriverServices();
    (VOID)DismountAllVolumesForUnload();
    ReleaseDriverState();
}
