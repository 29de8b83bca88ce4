/*
 * The described processor topology: cores with their efficiency classes and
 * logical processors, in processor groups. Threads get virtual processor numbers
 * below the active count; nothing is applied to host threads.
 */
#pragma once

#include <cstdint>

namespace ke {

/* A virtual processor for a new thread, round robin over the active processors. */
uint32_t NextProcessorNumber();
uint32_t ActiveProcessorCount();

} // namespace ke
