/*
 * Registry routines shared between the files of the configuration manager.
 * "Lock held" below always means Registry::lock.
 */
#pragma once

#include "cm/cmstruc.h"

#include <km/cm.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace ob {
struct ObjectType;
}

namespace cm {

/* ---- registry.cpp: state, key objects, tree helpers ---------------------------------- */

Registry &State();
ob::ObjectType *KeyType();
/* System time for LastWriteTime. */
uint64_t Now();

std::u16string UpcaseName(const char16_t *name, size_t chars);
inline std::u16string UpcaseName(const std::u16string &name) { return UpcaseName(name.data(), name.size()); }
/* A subkey by name, or null (lock held). */
Node *FindSubkey(Node *parent, const std::u16string &name);
/* A value's index by name, or -1 (lock held). */
ptrdiff_t FindValue(const Node *node, const char16_t *name, size_t chars);
/* Records a change to the hive that holds node, and wakes the lazy writer when the
 * hive was clean (lock held). */
void NoteChange(Registry &registry, const Node *node);
void NoteHiveChange(Registry &registry, HiveKind kind);
/* How deep a key lies: 1 for \REGISTRY itself (lock held). */
uint32_t KeyDepth(const Node *node);
/* The key's full name, "\REGISTRY\..." (lock held). */
std::u16string FullKeyName(const Node *node);

/* The key object behind a handle, referenced, after the handle's access is checked
 * (user mode only). Returns the object manager's status. */
NTSTATUS ReferenceKey(HANDLE handle, ACCESS_MASK access, KPROCESSOR_MODE mode, KeyBody **body);
/* The node a referenced key object points to, or null when the key was deleted (lock held). */
Node *LiveNode(const KeyBody *body);
void DereferenceKey(KeyBody *body);

/* ---- key.cpp: names --------------------------------------------------------------------- */

/* Splits an object name into key name components. Absolute names (no root) must
 * begin with \REGISTRY; the components returned are those below it. */
NTSTATUS SplitKeyName(const UNICODE_STRING *name, bool relative, std::vector<std::u16string> *components);

/* ---- query.cpp: information records ------------------------------------------------------ */

/* A variable-length information record built in full, then copied out under the
 * buffer rules of the Zw query routines. */
class InfoRecord {
public:
    explicit InfoRecord(size_t fixedBytes) : bytes_(fixedBytes, 0) {}
    template <typename T> void Put(size_t offset, T value)
    {
        static_assert(sizeof(T) <= 8);
        std::memcpy(bytes_.data() + offset, &value, sizeof(T));
    }
    void Append(const void *data, size_t length);
    void AlignTo(size_t alignment);
    size_t Size() const { return bytes_.size(); }

    /* *resultLength = the full size; a buffer below minimumBytes gets nothing
     * (STATUS_BUFFER_TOO_SMALL); one that holds the minimum but not all gets as much
     * as fits (STATUS_BUFFER_OVERFLOW). */
    NTSTATUS CopyOut(size_t minimumBytes, PVOID buffer, ULONG length, PULONG resultLength) const;

private:
    std::vector<uint8_t> bytes_;
};

/* Whether a value information class is one the registry serves: STATUS_SUCCESS,
 * STATUS_NOT_IMPLEMENTED (a Windows class not modelled) or STATUS_INVALID_PARAMETER. */
NTSTATUS CheckValueClass(KEY_VALUE_INFORMATION_CLASS infoClass);
/* The record of one value in a served class, and the size below which a buffer
 * gets nothing (lock held). */
InfoRecord BuildValueRecord(const Value &value, KEY_VALUE_INFORMATION_CLASS infoClass, size_t *minimumBytes);

/* ---- hive.cpp: persistence ------------------------------------------------------------------ */

/*
 * Boot: takes the state directory's lock and reads the persistent hive into *root:
 * what it holds, or a new empty root when there is none or it was damaged (set
 * aside). Returns false, with the reason in *error, when the machine cannot run on
 * this state: the directory cannot be made or locked, or the hive is not a regular
 * file or cannot be read. The caller releases the lock (ReleaseHiveLock).
 */
bool LoadPersistentHive(Registry &registry, std::unique_ptr<Node> *root, std::string *error);
/* Boot, after the predefined keys exist: grafts the volatile hive's keys onto the
 * tree (takes the lock). Fails as LoadPersistentHive does. */
bool LoadVolatileHive(Registry &registry, std::string *error);
/*
 * Writes one hive if it changed since it was last written. Takes fileLock, then the
 * lock for the snapshot only. Returns false when the write failed (the old file
 * stays and the hive stays changed), with the file and the system's reason in
 * *error. faultSite names the injection site the write answers to.
 */
bool SaveHive(Registry &registry, HiveKind kind, const char *faultSite, std::string *error);
/* Shutdown or a failed boot: releases the state directory's lock. */
void ReleaseHiveLock(Registry &registry);

/* ---- flush.cpp: the lazy writer ------------------------------------------------------------ */

/* Starts the lazy writer when a hive has a file and lazy writes are configured. */
void StartLazyWriter(Registry &registry, uint32_t delayMilliseconds);
/* Stops it and waits for a write under way; nothing is written after it returns. */
void StopLazyWriter(Registry &registry);

} // namespace cm
