// The change-device-name dialog over emulated disks, through the real device
// library of the build: opened as the utility window's opener opens it, then
// typed into, pasted into, confirmed, cancelled and closed as a person would.
#include "app_test.h"
#include "trace.h"

#include <algorithm>

#include "app/Chgdevname.h"
#include "app/Jutility.h"
#include "app/Main.h"
#include "app/devbind.h"
#include "kt4790/records.h"

namespace apptest {
namespace {

using vcl::headless::lastRefusal;
using vcl::headless::userClick;
using vcl::headless::userCloseBox;
using vcl::headless::userPaste;
using vcl::headless::userType;

using Sector = std::uint8_t[kt4790::kSectorSize];

#ifdef KT4790_ASPI
constexpr const char* kLibraryMissing = "Can't load the KT4790mDLL.";
constexpr const char* kProcedures[] = {"GetDeviceID", "GetChipVersion", "VSCReadSector", "SetEString", "GetMediaSize"};
constexpr std::uint8_t kFirstQuery = 0xC0, kSecondQuery = 0xC1;  // GetChipVersion, then GetMediaSize
#else
constexpr const char* kLibraryMissing = "Can't load the KT4790DLL.";
constexpr const char* kProcedures[] = {"GetHandle", "VSCReadSector", "SetEString", "GetMediaSize", "GetChipVersion"};
constexpr std::uint8_t kFirstQuery = 0xC1, kSecondQuery = 0xC0;  // GetMediaSize, then GetChipVersion
#endif
constexpr std::uint8_t kSetEString = 0xF8;

const Box kChangedBox{"Device name was changed successfully.", "OK", MB_OK};
const Box kNotFoundBox = Warning("Can't find the device, please check the device!");
const Box kAlphaNumericBox = Warning("Please enter alphabet or numeric!");
const Box kEnterNameBox = Warning("Please enter the Device Name.");

// What a rename of the sector `before` to the UTF-16 `units` gives: the name
// descriptor replaced, the descriptors after it moved behind the new one,
// zero bytes up to 492, bytes 0-31 and 493-511 as they were.
std::vector<std::uint8_t> Renamed(const Sector& before, const std::u16string& units) {
    kt4790::DescriptorRef name, end;
    EXPECT_TRUE(kt4790::WalkDescriptorChain(before, kt4790::kNameDescriptorIndex, name));
    EXPECT_EQ(kt4790::WalkDescriptorChainTo(before, kt4790::kChainEndIndex, end), kt4790::ChainWalk::Ended);
    std::vector<std::uint8_t> after(before, before + name.offset);
    after.push_back(static_cast<std::uint8_t>(2 * units.size() + 2));
    after.push_back(3);
    for (const char16_t unit : units) {
        after.push_back(static_cast<std::uint8_t>(unit));
        after.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    after.insert(after.end(), before + name.offset + name.length, before + end.offset);
    after.resize(kt4790::kDescriptorChainEnd, 0);
    after.insert(after.end(), before + kt4790::kDescriptorChainEnd, before + kt4790::kSectorSize);
    return after;
}

class ChangeDeviceNameTest : public AppTest {
protected:
    void AddNameDisk(const std::u16string& name, const Geometry& g = {"", 0x30, false, 0}) {
        emulator::Config config;
        config.deviceName = name;
        config.hint = u"my hint";
        config.chipCode = g.chipCode;
        config.largeBlock = g.largeBlock;
        config.descriptorBlock = g.descriptorBlock;
        disk_ = std::make_shared<emulator::Controller>(config);
        World().AddDevice(disk_);
    }

    void Fresh() {
        vcl::headless::resetApplication();
        ClearFormGlobals();
        disk_.reset();
        World().Reset();
        World().SetWindowsVersion(SupportedVersion());
    }

    // Starts the program, shows the utility window as a correct password
    // does, and opens the dialog for the selected device as the opener does:
    // buttons off, dialog shown, and only then its DeviceName.
    void Open() {
        ASSERT_EQ(AppMain(), 0);
        MainForm->SetVisible(false);
        JUtilityForm->SetVisible(true);
        vcl::TComboBox* list = JUtilityForm->CBoxDeviceList;
        JUtilityForm->DisableAllButtons();
        ChgDevNameForm->SetVisible(true);
        ChgDevNameForm->DeviceName = list->ItemIndex() < 0 ? "" : list->Items()[list->ItemIndex()];
        World().ClearMessageBoxes();
        if (disk_) disk_->ClearTrace();
        if (disk_) ReadDescriptor(before_);
    }

    void Type(const std::string& keys) { ASSERT_TRUE(userType(ChgDevNameForm->edtNewDevName, keys)) << lastRefusal(); }
    void PressOk() { ASSERT_TRUE(userClick(ChgDevNameForm->btnChgDevNOK)) << lastRefusal(); }

    void ReadDescriptor(Sector& sector) const { ReadDescriptorSector(*disk_, sector); }
    std::vector<std::uint8_t> DescriptorNow() const {
        Sector sector;
        ReadDescriptor(sector);
        return {sector, sector + sizeof sector};
    }
    std::vector<std::uint8_t> Unchanged() const { return {before_, before_ + sizeof before_}; }

    // The names GetAllDeviceName lists now, as stored (UTF-16, untrimmed).
    static std::vector<std::u16string> LibraryNames() {
        std::vector<std::u16string> names;
        HMODULE library = LoadLibraryA(kLibrary);
        if (library == nullptr) return names;
        const FARPROC address = GetProcAddress(library, "GetAllDeviceName");
        decltype(&GetAllDeviceName) getAllDeviceName = nullptr;
        std::memcpy(&getAllDeviceName, &address, sizeof address);
        char filter[16];
        devbind::DeviceSession::CopyRevisionFilter(filter);
        kt4790::DeviceNameEntry table[kt4790::kDeviceNameTableCapacity] = {};
        BYTE count = kt4790::kDeviceNameTableCapacity;
        if (getAllDeviceName(filter, reinterpret_cast<BYTE*>(table), &count) != 0) {
            for (unsigned k = 0; k < count && k < kt4790::kDeviceNameTableCapacity; ++k) {
                std::u16string name;
                for (unsigned i = 0; i + 1 < table[k].length; i += 2) {
                    name.push_back(static_cast<char16_t>(table[k].name[i] | table[k].name[i + 1] << 8));
                }
                names.push_back(name);
            }
        }
        FreeLibrary(library);
        return names;
    }

    static std::vector<std::string> UtilityList() {
        const vcl::TStrings& items = JUtilityForm->CBoxDeviceList->Items();
        std::vector<std::string> list;
        for (int i = 0; i < items.Count(); ++i) list.push_back(items[i]);
        return list;
    }

    static bool FunctionButtonsEnabled() {
        const vcl::TButton* buttons[] = {JUtilityForm->btnChangDevName, JUtilityForm->btnChangPwd,
                                         JUtilityForm->btnClearPwd,     JUtilityForm->btnFormat,
                                         JUtilityForm->btnSetNChkPwd,   JUtilityForm->btnPartition,
                                         JUtilityForm->btnCopyFile};
        for (const vcl::TButton* button : buttons) {
            if (!button->Enabled()) return false;
        }
        return true;
    }

    // Where the rename's commands end: at its SetEString, which the utility
    // window's listing follows; without one, at the end of the trace.
    std::size_t RenameEnd() const {
        const auto& trace = disk_->trace();
        for (std::size_t i = trace.size(); i > 0; --i) {
            if (trace[i - 1].cdb[0] == kSetEString) return i;
        }
        return trace.size();
    }

    // The last n commands of the rename.
    std::vector<Sent> RenameTail(std::size_t n) const {
        const std::size_t end = RenameEnd();
        std::vector<Sent> tail;
        for (std::size_t i = end < n ? 0 : end - n; i < end; ++i) tail.push_back(ToSent(disk_->trace()[i]));
        return tail;
    }

    bool SetEStringSent() const {
        for (const emulator::CommandRecord& r : disk_->trace()) {
            if (r.cdb[0] == kSetEString) return true;
        }
        return false;
    }

    // A failed rename: one box, the dialog open with `text`, the buttons
    // still off, the disk as it was, nothing left open.
    void ExpectRefused(const Box& box, const std::string& text) {
        EXPECT_EQ(Boxes(), std::vector<Box>{box});
        EXPECT_TRUE(ChgDevNameForm->Visible());
        EXPECT_EQ(ChgDevNameForm->edtNewDevName->Text(), text);
        EXPECT_FALSE(FunctionButtonsEnabled());
        if (disk_) {
            EXPECT_EQ(DescriptorNow(), Unchanged());
        }
        ExpectNothingLeftOpen();
    }

    static void ExpectNothingLeftOpen() {
        EXPECT_EQ(World().LoadedLibraryCount(), 0);
        EXPECT_EQ(HandlesBesidesTheMutex(), 0);
    }

    std::shared_ptr<emulator::Controller> disk_;
    Sector before_ = {};
};

// --- a rename that succeeds ------------------------------------------------------------------

class RenameGeometryTest : public ChangeDeviceNameTest, public testing::WithParamInterface<Geometry> {};

TEST_P(RenameGeometryTest, WritesTheNameKeepsTheRestAndRefreshesTheUtilityList) {
    const Geometry g = GetParam();
    AddNameDisk(u"DISK", g);
    Open();
    Type("abc");

    // When the box comes up the device is let go and the dialog still shows.
    int librariesAtBox = -1, handlesAtBox = -1;
    bool dialogAtBox = false;
    std::vector<std::string> listAtBox;
    World().SetMessageBoxHook([&](const winsim::MessageBoxCall&) {
        librariesAtBox = World().LoadedLibraryCount();
        handlesAtBox = HandlesBesidesTheMutex();
        dialogAtBox = ChgDevNameForm->Visible();
        listAtBox = UtilityList();
    });
    PressOk();
    World().SetMessageBoxHook(nullptr);

    EXPECT_EQ(Boxes(), std::vector<Box>{kChangedBox});
    EXPECT_EQ(librariesAtBox, 0);
    EXPECT_EQ(handlesAtBox, 0);
    EXPECT_TRUE(dialogAtBox);
    EXPECT_EQ(listAtBox, std::vector<std::string>{"DISK"});

    // The name descriptor is 8, 3, "abc" in UTF-16LE; the hint after it and
    // bytes 493-511 survive.
    EXPECT_EQ(DescriptorNow(), Renamed(before_, u"abc"));
    kt4790::DescriptorRef name;
    Sector now;
    ReadDescriptor(now);
    ASSERT_TRUE(kt4790::WalkDescriptorChain(now, kt4790::kNameDescriptorIndex, name));
    EXPECT_EQ(std::vector<std::uint8_t>(now + name.offset, now + name.offset + 8),
              (std::vector<std::uint8_t>{8, 3, 'a', 0, 'b', 0, 'c', 0}));
    EXPECT_EQ(LibraryNames(), std::vector<std::u16string>{u"abc"});

    // The dialog's own commands end the trace: the two queries, the search,
    // the write.
    std::vector<Sent> expected{{kFirstQuery, 0, 0}, {kSecondQuery, 0, 0}};
    if (g.chipCode == 0x13) {
        expected.push_back({kVscRead, 1, 0x80});
    } else {
        const std::uint32_t step = g.largeBlock ? 256 : 32;
        for (std::uint32_t block = 0; block <= g.descriptorBlock; ++block) expected.push_back({kVscRead, block * step + 1, 0x40});
        expected.push_back({kVscRead, g.descriptorBlock * step + 1, 0});
    }
    expected.push_back({kSetEString, 0, 0});
    EXPECT_EQ(RenameTail(expected.size()), expected);

    EXPECT_FALSE(ChgDevNameForm->Visible());
    EXPECT_EQ(UtilityList(), std::vector<std::string>{"abc"});
    EXPECT_EQ(JUtilityForm->CBoxDeviceList->ItemIndex(), 0);
    EXPECT_TRUE(FunctionButtonsEnabled());
    ExpectNothingLeftOpen();
}

INSTANTIATE_TEST_SUITE_P(
    Geometries, RenameGeometryTest,
    testing::Values(Geometry{"Chip13", 0x13, true, 0}, Geometry{"Chip30Small", 0x30, false, 0},
                    Geometry{"Chip30Large", 0x30, true, 0}, Geometry{"Chip30Block32", 0x30, false, 32}),
    [](const testing::TestParamInfo<Geometry>& param) { return std::string(param.param.name); });

TEST_F(ChangeDeviceNameTest, SixteenCharactersFillTheEditAndGiveLengthByte34) {
    AddNameDisk(u"DISK");
    Open();
    Type("ABCDEFGHIJ012345");
    // A 17th character does not fit.
    EXPECT_FALSE(userType(ChgDevNameForm->edtNewDevName, "X"));
    EXPECT_EQ(ChgDevNameForm->edtNewDevName->Text(), "ABCDEFGHIJ012345");
    PressOk();
    EXPECT_EQ(Boxes(), std::vector<Box>{kChangedBox});
    EXPECT_EQ(DescriptorNow(), Renamed(before_, u"ABCDEFGHIJ012345"));
    EXPECT_EQ(LibraryNames(), std::vector<std::u16string>{u"ABCDEFGHIJ012345"});
}

TEST_F(ChangeDeviceNameTest, PastedTextIsStoredAsTypedThroughTheAnsiCodePage) {
    // A leading blank is kept in the descriptor and trimmed by the list; a
    // letter of the code page is one unit.
    struct Case {
        std::string pasted;
        std::u16string stored;
        std::string listed;
    };
    const Case cases[] = {{" ab", u" ab", "ab"}, {"a b", u"a b", "a b"}, {"caf\xe9", u"caf\u00e9", "caf\xe9"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pasted);
        Fresh();
        World().SetAnsiCodePage(1252);
        AddNameDisk(u"DISK");
        Open();
        ASSERT_TRUE(userPaste(ChgDevNameForm->edtNewDevName, c.pasted));
        PressOk();
        EXPECT_EQ(Boxes(), std::vector<Box>{kChangedBox});
        EXPECT_EQ(DescriptorNow(), Renamed(before_, c.stored));
        EXPECT_EQ(LibraryNames(), std::vector<std::u16string>{c.stored});
        EXPECT_EQ(UtilityList(), std::vector<std::string>{c.listed});
    }
}

TEST_F(ChangeDeviceNameTest, OnlyTheSelectedDeviceIsRenamed) {
    AddNameDisk(u"FIRST");
    AddDisk(u"SECOND");
    Open();
    ChgDevNameForm->DeviceName = "SECOND";
    Type("Renamed");
    PressOk();
    EXPECT_EQ(Boxes(), std::vector<Box>{kChangedBox});
    EXPECT_EQ(DescriptorNow(), Unchanged());
    EXPECT_EQ(LibraryNames(), (std::vector<std::u16string>{u"FIRST", u"Renamed"}));
    EXPECT_EQ(UtilityList(), (std::vector<std::string>{"FIRST", "Renamed"}));
}

// --- what the edit takes -----------------------------------------------------------------------

TEST_F(ChangeDeviceNameTest, TheKeyFilterPassesLettersDigitsAndEditingKeysOnly) {
    AddNameDisk(u"DISK");
    Open();
    // Each refused key gives its box and is not inserted; backspace and DEL
    // pass; Enter passes and presses nothing.
    Type(std::string("a-b c!\x16\x1b\x80\xe9\xff") + "9Z\b\x7f" + "\r");
    EXPECT_EQ(Boxes(), std::vector<Box>(8, kAlphaNumericBox));
    EXPECT_EQ(ChgDevNameForm->edtNewDevName->Text(), "abc9");
    EXPECT_TRUE(ChgDevNameForm->Visible());
    EXPECT_TRUE(disk_->trace().empty());
    ExpectNothingLeftOpen();
}

TEST_F(ChangeDeviceNameTest, BlanksAloneAndOtherCharactersAreRefusedBeforeTheLibraryLoads) {
    struct Case {
        std::string pasted;
        Box box;
        std::string left;  // the edit afterwards
    };
    const Case cases[] = {
        {"", kEnterNameBox, ""},
        {"   ", kEnterNameBox, "   "},
        {"name-", kAlphaNumericBox, ""},
        {"na.me", kAlphaNumericBox, ""},
        {"ab\t", kAlphaNumericBox, ""},  // trimmed it is a name, but the tab is checked
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pasted);
        Fresh();
        AddNameDisk(u"DISK");
        Open();
        if (!c.pasted.empty()) {
            ASSERT_TRUE(userPaste(ChgDevNameForm->edtNewDevName, c.pasted));
        }
        World().HideLibrary(kLibrary);  // a load would show its own box
        PressOk();
        ExpectRefused(c.box, c.left);
        EXPECT_TRUE(disk_->trace().empty());
    }
}

// --- failures after the check --------------------------------------------------------------------

class RenameBindingTest : public ChangeDeviceNameTest, public testing::WithParamInterface<const char*> {};

TEST_P(RenameBindingTest, IsReportedAsAnErrorAndNothingIsSent) {
    AddNameDisk(u"DISK");
    Open();
    Type("abc");
    if (GetParam() == nullptr) {
        World().HideLibrary(kLibrary);
    } else {
        World().HideExport(kLibrary, GetParam());
    }
    PressOk();
    ExpectRefused(Error(GetParam() == nullptr ? kLibraryMissing : "Load library failed!"), "abc");
    EXPECT_TRUE(disk_->trace().empty());
}

INSTANTIATE_TEST_SUITE_P(LibraryAndProcedures, RenameBindingTest,
                         testing::Values(nullptr, kProcedures[0], kProcedures[1], kProcedures[2], kProcedures[3],
                                         kProcedures[4]));

TEST_F(ChangeDeviceNameTest, AnUnpluggedDeviceIsNotFound) {
    AddNameDisk(u"DISK");
    Open();
    disk_->Remove();
    Type("abc");
    PressOk();
    ExpectRefused(kNotFoundBox, "abc");
}

// A command of the rename failing; the name stays.
struct FailingCommand {
    const char* name;
    std::uint8_t chipCode;
    std::uint8_t opcode;
    std::uint8_t flags;  // of a sector read
};
void PrintTo(const FailingCommand& f, std::ostream* out) { *out << f.name; }
class RenameCommandFailureTest : public ChangeDeviceNameTest, public testing::WithParamInterface<FailingCommand> {};

TEST_P(RenameCommandFailureTest, IsReportedAsNotFoundAndStopsThere) {
    const FailingCommand f = GetParam();
    AddNameDisk(u"DISK", {"", f.chipCode, false, 0});
    Open();
    // A rename to the same name tells where the command comes.
    Type("DISK");
    PressOk();
    ASSERT_EQ(Boxes(), std::vector<Box>{kChangedBox});
    std::size_t position = RenameEnd();
    const auto sentAt = [&](std::size_t i) {
        const emulator::CommandRecord& r = disk_->trace()[i];
        return r.cdb[0] == f.opcode && (f.opcode != kVscRead || r.cdb[1] == f.flags);
    };
    while (position > 0 && !sentAt(position - 1)) --position;
    ASSERT_GT(position, 0u);
    --position;

    JUtilityForm->DisableAllButtons();
    ChgDevNameForm->SetVisible(true);
    ChgDevNameForm->DeviceName = "DISK";
    World().ClearMessageBoxes();
    disk_->ClearTrace();
    ReadDescriptor(before_);
    emulator::Fault fault;
    fault.kind = emulator::FaultKind::CheckCondition;
    fault.afterCommands = static_cast<std::uint32_t>(position);
    disk_->InjectFault(fault);
    Type("abc");
    PressOk();
    ExpectRefused(kNotFoundBox, "abc");
    ASSERT_EQ(disk_->trace().size(), position + 1);
    EXPECT_EQ(disk_->trace().back().status, emulator::kStatusCheckCondition);
}

INSTANTIATE_TEST_SUITE_P(Commands, RenameCommandFailureTest,
                         testing::Values(FailingCommand{"GetMediaSize", 0x30, 0xC1, 0},
                                         FailingCommand{"GetChipVersion", 0x30, 0xC0, 0},
                                         FailingCommand{"SpareRead", 0x30, kVscRead, 0x40},
                                         FailingCommand{"Chip30SectorRead", 0x30, kVscRead, 0},
                                         FailingCommand{"Chip13SectorRead", 0x13, kVscRead, 0x80},
                                         FailingCommand{"SetEString", 0x30, kSetEString, 0}),
                         [](const testing::TestParamInfo<FailingCommand>& param) { return std::string(param.param.name); });

#ifndef KT4790_ASPI
// KT4790DLL's SetEString returns an int, of which only the low byte tells.
int WINAPI SetEStringWithLowByteZero(HANDLE, BYTE*) { return 0x100; }

TEST_F(ChangeDeviceNameTest, ASetEStringResultWhoseLowByteIsZeroIsAFailure) {
    AddNameDisk(u"DISK");
    Open();
    World().ReplaceExport(kLibrary, "SetEString", reinterpret_cast<void (*)()>(&SetEStringWithLowByteZero));
    Type("abc");
    PressOk();
    ExpectRefused(kNotFoundBox, "abc");
}
#endif

TEST_F(ChangeDeviceNameTest, ADescriptorSectorBeyondBlock32IsFoundOnlyWithoutALimit) {
    AddNameDisk(u"DISK", {"", 0x30, false, 40});
    Open();
    Type("abc");
    PressOk();
#ifdef KT4790_ASPI
    EXPECT_EQ(Boxes(), std::vector<Box>{kChangedBox});
    EXPECT_EQ(LibraryNames(), std::vector<std::u16string>{u"abc"});
#else
    ExpectRefused(kNotFoundBox, "abc");
    EXPECT_FALSE(SetEStringSent());
    // The two queries, then the spare areas of blocks 0 to 32, and no more.
    std::vector<Sent> expected{{kFirstQuery, 0, 0}, {kSecondQuery, 0, 0}};
    for (std::uint32_t block = 0; block <= 32; ++block) expected.push_back({kVscRead, block * 32 + 1, 0x40});
    EXPECT_EQ(RenameTail(expected.size()), expected);
    EXPECT_EQ(LibraryNames(), std::vector<std::u16string>{u"DISK"});
#endif
}

TEST_F(ChangeDeviceNameTest, AnUnknownChipKeepsTheNameAndIsNotFound) {
    World().SetLibraryDirectory(FAKE_CHIP_LIBRARY_DIR);
    Open();
    ASSERT_EQ(UtilityList(), std::vector<std::string>{"ODD"});
    Type("abc");
    PressOk();
    // The fake library shows a box for every sector read and SetEString.
    ExpectRefused(kNotFoundBox, "abc");
}

TEST_F(ChangeDeviceNameTest, ANameThatWouldPushTheChainPast492IsNotWritten) {
    AddNameDisk(u"DISK");
    Open();
    // A last descriptor that fills the chain up to byte 491, so the zero
    // byte that ends it is byte 492: a longer name no longer fits, a
    // shorter one does.
    Sector sector;
    ReadDescriptor(sector);
    kt4790::DescriptorRef end;
    ASSERT_EQ(kt4790::WalkDescriptorChainTo(sector, kt4790::kChainEndIndex, end), kt4790::ChainWalk::Ended);
    for (std::size_t p = end.offset; p < 492;) {
        const std::size_t left = 492 - p;
        const std::size_t length = left > 255 ? std::min<std::size_t>(255, left - 2) : left;
        ASSERT_GE(length, 2u);
        sector[p] = static_cast<std::uint8_t>(length);
        sector[p + 1] = 3;
        p += length;
    }
    WriteDescriptorSector(*disk_, sector);
    std::memcpy(before_, sector, sizeof sector);

    Type("LONGERNAME");
    PressOk();
    ExpectRefused(kNotFoundBox, "LONGERNAME");
    EXPECT_FALSE(SetEStringSent());

    World().ClearMessageBoxes();
    ChgDevNameForm->edtNewDevName->Clear();
    Type("AB");
    PressOk();
    EXPECT_EQ(Boxes(), std::vector<Box>{kChangedBox});
    EXPECT_EQ(DescriptorNow(), Renamed(before_, u"AB"));
}

// --- cancel and close ----------------------------------------------------------------------------

TEST_F(ChangeDeviceNameTest, CancelAndTheCloseBoxHideTheDialogAndEnableTheButtons) {
    AddNameDisk(u"DISK");
    Open();
    Type("abc");
    ASSERT_TRUE(userClick(ChgDevNameForm->btnChgDevNCancel)) << lastRefusal();
    EXPECT_FALSE(ChgDevNameForm->Visible());
    EXPECT_TRUE(FunctionButtonsEnabled());

    // Shown again, it starts empty with the focus in the edit.
    JUtilityForm->DisableAllButtons();
    ChgDevNameForm->SetVisible(true);
    EXPECT_EQ(ChgDevNameForm->edtNewDevName->Text(), "");
    EXPECT_TRUE(ChgDevNameForm->edtNewDevName->Focused());
    ASSERT_TRUE(userCloseBox(ChgDevNameForm)) << lastRefusal();
    EXPECT_FALSE(ChgDevNameForm->Visible());
    EXPECT_TRUE(FunctionButtonsEnabled());

    EXPECT_TRUE(Boxes().empty());
    EXPECT_TRUE(disk_->trace().empty());
    EXPECT_EQ(DescriptorNow(), Unchanged());
    ExpectNothingLeftOpen();
}

}  // namespace
}  // namespace apptest
