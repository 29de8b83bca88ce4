/*
 * A node's security descriptor. Each node holds its own self-relative copy
 * ("vlSd", paged pool); descriptors shared between nodes arrive with the
 * descriptor store, and until then a node never holds one it does not own.
 */
#include "vorel.h"

/* FreeNodeDescriptor: frees the node's descriptor and clears its length and flags. */
VOID FreeNodeDescriptor(PFCB Fcb)
{
    FreeAndClear((PVOID *)&Fcb->SecurityDescriptor, TAG_DESCRIPTOR);
    Fcb->SecurityLength = 0;
    Fcb->DefaultSecurity = FALSE;
}
