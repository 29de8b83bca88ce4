/*
 * Control requests about the boot configuration: set, delete and query the
 * volumes the driver mounts by itself at start. Each runs after the request
 * table's checks; the store's routines run under the configuration mutex.
 */
#include "vorel.h"

/*
 * SetBootConfigurationRequest: replaces the letter's stored configuration with
 * the checked record. Nothing is mounted now.
 */
NTSTATUS SetBootConfigurationRequest(PIRP Irp, PVOID Buffer, ULONG InputLength, ULONG OutputLength)
{
    UNREFERENCED_PARAMETER(InputLength);
    UNREFERENCED_PARAMETER(OutputLength);
    Irp->IoStatus.Information = 0;
    AcquireConfiguration();
    NTSTATUS status = StoreBootConfiguration((const VOREL_BOOT_CONFIGURATION *)Buffer);
    ReleaseConfiguration();
    return status;
}

/* DeleteBootConfigurationRequest: the letter is no longer mounted at start; a mounted volume stays. */
NTSTATUS DeleteBootConfigurationRequest(PIRP Irp, PVOID Buffer, ULONG InputLength, ULONG OutputLength)
{
    UNREFERENCED_PARAMETER(InputLength);
    UNREFERENCED_PARAMETER(OutputLength);
    Irp->IoStatus.Information = 0;
    AcquireConfiguration();
    NTSTATUS status = DeleteBootConfiguration((WCHAR)((const VOREL_LETTER_INPUT *)Buffer)->Letter);
    ReleaseConfiguration();
    return status;
}

/* QueryBootConfigurationRequest: every stored configuration, in letter order (82376 bytes). */
NTSTATUS QueryBootConfigurationRequest(PIRP Irp, PVOID Buffer, ULONG InputLength, ULONG OutputLength)
{
    UNREFERENCED_PARAMETER(InputLength);
    UNREFERENCED_PARAMETER(OutputLength);
    Irp->IoStatus.Information = 0;
    AcquireConfiguration();
    NTSTATUS status = ListBootConfigurations((VOREL_BOOT_CONFIGURATION_LIST *)Buffer);
    ReleaseConfiguration();
    if (NT_SUCCESS(status))
        Irp->IoStatus.Information = sizeof(VOREL_BOOT_CONFIGURATION_LIST);
    return status;
}
