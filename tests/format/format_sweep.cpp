// format_sweep: formats many emulated media with the formatter's drivers,
// through the device library and winsim, and checks each result against
// the controller's own map:
// - a driver succeeds exactly when the medium can be addressed and every
//   area holds its boot structures (otherwise it writes nothing);
// - the sectors that changed on the flash are exactly the areas' boot
//   structures, at the places the host reads them through READ(10);
// - every area, read as the host reads it, passes fsck.fat -n (with the
//   label fields, which the layouts leave zero, given blanks).
//
//   format_sweep [--every N] [--verbose]
//
// The media: both chip codes, both block sizes, 1 to 8 chips, several zones
// per chip (16 large zones per chip: the windowed layout), media no
// controller has, every boot layout, standard areas around every chip and
// window boundary and around the first and last zone boundaries, and on
// every second medium replaced blocks at the start of each area. --every N
// checks one case in N (and always the first of each medium); without it
// every case is checked. Exit 0 when every checked case holds, 1 otherwise.
#include <windows.h>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "devlib/cdb.h"
#include "emulator/controller.h"
#include "format/Newformat.h"
#include "kt4790/geometry.h"
#include "winsim/world.h"
#include "tests/support/fatcheck.h"

namespace {

constexpr const char* kDiskName = "SWEEP DISK";
constexpr std::uint32_t kSector = 512;

enum class Layout { Hdd, Zip, Fdd };
const char* Name(Layout layout) { return layout == Layout::Hdd ? "hdd" : layout == Layout::Zip ? "zip" : "fdd"; }

struct Medium {
    std::uint8_t chipCode;
    bool large;
    std::uint8_t zones;
    std::uint8_t chips;
};

std::string Describe(const Medium& m, Layout layout, std::uint32_t sd, bool replaced) {
    char text[160];
    std::snprintf(text, sizeof text, "chip 0x%02X %s, %u zones, %u chips, %s, standard %u%s", m.chipCode,
                  m.large ? "large" : "small", unsigned{m.zones}, unsigned{m.chips}, Name(layout), sd,
                  replaced ? ", replaced blocks" : "");
    return text;
}

// Area sectors the layout writes, and where its FAT volume starts.
struct Structures {
    std::vector<std::uint32_t> sectors;
    std::uint32_t volumeStart = 0;
    std::uint32_t volumeStructures = 0;  // boot sector, FATs, root
};

Structures StructuresOf(Layout layout, std::uint32_t n, bool large) {
    Structures s;
    const std::uint32_t f = newformat::FatSectors(n);
    std::uint32_t root = 16;
    if (layout == Layout::Hdd) {
        s.volumeStart = 1u + newformat::HddAlignGap(static_cast<std::uint16_t>(f));
        s.sectors.push_back(0);
        if (!large) s.sectors.push_back(32);
    } else if (layout == Layout::Zip) {
        s.volumeStart = 32;
        s.sectors.push_back(0);
        root = newformat::ZipRootSectors(n);
    } else {
        root = newformat::FddRootSectors(n);
    }
    s.volumeStructures = 1 + 2 * f + root;
    for (std::uint32_t k = 0; k < s.volumeStructures; ++k) s.sectors.push_back(s.volumeStart + k);
    return s;
}

struct Area {
    std::uint32_t firstBlock;  // logical
    std::uint32_t blocks;
};

int RunDriver(Layout layout, std::uint32_t sd, const Medium& m) {
    switch (layout) {
        case Layout::Hdd:
            return newformat::FormatHddBoot(kDiskName, sd, m.zones, m.chips, m.large, m.chipCode);
        case Layout::Zip:
            return newformat::FormatZipBoot(kDiskName, sd, m.zones, m.chips, m.large, m.chipCode);
        case Layout::Fdd:
            return newformat::FormatFddBoot(kDiskName, sd, m.zones, m.chips, m.large, m.chipCode);
    }
    return 0;
}

using fatcheck::ReadHost;

class Sweep {
public:
    Sweep(unsigned every, bool verbose) : every_(every), verbose_(verbose) {
        char pattern[] = "/tmp/format_sweep.XXXXXX";
        const char* dir = mkdtemp(pattern);
        dir_ = dir != nullptr ? dir : "/tmp";
    }
    ~Sweep() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    void Medium(const ::Medium& m) {
        const kt4790::MediaGeometry g = kt4790::MakeMediaGeometry(m.zones, m.chips, m.large);
        std::set<std::uint32_t> sds = {0, 1, g.LogicalBlocks};
        const auto around = [&](std::uint32_t b) {
            for (std::uint32_t d : {b - 1, b, b + 1}) sds.insert(d);
        };
        for (std::uint32_t chip = 1; chip < g.ChipCount; ++chip) around(chip * g.LogicalBlocksPerChip);
        const std::uint32_t perZone = m.large ? 125 : 1000;
        for (std::uint32_t zone : {1u, 2u, m.zones - 1u}) {
            if (zone >= 1 && zone < m.zones) around(zone * perZone);
        }
        if (kt4790::IsWindowed(g, m.chipCode)) {
            for (std::uint32_t window = 1; window * 1000 < g.LogicalBlocks; ++window) around(window * 1000);
        }
        if (g.LogicalBlocks > 2) {
            around(g.LogicalBlocks / 2);
            sds.insert(g.LogicalBlocks - 1);
        }
        bool first = true;
        for (std::uint32_t sd : sds) {
            if (sd > g.LogicalBlocks || sd > 0xFFFF) continue;
            for (Layout layout : {Layout::Hdd, Layout::Zip, Layout::Fdd}) {
                const bool replaced = media_ % 2 == 1;
                if (first || every_ <= 1 || index_ % every_ == 0) Check(m, layout, sd, replaced);
                first = false;
                ++index_;
            }
        }
        ++media_;
    }

    int Finish() const {
        std::cout << "format_sweep: " << checked_ << " cases checked (" << formatted_ << " formatted, "
                  << checked_ - formatted_ << " refused), " << failures_ << " failed\n";
        return failures_ == 0 ? 0 : 1;
    }

private:
    void Fail(const std::string& what, const std::string& why) {
        ++failures_;
        std::cout << "FAIL " << what << ": " << why << "\n";
    }

    std::shared_ptr<emulator::Controller> MakeDisk(const ::Medium& m, std::uint32_t sd, bool replaced) {
        emulator::Config config;
        config.chipCode = m.chipCode;
        config.largeBlock = m.large;
        config.zoneCount = m.zones;
        config.chipCount = m.chips;
        config.deviceName = u"SWEEP DISK";
        if (replaced && emulator::MediumProblem(config).empty()) {
            // The blocks that hold the first sectors of each area.
            const emulator::Controller plain(config);
            for (std::uint32_t logical : {0u, 1u, sd, sd + 1}) {
                const std::uint32_t position = plain.PhysicalBlockOf(logical);
                if (position != emulator::Controller::kNone) emulator::AddReplacement(config, position, nullptr);
            }
        }
        return std::make_shared<emulator::Controller>(config);
    }

    void Check(const ::Medium& m, Layout layout, std::uint32_t sd, bool replaced) {
        ++checked_;
        const std::string what = Describe(m, layout, sd, replaced);
        if (verbose_) std::cout << what << "\n";
        winsim::World& world = winsim::World::Get();
        world.Reset();
        std::shared_ptr<emulator::Controller> disk = MakeDisk(m, sd, replaced);
        disk->SetTracing(false);
        world.AddDevice(disk);

        const std::uint32_t spb = kt4790::SectorsPerBlock(m.large);
        std::map<std::uint32_t, std::vector<std::uint8_t>> before;
        for (std::uint32_t sector : disk->WrittenSectors()) {
            std::vector<std::uint8_t> data(kSector);
            disk->ReadPhysical(sector, data.data(), nullptr);
            before[sector] = data;
        }

        // What the driver should do.
        const kt4790::MediaGeometry g = kt4790::MakeMediaGeometry(m.zones, m.chips, m.large);
        const std::uint32_t e = g.LogicalBlocks;
        const bool floppy = layout == Layout::Fdd;
        std::vector<Area> areas;
        if (sd == 0 || sd == e) {
            areas.push_back({0, e});
        } else if (sd < e) {
            areas.push_back({0, sd});
            areas.push_back({sd, e - sd});
        }
        bool expected = g.ZonesPerChip != 0 && kt4790::IsAddressable(g, m.chipCode) && !areas.empty();
        for (const Area& area : areas) expected = expected && newformat::AreaSizeFits(area.blocks * spb, floppy);

        const int result = RunDriver(layout, sd, m);
        if ((result != 0) != expected) {
            Fail(what, "the driver returned " + std::to_string(result) +
                           (world.MessageBoxes().empty() ? std::string() : ", message \"" + world.MessageBoxes()[0].text + "\""));
            return;
        }
        if (!world.MessageBoxes().empty()) Fail(what, "a message box: " + world.MessageBoxes()[0].text);

        // The flash sectors whose data changed, against the areas' structures.
        std::set<std::uint32_t> changed;
        std::set<std::uint32_t> unchanged;  // written before and holding the same data now
        for (std::uint32_t sector : disk->WrittenSectors()) {
            std::vector<std::uint8_t> data(kSector);
            disk->ReadPhysical(sector, data.data(), nullptr);
            const auto old = before.find(sector);
            if (old == before.end() || old->second != data) changed.insert(sector);
            else unchanged.insert(sector);
        }
        std::set<std::uint32_t> wanted;
        if (result != 0) {
            for (const Area& area : areas) {
                for (std::uint32_t k : StructuresOf(layout, area.blocks * spb, m.large).sectors) {
                    const std::uint32_t host = area.firstBlock * spb + k;
                    const std::uint32_t block = disk->PhysicalBlockOf(host / spb);
                    if (block == emulator::Controller::kNone) {
                        Fail(what, "area sector " + std::to_string(k) + " has no physical block");
                        return;
                    }
                    // A sector written with the data it had (the 0xFF sector of the
                    // hard-disk layout on a page whose spare area was written) shows
                    // no change.
                    const std::uint32_t physical = block * spb + host % spb;
                    if (unchanged.count(physical) == 0) wanted.insert(physical);
                }
            }
        }
        if (changed != wanted) {
            std::vector<std::uint32_t> stray, missing;
            std::set_difference(changed.begin(), changed.end(), wanted.begin(), wanted.end(), std::back_inserter(stray));
            std::set_difference(wanted.begin(), wanted.end(), changed.begin(), changed.end(),
                                std::back_inserter(missing));
            Fail(what, std::to_string(stray.size()) + " sectors changed outside the structures (first " +
                           (stray.empty() ? std::string("-") : std::to_string(stray[0])) + "), " +
                           std::to_string(missing.size()) + " structure sectors not written (first " +
                           (missing.empty() ? std::string("-") : std::to_string(missing[0])) + ")");
            return;
        }
        if (result == 0) return;
        ++formatted_;
        for (std::size_t i = 0; i < areas.size(); ++i) CheckArea(what + (i == 0 ? " [first area]" : " [second area]"), *disk, layout, areas[i], spb, m.large);
    }

    // The area's FAT volume as the host reads it, in a sparse file, checked
    // by fsck.fat.
    void CheckArea(const std::string& what, emulator::Controller& disk, Layout layout, const Area& area,
                   std::uint32_t spb, bool large) {
        const std::uint32_t n = area.blocks * spb;
        const std::uint32_t first = area.firstBlock * spb;
        const Structures s = StructuresOf(layout, n, large);
        std::uint8_t sector[kSector];
        if (layout != Layout::Fdd) {
            const auto le32 = [&](int at) {
                return std::uint32_t{sector[at]} | std::uint32_t{sector[at + 1]} << 8 |
                       std::uint32_t{sector[at + 2]} << 16 | std::uint32_t{sector[at + 3]} << 24;
            };
            if (!ReadHost(disk, first, sector) || sector[510] != 0x55 || sector[511] != 0xAA ||
                le32(454) != s.volumeStart) {
                Fail(what, "no master boot record with the partition at the area's start");
                return;
            }
        }
        const std::string problem =
            fatcheck::CheckVolume(disk, first + s.volumeStart, n - s.volumeStart, dir_ + "/volume.img");
        if (!problem.empty()) Fail(what, problem);
    }

    unsigned every_;
    bool verbose_;
    std::string dir_;
    unsigned index_ = 0;
    unsigned media_ = 0;
    unsigned checked_ = 0;
    unsigned formatted_ = 0;
    unsigned failures_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    unsigned every = 1;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--every" && i + 1 < argc) {
            every = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--verbose") {
            verbose = true;
        } else {
            std::cerr << "usage: format_sweep [--every N] [--verbose]\n";
            return 2;
        }
    }
    Sweep sweep(every, verbose);
    for (std::uint8_t chipCode : {std::uint8_t{0x13}, std::uint8_t{0x30}}) {
        for (bool large : {false, true}) {
            for (std::uint8_t chips = 1; chips <= 8; ++chips) {
                const std::vector<unsigned> perChip = large ? std::vector<unsigned>{1, 2, 4, 8, 16}
                                                            : std::vector<unsigned>{1, 2, 3, 8};
                for (unsigned zonesPerChip : perChip) {
                    const unsigned zones = zonesPerChip * chips;
                    // What the dialogs pass on: 16-bit logical block counts.
                    if (zones > 255 || (!large && zones > 65)) continue;
                    sweep.Medium({chipCode, large, static_cast<std::uint8_t>(zones), chips});
                }
            }
            // Media no controller has: nothing may be written.
            sweep.Medium({chipCode, large, 3, 2});
            sweep.Medium({chipCode, large, 9, 9});
            if (large) sweep.Medium({chipCode, large, 12, 1});
        }
    }
    return sweep.Finish();
}
