/*
 * Namespace records: the node (file control block).
 */
#pragma once

#define FCB_SIGNATURE 0x42434246 /* "FBCB" */

#define NODE_TYPE_DIRECTORY 0x502
#define NODE_TYPE_FILE 0x503

/*
 * FCB: one per file or directory. It begins with the system's advanced FCB header
 * (the memory manager and the cache manager find its resources and sizes there).
 * The reference count is interlocked; a posted request holds one reference.
 */
typedef struct _FCB {
    FSRTL_ADVANCED_FCB_HEADER Header;

    /* The memory manager's and cache manager's sections of the file's data (set by them). */
    SECTION_OBJECT_POINTERS SectionObjectPointers;

    ULONG Signature;
    volatile LONG ReferenceCount;           /* interlocked */
    ERESOURCE MainResource;                 /* Header.Resource */
    ERESOURCE PagingIoResource;             /* Header.PagingIoResource */
    FAST_MUTEX HeaderMutex;                 /* Header.FastMutex */
    FCB_DATA Data;                          /* guarded by PagingIoResource */
} FCB, *PFCB;
