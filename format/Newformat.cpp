#include "format/Newformat.h"

#include <cstring>

#include "format/boot/bootcode.h"

namespace newformat {

FormatParamsState FormatParams = {};

namespace {

using WriteSectorProc = decltype(&VSCWriteSector);

// Head count of areas of 1,024,000 sectors and more.
#ifdef KT4790_ASPI
constexpr std::uint8_t kLargeAreaHeads = 63;
#else
constexpr std::uint8_t kLargeAreaHeads = 255;
#endif

// VSCWriteSector of the opening in force. Each opening gives back the one
// before it when it ends, so nested openings (a driver and its writers)
// never leave a procedure of a freed library behind.
WriteSectorProc g_writeSector = nullptr;

constexpr std::uint32_t kFat16From = 131072;         // areas of this size and more are FAT16
constexpr std::uint32_t kBigClustersFrom = 2048000;  // 64-sector clusters from this size on
constexpr std::uint32_t kMaxFat16Clusters = 65524;
constexpr std::uint32_t kMaxFat12Clusters = 4084;   // with more, FAT drivers take a volume for FAT16

constexpr std::uint32_t kHddRootSectors = 16;
constexpr std::uint32_t kZipBootSector = 32;
constexpr std::uint32_t kHddFillerSector = 32;  // the 0xFF sector of small-block media

std::uint32_t CeilDiv(std::uint32_t a, std::uint32_t b) { return a / b + (a % b != 0 ? 1 : 0); }

void Put16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

void Put32(std::uint8_t* p, std::uint32_t v) {
    Put16(p, v);
    Put16(p + 2, v >> 16);
}

bool IsFat12(std::uint32_t n) { return n < kFat16From; }
std::uint8_t SectorsPerCluster(std::uint32_t n) { return n < kBigClustersFrom ? 32 : 64; }

// First data sector of an area, counted from the area's start.
std::uint32_t DataStart(std::uint32_t n, bool floppy) {
    const std::uint32_t t = 2u * FatSectors(n) + (floppy ? 17 : 49);
    return 32 * (t / 32 + 1);
}

// Root-directory sectors that end the structures on a multiple of 32.
std::uint8_t RootSectorsAfter(std::uint32_t t) { return static_cast<std::uint8_t>(32 * (t / 32 + 1) - t + 16); }

std::uint8_t EndSectorByte(std::uint32_t sector, std::uint32_t cylinders) {
    return static_cast<std::uint8_t>(sector | (((cylinders >> 8) & 0x03) << 6));
}

void PutMbrCommon(std::uint8_t* sector) {
    std::memcpy(sector, kMasterBootProgram, sizeof kMasterBootProgram);
    sector[446] = 0x80;
    sector[510] = 0x55;
    sector[511] = 0xAA;
}

struct BootSectorFields {
    std::uint16_t rootEntries;
    std::uint32_t volumeSectors;  // sectors of the FAT volume
    bool total16;                 // volumeSectors goes in the 16-bit field
    std::uint16_t sectorsPerTrack;
    std::uint16_t heads;
    std::uint32_t hidden;
};

// The sectors the volume may claim. The FAT size rule counts 1.5 (FAT12) or
// 2 (FAT16) bytes per cluster of the whole area but not the FAT's two
// reserved entries, so a few area sizes would get a last cluster with no FAT
// entry; and FAT12 areas just below 131,072 sectors would have more than
// 4,084 clusters, which every FAT driver reads as FAT16. The volume then
// stops after the last cluster it can number, a few clusters short of the
// area, and its layout is otherwise unchanged.
std::uint32_t UsableVolumeSectors(std::uint32_t n, const BootSectorFields& layout) {
    const bool fat12 = IsFat12(n);
    const std::uint32_t f = FatSectors(n);
    const std::uint32_t spc = SectorsPerCluster(n);
    const std::uint32_t dataStart = 1 + 2 * f + layout.rootEntries / 16;  // from the boot sector
    if (layout.volumeSectors <= dataStart) return layout.volumeSectors;
    const std::uint32_t fatEntries = fat12 ? f * kSectorBytes * 2 / 3 : f * kSectorBytes / 2;
    std::uint32_t maxClusters = fatEntries - 2;
    if (fat12 && maxClusters > kMaxFat12Clusters) maxClusters = kMaxFat12Clusters;
    if ((layout.volumeSectors - dataStart) / spc <= maxClusters) return layout.volumeSectors;
    return dataStart + maxClusters * spc;
}

void BuildBootSector(std::uint32_t n, BootSectorFields layout, std::uint8_t* sector) {
    const bool fat12 = IsFat12(n);
    layout.volumeSectors = UsableVolumeSectors(n, layout);
    sector[0] = 0xEB;
    sector[1] = fat12 ? 0x3C : 0x3E;
    sector[2] = 0x90;
    std::memcpy(sector + 3, "Tesmaren", 8);
    Put16(sector + 11, kSectorBytes);
    sector[13] = SectorsPerCluster(n);
    Put16(sector + 14, 1);
    sector[16] = 2;
    Put16(sector + 17, layout.rootEntries);
    Put16(sector + 19, layout.total16 ? layout.volumeSectors : 0);
    sector[21] = 0xF8;
    Put16(sector + 22, FatSectors(n));
    Put16(sector + 24, layout.sectorsPerTrack);
    Put16(sector + 26, layout.heads);
    Put32(sector + 28, layout.hidden);
    Put32(sector + 32, layout.total16 ? 0 : layout.volumeSectors);
    sector[36] = 0x80;
    sector[38] = 0x29;
    std::memcpy(sector + 54, fat12 ? "FAT12" : "FAT16", 5);
    if (fat12) {
        std::memcpy(sector + 62, kFat12BootProgram, sizeof kFat12BootProgram);
    } else {
        std::memcpy(sector + 62, kFat16BootProgram, sizeof kFat16BootProgram);
    }
    sector[510] = 0x55;
    sector[511] = 0xAA;
}

// A medium the writers can place areas on, with a chip code they know.
bool GeometryUsable(std::uint8_t zoneCount, std::uint8_t chipCount, bool largeBlock, std::uint8_t chipCode) {
    if (chipCode != kt4790::kChipCode13 && chipCode != kt4790::kChipCode30) return false;
    const kt4790::MediaGeometry geometry = kt4790::MakeMediaGeometry(zoneCount, chipCount, largeBlock);
    return geometry.ZonesPerChip != 0 && kt4790::IsAddressable(geometry, chipCode);
}


void ClearSectorBuffer() { std::memset(FormatParams.SectorBuffer, 0, kSectorBytes); }

// The name is kept in FormatParams; a caller may hand in that very buffer.
void StoreDeviceName(const char* deviceName) {
    if (deviceName == FormatParams.DeviceName) return;
    std::memset(FormatParams.DeviceName, 0, sizeof FormatParams.DeviceName);
    if (deviceName != nullptr) std::strncpy(FormatParams.DeviceName, deviceName, sizeof FormatParams.DeviceName - 1);
}

void StoreGeometry(std::uint8_t zoneCount, std::uint8_t chipCount, bool largeBlock, std::uint8_t chipCode) {
    FormatParams.ZoneCount = zoneCount;
    FormatParams.ChipCount = chipCount;
    FormatParams.LargeBlock = largeBlock ? 1 : 0;
    FormatParams.ChipCode = chipCode;
}

void CopyLabelSlot(int from) {
    std::memcpy(FormatParams.VolumeLabels[kAreaBeingWrittenLabel], FormatParams.VolumeLabels[from],
                kVolumeLabelSize);
}

// Writes the sectors of one area that starts at device sector `base`.
class AreaSectors {
public:
    explicit AreaSectors(std::uint32_t base) : base_(base) {}
    bool Write(std::uint32_t k) { return WriteFormatSector(base_ + k) != 0; }

    // FAT 1, FAT 2 and the root directory, from area sector `first`.
    bool WriteFatsAndRoot(std::uint32_t n, std::uint32_t first, std::uint32_t rootSectors) {
        const std::uint32_t f = FatSectors(n);
        std::uint32_t k = first;
        for (int copy = 0; copy < 2; ++copy) {
            for (std::uint32_t i = 0; i < f; ++i) {
                ClearSectorBuffer();
                if (i == 0) {
                    std::uint8_t* b = FormatParams.SectorBuffer;
                    b[0] = 0xF8;
                    b[1] = 0xFF;
                    b[2] = 0xFF;
                    if (!IsFat12(n)) b[3] = 0xFF;
                }
                if (!Write(k++)) return false;
            }
        }
        for (std::uint32_t i = 0; i < rootSectors; ++i) {
            ClearSectorBuffer();
            if (i == 0) {
                std::memcpy(FormatParams.SectorBuffer, FormatParams.VolumeLabels[kAreaBeingWrittenLabel],
                            kVolumeLabelSize);
            }
            if (!Write(k++)) return false;
        }
        return true;
    }

private:
    std::uint32_t base_;
};

int WriteArea(BootLayout layout, const char* deviceName, std::uint32_t n, std::uint32_t startBlock,
              std::uint8_t zoneCount, std::uint8_t chipCount, bool largeBlock, std::uint8_t chipCode) {
    StoreDeviceName(deviceName);
    FormatDevice device;
    if (!device.OpenFormatDevice()) return 0;
    if (!GeometryUsable(zoneCount, chipCount, largeBlock, chipCode) || !AreaSizeFits(n, layout == BootLayout::Fdd)) {
        return 0;
    }
    StoreGeometry(zoneCount, chipCount, largeBlock, chipCode);

    AreaSectors area(startBlock * kt4790::SectorsPerBlock(largeBlock));
    switch (layout) {
        case BootLayout::Hdd: {
            const std::uint32_t gap = HddAlignGap(FatSectors(n));
            ClearSectorBuffer();
            BuildHddMbr(n, FormatParams.SectorBuffer);
            if (!area.Write(0)) return 0;
            if (!largeBlock) {
                std::memset(FormatParams.SectorBuffer, 0xFF, kSectorBytes);
                if (!area.Write(kHddFillerSector)) return 0;
            }
            ClearSectorBuffer();
            BuildHddBootSector(n, FormatParams.SectorBuffer);
            if (!area.Write(1 + gap)) return 0;
            return area.WriteFatsAndRoot(n, 2 + gap, kHddRootSectors) ? 1 : 0;
        }
        case BootLayout::Zip: {
            ClearSectorBuffer();
            BuildZipMbr(n, FormatParams.SectorBuffer);
            if (!area.Write(0)) return 0;
            ClearSectorBuffer();
            BuildZipBootSector(n, FormatParams.SectorBuffer);
            if (!area.Write(kZipBootSector)) return 0;
            return area.WriteFatsAndRoot(n, kZipBootSector + 1, ZipRootSectors(n)) ? 1 : 0;
        }
        case BootLayout::Fdd: {
            ClearSectorBuffer();
            BuildFddBootSector(n, FormatParams.SectorBuffer);
            if (!area.Write(0)) return 0;
            return area.WriteFatsAndRoot(n, 1, FddRootSectors(n)) ? 1 : 0;
        }
    }
    return 0;
}

}  // namespace

int WriteLayoutArea(BootLayout layout, const char* deviceName, std::uint32_t n, std::uint32_t startBlock,
               std::uint8_t zoneCount, std::uint8_t chipCount, bool largeBlock, std::uint8_t chipCode) {
    switch (layout) {
        case BootLayout::Hdd:
            return WriteHddArea(deviceName, n, startBlock, zoneCount, chipCount, largeBlock, chipCode);
        case BootLayout::Zip:
            return WriteZipArea(deviceName, n, startBlock, zoneCount, chipCount, largeBlock, chipCode);
        case BootLayout::Fdd:
            return WriteFddArea(deviceName, n, startBlock, zoneCount, chipCount, largeBlock, chipCode);
    }
    return 0;
}

int FormatBoot(BootLayout layout, const char* deviceName, std::uint32_t standardBlocks, std::uint8_t zoneCount,
                 std::uint8_t chipCount, bool largeBlock, std::uint8_t chipCode) {
    StoreDeviceName(deviceName);
    FormatDevice device;
    if (!device.OpenFormatDevice()) return 0;
    if (!GeometryUsable(zoneCount, chipCount, largeBlock, chipCode)) return 0;
    StoreGeometry(zoneCount, chipCount, largeBlock, chipCode);

    const kt4790::MediaGeometry geometry = kt4790::MakeMediaGeometry(zoneCount, chipCount, largeBlock);
    const std::uint32_t e = geometry.LogicalBlocks;
    const std::uint32_t spb = geometry.SectorsPerBlock;
    const std::uint32_t first = chipCode == kt4790::kChipCode13 ? 1 : 0;

    // Both areas are checked before the first is written, so a refused
    // security area never follows a written standard area.
    const std::uint32_t sd = standardBlocks;
    const bool floppy = layout == BootLayout::Fdd;
    if (sd > e) return 0;
    if (sd == 0 || sd == e) {
        if (!AreaSizeFits(e * spb, floppy)) return 0;
        CopyLabelSlot(kWholeMediumLabel);
        return WriteLayoutArea(layout, deviceName, e * spb, first, zoneCount, chipCount, largeBlock, chipCode);
    }
    if (!AreaSizeFits(sd * spb, floppy) || !AreaSizeFits((e - sd) * spb, floppy)) return 0;

    CopyLabelSlot(kStandardAreaLabel);
    if (WriteLayoutArea(layout, deviceName, sd * spb, first, zoneCount, chipCount, largeBlock, chipCode) == 0) {
        return 0;
    }

    // Chip 0x30 places areas by logical block, chip 0x13 by block position.
    const std::uint32_t s2 = chipCode == kt4790::kChipCode30 ? sd : kt4790::DataPosition(geometry, chipCode, sd);
    CopyLabelSlot(kSecurityAreaLabel);
    return WriteLayoutArea(layout, deviceName, (e - sd) * spb, s2, zoneCount, chipCount, largeBlock, chipCode);
}


void SetVolumeLabel(int slot, const char* label) {
    if (slot < 0 || slot >= kVolumeLabelSlots) return;
    std::uint8_t* entry = FormatParams.VolumeLabels[slot];
    std::memset(entry, 0, kVolumeLabelSize);
    const std::size_t length = label != nullptr ? strnlen(label, kVolumeLabelSize - 1) : 0;
    if (length == 0) return;
    std::memcpy(entry, label, length);
    entry[kVolumeLabelSize - 1] = kVolumeLabelAttribute;
}

std::uint32_t MapSector(std::uint32_t a) {
    if (FormatParams.ChipCode != kt4790::kChipCode13) return a;
    const kt4790::MediaGeometry geometry =
        kt4790::MakeMediaGeometry(FormatParams.ZoneCount, FormatParams.ChipCount, FormatParams.LargeBlock != 0);
    if (geometry.PhysicalBlocksPerChip == 0) return a;
    const std::uint32_t spb = geometry.SectorsPerBlock;
    const std::uint32_t e = a / spb;
    std::uint32_t skip = 0;
    if (kt4790::IsWindowed(geometry, FormatParams.ChipCode)) {
        // Windows of 1024 block addresses: data at 1-1000 in a chip's first
        // window, at 0-999 in its second.
        const std::uint32_t offset = e % 1024;
        if ((e / 1024) % 2 == 0) {
            if (offset > 1000) skip = 1024 - 1001;
        } else if (offset >= 1000) {
            skip = 1024 - 1000 + 1;
        }
    } else if (e % geometry.PhysicalBlocksPerChip > geometry.LogicalBlocksPerChip) {
        skip = geometry.PhysicalBlocksPerChip - geometry.LogicalBlocksPerChip;
    }
    return skip == 0 ? a : (e + skip) * spb + a % spb;
}

std::uint16_t FatSectors(std::uint32_t n) {
    if (n >= kBigClustersFrom) n /= 2;
    const std::uint32_t bytes = IsFat12(n) ? (3 * n) / 64 : (n / 32) * 2;
    return static_cast<std::uint16_t>(CeilDiv(bytes, kSectorBytes));
}

std::uint16_t HddAlignGap(std::uint16_t fatSectors) {
    const std::uint32_t twoF = 2u * fatSectors;
    return static_cast<std::uint16_t>(32 * ((twoF + 49) / 32 + 1) - (twoF + 18));
}

std::uint8_t ZipRootSectors(std::uint32_t n) { return RootSectorsAfter(2u * FatSectors(n) + 49); }

std::uint8_t FddRootSectors(std::uint32_t n) { return RootSectorsAfter(2u * FatSectors(n) + 17); }

std::uint8_t HeadsForSize(std::uint32_t n) {
    if (n < 256000) return 8;
    if (n < 512000) return 16;
    if (n < 1024000) return 31;
    return kLargeAreaHeads;
}

bool AreaSizeFits(std::uint32_t n, bool floppy) {
    // The 32-bit sector counts hold any area; what can overflow is the FAT16
    // cluster numbering.
    const std::uint32_t dataStart = DataStart(n, floppy);
    if (n <= dataStart) return false;
    return (n - dataStart) / SectorsPerCluster(n) <= kMaxFat16Clusters;
}

void BuildHddMbr(std::uint32_t n, std::uint8_t* sector) {
    const std::uint32_t gap = HddAlignGap(FatSectors(n));
    const std::uint32_t heads = HeadsForSize(n);
    PutMbrCommon(sector);
    const std::uint32_t startHead = ((gap + 2) / 63) % heads;
    sector[447] = static_cast<std::uint8_t>(startHead);
    sector[448] = static_cast<std::uint8_t>(gap + 2 - 63 * startHead);
    sector[449] = 0;
    sector[450] = n <= 65536 ? 1 : 6;
    const std::uint32_t cylinders = CeilDiv(n, 63 * heads);
    sector[451] = static_cast<std::uint8_t>((CeilDiv(n, 63) % 256) % heads);
    sector[452] = EndSectorByte(n % 63 == 0 ? 63 : n % 63, cylinders);
    sector[453] = static_cast<std::uint8_t>(cylinders % 256);
    Put32(sector + 454, gap + 1);
    Put32(sector + 458, n - gap - 1);
}

void BuildZipMbr(std::uint32_t n, std::uint8_t* sector) {
    PutMbrCommon(sector);
    sector[447] = 1;
    sector[448] = 1;
    sector[449] = 0;
    sector[450] = n <= 65536 ? 1 : 6;
    const std::uint32_t cylinders = CeilDiv(n, 2048);
    sector[451] = static_cast<std::uint8_t>((CeilDiv(n, 32) % 256) % 64);
    sector[452] = EndSectorByte(n % 32 == 0 ? 32 : n % 32, cylinders);
    sector[453] = static_cast<std::uint8_t>(cylinders % 256);
    Put32(sector + 454, kZipBootSector);
    Put32(sector + 458, n - kZipBootSector);
}

void BuildHddBootSector(std::uint32_t n, std::uint8_t* sector) {
    const std::uint32_t gap = HddAlignGap(FatSectors(n));
    BuildBootSector(n, {256, n - gap - 1, n <= 65536, 63, HeadsForSize(n), gap + 1}, sector);
}

void BuildZipBootSector(std::uint32_t n, std::uint8_t* sector) {
    BuildBootSector(n,
                    {static_cast<std::uint16_t>(ZipRootSectors(n) * 16), n - kZipBootSector, n <= 65536, 32, 64,
                     kZipBootSector},
                    sector);
}

void BuildFddBootSector(std::uint32_t n, std::uint8_t* sector) {
    BuildBootSector(n, {static_cast<std::uint16_t>(FddRootSectors(n) * 16), n, n <= 65535, 63, HeadsForSize(n), 0},
                    sector);
}

FormatDevice::FormatDevice()
    : previousWriteSector_(g_writeSector),
#ifdef KT4790_ASPI
      previousHostAdapterId_(FormatParams.HostAdapterId),
      previousTargetId_(FormatParams.TargetId)
#else
      previousDevice_(FormatParams.Device)
#endif
{
}

FormatDevice::~FormatDevice() {
    // The session closes the handle and frees the library after this body;
    // from here on nothing refers to them.
    g_writeSector = previousWriteSector_;
#ifdef KT4790_ASPI
    FormatParams.HostAdapterId = previousHostAdapterId_;
    FormatParams.TargetId = previousTargetId_;
#else
    FormatParams.Device = previousDevice_;
#endif
}

int FormatDevice::OpenFormatDevice() {
    if (opened_) return 1;
    WriteSectorProc writeSector = nullptr;
    if (!session_.Load() || !session_.BindFinder() || !session_.Bind(devbind::kVSCWriteSector, writeSector) ||
        !session_.Find(FormatParams.DeviceName)) {
        return 0;
    }
    g_writeSector = writeSector;
#ifdef KT4790_ASPI
    FormatParams.HostAdapterId = session_.HostAdapterId;
    FormatParams.TargetId = session_.TargetId;
#else
    FormatParams.Device = session_.DeviceHandle;
#endif
    opened_ = true;
    return 1;
}

int WriteFormatSector(std::uint32_t a) {
    if (g_writeSector == nullptr) return 0;
#ifdef KT4790_ASPI
    const BYTE result = g_writeSector(FormatParams.HostAdapterId, FormatParams.TargetId, MapSector(a),
                                      FormatParams.SectorBuffer, 1, 0);
#else
    const int result = g_writeSector(FormatParams.Device, MapSector(a), FormatParams.SectorBuffer, 1, 0);
#endif
    return result != 0 ? 1 : 0;
}

int WriteHddArea(const char* deviceName, std::uint32_t n, std::uint32_t startBlock, std::uint8_t zoneCount,
                 std::uint8_t chipCount, bool largeBlock, std::uint8_t chipCode) {
    return WriteArea(BootLayout::Hdd, deviceName, n, startBlock, zoneCount, chipCount, largeBlock, chipCode);
}

int WriteZipArea(const char* deviceName, std::uint32_t n, std::uint32_t startBlock, std::uint8_t zoneCount,
                 std::uint8_t chipCount, bool largeBlock, std::uint8_t chipCode) {
    return WriteArea(BootLayout::Zip, deviceName, n, startBlock, zoneCount, chipCount, largeBlock, chipCode);
}

int WriteFddArea(const char* deviceName, std::uint32_t n, std::uint32_t startBlock, std::uint8_t zoneCount,
                 std::uint8_t chipCount, bool largeBlock, std::uint8_t chipCode) {
    return WriteArea(BootLayout::Fdd, deviceName, n, startBlock, zoneCount, chipCount, largeBlock, chipCode);
}

int FormatHddBoot(const char* deviceName, std::uint32_t standardBlocks, std::uint8_t zoneCount,
                  std::uint8_t chipCount, bool largeBlock, std::uint8_t chipCode) {
    return FormatBoot(BootLayout::Hdd, deviceName, standardBlocks, zoneCount, chipCount, largeBlock, chipCode);
}

int FormatZipBoot(const char* deviceName, std::uint32_t standardBlocks, std::uint8_t zoneCount,
                  std::uint8_t chipCount, bool largeBlock, std::uint8_t chipCode) {
    return FormatBoot(BootLayout::Zip, deviceName, standardBlocks, zoneCount, chipCount, largeBlock, chipCode);
}

int FormatFddBoot(const char* deviceName, std::uint32_t standardBlocks, std::uint8_t zoneCount,
                  std::uint8_t chipCount, bool largeBlock, std::uint8_t chipCode) {
    return FormatBoot(BootLayout::Fdd, deviceName, standardBlocks, zoneCount, chipCount, largeBlock, chipCode);
}

}  // namespace newformat
