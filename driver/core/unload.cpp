/*
 * Driver unload: frees everything start-up built.
 */
#include "vorel.h"

/*
 * VorelUnload: the driver's end. PASSIVE_LEVEL; the I/O manager calls it once,
 * with no request of the driver left running.
 */
VOID NTAPI VorelUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    ReleaseDriverState();
}
