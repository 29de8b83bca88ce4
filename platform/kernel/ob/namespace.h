/*
 * The object namespace: directories and symbolic links under one root. Names are
 * compared case-insensitively. "\??" is the kernel's view of the global DOS
 * device directory, "\GLOBAL??"; "\DosDevices" is a symbolic link to "\??".
 */
#pragma once

#include "ob/object.h"

#include <string>

namespace ob {

ObjectType *DirectoryType();
ObjectType *SymbolicLinkType();

/*
 * Gives an object a name: inserts it into the directory the path names (which must
 * exist) and takes a reference for the directory. STATUS_OBJECT_NAME_COLLISION when
 * the name is taken, STATUS_OBJECT_PATH_NOT_FOUND when the directory is missing.
 */
NTSTATUS InsertNamedObject(void *object, const std::u16string &path);
/*
 * A symbolic link of the machine itself (a drive the machine has, not one a driver
 * made): host memory, no audit finding. IoDeleteSymbolicLink removes it as any link.
 */
NTSTATUS CreateMachineLink(const std::u16string &path, const std::u16string &target);
/* Takes an object's name away and drops the directory's reference. */
void RemoveNamedObject(void *object);

struct LookupResult {
    void *object = nullptr;      /* referenced */
    std::u16string remaining;    /* the part of the path the object must parse itself ("" or "\...") */
};

/*
 * Walks a path from the root (or, for a relative path, from rootDirectory, a
 * directory object), following symbolic links, and stops at the first object that
 * is neither a directory nor (unless it ends the path and openLink is set) a
 * symbolic link; the rest of the path goes back unchanged. Statuses as Windows
 * gives them: STATUS_OBJECT_NAME_NOT_FOUND for a missing last component,
 * STATUS_OBJECT_PATH_NOT_FOUND for a missing directory on the way,
 * STATUS_OBJECT_NAME_INVALID for an empty component among the directories,
 * STATUS_OBJECT_PATH_SYNTAX_BAD for a relative path without a root directory or an
 * absolute one with it, STATUS_REPARSE_POINT_NOT_RESOLVED for a cycle of links.
 */
NTSTATUS LookupObject(void *rootDirectory, const std::u16string &path, bool openLink, LookupResult *result);
NTSTATUS LookupObject(const std::u16string &path, bool openLink, LookupResult *result);

/* The full name of a named object ("" when unnamed). */
std::u16string NameOf(const void *object);

std::u16string FromCounted(const UNICODE_STRING *string);

} // namespace ob
