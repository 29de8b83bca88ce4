/*
 * Internals shared by the Rtl string routines.
 */
#pragma once

#include <ntdef.h>
#include <km/pool.h>

/* Pool tag of every string buffer the Rtl routines allocate (RtlFreeUnicodeString frees it). */
constexpr ULONG kRtlStringTag = POOL_TAG('S', 't', 'r', 'g');
