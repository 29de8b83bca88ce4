/*
 * Driver start-up: builds the driver-wide state, the control device and the
 * registrations, then starts the service threads. The entry routine runs alone
 * at PASSIVE_LEVEL; any failure undoes what was built (ReleaseDriverState) and
 * returns its status.
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

/* QuerySystemBasicInformation: page size, processor count and physical pages, once. */
static NTSTATUS QuerySystemBasicInformation(VOID)
{
    C_ASSERT(sizeof(SYSTEM_BASIC_INFORMATION) == 64);
    return ZwQuerySystemInformation(SystemBasicInformation, &VorelData.SystemInformation,
                                    sizeof(VorelData.SystemInformation), NULL);
}

/* InitializeDriverLists: the locks, lists, events and the lookaside list the driver's requests use. */
static VOID InitializeDriverLists(VOID)
{
    InitializeListHead(&VorelData.VolumeList);
    KeInitializeSpinLock(&VorelData.VolumeListLock);
    ExInitializeNPagedLookasideList(&VorelData.ChunkRecords, NULL, NULL, POOL_NX_ALLOCATION, sizeof(DATA_CHUNK),
                                    TAG_DATA_CHUNK, 0);
    VorelData.ChunkRecordsReady = TRUE;
    KeInitializeMutex(&VorelData.ConfigurationMutex, 0);
    KeInitializeEvent(&VorelData.AutoMountWakeEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&VorelData.VolumeSetChangeEvent, SynchronizationEvent, FALSE);
    RtlZeroMemory(VorelData.AutoMountStatus, sizeof(VorelData.AutoMountStatus));
    KeInitializeSpinLock(&VorelData.StatisticsLock);
    KeInitializeEvent(&VorelData.StatisticsWakeEvent, SynchronizationEvent, FALSE);
}

/* InstallDispatchTable: every major function starts at the default handler; then the served ones. */
static VOID InstallDispatchTable(PDRIVER_OBJECT DriverObject)
{
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++)
        DriverObject->MajorFunction[i] = VorelDefaultDispatch;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = VorelCreate;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = VorelCleanup;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = VorelClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = VorelRead;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = VorelWrite;
    DriverObject->MajorFunction[IRP_MJ_QUERY_INFORMATION] = VorelQueryInformation;
    DriverObject->MajorFunction[IRP_MJ_SET_INFORMATION] = VorelSetInformation;
    DriverObject->MajorFunction[IRP_MJ_DIRECTORY_CONTROL] = VorelDirectoryControl;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = VorelDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_FILE_SYSTEM_CONTROL] = VorelFileSystemControl;
    DriverObject->MajorFunction[IRP_MJ_LOCK_CONTROL] = VorelLockControl;
    DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = VorelFlushBuffers;
    DriverObject->MajorFunction[IRP_MJ_QUERY_VOLUME_INFORMATION] = VorelQueryVolumeInformation;
    DriverObject->MajorFunction[IRP_MJ_SHUTDOWN] = VorelShutdown;

    /* Extended attributes. */
    DriverObject->MajorFunction[IRP_MJ_QUERY_EA] = VorelQueryEa;
    DriverObject->MajorFunction[IRP_MJ_SET_EA] = VorelSetEa;
    /* Security descriptors. */
    DriverObject->MajorFunction[IRP_MJ_QUERY_SECURITY] = VorelQuerySecurity;
    DriverObject->MajorFunction[IRP_MJ_SET_SECURITY] = VorelSetSecurity;
}

/*
 * InstallFastIo: the fast I/O table and the file-system filter callbacks. No
 * fast read or write: reads and writes always arrive as requests. An entry left
 * null sends its caller down the request path.
 */
static NTSTATUS InstallFastIo(PDRIVER_OBJECT DriverObject)
{
    RtlZeroMemory(&VorelData.FastIoDispatch, sizeof(VorelData.FastIoDispatch));
    VorelData.FastIoDispatch.SizeOfFastIoDispatch = sizeof(FAST_IO_DISPATCH);
    VorelData.FastIoDispatch.FastIoQueryBasicInfo = VorelFastIoQueryBasicInfo;
    VorelData.FastIoDispatch.FastIoQueryStandardInfo = VorelFastIoQueryStandardInfo;
    VorelData.FastIoDispatch.FastIoLock = VorelFastIoLock;
    VorelData.FastIoDispatch.FastIoUnlockSingle = VorelFastIoUnlockSingle;
    VorelData.FastIoDispatch.FastIoUnlockAll = VorelFastIoUnlockAll;
    VorelData.FastIoDispatch.FastIoUnlockAllByKey = VorelFastIoUnlockAllByKey;
    VorelData.FastIoDispatch.FastIoQueryNetworkOpenInfo = VorelFastIoQueryNetworkOpenInfo;
    VorelData.FastIoDispatch.FastIoQueryOpen = VorelFastIoQueryOpen;
    VorelData.FastIoDispatch.AcquireFileForNtCreateSection = AcquireFileForNtCreateSection;
    VorelData.FastIoDispatch.ReleaseFileForNtCreateSection = ReleaseFileForNtCreateSection;
    DriverObject->FastIoDispatch = &VorelData.FastIoDispatch;

    FS_FILTER_CALLBACKS callbacks;
    RtlZeroMemory(&callbacks, sizeof(callbacks));
    callbacks.SizeOfFsFilterCallbacks = sizeof(callbacks);
    callbacks.PreAcquireForSectionSynchronization = PreAcquireForSectionSynchronization;
    return FsRtlRegisterFileSystemFilterCallbacks(DriverObject, &callbacks);
}

/*
 * ReleaseDriverState: undoes whatever start-up built, in the reverse order, each
 * step only when it happened. Used by a failed start-up and by unload.
 */
VOID ReleaseDriverState(VOID)
{
    StopDriverServices();
    RemoveControlDevice();
    CloseStatisticsKeys();
    if (VorelData.ChunkRecordsReady) {
        ExDeleteNPagedLookasideList(&VorelData.ChunkRecords);
        VorelData.ChunkRecordsReady = FALSE;
    }
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
EXTERN_C NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    RtlZeroMemory(&VorelData, sizeof(VorelData));
    /* First: a failed start-up stops the services, which takes this mutex, whatever step failed. */
    KeInitializeMutex(&VorelData.ServiceControlMutex, 0);
    VorelData.AllowUserAccess = 1;
    VorelData.PersistBufferedIo = 0;

    InstallPoolRoutines();

    VorelData.DriverObject = DriverObject;
    NTSTATUS status = BuildServiceKeyPath(DriverObject);
    if (!NT_SUCCESS(status))
        goto failed;

    status = CreateCaches();
    if (!NT_SUCCESS(status))
        goto failed;

    status = QuerySystemBasicInformation();
    if (!NT_SUCCESS(status))
        goto failed;

    LookUpTaggedReferenceRoutines();
    DriverObject->DriverUnload = VorelUnload;

    VorelData.AllowUserAccess = QueryParameterDword(L"AllowUserAccess", 1) != 0 ? 1 : 0;
    RtlZeroMemory(VorelData.LastPersistenceError, sizeof(VorelData.LastPersistenceError));
    KeInitializeSpinLock(&VorelData.PersistenceErrorLock);
    VorelData.PersistBufferedIo = QueryParameterDword(L"PersistBufferedIo", 0) != 0 ? 1 : 0;

    InitializeDriverLists();
    OpenStatisticsKeys();
    DescribeProcessorTopology();

    status = CreateControlDevice();
    if (!NT_SUCCESS(status))
        goto failed;

    InstallDispatchTable(DriverObject);

    /* Without the notification volumes are not saved at shutdown; the driver still works. */
    VorelData.ShutdownRegistered = NT_SUCCESS(IoRegisterShutdownNotification(VorelData.ControlDevice));

    status = InstallFastIo(DriverObject);
    if (!NT_SUCCESS(status))
        goto failed;

    IoRegisterFileSystem(VorelData.ControlDevice);
    VorelData.FileSystemRegistered = TRUE;

    StartDriverServices();

    return STATUS_SUCCESS;

failed:
    ReleaseDriverState();
    return status;
}
