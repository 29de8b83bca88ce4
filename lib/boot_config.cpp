/*
 * Boot-volume configurations: store, delete and list.
 */
#include "vorellib_internal.h"

#include <string.h>

extern "C" {

VORELLIB_API vorel_status vorel_config_set(vorel_handle h, const vorel_boot_config *config)
{
    if (h == nullptr || config == nullptr)
        return VOREL_ERR_INVALID;
    WCHAR letter;
    bool image = config->image_path[0] != 0;
    unsigned int flags = config->flags;
    if (!vorellib::NormaliseLetter(config->letter, &letter) || config->size == 0 || config->compression > 3 ||
        !vorellib::ValidImagePath(config->image_path) || (flags & ~(unsigned)VOREL_BOOT_VALID_FLAGS) != 0)
        return vorellib::RefuseArgument(h);
    if (flags & VOREL_BOOT_PERIODIC_SAVE) {
        if (!(flags & VOREL_BOOT_AUTO_SAVE) || config->period < VOREL_MIN_SAVE_INTERVAL ||
            config->period > VOREL_MAX_SAVE_INTERVAL || !image)
            return vorellib::RefuseArgument(h);
    } else if ((flags & VOREL_BOOT_AUTO_SAVE) && !image) {
        return vorellib::RefuseArgument(h);
    }
    auto *request = static_cast<VOREL_BOOT_CONFIGURATION *>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(VOREL_BOOT_CONFIGURATION)));
    if (request == nullptr)
        return VOREL_ERR_NO_MEMORY;
    request->Letter = letter;
    request->Flags = flags;
    request->SizeBytes = config->size;
    request->CompressionLevel = config->compression;
    request->SaveIntervalSeconds = config->period;
    vorel_status status;
    if (!vorellib::RecordToWideField(config->label, request->Label, VOREL_LABEL_UNITS) ||
        !vorellib::RecordToWideField(config->image_path, request->ImagePath, VOREL_PATH_UNITS) ||
        !vorellib::RecordToWideField(config->folders, request->InitialFolders, VOREL_FOLDERS_UNITS))
        status = vorellib::RefuseArgument(h);
    else
        status = vorellib::SendRequest(h, IOCTL_VOREL_SET_BOOT_CONFIGURATION, request, sizeof(*request), nullptr, 0);
    HeapFree(GetProcessHeap(), 0, request);
    return status;
}

VORELLIB_API vorel_status vorel_config_delete(vorel_handle h, char letter)
{
    WCHAR sent;
    return vorellib::SendLetterRequest(h, IOCTL_VOREL_DELETE_BOOT_CONFIGURATION, letter, &sent);
}

VORELLIB_API vorel_status vorel_config_query(vorel_handle h, vorel_boot_config *entries, unsigned int *count)
{
    if (count != nullptr)
        *count = 0;
    if (h == nullptr || entries == nullptr || count == nullptr)
        return VOREL_ERR_INVALID;
    auto *reply = static_cast<VOREL_BOOT_CONFIGURATION_LIST *>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(VOREL_BOOT_CONFIGURATION_LIST)));
    if (reply == nullptr)
        return VOREL_ERR_NO_MEMORY;
    vorel_status status = vorellib::SendRequest(h, IOCTL_VOREL_QUERY_BOOT_CONFIGURATION, nullptr, 0, reply,
                                                sizeof(VOREL_BOOT_CONFIGURATION_LIST));
    if (status == VOREL_OK) {
        unsigned int n = reply->Count < VOREL_LETTER_COUNT ? reply->Count : VOREL_LETTER_COUNT;
        for (unsigned int i = 0; i < n; ++i) {
            const VOREL_BOOT_CONFIGURATION &record = reply->Entries[i];
            vorel_boot_config &entry = entries[i];
            memset(&entry, 0, sizeof(entry));
            entry.letter = (char)record.Letter;
            entry.flags = record.Flags;
            entry.compression = record.CompressionLevel;
            entry.period = record.SaveIntervalSeconds;
            entry.size = record.SizeBytes;
            entry.mounted = record.Mounted;
            entry.auto_mount_status = record.AutoMountStatus;
            vorellib::FromWideField(record.Label, VOREL_LABEL_UNITS, entry.label, sizeof(entry.label));
            vorellib::FromWideField(record.ImagePath, VOREL_PATH_UNITS, entry.image_path, sizeof(entry.image_path));
            vorellib::FromWideField(record.InitialFolders, VOREL_FOLDERS_UNITS, entry.folders,
                                    sizeof(entry.folders));
        }
        *count = n;
    }
    HeapFree(GetProcessHeap(), 0, reply);
    return status;
}

} // extern "C"
