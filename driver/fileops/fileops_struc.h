/*
 * File operation records: the context control block of one handle.
 */
#pragma once

#define CCB_SIGNATURE 0x42434343 /* "CCCB" */

/*
 * CCB: one per open handle, the file object's FsContext2 from create to close.
 * The file object's FsContext is the node.
 */
typedef struct _CCB {
    ULONG Signature;                        /* CCB_SIGNATURE while live */
    ACCESS_MASK GrantedAccess;              /* fixed at create: what the handle was granted */
    ULONG EaCursor;                         /* node's main resource: 1-based index of the next EA to enumerate */
} CCB, *PCCB;
