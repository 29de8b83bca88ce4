/*
 * Internals shared by the files of the stand-in's advapi32.
 */
#pragma once

#include <winreg.h>

#include <string>

namespace advapi {

/* Deletes a key below parent with everything under it, deepest first. */
LSTATUS DeleteKeyTree(HKEY parent, const std::u16string &subKey);

/*
 * The machine's host as the driver service's process (service_control.cpp). Where
 * systemd manages the machine and the unit vorel.service is installed, systemd starts
 * and stops it; otherwise the host is started here (vorelhost --daemon, found next to
 * this program or in PATH) and stopped by SIGTERM to the pid its pid file names.
 * Each returns a Win32 error.
 */
/* Whether a host holds the runtime directory (its pid file is locked). */
bool HostRunning();
/* Starts the host and waits until it serves or has given up. */
DWORD StartHost();
/* Stops the host and waits until it has exited. */
DWORD StopHost();

} // namespace advapi
