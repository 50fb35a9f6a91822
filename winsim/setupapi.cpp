// SetupAPI stand-in: the present disk interfaces of the World, listed by
// interface class, with their device paths. Portable C++.
#include <windows.h>
#include <setupapi.h>

#include <cstring>

#include "winsim/internals.h"

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;
using winsim::DeviceInfoList;

// The sizes 32-bit callers put into the records' size fields.
constexpr DWORD kInterfaceDataSize = 28;
constexpr DWORD kDetailDataSize = 5;
constexpr DWORD kDevicePathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);

template <typename Result>
Result Fail(DWORD error, Result result) {
    SetLastError(error);
    return result;
}

DeviceInfoList* FindList(winsim::World::Internals& internals, HDEVINFO list) {
    const auto it = internals.deviceInfoLists.find(reinterpret_cast<std::uintptr_t>(list));
    return it == internals.deviceInfoLists.end() ? nullptr : &it->second;
}

// The interface an interface record names: its position in the list, kept
// in the record's reserved field counted from 1.
const std::string* FindInterface(const DeviceInfoList& list, const SP_DEVICE_INTERFACE_DATA& data) {
    if (data.Reserved == 0 || data.Reserved > list.paths.size()) return nullptr;
    return &list.paths[data.Reserved - 1];
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
    if ((Flags & DIGCF_DEVICEINTERFACE) != 0 && winsim::SameGuid(*ClassGuid, winsim::kDiskInterfaceClass)) {
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
    if (DeviceInterfaceData == nullptr || DeviceInterfaceData->cbSize != kInterfaceDataSize) {
        return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
    }
    if (InterfaceClassGuid == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    if (!winsim::SameGuid(*InterfaceClassGuid, list->interfaceClass) || MemberIndex >= list->paths.size()) {
        return Fail(ERROR_NO_MORE_ITEMS, FALSE);
    }
    DeviceInterfaceData->InterfaceClassGuid = list->interfaceClass;
    DeviceInterfaceData->Flags = SPINT_ACTIVE;
    DeviceInterfaceData->Reserved = MemberIndex + 1;
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
    if (DeviceInterfaceData == nullptr || DeviceInterfaceData->cbSize != kInterfaceDataSize) {
        return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
    }
    const std::string* path = FindInterface(*list, *DeviceInterfaceData);
    if (path == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);

    const DWORD required = kDevicePathOffset + static_cast<DWORD>(path->size()) + 1;
    if (DeviceInterfaceDetailData == nullptr) {
        if (DeviceInterfaceDetailDataSize != 0) return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
        if (RequiredSize != nullptr) *RequiredSize = required;
        return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    }
    if (DeviceInterfaceDetailDataSize < kDetailDataSize || DeviceInterfaceDetailData->cbSize != kDetailDataSize) {
        return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
    }
    if (RequiredSize != nullptr) *RequiredSize = required;
    if (DeviceInterfaceDetailDataSize < required) return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    // The path runs past the declared one-character array, into the room the caller gave.
    char* devicePath = reinterpret_cast<char*>(DeviceInterfaceDetailData) + kDevicePathOffset;
    std::memcpy(devicePath, path->c_str(), path->size() + 1);
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
