// What the formatter tests share: emulated disks in the World, the sector
// writes they received, and the medium read back as the host sees it.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emulator/controller.h"
#include "format/Newformat.h"
#include "winsim/world.h"

namespace formattest {

inline winsim::World& World() { return winsim::World::Get(); }

#ifdef KT4790_ASPI
constexpr const char* kLibraryName = "KT4790mDLL";
#else
constexpr const char* kLibraryName = "KT4790DLL";
#endif

constexpr const char* kDiskName = "FORMAT DISK";

struct Medium {
    std::uint8_t chipCode = 0x30;
    bool largeBlock = false;
    std::uint8_t zoneCount = 1;
    std::uint8_t chipCount = 1;
};

inline std::shared_ptr<emulator::Controller> AddDisk(const Medium& medium,
                                                    const std::u16string& name = u"FORMAT DISK") {
    emulator::Config config;
    config.chipCode = medium.chipCode;
    config.largeBlock = medium.largeBlock;
    config.zoneCount = medium.zoneCount;
    config.chipCount = medium.chipCount;
    config.deviceName = name;
    auto controller = std::make_shared<emulator::Controller>(config);
    World().AddDevice(controller);
    return controller;
}

// One VSCWriteSector as the device received it.
struct SectorWrite {
    std::uint32_t sector = 0;
    std::uint8_t options = 0;  // CDB byte 1: Flag80, SpareFlag
    std::uint8_t status = 0;
    bool delivered = true;
};

inline std::vector<SectorWrite> Writes(const emulator::Controller& controller) {
    std::lock_guard<std::recursive_mutex> lock(World().mutex());
    std::vector<SectorWrite> writes;
    for (const emulator::CommandRecord& r : controller.trace()) {
        if (r.cdb[0] != 0xF4) continue;
        SectorWrite w;
        w.sector = (std::uint32_t{r.cdb[2]} << 24) | (std::uint32_t{r.cdb[3]} << 16) |
                   (std::uint32_t{r.cdb[4]} << 8) | r.cdb[5];
        w.options = r.cdb[1];
        w.status = r.status;
        w.delivered = r.delivered;
        writes.push_back(w);
    }
    return writes;
}

using Sector = std::vector<std::uint8_t>;

// Logical sector s as READ(10) gives it: unmapped blocks read as zeros.
inline Sector HostSector(const emulator::Controller& controller, std::uint32_t s) {
    std::lock_guard<std::recursive_mutex> lock(World().mutex());
    Sector data(512, 0);
    const std::uint32_t spb = controller.sectorsPerBlock();
    const std::uint32_t physical = controller.PhysicalBlockOf(s / spb);
    if (physical == emulator::Controller::kNone) return data;
    std::uint8_t spare[16];
    controller.ReadPhysical(physical * spb + s % spb, data.data(), spare);
    return data;
}

inline std::uint32_t Le16(const Sector& s, std::size_t at) { return s[at] | (s[at + 1] << 8); }
inline std::uint32_t Le32(const Sector& s, std::size_t at) {
    return Le16(s, at) | (Le16(s, at + 2) << 16);
}

inline bool AllBytes(const Sector& s, std::uint8_t value) {
    for (std::uint8_t b : s) {
        if (b != value) return false;
    }
    return true;
}

// Nothing of the formatter's openings outlives the call.
inline void ExpectNothingLeft() {
    EXPECT_EQ(World().LoadedLibraryCount(), 0);
    EXPECT_EQ(World().OpenHandleCount(), 0);
}

}  // namespace formattest
