/*
 * Which files and directories the host may trust.
 *
 * The host usually runs as root and serves every local user, so a path it uses
 * must be one no other user can redirect: every directory on the way owned by
 * root or the host's own user and writable by no one else (a sticky directory such
 * as /tmp is allowed on the way, since no user can move another's entry there),
 * and every symbolic link on the way owned by them too. The checks run on the
 * resolved path and on the path as given, so a link cannot lead around them.
 */
#pragma once

#include <string>

#include <sys/types.h>

namespace host {

/* Root and the host's own user. */
bool IsTrustedUser(uid_t uid);
/* "user nobody (uid 65534)", or "uid N" when the user has no name. */
std::string DescribeUser(uid_t uid);

/*
 * Whether no other user can change what path leads to: every existing directory
 * from / down to it (and the path itself when it exists) owned by a trusted user
 * and not writable by others. Empty when it is safe, else the reason.
 */
std::string CheckTrustedPath(const std::string &path);

/*
 * Makes a directory of the host's (mode 0755, the parents as an administrator
 * would make them) or checks the one that is there: it must be a real directory
 * (not a link) of the host's own user that no one else can write to, on a trusted
 * path. `purpose` names it in the reasons ("runtime directory"). Empty on success.
 */
std::string PrepareHostDirectory(const std::string &directory, const char *purpose);

/*
 * A driver image the host may load: a regular file owned by a trusted user, not
 * writable by others, on a trusted path. Empty when it may be loaded.
 */
std::string CheckDriverImage(const std::string &path);

} // namespace host
