// The main window's "HINT" button over emulated disks of both controller
// generations, through the real device library of the build: what is shown,
// which sectors are read, and that nothing stays loaded or open.
#include "app_test.h"
#include "trace.h"

#include "app/Main.h"
#include "kt4790/records.h"

namespace apptest {
namespace {

using vcl::headless::lastRefusal;
using vcl::headless::userClick;

#ifdef KT4790_ASPI
constexpr const char* kLibraryMissing = "Can't load the KT4790mDLL!";
constexpr const char* kFinder = "GetDeviceID";
#else
constexpr const char* kLibraryMissing = "Can't load the KT4790DLL!";
constexpr const char* kFinder = "GetHandle";
#endif

constexpr std::uint8_t kGetChipVersion = 0xC0;
constexpr std::uint8_t kGetMediaSize = 0xC1;
constexpr std::uint8_t kPwdExist = 0xC2;

Box HintBox(const std::string& text) { return {text, "Password Hint", MB_OK}; }
const Box kNoHintBox = HintBox("Sorry, no password hint was set.");
const Box kNotFoundBox = Warning("Can't find the device, please check the device!");

class HintTest : public AppTest {
protected:
    std::shared_ptr<emulator::Controller> AddHintDisk(const std::u16string& hint, const Geometry& g = {"", 0x30, false, 0}) {
        emulator::Config config;
        config.deviceName = u"DISK";
        config.hint = hint;
        config.chipCode = g.chipCode;
        config.largeBlock = g.largeBlock;
        config.descriptorBlock = g.descriptorBlock;
        config.password = "pw";
        disk_ = std::make_shared<emulator::Controller>(config);
        World().AddDevice(disk_);
        return disk_;
    }

    // A new system and program, as each test starts with.
    void Fresh() {
        vcl::headless::resetApplication();
        ClearFormGlobals();
        disk_.reset();
        World().Reset();
        World().SetWindowsVersion(SupportedVersion());
    }

    // Starts the program with the disk listed and selected; what start-up
    // showed and sent is cleared.
    void Start() {
        ASSERT_EQ(AppMain(), 0);
        ASSERT_TRUE(MainForm->Visible());
        World().ClearMessageBoxes();
        if (disk_) disk_->ClearTrace();
    }

    // Presses "HINT", noting how many commands the disk had received when
    // the box came up.
    void PressHint() {
        traceAtBox_.clear();
        World().SetMessageBoxHook([this](const winsim::MessageBoxCall&) {
            traceAtBox_.push_back(disk_ ? disk_->trace().size() : 0);
        });
        ASSERT_TRUE(userClick(MainForm->btnHint)) << lastRefusal();
        World().SetMessageBoxHook(nullptr);
    }

    // Where the display's own commands start, after those of the device
    // search: at its GetMediaSize, the one followed by GetChipVersion (the
    // library's search asks in the other order).
    std::size_t HintStart() const {
        const auto& trace = disk_->trace();
        for (std::size_t i = trace.size(); i >= 2; --i) {
            if (trace[i - 2].cdb[0] == kGetMediaSize && trace[i - 1].cdb[0] == kGetChipVersion) return i - 2;
        }
        return trace.size();
    }

    std::vector<Sent> HintSent() const {
        std::vector<Sent> sent;
        const auto& trace = disk_->trace();
        for (std::size_t i = HintStart(); i < trace.size(); ++i) sent.push_back(ToSent(trace[i]));
        return sent;
    }

    int Count(std::uint8_t opcode) const {
        int count = 0;
        for (const Sent& sent : HintSent()) count += sent.opcode == opcode;
        return count;
    }

    // Nothing was written to the disk.
    void ExpectNothingWritten() const {
        for (const emulator::CommandRecord& r : disk_->trace()) {
            EXPECT_NE(r.cdb[0], 0xF8);  // SetEString
            EXPECT_NE(r.cdb[0], 0xF4);  // VSCWriteSector
            EXPECT_NE(r.cdb[0], 0xF1);  // ChangePwd
        }
    }

    // The descriptor sector as the disk keeps it, to be changed by a test.
    void RewriteSector(const std::function<void(std::uint8_t*)>& change) {
        std::uint8_t data[512];
        ReadDescriptorSector(*disk_, data);
        change(data);
        WriteDescriptorSector(*disk_, data);
    }

    static void ExpectNothingLeftOpen() {
        EXPECT_EQ(World().LoadedLibraryCount(), 0);
        EXPECT_EQ(HandlesBesidesTheMutex(), 0);
    }

    std::shared_ptr<emulator::Controller> disk_;
    std::vector<std::size_t> traceAtBox_;
};

// --- the hint found on every geometry ----------------------------------------------------

class HintGeometryTest : public HintTest, public testing::WithParamInterface<Geometry> {};

TEST_P(HintGeometryTest, ThirtyTwoCharacterHintIsShownWholeThenPwdExistIsSent) {
    const Geometry g = GetParam();
    AddHintDisk(u"0123456789abcdefghijklmnopqrstuv", g);
    Start();
    PressHint();

    EXPECT_EQ(Boxes(), std::vector<Box>{HintBox("Hint:0123456789abcdefghijklmnopqrstuv")});
    // PwdExist comes after the box, as the last command.
    EXPECT_EQ(traceAtBox_, std::vector<std::size_t>{disk_->trace().size() - 1});

    // GetMediaSize and GetChipVersion, then the search, then PwdExist.
    std::vector<Sent> expected{Query(kGetMediaSize), Query(kGetChipVersion)};
    if (g.chipCode == 0x13) {
        expected.push_back(DataRead(1, 0x80));
    } else {
        const std::uint32_t step = g.largeBlock ? 256 : 32;
        for (std::uint32_t block = 0; block <= g.descriptorBlock; ++block) expected.push_back(SpareRead(block * step + 1));
        expected.push_back(DataRead(g.descriptorBlock * step + 1));
    }
    expected.push_back(Query(kPwdExist));
    EXPECT_EQ(HintSent(), expected);
    ExpectNothingWritten();
    EXPECT_EQ(MainForm->FormStyle(), vcl::fsNormal);
    ExpectNothingLeftOpen();
}

// Chip 0x13 ignores LargeBlock; chip 0x30 steps by 32 or 256 sectors, and a
// descriptor sector in block 32, the last of the limit, is still found.
INSTANTIATE_TEST_SUITE_P(
    Geometries, HintGeometryTest,
    testing::Values(Geometry{"Chip13", 0x13, false, 0}, Geometry{"Chip13Large", 0x13, true, 0},
                    Geometry{"Chip30Small", 0x30, false, 0}, Geometry{"Chip30Large", 0x30, true, 0},
                    Geometry{"Chip30SmallBlock32", 0x30, false, 32}, Geometry{"Chip30LargeBlock32", 0x30, true, 32}),
    [](const testing::TestParamInfo<Geometry>& param) { return std::string(param.param.name); });

TEST_F(HintTest, DescriptorSectorBeyondBlock32IsNotFound) {
    for (const bool large : {false, true}) {
        SCOPED_TRACE(large ? "large blocks" : "small blocks");
        Fresh();
        // The library's own search has no limit: the disk is listed.
        AddHintDisk(u"hint", {"", 0x30, large, 33});
        Start();
        ASSERT_EQ(MainForm->cboxDeviceList->Items().Count(), 1);
        PressHint();

        EXPECT_EQ(Boxes(), std::vector<Box>{kNotFoundBox});
        // Blocks 0 to 32: 33 spare areas, and no sector read after them.
        const std::uint32_t step = large ? 256 : 32;
        std::vector<Sent> expected{Query(kGetMediaSize), Query(kGetChipVersion)};
        for (std::uint32_t block = 0; block <= 32; ++block) expected.push_back(SpareRead(block * step + 1));
        EXPECT_EQ(HintSent(), expected);
        ExpectNothingLeftOpen();
    }
}

// --- what the hint shows -------------------------------------------------------------------

TEST_F(HintTest, NoHintBlanksAndZeroUnitsShowWhatTheUserTyped) {
    struct Case {
        std::u16string hint;
        Box shown;
    };
    const Case cases[] = {
        {u"", kNoHintBox},                                  // the descriptor 2, 3
        {u"   ", HintBox("Hint:")},                         // blanks only
        {u"  my cat \t", HintBox("Hint:my cat")},           // trimmed at both ends
        {std::u16string(u"ab\0cd", 5), HintBox("Hint:ab")}, // a zero unit ends it
        {u"caf\u00e9", HintBox("Hint:caf\xe9")},             // ANSI code page
    };
    for (const Case& c : cases) {
        Fresh();
        World().SetAnsiCodePage(1252);
        AddHintDisk(c.hint);
        Start();
        PressHint();
        EXPECT_EQ(Boxes(), std::vector<Box>{c.shown});
        EXPECT_EQ(Count(kPwdExist), 1);
        ExpectNothingLeftOpen();
    }
}

TEST_F(HintTest, OnlyTheHintDescriptorsBytesAreShown) {
    AddHintDisk(u"abc");
    Start();
    // Another text descriptor right after the hint: nothing of it shows.
    RewriteSector([](std::uint8_t* s) {
        kt4790::DescriptorRef hint;
        ASSERT_TRUE(kt4790::WalkDescriptorChain(*reinterpret_cast<std::uint8_t(*)[512]>(s), kt4790::kHintDescriptorIndex, hint));
        const std::uint8_t next[] = {8, 3, 'X', 0, 'Y', 0, 'Z', 0, 0};
        std::memcpy(s + hint.offset + hint.length, next, sizeof next);
    });
    PressHint();
    EXPECT_EQ(Boxes(), std::vector<Box>{HintBox("Hint:abc")});
}

TEST_F(HintTest, AChainEndingOrBrokenAtTheHintShowsNoHint) {
    // Changes of the stored sector at the hint descriptor (the library finds
    // the device only by a name it can read, so the chain up to the name
    // stays sound): the chain ends after the name; a length byte of 1; a
    // hint of 255 bytes at offset 254, which would run past byte 492.
    using Sector = std::uint8_t[512];
    const auto atHint = [](std::uint8_t value) {
        return [value](Sector& sector) {
            kt4790::DescriptorRef hint;
            ASSERT_TRUE(kt4790::WalkDescriptorChain(sector, kt4790::kHintDescriptorIndex, hint));
            sector[hint.offset] = value;
        };
    };
    const std::function<void(Sector&)> changes[] = {
        atHint(0),
        atHint(1),
        [](Sector& sector) {
            std::memset(sector + 32, 0, 461);
            std::uint8_t* p = sector + 32;
            *p = 200;
            p += 200;
            for (int i = 0; i < 6; ++i, p += 2) *p = 2;
            const std::uint8_t name[] = {10, 3, 'D', 0, 'I', 0, 'S', 0, 'K', 0};
            std::memcpy(p, name, sizeof name);
            p += sizeof name;
            ASSERT_EQ(p - sector, 254);
            const std::uint8_t hint[] = {255, 3, 's', 0, 'e', 0, 'c', 0, 'r', 0, 'e', 0, 't', 0};
            std::memcpy(p, hint, sizeof hint);
        },
    };
    for (const auto& change : changes) {
        Fresh();
        AddHintDisk(u"secret hint");
        Start();
        RewriteSector([&](std::uint8_t* sector) { change(*reinterpret_cast<Sector*>(sector)); });
        PressHint();
        EXPECT_EQ(Boxes(), std::vector<Box>{kNoHintBox});
        EXPECT_EQ(Count(kPwdExist), 1);
        ExpectNothingLeftOpen();
    }
}

// --- nothing to show -------------------------------------------------------------------------

TEST_F(HintTest, WithoutASelectedDeviceTheWindowLeavesStayOnTopAndLoadsNothing) {
    Start();
    ASSERT_EQ(MainForm->FormStyle(), vcl::fsStayOnTop);
    PressHint();
    EXPECT_EQ(Boxes(), std::vector<Box>{Warning("Please select the device!")});
    EXPECT_EQ(MainForm->FormStyle(), vcl::fsNormal);
    EXPECT_EQ(World().NotifyIcons().size(), 1u);
    ExpectNothingLeftOpen();
}

// The library hidden (nullptr), or one of the five procedures in their
// binding order.
class HintBindingTest : public HintTest, public testing::WithParamInterface<const char*> {};

TEST_P(HintBindingTest, IsReportedAndNothingIsSent) {
    AddHintDisk(u"hint");
    Start();
    if (GetParam() == nullptr) {
        World().HideLibrary(kLibrary);
    } else {
        World().HideExport(kLibrary, GetParam());
    }
    PressHint();
    EXPECT_EQ(Boxes(), std::vector<Box>{GetParam() == nullptr ? Error(kLibraryMissing) : Warning("Load library failed!")});
    EXPECT_TRUE(disk_->trace().empty());
    ExpectNothingLeftOpen();
}

INSTANTIATE_TEST_SUITE_P(LibraryAndProcedures, HintBindingTest,
                         testing::Values(nullptr, kFinder, "GetChipVersion", "PwdExist", "GetMediaSize",
                                         "VSCReadSector"));

TEST_F(HintTest, DeviceUnpluggedSinceTheListingIsNotFound) {
    AddHintDisk(u"hint");
    Start();
    disk_->Remove();
    PressHint();
    EXPECT_EQ(Boxes(), std::vector<Box>{kNotFoundBox});
    for (const emulator::CommandRecord& r : disk_->trace()) EXPECT_FALSE(r.delivered);
    ExpectNothingLeftOpen();
}

// A command of the display failing: GetMediaSize, GetChipVersion, the spare
// read of chip 0x30, the sector read of chip 0x13.
struct FailingCommand {
    const char* name;
    std::uint8_t chipCode;
    std::uint8_t opcode;
};
void PrintTo(const FailingCommand& f, std::ostream* out) { *out << f.name; }
class HintCommandFailureTest : public HintTest, public testing::WithParamInterface<FailingCommand> {};

TEST_P(HintCommandFailureTest, EndsThePressWithNotFoundAndNoPwdExist) {
    AddHintDisk(u"hint", {"", GetParam().chipCode, false, 0});
    Start();
    // A first press tells how many commands the device search sends.
    PressHint();
    std::size_t position = HintStart();
    while (position < disk_->trace().size() && disk_->trace()[position].cdb[0] != GetParam().opcode) ++position;
    ASSERT_LT(position, disk_->trace().size());
    disk_->ClearTrace();
    World().ClearMessageBoxes();

    emulator::Fault fault;
    fault.kind = emulator::FaultKind::CheckCondition;
    fault.afterCommands = static_cast<std::uint32_t>(position);
    disk_->InjectFault(fault);
    PressHint();
    EXPECT_EQ(Boxes(), std::vector<Box>{kNotFoundBox});
    // The failed command was the last one sent.
    ASSERT_EQ(disk_->trace().size(), position + 1);
    EXPECT_EQ(disk_->trace().back().cdb[0], GetParam().opcode);
    EXPECT_EQ(disk_->trace().back().status, emulator::kStatusCheckCondition);
    ExpectNothingLeftOpen();
}

INSTANTIATE_TEST_SUITE_P(Commands, HintCommandFailureTest,
                         testing::Values(FailingCommand{"GetMediaSize", 0x30, kGetMediaSize},
                                         FailingCommand{"GetChipVersion", 0x30, kGetChipVersion},
                                         FailingCommand{"SpareRead", 0x30, kVscRead},
                                         FailingCommand{"Chip13SectorRead", 0x13, kVscRead}),
                         [](const testing::TestParamInfo<FailingCommand>& param) { return std::string(param.param.name); });

TEST_F(HintTest, UnknownChipAsksForAnUpdateAndReadsNoSector) {
    World().SetLibraryDirectory(FAKE_CHIP_LIBRARY_DIR);
    Start();
    ASSERT_EQ(MainForm->cboxDeviceList->Items().Count(), 1);
    PressHint();
    // The fake library shows a box for every sector read and PwdExist.
    EXPECT_EQ(Boxes(), std::vector<Box>{Warning("Please update the program!")});
    ExpectNothingLeftOpen();
}

TEST_F(HintTest, TwoPressesInARowLoadTheLibraryTwiceAndWriteNothing) {
    AddHintDisk(u"again");
    Start();
    PressHint();
    EXPECT_EQ(Count(kPwdExist), 1);
    ExpectNothingWritten();
    disk_->ClearTrace();
    PressHint();
    EXPECT_EQ(Boxes(), (std::vector<Box>{HintBox("Hint:again"), HintBox("Hint:again")}));
    EXPECT_EQ(Count(kPwdExist), 1);
    ExpectNothingWritten();
    ExpectNothingLeftOpen();
}

}  // namespace
}  // namespace apptest
