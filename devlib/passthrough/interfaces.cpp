#include "devlib/passthrough/interfaces.h"

#include <cstdlib>
#include <cstring>

namespace passthrough {

const GUID kDiskInterfaceGuid = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

namespace {

// The size field of the detail record: its fixed part, 5 bytes on 32-bit
// Windows (8 in a 64-bit program).
constexpr DWORD kDetailSizeField = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28, "interface record of 28 bytes");
#endif
#ifndef _WIN64
static_assert(kDetailSizeField == 5, "detail size field of 5");
#endif

}  // namespace

HDEVINFO OpenDiskInterfaceList() {
    return SetupDiGetClassDevsA(&kDiskInterfaceGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
}

HANDLE OpenDevice(const char* path) {
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

InterfaceRead ReadInterfacePath(HDEVINFO list, DWORD index, char* path, std::size_t pathSize) {
    SP_DEVICE_INTERFACE_DATA interfaceData;
    std::memset(&interfaceData, 0, sizeof interfaceData);
    interfaceData.cbSize = sizeof interfaceData;
    if (!SetupDiEnumDeviceInterfaces(list, nullptr, &kDiskInterfaceGuid, index, &interfaceData)) {
        return InterfaceRead::End;
    }

    DWORD required = 0;
    if (SetupDiGetDeviceInterfaceDetailA(list, &interfaceData, nullptr, 0, &required, nullptr) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return InterfaceRead::End;
    }
    const DWORD detailSize = required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)
                                 ? static_cast<DWORD>(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
                                 : required;
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(std::malloc(detailSize));
    if (detail == nullptr) return InterfaceRead::End;
    detail->cbSize = kDetailSizeField;
    if (!SetupDiGetDeviceInterfaceDetailA(list, &interfaceData, detail, detailSize, nullptr, nullptr)) {
        std::free(detail);
        return InterfaceRead::End;
    }

    // The path must end inside the detail record, whatever the system wrote
    // there, and fit the caller's room.
    const std::size_t room = detailSize - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    const void* end = std::memchr(detail->DevicePath, 0, room);
    const std::size_t length =
        end != nullptr ? static_cast<std::size_t>(static_cast<const char*>(end) - detail->DevicePath) : room;
    InterfaceRead result = InterfaceRead::Unfit;
    if (end != nullptr && length < pathSize) {
        std::memcpy(path, detail->DevicePath, length + 1);
        result = InterfaceRead::Path;
    } else if (pathSize != 0) {
        path[0] = '\0';
    }
    std::free(detail);
    return result;
}

}  // namespace passthrough
