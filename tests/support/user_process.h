/*
 * Test support: user processes acting for a Linux identity, and UTF-16 names.
 */
#pragma once

#include "machine.h"

#include <ntifs.h>

#include <cstdint>
#include <string>

namespace support {

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

} // namespace support
