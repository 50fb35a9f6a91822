// The area writers and drivers through the real device library, loaded by
// its bare name, against emulated disks in the World: what reaches the
// device, the messages of the opening, the refusals, and that nothing stays
// open or loaded.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "app/devbind.h"
#include "tests/format/format_test.h"

namespace {

using namespace formattest;
using newformat::FormatParams;

class Formatter : public testing::Test {
protected:
    void SetUp() override {
        std::memset(&FormatParams, 0, sizeof FormatParams);
    }
    void TearDown() override { ExpectNothingLeft(); }
};

std::uint32_t Spb(const Medium& m) { return m.largeBlock ? 256 : 32; }

std::vector<std::uint32_t> Addresses(const std::vector<SectorWrite>& writes) {
    std::vector<std::uint32_t> out;
    for (const SectorWrite& w : writes) out.push_back(w.sector);
    return out;
}

std::vector<std::uint32_t> Range(std::uint32_t first, std::uint32_t count) {
    std::vector<std::uint32_t> out;
    for (std::uint32_t i = 0; i < count; ++i) out.push_back(first + i);
    return out;
}

std::vector<std::uint32_t> Join(std::vector<std::vector<std::uint32_t>> parts) {
    std::vector<std::uint32_t> out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

Sector Label(const char* text) {
    Sector s(12, 0);
    std::memcpy(s.data(), text, std::strlen(text));
    s[11] = 0x08;
    return s;
}

Sector Head(const Sector& s, std::size_t n) { return Sector(s.begin(), s.begin() + n); }

// --- the three layouts, sector by sector -----------------------------------

// One zone of small blocks, chip 0x30: a FAT12 area of 32,000 sectors, F = 3.
TEST_F(Formatter, HddLayoutWritesEachSectorOnceInOrder) {
    const Medium m{0x30, false, 1, 1};
    auto disk = AddDisk(m);
    newformat::SetVolumeLabel(3, "HDD LABEL");
    ASSERT_EQ(newformat::WriteHddArea(kDiskName, 32000, 0, 1, 1, false, 0x30), 1);

    // gap 40: boot sector 41, FATs 42-47, root 48-63.
    const auto writes = Writes(*disk);
    EXPECT_EQ(Addresses(writes), Join({{0, 32, 41}, Range(42, 6), Range(48, 16)}));
    for (const SectorWrite& w : writes) EXPECT_EQ(w.options, 0x80);  // Flag80, no SpareFlag

    const Sector mbr = HostSector(*disk, 0);
    EXPECT_EQ(Le32(mbr, 454), 41u);
    EXPECT_EQ(Le32(mbr, 458), 32000u - 41);
    EXPECT_TRUE(AllBytes(HostSector(*disk, 32), 0xFF));
    EXPECT_TRUE(AllBytes(HostSector(*disk, 33), 0xFF));  // never written: erased
    const Sector boot = HostSector(*disk, 41);
    EXPECT_EQ(Le32(boot, 28), 41u);
    EXPECT_EQ(Le16(boot, 17), 256u);
    for (std::uint32_t fat : {42u, 45u}) {
        const Sector first = HostSector(*disk, fat);
        EXPECT_EQ(Head(first, 4), (Sector{0xF8, 0xFF, 0xFF, 0x00}));
        EXPECT_TRUE(AllBytes(Sector(first.begin() + 3, first.end()), 0));
        EXPECT_TRUE(AllBytes(HostSector(*disk, fat + 1), 0));
    }
    const Sector root = HostSector(*disk, 48);
    EXPECT_EQ(Head(root, 12), Label("HDD LABEL"));
    EXPECT_TRUE(AllBytes(Sector(root.begin() + 12, root.end()), 0));
    EXPECT_TRUE(AllBytes(HostSector(*disk, 63), 0));
    EXPECT_TRUE(AllBytes(HostSector(*disk, 64), 0xFF));  // the data area is not written
}

TEST_F(Formatter, ZipLayoutWritesEachSectorOnceInOrder) {
    const Medium m{0x30, false, 1, 1};
    auto disk = AddDisk(m);
    ASSERT_EQ(newformat::WriteZipArea(kDiskName, 32000, 0, 1, 1, false, 0x30), 1);
    // R = 25: FATs 33-38, root 39-63.
    EXPECT_EQ(Addresses(Writes(*disk)), Join({{0, 32}, Range(33, 6), Range(39, 25)}));
    EXPECT_EQ(Le32(HostSector(*disk, 0), 454), 32u);
    EXPECT_EQ(Le16(HostSector(*disk, 32), 17), 25u * 16);
    // An all-zero slot 3: the root directory is empty.
    EXPECT_TRUE(AllBytes(HostSector(*disk, 39), 0));
}

TEST_F(Formatter, FddLayoutWritesEachSectorOnceInOrder) {
    const Medium m{0x30, true, 1, 1};  // large blocks: the same area size
    auto disk = AddDisk(m);
    newformat::SetVolumeLabel(3, "fdd");
    ASSERT_EQ(newformat::WriteFddArea(kDiskName, 32000, 0, 1, 1, true, 0x30), 1);
    EXPECT_EQ(Addresses(Writes(*disk)), Join({{0}, Range(1, 6), Range(7, 25)}));
    const Sector boot = HostSector(*disk, 0);
    EXPECT_EQ(boot[0], 0xEB);
    EXPECT_EQ(Le32(boot, 28), 0u);
    EXPECT_EQ(Head(HostSector(*disk, 7), 12), Label("fdd"));  // as typed, not upper-cased
}

TEST_F(Formatter, LargeBlockHddAreaGetsNoFillerSector) {
    const Medium m{0x13, true, 1, 1};
    auto disk = AddDisk(m);
    ASSERT_EQ(newformat::WriteHddArea(kDiskName, 32000, 1, 1, 1, true, 0x13), 1);
    // The area starts at block 1 (sector 256) of the device.
    EXPECT_EQ(Addresses(Writes(*disk)), Join({{256, 256 + 41}, Range(256 + 42, 6 + 16)}));
    EXPECT_EQ(HostSector(*disk, 0)[510], 0x55);
    EXPECT_TRUE(AllBytes(HostSector(*disk, 32), 0xFF));
}

TEST_F(Formatter, FatStartFollowsTheFatType) {
    for (std::uint32_t n : {131071u, 131072u}) {
        SCOPED_TRACE(n);
        World().Reset();
        auto disk = AddDisk({0x30, false, 5, 1});
        ASSERT_EQ(newformat::WriteFddArea(kDiskName, n, 0, 5, 1, false, 0x30), 1);
        const std::uint32_t f = newformat::FatSectors(n);
        const Sector expected =
            n < 131072 ? Sector{0xF8, 0xFF, 0xFF, 0x00, 0x00} : Sector{0xF8, 0xFF, 0xFF, 0xFF, 0x00};
        EXPECT_EQ(Head(HostSector(*disk, 1), 5), expected);
        EXPECT_EQ(Head(HostSector(*disk, 1 + f), 5), expected);
        EXPECT_EQ(HostSector(*disk, 0)[1], n < 131072 ? 0x3C : 0x3E);
        ExpectNothingLeft();
    }
}

// --- one VSCWriteSector per sector ---------------------------------------------

struct CountCase {
    const char* what;
    Medium medium;
    int (*driver)(const char*, std::uint32_t, std::uint8_t, std::uint8_t, bool, std::uint8_t);
    std::size_t writes;
};

TEST_F(Formatter, SectorWritesMatchTheLayoutFormula) {
    // 4,096,000 sectors, F = 250, R = 43: HDD 1 + 1 + 500 + 16 (+1 on small
    // blocks), ZIP 1 + 1 + 500 + 43, FDD 1 + 500 + 43.
    const CountCase cases[] = {
        {"HDD small", {0x13, false, 128, 1}, newformat::FormatHddBoot, 519},
        {"HDD large", {0x13, true, 128, 8}, newformat::FormatHddBoot, 518},
        {"ZIP small", {0x30, false, 128, 1}, newformat::FormatZipBoot, 545},
        {"FDD large", {0x30, true, 128, 1}, newformat::FormatFddBoot, 544},
        // One zone: F = 3, gap 40, R = 25.
        {"HDD one zone", {0x30, false, 1, 1}, newformat::FormatHddBoot, 1 + 1 + 1 + 6 + 16},
        {"ZIP one zone", {0x13, true, 1, 1}, newformat::FormatZipBoot, 1 + 1 + 6 + 25},
        {"FDD one zone", {0x13, false, 1, 1}, newformat::FormatFddBoot, 1 + 6 + 25},
    };
    for (const CountCase& c : cases) {
        SCOPED_TRACE(c.what);
        World().Reset();
        auto disk = AddDisk(c.medium);
        ASSERT_EQ(c.driver(kDiskName, 0, c.medium.zoneCount, c.medium.chipCount, c.medium.largeBlock,
                           c.medium.chipCode),
                  1);
        const auto writes = Writes(*disk);
        EXPECT_EQ(writes.size(), c.writes);
        for (const SectorWrite& w : writes) EXPECT_EQ(w.status, 0);
        ExpectNothingLeft();
    }
}

// --- the drivers: areas, start blocks, labels ------------------------------------

TEST_F(Formatter, OneAreaStartsAtBlockOneOnChip13AndZeroOnChip30WithSlotZero) {
    for (std::uint8_t chip : {std::uint8_t{0x13}, std::uint8_t{0x30}}) {
        for (bool large : {false, true}) {
            const Medium m{chip, large, 2, 1};
            const std::uint32_t e = large ? 250 : 2000;
            for (std::uint32_t sd : {0u, e}) {
                SCOPED_TRACE(std::to_string(chip) + (large ? " large" : " small") + " Sd " + std::to_string(sd));
                World().Reset();
                auto disk = AddDisk(m);
                newformat::SetVolumeLabel(0, "WHOLE");
                newformat::SetVolumeLabel(1, "STD");
                newformat::SetVolumeLabel(2, "SEC");
                ASSERT_EQ(newformat::FormatZipBoot(kDiskName, sd, 2, 1, large, chip), 1);
                const auto writes = Writes(*disk);
                ASSERT_FALSE(writes.empty());
                EXPECT_EQ(writes.front().sector, (chip == 0x13 ? 1 : 0) * Spb(m));
                EXPECT_EQ(writes.size(), 2u + 12 + 19);  // 64,000 sectors: F = 6, R = 19
                // The host sees one volume over the whole medium, labelled from slot 0.
                EXPECT_EQ(Le32(HostSector(*disk, 0), 458), 64000u - 32);
                EXPECT_EQ(Head(HostSector(*disk, 32 + 1 + 12), 12), Label("WHOLE"));
                EXPECT_EQ(Head(Sector(FormatParams.VolumeLabels[3], FormatParams.VolumeLabels[3] + 12), 12),
                          Label("WHOLE"));
                ExpectNothingLeft();
            }
        }
    }
}

TEST_F(Formatter, TwoAreasOnChip30SecurityStartsAtSdWithTheirOwnLabels) {
    const Medium m{0x30, false, 4, 1};  // E = 4000 blocks
    auto disk = AddDisk(m);
    newformat::SetVolumeLabel(0, "WHOLE");
    newformat::SetVolumeLabel(1, "STANDARD");
    newformat::SetVolumeLabel(2, "security");
    ASSERT_EQ(newformat::FormatHddBoot(kDiskName, 1500, 4, 1, false, 0x30), 1);

    const auto writes = Writes(*disk);
    // Standard area: 48,000 sectors, F = 5, gap 36: 1 + 1 + 1 + 10 + 16 writes.
    // Security area: 80,000 sectors, F = 8, gap 62: 1 + 1 + 1 + 16 + 16 writes.
    const std::size_t standardWrites = 1 + 1 + 1 + 10 + 16;
    ASSERT_GT(writes.size(), standardWrites);
    EXPECT_EQ(writes[standardWrites].sector, 1500u * 32);
    EXPECT_EQ(writes.size(), standardWrites + 1 + 1 + 1 + 16 + 16);

    // As the host sees them: each area a partitioned volume of its own size.
    const Sector standardMbr = HostSector(*disk, 0);
    const std::uint32_t standardGap = Le32(standardMbr, 454) - 1;
    EXPECT_EQ(Le32(standardMbr, 458), 48000u - standardGap - 1);
    const std::uint32_t standardRoot = 1 + standardGap + 1 + 2 * 5;
    EXPECT_EQ(Head(HostSector(*disk, standardRoot), 12), Label("STANDARD"));

    const std::uint32_t s2 = 1500 * 32;
    const Sector securityMbr = HostSector(*disk, s2);
    const std::uint32_t securityGap = Le32(securityMbr, 454) - 1;
    EXPECT_EQ(securityGap, 62u);
    EXPECT_EQ(Le32(securityMbr, 458), 80000u - 63);
    EXPECT_EQ(Head(HostSector(*disk, s2 + 1 + 62 + 1 + 16), 12), Label("security"));

    // Slot 3 ends with the security label; slots 0-2 are as stored.
    EXPECT_EQ(std::memcmp(FormatParams.VolumeLabels[3], FormatParams.VolumeLabels[2], 12), 0);
    EXPECT_EQ(Head(Sector(FormatParams.VolumeLabels[0], FormatParams.VolumeLabels[0] + 12), 12), Label("WHOLE"));
    EXPECT_EQ(Head(Sector(FormatParams.VolumeLabels[1], FormatParams.VolumeLabels[1] + 12), 12), Label("STANDARD"));
}

struct StartCase {
    const char* what;
    Medium medium;
    std::uint32_t sd;
    std::uint32_t s2;
};

TEST_F(Formatter, SecurityAreaStartBlocksOnChip13) {
    const StartCase cases[] = {
        {"small, Z = 1, Sd 999", {0x13, false, 2, 2}, 999, 1000},
        {"small, Z = 1, Sd 1000", {0x13, false, 2, 2}, 1000, 1025},
        {"small, Z = 2, Sd 2500", {0x13, false, 4, 2}, 2500, 2549},
        {"large, Z = 16, Sd 500", {0x13, true, 32, 2}, 500, 501},
        {"large, Z = 16, Sd 1500", {0x13, true, 32, 2}, 1500, 1524},
        {"large, Z = 16, Sd 2500", {0x13, true, 32, 2}, 2500, 2549},
        {"large, Z = 1, Sd 200", {0x13, true, 2, 2}, 200, 204},
    };
    for (const StartCase& c : cases) {
        SCOPED_TRACE(c.what);
        World().Reset();
        auto disk = AddDisk(c.medium);
        const Medium& m = c.medium;
        ASSERT_EQ(newformat::FormatFddBoot(kDiskName, c.sd, m.zoneCount, m.chipCount, m.largeBlock, 0x13), 1);
        const std::uint32_t spb = Spb(m);
        const auto writes = Writes(*disk);
        const std::size_t standardWrites = 1 + 2 * newformat::FatSectors(c.sd * spb) +
                                           newformat::FddRootSectors(c.sd * spb);
        ASSERT_GT(writes.size(), standardWrites);
        EXPECT_EQ(writes[standardWrites].sector, c.s2 * spb);

        // The host finds the security area's boot sector at logical block Sd:
        // the start block is where the controller keeps that block.
        const std::uint32_t e = m.largeBlock ? m.zoneCount * 125u : m.zoneCount * 1000u;
        const Sector boot = HostSector(*disk, c.sd * spb);
        EXPECT_EQ(boot[510], 0x55);
        EXPECT_EQ(Le32(boot, 32) + Le16(boot, 19), (e - c.sd) * spb);
        ExpectNothingLeft();
    }
}

TEST_F(Formatter, SecurityAreaSectorsBeyondTheChipsDataBlocksMoveToTheNextChip) {
    // Small blocks, Z = 1: the security area starts at device block 1000, the
    // last data block of chip 1; its later sectors lie in chip 2 from block 1025.
    const Medium m{0x13, false, 2, 2};
    auto disk = AddDisk(m);
    ASSERT_EQ(newformat::FormatHddBoot(kDiskName, 999, 2, 2, false, 0x13), 1);
    const auto writes = Writes(*disk);
    const std::size_t standardWrites = 1 + 1 + 1 + 2 * newformat::FatSectors(999 * 32) + 16;
    ASSERT_GT(writes.size(), standardWrites + 1);
    EXPECT_EQ(writes[standardWrites].sector, 1000u * 32);     // its master boot record
    EXPECT_EQ(writes[standardWrites + 1].sector, 1025u * 32);  // the 0xFF sector, area sector 32
    // As the host sees it, a complete hard-disk volume at logical block 999.
    const std::uint32_t base = 999 * 32;
    const Sector mbr = HostSector(*disk, base);
    const std::uint32_t bootAt = Le32(mbr, 454);
    EXPECT_TRUE(AllBytes(HostSector(*disk, base + 32), 0xFF));
    const Sector boot = HostSector(*disk, base + bootAt);
    EXPECT_EQ(Le32(boot, 28), bootAt);
    EXPECT_EQ(Le32(boot, 32) + Le16(boot, 19), 1001u * 32 - bootAt);
}

TEST_F(Formatter, TheNamedDeviceIsTheOneWritten) {
    auto other = AddDisk({0x30, false, 1, 1}, u"OTHER DISK");
    auto disk = AddDisk({0x30, false, 1, 1});
    ASSERT_EQ(newformat::FormatFddBoot(kDiskName, 0, 1, 1, false, 0x30), 1);
    EXPECT_EQ(Writes(*disk).size(), 32u);
    EXPECT_TRUE(Writes(*other).empty());
}

TEST_F(Formatter, NoOpeningOutlivesTheDriver) {
    auto disk = AddDisk({0x30, false, 1, 1});
    ASSERT_EQ(newformat::FormatHddBoot(kDiskName, 0, 1, 1, false, 0x30), 1);
    disk->ClearTrace();
    // The procedure and device of the ended openings are gone with them.
    EXPECT_EQ(newformat::WriteFormatSector(0), 0);
    EXPECT_TRUE(Writes(*disk).empty());
}

// --- the opening's messages ---------------------------------------------------------

struct OpeningCase {
    const char* what;
    void (*arrange)();
    const char* text;
    const char* caption;
};

void HideLibrary() { World().HideLibrary(kLibraryName); }
void HideFinder() { World().HideExport(kLibraryName, devbind::ProcNameTable[devbind::kFinder]); }
void HideWriter() { World().HideExport(kLibraryName, "VSCWriteSector"); }
void NoSuchDevice() {}

TEST_F(Formatter, OpeningFailuresShowTheirMessageAndWriteNothing) {
    const OpeningCase cases[] = {
#ifdef KT4790_ASPI
        {"library missing", HideLibrary, "Can't load the KT4790mDLL.", "ERROR"},
#else
        {"library missing", HideLibrary, "Can't load the KT4790DLL.", "ERROR"},
#endif
        {"finder missing", HideFinder, "Load library failed!", "WARNING"},
        {"VSCWriteSector missing", HideWriter, "Load library failed!", "ERROR"},
        {"device not found", NoSuchDevice, "Please check the device!", "WARNING"},
    };
    for (const OpeningCase& c : cases) {
        for (int entry = 0; entry < 2; ++entry) {
            SCOPED_TRACE(std::string(c.what) + (entry == 0 ? " (driver)" : " (writer)"));
            World().Reset();
            auto disk = AddDisk({0x30, false, 1, 1}, u"ANOTHER NAME");
            c.arrange();
            const int result = entry == 0 ? newformat::FormatHddBoot(kDiskName, 0, 1, 1, false, 0x30)
                                          : newformat::WriteZipArea(kDiskName, 32000, 0, 1, 1, false, 0x30);
            EXPECT_EQ(result, 0);
            ASSERT_EQ(World().MessageBoxes().size(), 1u);
            const winsim::MessageBoxCall& box = World().MessageBoxes()[0];
            EXPECT_EQ(box.text, c.text);
            EXPECT_EQ(box.caption, c.caption);
            EXPECT_EQ(box.type, static_cast<std::uint32_t>(MB_OK | MB_ICONWARNING));
            EXPECT_EQ(box.owner, 0u);
            EXPECT_TRUE(Writes(*disk).empty());
            ExpectNothingLeft();
        }
    }
}

// --- failures while writing -----------------------------------------------------

TEST_F(Formatter, AFailedWriteEndsTheRunAtOnceWithoutRetry) {
    const Medium m{0x30, false, 4, 1};
    auto disk = AddDisk(m);
    // Learn where the fifth sector write of a two-area run falls ...
    ASSERT_EQ(newformat::FormatZipBoot(kDiskName, 2000, 4, 1, false, 0x30), 1);
    std::size_t fifth = 0;
    {
        int seen = 0;
        const auto& trace = disk->trace();
        for (std::size_t i = 0; i < trace.size() && seen < 5; ++i) {
            if (trace[i].cdb[0] == 0xF4 && ++seen == 5) fifth = i;
        }
    }
    // ... and make exactly that command fail in the same run again.
    disk->ClearTrace();
    emulator::Fault fault;
    fault.kind = emulator::FaultKind::CheckCondition;
    fault.afterCommands = static_cast<std::uint32_t>(fifth);
    disk->InjectFault(fault);
    EXPECT_EQ(newformat::FormatZipBoot(kDiskName, 2000, 4, 1, false, 0x30), 0);
    const auto writes = Writes(*disk);
    ASSERT_EQ(writes.size(), 5u);
    EXPECT_EQ(writes[4].status, emulator::kStatusCheckCondition);
    EXPECT_TRUE(World().MessageBoxes().empty());  // the caller reports the failure
}

TEST_F(Formatter, AFailedFirstAreaLeavesTheSecondUnwritten) {
    auto disk = AddDisk({0x30, false, 4, 1});
    emulator::Fault fault;
    fault.kind = emulator::FaultKind::Removed;
    fault.opcode = 0xF4;
    disk->InjectFault(fault);
    EXPECT_EQ(newformat::FormatFddBoot(kDiskName, 2000, 4, 1, false, 0x30), 0);
    const auto writes = Writes(*disk);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_FALSE(writes[0].delivered);
}

TEST_F(Formatter, WriteProtectedMediumFailsOnTheFirstSector) {
    emulator::Config config;
    config.deviceName = u"FORMAT DISK";
    config.writeProtected = true;
    auto disk = std::make_shared<emulator::Controller>(config);
    World().AddDevice(disk);
    EXPECT_EQ(newformat::WriteHddArea(kDiskName, 32000, 0, 1, 1, false, 0x30), 0);
    EXPECT_EQ(Writes(*disk).size(), 1u);
}

// --- refusals: nothing written, no division by zero ---------------------------------

struct RefusalCase {
    const char* what;
    Medium medium;                  // the disk attached
    std::uint8_t zones, chips, chip;  // what the caller passes
    std::uint32_t sd;
    bool floppy;
};

TEST_F(Formatter, MediaWithoutASoundLayoutAreRefusedBeforeAnyWrite) {
    const RefusalCase cases[] = {
        {"ChipCount 0", {0x30, false, 1, 1}, 1, 0, 0x30, 0, false},
        {"ZoneCount below ChipCount", {0x30, false, 1, 1}, 1, 2, 0x30, 0, false},
        {"ZoneCount 0", {0x30, false, 1, 1}, 0, 1, 0x13, 0, true},
        {"chip code 0x21", {0x30, false, 1, 1}, 1, 1, 0x21, 0, false},
        {"chip code 0x00, two areas", {0x30, false, 2, 1}, 2, 1, 0x00, 1000, true},
        {"standard area beyond the medium", {0x30, false, 1, 1}, 1, 1, 0x30, 1001, false},
        {"255 zones: more clusters than FAT16 numbers", {0x30, false, 255, 1}, 255, 1, 0x30, 0, false},
        {"132 zones", {0x13, false, 132, 1}, 132, 1, 0x13, 0, true},
        {"security area of 2 small blocks", {0x30, false, 1, 1}, 1, 1, 0x30, 998, false},
        {"3 zones on 2 chips", {0x13, false, 3, 2}, 3, 2, 0x13, 2500, true},
        {"9 chips", {0x30, false, 9, 9}, 9, 9, 0x30, 0, false},
        {"standard area of 1 small block", {0x30, false, 1, 1}, 1, 1, 0x30, 1, true},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.what);
        World().Reset();
        auto disk = AddDisk(c.medium);
        auto driver = c.floppy ? newformat::FormatFddBoot : newformat::FormatHddBoot;
        EXPECT_EQ(driver(kDiskName, c.sd, c.zones, c.chips, false, c.chip), 0);
        EXPECT_TRUE(Writes(*disk).empty());
        EXPECT_TRUE(World().MessageBoxes().empty());
        ExpectNothingLeft();
    }
}

TEST_F(Formatter, WritersRefuseWhatTheDriversRefuse) {
    auto disk = AddDisk({0x30, false, 1, 1});
    EXPECT_EQ(newformat::WriteHddArea(kDiskName, 32000, 0, 1, 0, false, 0x30), 0);
    EXPECT_EQ(newformat::WriteZipArea(kDiskName, 32000, 0, 1, 3, true, 0x30), 0);
    EXPECT_EQ(newformat::WriteFddArea(kDiskName, 8160000, 0, 255, 1, false, 0x30), 0);
    EXPECT_EQ(newformat::WriteHddArea(kDiskName, 64, 0, 1, 1, false, 0x30), 0);
    EXPECT_EQ(newformat::WriteHddArea(kDiskName, 32000, 0, 1, 1, false, 0x21), 0);
    EXPECT_EQ(newformat::WriteFddArea(kDiskName, 32000, 1, 12, 1, true, 0x13), 0);
    EXPECT_TRUE(Writes(*disk).empty());
}

TEST_F(Formatter, LargestMediumSplitIntoTwoAreasThatEachFit) {
    auto disk = AddDisk({0x30, false, 255, 1});
    ASSERT_EQ(newformat::FormatHddBoot(kDiskName, 127500, 255, 1, false, 0x30), 1);
    // Two FAT16 areas of 4,080,000 sectors, F = 250.
    EXPECT_EQ(Writes(*disk).size(), 2u * (1 + 1 + 1 + 500 + 16));
}

}  // namespace
