/* Kernel driver interface: everything of wdm.h plus the system-wide additions. */
#pragma once
#include <wdm.h>
