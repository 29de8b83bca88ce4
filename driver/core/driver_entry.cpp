/*
 * Driver start-up: builds the driver-wide state. The entry routine runs alone at
 * PASSIVE_LEVEL; any failure undoes what was built and returns its status.
 */
#include "vorel.h"

VOREL_DATA VorelData;

static PVOID PoolAllocate(SIZE_T Size, ULONG Tag, POOL_TYPE PoolType)
{
    return ExAllocatePoolWithTag(PoolType, Size, Tag);
}

static VOID PoolFree(PVOID Block, ULONG Tag)
{
    ExFreePoolWithTag(Block, Tag);
}

/* InstallPoolRoutines: the allocate and free routines every part of the driver uses. */
VOID InstallPoolRoutines(VOID)
{
    VorelData.AllocatePool = PoolAllocate;
    VorelData.FreePool = PoolFree;
}

/*
 * BuildServiceKeyPath: \Registry\Machine\System\CurrentControlSet\Services\<service>,
 * from the driver object's service key name, in paged pool.
 */
static NTSTATUS BuildServiceKeyPath(PDRIVER_OBJECT DriverObject)
{
    static const WCHAR servicesRoot[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
    PUNICODE_STRING serviceName = &DriverObject->DriverExtension->ServiceKeyName;
    SIZE_T bytes = sizeof(servicesRoot) - sizeof(WCHAR) + serviceName->Length;
    if (bytes > UNICODE_STRING_MAX_BYTES)
        return STATUS_NAME_TOO_LONG;

    PWCH buffer = (PWCH)AllocateZeroed(bytes, TAG_SERVICE_KEY, PagedPool);
    if (buffer == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    VorelData.ServiceKeyPath.Buffer = buffer;
    VorelData.ServiceKeyPath.Length = 0;
    VorelData.ServiceKeyPath.MaximumLength = (USHORT)bytes;
    RtlAppendUnicodeToString(&VorelData.ServiceKeyPath, servicesRoot);
    RtlAppendUnicodeStringToString(&VorelData.ServiceKeyPath, serviceName);
    return STATUS_SUCCESS;
}

/* ReleaseDriverState: undoes BuildServiceKeyPath and CreateCaches, whichever happened. */
VOID ReleaseDriverState(VOID)
{
    DeleteCaches();
    FreeAndClear((PVOID *)&VorelData.ServiceKeyPath.Buffer, TAG_SERVICE_KEY);
    VorelData.ServiceKeyPath.Length = VorelData.ServiceKeyPath.MaximumLength = 0;
    VorelData.DriverObject = NULL;
}

/*
 * DriverEntry: the driver's start-up.
 * Takes the driver object and the service's registry path; returns STATUS_SUCCESS
 * or the first failure, with everything built so far undone.
 */
EXTERN_C DECLSPEC_EXPORT NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    RtlZeroMemory(&VorelData, sizeof(VorelData));

    InstallPoolRoutines();

    VorelData.DriverObject = DriverObject;
    NTSTATUS status = BuildServiceKeyPath(DriverObject);
    if (!NT_SUCCESS(status))
        goto failed;

    status = CreateCaches();
    if (!NT_SUCCESS(status))
        goto failed;

    DriverObject->DriverUnload = VorelUnload;
    return STATUS_SUCCESS;

failed:
    ReleaseDriverState();
    return status;
}
