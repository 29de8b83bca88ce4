/*
 * Secure device creation: devices whose security descriptor is given as SDDL text.
 */
#pragma once

#include <wdm.h>

#define SDDL_DEVOBJ_KERNEL_ONLY L"D:P"
#define SDDL_DEVOBJ_SYS_ALL L"D:P(A;;GA;;;SY)"
#define SDDL_DEVOBJ_SYS_ALL_ADM_ALL L"D:P(A;;GA;;;SY)(A;;GA;;;BA)"
#define SDDL_DEVOBJ_SYS_ALL_ADM_RX L"D:P(A;;GA;;;SY)(A;;GRGX;;;BA)"
#define SDDL_DEVOBJ_SYS_ALL_ADM_RWX_WORLD_R L"D:P(A;;GA;;;SY)(A;;GRGWGX;;;BA)(A;;GR;;;WD)"
#define SDDL_DEVOBJ_SYS_ALL_ADM_RWX_WORLD_RW_RES_R L"D:P(A;;GA;;;SY)(A;;GRGWGX;;;BA)(A;;GRGW;;;WD)(A;;GR;;;RC)"

EXTERN_C_START

NTKERNELAPI NTSTATUS NTAPI IoCreateDeviceSecure(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                                PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                                ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                                PCUNICODE_STRING DefaultSDDLString, LPCGUID DeviceClassGuid,
                                                PDEVICE_OBJECT *DeviceObject);

EXTERN_C_END
