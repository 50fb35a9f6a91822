// SetupAPI: enumeration of present device interfaces and their paths.
#pragma once

#include <windows.h>

#include <cstddef>

typedef PVOID HDEVINFO;

#define DIGCF_PRESENT 0x00000002u
#define DIGCF_DEVICEINTERFACE 0x00000010u

// SP_DEVICE_INTERFACE_DATA.Flags
#define SPINT_ACTIVE 0x00000001u

// One interface of a device-information list. Its size is that of 32-bit
// Windows (28 bytes): the last field, which the system uses for its own
// bookkeeping, is 32 bits wide here.
struct SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    DWORD Reserved;
};
typedef SP_DEVICE_INTERFACE_DATA* PSP_DEVICE_INTERFACE_DATA;
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28, "SP_DEVICE_INTERFACE_DATA is 28 bytes");

// The interface detail: the device path follows the size field directly.
// On 32-bit Windows the record is byte-packed, so its size field holds 5.
#pragma pack(push, 1)
struct SP_DEVICE_INTERFACE_DETAIL_DATA_A {
    DWORD cbSize;
    CHAR DevicePath[1];
};
#pragma pack(pop)
typedef SP_DEVICE_INTERFACE_DETAIL_DATA_A* PSP_DEVICE_INTERFACE_DETAIL_DATA_A;
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5, "SP_DEVICE_INTERFACE_DETAIL_DATA_A is 5 bytes");
static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) == 4, "DevicePath at 4");

// Device records are not offered: callers pass a null pointer.
struct SP_DEVINFO_DATA;
typedef SP_DEVINFO_DATA* PSP_DEVINFO_DATA;

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent, DWORD Flags);
BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                             DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                             PSP_DEVINFO_DATA DeviceInfoData);
BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);

}  // extern "C"
