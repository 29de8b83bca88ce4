/*
 * A decoded call made into the call of the native routine it names: each 64-bit
 * argument slot narrowed to the routine's parameter, as Windows' system-call layer
 * hands a user's arguments to the kernel. The only file of the server that includes
 * the Windows headers.
 */
#include "native_calls.h"

#include <wdm.h>

#include <cstdint>

namespace transport {

namespace {

void *Pointer(uint64_t value)
{
    return reinterpret_cast<void *>((uintptr_t)value);
}

template <typename T>
T *To(uint64_t value)
{
    return static_cast<T *>(Pointer(value));
}

/* A BOOLEAN argument: the routine sees the low byte of its slot, as a Windows system call does. */
BOOLEAN Flag(uint64_t value)
{
    return (BOOLEAN)value;
}

/* Information classes go to the routines as enumerations, and a value outside an
 * enumeration is no value of it: anything past the last class becomes the end marker,
 * which the routines refuse with STATUS_INVALID_INFO_CLASS, as they refuse it for any
 * class they do not know. */
FILE_INFORMATION_CLASS FileClass(uint64_t value)
{
    return value < (uint64_t)FileMaximumInformation ? (FILE_INFORMATION_CLASS)value : FileMaximumInformation;
}

FS_INFORMATION_CLASS VolumeClass(uint64_t value)
{
    return value < (uint64_t)FileFsMaximumInformation ? (FS_INFORMATION_CLASS)value : FileFsMaximumInformation;
}

} // namespace

/* Runs one decoded call in the calling thread's current process (previous mode user). */
NTSTATUS InvokeNativeCall(const CallBody &c)
{
    const uint64_t *a = c.arguments;
    switch ((CallNumber)c.number) {
    case CallNumber::NtCreateFile:
        return NtCreateFile(To<HANDLE>(a[0]), (ACCESS_MASK)a[1], To<OBJECT_ATTRIBUTES>(a[2]),
                            To<IO_STATUS_BLOCK>(a[3]), To<LARGE_INTEGER>(a[4]), (ULONG)a[5], (ULONG)a[6], (ULONG)a[7],
                            (ULONG)a[8], Pointer(a[9]), (ULONG)a[10]);
    case CallNumber::NtOpenFile:
        return NtOpenFile(To<HANDLE>(a[0]), (ACCESS_MASK)a[1], To<OBJECT_ATTRIBUTES>(a[2]), To<IO_STATUS_BLOCK>(a[3]),
                          (ULONG)a[4], (ULONG)a[5]);
    case CallNumber::NtDeviceIoControlFile:
        return NtDeviceIoControlFile(Pointer(a[0]), Pointer(a[1]), reinterpret_cast<PIO_APC_ROUTINE>(Pointer(a[2])),
                                     Pointer(a[3]), To<IO_STATUS_BLOCK>(a[4]), (ULONG)a[5], Pointer(a[6]),
                                     (ULONG)a[7], Pointer(a[8]), (ULONG)a[9]);
    case CallNumber::NtFsControlFile:
        return NtFsControlFile(Pointer(a[0]), Pointer(a[1]), reinterpret_cast<PIO_APC_ROUTINE>(Pointer(a[2])),
                               Pointer(a[3]), To<IO_STATUS_BLOCK>(a[4]), (ULONG)a[5], Pointer(a[6]), (ULONG)a[7],
                               Pointer(a[8]), (ULONG)a[9]);
    case CallNumber::NtClose:
        return NtClose(Pointer(a[0]));
    case CallNumber::NtReadFile:
        return NtReadFile(Pointer(a[0]), Pointer(a[1]), reinterpret_cast<PIO_APC_ROUTINE>(Pointer(a[2])),
                          Pointer(a[3]), To<IO_STATUS_BLOCK>(a[4]), Pointer(a[5]), (ULONG)a[6],
                          To<LARGE_INTEGER>(a[7]), To<ULONG>(a[8]));
    case CallNumber::NtWriteFile:
        return NtWriteFile(Pointer(a[0]), Pointer(a[1]), reinterpret_cast<PIO_APC_ROUTINE>(Pointer(a[2])),
                           Pointer(a[3]), To<IO_STATUS_BLOCK>(a[4]), Pointer(a[5]), (ULONG)a[6],
                           To<LARGE_INTEGER>(a[7]), To<ULONG>(a[8]));
    case CallNumber::NtQueryInformationFile:
        return NtQueryInformationFile(Pointer(a[0]), To<IO_STATUS_BLOCK>(a[1]), Pointer(a[2]), (ULONG)a[3],
                                      FileClass(a[4]));
    case CallNumber::NtSetInformationFile:
        return NtSetInformationFile(Pointer(a[0]), To<IO_STATUS_BLOCK>(a[1]), Pointer(a[2]), (ULONG)a[3],
                                    FileClass(a[4]));
    case CallNumber::NtQueryDirectoryFile:
        return NtQueryDirectoryFile(Pointer(a[0]), Pointer(a[1]), reinterpret_cast<PIO_APC_ROUTINE>(Pointer(a[2])),
                                    Pointer(a[3]), To<IO_STATUS_BLOCK>(a[4]), Pointer(a[5]), (ULONG)a[6],
                                    FileClass(a[7]), Flag(a[8]), To<UNICODE_STRING>(a[9]), Flag(a[10]));
    case CallNumber::NtQueryVolumeInformationFile:
        return NtQueryVolumeInformationFile(Pointer(a[0]), To<IO_STATUS_BLOCK>(a[1]), Pointer(a[2]), (ULONG)a[3],
                                            VolumeClass(a[4]));
    case CallNumber::NtSetVolumeInformationFile:
        return NtSetVolumeInformationFile(Pointer(a[0]), To<IO_STATUS_BLOCK>(a[1]), Pointer(a[2]), (ULONG)a[3],
                                          VolumeClass(a[4]));
    case CallNumber::NtLockFile:
        return NtLockFile(Pointer(a[0]), Pointer(a[1]), reinterpret_cast<PIO_APC_ROUTINE>(Pointer(a[2])),
                          Pointer(a[3]), To<IO_STATUS_BLOCK>(a[4]), To<LARGE_INTEGER>(a[5]), To<LARGE_INTEGER>(a[6]),
                          (ULONG)a[7], Flag(a[8]), Flag(a[9]));
    case CallNumber::NtUnlockFile:
        return NtUnlockFile(Pointer(a[0]), To<IO_STATUS_BLOCK>(a[1]), To<LARGE_INTEGER>(a[2]),
                            To<LARGE_INTEGER>(a[3]), (ULONG)a[4]);
    case CallNumber::NtNotifyChangeDirectoryFile:
        return NtNotifyChangeDirectoryFile(Pointer(a[0]), Pointer(a[1]),
                                           reinterpret_cast<PIO_APC_ROUTINE>(Pointer(a[2])), Pointer(a[3]),
                                           To<IO_STATUS_BLOCK>(a[4]), Pointer(a[5]), (ULONG)a[6], (ULONG)a[7],
                                           Flag(a[8]));
    case CallNumber::NtQueryEaFile:
        return NtQueryEaFile(Pointer(a[0]), To<IO_STATUS_BLOCK>(a[1]), Pointer(a[2]), (ULONG)a[3], Flag(a[4]),
                             Pointer(a[5]), (ULONG)a[6], To<ULONG>(a[7]), Flag(a[8]));
    case CallNumber::NtSetEaFile:
        return NtSetEaFile(Pointer(a[0]), To<IO_STATUS_BLOCK>(a[1]), Pointer(a[2]), (ULONG)a[3]);
    case CallNumber::NtQuerySecurityObject:
        return NtQuerySecurityObject(Pointer(a[0]), (SECURITY_INFORMATION)a[1], Pointer(a[2]), (ULONG)a[3],
                                     To<ULONG>(a[4]));
    case CallNumber::NtSetSecurityObject:
        return NtSetSecurityObject(Pointer(a[0]), (SECURITY_INFORMATION)a[1], Pointer(a[2]));
    case CallNumber::NtFlushBuffersFile:
        return NtFlushBuffersFile(Pointer(a[0]), To<IO_STATUS_BLOCK>(a[1]));
    case CallNumber::NtCancelIoFile:
        return NtCancelIoFile(Pointer(a[0]), To<IO_STATUS_BLOCK>(a[1]));
    case CallNumber::NtCancelIoFileEx:
        return NtCancelIoFileEx(Pointer(a[0]), To<IO_STATUS_BLOCK>(a[1]), To<IO_STATUS_BLOCK>(a[2]));
    case CallNumber::NtQueryAttributesFile:
        return NtQueryAttributesFile(To<OBJECT_ATTRIBUTES>(a[0]), To<FILE_BASIC_INFORMATION>(a[1]));
    case CallNumber::NtQueryFullAttributesFile:
        return NtQueryFullAttributesFile(To<OBJECT_ATTRIBUTES>(a[0]), To<FILE_NETWORK_OPEN_INFORMATION>(a[1]));
    case CallNumber::NtOpenDirectoryObject:
        return NtOpenDirectoryObject(To<HANDLE>(a[0]), (ACCESS_MASK)a[1], To<OBJECT_ATTRIBUTES>(a[2]));
    case CallNumber::NtCreateEvent:
        // An event type outside the enumeration is no value of it (see FileClass).
        if (a[3] != NotificationEvent && a[3] != SynchronizationEvent)
            return STATUS_INVALID_PARAMETER;
        return NtCreateEvent(To<HANDLE>(a[0]), (ACCESS_MASK)a[1], To<OBJECT_ATTRIBUTES>(a[2]), (EVENT_TYPE)a[3],
                             Flag(a[4]));
    case CallNumber::NtSetEvent:
        return NtSetEvent(Pointer(a[0]), To<LONG>(a[1]));
    case CallNumber::NtClearEvent:
        return NtClearEvent(Pointer(a[0]));
    case CallNumber::NtWaitForSingleObject:
        return NtWaitForSingleObject(Pointer(a[0]), Flag(a[1]), To<LARGE_INTEGER>(a[2]));
    case CallNumber::NtCreateKey:
    case CallNumber::NtOpenKey:
    case CallNumber::NtDeleteKey:
    case CallNumber::NtQueryValueKey:
    case CallNumber::NtEnumerateValueKey:
    case CallNumber::NtSetValueKey:
    case CallNumber::NtDeleteValueKey:
    case CallNumber::NtFlushKey:
    case CallNumber::NtEnumerateKey:
        return InvokeRegistryCall(c);
    }
    return STATUS_INVALID_SYSTEM_SERVICE;
}

/*
 * The user status block of a call whose request a Cancel can reach, or null. Every
 * call that sends its file system a request made with the caller's status block can
 * pend there; the machine finds the request by that block. A create's request is not
 * found that way, and NtCancelIoFile's block reports the cancel itself.
 */
const void *CancellableStatusBlock(const CallBody &c)
{
    switch ((CallNumber)c.number) {
    case CallNumber::NtReadFile:
    case CallNumber::NtWriteFile:
    case CallNumber::NtDeviceIoControlFile:
    case CallNumber::NtFsControlFile:
    case CallNumber::NtQueryDirectoryFile:
    case CallNumber::NtNotifyChangeDirectoryFile:
    case CallNumber::NtLockFile:
        return Pointer(c.arguments[4]);
    case CallNumber::NtQueryInformationFile:
    case CallNumber::NtSetInformationFile:
    case CallNumber::NtQueryVolumeInformationFile:
    case CallNumber::NtSetVolumeInformationFile:
    case CallNumber::NtUnlockFile:
    case CallNumber::NtQueryEaFile:
    case CallNumber::NtSetEaFile:
    case CallNumber::NtFlushBuffersFile:
        return Pointer(c.arguments[1]);
    default:
        return nullptr;
    }
}

} // namespace transport
