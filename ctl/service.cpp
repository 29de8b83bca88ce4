/*
 * install and uninstall: the driver as a kernel service, through the service
 * control manager. Where the platform offers none, they say so and stop there.
 */
#include "vorelctl.h"

#include <winsvc.h>

namespace ctl {

namespace {

int ServiceManagerUnavailable()
{
    fprintf(stderr, "vorelctl: cannot open the service control manager\n");
    DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED)
        fprintf(stderr, "          (run this command as administrator)\n");
    PrintWin32Error(error);
    return kExitUnavailable;
}

} // namespace

int Install(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
    if (manager == nullptr)
        return ServiceManagerUnavailable();
    // Not reached while the platform offers no service control manager.
    CloseServiceHandle(manager);
    return kExitFailed;
}

int Uninstall(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr)
        return ServiceManagerUnavailable();
    CloseServiceHandle(manager);
    return kExitFailed;
}

} // namespace ctl
