/*
 * The compression worker: one system thread per mounted volume, at a lowered
 * priority, that packs the cold files of its volume's queue. It wakes on the
 * volume's compression event (a level change, the end of the volume) or after
 * the round wait, and works through every file that has been queued for the cold
 * delay. Its codec context follows the volume's level, set up for the first file
 * that needs it and kept while the level stays.
 */
#include "vorel.h"

#define HUNDRED_NS_PER_MS 10000ll
#define WORKER_PRIORITY_DECREMENT (-2)

/*
 * PrepareCodec: makes Context code for Level. Returns STATUS_SUCCESS, or the
 * failure of setting it up (the context is then empty).
 */
static NTSTATUS PrepareCodec(PCODEC_CONTEXT Context, ULONG Level)
{
    ULONG codec = CodecForCompressionLevel(Level);
    if (Context->Codec == codec && codec != CODEC_NONE)
        return STATUS_SUCCESS;
    TearDownCodecContext(Context);
    return SetUpCodecContext(Context, codec, TRUE);
}

/*
 * WorkThroughQueue: every file the queue gives until it gives none. Ends early
 * when the codec cannot be set up for lack of memory (the file waits for the
 * next round) or the volume stops.
 */
static VOID WorkThroughQueue(PVCB Vcb, PCODEC_CONTEXT Context)
{
    PFCB fcb;
    ULONG level;
    while (TakeColdFile(Vcb, &fcb, &level)) {
        BOOLEAN requeue = FALSE;
        BOOLEAN endRound = FALSE;
        if (level == COMPRESSION_LEVEL_NONE) {
            requeue = FALSE;            /* compression is off: the queue just drains */
        } else if (RecentlyDecompressed(Vcb, fcb)) {
            requeue = TRUE;
        } else {
            NTSTATUS status = PrepareCodec(Context, level);
            if (status == STATUS_INSUFFICIENT_RESOURCES) {
                requeue = TRUE;
                endRound = TRUE;
            } else if (NT_SUCCESS(status)) {
                requeue = PackColdFile(Vcb, fcb, Context);
            }
        }
        if (requeue)
            RequeueColdFile(Vcb, fcb);
        else
            DereferenceNode(fcb);
        FinishColdFile(Vcb);
        if (endRound)
            return;
    }
}

/*
 * CompressionWorker: the thread's routine; Context is the VCB, which outlives it
 * (teardown waits for the thread). Ends when the queue's exit mark is set.
 */
static VOID NTAPI CompressionWorker(PVOID Context)
{
    PVCB vcb = (PVCB)Context;
    CODEC_CONTEXT codec;
    RtlZeroMemory(&codec, sizeof(codec));
    KeSetBasePriorityThread(KeGetCurrentThread(), WORKER_PRIORITY_DECREMENT);

    KeEnterCriticalRegion();
    for (;;) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -(LONGLONG)vcb->RoundWaitMs * HUNDRED_NS_PER_MS;
        (VOID)KeWaitForSingleObject(&vcb->CompressionEvent, Executive, KernelMode, FALSE, &timeout);
        if (ReadNoFence(&vcb->ColdQueue.Exit))
            break;
        WorkThroughQueue(vcb, &codec);
    }
    TearDownCodecContext(&codec);
    KeLeaveCriticalRegion();
    PsTerminateSystemThread(STATUS_SUCCESS);
}

/*
 * StartCompressionWorker: the volume's worker thread, started at mount. Returns
 * STATUS_SUCCESS or the failure to create the thread (the volume then works
 * without compression: no file is queued).
 */
NTSTATUS StartCompressionWorker(PVCB Vcb)
{
    HANDLE handle;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    NTSTATUS status =
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, NULL, NULL, CompressionWorker, Vcb);
    if (!NT_SUCCESS(status))
        return status;
    PKTHREAD thread;
    status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, (PVOID *)&thread, NULL);
    if (!NT_SUCCESS(status)) {
        // Without a reference teardown could not wait for it: it ends now.
        InterlockedExchange(&Vcb->ColdQueue.Exit, TRUE);
        KeSetEvent(&Vcb->CompressionEvent, IO_NO_INCREMENT, FALSE);
        (VOID)ZwWaitForSingleObject(handle, FALSE, NULL);
        ZwClose(handle);
        return status;
    }
    ZwClose(handle);
    InterlockedExchangePointer((PVOID *)&Vcb->ColdQueue.Worker, thread);
    return STATUS_SUCCESS;
}

/*
 * StopCompressionWorker: ends the volume's worker at teardown: the exit mark, the
 * event, the wait for the thread; then the queue drops what it still holds.
 * PASSIVE_LEVEL; the caller holds no node resource.
 */
VOID StopCompressionWorker(PVCB Vcb)
{
    PKTHREAD thread = (PKTHREAD)InterlockedExchangePointer((PVOID *)&Vcb->ColdQueue.Worker, NULL);
    InterlockedExchange(&Vcb->ColdQueue.Stopping, TRUE);
    if (thread != NULL) {
        InterlockedExchange(&Vcb->ColdQueue.Exit, TRUE);
        KeSetEvent(&Vcb->CompressionEvent, IO_NO_INCREMENT, FALSE);
        (VOID)KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, NULL);
        ObDereferenceObject(thread);
    }
    DrainColdQueue(Vcb);
}
