/*
 * Namespace routines.
 */
#pragma once

/* ReferenceNode: one more holder of the node. Any IRQL. */
FORCEINLINE VOID ReferenceNode(PFCB Fcb)
{
    InterlockedIncrement(&Fcb->ReferenceCount);
}

/* DereferenceNode: drops one holder's reference; returns the count left. Any IRQL. */
FORCEINLINE LONG DereferenceNode(PFCB Fcb)
{
    return InterlockedDecrement(&Fcb->ReferenceCount);
}
