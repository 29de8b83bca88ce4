/*
 * Driver core routines.
 */
#pragma once

EXTERN_C_START
DRIVER_INITIALIZE DriverEntry;
EXTERN_C_END

DRIVER_UNLOAD VorelUnload;

/* driver_entry.cpp */
VOID InstallPoolRoutines(VOID);
VOID ReleaseDriverState(VOID);
