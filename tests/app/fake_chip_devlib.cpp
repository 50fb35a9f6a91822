// A device library whose one device has a controller generation the
// application does not know (chip code 0x21). Commands that the application
// must not send after reading the chip code show a box, so a test sees them.
#include <windows.h>

#include <cstring>

#include "devlib/devcmd.h"

namespace {

constexpr BYTE kUnknownChip = 0x21;

void Reply(BYTE* destination, BYTE byte0) {
    std::memset(destination, 0, 4);
    destination[0] = byte0;
}

}  // namespace

#ifdef KT4790_ASPI
DEVLIB_EXPORT BYTE WINAPI GetAllDeviceName(char* /*RevisionFilter*/, BYTE* table, BYTE* counter) {
#else
DEVLIB_EXPORT int WINAPI GetAllDeviceName(char* /*RevisionFilter*/, BYTE* table, BYTE* counter) {
#endif
    table[0] = 6;
    std::memcpy(table + 1, "O\0D\0D\0", 6);
    *counter = 1;
    return 1;
}

#ifdef KT4790_ASPI
DEVLIB_EXPORT BYTE WINAPI GetDeviceID(BYTE* HostAdapterId, BYTE* TargetId, char* /*RevisionFilter*/, char* /*name*/) {
    *HostAdapterId = 0;
    *TargetId = 1;
    return 1;
}
DEVLIB_EXPORT BYTE WINAPI GetChipVersion(BYTE, BYTE, BYTE* destination) {
    Reply(destination, kUnknownChip);
    return 1;
}
DEVLIB_EXPORT BYTE WINAPI GetMediaSize(BYTE, BYTE, BYTE* destination) {
    Reply(destination, 0);
    return 1;
}
DEVLIB_EXPORT BYTE WINAPI PwdExist(BYTE, BYTE, BYTE* destination) {
    MessageBoxA(nullptr, "PwdExist", "FAKE", MB_OK);
    Reply(destination, 0);
    return 1;
}
DEVLIB_EXPORT BYTE WINAPI VSCReadSector(BYTE, BYTE, BYTE*, DWORD, int, int) {
    MessageBoxA(nullptr, "VSCReadSector", "FAKE", MB_OK);
    return 0;
}
DEVLIB_EXPORT BYTE WINAPI SetEString(BYTE, BYTE, BYTE*) {
    MessageBoxA(nullptr, "SetEString", "FAKE", MB_OK);
    return 0;
}
#else
// A handle of its own, which the application must close.
DEVLIB_EXPORT HANDLE WINAPI GetHandle(char* /*RevisionFilter*/, char* /*name*/) {
    return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}
DEVLIB_EXPORT int WINAPI GetChipVersion(HANDLE, BYTE* destination, DWORD length) {
    if (length < 4) return 0;
    Reply(destination, kUnknownChip);
    return 1;
}
DEVLIB_EXPORT int WINAPI GetMediaSize(HANDLE, BYTE* destination, BYTE length) {
    if (length < 4) return 0;
    Reply(destination, 0);
    return 1;
}
DEVLIB_EXPORT int WINAPI PwdExist(HANDLE, BYTE* destination, BYTE length) {
    MessageBoxA(nullptr, "PwdExist", "FAKE", MB_OK);
    if (length < 4) return 0;
    Reply(destination, 0);
    return 1;
}
DEVLIB_EXPORT int WINAPI VSCReadSector(HANDLE, BYTE*, DWORD, int, int) {
    MessageBoxA(nullptr, "VSCReadSector", "FAKE", MB_OK);
    return 0;
}
DEVLIB_EXPORT int WINAPI SetEString(HANDLE, BYTE*) {
    MessageBoxA(nullptr, "SetEString", "FAKE", MB_OK);
    return 0;
}
#endif
