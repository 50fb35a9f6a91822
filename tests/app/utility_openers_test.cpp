// The utility window's password and name buttons, pressed as a person would
// press them: they read the selected device's state over the real device
// library of the build and open the right dialog with that device's name,
// or show one message and open nothing. The disks are emulated.
#include "app_test.h"
#include "trace.h"

#include <utility>

#include "app/Chgdevname.h"
#include "app/Chgpwd.h"
#include "app/Chkpwd.h"
#include "app/Clearpwd.h"
#include "app/Jutility.h"
#include "app/Main.h"
#include "app/Setpwd.h"
#include "kt4790/records.h"

namespace apptest {
namespace {

using vcl::headless::lastRefusal;
using vcl::headless::userClick;
using vcl::headless::userSelect;

constexpr std::uint8_t kGetChipVersion = 0xC0;
constexpr std::uint8_t kGetMediaSize = 0xC1;
constexpr std::uint8_t kPwdExist = 0xC2;
constexpr std::uint8_t kVscRead = 0xF5;
constexpr std::uint8_t kFlag80 = 0x80;
constexpr std::uint8_t kSpareFlag = 0x40;

#ifdef KT4790_ASPI
constexpr const char* kFinder = "GetDeviceID";
constexpr const char* kLibraryMissing = "Can't load the KT4790mDLL.";
// Procedures in the order each opener binds them.
const std::vector<std::string> kSetCheckBinds = {"PwdExist", "GetMediaSize", "GetChipVersion", "VSCReadSector",
                                                 "GetDeviceID"};
const std::vector<std::string> kChangeBinds = {"PwdExist", "VSCReadSector", "GetMediaSize", "GetChipVersion",
                                               "GetDeviceID"};
#else
constexpr const char* kFinder = "GetHandle";
constexpr const char* kLibraryMissing = "Can't load the KT4790DLL.";
const std::vector<std::string> kSetCheckBinds = {"PwdExist", "GetChipVersion", "GetMediaSize", "VSCReadSector",
                                                 "GetHandle"};
const std::vector<std::string> kChangeBinds = kSetCheckBinds;
#endif

const Box kSelectBox = Warning("Please select the device!!");
const Box kLongNotFoundBox =
    Warning("Can't find the device, please check the device and try to unplug and replug the device.");
const Box kShortNotFoundBox = Warning("Can't find the device, please check the device!");
const Box kChipBox = Warning("Please update the program!");
const Box kOneAreaBox = Warning(
    "Cannot store password into one partition security disk. You must first set 1MB or more standard disk partition "
    "to store password.");

// One command as the opener's part of the trace shows it: the operation
// code, and for sector reads the sector and the option byte.
struct Sent {
    std::uint8_t opcode;
    std::uint32_t sector;
    std::uint8_t options;
    bool operator==(const Sent& other) const {
        return opcode == other.opcode && sector == other.sector && options == other.options;
    }
};
void PrintTo(const Sent& s, std::ostream* out) {
    *out << std::hex << "{0x" << int(s.opcode) << ", " << std::dec << s.sector << ", 0x" << std::hex << int(s.options)
         << std::dec << "}";
}
Sent ToSent(const emulator::CommandRecord& r) {
    if (r.cdb[0] != kVscRead) return {r.cdb[0], 0, 0};
    return {r.cdb[0], kt4790::ReadBigEndian32(&r.cdb[2]), r.cdb[1]};
}
const Sent kChip{kGetChipVersion, 0, 0};
const Sent kMedia{kGetMediaSize, 0, 0};
const Sent kPwd{kPwdExist, 0, 0};
Sent Spare(std::uint32_t sector) { return {kVscRead, sector, kSpareFlag}; }
Sent Read(std::uint32_t sector) { return {kVscRead, sector, 0}; }

// The two queries in the order the build sends them.
#ifdef KT4790_ASPI
const std::vector<Sent> kQueries{kChip, kMedia};
#else
const std::vector<Sent> kQueries{kMedia, kChip};
#endif

std::vector<Sent> Concat(std::vector<Sent> a, const std::vector<Sent>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Disk {
    std::u16string name = u"DISK";
    std::string password;
    std::uint8_t chipCode = 0x30;
    bool largeBlock = false;
    std::uint32_t descriptorBlock = 0;
    std::uint16_t partitionWord = 0;
    int pwdExistReply = -1;
};

class OpenerTest : public AppTest {
protected:
    std::shared_ptr<emulator::Controller> Add(const Disk& d) {
        emulator::Config config;
        config.deviceName = d.name;
        config.password = d.password;
        config.chipCode = d.chipCode;
        config.largeBlock = d.largeBlock;
        config.descriptorBlock = d.descriptorBlock;
        config.pwdExistReply = d.pwdExistReply;
        auto disk = std::make_shared<emulator::Controller>(config);
        World().AddDevice(disk);
        SetPartitionWord(*disk, d.partitionWord);
        disks_.push_back(disk);
        return disk;
    }

    // The descriptor sector's PartitionWord, stored big-endian; the spare
    // area stays, so the search still accepts the sector.
    static void SetPartitionWord(emulator::Controller& disk, std::uint16_t value) {
        std::uint8_t sector[512];
        ReadDescriptorSector(disk, sector);
        kt4790::WriteBigEndian16(sector + kt4790::kPartitionWordOffset, value);
        WriteDescriptorSector(disk, sector);
    }

    // A fresh program and World for the next case of a table.
    void Restart() {
        vcl::headless::resetApplication();
        ClearFormGlobals();
        World().Reset();
        World().SetWindowsVersion(SupportedVersion());
        disks_.clear();
    }

    // The utility window as a correct password leaves it, its list filled;
    // what start-up showed and sent is cleared.
    void Start() {
        ASSERT_EQ(AppMain(), 0);
        MainForm->SetVisible(false);
        JUtilityForm->SetVisible(true);
        World().ClearMessageBoxes();
        for (auto& disk : disks_) disk->ClearTrace();
    }

    static void Press(vcl::TButton* button) { ASSERT_TRUE(userClick(button)) << lastRefusal(); }

    // The last `n` commands the first disk received.
    std::vector<Sent> Tail(std::size_t n) const { return Tail(*disks_.front(), n); }
    static std::vector<Sent> Tail(const emulator::Controller& disk, std::size_t n) {
        const auto& trace = disk.trace();
        std::vector<Sent> tail;
        const std::size_t first = trace.size() < n ? 0 : trace.size() - n;
        for (std::size_t i = first; i < trace.size(); ++i) tail.push_back(ToSent(trace[i]));
        return tail;
    }

    static std::vector<vcl::TForm*> OpenDialogs() {
        std::vector<vcl::TForm*> open;
        for (vcl::TForm* form : std::initializer_list<vcl::TForm*>{ChkPwdForm, SetPwdForm, ChgPwdForm,
                                                                    ClearPasswdForm, ChgDevNameForm}) {
            if (form->Visible()) open.push_back(form);
        }
        return open;
    }

    static void ExpectFunctionButtons(bool enabled) {
        TJUtilityForm* f = JUtilityForm;
        for (vcl::TButton* b : {f->btnChangDevName, f->btnChangPwd, f->btnClearPwd, f->btnFormat, f->btnSetNChkPwd,
                                f->btnPartition, f->btnCopyFile}) {
            EXPECT_EQ(b->Enabled(), enabled) << b->Name();
        }
        // The window itself and its other controls stay usable either way.
        EXPECT_TRUE(f->Enabled());
        EXPECT_TRUE(f->CBoxDeviceList->Enabled());
        EXPECT_TRUE(f->btnRefresh->Enabled());
        EXPECT_TRUE(f->btnClose->Enabled());
        EXPECT_TRUE(f->btnMini->Enabled());
    }

    static void ExpectNothingLeftOpen() {
        EXPECT_EQ(World().LoadedLibraryCount(), 0);
        EXPECT_EQ(HandlesBesidesTheMutex(), 0);
    }

    // `form` alone is shown, with `name`, the function buttons off and
    // not one message box.
    static void ExpectOpened(vcl::TForm* form, const std::string& deviceName, const std::string& name) {
        EXPECT_EQ(OpenDialogs(), std::vector<vcl::TForm*>{form});
        EXPECT_EQ(deviceName, name);
        ExpectFunctionButtons(false);
        EXPECT_EQ(Boxes(), std::vector<Box>{});
        ExpectNothingLeftOpen();
    }

    // One message, nothing opened, the buttons still on.
    static void ExpectRefused(const std::vector<Box>& boxes) {
        EXPECT_EQ(Boxes(), boxes);
        EXPECT_EQ(OpenDialogs(), std::vector<vcl::TForm*>{});
        ExpectFunctionButtons(true);
        ExpectNothingLeftOpen();
    }

    std::vector<std::shared_ptr<emulator::Controller>> disks_;
};

// --- the selection --------------------------------------------------------------------

TEST_F(OpenerTest, WithNothingSelectedTheFourButtonsAskForADeviceAndLoadNothing) {
    Start();
    ASSERT_EQ(JUtilityForm->CBoxDeviceList->ItemIndex(), -1);
    // Any attempt to load the library would show its own message.
    World().HideLibrary(kLibrary);
    for (vcl::TButton* button : {JUtilityForm->btnSetNChkPwd, JUtilityForm->btnChangPwd, JUtilityForm->btnClearPwd,
                                 JUtilityForm->btnChangDevName}) {
        SCOPED_TRACE(button->Name());
        World().ClearMessageBoxes();
        Press(button);
        ExpectRefused({kSelectBox});
    }
    EXPECT_EQ(ChkPwdForm->DeviceName, "");
    EXPECT_EQ(ChgDevNameForm->DeviceName, "");
}

TEST_F(OpenerTest, TheSelectedItemNamesTheDeviceAsked) {
    Disk first;
    first.name = u"FIRST";
    Disk second;
    second.name = u"SECOND";
    second.password = "pw";
    Add(first);
    auto two = Add(second);
    Start();
    ASSERT_TRUE(userSelect(JUtilityForm->CBoxDeviceList, 1)) << lastRefusal();

    Press(JUtilityForm->btnSetNChkPwd);
    ExpectOpened(ChkPwdForm, ChkPwdForm->DeviceName, "SECOND");
    // The first disk, without a password on one area, would have been refused.
    EXPECT_EQ(Tail(*two, 5), Concat(kQueries, {Spare(1), Read(1), kPwd}));
}

// --- set/check password ---------------------------------------------------------------

TEST_F(OpenerTest, SetCheckChoosesByPasswordThenByPartitionWord) {
    struct Case {
        const char* what;
        std::string password;
        int pwdExistReply;
        std::uint16_t partitionWord;
        vcl::TForm* (*dialog)();  // nullptr: the one-area message
    };
    const Case cases[] = {
        {"password, one area", "pw", -1, 0, [] { return static_cast<vcl::TForm*>(ChkPwdForm); }},
        {"password, two areas", "pw", -1, 1000, [] { return static_cast<vcl::TForm*>(ChkPwdForm); }},
        {"none, two areas", "", -1, 1000, [] { return static_cast<vcl::TForm*>(SetPwdForm); }},
        {"reply 2 is none", "pw", 2, 0x0100, [] { return static_cast<vcl::TForm*>(SetPwdForm); }},
        {"none, one area", "", -1, 0, nullptr},
        {"reply 2, one area", "pw", 2, 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Restart();
        Disk d;
        d.password = c.password;
        d.pwdExistReply = c.pwdExistReply;
        d.partitionWord = c.partitionWord;
        Add(d);
        Start();

        Press(JUtilityForm->btnSetNChkPwd);
        EXPECT_EQ(Tail(5), Concat(kQueries, {Spare(1), Read(1), kPwd}));
        if (c.dialog == nullptr) {
            ExpectRefused({kOneAreaBox});
            EXPECT_EQ(SetPwdForm->DeviceName, "");
        } else {
            vcl::TForm* dialog = c.dialog();
            ExpectOpened(dialog, dialog == ChkPwdForm ? ChkPwdForm->DeviceName : SetPwdForm->DeviceName, "DISK");
        }
    }
}

TEST_F(OpenerTest, TheButtonsComeBackWhenTheDialogGoesAndTheButtonWorksAgain) {
    Disk d;
    d.password = "pw";
    Add(d);
    Start();
    Press(JUtilityForm->btnSetNChkPwd);
    ASSERT_TRUE(ChkPwdForm->Visible());
    // A disabled button cannot be pressed while the dialog is open.
    EXPECT_FALSE(userClick(JUtilityForm->btnChangPwd));

    Press(ChkPwdForm->btnCancel);
    EXPECT_EQ(OpenDialogs(), std::vector<vcl::TForm*>{});
    ExpectFunctionButtons(true);
    Press(JUtilityForm->btnSetNChkPwd);
    ExpectOpened(ChkPwdForm, ChkPwdForm->DeviceName, "DISK");
}

TEST_F(OpenerTest, TheSearchHasNoBoundAndFollowsTheBlockSize) {
    // Small blocks of 32 sectors, the sector in block 40; large blocks of
    // 256, the sector in block 2; the first generation's sector 1 with Flag80.
    struct Case {
        const char* what;
        Disk disk;
        std::vector<Sent> reads;
    };
    std::vector<Sent> block40;
    for (std::uint32_t block = 0; block <= 40; ++block) block40.push_back(Spare(block * 32 + 1));
    block40.push_back(Read(40 * 32 + 1));
    Disk small;
    small.descriptorBlock = 40;
    small.partitionWord = 500;
    Disk large;
    large.largeBlock = true;
    large.descriptorBlock = 2;
    large.partitionWord = 500;
    Disk first;
    first.chipCode = 0x13;
    first.largeBlock = true;
    first.partitionWord = 500;
    const Case cases[] = {
        {"block 40", small, block40},
        {"large blocks", large, {Spare(1), Spare(257), Spare(513), Read(513)}},
        {"chip 0x13", first, {{kVscRead, 1, kFlag80}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Restart();
        Add(c.disk);
        Start();

        Press(JUtilityForm->btnSetNChkPwd);
        const std::vector<Sent> expected = Concat(Concat(kQueries, c.reads), {kPwd});
        EXPECT_EQ(Tail(expected.size()), expected);
        ExpectOpened(SetPwdForm, SetPwdForm->DeviceName, "DISK");
    }
}

// --- change password ------------------------------------------------------------------

TEST_F(OpenerTest, ChangeOpensWheneverThereIsAStandardAreaWithOrWithoutPassword) {
    for (const char* password : {"pw", ""}) {
        SCOPED_TRACE(password);
        Restart();
        Disk d;
        d.password = password;
        d.partitionWord = 0xFFFF;
        Add(d);
        Start();

        Press(JUtilityForm->btnChangPwd);
#ifdef KT4790_ASPI
        // Asked, but the answer plays no part.
        EXPECT_EQ(Tail(5), Concat(kQueries, {Spare(1), Read(1), kPwd}));
#else
        EXPECT_EQ(Tail(4), Concat(kQueries, {Spare(1), Read(1)}));
#endif
        ExpectOpened(ChgPwdForm, ChgPwdForm->DeviceName, "DISK");
    }
}

TEST_F(OpenerTest, ChangeOnOneAreaRefusesEvenWithAPassword) {
    Disk d;
    d.password = "pw";
    Add(d);
    Start();
    Press(JUtilityForm->btnChangPwd);
    ExpectRefused({kOneAreaBox});
    EXPECT_EQ(ChgPwdForm->DeviceName, "");
}

// --- the openers without device access ---------------------------------------------------

TEST_F(OpenerTest, ClearAndRenameOpenWithoutTouchingTheDevice) {
    Disk d;
    d.name = u"  SPACED  ";
    auto disk = Add(d);
    Start();
    // The list shows the name trimmed; that text is what the dialog gets.
    ASSERT_EQ(JUtilityForm->CBoxDeviceList->Text(), "SPACED");
    World().HideLibrary(kLibrary);

    Press(JUtilityForm->btnClearPwd);
    ExpectOpened(ClearPasswdForm, ClearPasswdForm->DeviceName, "SPACED");
    Press(ClearPasswdForm->btnCancel);
    ExpectFunctionButtons(true);

    Press(JUtilityForm->btnChangDevName);
    ExpectOpened(ChgDevNameForm, ChgDevNameForm->DeviceName, "SPACED");
    EXPECT_TRUE(disk->trace().empty());
}

// --- failures -------------------------------------------------------------------------

TEST_F(OpenerTest, AMissingLibraryOrDeviceRefusesWithItsMessage) {
    Disk d;
    d.password = "pw";
    auto disk = Add(d);
    Start();
    for (vcl::TButton* button : {JUtilityForm->btnSetNChkPwd, JUtilityForm->btnChangPwd}) {
        SCOPED_TRACE(button->Name());
        World().ClearMessageBoxes();
        disk->Remove();
        Press(button);
        ExpectRefused({kLongNotFoundBox});
        disk->Replug();
    }
    World().HideLibrary(kLibrary);
    for (vcl::TButton* button : {JUtilityForm->btnSetNChkPwd, JUtilityForm->btnChangPwd}) {
        SCOPED_TRACE(button->Name());
        World().ClearMessageBoxes();
        Press(button);
        ExpectRefused({Error(kLibraryMissing)});
    }
}

TEST_F(OpenerTest, AMissingProcedureStopsTheBindingWhereItIs) {
    // Hidden from the last bound to the first, so each press meets the
    // newest hidden name first: only the finder's message is a warning.
    for (const auto& opener : {std::make_pair("set/check", &kSetCheckBinds), std::make_pair("change", &kChangeBinds)}) {
        Restart();
        Disk d;
        d.password = "pw";
        d.partitionWord = 1000;
        auto disk = Add(d);
        Start();
        vcl::TButton* button =
            std::string(opener.first) == "change" ? JUtilityForm->btnChangPwd : JUtilityForm->btnSetNChkPwd;
        const std::vector<std::string>& binds = *opener.second;
        ASSERT_EQ(binds.back(), kFinder);
        for (auto name = binds.rbegin(); name != binds.rend(); ++name) {
            SCOPED_TRACE(std::string(opener.first) + " " + *name);
            World().ClearMessageBoxes();
            World().HideExport(kLibrary, *name);
            Press(button);
            const Box box = *name == kFinder ? Warning("Load library failed!") : Error("Load library failed!");
            ExpectRefused({box});
            EXPECT_TRUE(disk->trace().empty());
        }
    }
}

// A command of the opener that fails after the device was found: the
// message each step gives. The queries fail with the long message; a
// failed sector read on chip 0x30 with the short one (the long one on
// ASPI), on chip 0x13 with the long one; a failed PwdExist with none.
TEST_F(OpenerTest, EachFailingCommandGivesItsMessageAndOpensNothing) {
#ifdef KT4790_ASPI
    const Box& chip30Read = kLongNotFoundBox;
#else
    const Box& chip30Read = kShortNotFoundBox;
#endif
    struct Case {
        const char* what;
        std::uint8_t chipCode;
        bool change;
        std::vector<std::vector<Box>> perStep;  // the boxes when step i fails
    };
    const std::vector<Box> none;
    const Case cases[] = {
        {"set/check 0x30", 0x30, false, {{kLongNotFoundBox}, {kLongNotFoundBox}, {chip30Read}, {chip30Read}, none}},
        {"set/check 0x13", 0x13, false, {{kLongNotFoundBox}, {kLongNotFoundBox}, {kLongNotFoundBox}, none}},
        {"change 0x30", 0x30, true, {{kLongNotFoundBox}, {kLongNotFoundBox}, {chip30Read}, {chip30Read}}},
        {"change 0x13", 0x13, true, {{kLongNotFoundBox}, {kLongNotFoundBox}, {kLongNotFoundBox}}},
    };
    for (const Case& c : cases) {
        for (std::size_t step = 0; step < c.perStep.size(); ++step) {
            SCOPED_TRACE(std::string(c.what) + " step " + std::to_string(step));
            Restart();
            // A password, so a set/check that got through would open a dialog.
            Disk d;
            d.password = "pw";
            d.chipCode = c.chipCode;
            d.partitionWord = 1000;
            auto disk = Add(d);
            Start();
            vcl::TButton* button = c.change ? JUtilityForm->btnChangPwd : JUtilityForm->btnSetNChkPwd;

            // What finding the device sends comes before the opener's own
            // commands, whose number this build's trace shows.
            Press(button);
            ASSERT_EQ(OpenDialogs().size(), 1u);
            vcl::TForm* opened = OpenDialogs().front();
            ASSERT_TRUE(userClick(opened == ChkPwdForm ? ChkPwdForm->btnCancel : ChgPwdForm->btnChgPwdCancel));
#ifdef KT4790_ASPI
            const std::size_t own = c.perStep.size() + (c.change ? 1 : 0);
#else
            const std::size_t own = c.perStep.size();
#endif
            const std::size_t findCommands = disk->trace().size() - own;
            disk->ClearTrace();
            World().ClearMessageBoxes();

            emulator::Fault fault;
            fault.kind = emulator::FaultKind::CheckCondition;
            fault.afterCommands = static_cast<std::uint32_t>(findCommands + step);
            disk->InjectFault(fault);
            Press(button);
            ExpectRefused(c.perStep[step]);
            // Nothing is sent after the failure.
            EXPECT_EQ(disk->trace().size(), findCommands + step + 1);
            EXPECT_EQ(disk->trace().back().status, emulator::kStatusCheckCondition);
        }
    }
}

TEST_F(OpenerTest, ChangeOnAspiIgnoresAFailedPwdExist) {
    Disk d;
    d.partitionWord = 1000;
    auto disk = Add(d);
    Start();
    emulator::Fault fault;
    fault.opcode = kPwdExist;
    disk->InjectFault(fault);
    Press(JUtilityForm->btnChangPwd);
    ExpectOpened(ChgPwdForm, ChgPwdForm->DeviceName, "DISK");
}

TEST_F(OpenerTest, AnUnknownChipAsksForAnUpdateAndReadsNoSector) {
    World().SetLibraryDirectory(FAKE_CHIP_LIBRARY_DIR);
    Start();
    ASSERT_EQ(JUtilityForm->CBoxDeviceList->Text(), "ODD");
    // The fake library shows a box of its own for every sector read and PwdExist.
    for (vcl::TButton* button : {JUtilityForm->btnSetNChkPwd, JUtilityForm->btnChangPwd}) {
        SCOPED_TRACE(button->Name());
        World().ClearMessageBoxes();
        Press(button);
        ExpectRefused({kChipBox});
    }
}

}  // namespace
}  // namespace apptest
