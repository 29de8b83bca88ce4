/*
 * Symbolic-link targets between Linux and Windows. A relative target stays relative
 * (separators turned); an absolute one is a path on drive C: (the Linux root), or,
 * when it leads below the mount root into <root>/<letter>, a path on that volume.
 */
#pragma once

#include "volume_calls.h"

#include <string>

namespace fusebridge {

/* The Windows form of a Linux target; 0, or an errno (ENOENT for an empty target, or
 * what a component Windows refuses gives). */
int LinkTargetOfLinux(const char *text, const std::string &mountRoot, LinkTarget *target);

/* What Linux reads from a Windows symbolic link. */
std::string LinuxOfLinkTarget(const LinkTarget &target, const std::string &mountRoot);

} // namespace fusebridge
