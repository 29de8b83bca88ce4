/*
 * The object namespace (see namespace.h). One lock guards every directory; the
 * directories' entries hold references to their objects.
 */
#include "ob/namespace.h"
#include "ob/handles.h"
#include "rtl/upcase.h"
#include "io/internal.h"

#include "base/spin.h"
#include "ke/dispatcher.h"
#include "machine.h"

#include <km/io.h>
#include <km/rtl.h>

#include <atomic>
#include <map>
#include <vector>

namespace ob {
namespace {

constexpr int kMaxReparse = 32;

struct Directory {
    std::map<std::u16string, void *> *entries; /* upper-cased name -> object */
};

struct SymbolicLink {
    std::u16string *target;
};

void ForgetRememberedLookups();

void DeleteDirectory(void *body)
{
    ForgetRememberedLookups();
    delete static_cast<Directory *>(body)->entries;
}

void DeleteSymbolicLink(void *body)
{
    delete static_cast<SymbolicLink *>(body)->target;
}

ObjectType directoryType = {"Directory", POOL_TAG('D', 'i', 'r', 'e'), {0x20003, 0x2000C, 0x20003, 0xF000F},
                            0xF000F, DeleteDirectory, nullptr};
ObjectType symbolicLinkType = {"SymbolicLink", POOL_TAG('S', 'y', 'm', 'b'), {0x20001, 0x20000, 0x20001, 0xF0001},
                               0xF0001, DeleteSymbolicLink, nullptr};

struct Namespace {
    base::SpinLock lock;
    void *root = nullptr;
    /* Bumped by every insertion into or removal from any directory and by the deletion
     * of a directory (whose memory a new one may take), and never reset (not even by a
     * new boot), so a remembered lookup made before any change never matches again. */
    std::atomic<uint64_t> generation{1};
};

Namespace &Space()
{
    static Namespace space;
    return space;
}

/*
 * A thread's recent component lookups: directory and upper-cased name to the object
 * found, valid while the namespace's generation is unchanged. An open walks the same
 * few directories ("\GLOBAL??", the drive letter, "\Device", the volume) every time;
 * this spares it the ordered-map searches.
 */
struct RememberedLookup {
    const void *directory = nullptr;
    uint64_t generation = 0;
    std::u16string key;
    void *object = nullptr;
};

constexpr size_t kRememberedLookups = 8;

/* Every thread's remembered lookups stop matching. */
void ForgetRememberedLookups()
{
    Space().generation.fetch_add(1);
}

RememberedLookup &RememberedFor(const void *directory, const std::u16string &key)
{
    thread_local RememberedLookup remembered[kRememberedLookups];
    return remembered[((uintptr_t)directory >> 4 ^ key.size()) % kRememberedLookups];
}

/* Upper-cases Text in place with the system's table (inline: no call per character). */
void UpcaseInPlace(std::u16string &text)
{
    for (auto &c : text)
        c = (char16_t)unicase::Upcase((uint16_t)c);
}

std::u16string Upcase(const std::u16string &text)
{
    std::u16string upper(text);
    UpcaseInPlace(upper);
    return upper;
}

/* Splits "\A\B\C" into components; false for a malformed path. */
bool SplitPath(const std::u16string &path, std::vector<std::u16string> *components)
{
    if (path.empty() || path[0] != u'\\')
        return false;
    size_t start = 1;
    while (start < path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string::npos)
            end = path.size();
        if (end == start)
            return false; /* an empty component: "\\" */
        components->push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return !(path.size() > 1 && path.back() == u'\\');
}

void *CreateDirectoryObject()
{
    auto *dir = static_cast<Directory *>(CreateObject(&directoryType, sizeof(Directory), kHostMemory | kBootObject));
    if (dir != nullptr)
        dir->entries = new std::map<std::u16string, void *>();
    return dir;
}

void *CreateLinkObject(const std::u16string &target, uint32_t flags = 0)
{
    auto *link = static_cast<SymbolicLink *>(CreateObject(&symbolicLinkType, sizeof(SymbolicLink), flags));
    if (link != nullptr)
        link->target = new std::u16string(target);
    return link;
}

/* Splits a path into its parent directory path and last component. */
void SplitParent(const std::u16string &path, std::u16string *parent, std::u16string *leaf)
{
    size_t slash = path.rfind(u'\\');
    *parent = slash == 0 ? u"\\" : path.substr(0, slash);
    *leaf = path.substr(slash + 1);
}

/* "\??" and "\??\..." name the global DOS device directory. */
std::u16string Canonical(const std::u16string &path)
{
    if (path == u"\\??" || path.rfind(u"\\??\\", 0) == 0)
        return u"\\GLOBAL??" + path.substr(3);
    return path;
}

void BootNamespace()
{
    auto &space = Space();
    space.root = CreateDirectoryObject();
    for (const char16_t *name : {u"\\Device", u"\\GLOBAL??", u"\\Driver", u"\\FileSystem", u"\\KernelObjects"}) {
        void *dir = CreateDirectoryObject();
        InsertNamedObject(dir, name);
        Dereference(dir);
    }
    void *dosDevices = CreateLinkObject(u"\\??", kHostMemory | kBootObject);
    InsertNamedObject(dosDevices, u"\\DosDevices");
    Dereference(dosDevices);
}

void CollectNames(void *directory, const std::u16string &prefix, std::vector<std::u16string> *names)
{
    auto *dir = static_cast<Directory *>(directory);
    for (const auto &[name, object] : *dir->entries) {
        std::u16string full = prefix + u"\\" + name;
        // The machine's own names (boot directories, its drives' links) are no finding.
        if (!(HeaderOf(object)->flags & kBootObject))
            names->push_back(full);
        if (HeaderOf(object)->type == &directoryType)
            CollectNames(object, full, names);
    }
}

std::string Narrow(const std::u16string &text)
{
    return std::string(text.begin(), text.end());
}

void AuditNamespace(machine::AuditReport &report)
{
    auto &space = Space();
    base::SpinGuard guard(space.lock);
    if (space.root == nullptr)
        return;
    std::vector<std::u16string> names;
    CollectNames(space.root, u"", &names);
    for (const auto &name : names)
        report.findings.push_back("ob: name " + Narrow(name) + " still exists");
}

/* Drops every entry of a directory tree (children first). */
void ClearDirectory(void *directory)
{
    auto *dir = static_cast<Directory *>(directory);
    ForgetRememberedLookups();
    for (auto &[name, object] : *dir->entries) {
        ObjectHeader *header = HeaderOf(object);
        if (header->type == &directoryType)
            ClearDirectory(object);
        header->parent = nullptr;
        Dereference(object);
    }
    dir->entries->clear();
}

void ShutdownNamespace()
{
    auto &space = Space();
    if (space.root == nullptr)
        return;
    ClearDirectory(space.root);
    Dereference(space.root);
    space.root = nullptr;
}

const bool registered = [] {
    machine::RegisterComponent({"namespace", machine::kOrderObjects + 4, BootNamespace, AuditNamespace, ShutdownNamespace});
    return true;
}();

} // namespace

ObjectType *DirectoryType()
{
    return &directoryType;
}

ObjectType *SymbolicLinkType()
{
    return &symbolicLinkType;
}

NTSTATUS CreateMachineLink(const std::u16string &path, const std::u16string &target)
{
    void *link = CreateLinkObject(target, kHostMemory | kBootObject);
    if (link == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = InsertNamedObject(link, path);
    Dereference(link);
    return status;
}

std::u16string FromCounted(const UNICODE_STRING *string)
{
    if (string == nullptr || string->Buffer == nullptr)
        return std::u16string();
    return std::u16string(reinterpret_cast<const char16_t *>(string->Buffer), string->Length / sizeof(WCHAR));
}

NTSTATUS InsertNamedObject(void *object, const std::u16string &rawPath)
{
    std::u16string path = Canonical(rawPath);
    std::vector<std::u16string> components;
    if (!SplitPath(path, &components) || components.empty())
        return STATUS_OBJECT_NAME_INVALID;
    std::u16string parentPath, leaf;
    SplitParent(path, &parentPath, &leaf);

    LookupResult parent;
    NTSTATUS status = LookupObject(parentPath, false, &parent);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND)
        status = STATUS_OBJECT_PATH_NOT_FOUND;
    if (!NT_SUCCESS(status))
        return status;
    if (HeaderOf(parent.object)->type != &directoryType || !parent.remaining.empty()) {
        Dereference(parent.object);
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    auto &space = Space();
    {
        base::SpinGuard guard(space.lock);
        auto *dir = static_cast<Directory *>(parent.object);
        std::u16string key = Upcase(leaf);
        if (dir->entries->count(key) != 0) {
            status = STATUS_OBJECT_NAME_COLLISION;
        } else {
            Reference(object);
            (*dir->entries)[key] = object;
            ForgetRememberedLookups();
            ObjectHeader *header = HeaderOf(object);
            delete header->name;
            header->name = new std::u16string(leaf);
            header->parent = parent.object;
        }
    }
    Dereference(parent.object);
    return status;
}

void RemoveNamedObject(void *object)
{
    auto &space = Space();
    ObjectHeader *header = HeaderOf(object);
    {
        base::SpinGuard guard(space.lock);
        if (header->parent == nullptr || header->name == nullptr)
            return;
        auto *dir = static_cast<Directory *>(header->parent);
        dir->entries->erase(Upcase(*header->name));
        ForgetRememberedLookups();
        header->parent = nullptr;
    }
    Dereference(object);
}

std::u16string NameOf(const void *object)
{
    auto &space = Space();
    base::SpinGuard guard(space.lock);
    std::u16string name;
    for (const ObjectHeader *header = HeaderOf(object); header->parent != nullptr && header->name != nullptr;
         header = HeaderOf(header->parent))
        name = u"\\" + *header->name + name;
    return name;
}

NTSTATUS LookupObject(const std::u16string &path, bool openLink, LookupResult *result)
{
    return LookupObject(nullptr, path, openLink, result);
}

/*
 * The walk works on the path text itself: each component is looked up in its
 * directory; a symbolic link replaces what was walked with its target and keeps the
 * rest of the text as it stands; the first object that is not a directory gets the
 * rest unchanged (a trailing backslash, doubled backslashes and all), because what
 * lies below a device is its driver's to judge, as on Windows.
 */
NTSTATUS LookupObject(void *rootDirectory, const std::u16string &rawPath, bool openLink, LookupResult *result)
{
    auto &space = Space();
    std::u16string path = rootDirectory != nullptr ? rawPath : Canonical(rawPath);
    void *start = rootDirectory;
    if (start != nullptr && HeaderOf(start)->type != &directoryType)
        return STATUS_OBJECT_TYPE_MISMATCH;
    for (int reparse = 0; reparse <= kMaxReparse; ++reparse) {
        base::SpinGuard guard(space.lock);
        if (space.root == nullptr)
            return STATUS_OBJECT_PATH_NOT_FOUND;
        void *current = start != nullptr ? start : space.root;
        size_t position = 0; /* where the next component begins */
        if (start == nullptr) {
            if (path.empty() || path[0] != u'\\')
                return STATUS_OBJECT_PATH_SYNTAX_BAD;
            position = 1;
            if (path.size() == 1) {
                Reference(current);
                result->object = current;
                result->remaining.clear();
                return STATUS_SUCCESS;
            }
        } else if (!path.empty() && path[0] == u'\\') {
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        }
        bool relinked = false;
        for (;;) {
            size_t end = path.find(u'\\', position);
            if (end == std::u16string::npos)
                end = path.size();
            if (end == position)
                return STATUS_OBJECT_NAME_INVALID; /* an empty component: "\\" or a trailing backslash */
            auto *dir = static_cast<Directory *>(current);
            /* One key buffer per thread: a lookup allocates nothing once it has grown. */
            thread_local std::u16string key;
            key.assign(path, position, end - position);
            UpcaseInPlace(key);
            bool last = end == path.size();
            RememberedLookup &remembered = RememberedFor(dir, key);
            uint64_t generation = space.generation.load();
            if (remembered.directory == dir && remembered.generation == generation && remembered.key == key) {
                current = remembered.object;
            } else {
                auto it = dir->entries->find(key);
                if (it == dir->entries->end())
                    return last ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
                current = it->second;
                remembered.directory = dir;
                remembered.generation = generation;
                remembered.key = key;
                remembered.object = current;
            }
            ObjectType *type = HeaderOf(current)->type;
            if (type == &symbolicLinkType && !(last && openLink)) {
                // What was walked so far becomes the link's target; the rest stays as it is.
                path = Canonical(*static_cast<SymbolicLink *>(current)->target + path.substr(end));
                start = nullptr;
                relinked = true;
                break;
            }
            if (last || type != &directoryType) {
                result->remaining = path.substr(end);
                Reference(current);
                result->object = current;
                return STATUS_SUCCESS;
            }
            position = end + 1;
        }
        if (!relinked)
            break;
    }
    return STATUS_REPARSE_POINT_NOT_RESOLVED;
}

} // namespace ob

extern "C" {

NTKERNELAPI NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    ke::CheckIrql((const void *)&IoCreateSymbolicLink, PASSIVE_LEVEL);
    if (machine::ShouldFail("IoCreateSymbolicLink"))
        return STATUS_INSUFFICIENT_RESOURCES;
    void *link = ob::CreateLinkObject(ob::FromCounted(DeviceName));
    if (link == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = ob::InsertNamedObject(link, ob::FromCounted(SymbolicLinkName));
    ob::Dereference(link);
    return status;
}

NTKERNELAPI NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    ke::CheckIrql((const void *)&IoDeleteSymbolicLink, PASSIVE_LEVEL);
    ob::LookupResult found;
    NTSTATUS status = ob::LookupObject(ob::FromCounted(SymbolicLinkName), true, &found);
    if (!NT_SUCCESS(status))
        return status;
    if (ob::HeaderOf(found.object)->type != ob::SymbolicLinkType() || !found.remaining.empty()) {
        ob::Dereference(found.object);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    ob::RemoveNamedObject(found.object);
    ob::Dereference(found.object);
    return STATUS_SUCCESS;
}

NTSYSAPI NTSTATUS NTAPI ZwOpenSymbolicLinkObject(PHANDLE LinkHandle, ACCESS_MASK DesiredAccess,
                                                 POBJECT_ATTRIBUTES ObjectAttributes)
{
    ke::CheckIrql((const void *)&ZwOpenSymbolicLinkObject, PASSIVE_LEVEL);
    if (machine::ShouldFail("ZwOpenSymbolicLinkObject"))
        return STATUS_INSUFFICIENT_RESOURCES;
    ob::LookupResult found;
    NTSTATUS status = ob::LookupObject(ob::FromCounted(ObjectAttributes->ObjectName), true, &found);
    if (!NT_SUCCESS(status))
        return status;
    if (ob::HeaderOf(found.object)->type != ob::SymbolicLinkType() || !found.remaining.empty()) {
        ob::Dereference(found.object);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    status = ob::InsertHandle(found.object, DesiredAccess, ObjectAttributes->Attributes,
                              (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) != 0, LinkHandle);
    ob::Dereference(found.object);
    return status;
}

namespace {

NTSTATUS OpenDirectoryObject(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, KPROCESSOR_MODE mode)
{
    if (attributes == nullptr || attributes->ObjectName == nullptr)
        return STATUS_OBJECT_NAME_INVALID;
    void *root = nullptr;
    if (attributes->RootDirectory != nullptr) {
        NTSTATUS status = ObReferenceObjectByHandle(attributes->RootDirectory, DIRECTORY_TRAVERSE,
                                                    reinterpret_cast<POBJECT_TYPE>(ob::DirectoryType()), mode, &root,
                                                    nullptr);
        if (!NT_SUCCESS(status))
            return status;
    }
    ob::LookupResult found;
    NTSTATUS status = ob::LookupObject(root, ob::FromCounted(attributes->ObjectName), false, &found);
    if (root != nullptr)
        ob::Dereference(root);
    if (!NT_SUCCESS(status))
        return status;
    if (ob::HeaderOf(found.object)->type != ob::DirectoryType() || !found.remaining.empty()) {
        ob::Dereference(found.object);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    bool kernelHandle = mode == KernelMode && (attributes->Attributes & OBJ_KERNEL_HANDLE);
    status = ob::InsertHandle(found.object, access, attributes->Attributes, kernelHandle, handle);
    ob::Dereference(found.object);
    return status;
}

} // namespace

NTSYSCALLAPI NTSTATUS NTAPI NtOpenDirectoryObject(PHANDLE DirectoryHandle, ACCESS_MASK DesiredAccess,
                                                  POBJECT_ATTRIBUTES ObjectAttributes)
{
    ke::CheckIrql((const void *)&NtOpenDirectoryObject, PASSIVE_LEVEL);
    KPROCESSOR_MODE mode = ke::CurrentThreadState().previousMode;
    if (mode == UserMode) {
        // The name is captured before the walk, so a rewrite by another user thread cannot race it.
        if (!io::IsUserRange(DirectoryHandle, sizeof(HANDLE)) || !io::IsUserRange(ObjectAttributes, sizeof(OBJECT_ATTRIBUTES)))
            return STATUS_ACCESS_VIOLATION;
        OBJECT_ATTRIBUTES attributes = *ObjectAttributes;
        UNICODE_STRING name{};
        std::u16string text;
        if (attributes.ObjectName != nullptr) {
            if (!io::IsUserRange(attributes.ObjectName, sizeof(UNICODE_STRING)))
                return STATUS_ACCESS_VIOLATION;
            name = *attributes.ObjectName;
            if (!io::IsUserRange(name.Buffer, name.Length))
                return STATUS_ACCESS_VIOLATION;
            text = ob::FromCounted(&name);
            name.Buffer = reinterpret_cast<PWCH>(text.data());
            attributes.ObjectName = &name;
        }
        HANDLE handle;
        NTSTATUS status = OpenDirectoryObject(&handle, DesiredAccess, &attributes, UserMode);
        if (NT_SUCCESS(status))
            *DirectoryHandle = handle;
        return status;
    }
    return OpenDirectoryObject(DirectoryHandle, DesiredAccess, ObjectAttributes, KernelMode);
}

NTSYSAPI NTSTATUS NTAPI ZwOpenDirectoryObject(PHANDLE DirectoryHandle, ACCESS_MASK DesiredAccess,
                                              POBJECT_ATTRIBUTES ObjectAttributes)
{
    ke::CheckIrql((const void *)&ZwOpenDirectoryObject, PASSIVE_LEVEL);
    return OpenDirectoryObject(DirectoryHandle, DesiredAccess, ObjectAttributes, KernelMode);
}

NTSYSAPI NTSTATUS NTAPI ZwQuerySymbolicLinkObject(HANDLE LinkHandle, PUNICODE_STRING LinkTarget,
                                                  PULONG ReturnedLength)
{
    PVOID object;
    NTSTATUS status = ObReferenceObjectByHandle(LinkHandle, SYMBOLIC_LINK_QUERY,
                                                reinterpret_cast<POBJECT_TYPE>(ob::SymbolicLinkType()), KernelMode,
                                                &object, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    const std::u16string &target = *static_cast<ob::SymbolicLink *>(object)->target;
    ULONG bytes = (ULONG)(target.size() * sizeof(WCHAR));
    if (ReturnedLength != nullptr)
        *ReturnedLength = bytes;
    if (bytes > LinkTarget->MaximumLength) {
        status = STATUS_BUFFER_TOO_SMALL;
    } else {
        memcpy(LinkTarget->Buffer, target.data(), bytes);
        LinkTarget->Length = (USHORT)bytes;
    }
    ob::Dereference(object);
    return status;
}

} // extern "C"
