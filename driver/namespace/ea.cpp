/*
 * A node's extended attributes: one packed FILE_FULL_EA_INFORMATION chain
 * ("vlEa", non-paged pool) with its length and counts, guarded by the node's main
 * resource.
 */
#include "vorel.h"

/* RemoveEas: the node has no attributes left. Main resource exclusive (or the last reference). */
VOID RemoveEas(PFCB Fcb)
{
    FreeAndClear((PVOID *)&Fcb->EaBuffer, TAG_EA);
    Fcb->EaLength = 0;
    Fcb->EaPackedSize = 0;
    Fcb->EaCount = 0;
    Fcb->NeedEaCount = 0;
}
