/*
 * The driver's settings: the user-access switch.
 */
#include "vorellib_internal.h"

#include <string.h>

extern "C" {

VORELLIB_API vorel_status vorel_settings_get(vorel_handle h, unsigned int *allow_user_access)
{
    if (h == nullptr || allow_user_access == nullptr)
        return VOREL_ERR_INVALID;
    VOREL_SETTINGS reply;
    memset(&reply, 0, sizeof(reply));
    vorel_status status = vorellib::SendRequest(h, IOCTL_VOREL_GET_SETTINGS, nullptr, 0, &reply, sizeof(reply));
    if (status != VOREL_OK)
        return status;
    *allow_user_access = reply.AllowUserAccess;
    return VOREL_OK;
}

VORELLIB_API vorel_status vorel_settings_set(vorel_handle h, unsigned int allow_user_access)
{
    if (h == nullptr)
        return VOREL_ERR_INVALID;
    VOREL_SETTINGS request;
    memset(&request, 0, sizeof(request));
    request.AllowUserAccess = allow_user_access;
    return vorellib::SendRequest(h, IOCTL_VOREL_SET_SETTINGS, &request, sizeof(request), nullptr, 0);
}

} // extern "C"
