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
// The image is what the device is: before a command the disk is loaded again
// when its file changed since this stack last loaded or saved it, and after
// a command that may have changed the device (anything but a read or a
// query, or a change of the state the controller keeps while plugged in) it
// is saved, by writing a temporary file and moving it over the image. So
// the state survives the per-operation loading of a library and is shared
// by separate programs (a monitor and an application at once).
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

#include "devlib/aspi/aspi.h"

namespace emulator {
class Controller;
}

namespace devstack {

// The image files KT4790_DISKS names, in order; the default image when it is
// not set. Empty entries are skipped.
std::vector<std::string> DiskImagePaths();

// Writes the controller's image over `path` in one step (a temporary file
// moved over it), so that another program reads the old image or the new,
// never a part. On failure the file stays as it was.
bool ReplaceImage(const emulator::Controller& controller, const std::string& path, std::string* error);

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
