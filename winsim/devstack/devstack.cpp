#include "winsim/devstack/devstack.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace devstack {

namespace {

constexpr DWORD kHeaderSize = sizeof(SCSI_PASS_THROUGH);
// The size fields callers put into the SetupAPI records.
constexpr DWORD kInterfaceDataSize = sizeof(SP_DEVICE_INTERFACE_DATA);
constexpr DWORD kDetailDataSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
constexpr DWORD kDevicePathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);

// Fixed-format sense data: sense key 3 (medium error), additional sense code
// 0x0C (write error).
constexpr BYTE kMediumErrorSense[18] = {0x70, 0, 0x03, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x0C, 0, 0, 0, 0, 0};

}  // namespace

const GUID kDiskInterfaceClass = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

bool SameGuid(const GUID& a, const GUID& b) {
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 && std::equal(a.Data4, a.Data4 + 8, b.Data4);
}

std::string MakeInterfacePath(const emulator::Config& config, unsigned serial) {
    std::string revision;
    for (char c : config.revision) {
        if (c == '\0') continue;
        revision += c == ' ' ? '_' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    char serialText[16];
    std::snprintf(serialText, sizeof serialText, "%012u", serial);
    return "\\\\?\\usbstor#disk&ven_kt4790&prod_flash_disk&rev_" + revision + "#" + serialText +
           "&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
}

bool IsDevicePath(const char* name) {
    return name[0] == '\\' && name[1] == '\\' && (name[2] == '?' || name[2] == '.') && name[3] == '\\';
}

// --- SetupAPI ----------------------------------------------------------------

bool ListsDiskInterfaces(const GUID& classGuid, DWORD flags) {
    return (flags & DIGCF_DEVICEINTERFACE) != 0 && SameGuid(classGuid, kDiskInterfaceClass);
}

DWORD EnumDeviceInterface(const GUID& listClass, std::size_t count, const GUID* interfaceClass, DWORD memberIndex,
                          SP_DEVICE_INTERFACE_DATA* data) {
    if (data == nullptr || data->cbSize != kInterfaceDataSize) return ERROR_INVALID_USER_BUFFER;
    if (interfaceClass == nullptr) return ERROR_INVALID_PARAMETER;
    if (!SameGuid(*interfaceClass, listClass) || memberIndex >= count) return ERROR_NO_MORE_ITEMS;
    data->InterfaceClassGuid = listClass;
    data->Flags = SPINT_ACTIVE;
    // The interface's position in the list, counted from 1.
    data->Reserved = memberIndex + 1;
    return ERROR_SUCCESS;
}

const std::string* FindInterface(const std::vector<std::string>& paths, const SP_DEVICE_INTERFACE_DATA& data) {
    if (data.Reserved == 0 || data.Reserved > paths.size()) return nullptr;
    return &paths[data.Reserved - 1];
}

DWORD GetInterfaceDetail(const std::vector<std::string>& paths, const SP_DEVICE_INTERFACE_DATA* data,
                         SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailSize, DWORD* requiredSize) {
    if (data == nullptr || data->cbSize != kInterfaceDataSize) return ERROR_INVALID_USER_BUFFER;
    const std::string* path = FindInterface(paths, *data);
    if (path == nullptr) return ERROR_INVALID_PARAMETER;

    const DWORD required = kDevicePathOffset + static_cast<DWORD>(path->size()) + 1;
    if (detail == nullptr) {
        if (detailSize != 0) return ERROR_INVALID_USER_BUFFER;
        if (requiredSize != nullptr) *requiredSize = required;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    if (detailSize < kDetailDataSize || detail->cbSize != kDetailDataSize) return ERROR_INVALID_USER_BUFFER;
    if (requiredSize != nullptr) *requiredSize = required;
    if (detailSize < required) return ERROR_INSUFFICIENT_BUFFER;
    // The path runs past the declared one-character array, into the room the caller gave.
    char* devicePath = reinterpret_cast<char*>(detail) + kDevicePathOffset;
    std::memcpy(devicePath, path->c_str(), path->size() + 1);
    return ERROR_SUCCESS;
}

// --- SCSI pass-through --------------------------------------------------------

DWORD CheckPassThroughCall(DWORD access, DWORD code, const void* overlapped) {
    if (overlapped != nullptr) return ERROR_INVALID_PARAMETER;
    if (code != IOCTL_SCSI_PASS_THROUGH) return ERROR_INVALID_FUNCTION;
    const DWORD readWrite = GENERIC_READ | GENERIC_WRITE;
    if ((access & readWrite) != readWrite) return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

bool ReadPassThroughHeader(const void* input, DWORD inputSize, SCSI_PASS_THROUGH& header) {
    if (input == nullptr || inputSize < kHeaderSize) return false;
    std::memcpy(&header, input, kHeaderSize);
    return true;
}

bool PassThroughRecordValid(const SCSI_PASS_THROUGH& header, DWORD inputSize, const void* output, DWORD outputSize) {
    if (header.Length != kHeaderSize) return false;
    if (header.CdbLength == 0 || header.CdbLength > sizeof header.Cdb) return false;
    // The driver writes the header back, so the output must hold one.
    if (output == nullptr || outputSize < kHeaderSize) return false;
    if (header.DataIn > SCSI_IOCTL_DATA_UNSPECIFIED) return false;

    if (header.DataTransferLength != 0) {
        if (header.DataIn == SCSI_IOCTL_DATA_UNSPECIFIED) return false;
        if (header.DataBufferOffset < kHeaderSize) return false;
        const std::uint64_t end = std::uint64_t{header.DataBufferOffset} + header.DataTransferLength;
        const DWORD room = header.DataIn == SCSI_IOCTL_DATA_IN ? outputSize : inputSize;
        if (end > room) return false;
    }
    if (header.SenseInfoLength != 0) {
        if (header.SenseInfoOffset < kHeaderSize) return false;
        if (std::uint64_t{header.SenseInfoOffset} + header.SenseInfoLength > outputSize) return false;
    }
    return true;
}

DWORD RunPassThrough(emulator::Controller& controller, SCSI_PASS_THROUGH header, void* input, void* output,
                     DWORD* bytesReturned) {
    emulator::DataDirection direction = emulator::DataDirection::None;
    std::uint8_t* data = nullptr;
    if (header.DataIn == SCSI_IOCTL_DATA_IN) {
        direction = emulator::DataDirection::In;
        data = static_cast<std::uint8_t*>(output) + header.DataBufferOffset;
    } else if (header.DataIn == SCSI_IOCTL_DATA_OUT) {
        direction = emulator::DataDirection::Out;
        data = static_cast<std::uint8_t*>(input) + header.DataBufferOffset;
    }
    if (header.DataTransferLength == 0) data = nullptr;

    const emulator::Outcome outcome =
        controller.Execute(header.Cdb, header.CdbLength, direction, data, header.DataTransferLength);
    if (!outcome.delivered) return ERROR_GEN_FAILURE;

    // The header comes back in the output buffer with the target's status
    // and the bytes that moved: a short transfer shows only there.
    header.ScsiStatus = outcome.status;
    if (header.DataTransferLength != 0) header.DataTransferLength = outcome.transferred;
    std::memmove(output, &header, kHeaderSize);
    if (bytesReturned != nullptr) {
        *bytesReturned = header.DataIn == SCSI_IOCTL_DATA_IN
                             ? static_cast<DWORD>(header.DataBufferOffset + header.DataTransferLength)
                             : kHeaderSize;
    }
    return ERROR_SUCCESS;
}

void FailPassThroughAsMediumError(void* output) {
    SCSI_PASS_THROUGH header;
    std::memcpy(&header, output, kHeaderSize);
    header.ScsiStatus = emulator::kStatusCheckCondition;
    header.SenseInfoLength = static_cast<UCHAR>(std::min<std::size_t>(header.SenseInfoLength, sizeof kMediumErrorSense));
    std::memcpy(static_cast<std::uint8_t*>(output) + header.SenseInfoOffset, kMediumErrorSense, header.SenseInfoLength);
    std::memcpy(output, &header, kHeaderSize);
}

// --- ASPI ----------------------------------------------------------------------

DWORD AspiSupportInfo(int adapters) {
    const DWORD status = adapters == 0 ? SS_NO_ADAPTERS : SS_COMP;
    return (status << 8) | static_cast<DWORD>(adapters & 0xFF);
}

bool AspiBlockConsistent(const SRB_ExecSCSICmd& srb) {
    if (srb.SRB_CDBLen == 0 || srb.SRB_CDBLen > sizeof srb.CDBByte) return false;
    const BYTE direction = srb.SRB_Flags & (SRB_DIR_IN | SRB_DIR_OUT);
    if (direction == (SRB_DIR_IN | SRB_DIR_OUT)) return false;
    if (srb.SRB_BufLen != 0 && (direction == 0 || srb.SRB_BufPointer == nullptr)) return false;
    const bool posting = (srb.SRB_Flags & SRB_POSTING) != 0;
    const bool event = (srb.SRB_Flags & SRB_EVENT_NOTIFY) != 0;
    if (posting && event) return false;
    if (posting && srb.SRB_PostProc == nullptr) return false;
    return true;
}

AspiRequest TakeAspiRequest(SRB_ExecSCSICmd& srb) {
    AspiRequest request;
    request.srb = &srb;
    request.haId = srb.SRB_HaId;
    request.target = srb.SRB_Target;
    request.lun = srb.SRB_Lun;
    request.flags = srb.SRB_Flags;
    request.cdbLength = srb.SRB_CDBLen;
    std::memcpy(request.cdb, srb.CDBByte, sizeof request.cdb);
    request.buffer = srb.SRB_BufPointer;
    request.bufferLength = srb.SRB_BufLen;
    request.postProc = srb.SRB_PostProc;
    return request;
}

BYTE CompleteAspiRequest(const AspiRequest& request, AspiTarget where, emulator::Controller* controller) {
    BYTE status = SS_COMP;
    BYTE hostStatus = HASTAT_OK;
    BYTE targetStatus = 0;
    if (where == AspiTarget::NoAdapter) {
        status = SS_INVALID_HA;
    } else if (where == AspiTarget::NoDevice || controller == nullptr || request.lun != 0) {
        status = SS_NO_DEVICE;
    } else {
        emulator::DataDirection direction = emulator::DataDirection::None;
        if ((request.flags & SRB_DIR_IN) != 0) direction = emulator::DataDirection::In;
        if ((request.flags & SRB_DIR_OUT) != 0) direction = emulator::DataDirection::Out;
        const emulator::Outcome outcome = controller->Execute(
            request.cdb, request.cdbLength, direction, request.bufferLength != 0 ? request.buffer : nullptr,
            request.bufferLength);
        if (!outcome.delivered) {
            status = SS_ERR;
            hostStatus = HASTAT_SEL_TO;
        } else if (outcome.status != emulator::kStatusCheckCondition && outcome.transferred < request.bufferLength) {
            // The manager reports a data phase that ended early as an
            // underrun of the host adapter, whatever the target said.
            status = SS_ERR;
            hostStatus = HASTAT_DO_DU;
            targetStatus = outcome.status;
        } else {
            targetStatus = outcome.status;
            status = outcome.status == emulator::kStatusGood ? SS_COMP : SS_ERR;
        }
    }
    request.srb->SRB_HaStat = hostStatus;
    request.srb->SRB_TargStat = targetStatus;
    request.srb->SRB_Status = status;
    return status;
}

BYTE FailAspiRequestAsMediumError(const AspiRequest& request) {
    SRB_ExecSCSICmd& srb = *request.srb;
    const std::size_t room = std::min<std::size_t>(srb.SRB_SenseLen, sizeof srb.SenseArea);
    std::memcpy(srb.SenseArea, kMediumErrorSense, std::min(room, sizeof kMediumErrorSense));
    srb.SRB_HaStat = HASTAT_OK;
    srb.SRB_TargStat = emulator::kStatusCheckCondition;
    srb.SRB_Status = SS_ERR;
    return srb.SRB_Status;
}

}  // namespace devstack
