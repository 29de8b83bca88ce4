/*
 * System shutdown: the request arrives on the control device, which is registered
 * for shutdown notification. It runs once per driver lifetime.
 */
#include "vorel.h"

/*
 * ShutdownOnce: stops the periodic saves so they do not race the final ones,
 * saves the volumes configured for auto-save, then stops the statistics
 * service, which writes the lifetime figures as it leaves. The volumes stay
 * mounted: the system is going away.
 */
static VOID ShutdownOnce(VOID)
{
    if (InterlockedCompareExchange(&VorelData.ShutdownDone, 1, 0) != 0)
        return;
    StopServiceThread(&VorelData.AutoSaveService);
    SaveConfiguredVolumes();
    StopServiceThread(&VorelData.StatisticsService);
}

/*
 * VorelShutdown: IRP_MJ_SHUTDOWN. PASSIVE_LEVEL. A shutdown request aimed at a
 * volume's file-system device completes at once; on the control device it runs the
 * driver's shutdown. Always completes with success.
 */
NTSTATUS NTAPI VorelShutdown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IRP_FRAME frame;
    FrameEnter(&frame, Irp);
    if (IsControlDevice(DeviceObject))
        ShutdownOnce();
    Irp->IoStatus.Information = 0;
    FrameLeave(&frame, STATUS_SUCCESS);
    return STATUS_SUCCESS;
}
