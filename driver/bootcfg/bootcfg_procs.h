/*
 * Boot configuration, services and statistics routines.
 */
#pragma once

/* services.cpp: the bodies of the driver-wide service threads; the context is the SERVICE_THREAD. */
KSTART_ROUTINE AutoMountService;
KSTART_ROUTINE AutoSaveService;
KSTART_ROUTINE StatisticsService;

/* statistics.cpp */
VOID OpenStatisticsKeys(VOID);
VOID CloseStatisticsKeys(VOID);
