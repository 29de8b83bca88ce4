/*
 * The record checks of the control requests. Each runs after the request table's
 * generic checks (gate, sizes, letter) and before anything else, whether or not the
 * driver serves the request yet, so malformed input always gets its own status.
 * A check may force the terminating unit of the record's strings; it changes
 * nothing else.
 */
#include "vorel.h"

/* Forces the last unit of a fixed string array to zero, so it carries at most N - 1 characters. */
#define TERMINATE_ARRAY(Array) ((Array)[RTL_NUMBER_OF(Array) - 1] = 0)

/* CheckCreateVolume: flags outside the defined bits are refused. */
NTSTATUS CheckCreateVolume(PIRP Irp, PVOID Buffer, ULONG InputLength, ULONG OutputLength)
{
    UNREFERENCED_PARAMETER(Irp);
    UNREFERENCED_PARAMETER(InputLength);
    UNREFERENCED_PARAMETER(OutputLength);
    VOREL_CREATE_VOLUME_INPUT *input = (VOREL_CREATE_VOLUME_INPUT *)Buffer;
    if ((input->Flags & ~VOREL_CREATE_VALID_FLAGS) != 0)
        return STATUS_INVALID_PARAMETER;
    TERMINATE_ARRAY(input->Label);
    TERMINATE_ARRAY(input->ImagePath);
    TERMINATE_ARRAY(input->InitialFolders);
    return STATUS_SUCCESS;
}

/* CheckSetCompressionLevel: levels 0..3 only. */
NTSTATUS CheckSetCompressionLevel(PIRP Irp, PVOID Buffer, ULONG InputLength, ULONG OutputLength)
{
    UNREFERENCED_PARAMETER(Irp);
    UNREFERENCED_PARAMETER(InputLength);
    UNREFERENCED_PARAMETER(OutputLength);
    return ((const VOREL_COMPRESSION_LEVEL *)Buffer)->Level > 3 ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
}

/* CheckSaveVolume: the reserved word must be zero. */
NTSTATUS CheckSaveVolume(PIRP Irp, PVOID Buffer, ULONG InputLength, ULONG OutputLength)
{
    UNREFERENCED_PARAMETER(Irp);
    UNREFERENCED_PARAMETER(InputLength);
    UNREFERENCED_PARAMETER(OutputLength);
    VOREL_SAVE_INPUT *input = (VOREL_SAVE_INPUT *)Buffer;
    if (input->Zero2 != 0)
        return STATUS_INVALID_PARAMETER;
    TERMINATE_ARRAY(input->NewImagePath);
    return STATUS_SUCCESS;
}

/*
 * CheckSetBootConfiguration: flags within the defined mask, a level of 0..3, a
 * non-zero size; auto-save needs an image path; a periodic save needs auto-save and
 * an interval of 5 seconds to a day.
 */
NTSTATUS CheckSetBootConfiguration(PIRP Irp, PVOID Buffer, ULONG InputLength, ULONG OutputLength)
{
    UNREFERENCED_PARAMETER(Irp);
    UNREFERENCED_PARAMETER(InputLength);
    UNREFERENCED_PARAMETER(OutputLength);
    VOREL_BOOT_CONFIGURATION *input = (VOREL_BOOT_CONFIGURATION *)Buffer;
    TERMINATE_ARRAY(input->Label);
    TERMINATE_ARRAY(input->ImagePath);
    TERMINATE_ARRAY(input->InitialFolders);
    ULONG flags = input->Flags;
    if ((flags & ~VOREL_BOOT_VALID_FLAGS) != 0 || input->CompressionLevel > 3 || input->SizeBytes == 0)
        return STATUS_INVALID_PARAMETER;
    if ((flags & VOREL_BOOT_AUTO_SAVE) != 0 && input->ImagePath[0] == 0)
        return STATUS_INVALID_PARAMETER;
    if ((flags & VOREL_BOOT_PERIODIC_SAVE) != 0 &&
        ((flags & VOREL_BOOT_AUTO_SAVE) == 0 || input->SaveIntervalSeconds < VOREL_MIN_SAVE_INTERVAL ||
         input->SaveIntervalSeconds > VOREL_MAX_SAVE_INTERVAL))
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

/* CheckResizeVolume: reserved fields zero and a size of at least 4 MiB. */
NTSTATUS CheckResizeVolume(PIRP Irp, PVOID Buffer, ULONG InputLength, ULONG OutputLength)
{
    UNREFERENCED_PARAMETER(Irp);
    UNREFERENCED_PARAMETER(InputLength);
    UNREFERENCED_PARAMETER(OutputLength);
    const VOREL_RESIZE_INPUT *input = (const VOREL_RESIZE_INPUT *)Buffer;
    if (input->Zero1 != 0 || input->Zero2 != 0 || input->NewSizeBytes < VOREL_MIN_RESIZE_BYTES)
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}
