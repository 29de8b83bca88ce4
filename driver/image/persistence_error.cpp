/*
 * The driver-wide record of the last failed image operation: every failure of a
 * bind, load or save replaces it whole, under its spin lock, and the last-error
 * request copies it out the same way.
 */
#include "vorel.h"

/* Units of a NUL-terminated text, at most Limit. */
static ULONG BoundedUnits(PCWSTR Text, ULONG Limit)
{
    ULONG units = 0;
    while (Text != NULL && units < Limit && Text[units] != 0)
        units++;
    return units;
}

/*
 * RecordPersistenceError: the record becomes this failure. Path is the image
 * path, with or without the "\??\" prefix; it is recorded as the user gave it
 * (without the prefix, at most 511 units). Message is an English text of at most
 * 127 units.
 * Any IRQL up to DISPATCH_LEVEL.
 */
VOID RecordPersistenceError(NTSTATUS Status, ULONG Operation, ULONG Stage, PCUNICODE_STRING Path, PCWSTR Message)
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    PCWSTR path = NULL;
    ULONG pathUnits = 0;
    if (Path != NULL && Path->Buffer != NULL) {
        path = Path->Buffer;
        pathUnits = Path->Length / sizeof(WCHAR);
        if (pathUnits >= 4 && path[0] == L'\\' && path[1] == L'?' && path[2] == L'?' && path[3] == L'\\') {
            path += 4;
            pathUnits -= 4;
        }
        pathUnits = min(pathUnits, (ULONG)(VOREL_PATH_UNITS - 1));
    }
    ULONG messageUnits = BoundedUnits(Message, VOREL_MESSAGE_UNITS - 1);

    /* Filled in place: the record is too large for a kernel stack. */
    C_ASSERT(sizeof(VorelData.LastPersistenceError) == sizeof(VOREL_PERSISTENCE_ERROR));
    VOREL_PERSISTENCE_ERROR *record = (VOREL_PERSISTENCE_ERROR *)VorelData.LastPersistenceError;
    KIRQL irql;
    KeAcquireSpinLock(&VorelData.PersistenceErrorLock, &irql);
    RtlZeroMemory(record, sizeof(*record));
    record->Status = (VOREL_U32)Status;
    record->Operation = Operation;
    record->Stage = Stage;
    record->Valid = 1;
    record->Time = (VOREL_U64)now.QuadPart;
    if (pathUnits != 0)
        RtlCopyMemory(record->ImagePath, path, pathUnits * sizeof(WCHAR));
    if (messageUnits != 0)
        RtlCopyMemory(record->Message, Message, messageUnits * sizeof(WCHAR));
    KeReleaseSpinLock(&VorelData.PersistenceErrorLock, irql);
}
