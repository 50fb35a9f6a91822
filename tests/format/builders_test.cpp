// The master boot records and boot sectors of the three layouts, against the
// worked examples and the boundaries where their fields change.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "format/Newformat.h"
#include "format/boot/bootcode.h"

namespace {

using namespace newformat;
using Sector = std::vector<std::uint8_t>;

Sector Built(void (*build)(std::uint32_t, std::uint8_t*), std::uint32_t n) {
    Sector s(512, 0);
    build(n, s.data());
    return s;
}

std::uint32_t Le16(const Sector& s, std::size_t at) { return s[at] | (s[at + 1] << 8); }
std::uint32_t Le32(const Sector& s, std::size_t at) { return Le16(s, at) | (Le16(s, at + 2) << 16); }

struct PartitionEntry {
    std::uint8_t startHead, startSector, type, endHead, endSectorByte, endCylinderByte;
    std::uint32_t lba, size;
};

void ExpectEntry(const Sector& mbr, const PartitionEntry& e, const std::string& what) {
    SCOPED_TRACE(what);
    EXPECT_EQ(std::memcmp(mbr.data(), kMasterBootProgram, 446), 0);
    EXPECT_EQ(mbr[446], 0x80);
    EXPECT_EQ(mbr[447], e.startHead);
    EXPECT_EQ(mbr[448], e.startSector);
    EXPECT_EQ(mbr[449], 0);
    EXPECT_EQ(mbr[450], e.type);
    EXPECT_EQ(mbr[451], e.endHead);
    EXPECT_EQ(mbr[452], e.endSectorByte);
    EXPECT_EQ(mbr[453], e.endCylinderByte);
    EXPECT_EQ(Le32(mbr, 454), e.lba);
    EXPECT_EQ(Le32(mbr, 458), e.size);
    for (std::size_t i = 462; i < 510; ++i) ASSERT_EQ(mbr[i], 0) << "byte " << i;
    EXPECT_EQ(mbr[510], 0x55);
    EXPECT_EQ(mbr[511], 0xAA);
}

TEST(HddMbr, WorkedExamples) {
    ExpectEntry(Built(BuildHddMbr, 64000), {0, 36, 1, 0, 55, 127, 35, 63965}, "64,000");
#ifdef KT4790_ASPI
    // 63 heads: 258 cylinders, whose bits 8-9 go into the end sector byte.
    ExpectEntry(Built(BuildHddMbr, 1024000), {0, 54, 6, 0, 61 | 0x40, 2, 53, 1023947}, "1,024,000");
#else
    ExpectEntry(Built(BuildHddMbr, 1024000), {0, 54, 6, 126, 61, 64, 53, 1023947}, "1,024,000");
    ExpectEntry(Built(BuildHddMbr, 2048000), {0, 54, 6, 252, 59, 128, 53, 2047947}, "2,048,000");
    // 261 cylinders of 255 heads: bits 8-9 of the count in the end sector byte.
    ExpectEntry(Built(BuildHddMbr, 4192000), {0, 48, 6, 236, 43 | 0x40, 5, 47, 4191953}, "4,192,000");
#endif
}

TEST(HddMbr, PartitionTypeFollowsTheWholeArea) {
    ExpectEntry(Built(BuildHddMbr, 65536), {0, 36, 1, 1, 16, 131, 35, 65501}, "65,536");
    ExpectEntry(Built(BuildHddMbr, 65537), {0, 36, 6, 1, 17, 131, 35, 65502}, "65,537");
}

TEST(ZipMbr, WorkedExamples) {
    ExpectEntry(Built(BuildZipMbr, 64000), {1, 1, 1, 16, 32, 32, 32, 63968}, "64,000");
    // 500 cylinders: bits 8-9 in the end sector byte.
    ExpectEntry(Built(BuildZipMbr, 1024000), {1, 1, 6, 0, 32 | 0x40, 244, 32, 1023968}, "1,024,000");
    ExpectEntry(Built(BuildZipMbr, 65537), {1, 1, 6, 1, 1, 33, 32, 65505}, "65,537");
}

struct BootFields {
    std::uint32_t sectorsPerCluster, rootEntries, total16, fatSectors, sectorsPerTrack, heads, hidden, total32;
};

void ExpectBootSector(const Sector& s, std::uint32_t n, const BootFields& f, const std::string& what) {
    SCOPED_TRACE(what);
    const bool fat12 = n < 131072;
    EXPECT_EQ(s[0], 0xEB);
    EXPECT_EQ(s[1], fat12 ? 0x3C : 0x3E);
    EXPECT_EQ(s[2], 0x90);
    EXPECT_EQ(std::string(s.begin() + 3, s.begin() + 11), "Tesmaren");
    EXPECT_EQ(Le16(s, 11), 512u);
    EXPECT_EQ(s[13], f.sectorsPerCluster);
    EXPECT_EQ(Le16(s, 14), 1u);
    EXPECT_EQ(s[16], 2);
    EXPECT_EQ(Le16(s, 17), f.rootEntries);
    EXPECT_EQ(Le16(s, 19), f.total16);
    EXPECT_EQ(s[21], 0xF8);
    EXPECT_EQ(Le16(s, 22), f.fatSectors);
    EXPECT_EQ(Le16(s, 24), f.sectorsPerTrack);
    EXPECT_EQ(Le16(s, 26), f.heads);
    EXPECT_EQ(Le32(s, 28), f.hidden);
    EXPECT_EQ(Le32(s, 32), f.total32);
    EXPECT_EQ(s[36], 0x80);
    EXPECT_EQ(s[37], 0);
    EXPECT_EQ(s[38], 0x29);
    for (std::size_t i = 39; i < 54; ++i) ASSERT_EQ(s[i], 0) << "serial number or label byte " << i;
    const char* type = fat12 ? "FAT12\0\0\0" : "FAT16\0\0\0";
    EXPECT_EQ(std::memcmp(s.data() + 54, type, 8), 0);
    EXPECT_EQ(std::memcmp(s.data() + 62, fat12 ? kFat12BootProgram : kFat16BootProgram, 448), 0);
    EXPECT_EQ(s[510], 0x55);
    EXPECT_EQ(s[511], 0xAA);
}

// Where the data area starts, from the boot sector's own fields.
std::uint32_t DataStart(const Sector& s) {
    return Le32(s, 28) + Le16(s, 14) + s[16] * Le16(s, 22) + Le16(s, 17) * 32 / 512;
}

TEST(BootSectors, WorkedExamples) {
    const Sector hdd64k = Built(BuildHddBootSector, 64000);
    ExpectBootSector(hdd64k, 64000, {32, 256, 63965, 6, 63, 8, 35, 0}, "HDD 64,000");
    EXPECT_EQ(DataStart(hdd64k), 64u);
    const Sector zip64k = Built(BuildZipBootSector, 64000);
    ExpectBootSector(zip64k, 64000, {32, 19 * 16, 63968, 6, 32, 64, 32, 0}, "ZIP 64,000");
    EXPECT_EQ(DataStart(zip64k), 64u);
    const Sector fdd64k = Built(BuildFddBootSector, 64000);
    ExpectBootSector(fdd64k, 64000, {32, 19 * 16, 64000, 6, 63, 8, 0, 0}, "FDD 64,000");
    EXPECT_EQ(DataStart(fdd64k), 32u);

    const std::uint32_t heads = HeadsForSize(1024000);
    const Sector hdd1m = Built(BuildHddBootSector, 1024000);
    ExpectBootSector(hdd1m, 1024000, {32, 256, 0, 125, 63, heads, 53, 1023947}, "HDD 1,024,000");
    EXPECT_EQ(DataStart(hdd1m), 320u);
    const Sector zip1m = Built(BuildZipBootSector, 1024000);
    ExpectBootSector(zip1m, 1024000, {32, 37 * 16, 0, 125, 32, 64, 32, 1023968}, "ZIP 1,024,000");
    EXPECT_EQ(DataStart(zip1m), 320u);
    const Sector fdd1m = Built(BuildFddBootSector, 1024000);
    ExpectBootSector(fdd1m, 1024000, {32, 37 * 16, 0, 125, 63, heads, 0, 1024000}, "FDD 1,024,000");
    EXPECT_EQ(DataStart(fdd1m), 288u);

    const Sector hdd2m = Built(BuildHddBootSector, 2048000);
    ExpectBootSector(hdd2m, 2048000, {64, 256, 0, 125, 63, heads, 53, 2047947}, "HDD 2,048,000");
    EXPECT_EQ(DataStart(hdd2m), 320u);
    ExpectBootSector(Built(BuildFddBootSector, 2048000), 2048000, {64, 37 * 16, 0, 125, 63, heads, 0, 2048000},
                     "FDD 2,048,000");
}

TEST(BootSectors, FatTypeAndClusterSizeBoundaries) {
    EXPECT_EQ(Built(BuildFddBootSector, 131071)[1], 0x3C);
    EXPECT_EQ(Built(BuildFddBootSector, 131072)[1], 0x3E);
    EXPECT_EQ(Built(BuildZipBootSector, 131072)[58], '6');
    const Sector below = Built(BuildHddBootSector, 2047999);
    EXPECT_EQ(below[13], 32);
    EXPECT_EQ(Le16(below, 22), 250u);
    const Sector from = Built(BuildHddBootSector, 2048000);
    EXPECT_EQ(from[13], 64);
    EXPECT_EQ(Le16(from, 22), 125u);
}

TEST(BootSectors, SixteenOrThirtyTwoBitTotals) {
    // HDD: 65,536 still in 16 bits, and 65,537 FAT12 with the 32-bit total.
    const Sector hdd16 = Built(BuildHddBootSector, 65536);
    EXPECT_EQ(Le16(hdd16, 19), 65536u - 34 - 1);
    EXPECT_EQ(Le32(hdd16, 32), 0u);
    const Sector hdd32 = Built(BuildHddBootSector, 65537);
    EXPECT_EQ(Le16(hdd32, 19), 0u);
    EXPECT_EQ(Le32(hdd32, 32), 65537u - 34 - 1);
    EXPECT_EQ(hdd32[1], 0x3C);
    // ZIP: the same boundary.
    EXPECT_EQ(Le16(Built(BuildZipBootSector, 65536), 19), 65504u);
    EXPECT_EQ(Le32(Built(BuildZipBootSector, 65537), 32), 65505u);
    // FDD: the whole area, 16 bits up to 65,535.
    const Sector fdd16 = Built(BuildFddBootSector, 65535);
    EXPECT_EQ(Le16(fdd16, 19), 65535u);
    EXPECT_EQ(Le32(fdd16, 32), 0u);
    const Sector fdd32 = Built(BuildFddBootSector, 65536);
    EXPECT_EQ(Le16(fdd32, 19), 0u);
    EXPECT_EQ(Le32(fdd32, 32), 65504u);  // 32-bit field; the volume ends at its last numbered cluster
}

TEST(BootSectors, TheVolumeEndsAtTheLastClusterItsFatNumbers) {
    // 21,824 sectors, floppy layout: F = 2 holds 682 FAT12 entries, 680
    // clusters; the area would give 681, so the volume leaves the last one out.
    const Sector fdd = Built(BuildFddBootSector, 21824);
    ASSERT_EQ(Le16(fdd, 22), 2u);
    const std::uint32_t dataStart = 1 + 2 * 2 + Le16(fdd, 17) / 16;
    EXPECT_EQ(Le16(fdd, 19), dataStart + 680u * 32);
    // 131,040 sectors, hard-disk layout, FAT12: at most 4,084 clusters, so
    // that no FAT driver takes the volume for FAT16.
    const Sector hdd = Built(BuildHddBootSector, 131040);
    EXPECT_EQ(hdd[1], 0x3C);
    const std::uint32_t f = Le16(hdd, 22);
    EXPECT_EQ(Le32(hdd, 32), 1 + 2 * f + 16 + 4084u * 32);
    // Whole media (multiples of 32,000 sectors) keep the whole area.
    EXPECT_EQ(Le32(Built(BuildHddBootSector, 1024000), 32), 1024000u - 52 - 1);
}

TEST(BootSectors, DataAreaStartsOnAMultipleOf32ForEveryAreaSize) {
    for (std::uint32_t n = 64; n <= 8160000; n += 32) {
        Sector s(512);
        BuildHddBootSector(n, s.data());
        ASSERT_EQ(DataStart(s) % 32, 0u) << "HDD n = " << n;
        BuildZipBootSector(n, s.data());
        ASSERT_EQ(DataStart(s) % 32, 0u) << "ZIP n = " << n;
        BuildFddBootSector(n, s.data());
        ASSERT_EQ(DataStart(s) % 32, 0u) << "FDD n = " << n;
    }
}

}  // namespace
