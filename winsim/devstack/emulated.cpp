#include "winsim/devstack/emulated.h"

#include <winioctl.h>
#include <ntddscsi.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <system_error>

#include "devlib/cdb.h"
#include "winsim/devstack/devstack.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace devstack {

namespace {

namespace fs = std::filesystem;

constexpr char kDiskListVariable[] = "KT4790_DISKS";
constexpr char kDefaultImage[] = "kt4790-disk.img";
#ifdef _WIN32
constexpr char kListSeparator = ';';
#else
constexpr char kListSeparator = ':';
#endif

// The folder of the running program.
std::string ProgramDirectory() {
#ifdef _WIN32
    char path[MAX_PATH + 1] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return ".";
    return fs::path(std::string(path, length)).parent_path().string();
#else
    std::error_code error;
    const fs::path program = fs::read_symlink("/proc/self/exe", error);
    return error ? std::string(".") : program.parent_path().string();
#endif
}

unsigned long ProcessId() {
#ifdef _WIN32
    return GetCurrentProcessId();
#else
    return static_cast<unsigned long>(getpid());
#endif
}

// Puts `from` in the place of `to` in one step, so that no reader ever
// sees a half-written image.
bool ReplaceFile(const std::string& from, const std::string& to) {
#ifdef _WIN32
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
    return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

// The bytes of a file; false when it cannot be read.
bool ReadFileBytes(const std::string& path, std::string& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// Commands after which the device is as it was, unless its volatile state
// changed. Any other command is taken to change it.
bool ReadsOnly(std::uint8_t opcode) {
    switch (opcode) {
        case devcmd::kOpInquiry:
        case devcmd::kOpModeSense10:
        case devcmd::kOpReadCapacity10:
        case devcmd::kOpRead10:
        case devcmd::kOpGetChipVersion:
        case devcmd::kOpGetMediaSize:
        case devcmd::kOpPwdExist:
        case devcmd::kOpSenseCommand:
        case devcmd::kOpGetPhyBlock:
        case devcmd::kOpVscReadSector:
            return true;
        default:
            return false;
    }
}

bool SameIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t k = 0; k < a.size(); ++k) {
        if (std::toupper(static_cast<unsigned char>(a[k])) != std::toupper(static_cast<unsigned char>(b[k]))) {
            return false;
        }
    }
    return true;
}

template <typename Result>
Result Fail(DWORD error, Result result) {
    SetLastError(error);
    return result;
}

}  // namespace

bool ReplaceImage(const emulator::Controller& controller, const std::string& path, std::string* error) {
    const std::string temporary = path + "." + std::to_string(ProcessId()) + ".tmp";
    if (!controller.SaveImage(temporary, error)) {
        std::remove(temporary.c_str());
        return false;
    }
    if (!ReplaceFile(temporary, path)) {
        std::remove(temporary.c_str());
        if (error != nullptr) *error = "cannot replace image file " + path;
        return false;
    }
    return true;
}

std::vector<std::string> DiskImagePaths() {
    const char* list = std::getenv(kDiskListVariable);
    if (list == nullptr) return {(fs::path(ProgramDirectory()) / kDefaultImage).string()};
    std::vector<std::string> paths;
    std::string rest = list;
    while (!rest.empty()) {
        const std::size_t end = rest.find(kListSeparator);
        const std::string path = rest.substr(0, end);
        rest = end == std::string::npos ? std::string() : rest.substr(end + 1);
        if (!path.empty()) paths.push_back(path);
    }
    return paths;
}

// One image file as this stack last saw it.
struct Disk {
    std::unique_ptr<emulator::Controller> controller;  // null: the file is no image
    bool looked = false;
    bool readable = false;
    std::string bytes;  // the file as loaded or saved
};

// A SetupAPI list: the interface paths present when it was made.
struct InterfaceList {
    GUID interfaceClass{};
    std::vector<std::string> paths;
};

// An open disk: its image and the rights asked for.
struct OpenedDisk {
    std::string image;
    DWORD access = 0;
};

struct EmulatedStack::State {
    std::map<std::string, Disk> disks;  // by image path
    std::map<std::uintptr_t, std::unique_ptr<InterfaceList>> lists;
    std::map<std::uintptr_t, std::unique_ptr<OpenedDisk>> handles;

    // The controller of the image as its file is now; null when it is no
    // image. The file is compared byte for byte with what this stack last
    // loaded or saved: a time stamp could miss a change made within its tick.
    emulator::Controller* Load(const std::string& path) {
        Disk& disk = disks[path];
        std::string bytes;
        const bool readable = ReadFileBytes(path, bytes);
        if (disk.looked && readable == disk.readable && bytes == disk.bytes) return disk.controller.get();
        disk.looked = true;
        disk.readable = readable;
        disk.bytes.swap(bytes);
        disk.controller.reset();
        if (!readable) return nullptr;
        disk.controller = emulator::Controller::LoadImage(path, nullptr);
        if (disk.controller != nullptr) disk.controller->SetTracing(false);
        return disk.controller.get();
    }

    // Writes the device's state back to its image. A failed write leaves the
    // file as it was; this stack goes on with the state it holds.
    void Save(const std::string& path) {
        Disk& disk = disks[path];
        if (disk.controller == nullptr || !ReplaceImage(*disk.controller, path, nullptr)) return;
        disk.readable = ReadFileBytes(path, disk.bytes);
    }

    // Runs one command on the image's device through `run`, which returns
    // whether the command reached the device, and saves what it changed.
    template <typename Run>
    void Command(const std::string& path, std::uint8_t opcode, Run run) {
        emulator::Controller* controller = Load(path);
        const emulator::VolatileState before =
            controller != nullptr ? controller->volatileState() : emulator::VolatileState();
        const bool delivered = run(controller);
        if (controller == nullptr || !delivered) return;
        if (!ReadsOnly(opcode) || controller->volatileState() != before) Save(path);
    }

    // The disk whose interface path is `name`, or "".
    std::string ImageOfInterface(const std::string& name) {
        const std::vector<std::string> paths = DiskImagePaths();
        for (std::size_t k = 0; k < paths.size(); ++k) {
            const emulator::Controller* controller = Load(paths[k]);
            if (controller == nullptr) continue;
            if (SameIgnoringCase(MakeInterfacePath(controller->config(), static_cast<unsigned>(k + 1)), name)) {
                return paths[k];
            }
        }
        return std::string();
    }
};

EmulatedStack::EmulatedStack() : state_(std::make_unique<State>()) {}
EmulatedStack::~EmulatedStack() = default;

EmulatedStack& EmulatedStack::ThisProcess() {
    static EmulatedStack stack;
    return stack;
}

HDEVINFO EmulatedStack::GetClassDevs(const GUID* classGuid, DWORD flags) {
    if (classGuid == nullptr) return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    auto list = std::make_unique<InterfaceList>();
    list->interfaceClass = *classGuid;
    if (ListsDiskInterfaces(*classGuid, flags)) {
        const std::vector<std::string> paths = DiskImagePaths();
        for (std::size_t k = 0; k < paths.size(); ++k) {
            const emulator::Controller* controller = state_->Load(paths[k]);
            if (controller != nullptr) {
                list->paths.push_back(MakeInterfacePath(controller->config(), static_cast<unsigned>(k + 1)));
            }
        }
    }
    const auto value = reinterpret_cast<std::uintptr_t>(list.get());
    state_->lists.emplace(value, std::move(list));
    return reinterpret_cast<HDEVINFO>(value);
}

BOOL EmulatedStack::EnumDeviceInterfaces(HDEVINFO list, const GUID* interfaceClass, DWORD memberIndex,
                                         PSP_DEVICE_INTERFACE_DATA data) {
    const auto it = state_->lists.find(reinterpret_cast<std::uintptr_t>(list));
    if (it == state_->lists.end()) return Fail(ERROR_INVALID_HANDLE, FALSE);
    const InterfaceList& interfaces = *it->second;
    const DWORD error =
        EnumDeviceInterface(interfaces.interfaceClass, interfaces.paths.size(), interfaceClass, memberIndex, data);
    return error == ERROR_SUCCESS ? TRUE : Fail(error, FALSE);
}

BOOL EmulatedStack::GetDeviceInterfaceDetail(HDEVINFO list, PSP_DEVICE_INTERFACE_DATA data,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                             PDWORD requiredSize) {
    const auto it = state_->lists.find(reinterpret_cast<std::uintptr_t>(list));
    if (it == state_->lists.end()) return Fail(ERROR_INVALID_HANDLE, FALSE);
    const DWORD error = GetInterfaceDetail(it->second->paths, data, detail, detailSize, requiredSize);
    return error == ERROR_SUCCESS ? TRUE : Fail(error, FALSE);
}

BOOL EmulatedStack::DestroyDeviceInfoList(HDEVINFO list) {
    if (state_->lists.erase(reinterpret_cast<std::uintptr_t>(list)) == 0) return Fail(ERROR_INVALID_HANDLE, FALSE);
    return TRUE;
}

bool EmulatedStack::OpenDisk(const char* name, DWORD access, DWORD disposition, HANDLE& handle) {
    if (name == nullptr || !IsDevicePath(name)) return false;
    const std::string image = state_->ImageOfInterface(name);
    if (image.empty()) return false;
    // A device can only be opened, never created or truncated.
    if (disposition != OPEN_EXISTING) {
        handle = Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
        return true;
    }
    auto disk = std::make_unique<OpenedDisk>();
    disk->image = image;
    disk->access = access;
    const auto value = reinterpret_cast<std::uintptr_t>(disk.get());
    state_->handles.emplace(value, std::move(disk));
    handle = reinterpret_cast<HANDLE>(value);
    return true;
}

bool EmulatedStack::OwnsHandle(HANDLE handle) const {
    return state_->handles.count(reinterpret_cast<std::uintptr_t>(handle)) != 0;
}

BOOL EmulatedStack::DeviceIoControl(HANDLE device, DWORD code, LPVOID input, DWORD inputSize, LPVOID output,
                                    DWORD outputSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped) {
    const auto it = state_->handles.find(reinterpret_cast<std::uintptr_t>(device));
    if (it == state_->handles.end()) return Fail(ERROR_INVALID_HANDLE, FALSE);
    DWORD error = CheckPassThroughCall(it->second->access, code, overlapped);
    if (error != ERROR_SUCCESS) return Fail(error, FALSE);
    SCSI_PASS_THROUGH header;
    if (!ReadPassThroughHeader(input, inputSize, header) ||
        !PassThroughRecordValid(header, inputSize, output, outputSize)) {
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    error = ERROR_GEN_FAILURE;  // the image is gone: the device does not answer
    state_->Command(it->second->image, header.Cdb[0], [&](emulator::Controller* controller) {
        if (controller != nullptr) error = RunPassThrough(*controller, header, input, output, bytesReturned);
        return error == ERROR_SUCCESS;
    });
    return error == ERROR_SUCCESS ? TRUE : Fail(error, FALSE);
}

BOOL EmulatedStack::CloseHandle(HANDLE handle) {
    if (state_->handles.erase(reinterpret_cast<std::uintptr_t>(handle)) == 0) return Fail(ERROR_INVALID_HANDLE, FALSE);
    return TRUE;
}

DWORD EmulatedStack::GetAspiSupportInfo() {
    const std::size_t disks = DiskImagePaths().size();
    const std::size_t adapters = disks == 0 ? 1 : (disks - 1) / kTargetsPerAdapter + 1;
    return AspiSupportInfo(static_cast<int>(adapters < 255 ? adapters : 255));
}

DWORD EmulatedStack::SendAspiCommand(void* srbPointer) {
    if (srbPointer == nullptr) return SS_INVALID_SRB;
    SRB_ExecSCSICmd& srb = *static_cast<SRB_ExecSCSICmd*>(srbPointer);
    if (srb.SRB_Cmd != SC_EXEC_SCSI_CMD) return srb.SRB_Status = SS_INVALID_CMD;
    if (!AspiBlockConsistent(srb)) return srb.SRB_Status = SS_INVALID_SRB;
    const AspiRequest request = TakeAspiRequest(srb);

    const std::vector<std::string> paths = DiskImagePaths();
    const DWORD adapters = GetAspiSupportInfo() & 0xFF;
    const std::size_t position = std::size_t{request.haId} * kTargetsPerAdapter + request.target;
    BYTE status = SS_NO_DEVICE;
    if (request.haId >= adapters) {
        status = CompleteAspiRequest(request, AspiTarget::NoAdapter, nullptr);
    } else if (position >= paths.size() || request.target >= kTargetsPerAdapter) {
        status = CompleteAspiRequest(request, AspiTarget::NoDevice, nullptr);
    } else {
        state_->Command(paths[position], request.cdb[0], [&](emulator::Controller* controller) {
            status = CompleteAspiRequest(request, controller != nullptr ? AspiTarget::Present : AspiTarget::NoDevice,
                                         controller);
            return status == SS_COMP || (status == SS_ERR && srb.SRB_HaStat == HASTAT_OK);
        });
    }

    // The request is complete: the sender learns it as it asked. After the
    // completion routine the block is the sender's again (it may be freed).
    if ((request.flags & SRB_POSTING) != 0) {
        AspiPostProc post;
        std::memcpy(&post, &request.postProc, sizeof post);
        post(request.srb);
    } else if ((request.flags & SRB_EVENT_NOTIFY) != 0) {
        HANDLE event;
        std::memcpy(&event, &request.postProc, sizeof event);
        SetEvent(event);
    }
    return status;
}

}  // namespace devstack

extern "C" {

HDEVINFO WINAPI EmuSetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR /*Enumerator*/, HWND /*hwndParent*/,
                                        DWORD Flags) {
    return devstack::EmulatedStack::ThisProcess().GetClassDevs(ClassGuid, Flags);
}

BOOL WINAPI EmuSetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA /*DeviceInfoData*/,
                                           const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                           PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    return devstack::EmulatedStack::ThisProcess().EnumDeviceInterfaces(DeviceInfoSet, InterfaceClassGuid, MemberIndex,
                                                                      DeviceInterfaceData);
}

BOOL WINAPI EmuSetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                                PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                                DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                                PSP_DEVINFO_DATA /*DeviceInfoData*/) {
    return devstack::EmulatedStack::ThisProcess().GetDeviceInterfaceDetail(
        DeviceInfoSet, DeviceInterfaceData, DeviceInterfaceDetailData, DeviceInterfaceDetailDataSize, RequiredSize);
}

BOOL WINAPI EmuSetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    return devstack::EmulatedStack::ThisProcess().DestroyDeviceInfoList(DeviceInfoSet);
}

HANDLE WINAPI EmuCreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                             LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                             DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (devstack::EmulatedStack::ThisProcess().OpenDisk(lpFileName, dwDesiredAccess, dwCreationDisposition, handle)) {
        return handle;
    }
    return CreateFileA(lpFileName, dwDesiredAccess, dwShareMode, lpSecurityAttributes, dwCreationDisposition,
                       dwFlagsAndAttributes, hTemplateFile);
}

BOOL WINAPI EmuDeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                               LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                               LPOVERLAPPED lpOverlapped) {
    devstack::EmulatedStack& stack = devstack::EmulatedStack::ThisProcess();
    if (!stack.OwnsHandle(hDevice)) {
        return DeviceIoControl(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize,
                               lpBytesReturned, lpOverlapped);
    }
    return stack.DeviceIoControl(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize,
                                 lpBytesReturned, lpOverlapped);
}

BOOL WINAPI EmuCloseHandle(HANDLE hObject) {
    devstack::EmulatedStack& stack = devstack::EmulatedStack::ThisProcess();
    return stack.OwnsHandle(hObject) ? stack.CloseHandle(hObject) : CloseHandle(hObject);
}

DWORD ASPI_CDECL EmuGetASPI32SupportInfo(void) { return devstack::EmulatedStack::ThisProcess().GetAspiSupportInfo(); }

DWORD ASPI_CDECL EmuSendASPI32Command(void* srb) {
    return devstack::EmulatedStack::ThisProcess().SendAspiCommand(srb);
}

}  // extern "C"
