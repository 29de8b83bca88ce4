/*
 * Stopping the system: KeBugCheckEx and fast-fail.
 */
#pragma once

#include <ntdef.h>

/* Bug check codes the stand-in raises itself. */
#define APC_INDEX_MISMATCH                      0x00000001
#define IRQL_NOT_GREATER_OR_EQUAL               0x00000009
#define IRQL_NOT_LESS_OR_EQUAL                  0x0000000A
#define NO_EXCEPTION_HANDLING_SUPPORT           0x0000000B
#define MUTEX_LEVEL_NUMBER_VIOLATION            0x0000000D
#define SPIN_LOCK_ALREADY_OWNED                 0x0000000F
#define SPIN_LOCK_NOT_OWNED                     0x00000010
#define THREAD_NOT_MUTEX_OWNER                  0x00000011
#define KMODE_EXCEPTION_NOT_HANDLED             0x0000001E
#define NO_MORE_IRP_STACK_LOCATIONS             0x00000035
#define MULTIPLE_IRP_COMPLETE_REQUESTS          0x00000044
#define DRIVER_RETURNED_STATUS_REPARSE_FOR_VOLUME_OPEN 0x000000F9
#define INVALID_PROCESS_ATTACH_ATTEMPT          0x00000005
#define ATTEMPTED_SWITCH_FROM_DPC               0x000000B8
#define BAD_POOL_CALLER                         0x000000C2
#define DRIVER_VERIFIER_DETECTED_VIOLATION      0x000000C4
#define DRIVER_VERIFIER_IOMANAGER_VIOLATION     0x000000C9
#define DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS 0x000000CE
#define DRIVER_IRQL_NOT_LESS_OR_EQUAL           0x000000D1
#define RESOURCE_NOT_OWNED                      0x000000E3
#define IMPERSONATING_WORKER_THREAD             0x000000DF
#define WORKER_THREAD_RETURNED_AT_BAD_IRQL      0x000000E1
#define WORKER_INVALID                          0x000000E4
#define ACTIVE_EX_WORKER_THREAD_TERMINATION     0x000000E9
#define KERNEL_SECURITY_CHECK_FAILURE           0x00000139
#define KERNEL_APC_PENDING_DURING_EXIT          0x00000020
#define INVALID_WORK_QUEUE_ITEM                 0x00000096
#define LOCK_ORDER_VIOLATION_STAND_IN           0x000000C4 /* reported as a verifier violation */

/* Fast-fail codes (winnt.h). */
#define FAST_FAIL_LEGACY_GS_VIOLATION           0
#define FAST_FAIL_VTGUARD_CHECK_FAILURE         1
#define FAST_FAIL_STACK_COOKIE_CHECK_FAILURE    2
#define FAST_FAIL_CORRUPT_LIST_ENTRY            3
#define FAST_FAIL_INCORRECT_STACK               4
#define FAST_FAIL_INVALID_ARG                   5
#define FAST_FAIL_GS_COOKIE_INIT                6
#define FAST_FAIL_FATAL_APP_EXIT                7
#define FAST_FAIL_RANGE_CHECK_FAILURE           8
#define FAST_FAIL_INVALID_BUFFER_ACCESS         28
#define FAST_FAIL_INVALID_FAST_FAIL_CODE        0xFFFFFFFF

EXTERN_C_START

NTKERNELAPI DECLSPEC_NORETURN VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1,
                                                      ULONG_PTR BugCheckParameter2, ULONG_PTR BugCheckParameter3,
                                                      ULONG_PTR BugCheckParameter4);
NTKERNELAPI DECLSPEC_NORETURN VOID NTAPI KeBugCheck(ULONG BugCheckCode);

/* The compiler intrinsic on Windows; a routine of the stand-in here. */
NTKERNELAPI DECLSPEC_NORETURN void __fastfail(unsigned int Code);

EXTERN_C_END

DECLSPEC_NORETURN FORCEINLINE VOID RtlFailFast(ULONG Code)
{
    __fastfail(Code);
}

/*
 * Parameter 1 of DRIVER_VERIFIER_DETECTED_VIOLATION for the stand-in verifier's own
 * findings (parameters 2 and 3 name the locks involved).
 */
#define VERIFIER_LOCK_ORDER_INVERSION      0x1001 /* lock P2 acquired while holding lock P3, taken after P2 before */
#define VERIFIER_SPIN_LOCK_NESTED          0x1003 /* spin lock P2 acquired while spin lock P3 is held */
#define VERIFIER_LOCK_HELD_AT_EXIT         0x1004 /* lock P2 held at thread exit or return (P3 = where) */
#define VERIFIER_RESOURCE_APCS_ENABLED     0x1005 /* resource P2 acquired outside a critical region */
#define VERIFIER_FREED_LIVE_RESOURCE       0x17   /* pool freed while it holds a live resource */
#define VERIFIER_FREED_ACTIVE_TIMER        0x15   /* pool freed while it holds a set timer */
#define VERIFIER_FREED_WAITED_OBJECT       0x1006 /* pool freed while threads wait on an object in it */

#define IRQL_GT_ZERO_AT_SYSTEM_SERVICE          0x0000004A
#define REFERENCE_BY_POINTER                    0x00000018
#define INVALID_KERNEL_HANDLE                   0x00000093
#define VERIFIER_UNINITIALIZED_OBJECT      0x1007 /* a wait on memory that is no dispatcher object (P2) */
#define VERIFIER_SHARED_TO_EXCLUSIVE       0x1008 /* shared owner of resource P2 asked for it exclusively */
#define VERIFIER_FAST_MUTEX_RECURSION      0x1009 /* owner of fast mutex P2 acquired it again */
#define VERIFIER_RESOURCE_IN_USE           0x100A /* resource P2 deleted or reinitialised while owned or waited for */
#define VERIFIER_PAGES_FREED_WHILE_MAPPED  0x100B /* pages of list P2 freed while it is still mapped */
#define VERIFIER_NOT_A_PAGE_LIST           0x100C /* P2 is no live list of the page allocator (freed twice?) */
#define VERIFIER_PAGE_LIST_FREED_LIVE      0x100D /* the pool block of list P2 freed before its pages */
#define VERIFIER_UNMAP_WRONG_ADDRESS       0x100E /* list P2 unmapped at P3, which is not its mapping */
#define VERIFIER_RESERVED_MAPPING          0x100F /* a reserved mapping routine the stand-in lacks (P2) */
#define VERIFIER_PAGE_LIST_USER_MAPPING    0x1010 /* list P2 mapped into user space, which the stand-in lacks */
#define VERIFIER_WAIT_NEXT_NOT_WAITED      0x1011 /* a Wait TRUE signal of object P3 not followed by a wait:
                                                     P2 = the routine called instead (0: thread or request end) */
#define VERIFIER_NO_CACHE_SECTIONS         0x1012 /* section object pointers P2 name a data section the
                                                     stand-in did not make, or a shared cache map (it makes none) */
#define VERIFIER_MAP_UNLOCKED_MDL          0xB3   /* MDL P2 (flags P3) mapped while it has none of the flags P4 */

/*
 * Parameter 1 of DRIVER_VERIFIER_IOMANAGER_VIOLATION for the stand-in's dispatch
 * checks (Windows' own codes 0x01..0x12 are used where they exist).
 */
#define VERIFIER_IO_STATUS_MISMATCH              0x230 /* returned P2, but the IRP completed with P3 */
#define VERIFIER_IO_PENDING_NOT_MARKED           0x231 /* STATUS_PENDING returned for an IRP not marked pending */
#define VERIFIER_IO_MARKED_PENDING_NOT_RETURNED  0x232 /* marked pending, but returned status P4 */
#define VERIFIER_IO_RETURNED_WITHOUT_COMPLETING  0x233 /* returned status P4 without completing the IRP */
#define VERIFIER_IO_DRIVER_IRP_NOT_STOPPED       0x234 /* IRP P2 a driver allocated was completed to its top: no
                                                          completion routine returned STATUS_MORE_PROCESSING_REQUIRED */
#define VERIFIER_IO_MOUNT_WITHOUT_DEVICE         0x235 /* file system P2 mounted VPB P3 without naming its device */
