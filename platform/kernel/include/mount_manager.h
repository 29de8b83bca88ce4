/*
 * The stand-in mount manager's Linux-world interface: who holds which drive letter,
 * the host's observer of letters given to volumes, and the drives of other devices
 * that tests put on letters.
 *
 * Linux-world interface (C++), exported by libntoskrnl next to the Windows routines.
 */
#pragma once

#include "machine.h"

#include <functional>
#include <string>
#include <vector>

namespace machine {

/*
 * Called after the mount manager gave a volume a drive letter (arrived = true) or took
 * one away (false), with the volume's device name ("\Device\Volume{...}"). Not called
 * for the machine's own drives (host drives, foreign letters). The call comes from the
 * thread that made the request, after the mount manager has dropped its lock but while
 * the requesting driver may still be inside its own request: the observer must not call
 * back into the driver (open, mount, query the volume) synchronously; it queues the
 * work for a thread of its own. One observer at a time; an empty function removes it.
 */
using LetterObserver = std::function<void(char16_t letter, std::u16string deviceName, bool arrived)>;
MACHINE_API void SetLetterObserver(LetterObserver observer);

/* A drive letter and the device its \GLOBAL??\X: link leads to. */
struct DriveLetter {
    char16_t letter = 0;
    std::u16string deviceName;
};
/* Every letter the mount manager holds, in letter order. */
MACHINE_API std::vector<DriveLetter> DriveLetters();

/*
 * A drive of another device (a network or physical drive) on the letter: the device
 * \Device\ForeignDisk<X> and the link \GLOBAL??\X: to it, known to the mount manager
 * as a volume of its own. STATUS_OBJECT_NAME_COLLISION when the letter's link exists,
 * STATUS_INVALID_PARAMETER for a letter outside A..Z (either case). The machine removes
 * what is left at shutdown; RemoveForeignLetter removes it before (the link, the
 * device and the mount manager's record; STATUS_OBJECT_NAME_NOT_FOUND when the letter
 * holds no foreign drive).
 */
MACHINE_API int32_t RegisterForeignLetter(char16_t letter);
MACHINE_API int32_t RemoveForeignLetter(char16_t letter);

/*
 * A host drive that arrives while the machine runs, as a disk that is plugged in:
 * the letter (either case) maps the Linux directory as VOREL_HOST_DRIVES would,
 * and once its link exists every device-interface notification registered for
 * the volume interface class ({53F5630D-B6BF-11D0-94F2-00A0C91EFB8B}) is called
 * with the drive's interface link. STATUS_OBJECT_NAME_COLLISION when the letter
 * is taken, STATUS_INVALID_PARAMETER for a letter outside A..Z; nothing is
 * reported then. The machine removes the drive at shutdown.
 */
MACHINE_API int32_t AddHostDrive(char16_t letter, const std::string &directory);

} // namespace machine
