/*
 * File operation records: the context control block of one handle.
 */
#pragma once

#define CCB_SIGNATURE 0x42434343 /* "CCCB" */
#define TAG_CCB POOL_TAG('v', 'l', 'C', 'b')
#define TAG_FULL_PATH POOL_TAG('v', 'l', 'N', 't')
#define TAG_RANGE_BATCH POOL_TAG('v', 'l', 'R', 'q') /* an allocated-ranges query's batch */

#define MAXIMUM_PATH_BYTES          65534u  /* longest full path a report or query builds */
#define ENUMERATION_NAME_CHARACTERS 256u    /* room for the last returned name and the pattern */

/*
 * READ_WINDOW: the sub-block of a compressed extent a handle decoded last
 * (TAG_READ_WINDOW, non-paged), so that reads that stay inside one sub-block
 * decode it once. The record is followed in the same block by its decode
 * buffer of 2^Decoder.SubBlockShift bytes. A window belongs to one thread at a
 * time: the CCB's slot while it rests there, else the read that took it out
 * with an interlocked exchange; nothing in it is shared.
 *
 * The key names the sub-block the buffer holds: the node's count of
 * compressions when it was decoded (every new form on the node raises it, so a
 * window never matches an extent that was decoded and packed again since), the
 * extent index and the sub-block index within the extent.
 */
typedef struct _READ_WINDOW {
    CODEC_CONTEXT Decoder;                  /* the codec and sub-block shift the window was built for */
    BOOLEAN Valid;                          /* Buffer holds the sub-block the key names */
    ULONG Generation;
    ULONG ExtentIndex;
    ULONG BlockIndex;
    PUCHAR Buffer;                          /* right behind the record */
} READ_WINDOW, *PREAD_WINDOW;

/*
 * CCB: one per open handle of a file or directory, the file object's FsContext2
 * from create to close. The file object's FsContext is the node. Fixed at create
 * unless a field says otherwise.
 */
typedef struct _CCB {
    ULONG Signature;                        /* CCB_SIGNATURE while live */
    PFCB Node;                              /* one reference held by the handle */
    PLINK Link;                             /* the name opened through (referenced), or NULL */
    BOOLEAN DeleteOnClose;                  /* FILE_DELETE_ON_CLOSE was asked at create */
    ULONG RequestorProcess;                 /* opener's process id; 0 for system opens */
    ACCESS_MASK GrantedAccess;              /* what the handle was granted, without implied access */
    ULONG EaCursor;                         /* node's main resource: 1-based index of the next EA to enumerate */

    /* Directory enumeration, under the directory's main resource. */
    BOOLEAN EnumerationStarted;
    BOOLEAN EnumerationExhausted;
    BOOLEAN MatchAll;                       /* the pattern is empty or "*" */
    PLINK ResumeLink;                       /* referenced with its node, or NULL */
    USHORT LastNameLength;                  /* bytes */
    USHORT PatternLength;                   /* bytes */
    ULONGLONG LastFileId;
    ULONG LastArrival;                      /* arrival number of the last returned child */
    WCHAR LastName[ENUMERATION_NAME_CHARACTERS];
    WCHAR Pattern[ENUMERATION_NAME_CHARACTERS]; /* upper-cased */

    /* The directory's full path once the handle asked for a change watch ("vlNt"). */
    UNICODE_STRING NotifyPath;

    /* Interlocked: the handle's read window while no read holds it, or NULL; freed at cleanup and close. */
    PREAD_WINDOW ReadWindow;
} CCB, *PCCB;

/* Invariant numbers of the data paths (parameter 1 of VOREL_BUGCHECK). */
#define INVARIANT_PAGING_WRITE_COMPRESSED   319     /* a paging write reached a file holding compressed extents */
#define INVARIANT_PAGING_READ_COMPRESSED    400     /* a paging read reached a file holding compressed extents */

/* TARGET_REQUEST: the target part of a rename or link record, as the request gave it. */
typedef struct _TARGET_REQUEST {
    BOOLEAN ReplaceIfExists;
    HANDLE RootDirectory;
    UNICODE_STRING Name;                    /* points into the request's buffer */
} TARGET_REQUEST, *PTARGET_REQUEST;

/* TARGET_NAME: where a rename or link puts its name. */
typedef struct _TARGET_NAME {
    PFCB Parent;                            /* referenced: the caller drops it */
    UNICODE_STRING LastComponent;           /* points into the request's buffer; may be empty */
} TARGET_NAME, *PTARGET_NAME;

/*
 * REQUEST_ACCESS: the requester of a set request, captured once, for the access
 * checks it asks of directories and nodes.
 */
typedef struct _REQUEST_ACCESS {
    ACCESS_CHECK_INPUT Input;
    SECURITY_SUBJECT_CONTEXT Subject;
} REQUEST_ACCESS, *PREQUEST_ACCESS;
