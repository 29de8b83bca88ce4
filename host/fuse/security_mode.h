/*
 * Linux permission bits and owners as Windows security descriptors, and back.
 *
 * Linux identities are the machine's fixed SIDs: user S-1-22-1-<uid>, group
 * S-1-22-2-<gid>. A descriptor made from a mode has that owner and group and a DACL
 * of allowed ACEs: the owner (its rwx bits plus the rights a Linux owner always has:
 * read and write attributes, read control, write DAC and owner), the group (its bits),
 * Everyone (the other bits, plus read attributes, read control and synchronize, which
 * Linux never refuses to a caller who can reach the file), and Administrators with
 * full access (root on Linux passes every permission check; root's token holds
 * Administrators).
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fusebridge {

struct PosixOwnership {
    uint32_t mode = 0; /* the permission bits 07777 only (no file type) */
    uint32_t uid = 0;
    uint32_t gid = 0;
};

/*
 * A self-relative descriptor (owner, group, DACL; protected DACL so nothing inherited
 * overrides the mode) for the ownership of a file or directory. Set-id and sticky bits
 * are not kept.
 */
std::vector<uint8_t> DescriptorOfOwnership(const PosixOwnership &ownership, bool directory);

/*
 * What a self-relative descriptor means to Linux. Owner and group: a Linux SID gives
 * its id; Administrators, SYSTEM and any other SID give 0. Bits: for the owner, the
 * access the ACEs allow to the owner SID and Everyone; for the group, to the group SID
 * and Everyone; for others, to Everyone (and Users, Authenticated Users); r is read
 * data (list directory), w write data (add file), x execute (traverse). A null or
 * malformed descriptor, or one without a DACL, gives 0777 and root.
 *
 * In more detail: a present but null DACL gives 0777 with the owner and group the
 * descriptor names; Users and Authenticated Users count as Everyone for every class
 * (every token holds them); inherit-only ACEs and ACE types other than plain allowed
 * and denied are skipped; denied rights are taken from the classes their SID reaches
 * after all allowed rights are added.
 */
PosixOwnership OwnershipOfDescriptor(const void *descriptor, size_t length);

} // namespace fusebridge
