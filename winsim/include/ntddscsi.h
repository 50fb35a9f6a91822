// SCSI pass-through through the disk class driver.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <cstddef>

#define IOCTL_SCSI_BASE FILE_DEVICE_CONTROLLER
#define IOCTL_SCSI_PASS_THROUGH \
    CTL_CODE(IOCTL_SCSI_BASE, 0x0401, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
static_assert(IOCTL_SCSI_PASS_THROUGH == 0x4D004, "IOCTL_SCSI_PASS_THROUGH is 0x4D004");

// DataIn
#define SCSI_IOCTL_DATA_OUT 0
#define SCSI_IOCTL_DATA_IN 1
#define SCSI_IOCTL_DATA_UNSPECIFIED 2

// The request header of the buffered pass-through call, in the layout of
// 32-bit Windows: DataBufferOffset is a 32-bit field here on every build, so
// the records built around this header have the same bytes everywhere.
struct SCSI_PASS_THROUGH {
    USHORT Length;
    UCHAR ScsiStatus;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    UCHAR CdbLength;
    UCHAR SenseInfoLength;
    UCHAR DataIn;
    ULONG DataTransferLength;
    ULONG TimeOutValue;
    ULONG DataBufferOffset;
    ULONG SenseInfoOffset;
    UCHAR Cdb[16];
};
typedef SCSI_PASS_THROUGH* PSCSI_PASS_THROUGH;

static_assert(sizeof(SCSI_PASS_THROUGH) == 44, "SCSI_PASS_THROUGH is 44 bytes");
static_assert(offsetof(SCSI_PASS_THROUGH, ScsiStatus) == 2, "ScsiStatus at 2");
static_assert(offsetof(SCSI_PASS_THROUGH, CdbLength) == 6, "CdbLength at 6");
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoLength) == 7, "SenseInfoLength at 7");
static_assert(offsetof(SCSI_PASS_THROUGH, DataIn) == 8, "DataIn at 8");
static_assert(offsetof(SCSI_PASS_THROUGH, DataTransferLength) == 12, "DataTransferLength at 12");
static_assert(offsetof(SCSI_PASS_THROUGH, TimeOutValue) == 16, "TimeOutValue at 16");
static_assert(offsetof(SCSI_PASS_THROUGH, DataBufferOffset) == 20, "DataBufferOffset at 20");
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoOffset) == 24, "SenseInfoOffset at 24");
static_assert(offsetof(SCSI_PASS_THROUGH, Cdb) == 28, "Cdb at 28");
