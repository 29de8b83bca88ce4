/*
 * Test support: user processes (see user_process.h).
 */
#include "user_process.h"

#include <cstring>

namespace support {

Name::Name(const char *ascii) : text(ascii, ascii + strlen(ascii))
{
    string.Buffer = reinterpret_cast<PWCH>(text.data());
    string.Length = string.MaximumLength = (USHORT)(text.size() * sizeof(WCHAR));
}

UserProcess::UserProcess(uint32_t uid, uint32_t gid)
{
    machine::ProcessIdentity identity;
    identity.uid = uid;
    identity.gid = gid;
    process_ = machine::CreateProcess(identity);
}

UserProcess::~UserProcess()
{
    machine::ReleaseProcess(process_);
}

POBJECT_ATTRIBUTES UserProcess::Attributes(const char *name, ULONG attributes)
{
    size_t length = strlen(name);
    auto *buffer = static_cast<WCHAR *>(Alloc(length * sizeof(WCHAR)));
    for (size_t i = 0; i < length; ++i)
        buffer[i] = (WCHAR)name[i];
    auto *string = New<UNICODE_STRING>();
    string->Buffer = buffer;
    string->Length = string->MaximumLength = (USHORT)(length * sizeof(WCHAR));
    auto *oa = New<OBJECT_ATTRIBUTES>();
    InitializeObjectAttributes(oa, string, attributes, nullptr, nullptr);
    return oa;
}

NTSTATUS UserProcess::Open(const char *name, ACCESS_MASK access, HANDLE *handle, ULONG options)
{
    POBJECT_ATTRIBUTES oa = Attributes(name);
    auto *iosb = New<IO_STATUS_BLOCK>();
    auto *userHandle = New<HANDLE>();
    machine::EnterProcess(process_);
    NTSTATUS status = NtCreateFile(userHandle, access | SYNCHRONIZE, oa, iosb, nullptr, 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, options, nullptr, 0);
    machine::LeaveProcess();
    *handle = *userHandle;
    return status;
}

} // namespace support
