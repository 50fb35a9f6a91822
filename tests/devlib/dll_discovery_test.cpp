// KT4790DLL's discovery over the SetupAPI walk: which devices are taken, in
// which order the commands go, what stays open, and how malformed input
// from a device or the system is refused.
#include "devlib/devcmd.h"
#include "tests/devlib/devlib_test.h"

namespace {

using devtest::Bytes;
using devtest::Trace;
using devtest::World;
using Lines = std::vector<std::string>;

class DllDiscovery : public testing::Test, protected devtest::SearchArguments {
protected:
    void SetUp() override { ASSERT_TRUE(lib.loaded()); }

    winsim::EmulatedDevice& Add(const emulator::Config& config, const std::string& path = "") {
        return World().AddDevice(config, path);
    }

    // GetAllDeviceName with capacity 6 into a table pre-filled with 0xEE.
    int ListAll(const char* filter) {
        SetTexts(filter);
        ResetTable();
        return getAllDeviceName(filterText, table.data(), &counter);
    }

    HANDLE Find(const char* filter, const char* name) {
        SetTexts(filter, name);
        return getHandle(filterText, nameText);
    }

    devtest::Library lib{"KT4790DLL"};
    decltype(::GetAllDeviceName)* getAllDeviceName = DEVLIB_BIND(lib, GetAllDeviceName);
    decltype(::GetHandle)* getHandle = DEVLIB_BIND(lib, GetHandle);
    decltype(::GetDeviceName)* getDeviceName = DEVLIB_BIND(lib, GetDeviceName);
    decltype(::PwdExist)* pwdExist = DEVLIB_BIND(lib, PwdExist);

};

TEST_F(DllDiscovery, DescriptorSearchReadsTheSectorsOfEachChip) {
    struct Case {
        const char* what;
        emulator::Config config;
        Lines commands;
        std::uint32_t queryReply = 0;  // bytes every query answers; 0: the whole reply
    };
    const std::vector<Case> cases = {
        {"chip 0x13", devtest::Disk(u"Thirteen", 0x13), {"12", "C0", "F5 80 1"}},
        {"chip 0x30, small blocks, descriptor in block 0", devtest::Disk(u"Small", 0x30, false, 0),
         {"12", "C0", "C1", "F5 40 1", "F5 00 1", "12"}},
        {"chip 0x30, every query answered in 16 bytes", devtest::Disk(u"Short", 0x30, false, 0),
         {"12", "C0", "C1", "F5 40 1", "F5 00 1", "12"}, 16},
        {"chip 0x30, small blocks, descriptor in block 3", devtest::Disk(u"Small", 0x30, false, 3),
         {"12", "C0", "C1", "F5 40 1", "F5 40 33", "F5 40 65", "F5 40 97", "F5 00 97", "12"}},
        {"chip 0x30, large blocks, descriptor in block 2", devtest::Disk(u"Large", 0x30, true, 2),
         {"12", "C0", "C1", "F5 40 1", "F5 40 257", "F5 40 513", "F5 00 513", "12"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        World().Reset();
        winsim::EmulatedDevice& device = Add(c.config);
        if (c.queryReply != 0) devtest::AnswerQueriesIn(*device.controller, c.queryReply);
        ASSERT_EQ(ListAll("Rev_KVOR"), 1);
        ASSERT_EQ(counter, 1);
        Bytes expected;
        for (char16_t u : c.config.deviceName) {
            expected.push_back(static_cast<std::uint8_t>(u));
            expected.push_back(0);
        }
        EXPECT_EQ(Entry(0), expected);
        EXPECT_EQ(Trace(*device.controller), c.commands);
    }
}

TEST_F(DllDiscovery, DescriptorSearchFailsWithTheFirstFailedRead) {
    // The descriptor block lies beyond the medium: every spare read until
    // the end of the medium is invalid, the read past it fails.
    emulator::Config config = devtest::Disk(u"Lost", 0x30, true, 1000);
    winsim::EmulatedDevice& device = Add(config);
    EXPECT_EQ(ListAll("Rev_KVOR"), 0);
    const Lines trace = Trace(*device.controller);
    ASSERT_EQ(trace.size(), 3u + 129u);
    EXPECT_EQ(trace[3], "F5 40 1");
    EXPECT_EQ(trace.back(), "F5 40 32769");  // sector 1 of block 128: beyond 128 blocks
    EXPECT_EQ(device.controller->trace().back().status, emulator::kStatusCheckCondition);
}

TEST_F(DllDiscovery, TableEntriesHoldLengthAndNameOnly) {
    Add(devtest::Disk(u"ABCD"));
    Add(devtest::Disk(u""));  // a name descriptor of length 2: an empty name
    ASSERT_EQ(ListAll("Rev_KVOR"), 1);
    ASSERT_EQ(counter, 2);
    EXPECT_EQ(table[0], 8);
    EXPECT_EQ(Entry(0), devtest::Utf16("ABCD"));
    EXPECT_EQ(table[9], 0xEE);  // bytes after the name stay as the caller left them
    EXPECT_EQ(table[33], 0);
    EXPECT_EQ(table[34], 0xEE);
    EXPECT_EQ(table[66], 0xEE);  // third entry untouched
}

TEST_F(DllDiscovery, RevisionFilterAndFallbackPickTheCandidates) {
    auto& kvor = Add(devtest::Disk(u"One"));
    auto& p10 = Add(devtest::WithRevision(devtest::Disk(u"Two"), "P1.0"));
    auto& other = Add(devtest::WithRevision(devtest::Disk(u"Three"), "ABCD"));
    ASSERT_EQ(ListAll("Rev_kvor"), 1);
    EXPECT_STREQ(filterText, "REV_KVOR");  // upper-cased in place
    ASSERT_EQ(counter, 2);
    EXPECT_EQ(Entry(0), devtest::Utf16("One"));
    EXPECT_EQ(Entry(1), devtest::Utf16("Two"));
    EXPECT_FALSE(kvor.controller->trace().empty());
    EXPECT_FALSE(p10.controller->trace().empty());
    EXPECT_TRUE(other.controller->trace().empty());  // not a candidate: never opened

    // The filter matches anywhere in "Interface: <path>".
    ASSERT_EQ(ListAll("interface: \\\\?\\usbstor"), 1);
    EXPECT_EQ(counter, 3);
}

TEST_F(DllDiscovery, InquiryDecidesWhetherAnOpenedDeviceCounts) {
    emulator::Config refused = devtest::Disk(u"Refused");
    refused.inquiryByte3 = 0x82;
    auto& first = Add(refused);
    auto& second = Add(devtest::Disk(u"Taken"));
    emulator::Fault fault;
    fault.opcode = 0x12;
    auto& third = Add(devtest::Disk(u"Broken"));
    third.controller->InjectFault(fault);

    ASSERT_EQ(ListAll("Rev_KVOR"), 1);
    ASSERT_EQ(counter, 1);
    EXPECT_EQ(Entry(0), devtest::Utf16("Taken"));
    EXPECT_EQ(Trace(*first.controller), Lines({"12"}));
    EXPECT_EQ(Trace(*third.controller), Lines({"12"}));
    EXPECT_FALSE(second.controller->trace().empty());
    EXPECT_EQ(World().OpenHandleCount(), 0);
    EXPECT_EQ(World().OpenDeviceListCount(), 0);

    // GetHandle skips them the same way.
    HANDLE h = Find("Rev_KVOR", "");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    BYTE reply[4] = {};
    ASSERT_EQ(pwdExist(h, reply, 4), 1);
    EXPECT_EQ(World().OpenHandleCount(), 1);
    CloseHandle(h);
}

TEST_F(DllDiscovery, BuildDifferencesOfTheWalk) {
    // A path that cannot be opened: GetAllDeviceName skips it, GetHandle
    // ends the whole search there.
    auto& locked = Add(devtest::Disk(u"Locked Disk"));
    locked.openable = false;
    Add(devtest::Disk(u"Open Disk"));
    ASSERT_EQ(ListAll("Rev_KVOR"), 1);
    ASSERT_EQ(counter, 1);
    EXPECT_EQ(Entry(0), devtest::Utf16("Open Disk"));
    EXPECT_EQ(Find("Rev_KVOR", "Open"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(World().OpenHandleCount(), 0);
    EXPECT_EQ(World().OpenDeviceListCount(), 0);

    // A name that cannot be read (an unknown chip code): both skip it.
    World().Reset();
    auto& unknown = Add(devtest::Disk(u"Old Disk", 0x55));
    Add(devtest::Disk(u"New Disk"));
    ASSERT_EQ(ListAll("Rev_KVOR"), 1);
    ASSERT_EQ(counter, 1);
    EXPECT_EQ(Entry(0), devtest::Utf16("New Disk"));
    EXPECT_EQ(Trace(*unknown.controller), Lines({"12", "C0"}));
    HANDLE h = Find("Rev_KVOR", "disk");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);

    // No device: 0 and a counter of 0.
    World().Reset();
    EXPECT_EQ(ListAll("Rev_KVOR"), 0);
    EXPECT_EQ(counter, 0);
    EXPECT_EQ(Find("Rev_KVOR", ""), INVALID_HANDLE_VALUE);

    // No interface list: 0 with the counter as it was; GetHandle -1.
    Add(devtest::Disk(u"Disk"));
    World().SetSetupApiFails(true);
    EXPECT_EQ(ListAll("Rev_KVOR"), 0);
    EXPECT_EQ(counter, 6);
    EXPECT_EQ(Find("Rev_KVOR", ""), INVALID_HANDLE_VALUE);
    EXPECT_EQ(World().OpenDeviceListCount(), 0);
}

TEST_F(DllDiscovery, CapacityLimitsTheEntries) {
    std::vector<winsim::EmulatedDevice*> devices;
    for (int i = 0; i < 7; ++i) {
        std::u16string name = u"Disk ";
        name += static_cast<char16_t>(u'1' + i);
        devices.push_back(&Add(devtest::Disk(name)));
    }
    ASSERT_EQ(ListAll("Rev_KVOR"), 1);
    EXPECT_EQ(counter, 6);
    EXPECT_EQ(Entry(5), devtest::Utf16("Disk 6"));
    EXPECT_TRUE(devices[6]->controller->trace().empty());
    EXPECT_EQ(World().OpenHandleCount(), 0);
    EXPECT_EQ(World().OpenDeviceListCount(), 0);

    // A smaller capacity is honoured too; 0 fills nothing.
    table.assign(6 * 33, 0xEE);
    counter = 2;
    EXPECT_EQ(getAllDeviceName(filterText, table.data(), &counter), 1);
    EXPECT_EQ(counter, 2);
    EXPECT_EQ(table[66], 0xEE);
    counter = 0;
    EXPECT_EQ(getAllDeviceName(filterText, table.data(), &counter), 0);
    EXPECT_EQ(counter, 0);
}

TEST_F(DllDiscovery, GetHandleFindsTheFirstContainingNameAndLeavesOnlyItOpen) {
    auto& first = Add(devtest::Disk(u"Camera", 0x13));
    auto& second = Add(devtest::Disk(u"My Disk 1"));
    Add(devtest::Disk(u"My Disk 2"));

    HANDLE h = Find("Rev_kvor", "disk");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(filterText, "REV_KVOR");
    EXPECT_STREQ(nameText, "DISK");
    EXPECT_EQ(World().OpenHandleCount(), 1);
    EXPECT_EQ(World().OpenDeviceListCount(), 0);
    EXPECT_EQ(Trace(*first.controller), Lines({"F5 80 0", "12", "C0", "F5 80 1"}));
    EXPECT_EQ(Trace(*second.controller), Lines({"F5 80 0", "12", "C0", "C1", "F5 40 1", "F5 00 1", "12"}));

    // The handle is the second device's.
    second.controller->ClearTrace();
    BYTE reply[4] = {};
    ASSERT_EQ(pwdExist(h, reply, 4), 1);
    EXPECT_EQ(Trace(*second.controller), Lines({"C2"}));
    CloseHandle(h);

    EXPECT_EQ(Find("Rev_KVOR", "printer"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(World().OpenHandleCount(), 0);
    EXPECT_EQ(World().OpenDeviceListCount(), 0);
}

TEST_F(DllDiscovery, GetHandleMatchesTheNameAsEightBitText) {
    // Units above 0xFF are no letter of the 8-bit text; the match is on
    // upper-cased, contained text.
    Add(devtest::Disk(u"\u0416ack 7"));
    Add(devtest::Disk(u"stick"));
    HANDLE h = Find("Rev_KVOR", "ACK 7");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(Find("Rev_KVOR", "JACK"), INVALID_HANDLE_VALUE);
    h = Find("Rev_KVOR", "Sti");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

TEST_F(DllDiscovery, GetDeviceNameComparesTheCapacityWithTheDescriptorLength) {
    auto& device = Add(devtest::Disk(u"ABCD"));
    HANDLE h = CreateFileA(device.interfacePath.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    BYTE name[512];
    std::memset(name, 0xEE, sizeof name);
    BYTE length = 9;  // L is 10
    EXPECT_EQ(getDeviceName(h, name, &length), 0);
    EXPECT_EQ(length, 9);
    EXPECT_EQ(name[0], 0xEE);
    length = 10;
    ASSERT_EQ(getDeviceName(h, name, &length), 1);
    EXPECT_EQ(length, 8);
    EXPECT_EQ(Bytes(name, name + 8), devtest::Utf16("ABCD"));
    EXPECT_EQ(name[8], 0xEE);
    CloseHandle(h);
}

// ------------------------------------------------------------ malformed input

TEST_F(DllDiscovery, MalformedDescriptorChainsAreRefused) {
    struct Case {
        const char* what;
        std::array<std::uint8_t, 512> sector;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"name of 32 bytes", devtest::ChainSector({10, 4, 4, 4, 4, 4, 4, 34}), true},
        {"name of length 2", devtest::ChainSector({10, 4, 4, 4, 4, 4, 4, 2}), true},
        {"name of 33 bytes", devtest::ChainSector({10, 4, 4, 4, 4, 4, 4, 35}), false},
        {"name length 255", devtest::ChainSector({10, 4, 4, 4, 4, 4, 4, 255}), false},
        {"name length 0", devtest::ChainSector({10, 4, 4, 4, 4, 4, 4, 0}), false},
        {"name length 1", devtest::ChainSector({10, 4, 4, 4, 4, 4, 4, 1}), false},
        {"chain ends early", devtest::ChainSector({10, 4, 0}), false},
        {"descriptor of length 1 on the way", devtest::ChainSector({10, 1, 4}), false},
        {"chain leaves the sector", devtest::ChainSector({255, 255, 255, 255, 255, 255, 255, 10}), false},
        {"name starts past the chain", devtest::ChainSector({70, 70, 70, 70, 70, 70, 70, 10}), false},
        {"name crosses the chain end", devtest::ChainSector({64, 64, 64, 64, 64, 64, 64, 34}), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        World().Reset();
        auto& bad = Add(devtest::Disk(u"x", 0x13));
        devtest::StoreDescriptorSector(*bad.controller, c.sector);
        Add(devtest::Disk(u"Good"));
        ASSERT_EQ(ListAll("Rev_KVOR"), 1);
        ASSERT_EQ(counter, c.accepted ? 2 : 1);
        EXPECT_EQ(Entry(counter - 1), devtest::Utf16("Good"));
        if (c.accepted) {
            EXPECT_EQ(Entry(0), Bytes(c.sector.begin() + 68, c.sector.begin() + 68 + table[0]));
        }
        EXPECT_EQ(World().OpenHandleCount(), 0);
    }
}

TEST_F(DllDiscovery, APathTooLongForTheTextIsNoCandidate) {
    // "Interface: " (11 bytes), the path and its zero byte share 512 bytes.
    const std::string prefix = "\\\\?\\usbstor#disk&rev_kvor#";
    const std::string fits = prefix + std::string(500 - prefix.size(), 'x');
    const std::string tooLong = prefix + std::string(501 - prefix.size(), 'y');
    const std::string huge = prefix + std::string(4000, 'z');
    auto& a = Add(devtest::Disk(u"Fits"), fits);
    auto& b = Add(devtest::Disk(u"Too Long"), tooLong);
    auto& c = Add(devtest::Disk(u"Huge"), huge);
    ASSERT_EQ(ListAll("Rev_KVOR"), 1);
    ASSERT_EQ(counter, 1);
    EXPECT_EQ(Entry(0), devtest::Utf16("Fits"));
    EXPECT_FALSE(a.controller->trace().empty());
    EXPECT_TRUE(b.controller->trace().empty());
    EXPECT_TRUE(c.controller->trace().empty());
    EXPECT_EQ(Find("Rev_KVOR", "Huge"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(World().OpenHandleCount(), 0);
}

}  // namespace
