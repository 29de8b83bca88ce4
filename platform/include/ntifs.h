/* File-system driver interface. */
#pragma once
#include <ntddk.h>
