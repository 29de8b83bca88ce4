/*
 * Driver core: the driver-wide state.
 *
 * Synchronization (outermost first). A thread may take a lock only when it holds
 * no lock that comes later in this list; two locks of one rank are taken in
 * ascending address order unless their rank says otherwise.
 *
 *   0. service control mutex (VorelData.ServiceControlMutex) starting and stopping the
 *                                                           driver-wide service threads; the
 *                                                           whole of a prepare-unload
 *   1. configuration mutex (VorelData.ConfigurationMutex)   boot configuration store
 *   2. volume main resource (Vcb->Resource)                 dismounted flag, teardown
 *   3. volume tree resource (Vcb->TreeResource)             directory tree shape, traversal
 *                                                           generation and marks
 *   4. directory main resources, a parent before its child  a directory's children
 *      (a rename takes its old and new directory one at a time)
 *   5. node main resource (Fcb->Header.Resource)            a node's metadata
 *   6. node paging I/O resource                             a node's data layout
 *   7. leaf resources: node-id index (Vcb->NodeIdResource), security store,
 *      last-assignment cache
 *   8. spin locks, never nested: volume list lock, chunk cache, slab classes,
 *      open-process table, cold queue, orphan list (Vcb->OrphanLock), free node
 *      record cache (Vcb->FreeFcbLock), record caches, statistics lock
 *
 * Node and link reference counts and the volume's next node id are interlocked.
 * The volume list lock is never held across I/O, registry or mount-manager calls.
 */
#pragma once

/* Pool tags of the driver's own records ("vl..") and of the record caches ("X..."). */
#define TAG_GENERIC         POOL_TAG('X', ' ', ' ', ' ')
#define TAG_CACHE_CONTROL   POOL_TAG('X', 'l', 'a', 'l')
#define TAG_CHUNK_MAPPING   POOL_TAG('X', 'm', 'm', 'h')
#define TAG_PAGE_SET        POOL_TAG('X', 'm', 'd', 'h')
#define TAG_DATA_CHUNK      POOL_TAG('X', 'N', 'T', ' ')
#define TAG_SERVICE_KEY     POOL_TAG('v', 'l', 'K', 'p')
#define TAG_TOPOLOGY        POOL_TAG('v', 'l', 'M', 'c')
#define TAG_REGISTRY_VALUE  POOL_TAG('v', 'l', 'R', 'v')

/* Tag of the driver's object references when the system has the tagged routines. */
#define TAG_OBJECT_REFERENCE 0x58202020

/* Bug check the driver raises on a broken invariant; parameter 1 names the invariant. */
#define VOREL_BUGCHECK 0xE0F11500

/*
 * WORKER_QUEUE: a volume's I/O worker threads and the kernel queue they serve.
 * State, closing, exit and pending are changed with interlocked operations only;
 * the thread array and count are written by start and stop, which the volume's
 * lifecycle keeps apart.
 */
#define WORKER_QUEUE_MAX_THREADS 8
#define WORKER_QUEUE_STOPPED 0
#define WORKER_QUEUE_STARTING 1
#define WORKER_QUEUE_RUNNING 2

typedef struct _WORKER_QUEUE {
    KQUEUE Queue;
    volatile LONG State;                            /* interlocked */
    volatile LONG Closing;                          /* interlocked: posting is refused */
    volatile LONG Exit;                             /* interlocked: idle workers leave */
    volatile LONG Pending;                          /* interlocked: posted, not yet finished */
    ULONG ThreadCount;
    PKTHREAD Threads[WORKER_QUEUE_MAX_THREADS];
    LIST_ENTRY StopEntries[WORKER_QUEUE_MAX_THREADS];
} WORKER_QUEUE, *PWORKER_QUEUE;

typedef PVOID (*PVOREL_ALLOCATE_POOL)(SIZE_T Size, ULONG Tag, POOL_TYPE PoolType);
typedef VOID (*PVOREL_FREE_POOL)(PVOID Block, ULONG Tag);

struct _RECORD_CACHE;

/*
 * IRP_FRAME: what a dispatch routine's frame entry remembers for its exit. It lives
 * on the handler's stack.
 */
typedef struct _IRP_FRAME {
    PIRP Irp;
    BOOLEAN SetTopLevel;                    /* this frame made Irp the thread's top-level request */
} IRP_FRAME, *PIRP_FRAME;

/*
 * A driver-wide service thread: auto-mount, auto-save or statistics. Start and
 * stop run under VorelData.ServiceControlMutex, so a stop that races another stop
 * (shutdown and prepare-unload) waits for it instead of stopping the thread twice.
 * The thread checks StopRequested after every wait on its wake event.
 */
typedef struct _SERVICE_THREAD {
    PKTHREAD Thread;                        /* referenced while running; exchanged with null by stop */
    volatile LONG Started;                  /* interlocked: claimed 0 -> 1 by start, cleared by stop */
    volatile LONG StopRequested;            /* interlocked: set by stop before the wake event */
    PKEVENT WakeEvent;                      /* synchronization event the thread waits on */
} SERVICE_THREAD, *PSERVICE_THREAD;

/*
 * VOREL_DATA: one instance, from start-up to unload. The entry and unload routines
 * write it alone; afterwards each field says what guards it.
 */
typedef struct _VOREL_DATA {
    PDRIVER_OBJECT DriverObject;
    UNICODE_STRING ServiceKeyPath;          /* \Registry\Machine\...\Services\<name> */
    PDEVICE_OBJECT ControlDevice;           /* \Device\Vorel; null once removed */
    BOOLEAN FileSystemRegistered;
    BOOLEAN ShutdownRegistered;
    BOOLEAN LinkCreated;

    volatile UCHAR AllowUserAccess;         /* caller gate switch; written with release semantics */
    UCHAR PersistBufferedIo;                /* image files with intermediate buffering */

    PVOREL_ALLOCATE_POOL AllocatePool;      /* the whole driver allocates through these */
    PVOREL_FREE_POOL FreePool;

    SYSTEM_BASIC_INFORMATION SystemInformation;

    /* Tagged reference routines, when the system has them (else null). */
    LONG_PTR (FASTCALL *ReferenceObjectWithTag)(PVOID Object, ULONG Tag);
    LONG_PTR (FASTCALL *DereferenceObjectWithTag)(PVOID Object, ULONG Tag);
    NTSTATUS (NTAPI *ReferenceObjectByHandleWithTag)(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                                     POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                                     ULONG Tag, PVOID *Object,
                                                     POBJECT_HANDLE_INFORMATION HandleInformation);

    LIST_ENTRY VolumeList;                  /* guarded by VolumeListLock */
    KSPIN_LOCK VolumeListLock;
    NPAGED_LOOKASIDE_LIST ChunkRecords;     /* data chunk records ("XNT ") */
    BOOLEAN ChunkRecordsReady;
    struct _RECORD_CACHE *MappingCache;     /* chunk mappings ("Xmmh") */
    struct _RECORD_CACHE *PageSetCache;     /* page sets ("Xmdh") */

    KMUTEX ServiceControlMutex;             /* start and stop of the service threads */
    KMUTEX ConfigurationMutex;              /* the boot configuration store */
    KEVENT AutoMountWakeEvent;              /* synchronization */
    KEVENT VolumeSetChangeEvent;            /* synchronization */
    volatile LONG VolumeGeneration;         /* interlocked: a volume came or a configuration changed */
    KEVENT StatisticsWakeEvent;             /* synchronization */
    ULONG AutoMountStatus[26];              /* interlocked */

    DECLSPEC_ALIGN(8) UCHAR LastPersistenceError[1304]; /* guarded by PersistenceErrorLock */
    KSPIN_LOCK PersistenceErrorLock;

    HANDLE VolatileStatisticsKey;           /* may be null */
    HANDLE LifetimeStatisticsKey;           /* may be null */
    ULONGLONG LifetimeBaseline[4];          /* StatisticsLock: bytes read, bytes written, peak read, peak
                                               write; loaded at start-up, raised by each sample */
    ULONGLONG LastSampledBytes[2];          /* StatisticsLock: the growth totals (read, written) at the last
                                               sample */
    ULONGLONG LastSampleTime;               /* StatisticsLock: interrupt time of the last sample */
    KSPIN_LOCK StatisticsLock;
    ULONGLONG StartTime;                    /* interrupt time at start-up */
    ULONGLONG RetiredBytes[2];              /* VolumeListLock: bytes read and written on volumes since torn down */
    volatile LONG StatisticsSamples;        /* interlocked: samples taken since start-up */

    ULONG PerformanceCoreCount;
    KAFFINITY PerformanceCoreMask;          /* group 0; empty when unknown */
    USHORT ProcessorGroup;
    UCHAR Heterogeneous;

    FAST_IO_DISPATCH FastIoDispatch;
    SERVICE_THREAD AutoMountService;
    SERVICE_THREAD AutoSaveService;
    SERVICE_THREAD StatisticsService;
    volatile LONG ShutdownDone;             /* interlocked: the shutdown save runs once */
} VOREL_DATA, *PVOREL_DATA;

extern VOREL_DATA VorelData;
