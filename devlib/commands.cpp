// Every command export of both builds. Each sends one request, KT4790DLL
// over SCSI pass-through and KT4790mDLL over ASPI; in both a reply reaches
// the caller's buffer only after the success test.
#include "devlib/devcmd.h"

#include <cstring>

#include "devlib/cdb.h"
#include "kt4790/records.h"

#ifdef KT4790_ASPI
#include "devlib/aspi/transport.h"
#else
#include "devlib/passthrough/passthrough.h"
#endif

namespace {

#ifdef KT4790_ASPI

BYTE Send(BYTE haId, BYTE target, const devcmd::Command& command, BYTE* buffer) {
    return aspi::Send(haId, target, command, buffer) ? 1 : 0;
}

#else

// A command with data out (or none): `source` holds the transfer length.
int SendOut(HANDLE device, const devcmd::Command& command, const BYTE* source) {
    passthrough::PassThroughRecord record;
    return passthrough::Send(device, command, record, source).ok() ? 1 : 0;
}

// A command with data in: on success the first `copyLength` bytes of the
// data area go to `destination`. The data area holds 512 bytes, so any
// copyLength up to 512 stays inside it; what the controller did not send
// reads as zero. A fixed-length reply that the driver reports short fails
// the command, the destination untouched: half a sector or query read as
// zeroes would pass for data (a PartitionWord of 0, say).
int SendIn(HANDLE device, const devcmd::Command& command, BYTE* destination, DWORD copyLength) {
    if (copyLength > passthrough::kDataAreaSize) return 0;
    passthrough::PassThroughRecord record;
    const passthrough::Outcome outcome = passthrough::Send(device, command, record);
    if (!outcome.ok() || !outcome.whole(command)) return 0;
    if (copyLength != 0) std::memcpy(destination, record.data, copyLength);
    return 1;
}

#endif

}  // namespace

// ------------------------------------------------ password and descriptor sector

#ifdef KT4790_ASPI
BYTE WINAPI CheckPwd(BYTE HostAdapterId, BYTE TargetId, BYTE* block) {
    return Send(HostAdapterId, TargetId, devcmd::CheckPwd(), block);
}
BYTE WINAPI ChangePwd(BYTE HostAdapterId, BYTE TargetId, BYTE* block) {
    return Send(HostAdapterId, TargetId, devcmd::ChangePwd(), block);
}
BYTE WINAPI SetEString(BYTE HostAdapterId, BYTE TargetId, BYTE* sector) {
    return Send(HostAdapterId, TargetId, devcmd::SetEString(), sector);
}
#else
int WINAPI CheckPwd(HANDLE DeviceHandle, BYTE* block) { return SendOut(DeviceHandle, devcmd::CheckPwd(), block); }
int WINAPI ChangePwd(HANDLE DeviceHandle, BYTE* block) { return SendOut(DeviceHandle, devcmd::ChangePwd(), block); }
int WINAPI ClearPwd(HANDLE DeviceHandle, BYTE* block) { return SendOut(DeviceHandle, devcmd::ClearPwd(), block); }
int WINAPI SetEString(HANDLE DeviceHandle, BYTE* sector) {
    return SendOut(DeviceHandle, devcmd::SetEString(), sector);
}
#endif

// ------------------------------------------------------------------ flash access

#ifdef KT4790_ASPI
// No data moves; the request still names its own data buffer.
BYTE WINAPI EraseBlock(BYTE HostAdapterId, BYTE TargetId, DWORD block, int Flag01, int Flag02) {
    return Send(HostAdapterId, TargetId, devcmd::EraseBlock(block, Flag01, Flag02), nullptr);
}
#else
int WINAPI EraseBlock(HANDLE DeviceHandle, DWORD block, int Flag01, int Flag02) {
    return SendOut(DeviceHandle, devcmd::EraseBlock(block, Flag01, Flag02), nullptr);
}
#endif

#ifdef KT4790_ASPI
// Only the low byte of Flag80 and SpareFlag counts in this build.
BYTE WINAPI VSCWriteSector(BYTE HostAdapterId, BYTE TargetId, DWORD sector, BYTE* buffer, int Flag80,
                           int SpareFlag) {
    return Send(HostAdapterId, TargetId,
                devcmd::VscWriteSector(sector, static_cast<BYTE>(Flag80), static_cast<BYTE>(SpareFlag)), buffer);
}
BYTE WINAPI VSCReadSector(BYTE HostAdapterId, BYTE TargetId, BYTE* buffer, DWORD sector, int Flag80,
                          int SpareFlag) {
    return Send(HostAdapterId, TargetId,
                devcmd::VscReadSector(sector, static_cast<BYTE>(Flag80), static_cast<BYTE>(SpareFlag)), buffer);
}
BYTE WINAPI GetPhyBlock(BYTE HostAdapterId, BYTE TargetId, DWORD logicalBlock, BYTE* destination, int Flag01,
                        int Flag80) {
    return Send(HostAdapterId, TargetId, devcmd::GetPhyBlock(logicalBlock, Flag01, Flag80), destination);
}
#else
int WINAPI VSCWriteSector(HANDLE DeviceHandle, DWORD sector, BYTE* buffer, int Flag80, int SpareFlag) {
    return SendOut(DeviceHandle, devcmd::VscWriteSector(sector, Flag80, SpareFlag), buffer);
}
int WINAPI VSCReadSector(HANDLE DeviceHandle, BYTE* buffer, DWORD sector, int Flag80, int SpareFlag) {
    const devcmd::Command command = devcmd::VscReadSector(sector, Flag80, SpareFlag);
    return SendIn(DeviceHandle, command, buffer, command.transferLength);
}
int WINAPI GetPhyBlock(HANDLE DeviceHandle, DWORD logicalBlock, BYTE* destination, BYTE length, int Flag01,
                       int Flag80) {
    return SendIn(DeviceHandle, devcmd::GetPhyBlock(logicalBlock, Flag01, Flag80), destination, length);
}
#endif

// ----------------------------------------------------------------------- queries

#ifdef KT4790_ASPI
BYTE WINAPI GetChipVersion(BYTE HostAdapterId, BYTE TargetId, BYTE* destination) {
    return Send(HostAdapterId, TargetId, devcmd::GetChipVersion(), destination);
}
BYTE WINAPI GetMediaSize(BYTE HostAdapterId, BYTE TargetId, BYTE* destination) {
    return Send(HostAdapterId, TargetId, devcmd::GetMediaSize(), destination);
}
BYTE WINAPI PwdExist(BYTE HostAdapterId, BYTE TargetId, BYTE* destination) {
    return Send(HostAdapterId, TargetId, devcmd::PwdExist(), destination);
}
int WINAPI WriteProtect(BYTE HostAdapterId, BYTE TargetId) {
    BYTE reply[aspi::kDataAreaSize];
    if (!aspi::Send(HostAdapterId, TargetId, devcmd::ModeSense10(), reply)) return -1;
    return (reply[3] >> 7) & 1;
}
#else
// GetChipVersion and SenseCommand take a full 32-bit length: above the
// 512-byte data area SendIn refuses it before anything is sent.
int WINAPI GetChipVersion(HANDLE DeviceHandle, BYTE* destination, DWORD length) {
    return SendIn(DeviceHandle, devcmd::GetChipVersion(), destination, length);
}
int WINAPI GetMediaSize(HANDLE DeviceHandle, BYTE* destination, BYTE length) {
    return SendIn(DeviceHandle, devcmd::GetMediaSize(), destination, length);
}
int WINAPI PwdExist(HANDLE DeviceHandle, BYTE* destination, BYTE length) {
    return SendIn(DeviceHandle, devcmd::PwdExist(), destination, length);
}
int WINAPI SenseCommand(HANDLE DeviceHandle, BYTE* destination, DWORD length) {
    return SendIn(DeviceHandle, devcmd::SenseCommand(), destination, length);
}
int WINAPI WriteProtect(HANDLE DeviceHandle) {
    passthrough::PassThroughRecord record;
    if (!passthrough::Send(DeviceHandle, devcmd::ModeSense10(), record).ok()) return -1;
    return (record.data[3] >> 7) & 1;
}
#endif

// ------------------------------------------------------ standard SCSI (KT4790DLL)

#ifndef KT4790_ASPI
int WINAPI InquiryCommand(HANDLE DeviceHandle, BYTE* destination) {
    return SendIn(DeviceHandle, devcmd::Inquiry(), destination, kt4790::kInquiryLength);
}

// Succeeds when the request was delivered, whatever the SCSI status says.
int WINAPI GetCapacity(HANDLE DeviceHandle, DWORD* count) {
    passthrough::PassThroughRecord record;
    if (!passthrough::Send(DeviceHandle, devcmd::ReadCapacity10(), record).delivered) return 0;
    *count = kt4790::ReadBigEndian32(record.data) + 1;
    return 1;
}

// A length above the 512-byte data area is refused before anything is sent
// (by SendIn and passthrough::Send respectively).
int WINAPI ReadSector(HANDLE DeviceHandle, DWORD* block, BYTE* destination, DWORD length) {
    return SendIn(DeviceHandle, devcmd::Read10(*block, length), destination, length);
}

int WINAPI WriteSector(HANDLE DeviceHandle, DWORD* block, BYTE* source, DWORD length) {
    return SendOut(DeviceHandle, devcmd::Write10(*block, length), source);
}
#endif
