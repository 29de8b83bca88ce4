/*
 * Subjects: which token a process and a thread act with, capturing them into a
 * subject context, and access states built on a capture.
 *
 * A thread's impersonation level sits beside its ImpersonationToken in a table of
 * this file (keyed by thread), guarded by the binding lock together with the token
 * fields; see se_private.h.
 */
#include "se/se_private.h"

#include "base/spin.h"
#include "ke/dispatcher.h"
#include "ke/thread.h"
#include "ob/object.h"

#include "machine.h"

#include <km/pool.h>

#include <cstring>
#include <unordered_map>

namespace se {
namespace {

struct Bindings {
    base::SpinLock lock;
    std::unordered_map<const struct _KTHREAD *, SECURITY_IMPERSONATION_LEVEL> levels;
};

Bindings &Binding()
{
    static Bindings bindings;
    return bindings;
}

void ResetBindings()
{
    auto &bindings = Binding();
    base::SpinGuard guard(bindings.lock);
    bindings.levels.clear();
}

void AuditBindings(machine::AuditReport &report)
{
    auto &bindings = Binding();
    base::SpinGuard guard(bindings.lock);
    if (!bindings.levels.empty())
        report.findings.push_back("se: " + std::to_string(bindings.levels.size()) +
                                  " thread(s) still impersonating");
}

const bool registered = [] {
    machine::RegisterComponent(
        {"impersonation", machine::kOrderObjects + 4, ResetBindings, AuditBindings, ResetBindings});
    return true;
}();

void ReferenceToken(PVOID token)
{
    if (token != nullptr)
        ob::Reference(TokenFromPointer(token));
}

void DereferenceToken(PVOID token)
{
    if (token != nullptr)
        ob::Dereference(TokenFromPointer(token));
}

void LockContext(PSECURITY_SUBJECT_CONTEXT context)
{
    TokenFromPointer(context->PrimaryToken)->lock.LockShared();
    if (context->ClientToken != nullptr)
        TokenFromPointer(context->ClientToken)->lock.LockShared();
}

void UnlockContext(PSECURITY_SUBJECT_CONTEXT context)
{
    Token *primary = TokenFromPointer(context->PrimaryToken);
    Token *client = context->ClientToken != nullptr ? TokenFromPointer(context->ClientToken) : nullptr;
    if (primary->lock.State() <= 0 || (client != nullptr && client->lock.State() <= 0))
        SecurityBugCheck(kSubjectNotLocked, context);
    if (client != nullptr)
        client->lock.UnlockShared();
    primary->lock.UnlockShared();
}

} // namespace

void SetProcessToken(struct _KPROCESS *process, PVOID token)
{
    ReferenceToken(token);
    PVOID old;
    {
        auto &bindings = Binding();
        base::SpinGuard guard(bindings.lock);
        old = process->Token;
        process->Token = token;
    }
    DereferenceToken(old);
}

void SetThreadImpersonation(struct _KTHREAD *thread, PVOID token, SECURITY_IMPERSONATION_LEVEL level)
{
    ReferenceToken(token);
    PVOID old;
    {
        auto &bindings = Binding();
        base::SpinGuard guard(bindings.lock);
        old = thread->ImpersonationToken;
        thread->ImpersonationToken = token;
        if (token != nullptr)
            bindings.levels[thread] = level;
        else
            bindings.levels.erase(thread);
    }
    DereferenceToken(old);
}

Token *EffectiveToken(PSECURITY_SUBJECT_CONTEXT context)
{
    return TokenFromPointer(context->ClientToken != nullptr ? context->ClientToken : context->PrimaryToken);
}

} // namespace se

extern "C" {

NTKERNELAPI VOID NTAPI SeCaptureSubjectContextEx(PETHREAD Thread, PEPROCESS Process,
                                                 PSECURITY_SUBJECT_CONTEXT SubjectContext)
{
    ke::CheckIrql((const void *)&SeCaptureSubjectContextEx, PASSIVE_LEVEL);
    auto &bindings = se::Binding();
    base::SpinGuard guard(bindings.lock);
    SubjectContext->ProcessAuditId = (PVOID)Process->Id;
    SubjectContext->PrimaryToken = Process->Token;
    if (SubjectContext->PrimaryToken == nullptr)
        se::SecurityBugCheck(se::kProcessWithoutToken, Process);
    ob::Reference(SubjectContext->PrimaryToken);
    SubjectContext->ClientToken = nullptr;
    SubjectContext->ImpersonationLevel = SecurityAnonymous;
    if (Thread != nullptr && Thread->ImpersonationToken != nullptr) {
        SubjectContext->ClientToken = Thread->ImpersonationToken;
        ob::Reference(SubjectContext->ClientToken);
        auto level = bindings.levels.find(Thread);
        SubjectContext->ImpersonationLevel = level != bindings.levels.end() ? level->second : SecurityImpersonation;
    }
}

NTKERNELAPI VOID NTAPI SeCaptureSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext)
{
    ke::CheckIrql((const void *)&SeCaptureSubjectContext, PASSIVE_LEVEL);
    SeCaptureSubjectContextEx(ke::CurrentThread(), ke::CurrentProcess(), SubjectContext);
}

NTKERNELAPI VOID NTAPI SeLockSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext)
{
    ke::CheckIrql((const void *)&SeLockSubjectContext, PASSIVE_LEVEL);
    se::LockContext(SubjectContext);
}

NTKERNELAPI VOID NTAPI SeUnlockSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext)
{
    ke::CheckIrql((const void *)&SeUnlockSubjectContext, PASSIVE_LEVEL);
    se::UnlockContext(SubjectContext);
}

NTKERNELAPI VOID NTAPI SeReleaseSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext)
{
    ke::CheckIrql((const void *)&SeReleaseSubjectContext, PASSIVE_LEVEL);
    se::DereferenceToken(SubjectContext->ClientToken);
    se::DereferenceToken(SubjectContext->PrimaryToken);
    SubjectContext->ClientToken = nullptr;
    SubjectContext->PrimaryToken = nullptr;
}

/*
 * Captures the subject and notes what its effective token lets an open skip: traverse checking
 * (SeChangeNotifyPrivilege enabled), and backup / restore semantics (the privileges enabled; the
 * I/O manager honours them only for opens with FILE_OPEN_FOR_BACKUP_INTENT), plus the token's
 * restrictions. Generic bits of the desired access are mapped through the object's mapping.
 */
NTKERNELAPI NTSTATUS NTAPI SeCreateAccessState(PACCESS_STATE AccessState, PVOID AuxData,
                                               ACCESS_MASK DesiredAccess, PGENERIC_MAPPING GenericMapping)
{
    ke::CheckIrql((const void *)&SeCreateAccessState, PASSIVE_LEVEL);
    std::memset(AccessState, 0, sizeof(*AccessState));
    if (GenericMapping != nullptr)
        RtlMapGenericMask(&DesiredAccess, GenericMapping);
    SeCaptureSubjectContext(&AccessState->SubjectSecurityContext);
    AccessState->OperationID = se::AllocateLuid();
    AccessState->RemainingDesiredAccess = DesiredAccess;
    AccessState->OriginalDesiredAccess = DesiredAccess;
    AccessState->AuxData = AuxData;
    if (AuxData != nullptr) {
        auto aux = static_cast<se::AuxAccessData *>(AuxData);
        std::memset(aux, 0, sizeof(*aux));
        aux->PrivilegesUsed = &AccessState->Privileges.PrivilegeSet;
        if (GenericMapping != nullptr)
            aux->GenericMapping = *GenericMapping;
    }

    se::Token *token = se::EffectiveToken(&AccessState->SubjectSecurityContext);
    se::SharedTokenGuard guard(token);
    AccessState->Flags = token->flags & (TOKEN_HAS_TRAVERSE_PRIVILEGE | TOKEN_HAS_BACKUP_PRIVILEGE |
                                         TOKEN_HAS_RESTORE_PRIVILEGE | TOKEN_IS_RESTRICTED |
                                         TOKEN_WRITE_RESTRICTED | TOKEN_LOWBOX);
    return STATUS_SUCCESS;
}

NTKERNELAPI VOID NTAPI SeDeleteAccessState(PACCESS_STATE AccessState)
{
    ke::CheckIrql((const void *)&SeDeleteAccessState, PASSIVE_LEVEL);
    // A privilege set that outgrew the initial one was allocated; the auxiliary record points at it.
    if (AccessState->PrivilegesAllocated && AccessState->AuxData != nullptr) {
        ExFreePool(static_cast<se::AuxAccessData *>(AccessState->AuxData)->PrivilegesUsed);
        AccessState->PrivilegesAllocated = FALSE;
    }
    if (AccessState->ObjectName.Buffer != nullptr)
        ExFreePool(AccessState->ObjectName.Buffer);
    if (AccessState->ObjectTypeName.Buffer != nullptr)
        ExFreePool(AccessState->ObjectTypeName.Buffer);
    AccessState->ObjectName.Buffer = nullptr;
    AccessState->ObjectTypeName.Buffer = nullptr;
    SeReleaseSubjectContext(&AccessState->SubjectSecurityContext);
}

} // extern "C"
