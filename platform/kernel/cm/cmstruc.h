/*
 * Registry records: the in-memory key tree, the key object's body and the
 * registry's one state record.
 *
 * Synchronisation (the whole order, outermost first):
 *   1. Registry::fileLock  serialises hive writes (ZwFlushKey, FlushRegistry, the
 *                          lazy writer and shutdown); a writer snapshots the tree
 *                          under 2 and writes the file after dropping it.
 *   2. Registry::lock      guards the tree, every Node and Value, every KeyBody's
 *                          node pointer, the change counters and the lazy writer's
 *                          stop flag. The lazy writer sleeps on lazyWriterWake with
 *                          2 held (the wait drops it) and drops 2 before it saves,
 *                          so it takes 1 then 2 like every other writer.
 *   3. ob and pool locks   leaf locks: objects may be created and handles inserted
 *                          under 2, but no object is ever dereferenced under 2,
 *                          since the last dereference of a key object runs
 *                          DeleteKeyObject, which takes 2.
 *
 * The tree lives in host memory rather than in the pool: it is the machine's
 * long-lived configuration, not something a driver allocated, and the pool audit
 * runs before any component shuts down. Key objects (handles' targets) come from
 * the pool, so a leaked key handle shows in the pool, object and handle audits.
 */
#pragma once

#include <ntdef.h>
#include <km/cm.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace cm {

/* Names: a key name component is at most 256 characters (Windows accepts 256 and
 * refuses 257), a value name at most 16,383. */
constexpr size_t kMaxKeyNameBytes = 256 * sizeof(char16_t);
constexpr size_t kMaxValueNameBytes = 16383 * sizeof(char16_t);
constexpr size_t kMaxClassBytes = 256 * sizeof(char16_t);

/* Keys nest at most 512 levels deep, \REGISTRY itself being the first level, as on
 * Windows (a key under HKEY_CURRENT_USER, \REGISTRY\USER\<sid>, may add 509). */
constexpr uint32_t kMaxKeyDepth = 512;

/* The two hives: persistent keys (state directory) and volatile keys (runtime directory). */
enum HiveKind : int { kPersistentHive = 0, kVolatileHive = 1, kHiveCount = 2 };

struct Value {
    std::u16string name;      /* as set; compared case-insensitively */
    ULONG type = REG_NONE;
    std::vector<uint8_t> data; /* byte-exact */
};

struct Node {
    std::u16string name;      /* as created (case preserved) */
    std::u16string className;
    Node *parent = nullptr;   /* null for the root and for a deleted key */
    /* Subkeys by upcased name: lookup is case-insensitive and iteration is the
     * case-insensitive sorted order Windows enumerates in. */
    std::map<std::u16string, std::unique_ptr<Node>> subkeys;
    std::vector<Value> values; /* insertion order; indices shift after a delete */
    uint64_t lastWriteTime = 0;
    uint32_t openBodies = 0;  /* key objects that point here */
    bool isVolatile = false;
    bool predefined = false;  /* made at every boot; cannot be deleted */
    bool deleted = false;

    Node() = default;
    Node(const Node &) = delete;
    Node &operator=(const Node &) = delete;
    /* Frees the subtree below without recursing: left to the unique_ptrs, a chain of
     * keys would be destroyed one stack frame per level. */
    ~Node();
};

constexpr ULONG kKeyBodySignature = 0x624B6D43; /* "CmKb" */

/* The body of a key object (the object manager's header precedes it). */
struct KeyBody {
    ULONG signature;
    ULONG reserved;
    uint64_t generation; /* boot the node pointer belongs to */
    Node *node;          /* guarded by Registry::lock; null until bound */
};

struct Registry {
    std::mutex fileLock;
    std::mutex lock;
    bool booted = false;       /* guarded by lock */
    uint64_t generation = 0;   /* guarded by lock; one per boot */
    std::unique_ptr<Node> root;
    /* Deleted keys that key objects still point to; freed with the last one. */
    std::unordered_map<Node *, std::unique_ptr<Node>> deletedKeys;
    uint64_t changes[kHiveCount] = {};
    uint64_t saved[kHiveCount] = {};
    std::string hivePath[kHiveCount]; /* empty = kept in memory only; fixed while booted */
    int lockDescriptor = -1;          /* flock(LOCK_EX) on <state>/registry.lock */

    /* The lazy writer (flush.cpp): started at the end of boot, joined at the start of
     * shutdown, both on the thread that boots and shuts the machine down. */
    std::thread lazyWriter;
    std::condition_variable lazyWriterWake; /* waited on under lock */
    bool lazyWriterStop = false;            /* guarded by lock */
    /* Whether the last shutdown wrote every changed hive; guarded by lock. */
    bool writtenAtShutdown = true;
};

} // namespace cm
