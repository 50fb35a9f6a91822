// The commands a disk received, as the descriptor-sector operations of the
// application send them, and the disk layouts those tests run on.
#pragma once

#include <cstdint>
#include <ostream>

#include "emulator/controller.h"
#include "kt4790/records.h"

namespace apptest {

constexpr std::uint8_t kVscRead = 0xF5;

// One command of the trace: operation code, and for sector reads the
// sector number and the flag byte (0x80 Flag80, 0x40 SpareFlag).
struct Sent {
    std::uint8_t opcode;
    std::uint32_t sector;
    std::uint8_t flags;
    bool operator==(const Sent& o) const { return opcode == o.opcode && sector == o.sector && flags == o.flags; }
};
inline void PrintTo(const Sent& s, std::ostream* out) {
    *out << std::hex << "{" << int(s.opcode) << " sector " << std::dec << s.sector << std::hex << " flags "
         << int(s.flags) << "}" << std::dec;
}
inline Sent Query(std::uint8_t opcode) { return {opcode, 0, 0}; }
inline Sent SpareRead(std::uint32_t sector) { return {kVscRead, sector, 0x40}; }
inline Sent DataRead(std::uint32_t sector, std::uint8_t flags = 0) { return {kVscRead, sector, flags}; }
inline Sent ToSent(const emulator::CommandRecord& r) {
    if (r.cdb[0] != kVscRead) return Query(r.cdb[0]);
    return {kVscRead, kt4790::ReadBigEndian32(&r.cdb[2]), r.cdb[1]};
}

// Where a disk keeps its descriptor sector.
struct Geometry {
    const char* name;
    std::uint8_t chipCode;
    bool largeBlock;
    std::uint32_t descriptorBlock;
};
inline void PrintTo(const Geometry& g, std::ostream* out) { *out << g.name; }

// The physical sector that holds a disk's descriptor sector: sector 1 of
// the descriptor block on chip 0x30, sector 1 otherwise.
inline std::uint32_t DescriptorSectorOf(const emulator::Config& c) {
    return c.chipCode == 0x30 ? c.descriptorBlock * kt4790::SectorsPerBlock(c.largeBlock) + 1 : 1;
}
inline void ReadDescriptorSector(const emulator::Controller& disk, std::uint8_t (&data)[512]) {
    std::uint8_t spare[16];
    disk.ReadPhysical(DescriptorSectorOf(disk.config()), data, spare);
}
// Keeps the sector's spare area, so the search still accepts it.
inline void WriteDescriptorSector(emulator::Controller& disk, const std::uint8_t (&data)[512]) {
    std::uint8_t old[512];
    std::uint8_t spare[16];
    disk.ReadPhysical(DescriptorSectorOf(disk.config()), old, spare);
    disk.WritePhysical(DescriptorSectorOf(disk.config()), data, spare);
}

}  // namespace apptest
