/* File-system driver interface. */
#pragma once
#include <ntddk.h>
#include <km/fsrtl.h>
#include <km/cc.h>
#include <km/section.h>
