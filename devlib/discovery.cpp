// Device discovery: from a device name stored in the descriptor sector to a
// device address. KT4790DLL walks the disk interfaces of SetupAPI and opens
// them; KT4790mDLL walks the targets of every ASPI host adapter.
#include "devlib/devcmd.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kt4790/records.h"

#ifdef KT4790_ASPI
#include "devlib/aspi/aspi.h"
#include "devlib/aspi/transport.h"
#else
#include <setupapi.h>

#include "devlib/passthrough/interfaces.h"
#endif

namespace {

constexpr std::size_t kWorkBufferSize = 512;

enum class Walk { Next, Stop };

void UpperCase(char* text) {
    for (; *text != '\0'; ++text) *text = static_cast<char>(std::toupper(static_cast<unsigned char>(*text)));
}

bool Contains(const char* text, const char* part) { return std::strstr(text, part) != nullptr; }

// Writes entry `index` of a DeviceNameTable: the name length, then the name.
void FillEntry(BYTE* table, unsigned index, const BYTE* name, BYTE nameLength) {
    BYTE* entry = table + kt4790::kDeviceNameEntrySize * index;
    entry[0] = nameLength;
    std::memcpy(entry + 1, name, nameLength);
}

// Converts an n-byte UTF-16LE name to zero-terminated 8-bit text, in place
// (`buffer` holds at least n + 1 bytes): a unit 0x01-0xFF becomes that byte,
// a zero unit ends the text, and a unit above 0xFF becomes '?'.
void NameToText(BYTE* buffer, std::size_t nameLength) {
    std::size_t out = 0;
    for (std::size_t in = 0; in + 1 < nameLength; in += 2) {
        const unsigned unit = buffer[in] | (static_cast<unsigned>(buffer[in + 1]) << 8);
        if (unit == 0) break;
        buffer[out++] = unit <= 0xFF ? static_cast<BYTE>(unit) : static_cast<BYTE>('?');
    }
    buffer[out] = 0;
}

// ---------------------------------------------------------------- device access

#ifdef KT4790_ASPI
struct Device {
    BYTE haId;
    BYTE target;
};
bool ReadChipVersion(const Device& d, BYTE* buffer) { return GetChipVersion(d.haId, d.target, buffer) != 0; }
bool ReadMediaSize(const Device& d, BYTE* buffer) { return GetMediaSize(d.haId, d.target, buffer) != 0; }
bool ReadVsc(const Device& d, BYTE* buffer, DWORD sector, int flag80, int spareFlag) {
    return VSCReadSector(d.haId, d.target, buffer, sector, flag80, spareFlag) != 0;
}
#else
struct Device {
    HANDLE handle;
};
constexpr BYTE kChipVersionLength = 4;
constexpr BYTE kMediaSizeLength = 4;
bool ReadChipVersion(const Device& d, BYTE* buffer) {
    return GetChipVersion(d.handle, buffer, kChipVersionLength) != 0;
}
bool ReadMediaSize(const Device& d, BYTE* buffer) { return GetMediaSize(d.handle, buffer, kMediaSizeLength) != 0; }
bool ReadVsc(const Device& d, BYTE* buffer, DWORD sector, int flag80, int spareFlag) {
    return VSCReadSector(d.handle, buffer, sector, flag80, spareFlag) != 0;
}
#endif

// Reads the DescriptorSector into `sector`: sector 1 on chip 0x13; on chip
// 0x30 sector 1 of the first block whose spare area is valid.
bool LocateDescriptorSector(const Device& device, BYTE (&sector)[kt4790::kSectorSize], BYTE& chipCode) {
    if (!ReadChipVersion(device, sector)) return false;
    chipCode = sector[0];
    if (chipCode == kt4790::kChipCode13) return ReadVsc(device, sector, 1, 1, 0);
    if (chipCode != kt4790::kChipCode30) return false;

    if (!ReadMediaSize(device, sector)) return false;
    const DWORD step = kt4790::SectorsPerBlock(kt4790::ParseMediaSizeReply(sector).largeBlock);
    BYTE spare[kt4790::kSpareSize];
    // The search ends at the first valid spare area or the first failed read
    // (a read beyond the medium fails); it also ends where sector numbers
    // would wrap around, so a device that answers every read cannot hold it.
    for (DWORD first = 1;; first += step) {
        if (!ReadVsc(device, spare, first, 0, 1)) return false;
        if (kt4790::IsValidSpare(spare)) return ReadVsc(device, sector, first, 0, 0);
        if (first > 0xFFFFFFFFu - step) return false;
    }
}

// GetDeviceName of both builds. `length`: in (KT4790DLL only) the capacity,
// compared with the descriptor's length byte L; out the name length L - 2.
bool ReadDeviceName(const Device& device, BYTE* name, BYTE* length) {
    BYTE sector[kt4790::kSectorSize] = {};
    BYTE chipCode = 0;
    if (!LocateDescriptorSector(device, sector, chipCode)) return false;

    std::uint16_t bodyOffset = 0;
    std::uint8_t bodyLength = 0;
    if (!kt4790::FindNameDescriptor(sector, bodyOffset, bodyLength)) return false;
#ifndef KT4790_ASPI
    if (*length < bodyLength + 2) return false;
#endif
    std::memcpy(name, sector + bodyOffset, bodyLength);
    *length = bodyLength;

    // One more command whose result nobody reads.
#ifdef KT4790_ASPI
    (void)chipCode;
    PwdExist(device.haId, device.target, sector);
#else
    if (chipCode == kt4790::kChipCode30) InquiryCommand(device.handle, sector);
#endif
    return true;
}

#ifdef KT4790_ASPI

// ------------------------------------------------------------- ASPI discovery

const char kFallbackRevision[] = "P1.0";
constexpr unsigned kTargetsPerAdapter = 8;

// Vendor read of sector 0 and PwdExist, both ignored, then INQUIRY into
// `buffer` (512 bytes), whose success is the result.
bool AspiInquiry(BYTE haId, BYTE target, BYTE* buffer) {
    VSCReadSector(haId, target, buffer, 0, 1, 0);
    PwdExist(haId, target, buffer);
    return aspi::Send(haId, target, devcmd::Inquiry(), buffer);
}

// Visits, adapter by adapter and target 0-7 within each, every target whose
// INQUIRY passes and whose revision (INQUIRY bytes 32-35, upper-cased)
// contains the upper-cased filter or the fallback revision.
// Returns true when `visit` stopped the walk.
template <typename Visit>
bool WalkAspiTargets(char* filter, BYTE* buffer, Visit visit) {
    const unsigned adapters = GetASPI32SupportInfo() & 0xFF;
    for (unsigned ha = 0; ha < adapters; ++ha) {
        for (unsigned target = 0; target < kTargetsPerAdapter; ++target) {
            std::memset(buffer, 0, kWorkBufferSize);
            if (!AspiInquiry(static_cast<BYTE>(ha), static_cast<BYTE>(target), buffer)) continue;
            if (!kt4790::InquiryAccepts(buffer)) continue;

            char revision[kt4790::kInquiryRevisionLength + 1] = {};
            for (std::size_t k = 0; k < kt4790::kInquiryRevisionLength; ++k) {
                const BYTE c = buffer[kt4790::kInquiryRevisionOffset + k];
                if (c == 0) break;
                revision[k] = static_cast<char>(c);
            }
            UpperCase(filter);
            UpperCase(revision);
            if (!Contains(revision, filter) && !Contains(revision, kFallbackRevision)) continue;

            if (visit(static_cast<BYTE>(ha), static_cast<BYTE>(target)) == Walk::Stop) return true;
        }
    }
    return false;
}

#else

// ---------------------------------------------------------- SetupAPI discovery

const char kFallbackRevision[] = "REV_P1.0";
const char kInterfacePrefix[] = "Interface: ";
constexpr BYTE kSearchCapacity = 255;

// Visits, in list order, every disk interface whose "Interface: <path>"
// text, upper-cased, contains the upper-cased filter or the fallback
// revision. `nameArgument`, when given, is upper-cased along with the filter.
// The walk stops at the end of the list, at a SetupAPI or allocation failure,
// or when `visit` says so; returns true in the last case.
template <typename Visit>
bool WalkInterfaces(HDEVINFO list, char* filter, char* nameArgument, Visit visit) {
    for (DWORD index = 0;; ++index) {
        // The path, with the prefix before it, must fit the 512-byte text.
        char path[kWorkBufferSize - (sizeof kInterfacePrefix - 1)];
        const passthrough::InterfaceRead read = passthrough::ReadInterfacePath(list, index, path, sizeof path);
        if (read == passthrough::InterfaceRead::End) return false;
        if (read != passthrough::InterfaceRead::Path) continue;

        char text[kWorkBufferSize] = {};
        std::snprintf(text, sizeof text, "Interface: %s", path);
        UpperCase(filter);
        if (nameArgument != nullptr) UpperCase(nameArgument);
        UpperCase(text);
        if (!Contains(text, filter) && !Contains(text, kFallbackRevision)) continue;
        if (visit(path) == Walk::Stop) return true;
    }
}

#endif

}  // namespace

// -------------------------------------------------------------------- exports

#ifdef KT4790_ASPI

BYTE WINAPI GetDeviceName(BYTE HostAdapterId, BYTE TargetId, BYTE* name, BYTE* length) {
    return ReadDeviceName(Device{HostAdapterId, TargetId}, name, length) ? 1 : 0;
}

BYTE WINAPI GetAllDeviceName(char* RevisionFilter, BYTE* table, BYTE* counter) {
    const unsigned capacity = *counter;
    *counter = 0;
    BYTE* buffer = static_cast<BYTE*>(std::malloc(kWorkBufferSize));
    if (buffer == nullptr) return 0;

    bool nameFailed = false;
    if (capacity != 0) {
        WalkAspiTargets(RevisionFilter, buffer, [&](BYTE haId, BYTE target) {
            std::memset(buffer, 0, kWorkBufferSize);
            BYTE nameLength = 0;
            if (!ReadDeviceName(Device{haId, target}, buffer, &nameLength)) {
                nameFailed = true;
                return Walk::Stop;
            }
            FillEntry(table, *counter, buffer, nameLength);
            ++*counter;
            return *counter >= capacity ? Walk::Stop : Walk::Next;
        });
    }
    std::free(buffer);
    return nameFailed ? 0 : 1;
}

BYTE WINAPI GetDeviceID(BYTE* HostAdapterId, BYTE* TargetId, char* RevisionFilter, char* name) {
    BYTE* buffer = static_cast<BYTE*>(std::malloc(kWorkBufferSize));
    if (buffer == nullptr) return 0;

    bool found = false;
    WalkAspiTargets(RevisionFilter, buffer, [&](BYTE haId, BYTE target) {
        *HostAdapterId = haId;
        *TargetId = target;
        std::memset(buffer, 0, kWorkBufferSize);
        BYTE nameLength = 0;
        if (!ReadDeviceName(Device{haId, target}, buffer, &nameLength)) return Walk::Stop;
        NameToText(buffer, nameLength);
        UpperCase(reinterpret_cast<char*>(buffer));
        UpperCase(name);
        found = Contains(reinterpret_cast<const char*>(buffer), name);
        return found ? Walk::Stop : Walk::Next;
    });
    std::free(buffer);
    return found ? 1 : 0;
}

#else

int WINAPI GetDeviceName(HANDLE DeviceHandle, BYTE* name, BYTE* length) {
    return ReadDeviceName(Device{DeviceHandle}, name, length) ? 1 : 0;
}

int WINAPI GetAllDeviceName(char* RevisionFilter, BYTE* table, BYTE* counter) {
    const HDEVINFO list = passthrough::OpenDiskInterfaceList();
    if (list == INVALID_HANDLE_VALUE) return 0;
    const unsigned capacity = *counter;
    *counter = 0;

    if (capacity != 0) {
        WalkInterfaces(list, RevisionFilter, nullptr, [&](const char* path) {
            const HANDLE device = passthrough::OpenDevice(path);
            if (device == INVALID_HANDLE_VALUE) return Walk::Next;
            BYTE buffer[kWorkBufferSize] = {};
            if (!InquiryCommand(device, buffer) || !kt4790::InquiryAccepts(buffer)) {
                CloseHandle(device);
                return Walk::Next;
            }
            std::memset(buffer, 0, sizeof buffer);
            BYTE nameLength = kSearchCapacity;
            const bool named = ReadDeviceName(Device{device}, buffer, &nameLength);
            CloseHandle(device);
            if (!named) return Walk::Next;
            FillEntry(table, *counter, buffer, nameLength);
            ++*counter;
            return *counter >= capacity ? Walk::Stop : Walk::Next;
        });
    }
    SetupDiDestroyDeviceInfoList(list);
    return *counter != 0 ? 1 : 0;
}

HANDLE WINAPI GetHandle(char* RevisionFilter, char* name) {
    const HDEVINFO list = passthrough::OpenDiskInterfaceList();
    if (list == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;

    HANDLE result = INVALID_HANDLE_VALUE;
    WalkInterfaces(list, RevisionFilter, name, [&](const char* path) {
        const HANDLE device = passthrough::OpenDevice(path);
        if (device == INVALID_HANDLE_VALUE) return Walk::Stop;  // ends the whole search

        BYTE buffer[kWorkBufferSize] = {};
        VSCReadSector(device, buffer, 0, 1, 0);
        std::memset(buffer, 0, sizeof buffer);
        if (!InquiryCommand(device, buffer) || !kt4790::InquiryAccepts(buffer)) {
            CloseHandle(device);
            return Walk::Next;
        }
        std::memset(buffer, 0, sizeof buffer);
        BYTE nameLength = kSearchCapacity;
        if (!ReadDeviceName(Device{device}, buffer, &nameLength)) {
            CloseHandle(device);
            return Walk::Next;
        }
        NameToText(buffer, nameLength);
        UpperCase(reinterpret_cast<char*>(buffer));
        if (!Contains(reinterpret_cast<const char*>(buffer), name)) {
            CloseHandle(device);
            return Walk::Next;
        }
        result = device;
        return Walk::Stop;
    });
    SetupDiDestroyDeviceInfoList(list);
    return result;
}

#endif
