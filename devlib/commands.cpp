// Every command export of both builds. Each sends one request, KT4790DLL
// over SCSI pass-through and KT4790mDLL over ASPI; in both a reply reaches
// the caller's buffer only after the success test.
#include "devlib/devcmd.h"

#include <algorithm>
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
// reply go to `destination`, up to 512, the size of the data area. A reply
// the driver reports shorter than that copy (for INQUIRY and MODE SENSE,
// whose replies state their own length, shorter than the byte 3 read of
// them) fails the command, the destination untouched (devcmd::ReplyCovers):
// half a sector read as zeroes would pass for data (a PartitionWord of 0,
// say). Within the copy, what the controller did not send reads as zero;
// the driver's count is believed no further than the transfer length.
int SendIn(HANDLE device, const devcmd::Command& command, BYTE* destination, DWORD copyLength) {
    if (copyLength > passthrough::kDataAreaSize) return 0;
    passthrough::PassThroughRecord record;
    const passthrough::Outcome outcome = passthrough::Send(device, command, record);
    if (!outcome.ok()) return 0;
    const DWORD delivered = std::min<DWORD>(outcome.transferred, command.transferLength);
    if (!devcmd::ReplyCovers(command, delivered, copyLength)) return 0;
    const DWORD sent = std::min(delivered, copyLength);
    if (sent != 0) std::memcpy(destination, record.data, sent);
    if (copyLength > sent) std::memset(destination + sent, 0, copyLength - sent);
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
    BYTE header[4];  // the mode parameter header up to its write-protect byte
    if (!SendIn(DeviceHandle, devcmd::ModeSense10(), header, sizeof header)) return -1;
    return (header[3] >> 7) & 1;
}
#endif

// ------------------------------------------------------ standard SCSI (KT4790DLL)

#ifndef KT4790_ASPI
int WINAPI InquiryCommand(HANDLE DeviceHandle, BYTE* destination) {
    return SendIn(DeviceHandle, devcmd::Inquiry(), destination, kt4790::kInquiryLength);
}

// Succeeds when the request was delivered, whatever the SCSI status says,
// and brought the 4 bytes the count is made of: a count of bytes that never
// came is no count.
int WINAPI GetCapacity(HANDLE DeviceHandle, DWORD* count) {
    constexpr DWORD kLastBlockBytes = 4;
    const devcmd::Command command = devcmd::ReadCapacity10();
    passthrough::PassThroughRecord record;
    const passthrough::Outcome outcome = passthrough::Send(DeviceHandle, command, record);
    if (!outcome.delivered || !devcmd::ReplyCovers(command, outcome.transferred, kLastBlockBytes)) return 0;
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
