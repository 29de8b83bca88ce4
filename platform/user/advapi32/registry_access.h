/*
 * How this process reaches the registry (Linux-world interface of advapi32).
 *
 * The registry has one owner. While a host serves the runtime directory, every call
 * goes to it as a native call of this process, with this process's token. While none
 * does, the process boots a machine of its own on the state directory, without any
 * driver: the machine takes the hive's lock, so it never edits a hive another owner
 * holds, and it is shut down (writing what changed) when the last key is closed. A
 * process that may not write the state directory cannot take that lock: its calls,
 * reads included, are refused with STATUS_ACCESS_DENIED until a host runs.
 *
 * Statuses are NTSTATUS values; keys are this file's own handles.
 */
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace advapi {

struct RegistryKey;

/* Opens (or creates) a key by its full NT name ("\Registry\Machine\..."). */
int32_t OpenRegistryKey(const std::u16string &ntName, uint32_t access, bool create, uint32_t options,
                        RegistryKey **key, uint32_t *disposition);
/* Opens (or creates) a key below an open one. */
int32_t OpenRegistrySubkey(RegistryKey *parent, const std::u16string &relativeName, uint32_t access, bool create,
                           uint32_t options, RegistryKey **key, uint32_t *disposition);
/* One value by name: its type and data. */
int32_t QueryRegistryValue(RegistryKey *key, const std::u16string &name, uint32_t *type, std::vector<uint8_t> *data);
/* The value at an index: its name, type and data (STATUS_NO_MORE_ENTRIES past the last). */
int32_t EnumerateRegistryValue(RegistryKey *key, uint32_t index, std::u16string *name, uint32_t *type,
                               std::vector<uint8_t> *data);
/* The name of the subkey at an index (STATUS_NO_MORE_ENTRIES past the last). */
int32_t EnumerateRegistrySubkey(RegistryKey *key, uint32_t index, std::u16string *name);
int32_t SetRegistryValue(RegistryKey *key, const std::u16string &name, uint32_t type, const void *data,
                         uint32_t bytes);
int32_t DeleteRegistryValue(RegistryKey *key, const std::u16string &name);
int32_t DeleteRegistryKey(RegistryKey *key);
/* Writes the key's hive now. */
int32_t FlushRegistryKey(RegistryKey *key);
/* Closes a key; the last one closed here shuts down a machine this process booted. */
int32_t CloseRegistryKey(RegistryKey *key);

/* The environment's directories, as the host reads them. */
std::string StateDirectory();
std::string RuntimeDirectory();

} // namespace advapi
