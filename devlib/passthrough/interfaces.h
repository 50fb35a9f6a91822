// The present disk device interfaces as SetupAPI lists them: the one walk
// behind the pass-through build's discovery and KT4790Mon's device search.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <cstddef>

namespace passthrough {

// GUID_DEVINTERFACE_DISK, the interface class of disk devices.
extern const GUID kDiskInterfaceGuid;

// SetupDiGetClassDevsA for the present disk interfaces (DIGCF_PRESENT |
// DIGCF_DEVICEINTERFACE); INVALID_HANDLE_VALUE when the list cannot be made.
HDEVINFO OpenDiskInterfaceList();

// Opens a device path for reading and writing, shared for both, as an
// existing device without flags.
HANDLE OpenDevice(const char* path);

enum class InterfaceRead {
    End,    // the end of the list, or a SetupAPI or allocation failure
    Path,   // `path` holds the device path and its zero byte
    Unfit,  // the path does not end inside the detail record or does not fit `path`
};

// The device path of interface `index` of `list`, copied into `path`
// (room for `pathSize` bytes). The size query must fail with
// ERROR_INSUFFICIENT_BUFFER; the detail record is allocated at the size it
// names, its size field set to the 32-bit value 5, and freed before return.
InterfaceRead ReadInterfacePath(HDEVINFO list, DWORD index, char* path, std::size_t pathSize);

}  // namespace passthrough
