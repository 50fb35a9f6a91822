#include "app/Descriptor.h"

#include <cstdint>
#include <cstring>

#include "kt4790/geometry.h"

namespace {

#ifdef KT4790_ASPI
bool ReadSector(const devbind::DeviceSession& device, decltype(&VSCReadSector) vscReadSector, BYTE* buffer,
                DWORD sector, int flag80, int spareFlag) {
    return vscReadSector(device.HostAdapterId, device.TargetId, buffer, sector, flag80, spareFlag) != 0;
}
#else
bool ReadSector(const devbind::DeviceSession& device, decltype(&VSCReadSector) vscReadSector, BYTE* buffer,
                DWORD sector, int flag80, int spareFlag) {
    return vscReadSector(device.DeviceHandle, buffer, sector, flag80, spareFlag) != 0;
}
#endif

}  // namespace

DescriptorSearch LocateDescriptorSector(const devbind::DeviceSession& device, decltype(&VSCReadSector) vscReadSector,
                                        BYTE (&sector)[kt4790::kSectorSize], BYTE chipCode,
                                        const kt4790::MediaSizeReply& media, SearchLimit limit) {
    if (chipCode == kt4790::kChipCode13) {
        // The first generation keeps it at sector 1, read with Flag80.
        return ReadSector(device, vscReadSector, sector, 1, 1, 0) ? DescriptorSearch::Found
                                                                   : DescriptorSearch::ReadFailed;
    }
    if (chipCode != kt4790::kChipCode30) return DescriptorSearch::UnsupportedChip;

    // Sector 1 of the first block whose spare area is valid.
    const DWORD step = kt4790::SectorsPerBlock(media.largeBlock);
    const std::uint32_t mediumBlocks = kt4790::MakeMediaGeometry(media).PhysicalBlocks;
    const std::uint32_t blocks =
        limit == SearchLimit::Blocks33 ? kSearchLimitBlocks : (mediumBlocks == 0 ? 1 : mediumBlocks);
    DWORD first = 1;
    for (std::uint32_t block = 0;; ++block) {
        if (block == blocks) return DescriptorSearch::NotFound;
        if (!ReadSector(device, vscReadSector, sector, first, 0, 1)) return DescriptorSearch::ReadFailed;
        std::uint8_t spare[kt4790::kSpareSize];
        std::memcpy(spare, sector, sizeof spare);
        if (kt4790::IsValidSpare(spare)) {
            return ReadSector(device, vscReadSector, sector, first, 0, 0) ? DescriptorSearch::Found
                                                                           : DescriptorSearch::ReadFailed;
        }
        if (first > 0xFFFFFFFFu - step) return DescriptorSearch::NotFound;
        first += step;
    }
}

void ShowSearchFailure(DescriptorSearch outcome) {
    if (outcome == DescriptorSearch::UnsupportedChip) {
        devbind::ShowWarning("Please update the program!");
    } else {
        devbind::ShowDeviceNotFound();
    }
}

bool ReplaceDescriptor(BYTE (&sector)[kt4790::kSectorSize], unsigned index, const char* text, std::size_t n) {
    // A descriptor's body holds at most 253 bytes: 126 whole UTF-16 units.
    constexpr int kMaxUnits = 126;
    WCHAR units[kMaxUnits];
    int count = 0;
    if (n != 0) {
        if (n > static_cast<std::size_t>(kMaxUnits)) return false;
        count = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(n), units, kMaxUnits);
        if (count <= 0) return false;
    }
    std::uint8_t body[2 * kMaxUnits];
    for (int i = 0; i < count; ++i) {
        const auto unit = static_cast<std::uint16_t>(units[i]);
        body[2 * i] = static_cast<std::uint8_t>(unit);
        body[2 * i + 1] = static_cast<std::uint8_t>(unit >> 8);
    }
    return kt4790::ReplaceDescriptor(sector, index, body, 2 * static_cast<std::size_t>(count));
}

bool WriteDescriptorSector(const devbind::DeviceSession& device, decltype(&SetEString) setEString,
                           BYTE (&sector)[kt4790::kSectorSize]) {
#ifdef KT4790_ASPI
    const BYTE written = setEString(device.HostAdapterId, device.TargetId, sector);
#else
    const BYTE written = static_cast<BYTE>(setEString(device.DeviceHandle, sector));
#endif
    return written != 0;
}

bool WriteHintDescriptor(const devbind::DeviceSession& device, decltype(&GetChipVersion) getChipVersion,
                         decltype(&GetMediaSize) getMediaSize, decltype(&VSCReadSector) vscReadSector,
                         decltype(&SetEString) setEString, BYTE (&sector)[kt4790::kSectorSize], const char* hint,
                         std::size_t n) {
#ifdef KT4790_ASPI
    const bool chipRead = getChipVersion(device.HostAdapterId, device.TargetId, sector) != 0;
#else
    constexpr BYTE kReplyLength = 4;
    const bool chipRead = getChipVersion(device.DeviceHandle, sector, kReplyLength) != 0;
#endif
    if (!chipRead) {
        devbind::ShowDeviceNotFound();
        return false;
    }
    const BYTE chipCode = sector[0];
    kt4790::MediaSizeReply media;
    if (chipCode == kt4790::kChipCode30) {
#ifdef KT4790_ASPI
        const bool sizeRead = getMediaSize(device.HostAdapterId, device.TargetId, sector) != 0;
#else
        const bool sizeRead = getMediaSize(device.DeviceHandle, sector, kReplyLength) != 0;
#endif
        if (!sizeRead) {
            devbind::ShowDeviceNotFound();
            return false;
        }
        media = kt4790::ParseMediaSizeReply(sector);
    }
    const DescriptorSearch search =
        LocateDescriptorSector(device, vscReadSector, sector, chipCode, media, SearchLimit::Blocks33);
    if (search != DescriptorSearch::Found) {
        ShowSearchFailure(search);
        return false;
    }
    if (!ReplaceDescriptor(sector, kt4790::kHintDescriptorIndex, hint, n)) {
        devbind::ShowDeviceNotFound();
        return false;
    }
    if (!WriteDescriptorSector(device, setEString, sector)) {
        devbind::ShowDeviceNotFound();
        return false;
    }
    return true;
}
