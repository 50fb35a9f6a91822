// The medium: physical addressing, erase, the descriptor sector and the
// logical-to-physical map.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

#include "drive.h"

using emulator::Controller;
using emutest::Good;
using emutest::MakeConfig;
using emutest::Refused;
using emutest::Send;

namespace {

TEST(PhysicalAddressing, SectorsSparesAndErase) {
    Controller c(MakeConfig(0x13, false, 1, 1));
    std::uint8_t data[512], spare[16], back[512];
    std::memset(data, 0x5A, sizeof data);
    std::memset(spare, 0x11, sizeof spare);
    ASSERT_TRUE(Good(Send(c, devcmd::VscWriteSector(100, 1, 0), data)));
    ASSERT_TRUE(Good(Send(c, devcmd::VscWriteSector(100, 0, 1), spare)));

    // Flag80 does not change the address; a spare read moves exactly 16 bytes.
    ASSERT_TRUE(Good(Send(c, devcmd::VscReadSector(100, 0, 0), back)));
    EXPECT_EQ(0, std::memcmp(back, data, 512));
    std::memset(back, 0xEE, sizeof back);
    ASSERT_TRUE(Good(Send(c, devcmd::VscReadSector(100, 1, 1), back, sizeof back)));
    EXPECT_EQ(0, std::memcmp(back, spare, 16));
    EXPECT_EQ(0xEE, back[16]);

    ASSERT_TRUE(Good(Send(c, devcmd::VscWriteSector(4 * 32, 1, 0), data)));
    ASSERT_TRUE(Good(Send(c, devcmd::EraseBlock(3, 0, 1), nullptr)));  // sector 100 is in block 3
    c.ReadPhysical(100, back, spare);
    EXPECT_EQ(0xFF, back[0]);
    EXPECT_EQ(0xFF, spare[15]);
    c.ReadPhysical(4 * 32, back, nullptr);
    EXPECT_EQ(0x5A, back[0]);

    const std::uint32_t end = c.physicalBlocks() * c.sectorsPerBlock();
    EXPECT_TRUE(Good(Send(c, devcmd::VscReadSector(end - 1, 1, 0), back)));
    EXPECT_TRUE(Refused(Send(c, devcmd::VscReadSector(end, 1, 0), back)));
    EXPECT_TRUE(Refused(Send(c, devcmd::VscWriteSector(end, 1, 0), data)));
    EXPECT_TRUE(Refused(Send(c, devcmd::EraseBlock(c.physicalBlocks(), 1, 1), nullptr)));
}

TEST(PhysicalAddressing, Flag80OnChip30AddressesLogicalSectors) {
    emulator::Config config = MakeConfig(0x30, false, 1, 1);
    config.descriptorBlock = 2;
    config.unmappedBlocks = {7};
    Controller c(config);
    std::uint8_t data[512], back[512];
    std::memset(data, 0xA7, sizeof data);
    const std::uint32_t logical = 5 * 32 + 3;  // logical block 5, page 3
    ASSERT_TRUE(Good(Send(c, devcmd::VscWriteSector(logical, 1, 0), data)));
    c.ReadPhysical(c.PhysicalBlockOf(5) * 32 + 3, back, nullptr);
    EXPECT_EQ(0, std::memcmp(back, data, 512));
    ASSERT_NE(5u, c.PhysicalBlockOf(5));  // the map moves it past the descriptor block
    std::memset(back, 0, sizeof back);
    ASSERT_TRUE(Good(Send(c, devcmd::Read10(logical, 512), back)));  // the host sees it there
    EXPECT_EQ(0, std::memcmp(back, data, 512));
    // Without Flag80 the same number is physical; an unmapped logical block refuses.
    ASSERT_TRUE(Good(Send(c, devcmd::VscReadSector(logical, 0, 0), back)));
    EXPECT_EQ(0xFF, back[0]);
    EXPECT_TRUE(Refused(Send(c, devcmd::VscWriteSector(7 * 32, 1, 0), data)));
}

TEST(DescriptorSector, LayoutAndPlacementOnBothChips) {
    struct Case { std::uint8_t chip; bool large; std::uint32_t block; };
    for (const Case& k : {Case{0x13, false, 0}, Case{0x30, false, 3}, Case{0x30, true, 2}}) {
        emulator::Config config = MakeConfig(k.chip, k.large, 1, 1);
        config.descriptorBlock = 3;  // ignored on chip 0x13
        if (k.large) config.descriptorBlock = 2;
        config.deviceName = u"ABCDEFGHIJKLMNOPQRS";  // 19 units: the first 16 are kept
        Controller c(config);
        const std::uint32_t located = emutest::LocateDescriptor(c);
        ASSERT_EQ(k.block * c.sectorsPerBlock() + 1, located);
        std::uint8_t sector[512];
        const int flag80 = k.chip == 0x13 ? 1 : 0;  // as the host's search reads it
        ASSERT_TRUE(Good(Send(c, devcmd::VscReadSector(located, flag80, 0), sector)));
        EXPECT_EQ(u"ABCDEFGHIJKLMNOP", emutest::NameOf(sector, kt4790::kNameDescriptorIndex));
        EXPECT_EQ(u"pet", emutest::NameOf(sector, kt4790::kHintDescriptorIndex));
        kt4790::DescriptorRef hint;
        ASSERT_TRUE(kt4790::WalkDescriptorChain(sector, kt4790::kHintDescriptorIndex, hint));
        EXPECT_EQ(0, sector[hint.offset + hint.length]);  // the chain ends after the hint
        for (std::size_t i = kt4790::kBootFlagOffset; i < 512; ++i) ASSERT_EQ(0, sector[i]);

        // SetEString replaces it in place and it stays findable.
        sector[kt4790::kBootFlagOffset] = 1;
        ASSERT_TRUE(Good(Send(c, devcmd::SetEString(), sector)));
        EXPECT_EQ(located, emutest::LocateDescriptor(c));
        std::uint8_t back[512];
        c.ReadPhysical(located, back, nullptr);
        EXPECT_EQ(0, std::memcmp(sector, back, 512));
    }
}

TEST(DescriptorSector, EmptyHintAndMissingDescriptorBlock) {
    emulator::Config config = MakeConfig(0x30, true, 1, 1);
    config.hint.clear();
    Controller c(config);
    std::uint8_t sector[512];
    c.ReadPhysical(1, sector, nullptr);
    EXPECT_EQ(u"", emutest::NameOf(sector, kt4790::kHintDescriptorIndex));

    config.descriptorBlock = 1000;  // beyond the medium: every spare area is invalid
    Controller none(config);
    EXPECT_EQ(Controller::kNone, emutest::LocateDescriptor(none));
    EXPECT_TRUE(Refused(Send(none, devcmd::SetEString(), sector)));
}

std::uint32_t AskPhyBlock(Controller& c, std::uint32_t logical) {
    std::uint8_t reply[192];
    std::memset(reply, 0xEE, sizeof reply);
    EXPECT_TRUE(Good(Send(c, devcmd::GetPhyBlock(logical, 0, 0), reply)));
    EXPECT_EQ(0, reply[4]);
    EXPECT_EQ(0, reply[191]);
    return kt4790::ReadBigEndian32(reply);
}

TEST(LogicalMap, Chip13PerChipAndWindowedLayouts) {
    Controller c(MakeConfig(0x13, false, 4, 2));  // 2 zones per chip: Pc 2048, Lc 2000
    EXPECT_EQ(1u, AskPhyBlock(c, 0));
    EXPECT_EQ(2000u, AskPhyBlock(c, 1999));
    EXPECT_EQ(2049u, AskPhyBlock(c, 2000));
    EXPECT_EQ(4048u, AskPhyBlock(c, 3999));
    EXPECT_EQ(kt4790::kNoPhysicalBlock, AskPhyBlock(c, 4000));  // beyond the logical blocks

    Controller uneven(MakeConfig(0x13, false, 3, 2));  // the third zone belongs to no chip
    EXPECT_EQ(2024u, uneven.PhysicalBlockOf(1999));
    EXPECT_EQ(Controller::kNone, uneven.PhysicalBlockOf(2000));

    Controller windowed(MakeConfig(0x13, true, 32, 2));
    const std::uint32_t expected[][2] = {{0, 1}, {999, 1000}, {1000, 1024}, {1999, 2023}, {2000, 2049}, {3999, 4071}};
    for (const auto& pair : expected) EXPECT_EQ(pair[1], windowed.PhysicalBlockOf(pair[0])) << pair[0];
}

TEST(LogicalMap, Chip30KeepsFirmwareAndDescriptorBlocksOutOfTheData) {
    for (bool large : {false, true}) {
        emulator::Config config = MakeConfig(0x30, large, 3, 1);
        config.descriptorBlock = 2;
        Controller c(config);
        std::set<std::uint32_t> used;
        for (std::uint32_t l = 0; l < c.logicalBlocks(); ++l) {
            const std::uint32_t p = c.PhysicalBlockOf(l);
            ASSERT_GT(p, 2u);
            ASSERT_LT(p, c.physicalBlocks());
            ASSERT_TRUE(used.insert(p).second) << "logical " << l;
        }
        EXPECT_EQ(large ? 128u : 1024u, c.PhysicalBlockOf(large ? 125 : 1000));  // zone 1 starts its zone
    }
}

TEST(LogicalMap, Read10AndWrite10GoThroughTheMapAndSkipNothing) {
    emulator::Config config = MakeConfig(0x13, false, 2, 2);
    config.unmappedBlocks = {5};
    Controller c(config);
    std::uint8_t data[1024], back[1024];
    for (int i = 0; i < 1024; ++i) data[i] = static_cast<std::uint8_t>(i);
    const std::uint32_t first = 1000 * 32 - 1;  // last sector of chip 0, then the first of chip 1
    ASSERT_TRUE(Good(Send(c, devcmd::Write10(first, 1024), data, 1024)));
    c.ReadPhysical(1000 * 32 + 31, back, nullptr);
    c.ReadPhysical(1025 * 32, back + 512, nullptr);
    EXPECT_EQ(0, std::memcmp(back, data, 1024));
    std::memset(back, 0, sizeof back);
    ASSERT_TRUE(Good(Send(c, devcmd::Read10(first, 1024), back, 1024)));
    EXPECT_EQ(0, std::memcmp(back, data, 1024));
    EXPECT_TRUE(Refused(Send(c, devcmd::Read10(first, 1024), back, 512)));  // length and CDB disagree
    EXPECT_TRUE(Refused(Send(c, devcmd::Read10(2000 * 32 - 1, 1024), back, 1024)));  // past the end

    // The unmapped block: no physical block, reads as zeros, and a write that
    // reaches into it writes nothing at all.
    EXPECT_EQ(kt4790::kNoPhysicalBlock, AskPhyBlock(c, 5));
    ASSERT_TRUE(Good(Send(c, devcmd::Read10(5 * 32, 512), back, 512)));
    EXPECT_EQ(0, back[0]);
    EXPECT_TRUE(Refused(Send(c, devcmd::Write10(5 * 32 - 1, 1024), data, 1024)));
    c.ReadPhysical(c.PhysicalBlockOf(4) * 32 + 31, back, nullptr);
    EXPECT_EQ(0xFF, back[0]);
}

// A replaced data position: the firmware keeps its data in a replacement
// block of the same chip, reached through the position with Flag80 and
// through the map, and records the position in that block's first spare.
TEST(Replacements, PositionsLeadToTheirReplacementBlocks) {
    emulator::Config config = MakeConfig(0x13, false, 2, 2);  // Pc 1024, Lc 1000 per chip
    ASSERT_TRUE(emulator::AddReplacement(config, 5, nullptr));
    ASSERT_TRUE(emulator::AddReplacement(config, 1030, nullptr));
    ASSERT_EQ(config.replacements[0].block, 1001u);  // the first replacement block of chip 0
    ASSERT_EQ(config.replacements[1].block, 2025u);  // of chip 1
    Controller c(config);
    std::uint8_t data[512], back[512], spare[16];
    std::memset(data, 0x3C, sizeof data);
    ASSERT_TRUE(Good(Send(c, devcmd::VscWriteSector(1030 * 32 + 7, 1, 0), data)));
    c.ReadPhysical(2025 * 32 + 7, back, nullptr);
    EXPECT_EQ(0, std::memcmp(back, data, 512));
    c.ReadPhysical(1030 * 32 + 7, back, nullptr);
    EXPECT_EQ(0xFF, back[0]);  // the replaced block itself is out of use
    EXPECT_EQ(2025u, AskPhyBlock(c, 1000 + 5));  // logical 1005 sits at position 1030
    ASSERT_TRUE(Good(Send(c, devcmd::Read10(1005 * 32 + 7, 512), back)));
    EXPECT_EQ(0, std::memcmp(back, data, 512));

    // The recorded position, relative to the chip, read as the area erase reads it.
    ASSERT_TRUE(Good(Send(c, devcmd::VscReadSector(2025 * 32, 1, 1), spare)));
    EXPECT_EQ(6u, kt4790::ReadBigEndian16(spare + kt4790::kSpareBlockPosition));
    ASSERT_TRUE(Good(Send(c, devcmd::EraseBlock(2025, 0, 0), nullptr)));
    ASSERT_TRUE(Good(Send(c, devcmd::VscReadSector(2025 * 32, 1, 1), spare)));
    EXPECT_EQ(0xFFFFu, kt4790::ReadBigEndian16(spare + kt4790::kSpareBlockPosition));
    ASSERT_TRUE(Good(Send(c, devcmd::Write10(1005 * 32 + 9, 512), data)));  // written again: recorded again
    ASSERT_TRUE(Good(Send(c, devcmd::VscReadSector(2025 * 32, 1, 1), spare)));
    EXPECT_EQ(6u, kt4790::ReadBigEndian16(spare + kt4790::kSpareBlockPosition));
    // Without Flag80 every number is physical.
    ASSERT_TRUE(Good(Send(c, devcmd::VscWriteSector(5 * 32, 0, 0), data)));
    c.ReadPhysical(5 * 32, back, nullptr);
    EXPECT_EQ(0x3C, back[0]);
}

TEST(Replacements, MediaNoControllerHasAreNamed) {
    struct Case {
        const char* what;
        std::uint8_t chip;
        bool large;
        std::uint8_t zones, chips;
        std::vector<emulator::Replacement> replacements;
        bool possible;
        std::uint32_t descriptorBlock = 0;
    };
    const Case cases[] = {
        {"one chip, small", 0x13, false, 1, 1, {}, true},
        {"8 chips of 16 large zones, windowed", 0x13, true, 128, 8, {{1, 1001}, {1024, 2040}}, true},
        {"chip 0x30, 12 large zones per chip", 0x30, true, 12, 1, {}, true},
        {"3 zones on 2 chips", 0x13, false, 3, 2, {}, false},
        {"9 chips", 0x30, false, 9, 9, {}, false},
        {"no chip", 0x30, false, 1, 0, {}, false},
        {"no zone", 0x30, false, 0, 1, {}, false},
        {"12 large zones per chip on chip 0x13", 0x13, true, 12, 1, {}, false},
        {"chip 0x21", 0x21, false, 1, 1, {}, false},
        {"replacement in another chip", 0x13, false, 2, 2, {{5, 2025}}, false},
        {"replacement by a data block", 0x13, false, 1, 1, {{5, 6}}, false},
        {"system block replaced", 0x13, false, 1, 1, {{0, 1001}}, false},
        {"one block replaced twice", 0x13, false, 1, 1, {{5, 1001}, {5, 1002}}, false},
        {"chip 0x30, replacement after the zone's data", 0x30, false, 1, 1, {{5, 1010}}, true},
        {"descriptor block 23 leaves zone 0 its 1000 data blocks", 0x30, false, 1, 1, {}, true, 23},
        {"descriptor block 24 leaves zone 0 999 data blocks", 0x30, false, 2, 1, {}, false, 24},
        {"large: descriptor block 2 leaves zone 0 its 125 data blocks", 0x30, true, 1, 1, {}, true, 2},
        {"large: descriptor block 3 leaves zone 0 124 data blocks", 0x30, true, 1, 1, {}, false, 3},
        {"descriptor block in zone 1", 0x30, false, 2, 1, {}, false, 1500},
        {"descriptor block beyond the medium", 0x30, false, 1, 1, {}, false, 0xFFFFFFFF},
    };
    for (const Case& k : cases) {
        emulator::Config config = MakeConfig(k.chip, k.large, k.zones, k.chips);
        config.replacements = k.replacements;
        config.descriptorBlock = k.descriptorBlock;
        EXPECT_EQ(emulator::MediumProblem(config).empty(), k.possible) << k.what << ": " << emulator::MediumProblem(config);
    }
}

TEST(Faults, AnAddressedFaultFiresOnlyOnItsBlock) {
    Controller c(MakeConfig(0x30, false, 1, 1));
    emulator::Fault fault;
    fault.opcode = devcmd::kOpEraseBlock;
    fault.address = 7;
    c.InjectFault(fault);
    c.InjectFault(fault);  // fails twice
    EXPECT_TRUE(Good(Send(c, devcmd::EraseBlock(6, 0, 1), nullptr)));
    EXPECT_TRUE(Refused(Send(c, devcmd::EraseBlock(7, 0, 1), nullptr)));
    EXPECT_TRUE(Refused(Send(c, devcmd::EraseBlock(7, 0, 1), nullptr)));
    EXPECT_TRUE(Good(Send(c, devcmd::EraseBlock(7, 0, 1), nullptr)));
}

}  // namespace
