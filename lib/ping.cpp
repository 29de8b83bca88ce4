/*
 * Ping: the driver's version and build.
 */
#include "vorellib_internal.h"

#include <string.h>

extern "C" VORELLIB_API vorel_status vorel_ping(vorel_handle h, vorel_ping_info *info)
{
    if (h == nullptr || info == nullptr)
        return VOREL_ERR_INVALID;
    VOREL_PING_REPLY reply;
    memset(&reply, 0, sizeof(reply));
    vorel_status status = vorellib::SendRequest(h, IOCTL_VOREL_PING, nullptr, 0, &reply, sizeof(reply));
    if (status != VOREL_OK)
        return status;
    info->major = reply.Major;
    info->minor = reply.Minor;
    info->reserved = reply.Zero;
    memcpy(info->build, reply.BuildStamp, sizeof(info->build));
    info->build[sizeof(info->build) - 1] = 0;
    return VOREL_OK;
}
