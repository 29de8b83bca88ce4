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
/* Takes an object's name away and drops the directory's reference. */
void RemoveNamedObject(void *object);

struct LookupResult {
    void *object = nullptr;      /* referenced */
    std::u16string remaining;    /* the part of the path the object must parse itself ("" or "\...") */
};

/*
 * Walks a path from the root, following symbolic links, and stops at the first
 * object that is neither a directory nor (unless it ends the path and openLink is
 * set) a symbolic link. STATUS_OBJECT_NAME_NOT_FOUND for a missing last component,
 * STATUS_OBJECT_PATH_NOT_FOUND for a missing directory on the way,
 * STATUS_OBJECT_NAME_INVALID for a malformed path.
 */
NTSTATUS LookupObject(const std::u16string &path, bool openLink, LookupResult *result);

/* The full name of a named object ("" when unnamed). */
std::u16string NameOf(const void *object);

std::u16string FromCounted(const UNICODE_STRING *string);

} // namespace ob
