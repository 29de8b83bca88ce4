/*
 * The registry component: its state, the "Key" object type, boot (hives loaded,
 * the predefined keys made) and shutdown (dirty hives written, everything freed).
 */
#include "cm/cmprocs.h"

#include "ke/dispatcher.h"
#include "ke/thread.h"
#include "ob/handles.h"
#include "ob/object.h"

#include "machine.h"

#include <km/bugcheck.h>
#include <km/list.h>
#include <km/rtl.h>

#include <cstdio>

namespace cm {
namespace {

constexpr ULONG kRegistryError = 0x51; /* REGISTRY_ERROR */

void DeleteKeyObject(void *object);

ob::ObjectType keyType = {
    "Key",
    POOL_TAG('K', 'e', 'y', ' '),
    {KEY_READ, KEY_WRITE, KEY_EXECUTE, KEY_ALL_ACCESS},
    KEY_ALL_ACCESS | ACCESS_SYSTEM_SECURITY,
    DeleteKeyObject,
    nullptr,
};
POBJECT_TYPE keyTypePointer = reinterpret_cast<POBJECT_TYPE>(&keyType);

/* Keys every boot starts with, whatever the hives hold. */
const char16_t *const kPredefinedKeys[] = {
    u"MACHINE",
    u"MACHINE\\SYSTEM",
    u"MACHINE\\SYSTEM\\CurrentControlSet",
    u"MACHINE\\SYSTEM\\CurrentControlSet\\Services",
    u"MACHINE\\SOFTWARE",
    u"USER",
};

/*
 * The last reference to a key object is gone. The node it pointed to loses an
 * opener; a deleted node with no openers left is freed. A body from an earlier
 * boot (a leaked handle outliving its machine) points into a tree that is gone.
 */
void DeleteKeyObject(void *object)
{
    auto body = static_cast<KeyBody *>(object);
    if (body->signature != kKeyBodySignature)
        return; /* never bound: creation failed before the body was filled in */
    Registry &registry = State();
    std::lock_guard<std::mutex> guard(registry.lock);
    Node *node = body->node;
    body->node = nullptr;
    body->signature = 0;
    if (node == nullptr || !registry.booted || body->generation != registry.generation)
        return;
    node->openBodies--;
    if (node->deleted && node->openBodies == 0)
        registry.deletedKeys.erase(node);
}

void MakePredefinedKeys(Registry &registry)
{
    for (const char16_t *path : kPredefinedKeys) {
        Node *node = registry.root.get();
        std::u16string rest = path;
        size_t start = 0;
        for (;;) {
            size_t end = rest.find(u'\\', start);
            std::u16string component = rest.substr(start, end == std::u16string::npos ? end : end - start);
            Node *child = FindSubkey(node, component);
            if (child == nullptr) {
                auto created = std::make_unique<Node>();
                created->name = component;
                created->parent = node;
                created->lastWriteTime = Now();
                child = created.get();
                node->subkeys.emplace(UpcaseName(component), std::move(created));
            }
            node = child;
            if (end == std::u16string::npos)
                break;
            start = end + 1;
        }
        node->predefined = true;
    }
    registry.root->predefined = true;
}

/* The tree and the state directory's lock go, and nothing is written (called without the lock). */
void ReleaseRegistry(Registry &registry)
{
    ReleaseHiveLock(registry);
    std::lock_guard<std::mutex> guard(registry.lock);
    registry.booted = false;
    registry.root.reset();
    registry.deletedKeys.clear();
    for (auto &path : registry.hivePath)
        path.clear();
}

/*
 * Boot: the hives are read, the predefined keys made, and the lazy writer started.
 * State the machine cannot run on (a state directory it cannot lock, a hive that is
 * no regular file or cannot be read) fails the boot: everything is undone here and
 * the machine is told why.
 */
void BootRegistry()
{
    Registry &registry = State();
    const machine::Config &config = machine::CurrentConfig();
    registry.hivePath[kPersistentHive] =
        config.stateDirectory.empty() ? std::string() : config.stateDirectory + "/registry.hive";
    registry.hivePath[kVolatileHive] =
        config.runtimeDirectory.empty() ? std::string() : config.runtimeDirectory + "/registry-volatile.hive";
    {
        std::lock_guard<std::mutex> guard(registry.lock);
        registry.generation++;
        registry.booted = true;
        registry.writtenAtShutdown = true;
        for (int kind = 0; kind < kHiveCount; ++kind)
            registry.changes[kind] = registry.saved[kind] = 0;
    }
    std::string error;
    std::unique_ptr<Node> root;
    if (!LoadPersistentHive(registry, &root, &error)) {
        ReleaseRegistry(registry);
        machine::FailBoot(error);
        return;
    }
    {
        std::lock_guard<std::mutex> guard(registry.lock);
        registry.root = std::move(root);
        MakePredefinedKeys(registry);
    }
    if (!LoadVolatileHive(registry, &error)) {
        ReleaseRegistry(registry);
        machine::FailBoot(error);
        return;
    }
    StartLazyWriter(registry, config.registryLazyWriteMilliseconds);
}

/*
 * Shutdown: the lazy writer stops first, so that the last write is this one and
 * sees every change. A hive that cannot be written keeps its last written
 * contents; RegistryWrittenAtShutdown tells the host.
 */
void ShutdownRegistry()
{
    Registry &registry = State();
    StopLazyWriter(registry);
    bool written = true;
    for (int kind = 0; kind < kHiveCount; ++kind) {
        std::string error;
        if (!SaveHive(registry, static_cast<HiveKind>(kind), "RegistryHiveWrite", &error)) {
            std::fprintf(stderr, "cm: shutdown could not write a hive (%s); its last written contents stay\n",
                         error.c_str());
            written = false;
        }
    }
    ReleaseRegistry(registry);
    std::lock_guard<std::mutex> guard(registry.lock);
    registry.writtenAtShutdown = written;
}

const bool registered = [] {
    /* Open key handles are reported by the handle and object audits; nothing to add. */
    machine::RegisterComponent({"registry", machine::kOrderRegistry, BootRegistry, nullptr, ShutdownRegistry});
    return true;
}();

} // namespace

Node::~Node()
{
    std::vector<std::unique_ptr<Node>> doomed;
    auto adoptSubkeys = [&doomed](Node &node) {
        for (auto &entry : node.subkeys)
            doomed.push_back(std::move(entry.second));
        node.subkeys.clear();
    };
    adoptSubkeys(*this);
    while (!doomed.empty()) {
        std::unique_ptr<Node> node = std::move(doomed.back());
        doomed.pop_back();
        adoptSubkeys(*node);
        /* node is freed here, childless: its own destructor finds nothing to do */
    }
}

Registry &State()
{
    static Registry registry;
    return registry;
}

ob::ObjectType *KeyType()
{
    return &keyType;
}

uint64_t Now()
{
    return ke::SystemTime();
}

std::u16string UpcaseName(const char16_t *name, size_t chars)
{
    std::u16string upcased(name, chars);
    for (auto &c : upcased)
        c = (char16_t)RtlUpcaseUnicodeChar((WCHAR)c);
    return upcased;
}

Node *FindSubkey(Node *parent, const std::u16string &name)
{
    auto it = parent->subkeys.find(UpcaseName(name));
    return it == parent->subkeys.end() ? nullptr : it->second.get();
}

ptrdiff_t FindValue(const Node *node, const char16_t *name, size_t chars)
{
    for (size_t i = 0; i < node->values.size(); ++i) {
        const std::u16string &candidate = node->values[i].name;
        if (candidate.size() != chars)
            continue;
        size_t k = 0;
        while (k < chars && RtlUpcaseUnicodeChar((WCHAR)candidate[k]) == RtlUpcaseUnicodeChar((WCHAR)name[k]))
            ++k;
        if (k == chars)
            return (ptrdiff_t)i;
    }
    return -1;
}

void NoteHiveChange(Registry &registry, HiveKind kind)
{
    // Only the first change to a clean hive wakes the lazy writer: while the hive is
    // changed the writer does not sleep on its wake-up (it waits out its delay, or is
    // writing and looks again when done).
    if (registry.changes[kind]++ == registry.saved[kind])
        registry.lazyWriterWake.notify_one();
}

void NoteChange(Registry &registry, const Node *node)
{
    NoteHiveChange(registry, node->isVolatile ? kVolatileHive : kPersistentHive);
}

uint32_t KeyDepth(const Node *node)
{
    uint32_t depth = 0;
    for (const Node *n = node; n != nullptr; n = n->parent)
        ++depth;
    return depth;
}

std::u16string FullKeyName(const Node *node)
{
    std::vector<const Node *> chain;
    for (const Node *n = node; n != nullptr; n = n->parent)
        chain.push_back(n);
    std::u16string name;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it)
        name += u"\\" + (*it)->name;
    return name;
}

NTSTATUS ReferenceKey(HANDLE handle, ACCESS_MASK access, KPROCESSOR_MODE mode, KeyBody **body)
{
    PVOID object = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(handle, access, keyTypePointer, mode, &object, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    auto key = static_cast<KeyBody *>(object);
    if (key->signature != kKeyBodySignature)
        KeBugCheckEx(kRegistryError, 1, (ULONG_PTR)key, key->signature, 0);
    *body = key;
    return STATUS_SUCCESS;
}

Node *LiveNode(const KeyBody *body)
{
    Registry &registry = State();
    Node *node = body->node;
    if (node == nullptr || body->generation != registry.generation || node->deleted)
        return nullptr;
    return node;
}

void DereferenceKey(KeyBody *body)
{
    ob::Dereference(body);
}

} // namespace cm

extern "C" {

NTKERNELAPI POBJECT_TYPE *CmKeyObjectType = &cm::keyTypePointer;

} // extern "C"
