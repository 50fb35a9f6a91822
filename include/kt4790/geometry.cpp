#include "kt4790/geometry.h"

namespace kt4790 {

namespace {
constexpr std::uint32_t kWindowedZonesPerChip = 16;
constexpr std::uint32_t kMaxPerChipLargeZones = 8;
}  // namespace

MediaGeometry MakeMediaGeometry(std::uint8_t zoneCount, std::uint8_t chipCount, bool largeBlock) {
    MediaGeometry g;
    g.LargeBlock = largeBlock;
    g.ZoneCount = zoneCount;
    g.ChipCount = static_cast<std::uint8_t>(chipCount & 0x0F);
    g.SectorsPerBlock = SectorsPerBlock(largeBlock);
    g.BlockBytes = g.SectorsPerBlock * static_cast<std::uint32_t>(kSectorSize);
    const std::uint32_t logicalPerZone = largeBlock ? kLargeLogicalPerZone : kSmallLogicalPerZone;
    const std::uint32_t physicalPerZone = largeBlock ? kLargePhysicalPerZone : kSmallPhysicalPerZone;
    g.LogicalBlocks = zoneCount * logicalPerZone;
    g.PhysicalBlocks = zoneCount * physicalPerZone;
    g.ZonesPerChip = g.ChipCount == 0 ? 0 : zoneCount / g.ChipCount;
    g.LogicalBlocksPerChip = g.ZonesPerChip * logicalPerZone;
    g.PhysicalBlocksPerChip = g.ZonesPerChip * physicalPerZone;
    return g;
}

MediaGeometry MakeMediaGeometry(const MediaSizeReply& reply) {
    return MakeMediaGeometry(reply.zoneCount, reply.chipCount, reply.largeBlock);
}

bool IsWindowed(const MediaGeometry& geometry, std::uint8_t chipCode) {
    return chipCode == kChipCode13 && geometry.LargeBlock && geometry.ZonesPerChip == kWindowedZonesPerChip;
}

bool IsAddressable(const MediaGeometry& geometry, std::uint8_t chipCode) {
    if (geometry.ChipCount == 0 || geometry.ChipCount > kChipBlockTableSlots) return false;
    if (geometry.ZoneCount % geometry.ChipCount != 0) return false;
    if (chipCode == kChipCode13 && geometry.LargeBlock && geometry.ZonesPerChip > kMaxPerChipLargeZones &&
        geometry.ZonesPerChip != kWindowedZonesPerChip) {
        return false;
    }
    return true;
}

}  // namespace kt4790
