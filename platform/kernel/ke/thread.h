/*
 * Thread and process objects as the stand-in defines them. Drivers see only
 * PKTHREAD/PETHREAD and PEPROCESS pointers.
 */
#pragma once

#include "ke/thread_state.h"

#include <km/ke.h>
#include <km/ps.h>

#include <csetjmp>

namespace ob {
struct HandleTable;
}
namespace mm {
struct UserArena;
}

struct _KTHREAD {
    DISPATCHER_HEADER Header;        /* ThreadObject: signalled when the thread ends */
    ke::ThreadState *State;          /* the host thread's state; null once ended */
    struct _KPROCESS *Process;
    ULONG_PTR Id;                    /* thread id, a multiple of 4 */
    KPRIORITY Priority;
    LONG BasePriority;
    GROUP_AFFINITY Affinity;
    BOOLEAN SystemThread;
    BOOLEAN Adopted;                 /* a host thread that entered the machine by itself */
    PKSTART_ROUTINE StartRoutine;
    PVOID StartContext;
    NTSTATUS ExitStatus;
    PRKQUEUE Queue;                  /* associated queue (KeRemoveQueue), guarded by the dispatcher lock */
    LIST_ENTRY QueueListEntry;
    sigjmp_buf *ExitJump;            /* PsTerminateSystemThread returns to the thread's start frame */
    PVOID ImpersonationToken;        /* referenced token while impersonating, else null */
    std::atomic<bool> FaultExempt;   /* injected faults pass this thread by (machine::ExemptFromFaults) */
};

struct _KPROCESS {
    DISPATCHER_HEADER Header;        /* ProcessObject: signalled when the process ends */
    ULONG_PTR Id;
    ULONGLONG StartTime;
    ob::HandleTable *HandleTable;
    BOOLEAN System;
    BOOLEAN Exited;
    PVOID Token;                     /* referenced primary token */
    mm::UserArena *Arena;            /* user address space (null for the system process) */
    LIST_ENTRY PendingIrps;          /* requests this process issued, guarded by the I/O manager */
    LIST_ENTRY UserWaits;            /* user-mode waits of its threads, guarded by the dispatcher lock */
    BOOLEAN ThreadsTerminating;      /* its threads are ending: user-mode waits end at once */
    ULONG Uid;
    ULONG Gid;
    CHAR Name[32];
};

namespace ke {

/* The calling thread's thread object (an adopted one for host threads). */
struct _KTHREAD *CurrentThread();
/* The process the calling thread acts for. */
struct _KPROCESS *CurrentProcess();
/* The system process. */
struct _KPROCESS *SystemProcess();

} // namespace ke
