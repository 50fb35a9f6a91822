// kernel32 stand-in: last error, kernel handles, device access and the
// disk class driver's SCSI pass-through. Portable C++: the device stack
// calls nothing of the operating system. (Dynamic binding, which does, is
// in kernel32_binding.cpp.)
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "winsim/internals.h"

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

using Lock = std::lock_guard<std::recursive_mutex>;
using winsim::KernelObject;

constexpr DWORD kHeaderSize = sizeof(SCSI_PASS_THROUGH);

template <typename Result>
Result Fail(DWORD error, Result result) {
    SetLastError(error);
    return result;
}

KernelObject* FindKernelObject(winsim::World::Internals& internals, HANDLE handle) {
    const auto it = internals.kernelObjects.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == internals.kernelObjects.end() ? nullptr : &it->second;
}

// The checks a disk class driver makes on a buffered pass-through request
// before it lets the command go to the device.
bool PassThroughRecordValid(const SCSI_PASS_THROUGH& header, DWORD inputSize, const void* output,
                            DWORD outputSize) {
    if (header.Length != kHeaderSize) return false;
    if (header.CdbLength == 0 || header.CdbLength > sizeof header.Cdb) return false;
    // The driver writes the header back, so the output must hold one.
    if (output == nullptr || outputSize < kHeaderSize) return false;
    if (header.DataIn > SCSI_IOCTL_DATA_UNSPECIFIED) return false;

    if (header.DataTransferLength != 0) {
        if (header.DataIn == SCSI_IOCTL_DATA_UNSPECIFIED) return false;
        if (header.DataBufferOffset < kHeaderSize) return false;
        const std::uint64_t end = std::uint64_t{header.DataBufferOffset} + header.DataTransferLength;
        const DWORD room = header.DataIn == SCSI_IOCTL_DATA_IN ? outputSize : inputSize;
        if (end > room) return false;
    }
    if (header.SenseInfoLength != 0) {
        if (header.SenseInfoOffset < kHeaderSize) return false;
        if (std::uint64_t{header.SenseInfoOffset} + header.SenseInfoLength > outputSize) return false;
    }
    return true;
}

BOOL ScsiPassThrough(winsim::World::Internals& internals, KernelObject& device, LPVOID input, DWORD inputSize,
                     LPVOID output, DWORD outputSize, LPDWORD bytesReturned) {
    if (input == nullptr || inputSize < kHeaderSize) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    SCSI_PASS_THROUGH header;
    std::memcpy(&header, input, kHeaderSize);

    if (internals.passThroughLogging) {
        winsim::PassThroughCall call;
        std::memcpy(call.header.data(), &header, kHeaderSize);
        call.inputSize = inputSize;
        call.outputSize = outputSize;
        internals.passThroughLog.push_back(call);
    }

    if (!PassThroughRecordValid(header, inputSize, output, outputSize)) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    if (!winsim::DeviceAttached(internals, device.controller.get())) return Fail(ERROR_GEN_FAILURE, FALSE);

    emulator::DataDirection direction = emulator::DataDirection::None;
    std::uint8_t* data = nullptr;
    if (header.DataIn == SCSI_IOCTL_DATA_IN) {
        direction = emulator::DataDirection::In;
        data = static_cast<std::uint8_t*>(output) + header.DataBufferOffset;
    } else if (header.DataIn == SCSI_IOCTL_DATA_OUT) {
        direction = emulator::DataDirection::Out;
        data = static_cast<std::uint8_t*>(input) + header.DataBufferOffset;
    }
    if (header.DataTransferLength == 0) data = nullptr;

    const emulator::Outcome outcome =
        device.controller->Execute(header.Cdb, header.CdbLength, direction, data, header.DataTransferLength);
    if (!outcome.delivered) return Fail(ERROR_GEN_FAILURE, FALSE);

    // The header comes back in the output buffer with the target's status.
    header.ScsiStatus = outcome.status;
    std::memmove(output, &header, kHeaderSize);
    if (bytesReturned != nullptr) {
        *bytesReturned = header.DataIn == SCSI_IOCTL_DATA_IN ? header.DataBufferOffset + header.DataTransferLength
                                                             : kHeaderSize;
    }
    return TRUE;
}

}  // namespace

extern "C" {

DWORD WINAPI GetLastError(void) { return lastError; }

void WINAPI SetLastError(DWORD dwErrCode) { lastError = dwErrCode; }

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD /*dwShareMode*/,
                          LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, DWORD dwCreationDisposition,
                          DWORD /*dwFlagsAndAttributes*/, HANDLE /*hTemplateFile*/) {
    if (lpFileName == nullptr) return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    winsim::World& world = winsim::World::Get();
    Lock lock(world.mutex());

    const winsim::EmulatedDevice* device = world.FindDevice(lpFileName);
    if (device == nullptr || device->controller == nullptr || device->controller->removed()) {
        return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    }
    // A device can only be opened, never created or truncated.
    if (dwCreationDisposition != OPEN_EXISTING) return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    if (!device->openable) return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);

    winsim::World::Internals& internals = world.internals();
    KernelObject object;
    object.kind = KernelObject::Kind::Device;
    object.controller = device->controller;
    object.access = dwDesiredAccess;
    const std::uintptr_t value = internals.NewHandleValue();
    internals.kernelObjects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    winsim::World& world = winsim::World::Get();
    Lock lock(world.mutex());
    if (world.internals().kernelObjects.erase(reinterpret_cast<std::uintptr_t>(hObject)) == 0) {
        return Fail(ERROR_INVALID_HANDLE, FALSE);
    }
    return TRUE;
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped) {
    winsim::World& world = winsim::World::Get();
    Lock lock(world.mutex());
    winsim::World::Internals& internals = world.internals();

    KernelObject* object = FindKernelObject(internals, hDevice);
    if (object == nullptr || object->kind != KernelObject::Kind::Device) return Fail(ERROR_INVALID_HANDLE, FALSE);
    if (lpOverlapped != nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    if (dwIoControlCode != IOCTL_SCSI_PASS_THROUGH) return Fail(ERROR_INVALID_FUNCTION, FALSE);
    // The control code asks for read and write access to the device.
    const DWORD readWrite = GENERIC_READ | GENERIC_WRITE;
    if ((object->access & readWrite) != readWrite) return Fail(ERROR_ACCESS_DENIED, FALSE);

    return ScsiPassThrough(internals, *object, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize,
                           lpBytesReturned);
}

void WINAPI Sleep(DWORD dwMilliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds)); }

}  // extern "C"
