#include "kt4790/geometry.h"

namespace kt4790 {

namespace {
constexpr std::uint32_t kWindowedZonesPerChip = 16;
constexpr std::uint32_t kMaxPerChipLargeZones = 8;
constexpr std::uint32_t kWindowBlocks = 1024;
constexpr std::uint32_t kWindowDataBlocks = 1000;
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

ChipBlocks ChipBlocksOf(const MediaGeometry& geometry, std::uint8_t chipCode, std::uint32_t chip) {
    ChipBlocks blocks;
    const std::uint32_t pc = geometry.PhysicalBlocksPerChip;
    blocks.base = chip * pc;
    blocks.end = blocks.base + pc - 1;
    if (IsWindowed(geometry, chipCode)) {
        // A chip's first window keeps its data after the chip's system
        // block, its second window from its first block.
        const std::uint32_t second = blocks.base + kWindowBlocks;
        blocks.spans = 2;
        blocks.data[0] = {blocks.base + 1, blocks.base + kWindowDataBlocks};
        blocks.replacement[0] = {blocks.base + kWindowDataBlocks + 1, second - 1};
        blocks.data[1] = {second, second + kWindowDataBlocks - 1};
        blocks.replacement[1] = {second + kWindowDataBlocks, blocks.end};
        return blocks;
    }
    const std::uint32_t lc = geometry.LogicalBlocksPerChip;
    blocks.data[0] = {blocks.base + 1, blocks.base + lc};
    blocks.replacement[0] = {blocks.base + lc + 1, blocks.end};
    return blocks;
}

std::uint32_t DataPosition(const MediaGeometry& geometry, std::uint8_t chipCode, std::uint32_t logicalBlock) {
    if (IsWindowed(geometry, chipCode)) {
        const std::uint32_t window = logicalBlock / kWindowDataBlocks;
        return kWindowBlocks * window + logicalBlock % kWindowDataBlocks + (window % 2 == 0 ? 1 : 0);
    }
    const std::uint32_t lc = geometry.LogicalBlocksPerChip;
    if (lc == 0) return 0;
    return geometry.PhysicalBlocksPerChip * (logicalBlock / lc) + logicalBlock % lc + 1;
}

}  // namespace kt4790
