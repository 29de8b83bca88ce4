/*
 * The driver's service key in the machine's registry
 * (\Registry\Machine\System\CurrentControlSet\Services\<name>): where the host
 * finds the driver image, as the service control manager would.
 */
#pragma once

#include <cstdint>
#include <string>

namespace host {

struct ServiceKey {
    bool exists = false;
    std::u16string imagePath; /* empty when the key has no ImagePath */
    bool markedForDelete = false; /* DeleteFlag: deleted while it ran */
};

/* Reads the service key. Returns an NTSTATUS (a missing key is success with exists = false). */
int32_t ReadServiceKey(const std::u16string &service, ServiceKey *key);
/* Creates the service key of a file-system driver that starts with the system: Type 2,
 * Start 1, ErrorControl 1, ImagePath, DisplayName; flushed at once. */
int32_t WriteServiceKey(const std::u16string &service, const std::u16string &displayName,
                        const std::u16string &imagePath);

/* Removes the service key with everything below it, and writes the change at once. */
int32_t RemoveServiceKey(const std::u16string &service);

} // namespace host
