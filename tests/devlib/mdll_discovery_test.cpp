// KT4790mDLL's discovery over the ASPI adapters and targets.
#include "devlib/devcmd.h"
#include "tests/devlib/devlib_test.h"

namespace {

using devtest::Bytes;
using devtest::Trace;
using devtest::World;
using Lines = std::vector<std::string>;

// The commands of AspiInquiry, then those of GetDeviceName on chip 0x30
// with the descriptor in block 0.
const Lines kAspiInquiry = {"F5 80 0", "C2", "12"};

Lines Concat(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class MdllDiscovery : public testing::Test, protected devtest::SearchArguments {
protected:
    void SetUp() override { ASSERT_TRUE(lib.loaded()); }

    winsim::EmulatedDevice& Add(const emulator::Config& config, int adapter = -1, int targetId = -1) {
        winsim::EmulatedDevice& device = World().AddDevice(config);
        if (adapter >= 0) device.hostAdapter = static_cast<std::uint8_t>(adapter);
        if (targetId >= 0) device.target = static_cast<std::uint8_t>(targetId);
        return device;
    }

    int ListAll(const char* filter) {
        SetTexts(filter);
        ResetTable();
        return getAllDeviceName(filterText, table.data(), &counter);
    }
    int Find(const char* filter, const char* name) {
        SetTexts(filter, name);
        ha = 0xEE;
        target = 0xEE;
        return getDeviceID(&ha, &target, filterText, nameText);
    }

    devtest::Library lib{"KT4790mDLL"};
    decltype(::GetAllDeviceName)* getAllDeviceName = DEVLIB_BIND(lib, GetAllDeviceName);
    decltype(::GetDeviceID)* getDeviceID = DEVLIB_BIND(lib, GetDeviceID);
    decltype(::GetDeviceName)* getDeviceName = DEVLIB_BIND(lib, GetDeviceName);

    BYTE ha = 0;
    BYTE target = 0;
};

TEST_F(MdllDiscovery, CommandOrderOfTheWalk) {
    struct Case {
        const char* what;
        emulator::Config config;
        Lines nameCommands;
        std::uint32_t queryReply = 0;  // bytes every query answers; 0: the whole reply
        bool listed = true;
    };
    const std::vector<Case> cases = {
        {"chip 0x13", devtest::Disk(u"Thirteen", 0x13), {"C0", "F5 80 1", "C2"}},
        {"chip 0x30, small blocks, descriptor in block 2", devtest::Disk(u"Small", 0x30, false, 2),
         {"C0", "C1", "F5 40 1", "F5 40 33", "F5 40 65", "F5 00 65", "C2"}},
        // An underrun vouches for no byte of a query's reply: the chip code
        // fails, and the walk ends without the name.
        {"chip 0x30, every query answered in 16 bytes", devtest::Disk(u"Short", 0x30, false, 2), {"C0"}, 16, false},
        {"chip 0x30, large blocks, descriptor in block 1", devtest::Disk(u"Large", 0x30, true, 1),
         {"C0", "C1", "F5 40 1", "F5 40 257", "F5 00 257", "C2"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        World().Reset();
        winsim::EmulatedDevice& device = Add(c.config);
        if (c.queryReply != 0) devtest::AnswerQueriesIn(*device.controller, c.queryReply);
        ASSERT_EQ(ListAll("KVOR"), c.listed ? 1 : 0);
        ASSERT_EQ(counter, c.listed ? 1 : 0);
        EXPECT_EQ(Trace(*device.controller), Concat(kAspiInquiry, c.nameCommands));
    }

    // INQUIRY goes with 11 CDB bytes and 192 bytes in.
    bool sawInquiry = false;
    for (const winsim::AspiCall& call : World().AspiLog()) {
        if (call.cdb[0] != 0x12) continue;
        sawInquiry = true;
        EXPECT_EQ(call.cdbLen, 11);
        EXPECT_EQ(call.bufLen, 192u);
        EXPECT_EQ(call.flags, 0x09);
        EXPECT_EQ(call.cdb[4], 0xC0);
    }
    EXPECT_TRUE(sawInquiry);
}

TEST_F(MdllDiscovery, AdaptersAndTargetsAreWalkedInOrder) {
    auto& late = Add(devtest::Disk(u"A1 T0"), 1, 0);
    auto& early = Add(devtest::Disk(u"A0 T7"), 0, 7);
    World().SetAspiAdapterCount(2);
    ASSERT_EQ(ListAll("KVOR"), 1);
    ASSERT_EQ(counter, 2);
    EXPECT_EQ(Entry(0), devtest::Utf16("A0 T7"));
    EXPECT_EQ(Entry(1), devtest::Utf16("A1 T0"));
    // 16 targets asked, two answered.
    std::size_t inquiries = 0;
    for (const winsim::AspiCall& call : World().AspiLog()) inquiries += call.cdb[0] == 0x12 ? 1 : 0;
    EXPECT_EQ(inquiries, 16u);

    ASSERT_EQ(Find("KVOR", "t0"), 1);
    EXPECT_EQ(ha, 1);
    EXPECT_EQ(target, 0);
    EXPECT_STREQ(nameText, "T0");

    // Adapters beyond the count are not asked.
    World().SetAspiAdapterCount(1);
    late.controller->ClearTrace();
    ASSERT_EQ(ListAll("KVOR"), 1);
    EXPECT_EQ(counter, 1);
    EXPECT_TRUE(late.controller->trace().empty());
    (void)early;
}

TEST_F(MdllDiscovery, RevisionFilterFallbackAndInquiryPickTheCandidates) {
    Add(devtest::Disk(u"One"));
    Add(devtest::WithRevision(devtest::Disk(u"Two"), "p1.0"));
    auto& other = Add(devtest::WithRevision(devtest::Disk(u"Three"), "ABCD"));
    emulator::Config refused = devtest::Disk(u"Four");
    refused.inquiryByte3 = 0x80;
    auto& fourth = Add(refused);
    ASSERT_EQ(ListAll("kvor"), 1);
    EXPECT_STREQ(filterText, "KVOR");
    ASSERT_EQ(counter, 2);
    EXPECT_EQ(Entry(0), devtest::Utf16("One"));
    EXPECT_EQ(Entry(1), devtest::Utf16("Two"));
    EXPECT_EQ(Trace(*other.controller), kAspiInquiry);
    EXPECT_EQ(Trace(*fourth.controller), kAspiInquiry);

    // The revision text ends at a zero byte: "AB" then nothing.
    World().Reset();
    emulator::Config shortRevision = devtest::Disk(u"Short");
    shortRevision.revision = {{'A', 'B', '\0', 'D'}};
    Add(shortRevision);
    EXPECT_EQ(ListAll("ABD"), 1);
    EXPECT_EQ(counter, 0);
    EXPECT_EQ(ListAll("AB"), 1);
    EXPECT_EQ(counter, 1);
}

TEST_F(MdllDiscovery, BuildDifferencesOfTheWalk) {
    // A candidate whose name cannot be read ends the walk with 0; what was
    // filled stays and the counter says how much.
    Add(devtest::Disk(u"First"));
    auto& unknown = Add(devtest::Disk(u"Unknown", 0x55));
    auto& third = Add(devtest::Disk(u"Third"));
    EXPECT_EQ(ListAll("KVOR"), 0);
    EXPECT_EQ(counter, 1);
    EXPECT_EQ(Entry(0), devtest::Utf16("First"));
    EXPECT_EQ(Trace(*unknown.controller), Concat(kAspiInquiry, {"C0"}));
    EXPECT_TRUE(third.controller->trace().empty());
    EXPECT_EQ(Find("KVOR", "third"), 0);
    EXPECT_TRUE(third.controller->trace().empty());

    // No device: 1 with the counter at 0; GetDeviceID 0.
    World().Reset();
    EXPECT_EQ(ListAll("KVOR"), 1);
    EXPECT_EQ(counter, 0);
    EXPECT_EQ(Find("KVOR", ""), 0);
}

TEST_F(MdllDiscovery, CapacityLimitsTheEntries) {
    std::vector<winsim::EmulatedDevice*> devices;
    for (int i = 0; i < 7; ++i) {
        std::u16string name = u"Disk ";
        name += static_cast<char16_t>(u'1' + i);
        devices.push_back(&Add(devtest::Disk(name)));
    }
    ASSERT_EQ(ListAll("KVOR"), 1);
    EXPECT_EQ(counter, 6);
    EXPECT_EQ(Entry(5), devtest::Utf16("Disk 6"));
    EXPECT_EQ(table[6 * 33 - 1], 0xEE);
    EXPECT_TRUE(devices[6]->controller->trace().empty());

    counter = 0;
    EXPECT_EQ(getAllDeviceName(filterText, table.data(), &counter), 1);
    EXPECT_EQ(counter, 0);
}

TEST_F(MdllDiscovery, GetDeviceIdFindsTheFirstContainingName) {
    Add(devtest::Disk(u"Camera"));
    Add(devtest::Disk(u"My Disk 1"), 0, 4);
    Add(devtest::Disk(u"My Disk 2"), 0, 6);
    ASSERT_EQ(Find("kvor", "disk"), 1);
    EXPECT_EQ(ha, 0);
    EXPECT_EQ(target, 4);
    EXPECT_STREQ(filterText, "KVOR");
    EXPECT_STREQ(nameText, "DISK");
    EXPECT_EQ(Find("KVOR", "printer"), 0);
}

TEST_F(MdllDiscovery, MalformedDescriptorSectorsFailTheName) {
    struct Case {
        const char* what;
        std::array<std::uint8_t, 512> sector;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"name of 32 bytes", devtest::ChainSector({10, 4, 4, 4, 4, 4, 4, 34}), true},
        {"name of 33 bytes", devtest::ChainSector({10, 4, 4, 4, 4, 4, 4, 35}), false},
        {"name length 255", devtest::ChainSector({10, 4, 4, 4, 4, 4, 4, 255}), false},
        {"name length 1", devtest::ChainSector({10, 4, 4, 4, 4, 4, 4, 1}), false},
        {"chain leaves the sector", devtest::ChainSector({200, 200, 200, 200, 200, 200, 200, 10}), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        World().Reset();
        auto& device = Add(devtest::Disk(u"x", 0x13));
        devtest::StoreDescriptorSector(*device.controller, c.sector);
        BYTE name[512];
        std::memset(name, 0xEE, sizeof name);
        BYTE length = 0xEE;
        EXPECT_EQ(getDeviceName(device.hostAdapter, device.target, name, &length), c.accepted ? 1 : 0);
        if (c.accepted) {
            EXPECT_EQ(length, 32);
            EXPECT_EQ(Bytes(name, name + 32), Bytes(c.sector.begin() + 68, c.sector.begin() + 100));
        } else {
            EXPECT_EQ(length, 0xEE);
        }
        EXPECT_EQ(name[32], 0xEE);
        EXPECT_EQ(ListAll("KVOR"), c.accepted ? 1 : 0);
    }
}

}  // namespace
