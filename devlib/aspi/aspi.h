// ASPI for Win32: the request block and the two entry points of the ASPI
// manager WNASPI32, as the ASPI builds (KT4790mDLL, KT4790mMon) use them.
//
// No system header declares ASPI, so this one serves both platforms: on
// Windows the two functions are imported from WNASPI32.dll by ordinal
// (1 GetASPI32SupportInfo, 2 SendASPI32Command, C calling convention); on
// Linux winsim implements them over the emulated devices of the World.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstring>

#include "devlib/cdb.h"

#ifdef _WIN32
#define ASPI_CDECL __cdecl
#else
#define ASPI_CDECL
#endif

// SRB_Cmd
constexpr BYTE SC_EXEC_SCSI_CMD = 0x02;  // execute one SCSI command

// SRB_Flags
constexpr BYTE SRB_POSTING = 0x01;       // SRB_PostProc is a completion routine
constexpr BYTE SRB_DIR_IN = 0x08;        // data from the target
constexpr BYTE SRB_DIR_OUT = 0x10;       // data to the target
constexpr BYTE SRB_EVENT_NOTIFY = 0x40;  // SRB_PostProc is an event handle

// SRB_Status, and the immediate result of SendASPI32Command
constexpr BYTE SS_PENDING = 0x00;       // still in progress
constexpr BYTE SS_COMP = 0x01;          // completed without error
constexpr BYTE SS_ERR = 0x04;           // completed with an error: see SRB_HaStat and SRB_TargStat
constexpr BYTE SS_INVALID_CMD = 0x80;   // SRB_Cmd is no command the manager offers
constexpr BYTE SS_INVALID_SRB = 0xE0;   // the block contradicts itself
constexpr BYTE SS_ASPI_IS_BUSY = 0xE5;  // the manager has no room for the request now
constexpr BYTE SS_BAD_INSTALL = 0xEB;   // the last of the manager's own failures, 0xE0 on

// SRB_HaStat
constexpr BYTE HASTAT_OK = 0x00;     // the host adapter delivered the command
constexpr BYTE HASTAT_DO_DU = 0x12;  // data overrun or underrun

// Whether the immediate result of SendASPI32Command says that the manager
// did not take the request at all: an invalid command code or block, or a
// failure of the manager itself (0xE0-0xEB: alignment, mode, no manager,
// initialisation, busy, transfer too big, resources, shut down, install).
// Such a request never runs: no completion routine is called and no event
// is set for it, and its block is the sender's again at once. Every other
// result, SS_PENDING or a status of a request that has run (SS_COMP,
// SS_ERR, SS_NO_DEVICE, ...), is followed by the completion the block asks
// for, which may even have come before SendASPI32Command returned.
inline bool RefusedAtOnce(DWORD status) {
    return status == SS_INVALID_CMD || (status >= SS_INVALID_SRB && status <= SS_BAD_INSTALL);
}

// The request block of SC_EXEC_SCSI_CMD. Offsets are those of the 32-bit
// interface (checked below in the Windows build); on a 64-bit Linux build
// the two pointers widen it and the fields after them move.
struct SRB_ExecSCSICmd {
    BYTE SRB_Cmd;          // SC_EXEC_SCSI_CMD
    BYTE SRB_Status;       // written by the ASPI layer
    BYTE SRB_HaId;         // host adapter
    BYTE SRB_Flags;        // direction and notification bits
    DWORD SRB_Hdr_Rsvd;
    BYTE SRB_Target;
    BYTE SRB_Lun;
    WORD SRB_Rsvd1;
    DWORD SRB_BufLen;      // bytes of the data phase
    BYTE* SRB_BufPointer;  // data buffer
    BYTE SRB_SenseLen;
    BYTE SRB_CDBLen;       // command bytes the target receives
    BYTE SRB_HaStat;       // written by the ASPI layer
    BYTE SRB_TargStat;     // written by the ASPI layer
    void* SRB_PostProc;    // completion routine (AspiPostProc) or event handle
    BYTE SRB_Rsvd2[20];
    BYTE CDBByte[16];
    BYTE SenseArea[16];
};

// The completion routine named by SRB_PostProc when SRB_POSTING is set:
// called once, with the finished block, in the ASPI layer's context.
using AspiPostProc = void(ASPI_CDECL*)(void* srb);

#if defined(_WIN32) && !defined(_WIN64)
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Status) == 1, "SRB_Status at 1");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_HaId) == 2, "SRB_HaId at 2");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Flags) == 3, "SRB_Flags at 3");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Hdr_Rsvd) == 4, "SRB_Hdr_Rsvd at 4");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Target) == 8, "SRB_Target at 8");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Lun) == 9, "SRB_Lun at 9");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_BufLen) == 12, "SRB_BufLen at 12");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_BufPointer) == 16, "SRB_BufPointer at 16");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_SenseLen) == 20, "SRB_SenseLen at 20");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_CDBLen) == 21, "SRB_CDBLen at 21");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_HaStat) == 22, "SRB_HaStat at 22");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_TargStat) == 23, "SRB_TargStat at 23");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_PostProc) == 24, "SRB_PostProc at 24");
static_assert(offsetof(SRB_ExecSCSICmd, SRB_Rsvd2) == 28, "SRB_Rsvd2 at 28");
static_assert(offsetof(SRB_ExecSCSICmd, CDBByte) == 48, "CDBByte at 48");
static_assert(offsetof(SRB_ExecSCSICmd, SenseArea) == 64, "SenseArea at 64");
static_assert(sizeof(SRB_ExecSCSICmd) == 80, "SRB_ExecSCSICmd is 80 bytes");
#endif

// Whether a finished request's data phase ended early: the manager reports
// it as SS_ERR with host adapter status HASTAT_DO_DU, the target's status
// beside it.
inline bool DataPhaseEndedEarly(const SRB_ExecSCSICmd& srb) {
    return srb.SRB_Status == SS_ERR && srb.SRB_HaStat == HASTAT_DO_DU;
}

// Whether a reply to `command` whose data phase ended early still answers
// it. The manager counts the bytes that came only for a request that asks
// it to (residual counting, which no request of the suite asks for), so
// such a reply vouches for none of its bytes: only one that states its own
// length (INQUIRY, MODE SENSE) is taken, as far as it came, the bytes that
// did not come reading as zero in the sender's zeroed buffer. A vendor
// query whose reply ended early fails: a block number or a media size
// made of bytes that never came would be used as the device's word.
inline bool EarlyEndAnswers(const devcmd::Command& command) { return command.replyMayBeShort; }

// Low byte: the number of host adapters. The other bytes are not used here.
extern "C" DWORD ASPI_CDECL GetASPI32SupportInfo(void);
// Starts the request `srb` (an SRB_ExecSCSICmd). With SRB_POSTING its
// completion routine runs when the request has finished.
extern "C" DWORD ASPI_CDECL SendASPI32Command(void* srb);

// SRB_SenseLen of every request the suite sends.
constexpr BYTE kAspiSenseLength = 14;

// Fills a zero-filled block for one command to `haId`:`target`, LUN 0: the
// direction and length from the command, the data in `buffer`, and the
// completion by `notify` (SRB_POSTING with a routine, or SRB_EVENT_NOTIFY
// with an event) through `post`.
inline void FillExecRequest(SRB_ExecSCSICmd& srb, BYTE haId, BYTE target, const devcmd::Command& command,
                            BYTE* buffer, BYTE notify, void* post) {
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_HaId = haId;
    srb.SRB_Flags =
        static_cast<BYTE>((command.direction == devcmd::Direction::In ? SRB_DIR_IN : SRB_DIR_OUT) | notify);
    srb.SRB_Target = target;
    srb.SRB_Lun = 0;
    srb.SRB_BufLen = command.transferLength;
    srb.SRB_BufPointer = buffer;
    srb.SRB_SenseLen = kAspiSenseLength;
    srb.SRB_CDBLen = command.cdbLength;
    srb.SRB_PostProc = post;
    std::memcpy(srb.CDBByte, command.cdb.bytes, sizeof srb.CDBByte);
}
