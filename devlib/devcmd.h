// The exported interface of the device command library.
//
// One source, two builds: KT4790DLL (SCSI pass-through, a DeviceHandle per
// device) and KT4790mDLL (ASPI, KT4790_ASPI defined: a HostAdapterId and
// TargetId per device). Every export uses the standard calling convention and
// answers, on Windows, to its plain and its decorated name (see the .def files).
//
// Results: KT4790DLL returns 1 or 0 in an int; KT4790mDLL returns 1 or 0 in a
// byte. WriteProtect returns 1, 0 or -1 in both; GetHandle a handle or -1.
//
// Refusals of malformed input, which the interface leaves open:
// - A transfer length above 512 (GetChipVersion, SenseCommand, ReadSector,
//   WriteSector) fails the call (result 0) before anything is sent.
// - A descriptor sector whose chain is malformed (a length byte below 2, a
//   descriptor leaving bytes 32-492, a name descriptor above 34 bytes, that is
//   a name longer than 32 bytes) makes GetDeviceName fail (0); discovery then
//   treats the device as one whose name cannot be read.
// - A device interface path that does not fit the 512-byte text
//   ("Interface: " + path + zero byte) is not a candidate: it is skipped
//   without being opened.
// - GetAllDeviceName writes at most `capacity` entries, the room the caller
//   promised; a capacity of 0 fills nothing (KT4790DLL then returns 0,
//   KT4790mDLL 1).
// - The chip-0x30 search for the descriptor sector ends, failing, where the
//   next sector number would not fit 32 bits, so a device that answers every
//   spare read cannot hold the caller (sector numbers would wrap around).
// - Turning a device name into 8-bit text for the name match, a UTF-16 unit
//   above 0xFF becomes '?'.
// - KT4790mDLL waits at most 5 seconds for a request's completion; one that
//   has not completed by then fails the command (0, WriteProtect -1). The
//   ASPI layer reads and writes only the request's own memory (the block
//   and a 512-byte data buffer that follows it): data out is copied there
//   before sending, and a reply is copied to the caller's buffer by the
//   completion routine only while the sender waits and only on success. So
//   a request given up never writes to the caller's buffer later, its late
//   completion only frees it (the library then keeps itself loaded, its
//   completion routine being its code), and its outcome is not taken for a
//   later command's. On failure the caller's buffer is left as it was.
// - A data-in reply that ended early fails its command (0, WriteProtect -1,
//   the caller's buffer untouched) unless it brought what the call reads.
//   KT4790DLL has the driver's count: the whole sector or spare area, the
//   query's length, byte 3 of INQUIRY and MODE SENSE, the 4 bytes of READ
//   CAPACITY's count (GetCapacity, which tests no status, fails without
//   them). KT4790mDLL's ASPI manager counts nothing of a reply that ended
//   early: it takes one only for INQUIRY and MODE SENSE, whose replies
//   state their own length, what did not come reading as zero.
// - KT4790mDLL fails a command (0, WriteProtect -1) whose request cannot be
//   allocated, and a search (GetAllDeviceName, GetDeviceID: 0) whose work
//   buffer cannot; nothing is sent then.
#pragma once

#include <windows.h>

#ifdef _WIN32
#define DEVLIB_EXPORT extern "C"
#else
#define DEVLIB_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#ifdef KT4790_ASPI

// ---------------------------------------------------------------- KT4790mDLL
DEVLIB_EXPORT BYTE WINAPI CheckPwd(BYTE HostAdapterId, BYTE TargetId, BYTE* block);
DEVLIB_EXPORT BYTE WINAPI ChangePwd(BYTE HostAdapterId, BYTE TargetId, BYTE* block);
DEVLIB_EXPORT BYTE WINAPI SetEString(BYTE HostAdapterId, BYTE TargetId, BYTE* sector);
DEVLIB_EXPORT BYTE WINAPI EraseBlock(BYTE HostAdapterId, BYTE TargetId, DWORD block, int Flag01, int Flag02);
DEVLIB_EXPORT BYTE WINAPI VSCWriteSector(BYTE HostAdapterId, BYTE TargetId, DWORD sector, BYTE* buffer, int Flag80,
                                         int SpareFlag);
DEVLIB_EXPORT BYTE WINAPI VSCReadSector(BYTE HostAdapterId, BYTE TargetId, BYTE* buffer, DWORD sector, int Flag80,
                                        int SpareFlag);
DEVLIB_EXPORT BYTE WINAPI GetPhyBlock(BYTE HostAdapterId, BYTE TargetId, DWORD logicalBlock, BYTE* destination,
                                      int Flag01, int Flag80);
DEVLIB_EXPORT BYTE WINAPI GetChipVersion(BYTE HostAdapterId, BYTE TargetId, BYTE* destination);
DEVLIB_EXPORT BYTE WINAPI GetMediaSize(BYTE HostAdapterId, BYTE TargetId, BYTE* destination);
DEVLIB_EXPORT BYTE WINAPI PwdExist(BYTE HostAdapterId, BYTE TargetId, BYTE* destination);
DEVLIB_EXPORT int WINAPI WriteProtect(BYTE HostAdapterId, BYTE TargetId);
DEVLIB_EXPORT BYTE WINAPI GetDeviceName(BYTE HostAdapterId, BYTE TargetId, BYTE* name, BYTE* length);
DEVLIB_EXPORT BYTE WINAPI GetAllDeviceName(char* RevisionFilter, BYTE* table, BYTE* counter);
DEVLIB_EXPORT BYTE WINAPI GetDeviceID(BYTE* HostAdapterId, BYTE* TargetId, char* RevisionFilter, char* name);

#else

// ----------------------------------------------------------------- KT4790DLL
DEVLIB_EXPORT int WINAPI CheckPwd(HANDLE DeviceHandle, BYTE* block);
DEVLIB_EXPORT int WINAPI ChangePwd(HANDLE DeviceHandle, BYTE* block);
DEVLIB_EXPORT int WINAPI ClearPwd(HANDLE DeviceHandle, BYTE* block);
DEVLIB_EXPORT int WINAPI SetEString(HANDLE DeviceHandle, BYTE* sector);
DEVLIB_EXPORT int WINAPI EraseBlock(HANDLE DeviceHandle, DWORD block, int Flag01, int Flag02);
DEVLIB_EXPORT int WINAPI VSCWriteSector(HANDLE DeviceHandle, DWORD sector, BYTE* buffer, int Flag80, int SpareFlag);
DEVLIB_EXPORT int WINAPI VSCReadSector(HANDLE DeviceHandle, BYTE* buffer, DWORD sector, int Flag80, int SpareFlag);
DEVLIB_EXPORT int WINAPI GetPhyBlock(HANDLE DeviceHandle, DWORD logicalBlock, BYTE* destination, BYTE length,
                                     int Flag01, int Flag80);
DEVLIB_EXPORT int WINAPI GetChipVersion(HANDLE DeviceHandle, BYTE* destination, DWORD length);
DEVLIB_EXPORT int WINAPI GetMediaSize(HANDLE DeviceHandle, BYTE* destination, BYTE length);
DEVLIB_EXPORT int WINAPI PwdExist(HANDLE DeviceHandle, BYTE* destination, BYTE length);
DEVLIB_EXPORT int WINAPI SenseCommand(HANDLE DeviceHandle, BYTE* destination, DWORD length);
DEVLIB_EXPORT int WINAPI WriteProtect(HANDLE DeviceHandle);
DEVLIB_EXPORT int WINAPI InquiryCommand(HANDLE DeviceHandle, BYTE* destination);
DEVLIB_EXPORT int WINAPI GetCapacity(HANDLE DeviceHandle, DWORD* count);
DEVLIB_EXPORT int WINAPI ReadSector(HANDLE DeviceHandle, DWORD* block, BYTE* destination, DWORD length);
DEVLIB_EXPORT int WINAPI WriteSector(HANDLE DeviceHandle, DWORD* block, BYTE* source, DWORD length);
DEVLIB_EXPORT int WINAPI GetDeviceName(HANDLE DeviceHandle, BYTE* name, BYTE* length);
DEVLIB_EXPORT int WINAPI GetAllDeviceName(char* RevisionFilter, BYTE* table, BYTE* counter);
DEVLIB_EXPORT HANDLE WINAPI GetHandle(char* RevisionFilter, char* name);

#endif
