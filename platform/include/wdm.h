/*
 * The Windows kernel's driver interface, as far as this system uses it. The
 * stand-in splits it into one header per component (km/); on Windows the same
 * names come from the WDK's wdm.h.
 */
#pragma once

#include <ntdef.h>
#include <ntstatus.h>
#if !defined(VOREL_LINUX_WORLD)
#include <vcrt.h>
#endif
#include <km/bugcheck.h>
#include <km/interlocked.h>
#include <km/list.h>
#include <km/rtl.h>
#include <km/pool.h>
#include <km/lookaside.h>
#include <km/ke.h>
#include <km/ex.h>
#include <km/ob.h>
#include <km/ps.h>
#include <km/se.h>
#include <km/cm.h>
#include <km/driver.h>
#include <km/mm.h>
#include <km/io.h>
