/*
 * Image load: rebuilds a volume being mounted from its binding's committed image.
 */
#include "vorel.h"

NTSTATUS LoadVolumeImage(PVCB Vcb, PIMAGE_BINDING Binding)
{
    UNREFERENCED_PARAMETER(Vcb);
    RecordPersistenceError(STATUS_NOT_IMPLEMENTED, VOREL_OPERATION_LOAD, IMAGE_STAGE_SLOT_IO, &Binding->Path,
                           L"image slot read failed");
    return STATUS_NOT_IMPLEMENTED;
}
