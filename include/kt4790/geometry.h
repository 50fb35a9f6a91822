// The geometry of a medium as the host derives it from one MediaSizeReply:
// block size, zones, chips and the block counts that follow from them, and
// whether the host's block arithmetic can address the medium at all.
#pragma once

#include <cstdint>

#include "kt4790/records.h"

namespace kt4790 {

struct MediaGeometry {
    bool LargeBlock = false;       // blocks of 256 sectors, else 32
    std::uint8_t ZoneCount = 0;    // MediaSizeReply byte 1
    std::uint8_t ChipCount = 0;    // MediaSizeReply byte 2, low four bits
    std::uint32_t SectorsPerBlock = 0;
    std::uint32_t BlockBytes = 0;
    std::uint32_t LogicalBlocks = 0;   // of the medium
    std::uint32_t PhysicalBlocks = 0;  // of the medium
    // Per chip; 0 when ChipCount is 0 or above ZoneCount.
    std::uint32_t ZonesPerChip = 0;
    std::uint32_t LogicalBlocksPerChip = 0;
    std::uint32_t PhysicalBlocksPerChip = 0;
};

MediaGeometry MakeMediaGeometry(const MediaSizeReply& reply);
MediaGeometry MakeMediaGeometry(std::uint8_t zoneCount, std::uint8_t chipCount, bool largeBlock);

// Chip-0x13 media whose chips hold 16 zones of large blocks: each chip is
// two windows of 1024 block addresses with 1000 data blocks each. Every
// other chip-0x13 medium keeps its data per chip, after the chip's first
// block.
bool IsWindowed(const MediaGeometry& geometry, std::uint8_t chipCode);

// Whether the host can place areas on the medium: 1 to 8 chips sharing the
// zones evenly (zones left over by an uneven division belong to no chip),
// and on chip 0x13 with large blocks 1 to 8 zones per chip or 16 (no other
// number fits the windows of 1024 block addresses). A medium without zones
// passes: it has no blocks to place anything on, which the formatter
// refuses on its own.
bool IsAddressable(const MediaGeometry& geometry, std::uint8_t chipCode);

// Chip 0x13 block addresses of an addressable medium, as the host places
// areas and erases them: a chip's first block is its system block (block 0
// of the medium holds the DescriptorSector), its data positions hold its
// logical blocks in order, the rest of the chip are replacement blocks,
// which carry the position they stand for in their spare area.
struct BlockSpan {
    std::uint32_t first = 0;
    std::uint32_t last = 0;  // inclusive
};

// The data positions and replacement blocks of chip `chip` (from 0): one
// span of each, or two (one per window) on windowed media.
struct ChipBlocks {
    std::uint32_t base = 0;  // the chip's first block
    std::uint32_t end = 0;   // the chip's last block
    int spans = 1;
    BlockSpan data[2];
    BlockSpan replacement[2];
};
ChipBlocks ChipBlocksOf(const MediaGeometry& geometry, std::uint8_t chipCode, std::uint32_t chip);

// The data position of logical block `logicalBlock`; for the medium's
// logical block count it is the address just after the last data position.
std::uint32_t DataPosition(const MediaGeometry& geometry, std::uint8_t chipCode, std::uint32_t logicalBlock);

}  // namespace kt4790
