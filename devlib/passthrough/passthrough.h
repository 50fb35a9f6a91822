// The SCSI pass-through transport of KT4790DLL (and of the monitor
// KT4790Mon): one synchronous DeviceIoControl per command, on a buffered
// request record that serves as both input and output buffer.
#pragma once

#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <cstddef>
#include <cstdint>

#include "devlib/cdb.h"

namespace passthrough {

constexpr std::uint8_t kTargetId = 1;
constexpr std::uint8_t kSenseInfoLength = 32;
constexpr std::uint32_t kTimeOutSeconds = 2;
constexpr std::uint8_t kDataIn = 1;   // commands that read
constexpr std::uint8_t kDataOut = 0;  // commands that write, and those that move no data
constexpr std::uint32_t kDataAreaSize = 512;

// PassThroughRecord: the SCSI_PASS_THROUGH header, a filler, the sense area
// the driver fills (never read) and the data area.
struct PassThroughRecord {
    SCSI_PASS_THROUGH header;
    std::uint8_t filler[4];
    std::uint8_t sense[kSenseInfoLength];
    std::uint8_t data[kDataAreaSize];
};

// The 32-bit layout, on both builds (winsim declares the header with it).
// A 64-bit Windows build has a wider header; the code takes every offset and
// size from the declarations, so it is right there too.
#ifndef _WIN64
static_assert(sizeof(SCSI_PASS_THROUGH) == 44, "SCSI_PASS_THROUGH is 44 bytes");
static_assert(offsetof(SCSI_PASS_THROUGH, ScsiStatus) == 2, "ScsiStatus at 2");
static_assert(offsetof(SCSI_PASS_THROUGH, PathId) == 3, "PathId at 3");
static_assert(offsetof(SCSI_PASS_THROUGH, TargetId) == 4, "TargetId at 4");
static_assert(offsetof(SCSI_PASS_THROUGH, Lun) == 5, "Lun at 5");
static_assert(offsetof(SCSI_PASS_THROUGH, CdbLength) == 6, "CdbLength at 6");
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoLength) == 7, "SenseInfoLength at 7");
static_assert(offsetof(SCSI_PASS_THROUGH, DataIn) == 8, "DataIn at 8");
static_assert(offsetof(SCSI_PASS_THROUGH, DataTransferLength) == 12, "DataTransferLength at 12");
static_assert(offsetof(SCSI_PASS_THROUGH, TimeOutValue) == 16, "TimeOutValue at 16");
static_assert(offsetof(SCSI_PASS_THROUGH, DataBufferOffset) == 20, "DataBufferOffset at 20");
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoOffset) == 24, "SenseInfoOffset at 24");
static_assert(offsetof(SCSI_PASS_THROUGH, Cdb) == 28, "Cdb at 28");
static_assert(offsetof(PassThroughRecord, filler) == 44, "filler at 44");
static_assert(offsetof(PassThroughRecord, sense) == 48, "sense area at 48");
static_assert(offsetof(PassThroughRecord, data) == 80, "data area at 80");
static_assert(sizeof(PassThroughRecord) == 592, "PassThroughRecord is 592 bytes");
#endif

// What one control call gave: whether it returned non-zero, the SCSI
// status and the length of the data phase the driver wrote into the record.
struct Outcome {
    bool delivered = false;
    std::uint8_t scsiStatus = 0;
    std::uint32_t transferred = 0;
    // The success test of every command but GetCapacity.
    bool ok() const { return delivered && devcmd::ScsiStatusOk(scsiStatus); }
};

// Input and output sizes of the control call for `command`: the whole record
// goes in for data out (and for MODE SENSE(10), whose request has always been
// sent whole), the header alone for data in; the output is the header area
// plus the transfer.
DWORD InputSize(const devcmd::Command& command);
DWORD OutputSize(const devcmd::Command& command);

// Sends one command on `device`: zeroes `record`, copies the command's
// transfer length of `dataOut` into the data area for data out, fills the
// header and makes one DeviceIoControl. The reply stays in `record.data`.
// A transfer length above the data area is not sent (not delivered).
Outcome Send(HANDLE device, const devcmd::Command& command, PassThroughRecord& record,
             const std::uint8_t* dataOut = nullptr);

}  // namespace passthrough
