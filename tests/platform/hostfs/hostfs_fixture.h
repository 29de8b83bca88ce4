/*
 * Host-file tests: a machine whose drive H: is a fresh temporary directory, and native
 * calls on its files the way kernel code makes them.
 */
#pragma once

#include "machine_test.h"
#include "scoped_environment.h"

#include <ntifs.h>

#include <cstdint>
#include <string>
#include <vector>

namespace hftest {

using Bytes = std::vector<unsigned char>;

/* What an open returned. */
struct Opened {
    NTSTATUS status;
    HANDLE handle;
    ULONG_PTR information;
};

class HostFsTest : public MachineTest {
protected:
    void SetUp() override;
    /* More drives for VOREL_HOST_DRIVES, made from the test directory ("R=<dir>/other"). */
    virtual std::string MoreDrives(const std::string &) const { return std::string(); }
    /* VOREL_MOUNT_ROOT for the machine, from the test directory ("" = left alone). */
    virtual std::string MountRoot(const std::string &) const { return std::string(); }
    void TearDown() override;

    /* The Linux path of a name on H: ("a/b" -> "<dir>/a/b"). */
    std::string HostPath(const std::string &name) const { return directory_ + "/" + name; }
    const std::string &Directory() const { return directory_; }

    /* ZwCreateFile of "\??\H:\<name>" ('/' or '\' separators), kernel handle. */
    Opened Open(const std::string &name, ULONG disposition = FILE_OPEN_IF,
                ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE, ULONG share = FILE_SHARE_READ,
                ULONG options = FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, ULONG attributes = 0);
    /* The full NT name "\??\H:\<name>". */
    static std::u16string NtName(const std::string &name);

    NTSTATUS Write(HANDLE handle, uint64_t offset, const void *data, ULONG length, ULONG_PTR *moved = nullptr);
    NTSTATUS Read(HANDLE handle, uint64_t offset, void *data, ULONG length, ULONG_PTR *moved = nullptr);
    NTSTATUS SetEndOfFile(HANDLE handle, uint64_t size);
    NTSTATUS ZeroData(HANDLE handle, uint64_t from, uint64_t to);
    NTSTATUS SetSparse(HANDLE handle);
    NTSTATUS Flush(HANDLE handle);
    NTSTATUS Standard(HANDLE handle, FILE_STANDARD_INFORMATION *info);

    /* The Linux file's bytes (empty when missing). */
    Bytes HostBytes(const std::string &name) const;
    bool HostExists(const std::string &name) const;
    void MakeHostFile(const std::string &name, const Bytes &bytes) const;

private:
    std::string directory_;
    support::ScopedEnvironment drives_, mountRoot_;
};

} // namespace hftest
