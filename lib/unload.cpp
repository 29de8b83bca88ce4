/*
 * Getting the driver ready to be unloaded.
 */
#include "vorellib_internal.h"

#include <string.h>

extern "C" {

/*
 * The driver stops its services and dismounts every volume; when all went it also
 * takes its control device away. The reply is the number of volumes that stayed;
 * the driver sends it with a busy warning as well, so it is read whenever it came
 * back whole, whatever the status.
 */
VORELLIB_API vorel_status vorel_prepare_unload(vorel_handle h, unsigned int *volumes_left)
{
    if (h == nullptr)
        return VOREL_ERR_INVALID;
    VOREL_PREPARE_UNLOAD_REPLY reply;
    memset(&reply, 0, sizeof(reply));
    DWORD returned = 0;
    vorel_status status = VOREL_OK;
    h->lastNativeError = 0;
    if (!DeviceIoControl(*h->device, IOCTL_VOREL_PREPARE_UNLOAD, nullptr, 0, &reply, sizeof(reply), &returned,
                         nullptr)) {
        h->lastNativeError = GetLastError();
        status = vorellib::MapNativeError(h->lastNativeError);
    }
    if (volumes_left != nullptr && returned >= sizeof(reply))
        *volumes_left = reply.VolumesNotDismounted;
    return status;
}

} // extern "C"
