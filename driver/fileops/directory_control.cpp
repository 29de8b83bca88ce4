/*
 * IRP_MJ_DIRECTORY_CONTROL: listing a directory's entries and watching it for
 * changes.
 */
#include "vorel.h"

/* ReleaseEnumerationLink: drops a resume link's reference and the one on its node. */
VOID ReleaseEnumerationLink(PLINK Link)
{
    PFCB node = Link->Node;
    ReleaseLink(Link);
    DereferenceNode(node);
}
