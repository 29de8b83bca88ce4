/*
 * A node's reparse point: one stored reparse buffer ("vlRp", non-paged pool), its
 * length and its tag, guarded by the node's main resource.
 */
#include "vorel.h"

/* RemoveReparse: the node is no reparse point any more. Main resource exclusive (or the last reference). */
VOID RemoveReparse(PFCB Fcb)
{
    FreeAndClear(&Fcb->ReparseBuffer, TAG_REPARSE);
    Fcb->ReparseLength = 0;
    Fcb->ReparseTag = 0;
}
