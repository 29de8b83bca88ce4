/*
 * File-system run-time library: filter callbacks (more of the library comes with
 * the file operations).
 */
#pragma once

#include <ntdef.h>
#include <km/ex.h>
#include <km/io.h>
#include <km/list.h>

/* Values a file system or the system stores as the top-level IRP instead of a real request. */
#define FSRTL_FSP_TOP_LEVEL_IRP ((LONG_PTR)0x01)
#define FSRTL_CACHE_TOP_LEVEL_IRP ((LONG_PTR)0x02)
#define FSRTL_MOD_WRITE_TOP_LEVEL_IRP ((LONG_PTR)0x03)
#define FSRTL_FAST_IO_TOP_LEVEL_IRP ((LONG_PTR)0x04)
#define FSRTL_NETWORK1_TOP_LEVEL_IRP ((LONG_PTR)0x05)
#define FSRTL_NETWORK2_TOP_LEVEL_IRP ((LONG_PTR)0x06)
#define FSRTL_MAX_TOP_LEVEL_IRP_FLAG ((LONG_PTR)0xFFFF)

/* The header every file system's file control block begins with. */
#define FSRTL_FLAG_FILE_MODIFIED 0x01
#define FSRTL_FLAG_FILE_LENGTH_CHANGED 0x02
#define FSRTL_FLAG_LIMIT_MODIFIED_PAGES 0x04
#define FSRTL_FLAG_ACQUIRE_MAIN_RSRC_EX 0x08
#define FSRTL_FLAG_ACQUIRE_MAIN_RSRC_SH 0x10
#define FSRTL_FLAG_USER_MAPPED_FILE 0x20
#define FSRTL_FLAG_ADVANCED_HEADER 0x40
#define FSRTL_FLAG_EOF_ADVANCE_ACTIVE 0x80
#define FSRTL_FLAG2_DO_MODIFIED_WRITE 0x01
#define FSRTL_FLAG2_SUPPORTS_FILTER_CONTEXTS 0x02
#define FSRTL_FLAG2_PURGE_WHEN_MAPPED 0x04
#define FSRTL_FLAG2_IS_PAGING_FILE 0x08
#define FSRTL_FCB_HEADER_V0 0x00
#define FSRTL_FCB_HEADER_V1 0x01
#define FSRTL_FCB_HEADER_V2 0x02
#define FSRTL_FCB_HEADER_V3 0x03

typedef enum _FAST_IO_POSSIBLE { FastIoIsNotPossible = 0, FastIoIsPossible, FastIoIsQuestionable } FAST_IO_POSSIBLE;

typedef struct _FSRTL_COMMON_FCB_HEADER {
    CSHORT NodeTypeCode;
    CSHORT NodeByteSize;
    UCHAR Flags;
    UCHAR IsFastIoPossible;
    UCHAR Flags2;
    UCHAR ReservedAndVersion; /* low four bits reserved, high four the header version */
    struct _ERESOURCE *Resource;
    struct _ERESOURCE *PagingIoResource;
    LARGE_INTEGER AllocationSize;
    LARGE_INTEGER FileSize;
    LARGE_INTEGER ValidDataLength;
} FSRTL_COMMON_FCB_HEADER, *PFSRTL_COMMON_FCB_HEADER;

/* As in the WDK's C++ form: the advanced header extends the common one. */
typedef struct _FSRTL_ADVANCED_FCB_HEADER : FSRTL_COMMON_FCB_HEADER {
    PFAST_MUTEX FastMutex;
    LIST_ENTRY FilterContexts;
    ULONG_PTR PushLock;
    PVOID *FileContextSupportPointer;
    union {
        PVOID Oplock;
        PVOID ReservedForRemote;
    };
    PVOID ReservedContext;
} FSRTL_ADVANCED_FCB_HEADER, *PFSRTL_ADVANCED_FCB_HEADER;

#define FsRtlSetupAdvancedHeader(AdvHdr, FMutex)                                                    \
    do {                                                                                            \
        (AdvHdr)->Flags |= FSRTL_FLAG_ADVANCED_HEADER;                                              \
        (AdvHdr)->Flags2 |= FSRTL_FLAG2_SUPPORTS_FILTER_CONTEXTS;                                   \
        (AdvHdr)->ReservedAndVersion = (UCHAR)(FSRTL_FCB_HEADER_V3 << 4);                           \
        InitializeListHead(&(AdvHdr)->FilterContexts);                                              \
        if ((FMutex) != NULL)                                                                       \
            (AdvHdr)->FastMutex = (FMutex);                                                         \
        (AdvHdr)->PushLock = 0;                                                                     \
        (AdvHdr)->FileContextSupportPointer = NULL;                                                 \
    } while (0)

typedef union _FS_FILTER_PARAMETERS {
    struct {
        PLARGE_INTEGER EndingOffset;
        struct _ERESOURCE **ResourceToRelease;
    } AcquireForModifiedPageWriter;
    struct {
        struct _ERESOURCE *ResourceToRelease;
    } ReleaseForModifiedPageWriter;
    struct {
        ULONG SyncType;
        ULONG PageProtection;
        PVOID OutputInformation;
        ULONG Flags;
        ULONG AllocationAttributes;
    } AcquireForSectionSynchronization;
    struct {
        PVOID Argument1;
        PVOID Argument2;
        PVOID Argument3;
        PVOID Argument4;
        PVOID Argument5;
    } Others;
} FS_FILTER_PARAMETERS, *PFS_FILTER_PARAMETERS;

#define SyncTypeOther 0
#define SyncTypeCreateSection 1

/* FS_FILTER_CALLBACK_DATA.Operation of the section-synchronisation callbacks. */
#define FS_FILTER_ACQUIRE_FOR_SECTION_SYNCHRONIZATION (UCHAR)-1
#define FS_FILTER_RELEASE_FOR_SECTION_SYNCHRONIZATION (UCHAR)-2

typedef struct _FS_FILTER_CALLBACK_DATA {
    ULONG SizeOfFsFilterCallbackData;
    UCHAR Operation;
    UCHAR Reserved;
    struct _DEVICE_OBJECT *DeviceObject;
    struct _FILE_OBJECT *FileObject;
    FS_FILTER_PARAMETERS Parameters;
} FS_FILTER_CALLBACK_DATA, *PFS_FILTER_CALLBACK_DATA;

typedef NTSTATUS (NTAPI *PFS_FILTER_CALLBACK)(PFS_FILTER_CALLBACK_DATA Data, PVOID *CompletionContext);
typedef VOID (NTAPI *PFS_FILTER_COMPLETION_CALLBACK)(PFS_FILTER_CALLBACK_DATA Data, NTSTATUS OperationStatus,
                                                     PVOID CompletionContext);

typedef struct _FS_FILTER_CALLBACKS {
    ULONG SizeOfFsFilterCallbacks;
    ULONG Reserved;
    PFS_FILTER_CALLBACK PreAcquireForSectionSynchronization;
    PFS_FILTER_COMPLETION_CALLBACK PostAcquireForSectionSynchronization;
    PFS_FILTER_CALLBACK PreReleaseForSectionSynchronization;
    PFS_FILTER_COMPLETION_CALLBACK PostReleaseForSectionSynchronization;
    PFS_FILTER_CALLBACK PreAcquireForCcFlush;
    PFS_FILTER_COMPLETION_CALLBACK PostAcquireForCcFlush;
    PFS_FILTER_CALLBACK PreReleaseForCcFlush;
    PFS_FILTER_COMPLETION_CALLBACK PostReleaseForCcFlush;
    PFS_FILTER_CALLBACK PreAcquireForModifiedPageWriter;
    PFS_FILTER_COMPLETION_CALLBACK PostAcquireForModifiedPageWriter;
    PFS_FILTER_CALLBACK PreReleaseForModifiedPageWriter;
    PFS_FILTER_COMPLETION_CALLBACK PostReleaseForModifiedPageWriter;
    PFS_FILTER_CALLBACK PreQueryOpen;
    PFS_FILTER_COMPLETION_CALLBACK PostQueryOpen;
} FS_FILTER_CALLBACKS, *PFS_FILTER_CALLBACKS;

/* Opportunistic locks: an opaque pointer the package allocates on first use. */
typedef PVOID OPLOCK, *POPLOCK;

/* Byte-range locks. */
typedef struct _FILE_LOCK_INFO {
    LARGE_INTEGER StartingByte;
    LARGE_INTEGER Length;
    BOOLEAN ExclusiveLock;
    ULONG Key;
    struct _FILE_OBJECT *FileObject;
    PVOID ProcessId;
    LARGE_INTEGER EndingByte;
} FILE_LOCK_INFO, *PFILE_LOCK_INFO;

typedef NTSTATUS (NTAPI *PCOMPLETE_LOCK_IRP_ROUTINE)(PVOID Context, struct _IRP *Irp);
typedef VOID (NTAPI *PUNLOCK_ROUTINE)(PVOID Context, PFILE_LOCK_INFO FileLockInfo);

typedef struct _FILE_LOCK {
    PCOMPLETE_LOCK_IRP_ROUTINE CompleteLockIrpRoutine;
    PUNLOCK_ROUTINE UnlockRoutine;
    BOOLEAN FastIoIsQuestionable;
    BOOLEAN SpareC[3];
    PVOID LockInformation;
    FILE_LOCK_INFO LastReturnedLockInfo;
    PVOID LastReturnedLock;
    LONG volatile LockRequestsInProgress;
} FILE_LOCK, *PFILE_LOCK;

/* Per-stream contexts that filters attach to an advanced FCB header. */
typedef VOID (NTAPI *PFREE_FUNCTION)(PVOID Buffer);

typedef struct _FSRTL_PER_STREAM_CONTEXT {
    LIST_ENTRY Links;
    PVOID OwnerId;
    PVOID InstanceId;
    PFREE_FUNCTION FreeCallback;
} FSRTL_PER_STREAM_CONTEXT, *PFSRTL_PER_STREAM_CONTEXT;

#define FsRtlInitPerStreamContext(_fc, _owner, _inst, _cb)                                          \
    ((_fc)->OwnerId = (_owner), (_fc)->InstanceId = (_inst), (_fc)->FreeCallback = (_cb))

EXTERN_C_START

NTKERNELAPI NTSTATUS NTAPI FsRtlRegisterFileSystemFilterCallbacks(struct _DRIVER_OBJECT *FilterDriverObject,
                                                                  PFS_FILTER_CALLBACKS Callbacks);

/*
 * Reparse points: whether a REPARSE_DATA_BUFFER (REPARSE_GUID_DATA_BUFFER for a
 * tag without the Microsoft bit) of BufferLength bytes may be stored.
 */
NTKERNELAPI NTSTATUS NTAPI FsRtlValidateReparsePointBuffer(ULONG BufferLength,
                                                           PREPARSE_DATA_BUFFER ReparseBuffer);

/* Volume file-system controls (IRP_MJ_FILE_SYSTEM_CONTROL / IRP_MN_USER_FS_REQUEST on a
 * volume open go to the volume's file system), as ntifs.h defines them. */
#define FSCTL_LOCK_VOLUME CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 6, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FSCTL_UNLOCK_VOLUME CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 7, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FSCTL_DISMOUNT_VOLUME CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 8, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FSCTL_IS_VOLUME_MOUNTED CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 10, METHOD_BUFFERED, FILE_ANY_ACCESS)

/* File controls of a file system's own (ntifs.h / winioctl.h) and their records. */
#ifndef FSCTL_SET_ZERO_DATA
#define FSCTL_FILESYSTEM_GET_STATISTICS CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 24, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FSCTL_SET_REPARSE_POINT CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 41, METHOD_BUFFERED, FILE_SPECIAL_ACCESS)
#define FSCTL_GET_REPARSE_POINT CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 42, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FSCTL_DELETE_REPARSE_POINT CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 43, METHOD_BUFFERED, FILE_SPECIAL_ACCESS)
#define FSCTL_SET_SPARSE CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 49, METHOD_BUFFERED, FILE_SPECIAL_ACCESS)
#define FSCTL_SET_ZERO_DATA CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 50, METHOD_BUFFERED, FILE_WRITE_DATA)
#define FSCTL_QUERY_ALLOCATED_RANGES CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 51, METHOD_NEITHER, FILE_READ_DATA)
#define FSCTL_SET_REPARSE_POINT_EX CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 259, METHOD_BUFFERED, FILE_SPECIAL_ACCESS)

#define FILESYSTEM_STATISTICS_TYPE_NTFS 1
#define FILESYSTEM_STATISTICS_TYPE_FAT 2
#define FILESYSTEM_STATISTICS_TYPE_EXFAT 3
#define FILESYSTEM_STATISTICS_TYPE_REFS 4

/* FSCTL_FILESYSTEM_GET_STATISTICS: the common head of each processor's record. */
typedef struct _FILESYSTEM_STATISTICS {
    USHORT FileSystemType;
    USHORT Version;
    ULONG SizeOfCompleteStructure;
    ULONG UserFileReads;
    ULONG UserFileReadBytes;
    ULONG UserDiskReads;
    ULONG UserFileWrites;
    ULONG UserFileWriteBytes;
    ULONG UserDiskWrites;
    ULONG MetaDataReads;
    ULONG MetaDataReadBytes;
    ULONG MetaDataDiskReads;
    ULONG MetaDataWrites;
    ULONG MetaDataWriteBytes;
    ULONG MetaDataDiskWrites;
} FILESYSTEM_STATISTICS, *PFILESYSTEM_STATISTICS;

typedef struct _FILE_SET_SPARSE_BUFFER {
    BOOLEAN SetSparse;
} FILE_SET_SPARSE_BUFFER, *PFILE_SET_SPARSE_BUFFER;

typedef struct _FILE_ZERO_DATA_INFORMATION {
    LARGE_INTEGER FileOffset;
    LARGE_INTEGER BeyondFinalZero;
} FILE_ZERO_DATA_INFORMATION, *PFILE_ZERO_DATA_INFORMATION;

typedef struct _FILE_ALLOCATED_RANGE_BUFFER {
    LARGE_INTEGER FileOffset;
    LARGE_INTEGER Length;
} FILE_ALLOCATED_RANGE_BUFFER, *PFILE_ALLOCATED_RANGE_BUFFER;

/* FSCTL_SET_REPARSE_POINT_EX: a reparse buffer set only over the point the caller names. */
#define REPARSE_DATA_EX_FLAG_GIVEN_TAG_OR_NONE 0x00000001

typedef struct _REPARSE_DATA_BUFFER_EX {
    ULONG Flags;
    ULONG ExistingReparseTag;
    GUID ExistingReparseGuid;
    ULONGLONG Reserved;
    union {
        REPARSE_DATA_BUFFER ReparseDataBuffer;
        REPARSE_GUID_DATA_BUFFER ReparseGuidDataBuffer;
    };
} REPARSE_DATA_BUFFER_EX, *PREPARSE_DATA_BUFFER_EX;

#define REPARSE_DATA_BUFFER_EX_HEADER_SIZE FIELD_OFFSET(REPARSE_DATA_BUFFER_EX, ReparseDataBuffer)
#endif

/* Block cloning: ByteCount bytes of the file FileHandle opens copied into the handle's file. */
#ifndef FSCTL_DUPLICATE_EXTENTS_TO_FILE
#define FSCTL_DUPLICATE_EXTENTS_TO_FILE CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 209, METHOD_BUFFERED, FILE_WRITE_DATA)

typedef struct _DUPLICATE_EXTENTS_DATA {
    HANDLE FileHandle;
    LARGE_INTEGER SourceFileOffset;
    LARGE_INTEGER TargetFileOffset;
    LARGE_INTEGER ByteCount;
} DUPLICATE_EXTENTS_DATA, *PDUPLICATE_EXTENTS_DATA;
#endif

/* Volume events a file system reports to the watchers of its volume (FsRtlNotifyVolumeEvent). */
#define FSRTL_VOLUME_DISMOUNT 1
#define FSRTL_VOLUME_DISMOUNT_FAILED 2
#define FSRTL_VOLUME_LOCK 3
#define FSRTL_VOLUME_LOCK_FAILED 4
#define FSRTL_VOLUME_UNLOCK 5
#define FSRTL_VOLUME_MOUNT 6
#define FSRTL_VOLUME_NEEDS_CHKDSK 7
#define FSRTL_VOLUME_WORM_NEAR_FULL 8
#define FSRTL_VOLUME_WEARING_OUT 9
#define FSRTL_VOLUME_FORCED_CLOSED 10
#define FSRTL_VOLUME_INFO_MAKE_COMPAT 11
#define FSRTL_VOLUME_PREPARING_EJECT 12
#define FSRTL_VOLUME_CHANGE_SIZE 13
#define FSRTL_VOLUME_BACKGROUND_FORMAT 14

NTKERNELAPI NTSTATUS NTAPI FsRtlNotifyVolumeEvent(struct _FILE_OBJECT *FileObject, ULONG EventCode);

/*
 * Change notification. A file system keeps one notify list per volume, guarded by
 * an opaque synchronisation object; each element is a watch that belongs to one
 * file object (identified by FsContext) and holds its pending
 * IRP_MN_NOTIFY_CHANGE_DIRECTORY requests and the changes buffered between them.
 */
typedef struct _REAL_NOTIFY_SYNC *PNOTIFY_SYNC;

typedef BOOLEAN(NTAPI *PCHECK_FOR_TRAVERSE_ACCESS)(PVOID NotifyContext, PVOID TargetContext,
                                                   struct _SECURITY_SUBJECT_CONTEXT *SubjectContext);
typedef BOOLEAN(NTAPI *PFILTER_REPORT_CHANGE)(PVOID NotifyContext, PVOID FilterContext);

NTKERNELAPI VOID NTAPI FsRtlNotifyInitializeSync(PNOTIFY_SYNC *NotifySync);
NTKERNELAPI VOID NTAPI FsRtlNotifyUninitializeSync(PNOTIFY_SYNC *NotifySync);
NTKERNELAPI VOID NTAPI FsRtlNotifyFilterChangeDirectory(PNOTIFY_SYNC NotifySync, PLIST_ENTRY NotifyList,
                                                        PVOID FsContext, PSTRING FullDirectoryName,
                                                        BOOLEAN WatchTree, BOOLEAN IgnoreBuffer,
                                                        ULONG CompletionFilter, PIRP NotifyIrp,
                                                        PCHECK_FOR_TRAVERSE_ACCESS TraverseCallback,
                                                        struct _SECURITY_SUBJECT_CONTEXT *SubjectContext,
                                                        PFILTER_REPORT_CHANGE FilterCallback);
NTKERNELAPI VOID NTAPI FsRtlNotifyFullChangeDirectory(PNOTIFY_SYNC NotifySync, PLIST_ENTRY NotifyList,
                                                      PVOID FsContext, PSTRING FullDirectoryName, BOOLEAN WatchTree,
                                                      BOOLEAN IgnoreBuffer, ULONG CompletionFilter, PIRP NotifyIrp,
                                                      PCHECK_FOR_TRAVERSE_ACCESS TraverseCallback,
                                                      struct _SECURITY_SUBJECT_CONTEXT *SubjectContext);
NTKERNELAPI VOID NTAPI FsRtlNotifyFilterReportChange(PNOTIFY_SYNC NotifySync, PLIST_ENTRY NotifyList,
                                                     PSTRING FullTargetName, USHORT TargetNameOffset,
                                                     PSTRING StreamName, PSTRING NormalizedParentName,
                                                     ULONG FilterMatch, ULONG Action, PVOID TargetContext,
                                                     PVOID FilterContext);
NTKERNELAPI VOID NTAPI FsRtlNotifyFullReportChange(PNOTIFY_SYNC NotifySync, PLIST_ENTRY NotifyList,
                                                   PSTRING FullTargetName, USHORT TargetNameOffset,
                                                   PSTRING StreamName, PSTRING NormalizedParentName,
                                                   ULONG FilterMatch, ULONG Action, PVOID TargetContext);
NTKERNELAPI VOID NTAPI FsRtlNotifyCleanup(PNOTIFY_SYNC NotifySync, PLIST_ENTRY NotifyList, PVOID FsContext);
NTKERNELAPI VOID NTAPI FsRtlNotifyCleanupAll(PNOTIFY_SYNC NotifySync, PLIST_ENTRY NotifyList);

/* Oplock requests and acknowledgements (file-system controls). */
#ifndef FSCTL_REQUEST_OPLOCK_LEVEL_1
#define FSCTL_REQUEST_OPLOCK_LEVEL_1 0x00090000
#define FSCTL_REQUEST_OPLOCK_LEVEL_2 0x00090004
#define FSCTL_REQUEST_BATCH_OPLOCK 0x00090008
#define FSCTL_OPLOCK_BREAK_ACKNOWLEDGE 0x0009000C
#define FSCTL_OPBATCH_ACK_CLOSE_PENDING 0x00090010
#define FSCTL_OPLOCK_BREAK_NOTIFY 0x00090014
#define FSCTL_OPLOCK_BREAK_ACK_NO_2 0x00090050
#define FSCTL_REQUEST_FILTER_OPLOCK 0x0009005C
#define FSCTL_REQUEST_OPLOCK 0x00090240
#endif

/* Information of a completed oplock request: the level it was broken to. */
#define FILE_OPLOCK_BROKEN_TO_LEVEL_2 0x00000007
#define FILE_OPLOCK_BROKEN_TO_NONE 0x00000008

/* FSCTL_REQUEST_OPLOCK: the Windows 7 oplocks, levels made of caching bits. */
#ifndef OPLOCK_LEVEL_CACHE_READ
#define OPLOCK_LEVEL_CACHE_READ 0x00000001
#define OPLOCK_LEVEL_CACHE_HANDLE 0x00000002
#define OPLOCK_LEVEL_CACHE_WRITE 0x00000004
#define REQUEST_OPLOCK_INPUT_FLAG_REQUEST 0x00000001
#define REQUEST_OPLOCK_INPUT_FLAG_ACK 0x00000002
#define REQUEST_OPLOCK_INPUT_FLAG_COMPLETE_ACK_ON_CLOSE 0x00000004
#define REQUEST_OPLOCK_CURRENT_VERSION 1
#define REQUEST_OPLOCK_OUTPUT_FLAG_ACK_REQUIRED 0x00000001
#define REQUEST_OPLOCK_OUTPUT_FLAG_MODES_PROVIDED 0x00000002

typedef struct _REQUEST_OPLOCK_INPUT_BUFFER {
    USHORT StructureVersion;
    USHORT StructureLength;
    ULONG RequestedOplockLevel;
    ULONG Flags;
} REQUEST_OPLOCK_INPUT_BUFFER, *PREQUEST_OPLOCK_INPUT_BUFFER;

typedef struct _REQUEST_OPLOCK_OUTPUT_BUFFER {
    USHORT StructureVersion;
    USHORT StructureLength;
    ULONG OriginalOplockLevel;
    ULONG NewOplockLevel;
    ULONG Flags;
    ACCESS_MASK AccessMode;
    USHORT ShareMode;
} REQUEST_OPLOCK_OUTPUT_BUFFER, *PREQUEST_OPLOCK_OUTPUT_BUFFER;
#endif

/* FsRtlCheckOplockEx flags. */
#define OPLOCK_FLAG_COMPLETE_IF_OPLOCKED 0x00000001
#define OPLOCK_FLAG_OPLOCK_KEY_CHECK_ONLY 0x00000002
#define OPLOCK_FLAG_BACK_OUT_ATOMIC_OPLOCK 0x00000004
#define OPLOCK_FLAG_IGNORE_OPLOCK_KEYS 0x00000008
#define OPLOCK_FLAG_PARENT_OBJECT 0x00000010
#define OPLOCK_FLAG_CLOSING_DELETE_ON_CLOSE 0x00000020
#define OPLOCK_FLAG_REMOVING_FILE_OR_LINK 0x00000040

/* FsRtlOplockFsctrlEx flags. */
#define OPLOCK_FSCTRL_FLAG_ALL_KEYS_MATCH 0x00000001

typedef VOID(NTAPI *POPLOCK_WAIT_COMPLETE_ROUTINE)(PVOID Context, struct _IRP *Irp);
typedef VOID(NTAPI *POPLOCK_FS_PREPOST_IRP)(PVOID Context, struct _IRP *Irp);

NTKERNELAPI VOID NTAPI FsRtlInitializeOplock(POPLOCK Oplock);
NTKERNELAPI VOID NTAPI FsRtlUninitializeOplock(POPLOCK Oplock);
NTKERNELAPI NTSTATUS NTAPI FsRtlOplockFsctrl(POPLOCK Oplock, struct _IRP *Irp, ULONG OpenCount);
NTKERNELAPI NTSTATUS NTAPI FsRtlOplockFsctrlEx(POPLOCK Oplock, struct _IRP *Irp, ULONG OpenCount, ULONG Flags);
NTKERNELAPI NTSTATUS NTAPI FsRtlCheckOplock(POPLOCK Oplock, struct _IRP *Irp, PVOID Context,
                                            POPLOCK_WAIT_COMPLETE_ROUTINE CompletionRoutine,
                                            POPLOCK_FS_PREPOST_IRP PostIrpRoutine);
NTKERNELAPI NTSTATUS NTAPI FsRtlCheckOplockEx(POPLOCK Oplock, struct _IRP *Irp, ULONG Flags, PVOID Context,
                                              POPLOCK_WAIT_COMPLETE_ROUTINE CompletionRoutine,
                                              POPLOCK_FS_PREPOST_IRP PostIrpRoutine);
NTKERNELAPI NTSTATUS NTAPI FsRtlOplockBreakToNone(POPLOCK Oplock, struct _IO_STACK_LOCATION *IrpSp,
                                                  struct _IRP *Irp, PVOID Context,
                                                  POPLOCK_WAIT_COMPLETE_ROUTINE CompletionRoutine,
                                                  POPLOCK_FS_PREPOST_IRP PostIrpRoutine);
NTKERNELAPI BOOLEAN NTAPI FsRtlOplockIsFastIoPossible(POPLOCK Oplock);
NTKERNELAPI BOOLEAN NTAPI FsRtlCurrentBatchOplock(POPLOCK Oplock);

NTKERNELAPI PFILE_LOCK NTAPI FsRtlAllocateFileLock(PCOMPLETE_LOCK_IRP_ROUTINE CompleteLockIrpRoutine,
                                                   PUNLOCK_ROUTINE UnlockRoutine);
NTKERNELAPI VOID NTAPI FsRtlFreeFileLock(PFILE_LOCK FileLock);
NTKERNELAPI VOID NTAPI FsRtlInitializeFileLock(PFILE_LOCK FileLock, PCOMPLETE_LOCK_IRP_ROUTINE CompleteLockIrpRoutine,
                                               PUNLOCK_ROUTINE UnlockRoutine);
NTKERNELAPI VOID NTAPI FsRtlUninitializeFileLock(PFILE_LOCK FileLock);
NTKERNELAPI NTSTATUS NTAPI FsRtlProcessFileLock(PFILE_LOCK FileLock, PIRP Irp, PVOID Context);
NTKERNELAPI BOOLEAN NTAPI FsRtlCheckLockForReadAccess(PFILE_LOCK FileLock, PIRP Irp);
NTKERNELAPI BOOLEAN NTAPI FsRtlCheckLockForWriteAccess(PFILE_LOCK FileLock, PIRP Irp);
NTKERNELAPI BOOLEAN NTAPI FsRtlFastCheckLockForRead(PFILE_LOCK FileLock, PLARGE_INTEGER StartingByte,
                                                    PLARGE_INTEGER Length, ULONG Key, PFILE_OBJECT FileObject,
                                                    PVOID ProcessId);
NTKERNELAPI BOOLEAN NTAPI FsRtlFastCheckLockForWrite(PFILE_LOCK FileLock, PLARGE_INTEGER StartingByte,
                                                     PLARGE_INTEGER Length, ULONG Key, PVOID FileObject,
                                                     PVOID ProcessId);
NTKERNELAPI BOOLEAN NTAPI FsRtlPrivateLock(PFILE_LOCK FileLock, PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset,
                                           PLARGE_INTEGER Length, PEPROCESS ProcessId, ULONG Key,
                                           BOOLEAN FailImmediately, BOOLEAN ExclusiveLock, PIO_STATUS_BLOCK Iosb,
                                           PIRP Irp, PVOID Context, BOOLEAN AlreadySynchronized);
NTKERNELAPI NTSTATUS NTAPI FsRtlFastUnlockSingle(PFILE_LOCK FileLock, PFILE_OBJECT FileObject,
                                                 PLARGE_INTEGER FileOffset, PLARGE_INTEGER Length,
                                                 PEPROCESS ProcessId, ULONG Key, PVOID Context,
                                                 BOOLEAN AlreadySynchronized);
NTKERNELAPI NTSTATUS NTAPI FsRtlFastUnlockAll(PFILE_LOCK FileLock, PFILE_OBJECT FileObject, PEPROCESS ProcessId,
                                              PVOID Context);
NTKERNELAPI NTSTATUS NTAPI FsRtlFastUnlockAllByKey(PFILE_LOCK FileLock, PFILE_OBJECT FileObject,
                                                   PEPROCESS ProcessId, ULONG Key, PVOID Context);
NTKERNELAPI PFILE_LOCK_INFO NTAPI FsRtlGetNextFileLock(PFILE_LOCK FileLock, BOOLEAN Restart);
NTKERNELAPI BOOLEAN NTAPI FsRtlAreThereCurrentOrWaitingFileLocks(PFILE_LOCK FileLock);

/* A lock without an IRP: a conflict that may wait returns FALSE, sending the caller to the IRP path. */
#define FsRtlFastLock(A1, A2, A3, A4, A5, A6, A7, A8, A9, A10, A11)                                 \
    FsRtlPrivateLock(A1, A2, A3, A4, A5, A6, A7, A8, A9, NULL, A10, A11)

/* Whether the record holds granted locks: the byte the fast paths test before a full check. */
#define FsRtlAreThereCurrentFileLocks(FL) ((FL)->FastIoIsQuestionable)

/*
 * Names: the wildcards of an expression, as file systems match directory entries
 * against the pattern of a directory query. The DOS forms are what the Win32
 * layer turns "*", "?" and "." of a DOS pattern into where the DOS meaning
 * differs: DOS_STAR stops before the name's final dot, DOS_QM never eats a dot
 * and matches nothing at a dot or the end, DOS_DOT is a dot or the end of the name.
 */
#define ANSI_DOS_STAR ('<')
#define ANSI_DOS_QM ('>')
#define ANSI_DOS_DOT ('"')

#define DOS_STAR (L'<')
#define DOS_QM (L'>')
#define DOS_DOT (L'"')

NTKERNELAPI BOOLEAN NTAPI FsRtlIsNameInExpression(PUNICODE_STRING Expression, PUNICODE_STRING Name,
                                                  BOOLEAN IgnoreCase, PWCH UpcaseTable);
NTKERNELAPI BOOLEAN NTAPI FsRtlDoesNameContainWildCards(PUNICODE_STRING Name);
NTKERNELAPI VOID NTAPI FsRtlDissectName(UNICODE_STRING Path, PUNICODE_STRING FirstName,
                                        PUNICODE_STRING RemainingName);

NTKERNELAPI NTSTATUS NTAPI FsRtlInsertPerStreamContext(PFSRTL_ADVANCED_FCB_HEADER PerStreamContext,
                                                       PFSRTL_PER_STREAM_CONTEXT Ptr);
NTKERNELAPI VOID NTAPI FsRtlTeardownPerStreamContexts(PFSRTL_ADVANCED_FCB_HEADER AdvancedHeader);

EXTERN_C_END

#if defined(__cplusplus)
static_assert(sizeof(FSRTL_COMMON_FCB_HEADER) == 0x30 && sizeof(FSRTL_ADVANCED_FCB_HEADER) == 0x68,
              "FCB headers");
static_assert(sizeof(FS_FILTER_CALLBACKS) == 120, "FS_FILTER_CALLBACKS");
static_assert(sizeof(FILE_LOCK_INFO) == 48 && sizeof(FILE_LOCK) == 96, "FILE_LOCK");
static_assert(sizeof(REQUEST_OPLOCK_INPUT_BUFFER) == 12 && sizeof(REQUEST_OPLOCK_OUTPUT_BUFFER) == 24,
              "REQUEST_OPLOCK buffers");
static_assert(sizeof(FILESYSTEM_STATISTICS) == 56 && sizeof(FILE_ZERO_DATA_INFORMATION) == 16 &&
                  sizeof(FILE_ALLOCATED_RANGE_BUFFER) == 16 && REPARSE_DATA_BUFFER_EX_HEADER_SIZE == 32,
              "file-system control records");
static_assert(sizeof(DUPLICATE_EXTENTS_DATA) == 32, "DUPLICATE_EXTENTS_DATA");
#endif
