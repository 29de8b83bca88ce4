/*
 * Interrupt request levels. Each thread has its own level; a spin lock raises it
 * to DISPATCH_LEVEL, and stand-in routines check their documented maximum.
 */
#include "ke/dispatcher.h"
#include "ke/thread_state.h"

#include <km/bugcheck.h>
#include <km/ke.h>



extern "C" {

NTHALAPI KIRQL NTAPI KeGetCurrentIrql(VOID)
{
    return ke::CurrentThreadState().irql;
}

NTHALAPI VOID NTAPI KfRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql)
{
    auto &state = ke::CurrentThreadState();
    ke::CheckNoWaitPending(state, (const void *)&KfRaiseIrql);
    if (NewIrql < state.irql)
        KeBugCheckEx(IRQL_NOT_GREATER_OR_EQUAL, state.irql, NewIrql, 0, 0);
    *OldIrql = state.irql;
    state.irql = NewIrql;
}

NTHALAPI VOID NTAPI KeLowerIrql(KIRQL NewIrql)
{
    auto &state = ke::CurrentThreadState();
    ke::CheckNoWaitPending(state, (const void *)&KeLowerIrql);
    if (NewIrql > state.irql)
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, state.irql, NewIrql, 0, 0);
    state.irql = NewIrql;
}

NTKERNELAPI KIRQL NTAPI KeRaiseIrqlToDpcLevel(VOID)
{
    KIRQL old;
    KfRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

} // extern "C"
