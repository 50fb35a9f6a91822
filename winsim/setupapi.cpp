// SetupAPI stand-in: the present disk interfaces of the World, listed by
// interface class, with their device paths. Portable C++; the records
// themselves are filled by the device stack shared with the Windows build
// (winsim/devstack).
#include <windows.h>
#include <setupapi.h>

#include "winsim/internals.h"

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;
using winsim::DeviceInfoList;

template <typename Result>
Result Fail(DWORD error, Result result) {
    SetLastError(error);
    return result;
}

DeviceInfoList* FindList(winsim::World::Internals& internals, HDEVINFO list) {
    const auto it = internals.deviceInfoLists.find(reinterpret_cast<std::uintptr_t>(list));
    return it == internals.deviceInfoLists.end() ? nullptr : &it->second;
}

}  // namespace

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR /*Enumerator*/, HWND /*hwndParent*/, DWORD Flags) {
    winsim::World& world = winsim::World::Get();
    Lock lock(world.mutex());
    if (ClassGuid == nullptr) return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    if (world.SetupApiFails()) return Fail(ERROR_GEN_FAILURE, INVALID_HANDLE_VALUE);

    DeviceInfoList list;
    list.interfaceClass = *ClassGuid;
    // Disk interfaces are listed only when interfaces of that class are
    // asked for; as a setup class the GUID names no devices.
    if (devstack::ListsDiskInterfaces(*ClassGuid, Flags)) {
        for (const winsim::EmulatedDevice& device : world.devices()) {
            if (!device.visibleToSetupApi) continue;
            if ((Flags & DIGCF_PRESENT) != 0 && (device.controller == nullptr || device.controller->removed())) {
                continue;
            }
            list.paths.push_back(device.interfacePath);
        }
    }
    winsim::World::Internals& internals = world.internals();
    const std::uintptr_t value = internals.NewHandleValue();
    internals.deviceInfoLists.emplace(value, std::move(list));
    return reinterpret_cast<HDEVINFO>(value);
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA /*DeviceInfoData*/,
                                        const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    winsim::World& world = winsim::World::Get();
    Lock lock(world.mutex());
    const DeviceInfoList* list = FindList(world.internals(), DeviceInfoSet);
    if (list == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
    const DWORD error = devstack::EnumDeviceInterface(list->interfaceClass, list->paths.size(), InterfaceClassGuid,
                                                      MemberIndex, DeviceInterfaceData);
    if (error != ERROR_SUCCESS) return Fail(error, FALSE);
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                             DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                             PSP_DEVINFO_DATA /*DeviceInfoData*/) {
    winsim::World& world = winsim::World::Get();
    Lock lock(world.mutex());
    const DeviceInfoList* list = FindList(world.internals(), DeviceInfoSet);
    if (list == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
    const DWORD error = devstack::GetInterfaceDetail(list->paths, DeviceInterfaceData, DeviceInterfaceDetailData,
                                                     DeviceInterfaceDetailDataSize, RequiredSize);
    if (error != ERROR_SUCCESS) return Fail(error, FALSE);
    return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    winsim::World& world = winsim::World::Get();
    Lock lock(world.mutex());
    if (world.internals().deviceInfoLists.erase(reinterpret_cast<std::uintptr_t>(DeviceInfoSet)) == 0) {
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    }
    return TRUE;
}

}  // extern "C"
