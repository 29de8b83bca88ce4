/*
 * The driver's one include: the kernel interface, then every subsystem's records
 * and routines in dependency order.
 */
#pragma once

#include <ntifs.h>
#include <wdmsec.h>
#include <mountmgr.h>
#include <mountdev.h>
#include <ntdddisk.h>
#include <ntddstor.h>
#include <ntddvol.h>

#include "vorel_control.h"

#include "core/core_struc.h"
#include "store/store_struc.h"
#include "compress/compress_struc.h"
#include "namespace/namespace_struc.h"
#include "volume/volume_struc.h"
#include "fileops/fileops_struc.h"
#include "image/image_struc.h"

#include "core/core_procs.h"
#include "store/store_procs.h"
#include "namespace/namespace_procs.h"
#include "volume/volume_procs.h"
#include "fileops/fileops_procs.h"
#include "compress/compress_procs.h"
#include "image/image_procs.h"
#include "control/control_procs.h"
#include "bootcfg/bootcfg_procs.h"
