/*
 * I/O statistics: the registry keys that carry the running and lifetime figures,
 * and the lifetime baselines read at start-up.
 */
#include "vorel.h"

/* The lifetime values, in the order of VorelData.LifetimeBaseline. */
static const PCWSTR LifetimeValueNames[] = {L"BytesRead", L"BytesWritten", L"MaxReadSpeed", L"MaxWriteSpeed"};

/*
 * OpenStatisticsKeys: PASSIVE_LEVEL, at start-up. Opens or creates the volatile
 * and the lifetime key and reads the baselines. A key that cannot be had stays
 * null (statistics are then not kept there); missing values read as 0.
 */
VOID OpenStatisticsKeys(VOID)
{
    if (!NT_SUCCESS(OpenServiceSubkey(L"VolatileStatistics", TRUE, REG_OPTION_VOLATILE,
                                      &VorelData.VolatileStatisticsKey)))
        VorelData.VolatileStatisticsKey = NULL;
    if (!NT_SUCCESS(OpenServiceSubkey(L"LifetimeStatistics", TRUE, REG_OPTION_NON_VOLATILE,
                                      &VorelData.LifetimeStatisticsKey)))
        VorelData.LifetimeStatisticsKey = NULL;

    for (ULONG i = 0; i < RTL_NUMBER_OF(LifetimeValueNames); i++) {
        VorelData.LifetimeBaseline[i] =
            VorelData.LifetimeStatisticsKey != NULL
                ? QueryQwordValue(VorelData.LifetimeStatisticsKey, LifetimeValueNames[i])
                : 0;
    }
    VorelData.StartTime = KeQueryInterruptTime();
}

/* CloseStatisticsKeys: PASSIVE_LEVEL, at unload or a failed start-up. */
VOID CloseStatisticsKeys(VOID)
{
    if (VorelData.VolatileStatisticsKey != NULL) {
        ZwClose(VorelData.VolatileStatisticsKey);
        VorelData.VolatileStatisticsKey = NULL;
    }
    if (VorelData.LifetimeStatisticsKey != NULL) {
        ZwClose(VorelData.LifetimeStatisticsKey);
        VorelData.LifetimeStatisticsKey = NULL;
    }
}
