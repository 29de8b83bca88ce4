/*
 * Walking a path from a starting directory down to the parent of its last
 * component.
 *
 * The walker holds at most one directory's main resource at a time, always
 * shared, and references the next node before it lets the current one go, so a
 * directory that a rename moves or a delete removes meanwhile is seen either
 * before or after the change, never half-way.
 */
#include "vorel.h"

/* NextComponent: the component starting at *Offset (in units) and the offset after its separator. */
static VOID NextComponent(PCUNICODE_STRING Path, PUSHORT Offset, PUNICODE_STRING Component)
{
    USHORT count = Path->Length / sizeof(WCHAR);
    USHORT start = *Offset;
    USHORT end = start;
    while (end < count && Path->Buffer[end] != L'\\')
        end++;
    Component->Buffer = Path->Buffer + start;
    Component->Length = Component->MaximumLength = (USHORT)((end - start) * sizeof(WCHAR));
    *Offset = end < count ? (USHORT)(end + 1) : end;
}

/*
 * CountComponents: the components of Path from units Start on; FALSE for an empty
 * component or more than MAX_PATH_COMPONENTS. One trailing backslash is ignored.
 */
static BOOLEAN CountComponents(PCUNICODE_STRING Path, USHORT Start, PULONG Count)
{
    USHORT count = Path->Length / sizeof(WCHAR);
    ULONG components = 0;
    USHORT offset = Start;
    while (offset < count) {
        UNICODE_STRING component;
        NextComponent(Path, &offset, &component);
        if (component.Length == 0)
            return FALSE;
        if (++components > MAX_PATH_COMPONENTS)
            return FALSE;
    }
    *Count = components;
    return TRUE;
}

/* DeniesTraverse: asks the caller's check with the directory's main resource shared. */
static BOOLEAN DeniesTraverse(PFCB Directory, PTRAVERSE_CHECK TraverseCheck, PVOID Context)
{
    ExAcquireResourceSharedLite(&Directory->MainResource, TRUE);
    BOOLEAN denied = TraverseCheck(Directory, Context);
    ExReleaseResourceLite(&Directory->MainResource);
    return denied;
}

/*
 * WalkPath: resolves every component of Path but the last, from Start.
 *   WantReparse: stop at an intermediate reparse point with STATUS_REPARSE, the
 *     point in Result->Parent and the bytes of the path after it in
 *     RemainingLength.
 *   OpensTargetDirectory: the request opens the parent itself, so the final
 *     parent is not checked for traverse.
 *   TraverseCheck: NULL when no traverse check applies (kernel callers, holders of
 *     the bypass privilege, volumes without security); else asked for each
 *     directory passed, TRUE meaning denied.
 * On success Result->Parent is referenced (the caller drops it) and
 * LastComponent points into Path (empty when Path names Start itself). Returns
 * STATUS_OBJECT_NAME_INVALID (empty component, more than 64 components),
 * STATUS_OBJECT_PATH_NOT_FOUND (an intermediate is missing or no directory),
 * STATUS_ACCESS_DENIED (traverse denied) or STATUS_REPARSE; on a failure the
 * walker holds nothing. Inside a critical region; no lock held.
 */
NTSTATUS WalkPath(PFCB Start, PCUNICODE_STRING Path, BOOLEAN WantReparse, BOOLEAN OpensTargetDirectory,
                  PTRAVERSE_CHECK TraverseCheck, PVOID TraverseContext, PWALK_RESULT Result)
{
    USHORT offset = (Path->Length >= sizeof(WCHAR) && Path->Buffer[0] == L'\\') ? 1 : 0;
    ULONG components;
    if (!CountComponents(Path, offset, &components))
        return STATUS_OBJECT_NAME_INVALID;

    RtlZeroMemory(Result, sizeof(*Result));
    ReferenceNode(Start);
    PFCB current = Start;
    UNICODE_STRING component = {0, 0, NULL};
    for (ULONG i = 0; i < components; ++i) {
        NextComponent(Path, &offset, &component);
        if (i + 1 == components)
            break;
        if (!current->IsDirectory) {
            DereferenceNode(current);
            return STATUS_OBJECT_PATH_NOT_FOUND;
        }
        ExAcquireResourceSharedLite(&current->MainResource, TRUE);
        if (TraverseCheck != NULL && TraverseCheck(current, TraverseContext)) {
            ExReleaseResourceLite(&current->MainResource);
            DereferenceNode(current);
            return STATUS_ACCESS_DENIED;
        }
        PLINK link = LookupChild(current, &component);
        if (link == NULL) {
            ExReleaseResourceLite(&current->MainResource);
            DereferenceNode(current);
            return STATUS_OBJECT_PATH_NOT_FOUND;
        }
        PFCB child = link->Node;
        ReferenceNode(child);
        ExReleaseResourceLite(&current->MainResource);
        DereferenceNode(current);
        current = child;
        if (WantReparse && ReadNoFence((volatile LONG *)&current->ReparseTag) != 0) {
            USHORT end = (USHORT)(component.Buffer - Path->Buffer) + component.Length / sizeof(WCHAR);
            Result->Parent = current;
            Result->RemainingLength = Path->Length - end * sizeof(WCHAR);
            return STATUS_REPARSE;
        }
    }

    if (components != 0 && TraverseCheck != NULL && !OpensTargetDirectory && current->IsDirectory &&
        DeniesTraverse(current, TraverseCheck, TraverseContext)) {
        DereferenceNode(current);
        return STATUS_ACCESS_DENIED;
    }
    Result->Parent = current;
    if (components != 0)
        Result->LastComponent = component;
    return STATUS_SUCCESS;
}
