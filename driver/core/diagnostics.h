/*
 * Diagnostic entry points. The stand-in build of the driver exports one table,
 * "VorelDiagnostics", through which the test suite reaches internal routines of
 * the loaded module (the tests never link the driver's code themselves).
 */
#pragma once

#define VOREL_DIAGNOSTICS_VERSION 1

typedef struct _VOREL_DIAGNOSTICS {
    ULONG Size;
    ULONG Version;
    PVOREL_DATA Data;
    PVOID (*AllocateZeroed)(SIZE_T Size, ULONG Tag, POOL_TYPE PoolType);
    PVOID (*DuplicateBuffer)(const VOID *Source, SIZE_T Length);
    VOID (*FreeAndClear)(PVOID *Slot, ULONG Tag);
    PVOID (*CacheAllocate)(PRECORD_CACHE Cache);
    VOID (*CacheFree)(PRECORD_CACHE Cache, PVOID *Slot);
} VOREL_DIAGNOSTICS, *PVOREL_DIAGNOSTICS;
