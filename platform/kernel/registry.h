// Registry access for drivers.
#pragma once

#include "io_manager.h"
#include "nt_types.h"
#include "rtl.h"

#define REG_NONE 0
#define REG_SZ 1
#define REG_BINARY 3
#define REG_DWORD 4

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F

#define PLUGPLAY_REGKEY_DEVICE 1
#define PLUGPLAY_REGKEY_DRIVER 2
#define PLUGPLAY_REGKEY_CURRENT_HWPROFILE 4

enum KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation = 0,
    KeyValueFullInformation = 1,
    KeyValuePartialInformation = 2,
};

struct KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
};
using PKEY_VALUE_PARTIAL_INFORMATION = KEY_VALUE_PARTIAL_INFORMATION*;

// Opens the device's software (driver) key or hardware key; with PLUGPLAY_REGKEY_CURRENT_HWPROFILE
// the key of the current hardware profile. PASSIVE_LEVEL only.
NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                 ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey);
NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                       PVOID Data, ULONG DataSize);
// STATUS_OBJECT_NAME_NOT_FOUND for a missing value; STATUS_BUFFER_TOO_SMALL when Length cannot hold
// the fixed part, STATUS_BUFFER_OVERFLOW when it holds the fixed part but not all data (as much as
// fits is copied); ResultLength always receives the full size needed.
NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);
// Unloads the driver whose service key is named ("\Registry\Machine\System\...\Services\NAME").
NTSTATUS ZwUnloadDriver(PUNICODE_STRING DriverServiceName);
