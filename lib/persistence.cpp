/*
 * Image persistence of a mounted volume: its binding and save state, and the
 * driver's record of the last image operation that failed.
 */
#include "vorellib_internal.h"

#include <string.h>

extern "C" {

VORELLIB_API vorel_status vorel_persist_query(vorel_handle h, char letter, vorel_persist_state *state)
{
    if (h == nullptr || state == nullptr)
        return VOREL_ERR_INVALID;
    VOREL_PERSISTENCE_STATE record;
    memset(&record, 0, sizeof(record));
    WCHAR normalised;
    if (!vorellib::NormaliseLetter(letter, &normalised))
        return vorellib::RefuseArgument(h);
    record.Letter = normalised;
    // One record travels both ways: the letter out, the whole state back.
    vorel_status status = vorellib::SendRequest(h, IOCTL_VOREL_PERSISTENCE_STATE, &record, sizeof(record), &record,
                                                sizeof(record));
    if (status != VOREL_OK)
        return status;
    memset(state, 0, sizeof(*state));
    state->bound = record.Bound;
    state->committed = record.Committed;
    state->checksums = record.Checksums;
    state->last_save_status = record.LastSaveStatus;
    state->generation = record.Generation;
    state->last_save_time = record.LastSaveTime;
    state->high_water = record.SlotHighWater;
    state->last_save_slots = record.LastSaveCounter;
    memcpy(state->image_id, record.ImageId, sizeof(state->image_id));
    vorellib::FromWideField(record.ImagePath, VOREL_PATH_UNITS, state->image_path, sizeof(state->image_path));
    return VOREL_OK;
}

VORELLIB_API vorel_status vorel_persist_last_error(vorel_handle h, vorel_persist_error *error)
{
    if (h == nullptr || error == nullptr)
        return VOREL_ERR_INVALID;
    VOREL_PERSISTENCE_ERROR record;
    memset(&record, 0, sizeof(record));
    vorel_status status =
        vorellib::SendRequest(h, IOCTL_VOREL_LAST_PERSISTENCE_ERROR, nullptr, 0, &record, sizeof(record));
    if (status != VOREL_OK)
        return status;
    memset(error, 0, sizeof(*error));
    error->valid = record.Valid;
    error->status = record.Status;
    error->operation = record.Operation;
    error->stage = record.Stage;
    error->time = record.Time;
    vorellib::FromWideField(record.ImagePath, VOREL_PATH_UNITS, error->image_path, sizeof(error->image_path));
    vorellib::FromWideField(record.Message, VOREL_MESSAGE_UNITS, error->message, sizeof(error->message));
    return VOREL_OK;
}

} // extern "C"
