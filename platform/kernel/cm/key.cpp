/*
 * Keys: names, create and open, delete, flush.
 */
#include "cm/cmprocs.h"

#include "ke/dispatcher.h"
#include "ke/thread.h"
#include "ob/handles.h"
#include "ob/object.h"

#include "machine.h"

#include <ntstatus.h>
#include <km/rtl.h>
#include <km/se.h>

#include <cstdio>

namespace cm {
namespace {

constexpr char16_t kSeparator = u'\\';
const std::u16string kRootName = u"REGISTRY";

/*
 * Splits the part of a name below a key: "a\b\c", with one trailing separator
 * allowed ("a\b\"). An empty component anywhere else is refused.
 */
NTSTATUS SplitBelowKey(const char16_t *name, size_t chars, std::vector<std::u16string> *components)
{
    size_t start = 0;
    while (start < chars) {
        size_t end = start;
        while (end < chars && name[end] != kSeparator)
            ++end;
        if (end == start)
            return STATUS_OBJECT_NAME_INVALID; /* "a\\b" or a doubled trailing separator */
        if ((end - start) * sizeof(char16_t) > kMaxKeyNameBytes)
            return STATUS_INVALID_PARAMETER;
        components->emplace_back(name + start, end - start);
        start = end + 1; /* past the separator; a single trailing one ends the loop */
    }
    return STATUS_SUCCESS;
}

ACCESS_MASK GrantedKeyAccess(ACCESS_MASK desired)
{
    const GENERIC_MAPPING &mapping = KeyType()->mapping;
    if (desired & MAXIMUM_ALLOWED)
        desired |= KEY_ALL_ACCESS; /* security is not modelled: everything is allowed */
    if (desired & GENERIC_READ)
        desired |= mapping.GenericRead;
    if (desired & GENERIC_WRITE)
        desired |= mapping.GenericWrite;
    if (desired & GENERIC_EXECUTE)
        desired |= mapping.GenericExecute;
    if (desired & GENERIC_ALL)
        desired |= mapping.GenericAll;
    return desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED | KEY_WOW64_RES);
}

/* Rights that change a key, its values or its subkeys. */
constexpr ACCESS_MASK kKeyWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC |
                                        WRITE_OWNER;

bool CallerIsAdministrator()
{
    SECURITY_SUBJECT_CONTEXT subject;
    SeCaptureSubjectContext(&subject);
    bool administrator = SeTokenIsAdmin(SeQuerySubjectContextToken(&subject)) != FALSE;
    SeReleaseSubjectContext(&subject);
    return administrator;
}

/* Whether only administrators may change a key: \REGISTRY itself and what lies in
 * \REGISTRY\MACHINE (lock held). */
bool IsAdministratorsKey(const Node *node)
{
    if (node->parent == nullptr)
        return true;
    while (node->parent->parent != nullptr)
        node = node->parent;
    return UpcaseName(node->name) == u"MACHINE";
}

/*
 * The common worker of ZwCreateKey and ZwOpenKey. The key object is allocated
 * before the tree is touched, so that a failed allocation changes nothing; the
 * tree is then looked up and, for a create, extended by the last component only.
 */
NTSTATUS OpenOrCreateKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES attributes,
                         PUNICODE_STRING className, ULONG createOptions, PULONG disposition, bool create,
                         KPROCESSOR_MODE mode)
{
    if (keyHandle == nullptr || attributes == nullptr)
        return STATUS_INVALID_PARAMETER;
    *keyHandle = nullptr;
    if (attributes->Length != sizeof(OBJECT_ATTRIBUTES) || (attributes->Attributes & ~OBJ_VALID_ATTRIBUTES))
        return STATUS_INVALID_PARAMETER;
    if (create && (createOptions & ~REG_LEGAL_OPTION))
        return STATUS_INVALID_PARAMETER;
    if (create && (createOptions & REG_OPTION_CREATE_LINK))
        return STATUS_NOT_IMPLEMENTED; /* symbolic link keys are not modelled */
    if (create && className != nullptr &&
        ((className->Length & 1) || className->Length > kMaxClassBytes ||
         (className->Length != 0 && className->Buffer == nullptr)))
        return STATUS_INVALID_PARAMETER;
    if (mode == UserMode && desiredAccess == 0)
        return STATUS_ACCESS_DENIED; /* an access check grants nothing for nothing asked */

    bool relative = attributes->RootDirectory != nullptr;
    std::vector<std::u16string> components;
    UNICODE_STRING empty = {0, 0, nullptr};
    NTSTATUS status = SplitKeyName(attributes->ObjectName != nullptr ? attributes->ObjectName : &empty, relative,
                                   &components);
    if (!NT_SUCCESS(status))
        return status;

    KeyBody *rootBody = nullptr;
    if (relative) {
        status = ReferenceKey(attributes->RootDirectory, 0, mode, &rootBody);
        if (!NT_SUCCESS(status))
            return status;
    }

    // HKLM's security lets users read and only administrators change it; that much
    // of it is kept for user-mode callers.
    // Creating a key changes its parent whatever access is asked for the new one.
    bool administrator = mode != UserMode || CallerIsAdministrator();
    bool asksToWrite = (GrantedKeyAccess(desiredAccess) & kKeyWriteRights) != 0;

    auto body = static_cast<KeyBody *>(ob::CreateObject(KeyType(), sizeof(KeyBody)));
    if (body == nullptr) {
        if (rootBody != nullptr)
            DereferenceKey(rootBody);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    ULONG result = REG_OPENED_EXISTING_KEY;
    Registry &registry = State();
    {
        std::lock_guard<std::mutex> guard(registry.lock);
        Node *node = relative ? LiveNode(rootBody) : registry.root.get();
        if (node == nullptr) {
            status = STATUS_KEY_DELETED;
        } else {
            for (size_t i = 0; i + 1 < components.size() && node != nullptr; ++i)
                node = FindSubkey(node, components[i]);
            Node *found = nullptr;
            if (node != nullptr)
                found = components.empty() ? node : FindSubkey(node, components.back());
            if (!administrator && ((found != nullptr && asksToWrite && IsAdministratorsKey(found)) ||
                                   (found == nullptr && node != nullptr && create && IsAdministratorsKey(node)))) {
                found = nullptr;
                status = STATUS_ACCESS_DENIED;
            } else if (found != nullptr) {
                status = STATUS_SUCCESS;
            } else if (node == nullptr || !create) {
                status = STATUS_OBJECT_NAME_NOT_FOUND;
            } else if (node->isVolatile && !(createOptions & REG_OPTION_VOLATILE)) {
                status = STATUS_CHILD_MUST_BE_VOLATILE;
            } else if (KeyDepth(node) >= kMaxKeyDepth) {
                // Windows documents the depth limit but no status for it. Its registry
                // refuses to make the control block of a key below the last level, and
                // the creation fails as an allocation would: STATUS_INSUFFICIENT_RESOURCES
                // (ERROR_NO_SYSTEM_RESOURCES to a Win32 caller).
                status = STATUS_INSUFFICIENT_RESOURCES;
            } else {
                auto created = std::make_unique<Node>();
                created->name = components.back();
                if (className != nullptr && className->Length != 0)
                    created->className.assign((const char16_t *)className->Buffer, className->Length / 2);
                created->parent = node;
                created->isVolatile = (createOptions & REG_OPTION_VOLATILE) != 0;
                created->lastWriteTime = Now();
                found = created.get();
                node->subkeys.emplace(UpcaseName(created->name), std::move(created));
                node->lastWriteTime = found->lastWriteTime;
                NoteChange(registry, found);
                result = REG_CREATED_NEW_KEY;
                status = STATUS_SUCCESS;
            }
            if (found != nullptr) {
                body->signature = kKeyBodySignature;
                body->generation = registry.generation;
                body->node = found;
                found->openBodies++;
            }
        }
    }
    if (rootBody != nullptr)
        DereferenceKey(rootBody);
    if (!NT_SUCCESS(status)) {
        ob::Dereference(body);
        return status;
    }

    ULONG handleAttributes = attributes->Attributes;
    if (mode == UserMode)
        handleAttributes &= ~OBJ_KERNEL_HANDLE; /* a user-mode caller cannot make kernel handles */
    HANDLE handle = nullptr;
    status = ob::InsertHandle(body, GrantedKeyAccess(desiredAccess), handleAttributes,
                              (handleAttributes & OBJ_KERNEL_HANDLE) != 0, &handle);
    ob::Dereference(body); /* the handle holds its own reference */
    if (!NT_SUCCESS(status))
        return status;
    *keyHandle = handle;
    if (disposition != nullptr)
        *disposition = result;
    return STATUS_SUCCESS;
}

NTSTATUS DeleteKey(HANDLE keyHandle, KPROCESSOR_MODE mode)
{
    KeyBody *body;
    NTSTATUS status = ReferenceKey(keyHandle, DELETE, mode, &body);
    if (!NT_SUCCESS(status))
        return status;
    Registry &registry = State();
    {
        std::lock_guard<std::mutex> guard(registry.lock);
        Node *node = LiveNode(body);
        if (node == nullptr) {
            status = STATUS_KEY_DELETED;
        } else if (node->predefined || node->parent == nullptr || !node->subkeys.empty()) {
            status = STATUS_CANNOT_DELETE;
        } else {
            // The node leaves the tree now, so its name is free at once; it lives on,
            // marked deleted, while key objects (this caller's at least) point to it.
            Node *parent = node->parent;
            auto owned = parent->subkeys.extract(UpcaseName(node->name));
            parent->lastWriteTime = Now();
            NoteChange(registry, node);
            node->deleted = true;
            node->parent = nullptr;
            node->values.clear();
            registry.deletedKeys.emplace(node, std::move(owned.mapped()));
            status = STATUS_SUCCESS;
        }
    }
    DereferenceKey(body);
    return status;
}

NTSTATUS FlushKey(HANDLE keyHandle, KPROCESSOR_MODE mode)
{
    KeyBody *body;
    NTSTATUS status = ReferenceKey(keyHandle, 0, mode, &body);
    if (!NT_SUCCESS(status))
        return status;
    Registry &registry = State();
    HiveKind kind = kPersistentHive;
    {
        std::lock_guard<std::mutex> guard(registry.lock);
        Node *node = LiveNode(body);
        if (node == nullptr)
            status = STATUS_KEY_DELETED;
        else
            kind = node->isVolatile ? kVolatileHive : kPersistentHive;
    }
    DereferenceKey(body);
    if (!NT_SUCCESS(status))
        return status;
    std::string error;
    if (SaveHive(registry, kind, "RegistryHiveWrite", &error))
        return STATUS_SUCCESS;
    std::fprintf(stderr, "cm: flushing a key failed: %s\n", error.c_str());
    return STATUS_REGISTRY_IO_FAILED;
}

} // namespace

/*
 * Object names as the object manager and the registry's parse routine see them:
 * an absolute name is "\REGISTRY" followed by the key path; "\" alone names the
 * root directory, which is no key; anything else outside \REGISTRY is not found.
 * A relative name must not begin with a separator; empty names the root key itself.
 */
NTSTATUS SplitKeyName(const UNICODE_STRING *name, bool relative, std::vector<std::u16string> *components)
{
    if ((name->Length & 1) || (name->Length != 0 && name->Buffer == nullptr))
        return STATUS_OBJECT_NAME_INVALID;
    auto text = reinterpret_cast<const char16_t *>(name->Buffer);
    size_t chars = name->Length / sizeof(char16_t);
    if (relative) {
        if (chars != 0 && text[0] == kSeparator)
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        return SplitBelowKey(text, chars, components);
    }
    if (chars == 0 || text[0] != kSeparator)
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    if (chars == 1)
        return STATUS_OBJECT_TYPE_MISMATCH;
    size_t end = 1;
    while (end < chars && text[end] != kSeparator)
        ++end;
    if (end == 1)
        return STATUS_OBJECT_NAME_INVALID;
    if (UpcaseName(text + 1, end - 1) != kRootName)
        return end < chars ? STATUS_OBJECT_PATH_NOT_FOUND : STATUS_OBJECT_NAME_NOT_FOUND;
    if (end == chars)
        return STATUS_SUCCESS;
    return SplitBelowKey(text + end + 1, chars - end - 1, components);
}

} // namespace cm

extern "C" {

NTSYSAPI NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                    ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions,
                                    PULONG Disposition)
{
    (void)TitleIndex;
    ke::CheckIrql((const void *)&ZwCreateKey, PASSIVE_LEVEL);
    if (machine::ShouldFail("ZwCreateKey"))
        return STATUS_INSUFFICIENT_RESOURCES;
    return cm::OpenOrCreateKey(KeyHandle, DesiredAccess, ObjectAttributes, Class, CreateOptions, Disposition, true,
                               KernelMode);
}

NTSYSCALLAPI NTSTATUS NTAPI NtCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                                        POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex,
                                        PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition)
{
    (void)TitleIndex;
    ke::CheckIrql((const void *)&NtCreateKey, PASSIVE_LEVEL);
    if (machine::ShouldFail("NtCreateKey"))
        return STATUS_INSUFFICIENT_RESOURCES;
    return cm::OpenOrCreateKey(KeyHandle, DesiredAccess, ObjectAttributes, Class, CreateOptions, Disposition, true,
                               ke::CurrentThreadState().previousMode);
}

NTSYSAPI NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes)
{
    ke::CheckIrql((const void *)&ZwOpenKey, PASSIVE_LEVEL);
    if (machine::ShouldFail("ZwOpenKey"))
        return STATUS_INSUFFICIENT_RESOURCES;
    return cm::OpenOrCreateKey(KeyHandle, DesiredAccess, ObjectAttributes, nullptr, 0, nullptr, false, KernelMode);
}

NTSYSCALLAPI NTSTATUS NTAPI NtOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                                      POBJECT_ATTRIBUTES ObjectAttributes)
{
    ke::CheckIrql((const void *)&NtOpenKey, PASSIVE_LEVEL);
    if (machine::ShouldFail("NtOpenKey"))
        return STATUS_INSUFFICIENT_RESOURCES;
    return cm::OpenOrCreateKey(KeyHandle, DesiredAccess, ObjectAttributes, nullptr, 0, nullptr, false,
                               ke::CurrentThreadState().previousMode);
}

NTSYSAPI NTSTATUS NTAPI ZwDeleteKey(HANDLE KeyHandle)
{
    ke::CheckIrql((const void *)&ZwDeleteKey, PASSIVE_LEVEL);
    if (machine::ShouldFail("ZwDeleteKey"))
        return STATUS_INSUFFICIENT_RESOURCES;
    return cm::DeleteKey(KeyHandle, KernelMode);
}

NTSYSCALLAPI NTSTATUS NTAPI NtDeleteKey(HANDLE KeyHandle)
{
    ke::CheckIrql((const void *)&NtDeleteKey, PASSIVE_LEVEL);
    if (machine::ShouldFail("NtDeleteKey"))
        return STATUS_INSUFFICIENT_RESOURCES;
    return cm::DeleteKey(KeyHandle, ke::CurrentThreadState().previousMode);
}

NTSYSAPI NTSTATUS NTAPI ZwFlushKey(HANDLE KeyHandle)
{
    ke::CheckIrql((const void *)&ZwFlushKey, PASSIVE_LEVEL);
    if (machine::ShouldFail("ZwFlushKey"))
        return STATUS_INSUFFICIENT_RESOURCES;
    return cm::FlushKey(KeyHandle, KernelMode);
}

NTSYSCALLAPI NTSTATUS NTAPI NtFlushKey(HANDLE KeyHandle)
{
    ke::CheckIrql((const void *)&NtFlushKey, PASSIVE_LEVEL);
    if (machine::ShouldFail("NtFlushKey"))
        return STATUS_INSUFFICIENT_RESOURCES;
    return cm::FlushKey(KeyHandle, ke::CurrentThreadState().previousMode);
}

} // extern "C"
