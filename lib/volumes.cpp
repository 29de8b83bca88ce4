/*
 * Volumes: create, dismount, resize, save, and the processes that hold one open.
 */
#include "vorellib_internal.h"

#include <string.h>

extern "C" {

VORELLIB_API vorel_status vorel_volume_create(vorel_handle h, const vorel_volume_spec *spec)
{
    if (h == nullptr || spec == nullptr)
        return VOREL_ERR_INVALID;
    WCHAR letter;
    if (!vorellib::NormaliseLetter(spec->letter, &letter))
        return vorellib::RefuseArgument(h);
    bool image = spec->image_path[0] != 0;
    if (!image && spec->size < VOREL_MIN_RESIZE_BYTES)
        return vorellib::RefuseArgument(h);
    if (spec->compression > 3 || !vorellib::ValidImagePath(spec->image_path) ||
        (spec->flags & ~(unsigned)(VOREL_CREATE_NO_SECURITY | VOREL_CREATE_NO_RECYCLE)) != 0)
        return vorellib::RefuseArgument(h);
    WCHAR root[4] = {letter, L':', L'\\', 0};
    UINT type = GetDriveTypeW(root);
    if (type != DRIVE_UNKNOWN && type != DRIVE_NO_ROOT_DIR) {
        h->lastNativeError = 0;
        return VOREL_ERR_EXISTS;
    }
    auto *request = static_cast<VOREL_CREATE_VOLUME_INPUT *>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(VOREL_CREATE_VOLUME_INPUT)));
    if (request == nullptr)
        return VOREL_ERR_NO_MEMORY;
    request->Letter = letter;
    request->SizeBytes = spec->size;
    request->Flags = spec->flags | (spec->compression << VOREL_CREATE_COMPRESSION_SHIFT);
    vorel_status status = VOREL_OK;
    if (!vorellib::RecordToWideField(spec->label, request->Label, VOREL_LABEL_UNITS) ||
        !vorellib::RecordToWideField(spec->image_path, request->ImagePath, VOREL_PATH_UNITS) ||
        !vorellib::RecordToWideField(spec->folders, request->InitialFolders, VOREL_FOLDERS_UNITS))
        status = vorellib::RefuseArgument(h);
    else
        status = vorellib::SendRequest(h, IOCTL_VOREL_CREATE_VOLUME, request, sizeof(*request), nullptr, 0);
    HeapFree(GetProcessHeap(), 0, request);
    if (status == VOREL_OK)
        vorellib::NotifyShell(letter, true);
    return status;
}

VORELLIB_API vorel_status vorel_volume_dismount(vorel_handle h, char letter)
{
    WCHAR sent;
    vorel_status status = vorellib::SendLetterRequest(h, IOCTL_VOREL_DISMOUNT_VOLUME, letter, &sent);
    if (status == VOREL_OK)
        vorellib::NotifyShell(sent, false);
    return status;
}

VORELLIB_API vorel_status vorel_volume_resize(vorel_handle h, char letter, unsigned long long size)
{
    if (h == nullptr)
        return VOREL_ERR_INVALID;
    VOREL_RESIZE_INPUT request;
    memset(&request, 0, sizeof(request));
    WCHAR normalised;
    if (!vorellib::NormaliseLetter(letter, &normalised) || size < VOREL_MIN_RESIZE_BYTES)
        return vorellib::RefuseArgument(h);
    request.Letter = normalised;
    request.NewSizeBytes = size;
    return vorellib::SendRequest(h, IOCTL_VOREL_RESIZE_VOLUME, &request, sizeof(request), nullptr, 0);
}

VORELLIB_API vorel_status vorel_volume_save(vorel_handle h, char letter, const char *path)
{
    if (h == nullptr)
        return VOREL_ERR_INVALID;
    VOREL_SAVE_INPUT request;
    memset(&request, 0, sizeof(request));
    WCHAR normalised;
    if (!vorellib::NormaliseLetter(letter, &normalised))
        return vorellib::RefuseArgument(h);
    request.Letter = normalised;
    if (path != nullptr && path[0] != 0 &&
        !vorellib::ToWideField(path, request.NewImagePath, VOREL_PATH_UNITS))
        return vorellib::RefuseArgument(h);
    return vorellib::SendRequest(h, IOCTL_VOREL_SAVE_VOLUME, &request, sizeof(request), nullptr, 0);
}

VORELLIB_API vorel_status vorel_volume_holders(vorel_handle h, char letter, unsigned int *ids, unsigned int capacity,
                                               unsigned int *count)
{
    if (count != nullptr)
        *count = 0;
    if (h == nullptr || ids == nullptr || count == nullptr)
        return VOREL_ERR_INVALID;
    if (capacity == 0)
        return vorellib::RefuseArgument(h);
    VOREL_VOLUME_HOLDERS reply;
    vorel_status status = vorellib::QueryLetterRecord(h, IOCTL_VOREL_VOLUME_HOLDERS, letter, ids, &reply, sizeof(reply));
    if (status != VOREL_OK)
        return status;
    unsigned int n = reply.Count < VOREL_MAX_HOLDERS ? reply.Count : VOREL_MAX_HOLDERS;
    if (n > capacity)
        n = capacity;
    for (unsigned int i = 0; i < n; ++i)
        ids[i] = reply.ProcessIds[i];
    *count = n;
    return VOREL_OK;
}

} // extern "C"
