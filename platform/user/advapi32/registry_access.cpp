/*
 * How this process reaches the registry (see registry_access.h): the registry's
 * native calls, made through the host or into a machine of this process's own.
 * Both take the same arguments, so each call is staged once, in memory that the
 * path it takes can read: the process's user space for the host, the heap here.
 */
#include "registry_access.h"

#include "client.h"
#include "machine.h"
#include "win32_harness.h"

#include <wdm.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <mutex>

#include <unistd.h>

namespace advapi {

using transport::CallNumber;

struct RegistryKey {
    uint32_t signature;
    bool remote;          /* through the host; otherwise in this process's machine */
    uint64_t generation;  /* the host connection the handle belongs to */
    HANDLE handle;
};

namespace {

constexpr uint32_t kKeySignature = 0x4B676552; /* "RegK" */

/* Guards the machine this process may boot, and the count of keys open in it. */
std::mutex localLock;
uint32_t localKeys = 0;

std::string DirectoryFromEnvironment(const char *variable, const char *fallback)
{
    const char *value = std::getenv(variable);
    return value != nullptr && value[0] != 0 ? value : fallback;
}

/* Whether this process may change the state directory (or make it). */
bool MayWriteStateDirectory(const std::string &directory)
{
    if (access(directory.c_str(), W_OK) == 0)
        return true;
    size_t slash = directory.find_last_of('/');
    std::string parent = slash == std::string::npos || slash == 0 ? "/" : directory.substr(0, slash);
    return access(directory.c_str(), F_OK) != 0 && access(parent.c_str(), W_OK) == 0;
}

/* Takes a reference on this process's own machine, booting it for the first key. */
NTSTATUS ReferenceLocalMachine()
{
    std::lock_guard<std::mutex> guard(localLock);
    if (localKeys == 0) {
        if (!MayWriteStateDirectory(StateDirectory()))
            return STATUS_ACCESS_DENIED;
        machine::Config config;
        config.clock = machine::ClockMode::Real;
        config.stateDirectory = StateDirectory();
        config.runtimeDirectory = RuntimeDirectory();
        config.registryLazyWriteMilliseconds = 0;
        config.criticalWorkerThreads = 1;
        config.delayedWorkerThreads = 1;
        std::string error;
        if (!machine::TryBoot(config, &error))
            return STATUS_REGISTRY_IO_FAILED; /* the hive is held by another owner, or unreadable */
    }
    ++localKeys;
    return STATUS_SUCCESS;
}

/* Drops a reference; the last one shuts the machine down, which writes what changed. */
NTSTATUS DereferenceLocalMachine()
{
    std::lock_guard<std::mutex> guard(localLock);
    if (--localKeys != 0)
        return STATUS_SUCCESS;
    machine::Shutdown(); /* its audit concerns drivers, and this machine loads none */
    return machine::RegistryWrittenAtShutdown() ? STATUS_SUCCESS : STATUS_REGISTRY_IO_FAILED;
}

/* Memory for one call's arguments, zero-filled, where the call's path can read it. */
class CallMemory {
public:
    CallMemory(bool remote, size_t bytes) : remote_(remote)
    {
        data_ = remote ? win32::HostConnection().Allocate(bytes) : std::calloc(1, bytes);
        if (data_ != nullptr)
            std::memset(data_, 0, bytes);
    }
    ~CallMemory()
    {
        if (remote_)
            win32::HostConnection().Release(data_);
        else
            std::free(data_);
    }
    CallMemory(const CallMemory &) = delete;
    CallMemory &operator=(const CallMemory &) = delete;
    uint8_t *get() const { return static_cast<uint8_t *>(data_); }

private:
    bool remote_;
    void *data_;
};

uint64_t Arg(const void *pointer)
{
    return (uint64_t)(uintptr_t)pointer;
}

void *Pointer(uint64_t value)
{
    return reinterpret_cast<void *>((uintptr_t)value);
}

/* One registry call, through the host or into this process's machine (as kernel-mode code). */
NTSTATUS Invoke(bool remote, CallNumber number, std::initializer_list<uint64_t> arguments)
{
    if (remote)
        return win32::HostConnection().Call(number, arguments.begin(), (uint32_t)arguments.size());
    const uint64_t *a = arguments.begin();
    switch (number) {
    case CallNumber::NtCreateKey:
        return ZwCreateKey(static_cast<PHANDLE>(Pointer(a[0])), (ACCESS_MASK)a[1],
                           static_cast<POBJECT_ATTRIBUTES>(Pointer(a[2])), (ULONG)a[3],
                           static_cast<PUNICODE_STRING>(Pointer(a[4])), (ULONG)a[5], static_cast<PULONG>(Pointer(a[6])));
    case CallNumber::NtOpenKey:
        return ZwOpenKey(static_cast<PHANDLE>(Pointer(a[0])), (ACCESS_MASK)a[1],
                         static_cast<POBJECT_ATTRIBUTES>(Pointer(a[2])));
    case CallNumber::NtDeleteKey:
        return ZwDeleteKey(Pointer(a[0]));
    case CallNumber::NtFlushKey:
        return ZwFlushKey(Pointer(a[0]));
    case CallNumber::NtQueryValueKey:
        return ZwQueryValueKey(Pointer(a[0]), static_cast<PUNICODE_STRING>(Pointer(a[1])),
                               (KEY_VALUE_INFORMATION_CLASS)a[2], Pointer(a[3]), (ULONG)a[4],
                               static_cast<PULONG>(Pointer(a[5])));
    case CallNumber::NtEnumerateValueKey:
        return ZwEnumerateValueKey(Pointer(a[0]), (ULONG)a[1], (KEY_VALUE_INFORMATION_CLASS)a[2], Pointer(a[3]),
                                   (ULONG)a[4], static_cast<PULONG>(Pointer(a[5])));
    case CallNumber::NtSetValueKey:
        return ZwSetValueKey(Pointer(a[0]), static_cast<PUNICODE_STRING>(Pointer(a[1])), (ULONG)a[2], (ULONG)a[3],
                             Pointer(a[4]), (ULONG)a[5]);
    case CallNumber::NtDeleteValueKey:
        return ZwDeleteValueKey(Pointer(a[0]), static_cast<PUNICODE_STRING>(Pointer(a[1])));
    case CallNumber::NtEnumerateKey:
        return ZwEnumerateKey(Pointer(a[0]), (ULONG)a[1], (KEY_INFORMATION_CLASS)a[2], Pointer(a[3]), (ULONG)a[4],
                              static_cast<PULONG>(Pointer(a[5])));
    case CallNumber::NtClose:
        return ZwClose(Pointer(a[0]));
    default:
        return STATUS_INVALID_SYSTEM_SERVICE;
    }
}

/* A counted name staged in call memory: the string, then its text. */
struct StagedName {
    UNICODE_STRING string;
    WCHAR text[1];
};

size_t StagedNameBytes(const std::u16string &name)
{
    return sizeof(StagedName) + name.size() * sizeof(WCHAR);
}

UNICODE_STRING *StageName(uint8_t *at, const std::u16string &name)
{
    auto *staged = reinterpret_cast<StagedName *>(at);
    std::memcpy(staged->text, name.data(), name.size() * sizeof(WCHAR));
    staged->string.Buffer = staged->text;
    staged->string.Length = staged->string.MaximumLength = (USHORT)(name.size() * sizeof(WCHAR));
    return &staged->string;
}

/* Names longer than a counted string can hold are refused before anything is staged. */
bool NameFits(const std::u16string &name)
{
    return name.size() * sizeof(WCHAR) <= 0xFFFE;
}

bool LiveKey(const RegistryKey *key)
{
    if (key == nullptr || key->signature != kKeySignature)
        return false;
    // A handle of a connection that broke means nothing to the host now.
    return !key->remote || key->generation == win32::HostConnection().Generation();
}

/* Where the next open goes: the host when one answers, else this process's machine. */
NTSTATUS ChoosePath(bool *remote)
{
    transport::Client &client = win32::HostConnection();
    if (client.Connected()) {
        *remote = true;
        return STATUS_SUCCESS;
    }
    client.SetSocketPath(transport::DefaultSocketPath());
    int32_t status = client.Connect();
    if (status == transport::kStatusSuccess) {
        *remote = true;
        return STATUS_SUCCESS;
    }
    if (status != transport::kStatusHostNotRunning)
        return status;
    *remote = false;
    return STATUS_SUCCESS;
}

struct OpenStage {
    HANDLE handle;
    ULONG disposition;
    OBJECT_ATTRIBUTES attributes;
};

NTSTATUS OpenKey(bool remote, HANDLE root, const std::u16string &name, uint32_t access, bool create,
                 uint32_t options, RegistryKey **key, uint32_t *disposition)
{
    if (!NameFits(name))
        return STATUS_OBJECT_NAME_INVALID;
    CallMemory memory(remote, sizeof(OpenStage) + StagedNameBytes(name));
    auto *stage = reinterpret_cast<OpenStage *>(memory.get());
    if (stage == nullptr)
        return STATUS_NO_MEMORY;
    UNICODE_STRING *staged = StageName(memory.get() + sizeof(OpenStage), name);
    ULONG attributes = OBJ_CASE_INSENSITIVE | (remote ? 0 : OBJ_KERNEL_HANDLE);
    InitializeObjectAttributes(&stage->attributes, staged, attributes, root, nullptr);
    NTSTATUS status =
        create ? Invoke(remote, CallNumber::NtCreateKey,
                        {Arg(&stage->handle), access, Arg(&stage->attributes), 0, 0, options, Arg(&stage->disposition)})
               : Invoke(remote, CallNumber::NtOpenKey, {Arg(&stage->handle), access, Arg(&stage->attributes)});
    if (!NT_SUCCESS(status))
        return status;
    auto *opened = new (std::nothrow) RegistryKey{kKeySignature, remote, win32::HostConnection().Generation(),
                                                  stage->handle};
    if (opened == nullptr) {
        Invoke(remote, CallNumber::NtClose, {Arg(stage->handle)});
        return STATUS_NO_MEMORY;
    }
    *key = opened;
    if (disposition != nullptr)
        *disposition = create ? stage->disposition : REG_OPENED_EXISTING_KEY;
    return STATUS_SUCCESS;
}

struct ValueStage {
    ULONG resultLength;
    ULONG reserved;
};

/*
 * The full record of a value, by name or by index, into a buffer that grows to what
 * the registry says it needs (a value may grow between two calls: a few tries).
 */
NTSTATUS QueryValueRecord(RegistryKey *key, const std::u16string *name, uint32_t index, std::u16string *foundName,
                          uint32_t *type, std::vector<uint8_t> *data)
{
    if (!LiveKey(key))
        return STATUS_INVALID_HANDLE;
    if (name != nullptr && !NameFits(*name))
        return STATUS_OBJECT_NAME_INVALID;
    size_t nameBytes = name != nullptr ? StagedNameBytes(*name) : 0;
    nameBytes = (nameBytes + 7) & ~(size_t)7;
    ULONG length = 512;
    for (int attempt = 0; attempt < 4; ++attempt) {
        CallMemory memory(key->remote, sizeof(ValueStage) + nameBytes + length);
        if (memory.get() == nullptr)
            return STATUS_NO_MEMORY;
        auto *stage = reinterpret_cast<ValueStage *>(memory.get());
        uint8_t *record = memory.get() + sizeof(ValueStage) + nameBytes;
        NTSTATUS status;
        if (name != nullptr) {
            UNICODE_STRING *staged = StageName(memory.get() + sizeof(ValueStage), *name);
            status = Invoke(key->remote, CallNumber::NtQueryValueKey,
                            {Arg(key->handle), Arg(staged), KeyValueFullInformation, Arg(record), length,
                             Arg(&stage->resultLength)});
        } else {
            status = Invoke(key->remote, CallNumber::NtEnumerateValueKey,
                            {Arg(key->handle), index, KeyValueFullInformation, Arg(record), length,
                             Arg(&stage->resultLength)});
        }
        if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
            if (stage->resultLength <= length || stage->resultLength > (64u << 20))
                return STATUS_INTERNAL_ERROR;
            length = stage->resultLength;
            continue;
        }
        if (!NT_SUCCESS(status))
            return status;
        auto *full = reinterpret_cast<const KEY_VALUE_FULL_INFORMATION *>(record);
        if ((uint64_t)full->DataOffset + full->DataLength > stage->resultLength ||
            FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name) + (uint64_t)full->NameLength > stage->resultLength)
            return STATUS_INTERNAL_ERROR;
        if (foundName != nullptr)
            foundName->assign(reinterpret_cast<const char16_t *>(full->Name), full->NameLength / sizeof(WCHAR));
        *type = full->Type;
        data->assign(record + full->DataOffset, record + full->DataOffset + full->DataLength);
        return STATUS_SUCCESS;
    }
    return STATUS_INTERNAL_ERROR;
}

} // namespace

std::string StateDirectory()
{
    return DirectoryFromEnvironment("VOREL_STATE_DIR", "/var/lib/vorel");
}

std::string RuntimeDirectory()
{
    return DirectoryFromEnvironment("VOREL_RUNTIME_DIR", "/run/vorel");
}

int32_t OpenRegistryKey(const std::u16string &ntName, uint32_t access, bool create, uint32_t options,
                        RegistryKey **key, uint32_t *disposition)
{
    bool remote = false;
    NTSTATUS status = ChoosePath(&remote);
    if (!NT_SUCCESS(status))
        return status;
    if (!remote) {
        status = ReferenceLocalMachine();
        if (!NT_SUCCESS(status))
            return status;
    }
    status = OpenKey(remote, nullptr, ntName, access, create, options, key, disposition);
    if (!NT_SUCCESS(status) && !remote)
        DereferenceLocalMachine();
    return status;
}

int32_t OpenRegistrySubkey(RegistryKey *parent, const std::u16string &relativeName, uint32_t access, bool create,
                           uint32_t options, RegistryKey **key, uint32_t *disposition)
{
    if (!LiveKey(parent))
        return STATUS_INVALID_HANDLE;
    if (!parent->remote) {
        NTSTATUS status = ReferenceLocalMachine();
        if (!NT_SUCCESS(status))
            return status;
    }
    NTSTATUS status = OpenKey(parent->remote, parent->handle, relativeName, access, create, options, key, disposition);
    if (!NT_SUCCESS(status) && !parent->remote)
        DereferenceLocalMachine();
    return status;
}

int32_t QueryRegistryValue(RegistryKey *key, const std::u16string &name, uint32_t *type, std::vector<uint8_t> *data)
{
    return QueryValueRecord(key, &name, 0, nullptr, type, data);
}

int32_t EnumerateRegistryValue(RegistryKey *key, uint32_t index, std::u16string *name, uint32_t *type,
                               std::vector<uint8_t> *data)
{
    return QueryValueRecord(key, nullptr, index, name, type, data);
}

int32_t EnumerateRegistrySubkey(RegistryKey *key, uint32_t index, std::u16string *name)
{
    if (!LiveKey(key))
        return STATUS_INVALID_HANDLE;
    // A key name is at most 255 characters: one record of that size always holds it.
    constexpr ULONG kLength = sizeof(KEY_BASIC_INFORMATION) + 256 * sizeof(WCHAR);
    CallMemory memory(key->remote, sizeof(ValueStage) + kLength);
    if (memory.get() == nullptr)
        return STATUS_NO_MEMORY;
    auto *stage = reinterpret_cast<ValueStage *>(memory.get());
    uint8_t *record = memory.get() + sizeof(ValueStage);
    NTSTATUS status = Invoke(key->remote, CallNumber::NtEnumerateKey,
                             {Arg(key->handle), index, KeyBasicInformation, Arg(record), kLength,
                              Arg(&stage->resultLength)});
    if (!NT_SUCCESS(status))
        return status;
    auto *basic = reinterpret_cast<const KEY_BASIC_INFORMATION *>(record);
    if (FIELD_OFFSET(KEY_BASIC_INFORMATION, Name) + (uint64_t)basic->NameLength > kLength)
        return STATUS_INTERNAL_ERROR;
    name->assign(reinterpret_cast<const char16_t *>(basic->Name), basic->NameLength / sizeof(WCHAR));
    return STATUS_SUCCESS;
}

int32_t SetRegistryValue(RegistryKey *key, const std::u16string &name, uint32_t type, const void *data,
                         uint32_t bytes)
{
    if (!LiveKey(key))
        return STATUS_INVALID_HANDLE;
    if (!NameFits(name))
        return STATUS_OBJECT_NAME_INVALID;
    size_t nameBytes = (StagedNameBytes(name) + 7) & ~(size_t)7;
    CallMemory memory(key->remote, nameBytes + bytes);
    if (memory.get() == nullptr)
        return STATUS_NO_MEMORY;
    UNICODE_STRING *staged = StageName(memory.get(), name);
    if (bytes != 0)
        std::memcpy(memory.get() + nameBytes, data, bytes);
    return Invoke(key->remote, CallNumber::NtSetValueKey,
                  {Arg(key->handle), Arg(staged), 0, type, Arg(memory.get() + nameBytes), bytes});
}

int32_t DeleteRegistryValue(RegistryKey *key, const std::u16string &name)
{
    if (!LiveKey(key))
        return STATUS_INVALID_HANDLE;
    if (!NameFits(name))
        return STATUS_OBJECT_NAME_INVALID;
    CallMemory memory(key->remote, StagedNameBytes(name));
    if (memory.get() == nullptr)
        return STATUS_NO_MEMORY;
    UNICODE_STRING *staged = StageName(memory.get(), name);
    return Invoke(key->remote, CallNumber::NtDeleteValueKey, {Arg(key->handle), Arg(staged)});
}

int32_t DeleteRegistryKey(RegistryKey *key)
{
    if (!LiveKey(key))
        return STATUS_INVALID_HANDLE;
    return Invoke(key->remote, CallNumber::NtDeleteKey, {Arg(key->handle)});
}

int32_t FlushRegistryKey(RegistryKey *key)
{
    if (!LiveKey(key))
        return STATUS_INVALID_HANDLE;
    return Invoke(key->remote, CallNumber::NtFlushKey, {Arg(key->handle)});
}

int32_t CloseRegistryKey(RegistryKey *key)
{
    if (key == nullptr || key->signature != kKeySignature)
        return STATUS_INVALID_HANDLE;
    NTSTATUS status = STATUS_SUCCESS;
    if (LiveKey(key))
        status = Invoke(key->remote, CallNumber::NtClose, {Arg(key->handle)});
    bool remote = key->remote;
    key->signature = 0;
    delete key;
    if (!remote) {
        NTSTATUS shutdown = DereferenceLocalMachine();
        if (NT_SUCCESS(status))
            status = shutdown;
    }
    return status;
}

} // namespace advapi
