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
    VOREL_PERSISTENCE_ERROR record;
    RtlZeroMemory(&record, sizeof(record));
    record.Status = (VOREL_U32)Status;
    record.Operation = Operation;
    record.Stage = Stage;
    record.Valid = 1;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    record.Time = (VOREL_U64)now.QuadPart;
    if (Path != NULL && Path->Buffer != NULL) {
        PCWSTR text = Path->Buffer;
        ULONG units = Path->Length / sizeof(WCHAR);
        if (units >= 4 && text[0] == L'\\' && text[1] == L'?' && text[2] == L'?' && text[3] == L'\\') {
            text += 4;
            units -= 4;
        }
        units = min(units, (ULONG)(VOREL_PATH_UNITS - 1));
        RtlCopyMemory(record.ImagePath, text, units * sizeof(WCHAR));
    }
    ULONG messageUnits = BoundedUnits(Message, VOREL_MESSAGE_UNITS - 1);
    RtlCopyMemory(record.Message, Message, messageUnits * sizeof(WCHAR));

    C_ASSERT(sizeof(VorelData.LastPersistenceError) == sizeof(record));
    KIRQL irql;
    KeAcquireSpinLock(&VorelData.PersistenceErrorLock, &irql);
    RtlCopyMemory(VorelData.LastPersistenceError, &record, sizeof(record));
    KeReleaseSpinLock(&VorelData.PersistenceErrorLock, irql);
}
