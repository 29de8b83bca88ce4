/*
 * Where the host keeps things, and how Windows paths meet Linux ones.
 *
 * The environment, read by the host, the library and the tools alike so that
 * isolated machines can run side by side:
 *   VOREL_RUNTIME_DIR  (/run/vorel)            socket, pid file, volatile registry keys
 *   VOREL_STATE_DIR    (/var/lib/vorel)        the persistent registry
 *   VOREL_MOUNT_ROOT   (/mnt/vorel)            where volumes appear to Linux programs
 *   VOREL_SYSTEM_DIR   (/usr/local/lib/vorel)  the system directory (System32): drivers\vorel.sys
 *   VOREL_HOST_DRIVES  (none)                  further drive letters on host directories, "D=/srv/images,E=/x"
 *
 * Drive C: is the Linux root file system, as the system drive is on Windows.
 */
#pragma once

#include <string>

namespace host {

struct Paths {
    std::string runtimeDirectory;
    std::string stateDirectory;
    std::string mountRoot;
    std::string systemDirectory;
    std::string hostDrives;
};

/* The paths the environment names, with the defaults for what it leaves unset. */
Paths PathsFromEnvironment();

/*
 * The Linux path of a driver image as the service key's ImagePath names it:
 * "\??\C:\x\y.sys" and "C:\x\y.sys" (C: is the root, other letters as
 * VOREL_HOST_DRIVES maps them), "\SystemRoot\System32\..." and "System32\..." (the
 * system directory). Empty when the path leads nowhere on this machine.
 */
std::string LinuxPathOfImage(const std::u16string &imagePath, const Paths &paths);
/* The ImagePath for a Linux path: "\??\C:\..." */
std::u16string ImagePathOf(const std::string &linuxPath);

} // namespace host
