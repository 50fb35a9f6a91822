// What an emulated disk does with a request that reaches it through the
// system: the disk class driver's pass-through checks and execution, the
// ASPI manager's request checks and completion, SetupAPI's interface
// records and the device paths of USB disks.
//
// Portable: no World, no operating-system calls. It compiles against
// winsim's headers on Linux (winsim's stand-ins call it) and against the
// system headers on Windows (the emulated device stack calls it). Every
// function leaves the last error alone and returns what the caller reports.
#pragma once

#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>
#include <setupapi.h>

#include <cstdint>
#include <string>
#include <vector>

#include "devlib/aspi/aspi.h"
// The system headers name a function of their own LoadImage (a macro): the
// controller's image loader must keep its name.
#undef LoadImage
#include "emulator/controller.h"

namespace devstack {

// --- USB disks --------------------------------------------------------------

// The disk interface class SetupAPI lists the disks under.
extern const GUID kDiskInterfaceClass;
bool SameGuid(const GUID& a, const GUID& b);

// The interface path a USB disk of this controller gets: vendor and product
// of the controller, the INQUIRY revision, a serial number, the disk class.
std::string MakeInterfacePath(const emulator::Config& config, unsigned serial);

// Whether `name` is in the device namespace ("\\?\..." or "\\.\...").
bool IsDevicePath(const char* name);

// ASPI addresses are handed out adapter by adapter, this many targets each.
constexpr int kTargetsPerAdapter = 8;

// --- SetupAPI ----------------------------------------------------------------

// Whether SetupDiGetClassDevsA with these arguments lists disk interfaces:
// only interfaces of the disk class are asked for; as a setup class the
// GUID names no devices.
bool ListsDiskInterfaces(const GUID& classGuid, DWORD flags);

// SetupDiEnumDeviceInterfaces on a list of `count` interfaces of class
// `listClass`: fills `data` and returns ERROR_SUCCESS, or the error.
DWORD EnumDeviceInterface(const GUID& listClass, std::size_t count, const GUID* interfaceClass, DWORD memberIndex,
                          SP_DEVICE_INTERFACE_DATA* data);

// The interface an interface record names, or null.
const std::string* FindInterface(const std::vector<std::string>& paths, const SP_DEVICE_INTERFACE_DATA& data);

// SetupDiGetDeviceInterfaceDetailA on a list with `paths`: the size rules
// and the filling of the detail record. ERROR_SUCCESS or the error (the
// size query without a record ends in ERROR_INSUFFICIENT_BUFFER).
DWORD GetInterfaceDetail(const std::vector<std::string>& paths, const SP_DEVICE_INTERFACE_DATA* data,
                         SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailSize, DWORD* requiredSize);

// --- SCSI pass-through --------------------------------------------------------

// The checks DeviceIoControl makes on an open disk (opened with `access`)
// before the driver sees the request: no overlapped call, the pass-through
// control code only, which needs read and write access.
DWORD CheckPassThroughCall(DWORD access, DWORD code, const void* overlapped);

// Copies the request header from the input buffer; false when the input
// cannot hold one.
bool ReadPassThroughHeader(const void* input, DWORD inputSize, SCSI_PASS_THROUGH& header);

// The checks a disk class driver makes on a buffered pass-through request
// before it lets the command go to the device.
bool PassThroughRecordValid(const SCSI_PASS_THROUGH& header, DWORD inputSize, const void* output, DWORD outputSize);

// Runs a checked request on `controller`; on delivery writes the header with
// the target's status back into `output` and sets `bytesReturned`. Returns
// ERROR_SUCCESS, or ERROR_GEN_FAILURE when the command did not reach the device.
DWORD RunPassThrough(emulator::Controller& controller, SCSI_PASS_THROUGH header, void* input, void* output,
                     DWORD* bytesReturned);

// A delivered request (its header written back into `output`) whose effect
// the device could not keep: it completes with check condition, and the
// sense data the request has room for says medium error (write error).
void FailPassThroughAsMediumError(void* output);

// --- ASPI ----------------------------------------------------------------------

// Request states beyond those the product names.
using ::SS_INVALID_CMD;
using ::SS_INVALID_SRB;
constexpr BYTE SS_INVALID_HA = 0x81;   // no such host adapter
constexpr BYTE SS_NO_DEVICE = 0x82;    // no device at that target
constexpr BYTE SS_NO_ADAPTERS = 0xE8;  // GetASPI32SupportInfo: nothing to drive

using ::HASTAT_DO_DU;
using ::HASTAT_OK;
constexpr BYTE HASTAT_SEL_TO = 0x11;  // the target did not answer

// GetASPI32SupportInfo's answer for this many host adapters.
DWORD AspiSupportInfo(int adapters);

// What the ASPI layer takes from the block when the request is sent.
struct AspiRequest {
    SRB_ExecSCSICmd* srb = nullptr;
    BYTE haId = 0;
    BYTE target = 0;
    BYTE lun = 0;
    BYTE flags = 0;
    BYTE cdbLength = 0;
    BYTE cdb[16] = {};
    BYTE* buffer = nullptr;
    DWORD bufferLength = 0;
    void* postProc = nullptr;
};

// Whether the block can be executed at all: a CDB length of 1-16, one data
// direction when there is data, one way of notification.
bool AspiBlockConsistent(const SRB_ExecSCSICmd& srb);

// The request a consistent block of SC_EXEC_SCSI_CMD carries.
AspiRequest TakeAspiRequest(SRB_ExecSCSICmd& srb);

// Where a request's target stands.
enum class AspiTarget { NoAdapter, NoDevice, Present };

// Runs the request (on `controller` when the target is Present) and writes
// its outcome into the block. Returns the SRB_Status written.
BYTE CompleteAspiRequest(const AspiRequest& request, AspiTarget where, emulator::Controller* controller);

// A completed request whose effect the device could not keep: check
// condition, with medium-error sense data in the block's sense area.
// Returns the SRB_Status written.
BYTE FailAspiRequestAsMediumError(const AspiRequest& request);

}  // namespace devstack
