/*
 * Boot configuration, services and statistics routines.
 */
#pragma once

/* services.cpp: the bodies of the driver-wide service threads; the context is the SERVICE_THREAD. */
KSTART_ROUTINE AutoMountService;
KSTART_ROUTINE AutoSaveService;
KSTART_ROUTINE StatisticsService;

/* statistics.cpp; StatisticsService (above) lives there too */
VOID OpenStatisticsKeys(VOID);
VOID CloseStatisticsKeys(VOID);
VOID QueryRunningTotals(VOREL_IO_STATISTICS *Totals);
VOID QueryLifetimeTotals(VOREL_LIFETIME_STATISTICS *Totals);
VOID RetireVolumeIo(PVCB Vcb);                                      /* volume list lock held */
