#include "devlib/passthrough/passthrough.h"

#include <cstring>

namespace passthrough {

DWORD InputSize(const devcmd::Command& command) {
    const bool wholeRecord =
        command.direction == devcmd::Direction::Out || command.cdb.bytes[0] == devcmd::kOpModeSense10;
    return wholeRecord ? sizeof(PassThroughRecord) : sizeof(SCSI_PASS_THROUGH);
}

DWORD OutputSize(const devcmd::Command& command) {
    return static_cast<DWORD>(offsetof(PassThroughRecord, data) + command.transferLength);
}

Outcome Send(HANDLE device, const devcmd::Command& command, PassThroughRecord& record,
             const std::uint8_t* dataOut) {
    Outcome outcome;
    if (command.transferLength > kDataAreaSize) return outcome;

    std::memset(&record, 0, sizeof record);
    if (command.direction == devcmd::Direction::Out && command.transferLength != 0 && dataOut != nullptr) {
        std::memcpy(record.data, dataOut, command.transferLength);
    }

    SCSI_PASS_THROUGH& h = record.header;
    h.Length = sizeof(SCSI_PASS_THROUGH);
    h.PathId = 0;
    h.TargetId = kTargetId;
    h.Lun = 0;
    h.CdbLength = command.cdbLength;
    h.SenseInfoLength = kSenseInfoLength;
    h.DataIn = command.direction == devcmd::Direction::In ? kDataIn : kDataOut;
    h.DataTransferLength = command.transferLength;
    h.TimeOutValue = kTimeOutSeconds;
    h.DataBufferOffset = offsetof(PassThroughRecord, data);
    h.SenseInfoOffset = offsetof(PassThroughRecord, sense);
    std::memcpy(h.Cdb, command.cdb.bytes, sizeof h.Cdb);

    DWORD bytesReturned = 0;
    const BOOL delivered = DeviceIoControl(device, IOCTL_SCSI_PASS_THROUGH, &record, InputSize(command), &record,
                                           OutputSize(command), &bytesReturned, nullptr);
    outcome.delivered = delivered != 0;
    outcome.scsiStatus = record.header.ScsiStatus;
    outcome.transferred = record.header.DataTransferLength;
    return outcome;
}

}  // namespace passthrough
