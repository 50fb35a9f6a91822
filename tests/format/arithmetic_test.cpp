// The formatter's arithmetic: FAT sizes, the alignment gap, root sizes,
// head counts, the sector map, byte order and the label slots.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include <cstdint>
#include <cstring>

#include "format/Newformat.h"
#include "tests/format/format_test.h"

namespace {

using namespace newformat;

TEST(FatSectors, WorkedExamplesAndClusterBoundaries) {
    EXPECT_EQ(FatSectors(64000), 6);
    EXPECT_EQ(FatSectors(1024000), 125);
    EXPECT_EQ(FatSectors(2048000), 125);  // halved: 64-sector clusters
    EXPECT_EQ(FatSectors(4096000), 250);
    EXPECT_EQ(FatSectors(2047999), 250);  // not halved
    EXPECT_EQ(FatSectors(131071), 12);    // FAT12: 6143 bytes
    EXPECT_EQ(FatSectors(131072), 16);    // FAT16: 8192 bytes
    EXPECT_EQ(FatSectors(32), 1);
}

TEST(FatSectors, EveryWholeMediumGetsAFatForAllItsClusters) {
    // A whole medium is 32,000 sectors per zone in both block sizes. (Some
    // sizes of split areas get a FAT without room for their last cluster,
    // 21,856 sectors for one: the layout rules give them so.)
    for (std::uint32_t zones = 1; zones <= 255; ++zones) {
        const std::uint32_t n = zones * 32000;
        if (!AreaSizeFits(n, false)) break;
        const std::uint32_t f = FatSectors(n);
        const std::uint32_t spc = n < 2048000 ? 32 : 64;
        const bool fat12 = n < 131072;
        // The floppy layout's data area starts earliest, so it has the most clusters.
        const std::uint32_t floppyDataStart = 1 + 2 * f + FddRootSectors(n);
        const std::uint32_t clusters = (n - floppyDataStart) / spc;
        EXPECT_EQ(clusters < 4085, fat12) << "zones " << zones;
        const std::uint32_t entries = f * 512 * 8 / (fat12 ? 12 : 16);
        EXPECT_LE(clusters + 2, entries) << "zones " << zones;
    }
}

TEST(HddAlignGap, WorkedValuesAndAlignmentForEveryFatSize) {
    EXPECT_EQ(HddAlignGap(6), 34);
    EXPECT_EQ(HddAlignGap(125), 52);
    for (std::uint32_t f = 0; f <= 0xFFFF; ++f) {
        const std::uint32_t gap = HddAlignGap(static_cast<std::uint16_t>(f));
        ASSERT_EQ(gap % 2, 0u) << "F = " << f;
        ASSERT_GE(gap, 32u) << "F = " << f;
        ASSERT_LE(gap, 62u) << "F = " << f;
        // master boot record, gap, boot sector, two FATs, 16 root sectors
        ASSERT_EQ((1 + gap + 1 + 2 * f + 16) % 32, 0u) << "F = " << f;
    }
}

TEST(RootSectors, WorkedValuesRangeAndAlignment) {
    EXPECT_EQ(ZipRootSectors(64000), 19);
    EXPECT_EQ(FddRootSectors(64000), 19);
    EXPECT_EQ(ZipRootSectors(1024000), 37);
    EXPECT_EQ(FddRootSectors(1024000), 37);
    for (std::uint32_t n = 32; n <= 8160000; n += 32) {
        const std::uint32_t zip = ZipRootSectors(n);
        const std::uint32_t f = FatSectors(n);
        ASSERT_EQ(zip, FddRootSectors(n)) << "n = " << n;
        ASSERT_GE(zip, 17u) << "n = " << n;
        ASSERT_LE(zip, 47u) << "n = " << n;
        // The data area starts on a multiple of 32 in both layouts.
        ASSERT_EQ((32 + 1 + 2 * f + zip) % 32, 0u) << "n = " << n;
        ASSERT_EQ((1 + 2 * f + FddRootSectors(n)) % 32, 0u) << "n = " << n;
    }
}

TEST(HeadsForSize, Boundaries) {
    EXPECT_EQ(HeadsForSize(0), 8);
    EXPECT_EQ(HeadsForSize(255999), 8);
    EXPECT_EQ(HeadsForSize(256000), 16);
    EXPECT_EQ(HeadsForSize(511999), 16);
    EXPECT_EQ(HeadsForSize(512000), 31);
    EXPECT_EQ(HeadsForSize(1023999), 31);
#ifdef KT4790_ASPI
    EXPECT_EQ(HeadsForSize(1024000), 63);
    EXPECT_EQ(HeadsForSize(8160000), 63);
#else
    EXPECT_EQ(HeadsForSize(1024000), 255);
    EXPECT_EQ(HeadsForSize(8160000), 255);
#endif
}

TEST(AreaSizeFits, FatSixteenClusterLimitAndRoomForTheStructures) {
    EXPECT_TRUE(AreaSizeFits(4096000, false));
    EXPECT_TRUE(AreaSizeFits(4192000, false));   // 131 small-block zones: 65,491 clusters
    EXPECT_FALSE(AreaSizeFits(4224000, false));  // 132 zones: 65,991 clusters
    EXPECT_FALSE(AreaSizeFits(8160000, false));
    EXPECT_FALSE(AreaSizeFits(8160000, true));
    // The largest area whose clusters still have FAT16 numbers: data from
    // sector 576, 65,524 clusters of 64 sectors and 63 sectors to spare.
    EXPECT_TRUE(AreaSizeFits(576 + 65525 * 64 - 1, false));
    EXPECT_FALSE(AreaSizeFits(576 + 65525 * 64, false));

    // Data start 64 in the hard-disk and ZIP layouts, 32 in the floppy one.
    EXPECT_FALSE(AreaSizeFits(0, false));
    EXPECT_FALSE(AreaSizeFits(32, false));
    EXPECT_FALSE(AreaSizeFits(64, false));
    EXPECT_TRUE(AreaSizeFits(96, false));
    EXPECT_FALSE(AreaSizeFits(32, true));
    EXPECT_TRUE(AreaSizeFits(64, true));
}

class MapSectorTest : public testing::Test {
protected:
    void Geometry(std::uint8_t zones, std::uint8_t chips, bool large, std::uint8_t chipCode = 0x13) {
        FormatParams.ZoneCount = zones;
        FormatParams.ChipCount = chips;
        FormatParams.LargeBlock = large ? 1 : 0;
        FormatParams.ChipCode = chipCode;
    }
    void TearDown() override { Geometry(0, 0, false, 0); }
};

TEST_F(MapSectorTest, SmallBlocksWorkedExamples) {
    Geometry(1, 1, false);
    EXPECT_EQ(MapSector(32037), 32805u);  // block 1001, sector 5 -> block 1025, sector 5
    EXPECT_EQ(MapSector(32000), 32000u);  // block 1000 stays
}

// Blocks past a chip's (or window's) data blocks move onto the next one's
// first data block; every other block, and every address on chip 0x30,
// stays. Each case lists the device block of every area block 0..top.
TEST_F(MapSectorTest, BlocksPastTheDataBlocksMoveOnToTheNextDataBlocks) {
    struct Case {
        const char* what;
        std::uint8_t zones, chips;
        bool large;
        std::uint8_t chipCode;
        std::uint32_t top;
        std::function<std::uint32_t(std::uint32_t)> device;
    };
    const Case cases[] = {
        {"small, 1 zone per chip", 2, 2, false, 0x13, 3 * 1024,
         [](std::uint32_t b) { return b % 1024 > 1000 ? b + 24 : b; }},
        {"large, 1 zone per chip", 3, 3, true, 0x13, 3 * 128, [](std::uint32_t b) { return b % 128 > 125 ? b + 3 : b; }},
        {"large, 4 zones per chip", 8, 2, true, 0x13, 3 * 512,
         [](std::uint32_t b) { return b % 512 > 500 ? b + 12 : b; }},
        {"large, windowed", 32, 2, true, 0x13, 4 * 1024,
         [](std::uint32_t b) {
             const std::uint32_t offset = b % 1024;
             if ((b / 1024) % 2 == 0) return offset > 1000 ? b + 23 : b;
             return offset >= 1000 ? b + 25 : b;
         }},
        {"chip 0x30, small", 4, 2, false, 0x30, 5000, [](std::uint32_t b) { return b; }},
        {"chip 0x30, large", 8, 1, true, 0x30, 1000, [](std::uint32_t b) { return b; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Geometry(c.zones, c.chips, c.large, c.chipCode);
        const std::uint32_t spb = c.large ? 256 : 32;
        for (std::uint32_t block = 0; block <= c.top; ++block) {
            ASSERT_EQ(MapSector(block * spb + 5), c.device(block) * spb + 5) << "block " << block;
        }
    }
}

TEST_F(MapSectorTest, NoZonesPerChipLeavesTheAddressAndDividesByNothing) {
    Geometry(1, 0, false);
    EXPECT_EQ(MapSector(40000), 40000u);
    Geometry(1, 2, true);
    EXPECT_EQ(MapSector(40000), 40000u);
}

// The published sector rule, as written: small blocks move by the
// replacement blocks of a chip's range; large blocks are tested in units of
// 128 sectors against 4 and 3 per zone and moved in units of 256.
std::uint32_t PublishedMapSector(std::uint32_t a, std::uint32_t zonesPerChip, bool large) {
    const std::uint32_t z = zonesPerChip;
    if (!large) {
        const std::uint32_t c = z * 1024, f = z * 1000, e = a >> 5;
        return e % c > f ? (e + c - f) * 32 + a % 32 : a;
    }
    const std::uint32_t c = z * 4, f = z * 3, e = a >> 7;
    return e % c > f ? (e + z) * 256 + a % 128 : a;
}

// The published start of the security area after `sd` standard blocks, on
// media without windows.
std::uint32_t PublishedSecurityStart(std::uint8_t chipCode, std::uint32_t sd, std::uint32_t f, std::uint32_t g) {
    return chipCode == 0x30 ? sd : (sd / f) * g + sd % f + 1;
}

// Where the published rules settle the sector map with no choice left (chip
// 0x13 with one zone per chip, 1 to 8 chips, both block sizes; chip 0x30 with
// one chip of small blocks, 1 to 65 zones), the device sectors every layout
// writes, whole medium and split around each chip's end, are the published
// arithmetic's: the driver's area starts and MapSector as published. The
// large-block rule that the controller's model replaces (emulator/README.md)
// parts from the published one here only on a chip's last two blocks, where no
// area of these media starts and no layout writes; the media with 9 to 15 or
// more than 16 zones of large blocks per chip, which the host refuses, and
// the windowed ones are not in this table.
TEST_F(MapSectorTest, EveryLayoutWritesWhereThePublishedArithmeticPutsItsSectors) {
    using formattest::AddDisk;
    using formattest::World;
    using formattest::Medium;
    struct Case {
        Medium medium;
        std::vector<std::uint32_t> splits;  // standard blocks; 0: one area
    };
    std::vector<Case> cases;
    for (const bool large : {false, true}) {
        for (std::uint8_t chips = 1; chips <= 8; ++chips) {
            const std::uint32_t f = large ? 125 : 1000;
            std::vector<std::uint32_t> splits = {0};
            for (std::uint32_t chip = 1; chip <= chips; ++chip) {
                for (const std::uint32_t sd : {chip * f - 3, chip * f - 1, chip * f, chip * f + 1}) {
                    if (sd < chips * f) splits.push_back(sd);
                }
            }
            cases.push_back({{0x13, large, chips, chips}, splits});
        }
    }
    for (std::uint8_t zones = 1; zones <= 65; ++zones) {
        const std::uint32_t e = zones * 1000u;
        cases.push_back({{0x30, false, zones, 1}, {0, 999, e / 2, e - 999}});
    }

    const newformat::BootLayout layouts[] = {newformat::BootLayout::Hdd, newformat::BootLayout::Zip,
                                             newformat::BootLayout::Fdd};
    int formats = 0;
    for (const Case& c : cases) {
        const Medium& m = c.medium;
        SCOPED_TRACE(testing::Message() << "chip 0x" << std::hex << int{m.chipCode} << std::dec << ", "
                                        << (m.largeBlock ? "large" : "small") << ", " << int{m.zoneCount}
                                        << " zones, " << int{m.chipCount} << " chips");
        World().Reset();
        const auto disk = AddDisk(m);
        // The area sectors a layout writes, where no map moves them: chip
        // 0x30 from block 0.
        const auto plain = AddDisk({0x30, false, 1, 1}, u"PLAIN DISK");
        const std::uint32_t spb = m.largeBlock ? 256 : 32;
        const std::uint32_t z = m.zoneCount / m.chipCount;
        const std::uint32_t f = z * (m.largeBlock ? 125 : 1000), g = z * (m.largeBlock ? 128 : 1024);
        const std::uint32_t e = m.zoneCount * (m.largeBlock ? 125u : 1000u);
        const std::uint32_t first = m.chipCode == 0x13 ? 1 : 0;
        for (const newformat::BootLayout layout : layouts) {
            const bool floppy = layout == newformat::BootLayout::Fdd;
            const auto published = [&](std::uint32_t start, std::uint32_t blocks) {
                plain->ClearTrace();
                EXPECT_EQ(newformat::WriteLayoutArea(layout, "PLAIN DISK", blocks * spb, 0, m.zoneCount,
                                                     m.chipCount, m.largeBlock, 0x30),
                          1);
                std::vector<std::uint32_t> sectors;
                for (const formattest::SectorWrite& w : formattest::Writes(*plain)) {
                    sectors.push_back(PublishedMapSector(start * spb + w.sector, z, m.largeBlock));
                }
                return sectors;
            };
            for (const std::uint32_t sd : c.splits) {
                SCOPED_TRACE(testing::Message() << "layout " << static_cast<int>(layout) << ", standard " << sd);
                if (sd != 0 && (!newformat::AreaSizeFits(sd * spb, floppy) ||
                                !newformat::AreaSizeFits((e - sd) * spb, floppy))) {
                    continue;  // refused before anything is written
                }
                std::vector<std::uint32_t> expected = published(first, sd == 0 ? e : sd);
                if (sd != 0) {
                    const std::vector<std::uint32_t> security =
                        published(PublishedSecurityStart(m.chipCode, sd, f, g), e - sd);
                    expected.insert(expected.end(), security.begin(), security.end());
                }
                disk->ClearTrace();
                ASSERT_EQ(newformat::FormatBoot(layout, formattest::kDiskName, sd, m.zoneCount, m.chipCount,
                                                m.largeBlock, m.chipCode),
                          1);
                std::vector<std::uint32_t> written;
                for (const formattest::SectorWrite& w : formattest::Writes(*disk)) written.push_back(w.sector);
                EXPECT_EQ(written, expected);
                ++formats;
            }
        }
    }
    EXPECT_GT(formats, 1000);
}

TEST(SwapBytes, ReversesInPlace) {
    std::uint8_t word[2] = {0x12, 0x34};
    SwapBytes(word, 2);
    EXPECT_EQ(word[0], 0x34);
    EXPECT_EQ(word[1], 0x12);
    std::uint8_t dword[5] = {1, 2, 3, 4, 9};
    SwapBytes(dword, 4);
    EXPECT_EQ(std::memcmp(dword, "\x04\x03\x02\x01\x09", 5), 0);
    std::uint8_t odd[3] = {1, 2, 3};
    SwapBytes(odd, 3);
    EXPECT_EQ(std::memcmp(odd, "\x03\x02\x01", 3), 0);
    SwapBytes(odd, 0);
    SwapBytes(odd, 1);
    EXPECT_EQ(std::memcmp(odd, "\x03\x02\x01", 3), 0);
}

class LabelSlots : public testing::Test {
protected:
    void TearDown() override { std::memset(FormatParams.VolumeLabels, 0, sizeof FormatParams.VolumeLabels); }
};

TEST_F(LabelSlots, StoredAsTypedWithTheAttribute) {
    SetVolumeLabel(0, "abc");
    const std::uint8_t abc[12] = {'a', 'b', 'c', 0, 0, 0, 0, 0, 0, 0, 0, 0x08};
    EXPECT_EQ(std::memcmp(FormatParams.VolumeLabels[0], abc, 12), 0);

    SetVolumeLabel(1, "ELEVEN CHRS");
    EXPECT_EQ(std::memcmp(FormatParams.VolumeLabels[1], "ELEVEN CHRS\x08", 12), 0);

    SetVolumeLabel(2, "TWELVE CHARS AND MORE");
    EXPECT_EQ(std::memcmp(FormatParams.VolumeLabels[2], "TWELVE CHAR\x08", 12), 0);
}

TEST_F(LabelSlots, EmptyLabelClearsTheSlot) {
    SetVolumeLabel(0, "OLD");
    SetVolumeLabel(0, "");
    const std::uint8_t zero[12] = {};
    EXPECT_EQ(std::memcmp(FormatParams.VolumeLabels[0], zero, 12), 0);
    SetVolumeLabel(0, "OLD");
    SetVolumeLabel(0, nullptr);
    EXPECT_EQ(std::memcmp(FormatParams.VolumeLabels[0], zero, 12), 0);
}

TEST_F(LabelSlots, ReadsNoByteBeyondElevenOfAnUnterminatedText) {
    // Exactly 11 bytes on the heap with no terminator: reading a twelfth
    // would be seen by the address sanitizer.
    char* text = new char[11];
    std::memcpy(text, "ABCDEFGHIJK", 11);
    SetVolumeLabel(3, text);
    delete[] text;
    EXPECT_EQ(std::memcmp(FormatParams.VolumeLabels[3], "ABCDEFGHIJK\x08", 12), 0);
}

}  // namespace
