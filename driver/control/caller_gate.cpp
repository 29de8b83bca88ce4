/*
 * The caller gate: who may send the control requests that change state.
 */
#include "vorel.h"

/*
 * CallerIsAdministratorOrKernel: PASSIVE_LEVEL, in the caller's thread. True for a
 * kernel-mode request, or when the caller's token (its impersonation token when it
 * impersonates, else its primary token) is an administrator's.
 */
BOOLEAN CallerIsAdministratorOrKernel(PIRP Irp)
{
    if (Irp->RequestorMode == KernelMode)
        return TRUE;

    SECURITY_SUBJECT_CONTEXT subject;
    SeCaptureSubjectContext(&subject);
    SeLockSubjectContext(&subject);
    BOOLEAN administrator = SeTokenIsAdmin(SeQuerySubjectContextToken(&subject));
    SeUnlockSubjectContext(&subject);
    SeReleaseSubjectContext(&subject);
    return administrator;
}

/* CallerGateAllows: PASSIVE_LEVEL. True when any user may change state, or the caller may anyway. */
BOOLEAN CallerGateAllows(PIRP Irp)
{
    if (ReadUCharAcquire(&VorelData.AllowUserAccess) != 0)
        return TRUE;
    return CallerIsAdministratorOrKernel(Irp);
}
