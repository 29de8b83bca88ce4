/*
 * settings [allowuser on|off]: shows or sets the driver's user-access switch.
 * It connects before looking at its arguments.
 */
#include "vorelctl.h"

#include <string.h>

namespace ctl {

int Settings(int argc, char **argv)
{
    vorel_handle h;
    if (!Connect(&h))
        return kExitUnavailable;
    int result = kExitSuccess;
    if (argc < 2) {
        unsigned int allow = 0;
        vorel_status status = vorel_settings_get(h, &allow);
        if (status != VOREL_OK)
            result = RequestFailed(h, "get settings", status, nullptr);
        else
            printf("AllowUserAccess = %s  (%s)\n", allow ? "on" : "off",
                   allow ? "any user may create/dismount volumes" : "create/dismount restricted to administrators");
        vorel_disconnect(h);
        return result;
    }
    if (_stricmp(argv[1], "allowuser") != 0 || argc < 3) {
        fprintf(stderr, "usage: vorelctl settings [allowuser on|off]\n");
        vorel_disconnect(h);
        return kExitUsage;
    }
    unsigned int allow;
    if (_stricmp(argv[2], "on") == 0 || strcmp(argv[2], "1") == 0) {
        allow = 1;
    } else if (_stricmp(argv[2], "off") == 0 || strcmp(argv[2], "0") == 0) {
        allow = 0;
    } else {
        fprintf(stderr, "vorelctl: allowuser value must be on/off\n");
        vorel_disconnect(h);
        return kExitUsage;
    }
    vorel_status status = vorel_settings_set(h, allow);
    if (status != VOREL_OK)
        result = RequestFailed(h, "set settings", status,
                               status == VOREL_ERR_ACCESS_DENIED ? "needs an elevated / administrator command prompt"
                                                                 : nullptr);
    else
        printf("AllowUserAccess = %s\n", allow ? "on" : "off");
    vorel_disconnect(h);
    return result;
}

} // namespace ctl
