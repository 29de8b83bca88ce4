/*
 * Fixture helpers for the driver core's tests (see core_fixture.h).
 */
#include "core_fixture.h"

#include <cstring>
#include <string>

namespace {

std::u16string Wide(const std::string &text)
{
    return std::u16string(text.begin(), text.end());
}

/* Opens or creates \Registry\Machine\...\Services\vorel[\subkey] (kernel handle). */
HANDLE ServiceKey(const char *subkey, bool create)
{
    std::u16string path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vorel";
    HANDLE key = nullptr;
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES oa;
    name.Buffer = reinterpret_cast<PWCH>(path.data());
    name.Length = name.MaximumLength = (USHORT)(path.size() * 2);
    InitializeObjectAttributes(&oa, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    NTSTATUS status = create ? ZwCreateKey(&key, KEY_ALL_ACCESS, &oa, 0, nullptr, 0, nullptr)
                             : ZwOpenKey(&key, KEY_READ, &oa);
    if (!NT_SUCCESS(status))
        return nullptr;
    if (subkey == nullptr)
        return key;

    std::u16string sub = Wide(subkey);
    HANDLE child = nullptr;
    name.Buffer = reinterpret_cast<PWCH>(sub.data());
    name.Length = name.MaximumLength = (USHORT)(sub.size() * 2);
    InitializeObjectAttributes(&oa, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, key, nullptr);
    status = create ? ZwCreateKey(&child, KEY_ALL_ACCESS, &oa, 0, nullptr, 0, nullptr)
                    : ZwOpenKey(&child, KEY_READ, &oa);
    ZwClose(key);
    return NT_SUCCESS(status) ? child : nullptr;
}

} // namespace

NTSTATUS KernelDeviceControl(PDEVICE_OBJECT device, ULONG code, const void *input, ULONG inputLength, void *output,
                             ULONG outputLength, ULONG_PTR *information)
{
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, device, const_cast<void *>(input), inputLength, output,
                                             outputLength, FALSE, &event, &iosb);
    if (irp == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    if (information != nullptr)
        *information = iosb.Information;
    return status;
}

ControlClient::~ControlClient()
{
    if (handle_ != nullptr)
        support::AsUser(process_, [&] { return NtClose(handle_); });
}

NTSTATUS ControlClient::Open(const char *path, ACCESS_MASK access)
{
    return process_.Open(path, access, &handle_);
}

NTSTATUS ControlClient::Send(ULONG code, const void *input, ULONG inputLength, void *output, ULONG outputLength,
                             ULONG_PTR *information)
{
    void *userInput = inputLength != 0 ? process_.Alloc(inputLength) : nullptr;
    void *userOutput = outputLength != 0 ? process_.Alloc(outputLength) : nullptr;
    auto *iosb = process_.New<IO_STATUS_BLOCK>();
    if (inputLength != 0)
        std::memcpy(userInput, input, inputLength);
    iosb->Status = (NTSTATUS)0xDEADBEEF;
    iosb->Information = 0xDEADBEEF;
    NTSTATUS status = support::AsUser(process_, [&] {
        return NtDeviceIoControlFile(handle_, nullptr, nullptr, nullptr, iosb, code, userInput, inputLength,
                                     userOutput, outputLength);
    });
    if (outputLength != 0 && output != nullptr)
        std::memcpy(output, userOutput, outputLength);
    if (information != nullptr)
        *information = iosb->Information;
    return status;
}

bool ReadServiceDword(const char *subkey, const char *value, ULONG *data)
{
    HANDLE key = ServiceKey(subkey, false);
    if (key == nullptr)
        return false;
    std::u16string valueName = Wide(value);
    UNICODE_STRING name;
    name.Buffer = reinterpret_cast<PWCH>(valueName.data());
    name.Length = name.MaximumLength = (USHORT)(valueName.size() * 2);
    UCHAR buffer[64];
    ULONG length = 0;
    NTSTATUS status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof(buffer), &length);
    ZwClose(key);
    auto *info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    if (!NT_SUCCESS(status) || info->Type != REG_DWORD || info->DataLength != sizeof(ULONG))
        return false;
    std::memcpy(data, info->Data, sizeof(ULONG));
    return true;
}

void WriteServiceValue(const char *subkey, const char *value, ULONG type, const void *data, ULONG size)
{
    HANDLE key = ServiceKey(subkey, true);
    ASSERT_NE(key, nullptr);
    std::u16string valueName = Wide(value);
    UNICODE_STRING name;
    name.Buffer = reinterpret_cast<PWCH>(valueName.data());
    name.Length = name.MaximumLength = (USHORT)(valueName.size() * 2);
    EXPECT_EQ(ZwSetValueKey(key, &name, 0, type, const_cast<void *>(data), size), STATUS_SUCCESS);
    ZwClose(key);
}
