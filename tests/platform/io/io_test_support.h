/*
 * An in-process test driver for the I/O manager's tests. It creates
 * "\Device\IoTest" (optionally with FILE_DEVICE_SECURE_OPEN) with the descriptor
 * "D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GR;;;BU)" and the link "\DosDevices\IoTest";
 * every request is handed to a hook a test sets, or completed with success.
 */
#pragma once

#include "machine_test.h"

#include <ntifs.h>
#include <wdmsec.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace iotest {

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

struct Driver {
    Dispatch hooks[IRP_MJ_MAXIMUM_FUNCTION + 1];
    std::vector<UCHAR> seen; /* major functions in arrival order */
    PDEVICE_OBJECT device = nullptr;
    bool secureOpen = true;
    bool deleteDeviceOnUnload = true;
    std::atomic<int> cleanups{0}, closes{0};
};

Driver &TheDriver();
/* Forgets everything a previous test set or saw. */
void ResetDriver(bool secureOpen = true);

/* Completes an IRP (a helper for hooks). */
NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

/* Loads the test driver as service "iotest". */
NTSTATUS Load();
NTSTATUS Unload();

/* UTF-16 strings and object attributes that live as long as the helper. */
struct Name {
    explicit Name(const char *text);
    std::u16string text;
    UNICODE_STRING string;
};

/* A user process acting for a Linux identity, with helpers to place data in its user space. */
class UserProcess {
public:
    explicit UserProcess(uint32_t uid, uint32_t gid = 100);
    ~UserProcess();
    void *Alloc(size_t bytes) { return machine::UserAlloc(process_, bytes); }
    template <typename T> T *New() { return static_cast<T *>(Alloc(sizeof(T))); }
    /* An OBJECT_ATTRIBUTES (with its name) in user space. */
    POBJECT_ATTRIBUTES Attributes(const char *name, ULONG attributes = OBJ_CASE_INSENSITIVE);
    /* NtCreateFile as this process; returns the status and the handle. */
    NTSTATUS Open(const char *name, ACCESS_MASK access, HANDLE *handle, ULONG options = FILE_SYNCHRONOUS_IO_NONALERT);
    void *process() const { return process_; }

private:
    void *process_;
};

/* Runs fn acting for the process (previous mode user); restores kernel mode afterwards. */
template <typename Fn>
auto AsUser(UserProcess &process, Fn fn)
{
    machine::EnterProcess(process.process());
    auto result = fn();
    machine::LeaveProcess();
    return result;
}

} // namespace iotest
