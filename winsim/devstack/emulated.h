// The emulated device stack: the system functions through which the device
// libraries and monitors reach their disks (SetupAPI, CreateFileA,
// DeviceIoControl, CloseHandle, the ASPI manager), under names of their
// own, answered by emulated KT4790 controllers whose state lives in image
// files (emulator::Controller::SaveImage/LoadImage).
//
// The disks are the image files the environment variable KT4790_DISKS
// lists, separated by ';' on Windows and ':' elsewhere (as PATH is); without
// it, the file kt4790-disk.img in the folder of the running program. A file
// that is missing, cut short or no image is no disk: SetupAPI does not list
// it and its ASPI target answers SS_NO_DEVICE. Disk k of the list (from 0)
// is ASPI adapter k / 8, target k % 8, and has the USB disk interface path
// with serial number k + 1.
//
// The image is what the device is, used in place (emulator/image.h): each
// command locks the file, takes up the state record another program may
// have changed, reads the sectors it needs, writes the sectors it changed
// in their places (journalled, so that a program stopped half-way leaves
// the state before or after the command) and lets the file go. So a command
// costs the same on any medium, the state survives the per-operation
// loading of a library, and separate programs (a monitor and an application
// at once) share it. An image of an earlier version is read whole for each
// command until the first command that changes the device writes it anew
// in the current version. A command whose effect the file did not take (a
// full file system, a file-size limit, an image that cannot be written
// anew) completes with check condition and sense data of a medium error,
// the image as before it; a file that cannot be opened for writing is a
// write-protected disk, which keeps a changed volatile state in the program
// for as long as it runs (the Windows build's stack keeps the library that
// holds it loaded for that).
//
// Requests to ASPI complete before SendASPI32Command returns: the status is
// written into the block, then the completion routine is called
// (SRB_POSTING) or the event set (SRB_EVENT_NOTIFY); the call returns the
// status. Handles that are not the stack's own, and CreateFileA of a name
// that is no emulated disk, go to the system's functions.
//
// Threads: one stack is used by one thread at a time (the product calls its
// device functions from one thread).
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <memory>
#include <string>
#include <vector>

#include <functional>

#include "devlib/aspi/aspi.h"
// The system headers name a function of their own LoadImage (a macro): the
// controller's image loader must keep its name.
#undef LoadImage
#include "emulator/image.h"

namespace devstack {

// The image files KT4790_DISKS names, in order; the default image when it is
// not set. Empty entries are skipped.
std::vector<std::string> DiskImagePaths();

// An image file opened and locked for one step: no other user of the file
// (another program of either build, or another stack of this one) moves a
// byte of it until this one is gone. A symbolic link leads to the file it
// names.
class LockedImage : public emulator::ImageIo {
public:
    LockedImage() = default;
    ~LockedImage() override;
    LockedImage(const LockedImage&) = delete;
    LockedImage& operator=(const LockedImage&) = delete;

    // Opens an existing regular file, for writing too when `writable`, and
    // waits for its lock (shared when only reading).
    bool Open(const std::string& path, bool writable, std::string* error);
    // Creates a new file for writing, never one that exists by that name
    // (nor through a link there), with the owner, group and permissions of
    // `like` when given (false where the system does not allow them).
    bool Create(const std::string& path, const LockedImage* like, std::string* error);
    // Lets the lock go and closes the file; false when the system reports
    // that what was written could not be kept.
    bool Close();
    bool ReadAt(std::uint64_t offset, void* data, std::size_t size) override;
    bool WriteAt(std::uint64_t offset, const void* data, std::size_t size) override;
    bool Size(std::uint64_t& size) override;
    bool Resize(std::uint64_t size) override;
    bool Writable() const override { return writable_; }
    bool Reserve(std::uint64_t offset, std::uint64_t size) override;

private:
#ifdef _WIN32
    HANDLE file_ = INVALID_HANDLE_VALUE;
#else
    int file_ = -1;
#endif
    bool writable_ = false;
};

// An image looked at in place, under its shared lock while this lives: the
// controller reads what it is asked for from the file, and nothing it does
// is written. An image of an earlier version is read whole.
class ImageView {
public:
    // False, with a one-line reason, when the file is no image.
    bool Open(const std::string& path, std::string* error);
    emulator::Controller& controller() { return disk_ != nullptr ? disk_->controller() : *earlier_; }
    // The configuration the file holds.
    const emulator::Config& config() const { return disk_ != nullptr ? disk_->config() : earlier_->config(); }
    // False, with a one-line reason, when a read met a sector the file could
    // not give: what the controller answered is not the image's.
    bool Sound(std::string* error) const { return disk_ == nullptr || disk_->Sound(error); }

private:
    LockedImage file_;
    std::unique_ptr<emulator::ImageDisk> disk_;
    std::unique_ptr<emulator::Controller> earlier_;
};

// Runs `change` on the disk of the image at `path`, under the image's lock,
// and writes what it changed as one step: in place, or, for an image of an
// earlier version, as a new file of the current version put in the place of
// the file the path names (refused when that file has a second name, which
// would keep the old image). When `change` returns false nothing is written
// and its reason is the error.
bool ChangeImage(const std::string& path, const std::function<bool(emulator::Controller&, std::string*)>& change,
                 std::string* error);

// One program's view of the emulated disks. The Emu* functions use the one
// of this process; tests make more of them to stand for other programs.
class EmulatedStack {
public:
    EmulatedStack();
    ~EmulatedStack();
    EmulatedStack(const EmulatedStack&) = delete;
    EmulatedStack& operator=(const EmulatedStack&) = delete;

    static EmulatedStack& ThisProcess();

    HDEVINFO GetClassDevs(const GUID* classGuid, DWORD flags);
    BOOL EnumDeviceInterfaces(HDEVINFO list, const GUID* interfaceClass, DWORD memberIndex,
                              PSP_DEVICE_INTERFACE_DATA data);
    BOOL GetDeviceInterfaceDetail(HDEVINFO list, PSP_DEVICE_INTERFACE_DATA data,
                                  PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize, PDWORD requiredSize);
    BOOL DestroyDeviceInfoList(HDEVINFO list);
    // False when `name` is no emulated disk (the caller asks the system);
    // else `handle` is the open disk or INVALID_HANDLE_VALUE (last error set).
    bool OpenDisk(const char* name, DWORD access, DWORD disposition, HANDLE& handle);
    bool OwnsHandle(HANDLE handle) const;
    BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID input, DWORD inputSize, LPVOID output, DWORD outputSize,
                         LPDWORD bytesReturned, LPOVERLAPPED overlapped);
    BOOL CloseHandle(HANDLE handle);
    DWORD GetAspiSupportInfo();
    DWORD SendAspiCommand(void* srb);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace devstack

extern "C" {

HDEVINFO WINAPI EmuSetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent, DWORD Flags);
BOOL WINAPI EmuSetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                           PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
BOOL WINAPI EmuSetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                                PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                                DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                                PSP_DEVINFO_DATA DeviceInfoData);
BOOL WINAPI EmuSetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);
HANDLE WINAPI EmuCreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                             LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                             DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL WINAPI EmuDeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                               LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                               LPOVERLAPPED lpOverlapped);
BOOL WINAPI EmuCloseHandle(HANDLE hObject);
DWORD ASPI_CDECL EmuGetASPI32SupportInfo(void);
DWORD ASPI_CDECL EmuSendASPI32Command(void* srb);

}  // extern "C"
