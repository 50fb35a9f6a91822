// The two-area format dialog, opened by "FORMAT" on a disk whose
// DescriptorSector splits it, and driven as a person would over emulated
// disks through the real library of the build: the storage and boot buttons,
// every step that can stop a run with the messages and the state it leaves,
// the library binding, and on a few media which blocks each run erases, where
// the formatter writes, the labels it is given and what happens to the
// DescriptorSector. The emulator's own block map is the judge of which
// physical block holds which logical block.
#include "erase_dialogs.h"

#include <algorithm>
#include <set>

#include "app/Jutility.h"
#include "format/Dformat.h"
#include "format/Erase.h"
#include "format/Newformat.h"

namespace apptest {
namespace {

using vcl::headless::lastRefusal;
using vcl::headless::userCheck;
using vcl::headless::userType;

const Box kAreasFormatted{"Format was successful. You need to unplug and replug the device!", "OK", MB_OK};
const Box kLoadFailed = Error("Load library failed!");
// Block 0 of chip 0x13 could not be saved, erased or written back.
const Box kSystemBlock =
    Warning(kAspi ? "Please check the device!" : "Can't find the device, please check the device!");
const std::vector<Box> kFailed{kFormatFailedBox};
const std::vector<Box> kSystemBlockFailed{kSystemBlock, kFormatFailedBox};
const std::vector<Box> kDone{kAreasFormatted};

enum class Area { Security, Standard, Both };
std::string AreaName(Area area) {
    return area == Area::Security ? "security" : area == Area::Standard ? "standard" : "both";
}

using Button = vcl::TRadioButton* TJDFormatForm::*;

std::vector<std::uint8_t> LabelEntry(const std::string& typed) {
    std::vector<std::uint8_t> entry(newformat::kVolumeLabelSize, 0);
    if (typed.empty()) return entry;
    std::copy(typed.begin(), typed.end(), entry.begin());
    entry[11] = 0x08;
    return entry;
}
std::vector<std::uint8_t> Slot(int slot) {
    const std::uint8_t* entry = newformat::FormatParams.VolumeLabels[slot];
    return {entry, entry + newformat::kVolumeLabelSize};
}

class TwoAreaTest : public EraseDialogTest {
protected:
    // The disk split at `partitionWord`, the dialog opened by "FORMAT"; what
    // that showed and sent is cleared.
    void Open(const emulator::Config& config, std::uint16_t partitionWord) {
        Start(config);
        SetDescriptorWord(partitionWord);
        OpenAgain();
    }
    void OpenAgain() {
        Press(JUtilityForm->btnFormat);
        ASSERT_TRUE(JDFormatForm->Visible());
        World().ClearMessageBoxes();
        disk_->ClearTrace();
    }

    void SetDescriptorWord(std::uint16_t partitionWord) {
        std::uint8_t sector[512];
        ReadDescriptorSector(*disk_, sector);
        kt4790::WriteBigEndian16(sector + kt4790::kPartitionWordOffset, partitionWord);
        WriteDescriptorSector(*disk_, sector);
    }
    void SetBootFlag(std::uint8_t flag) {
        std::uint8_t sector[512];
        ReadDescriptorSector(*disk_, sector);
        sector[kt4790::kBootFlagOffset] = flag;
        WriteDescriptorSector(*disk_, sector);
    }

    static vcl::TRadioButton* StorageButton(Area area) {
        return area == Area::Security   ? JDFormatForm->rbtnMainStorage
               : area == Area::Standard ? JDFormatForm->rbtnAcceStorage
                                        : JDFormatForm->rbtnBoth;
    }

    // The area's storage button, the boot button (not for the security disk,
    // whose group that disables), the labels of the edits it enables, then
    // Start; the question gets OK.
    static void Run(Area area, Button boot, const std::string& security, const std::string& standard) {
        ASSERT_TRUE(userCheck(StorageButton(area))) << lastRefusal();
        if (area != Area::Security) {
            ASSERT_TRUE(userCheck(JDFormatForm->*boot)) << lastRefusal();
            ASSERT_TRUE(userType(JDFormatForm->edtAcceVolume, standard)) << lastRefusal();
        }
        if (area != Area::Standard) {
            ASSERT_TRUE(userType(JDFormatForm->edtMainVolume, security)) << lastRefusal();
        }
        Press(JDFormatForm->btnStart);
    }

    // Commands of an operation code that the disk carried out.
    std::size_t Done(std::uint8_t opcode) const {
        std::size_t count = 0;
        for (const emulator::CommandRecord& r : disk_->trace()) count += r.cdb[0] == opcode && r.status == 0;
        return count;
    }
    bool AnythingErasedOrWritten() const { return Done(kEraseBlock) + Done(kVscWrite) + Done(kSetEString) != 0; }

    static void ExpectOpenAndIdle() {
        EraseDialogTest::ExpectOpenAndIdle(JDFormatForm, JDFormatForm->btnStart, JDFormatForm->btnClose);
    }
    static void ExpectClosed() {
        EraseDialogTest::ExpectClosed(JDFormatForm, JDFormatForm->btnStart, JDFormatForm->btnClose);
    }
};

// --- the dialog's controls ----------------------------------------------------------------

// The storage button checked, which edits can be typed into (the others
// greyed), the boot button checked and whether the boot group is enabled.
struct Controls {
    Area storage;
    bool securityEdit, standardEdit;
    Button boot;
    bool bootGroup;
};

void ExpectControls(const Controls& c) {
    EXPECT_EQ(JDFormatForm->rbtnMainStorage->Checked(), c.storage == Area::Security);
    EXPECT_EQ(JDFormatForm->rbtnAcceStorage->Checked(), c.storage == Area::Standard);
    EXPECT_EQ(JDFormatForm->rbtnBoth->Checked(), c.storage == Area::Both);
    for (const auto& [edit, usable] : {std::make_pair(JDFormatForm->edtMainVolume, c.securityEdit),
                                       std::make_pair(JDFormatForm->edtAcceVolume, c.standardEdit)}) {
        EXPECT_EQ(edit->Enabled(), usable) << edit->Name();
        EXPECT_EQ(edit->Color(), usable ? vcl::clWindow : vcl::clScrollBar) << edit->Name();
    }
    for (Button boot : {&TJDFormatForm::rbtnFDDBoot, &TJDFormatForm::rbtnZIPBoot, &TJDFormatForm::rbtnHDDBoot}) {
        EXPECT_EQ((JDFormatForm->*boot)->Checked(), boot == c.boot) << (JDFormatForm->*boot)->Name();
        EXPECT_EQ((JDFormatForm->*boot)->Enabled(), c.bootGroup) << (JDFormatForm->*boot)->Name();
    }
}

// A click on a storage button sets the edits; the boot group is disabled for
// the security disk alone and, coming back from it, starts again at "Floppy
// Boot"; otherwise the boot choice stays. Showing the dialog resets all of it
// whatever the last use left, and Start without an answer OK or without a
// storage button sends nothing.
TEST_F(TwoAreaTest, TheStorageButtonsSetTheEditsAndTheBootGroupAndShowingResetsThem) {
    const Controls shown{Area::Standard, false, true, &TJDFormatForm::rbtnFDDBoot, true};
    struct Step {
        Button click;
        Controls after;
    };
    const Step steps[] = {
        {&TJDFormatForm::rbtnHDDBoot, {Area::Standard, false, true, &TJDFormatForm::rbtnHDDBoot, true}},
        {&TJDFormatForm::rbtnMainStorage, {Area::Security, true, false, &TJDFormatForm::rbtnHDDBoot, false}},
        {&TJDFormatForm::rbtnAcceStorage, {Area::Standard, false, true, &TJDFormatForm::rbtnFDDBoot, true}},
        {&TJDFormatForm::rbtnZIPBoot, {Area::Standard, false, true, &TJDFormatForm::rbtnZIPBoot, true}},
        {&TJDFormatForm::rbtnBoth, {Area::Both, true, true, &TJDFormatForm::rbtnZIPBoot, true}},
        {&TJDFormatForm::rbtnMainStorage, {Area::Security, true, false, &TJDFormatForm::rbtnZIPBoot, false}},
        {&TJDFormatForm::rbtnBoth, {Area::Both, true, true, &TJDFormatForm::rbtnFDDBoot, true}},
        {&TJDFormatForm::rbtnHDDBoot, {Area::Both, true, true, &TJDFormatForm::rbtnHDDBoot, true}},
        {&TJDFormatForm::rbtnAcceStorage, {Area::Standard, false, true, &TJDFormatForm::rbtnHDDBoot, true}},
    };
    Open(Medium(0x30, false, 1), 500);
    ExpectControls(shown);
    for (const Step& step : steps) {
        SCOPED_TRACE((JDFormatForm->*step.click)->Name());
        ASSERT_TRUE(userCheck(JDFormatForm->*step.click)) << lastRefusal();
        ExpectControls(step.after);
    }

    ASSERT_TRUE(userCheck(JDFormatForm->rbtnBoth)) << lastRefusal();
    for (vcl::TEdit* edit : {JDFormatForm->edtMainVolume, JDFormatForm->edtAcceVolume}) {
        EXPECT_FALSE(userType(edit, "TWELVE CHARS"));
        EXPECT_EQ(edit->Text(), "TWELVE CHAR");
    }
    World().ScriptMessageBoxAnswer(IDCANCEL);
    Press(JDFormatForm->btnStart);
    for (const Area area : {Area::Security, Area::Standard, Area::Both}) {
        StorageButton(area)->SetChecked(false);  // as no click can
    }
    Press(JDFormatForm->btnStart);
    const Box noStorage = Warning("Please select the storage you want to format.");
    EXPECT_EQ(Boxes(), (std::vector<Box>{kConfirm, kConfirm, noStorage}));
    EXPECT_TRUE(disk_->trace().empty());
    ExpectOpenAndIdle();

    // What a use leaves: the security disk with the boot group disabled,
    // typed labels, the bar moved, the buttons off.
    ASSERT_TRUE(userCheck(JDFormatForm->rbtnMainStorage)) << lastRefusal();
    JDFormatForm->PBar->SetPosition(50);
    Press(JDFormatForm->btnClose);
    EXPECT_FALSE(JDFormatForm->Visible());
    JDFormatForm->btnStart->SetEnabled(false);
    JDFormatForm->btnClose->SetEnabled(false);
    World().SetScreenSize(1280, 1024);
    OpenAgain();
    ExpectControls(shown);
    EXPECT_EQ(JDFormatForm->edtMainVolume->Text(), "");
    EXPECT_EQ(JDFormatForm->edtAcceVolume->Text(), "");
    EXPECT_EQ(JDFormatForm->PBar->Position(), 0);
    EXPECT_EQ(JDFormatForm->Left(), (1280 - JDFormatForm->Width()) / 2);
    EXPECT_EQ(JDFormatForm->Top(), (1024 - JDFormatForm->Height()) / 2);
    // KT4790MCAP leaves the buttons as they were.
    EXPECT_EQ(JDFormatForm->btnStart->Enabled(), !kAspi);
    EXPECT_EQ(JDFormatForm->btnClose->Enabled(), !kAspi);
    ExpectNothingLeftOpen();
}

// --- the steps that stop a run ---------------------------------------------------------------

enum class Before {
    None,
    Gone,         // the dialog's device is no longer there
    UnknownChip,  // GetChipVersion answers 0x21
    NoBootFlag,   // the security disk's layout is read from the standard area
    NoSplit,      // the PartitionWord is 0 at Start
    WholeSplit,   // the PartitionWord is the medium's logical block count
};

// Every step that can stop a run in each area: its messages (after the
// question), whether the dialog stays open and idle or closes, and whether
// anything was erased or written before. A fault is armed when the run asks
// for WriteProtect, so only the run's own commands meet it. The labels are
// stored once the device is found; the security disk's only once it is
// known not to be write protected.
TEST_F(TwoAreaTest, EachFailingStepStopsTheRunWithItsMessages) {
    struct Case {
        const char* what;
        Area area;
        emulator::Config disk;
        Before before;
        int opcode;  // the fault's trigger, -1 for none
        std::int64_t address;  // -1: any
        bool repeat;
        std::vector<Box> boxes;
        bool touched;  // erased or written before the stop
    };
    const emulator::Config c30 = Medium(0x30, false, 1);
    const emulator::Config c13 = Medium(0x13, false, 1);
    emulator::Config protected30 = c30;
    protected30.writeProtected = true;
    emulator::Config protected13 = c13;
    protected13.writeProtected = true;
    const emulator::Config unaddressable = Medium(0x13, true, 12);  // 12 zones of large blocks on one chip
    const std::uint32_t spareOfFirstReplacement = 1001 * 32;
    const Area S = Area::Security, D = Area::Standard, B = Area::Both;
    const Case cases[] = {
        {"device gone", S, c30, Before::Gone, -1, -1, false, {kNotFound}, false},
        {"device gone", D, c30, Before::Gone, -1, -1, false, {kNotFound}, false},
        {"device gone", B, c13, Before::Gone, -1, -1, false, {kNotFound}, false},
        {"write protected", S, protected30, Before::None, -1, -1, false, {kWriteProtected}, false},
        {"write protected", D, protected13, Before::None, -1, -1, false, {kWriteProtected}, false},
        {"write protected", B, protected30, Before::None, -1, -1, false, {kWriteProtected}, false},
        {"WriteProtect -1", D, c30, Before::None, kModeSense, -1, false, kDone, true},
        {"GetChipVersion", S, c30, Before::None, kChip, -1, false, {kNotFound}, false},
        {"GetChipVersion", D, c30, Before::None, kChip, -1, false, kFailed, false},
        {"GetChipVersion", B, c13, Before::None, kChip, -1, false, kFailed, false},
        {"GetMediaSize", S, c13, Before::None, kMedia, -1, false, {kNotFound}, false},
        {"GetMediaSize", B, c30, Before::None, kMedia, -1, false, kFailed, false},
        {"unknown chip", S, c30, Before::UnknownChip, -1, -1, false,
         kAspi ? kFailed : std::vector<Box>{kUpdate, kFormatFailedBox}, false},
        {"unknown chip", D, c30, Before::UnknownChip, -1, -1, false, kFailed, false},
        {"unknown chip", B, c13, Before::UnknownChip, -1, -1, false, kFailed, false},
        {"unaddressable", S, unaddressable, Before::None, -1, -1, false, {kUpdate, kFormatFailedBox}, false},
        {"unaddressable", B, unaddressable, Before::None, -1, -1, false, {kUpdate, kFormatFailedBox}, false},
        {"PartitionWord 0", S, c13, Before::NoSplit, -1, -1, false, kFailed, false},
        {"PartitionWord 0", D, c30, Before::NoSplit, -1, -1, false, kFailed, false},
        {"PartitionWord 0", B, c13, Before::NoSplit, -1, -1, false, kFailed, false},
        {"PartitionWord whole", S, c30, Before::WholeSplit, -1, -1, false, kFailed, false},
        {"PartitionWord whole", D, c13, Before::WholeSplit, -1, -1, false, kFailed, false},
        {"PartitionWord whole", B, c30, Before::WholeSplit, -1, -1, false, kFailed, false},
        {"block 0 read", D, c13, Before::None, kVscRead, -1, false, kSystemBlockFailed, false},
        {"block 0 read", B, c13, Before::None, kVscRead, -1, false, kSystemBlockFailed, false},
        {"block 0 erase", D, c13, Before::None, kEraseBlock, 0, true, kSystemBlockFailed, false},
        {"block 0 erase", B, c13, Before::None, kEraseBlock, 0, true, kSystemBlockFailed, false},
        {"block 0 write-back", D, c13, Before::None, kVscWrite, 0, true, kSystemBlockFailed, true},
        {"block 0 write-back", B, c13, Before::None, kVscWrite, 0, true, kSystemBlockFailed, true},
        {"block 0 write-back once", D, c13, Before::None, kVscWrite, 1, false, kDone, true},
        {"block 0 write-back once", B, c13, Before::None, kVscWrite, -1, false, kDone, true},
        {"descriptor search", S, c30, Before::None, kVscRead, -1, false, kFailed, false},
        {"descriptor read", S, c13, Before::None, kVscRead, -1, false, kFailed, false},
        {"descriptor search", D, c30, Before::None, kVscRead, -1, false, kFailed, false},
        {"descriptor search", B, c30, Before::None, kVscRead, -1, false, kFailed, false},
        {"layout read", S, c30, Before::NoBootFlag, kVscRead, 0, false, kFailed, false},
        {"layout read", S, c13, Before::NoBootFlag, kVscRead, 32, false, kFailed, false},
        {"spare area", S, c13, Before::None, kVscRead, spareOfFirstReplacement, false, kFailed, true},
        {"spare area", D, c13, Before::None, kVscRead, spareOfFirstReplacement, false, kFailed, true},
        {"SetEString", D, c30, Before::None, kSetEString, -1, false, kFailed, false},
        {"SetEString", B, c30, Before::None, kSetEString, -1, false, kFailed, false},
        {"GetPhyBlock", S, c30, Before::None, kGetPhyBlock, -1, false, kFailed, false},
        {"GetPhyBlock", D, c30, Before::None, kGetPhyBlock, -1, false, kFailed, true},
        {"GetPhyBlock", B, c30, Before::None, kGetPhyBlock, -1, false, kFailed, true},
        {"EraseBlock once", S, c30, Before::None, kEraseBlock, 601, false, kDone, true},
        {"EraseBlock twice", D, c13, Before::None, kEraseBlock, 5, true, kDone, true},
        {"EraseBlock once", B, c13, Before::None, kEraseBlock, 700, false, kDone, true},
        {"EraseBlock twice", B, c30, Before::None, kEraseBlock, 300, true, kDone, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.what) + " " + AreaName(c.area));
        Open(c.disk, 500);
        switch (c.before) {
            case Before::None: break;
            case Before::Gone: JDFormatForm->DeviceName = "GONE"; break;
            case Before::UnknownChip:
                World().ReplaceExport(kLibrary, "GetChipVersion", AsExport(&UnknownChipVersion));
                break;
            case Before::NoBootFlag: SetBootFlag(0); break;
            case Before::NoSplit: SetDescriptorWord(0); break;
            case Before::WholeSplit: SetDescriptorWord(static_cast<std::uint16_t>(disk_->logicalBlocks())); break;
        }
        if (c.opcode >= 0) {
            emulator::Fault fault;
            fault.opcode = c.opcode;
            fault.address = c.address;
            fault.repeat = c.repeat;
            if (c.opcode == kModeSense) {
                disk_->InjectFault(fault);  // WriteProtect's own command
            } else {
                WritableThenFault::Arm(*disk_, fault);
            }
        }
        for (int slot = newformat::kStandardAreaLabel; slot <= newformat::kAreaBeingWrittenLabel; ++slot) {
            newformat::SetVolumeLabel(slot, "OLD");
        }
        Run(c.area, &TJDFormatForm::rbtnFDDBoot, "SEC", "STD");

        std::vector<Box> expected{kConfirm};
        expected.insert(expected.end(), c.boxes.begin(), c.boxes.end());
        EXPECT_EQ(Boxes(), expected);
        if (c.boxes.back() == kFormatFailedBox || c.boxes.back() == kAreasFormatted) {
            ExpectClosed();
        } else {
            ExpectOpenAndIdle();
        }
        EXPECT_EQ(AnythingErasedOrWritten(), c.touched);
        if (c.opcode == kEraseBlock && c.boxes == kDone) {
            // The failed erase sent again as it was; a second failure passed over.
            std::vector<emulator::CommandRecord> erases;
            for (const emulator::CommandRecord& r : disk_->trace()) {
                if (r.cdb[0] == kEraseBlock && Command(r).sector == c.address) erases.push_back(r);
            }
            ASSERT_EQ(erases.size(), 2u);
            EXPECT_EQ(erases[0].cdb, erases[1].cdb);
        }
        const bool labelsStored = c.before != Before::Gone && !(c.disk.writeProtected && c.area == S);
        if (c.area == B) {
            EXPECT_EQ(Slot(newformat::kSecurityAreaLabel), LabelEntry(labelsStored ? "SEC" : "OLD"));
            EXPECT_EQ(Slot(newformat::kStandardAreaLabel), LabelEntry(labelsStored ? "STD" : "OLD"));
        } else {
            EXPECT_EQ(Slot(newformat::kAreaBeingWrittenLabel),
                      LabelEntry(!labelsStored ? "OLD" : c.area == S ? "SEC" : "STD"));
        }
        ExpectNothingLeftOpen();
    }
}

// --- the library ------------------------------------------------------------------------------

std::vector<std::string> BoundProcedures(const EraseProcs& procs) {
    const std::pair<const char*, bool> all[] = {
        {"WriteProtect", procs.writeProtect != nullptr},     {"GetChipVersion", procs.getChipVersion != nullptr},
        {"GetMediaSize", procs.getMediaSize != nullptr},     {"VSCReadSector", procs.vscReadSector != nullptr},
        {"VSCWriteSector", procs.vscWriteSector != nullptr}, {"SetEString", procs.setEString != nullptr},
        {"GetPhyBlock", procs.getPhyBlock != nullptr},       {"EraseBlock", procs.eraseBlock != nullptr},
    };
    std::vector<std::string> bound;
    for (const auto& [name, isBound] : all) {
        if (isBound) bound.push_back(name);
    }
    std::sort(bound.begin(), bound.end());
    return bound;
}

// A missing library or procedure stops Start before anything is sent, with
// the buttons as they were. With one name hidden, the load binds exactly the
// names before it, which gives away the build's order.
TEST_F(TwoAreaTest, StartLoadsTheLibraryAndBindsInTheBuildsOrder) {
#ifdef KT4790_ASPI
    const std::vector<std::string> order = {"GetDeviceID",    "GetChipVersion", "SetEString",
                                            "GetMediaSize",   "VSCReadSector",  "VSCWriteSector",
                                            "EraseBlock",     "GetPhyBlock",    "WriteProtect"};
#else
    const std::vector<std::string> order = {"GetHandle",      "GetChipVersion", "GetMediaSize",
                                            "VSCReadSector",  "GetPhyBlock",    "VSCWriteSector",
                                            "EraseBlock",     "SetEString",     "WriteProtect"};
#endif
    Open(Medium(0x30, false, 1), 500);
    World().HideLibrary(kLibrary);
    Run(Area::Standard, &TJDFormatForm::rbtnFDDBoot, "", "");
    EXPECT_EQ(Boxes(), (std::vector<Box>{kConfirm, Error(kLibraryMissing), kLoadFailed}));
    EXPECT_TRUE(disk_->trace().empty());
    ExpectOpenAndIdle();
    ExpectNothingLeftOpen();

    for (std::size_t hidden = 0; hidden < order.size(); ++hidden) {
        SCOPED_TRACE(order[hidden]);
        Open(Medium(0x30, false, 1), 500);
        World().HideExport(kLibrary, order[hidden]);
        Run(Area::Both, &TJDFormatForm::rbtnFDDBoot, "", "");
        EXPECT_EQ(Boxes(), (std::vector<Box>{kConfirm, kLoadFailed}));
        EXPECT_TRUE(disk_->trace().empty());
        ExpectOpenAndIdle();

        World().ClearMessageBoxes();
        devbind::DeviceSession session(devbind::Operation::TwoAreaLoad);
        EraseProcs procs;
        EXPECT_EQ(LoadFormatLibrary(session, procs), 0);
        std::vector<std::string> before(order.begin() + 1, order.begin() + std::max<std::size_t>(hidden, 1));
        std::sort(before.begin(), before.end());
        EXPECT_EQ(BoundProcedures(procs), before);
        EXPECT_TRUE(Boxes().empty());  // the dialog shows the one message
        ExpectNothingLeftOpen();
    }
}

// --- what a run erases and writes ----------------------------------------------------------

emulator::Config Replaced(emulator::Config config, std::initializer_list<std::uint32_t> positions) {
    for (const std::uint32_t position : positions) {
        std::string problem;
        EXPECT_TRUE(emulator::AddReplacement(config, position, &problem)) << problem;
    }
    return config;
}

// The sectors of the area whose first sector is `first`, as its boot
// structures give them: the master boot record's partition start and size,
// or the floppy layout's boot sector's total (16 bits, else 32).
std::uint32_t AreaSectors(const std::uint8_t (&first)[512]) {
    const auto le = [&](int at, int bytes) {
        std::uint32_t value = 0;
        for (int i = bytes - 1; i >= 0; --i) value = value << 8 | first[at + i];
        return value;
    };
    if (first[0] != 0xEB) return le(454, 4) + le(458, 4);
    return le(19, 2) != 0 ? le(19, 2) : le(32, 4);
}

// Each run on a few media: chip 0x13 erases the data positions of the area's
// logical blocks and the replacement blocks standing for them (the emulator's
// map decides which), never a block of the other area nor a free block of a
// chip both areas share, and the standard area's system block is erased and
// written back; chip 0x30 asks GetPhyBlock for exactly the area's numbers
// and erases the blocks behind them. The formatter gets the area's first
// block and size, the labels their slots, and only the BootFlag of the
// DescriptorSector changes, for the standard area alone.
TEST_F(TwoAreaTest, EachRunErasesAndFormatsItsAreaOnlyAndKeepsTheDescriptor) {
    struct Case {
        const char* what;
        emulator::Config disk;
        std::uint16_t partitionWord;
        Area area;
        Button boot;
        const char* security;
        const char* standard;
    };
    const emulator::Config oneChip = Replaced(Medium(0x13, false, 4), {1000, 2000});
    const emulator::Config twoChips = Replaced(Medium(0x13, false, 4, 2), {1000, 2048 + 100, 2048 + 700});
    const emulator::Config windowed = Replaced(Medium(0x13, true, 16), {1100, 1600});
    emulator::Config mapped = Medium(0x30, false, 4);
    mapped.unmappedBlocks = {200, 3000};
    const Case cases[] = {
        {"chip 0x13", oneChip, 1500, Area::Security, &TJDFormatForm::rbtnFDDBoot, "Sec Label", ""},
        {"chip 0x13", oneChip, 1500, Area::Standard, &TJDFormatForm::rbtnHDDBoot, "", "lower case"},
        {"chip 0x13", oneChip, 1500, Area::Both, &TJDFormatForm::rbtnZIPBoot, "", "ELEVEN CHRS"},
        {"two chips", twoChips, 1500, Area::Security, &TJDFormatForm::rbtnFDDBoot, "", ""},
        {"two chips", twoChips, 2500, Area::Security, &TJDFormatForm::rbtnFDDBoot, "S", ""},
        {"two chips", twoChips, 2500, Area::Standard, &TJDFormatForm::rbtnFDDBoot, "", "Std"},
        {"windowed", windowed, 1500, Area::Security, &TJDFormatForm::rbtnFDDBoot, "W", ""},
        {"windowed", windowed, 1500, Area::Standard, &TJDFormatForm::rbtnZIPBoot, "", ""},
        {"chip 0x30", mapped, 1500, Area::Security, &TJDFormatForm::rbtnFDDBoot, "Sec", ""},
        {"chip 0x30", mapped, 1500, Area::Standard, &TJDFormatForm::rbtnHDDBoot, "", "Std"},
        {"chip 0x30", mapped, 1500, Area::Both, &TJDFormatForm::rbtnFDDBoot, "Sec", "Std"},
        {"chip 0x30 large", Medium(0x30, true, 8), 600, Area::Both, &TJDFormatForm::rbtnHDDBoot, "A", "B"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.what) + " " + AreaName(c.area));
        Open(c.disk, c.partitionWord);
        const std::uint32_t spb = disk_->sectorsPerBlock();
        const std::uint32_t logical = disk_->logicalBlocks();
        const std::uint32_t physical = disk_->physicalBlocks();
        const std::uint32_t sd = c.partitionWord;
        const bool chip13 = c.disk.chipCode == 0x13;
        const bool hdd = c.boot == &TJDFormatForm::rbtnHDDBoot;
        std::vector<std::vector<std::uint8_t>> block0(spb, std::vector<std::uint8_t>(512));
        for (std::uint32_t s = 0; s < spb; ++s) disk_->ReadPhysical(s, block0[s].data(), nullptr);
        const std::vector<std::uint8_t> descriptor = Descriptor();
        Run(c.area, c.boot, c.security, c.standard);

        EXPECT_EQ(Boxes(), (std::vector<Box>{kConfirm, kAreasFormatted}));
        EXPECT_EQ(JDFormatForm->PBar->Position(), 0);
        ExpectClosed();
        ExpectNothingLeftOpen();

        // The logical blocks of the run.
        const auto inRun = [&](std::uint32_t l) {
            return c.area == Area::Both || (c.area == Area::Standard) == (l < sd);
        };
        std::set<std::uint32_t> erased;
        for (const emulator::CommandRecord& r : disk_->trace()) {
            if (r.cdb[0] == kEraseBlock) erased.insert(Command(r).sector);
        }
        if (chip13) {
            // The logical block each physical block holds or held (-1: none).
            std::vector<std::int64_t> owner(physical, -1);
            for (std::uint32_t l = 0; l < logical; ++l) {
                const std::uint32_t block = disk_->PhysicalBlockOf(l);
                ASSERT_LT(block, physical);
                owner[block] = l;
                for (const emulator::Replacement& r : c.disk.replacements) {
                    if (r.block == block) owner[r.position] = l;
                }
            }
            // Per chip: 1 when it holds standard blocks, 2 security, 3 both.
            const std::uint32_t perChip = physical / c.disk.chipCount;
            std::vector<int> areasOfChip(c.disk.chipCount, 0);
            for (std::uint32_t b = 0; b < physical; ++b) {
                if (owner[b] >= 0) areasOfChip[b / perChip] |= owner[b] < sd ? 1 : 2;
            }
            for (std::uint32_t b = 1; b < physical; ++b) {
                if (owner[b] < 0 && areasOfChip[b / perChip] != 3 && c.area != Area::Both) continue;  // free either way
                const bool expected = owner[b] < 0 ? c.area == Area::Both : inRun(static_cast<std::uint32_t>(owner[b]));
                EXPECT_EQ(erased.count(b), expected ? 1u : 0u) << "block " << b;
            }
            EXPECT_EQ(erased.count(0), c.area == Area::Security ? 0u : 1u);
        } else {
            std::vector<std::uint32_t> asked, expectedAsked;
            std::set<std::uint32_t> expectedErased;
            for (const emulator::CommandRecord& r : disk_->trace()) {
                if (r.cdb[0] == kGetPhyBlock) asked.push_back(Command(r).sector);
            }
            const std::uint32_t numbers = c.area != Area::Both ? logical : kAspi ? logical : physical;
            for (std::uint32_t k = 0; k < numbers; ++k) {
                if (!inRun(k)) continue;
                expectedAsked.push_back(k);
                if (k < logical && disk_->PhysicalBlockOf(k) != emulator::Controller::kNone) {
                    expectedErased.insert(disk_->PhysicalBlockOf(k));
                }
            }
            EXPECT_EQ(asked, expectedAsked);
            EXPECT_EQ(erased, expectedErased);
        }

        // The formatter's areas: first sector and size, and the layout.
        for (const Area area : {Area::Standard, Area::Security}) {
            if (c.area != Area::Both && c.area != area) continue;
            const std::uint32_t first = area == Area::Standard ? 0 : sd;
            const std::uint32_t blocks = area == Area::Standard ? sd : logical - sd;
            std::uint8_t sector[512];
            disk_->ReadPhysical(disk_->PhysicalBlockOf(first) * spb, sector, nullptr);
            EXPECT_EQ(AreaSectors(sector), blocks * spb) << (area == Area::Standard ? "standard" : "security");
            // The security disk keeps the standard area's layout (BootFlag set: hard disk).
            const bool floppy = c.area == Area::Security ? false : c.boot == &TJDFormatForm::rbtnFDDBoot;
            EXPECT_EQ(sector[0] == 0xEB, floppy);
        }

        if (c.area == Area::Both) {
            EXPECT_EQ(Slot(newformat::kSecurityAreaLabel), LabelEntry(c.security));
            EXPECT_EQ(Slot(newformat::kStandardAreaLabel), LabelEntry(c.standard));
        } else {
            EXPECT_EQ(Slot(newformat::kAreaBeingWrittenLabel),
                      LabelEntry(c.area == Area::Security ? c.security : c.standard));
        }

        std::vector<std::uint8_t> expectedDescriptor = descriptor;
        if (c.area != Area::Security) expectedDescriptor[kt4790::kBootFlagOffset] = hdd ? 1 : 0;
        EXPECT_EQ(Descriptor(), expectedDescriptor);
        if (c.area == Area::Security) {
            EXPECT_EQ(Count(kSetEString), 0u);
        }
        if (chip13) {
            // Block 0 written back sector by sector with what it held (the
            // security disk leaves it alone).
            for (std::uint32_t s = 0; s < spb; ++s) {
                EXPECT_EQ(Count(kVscWrite, s), c.area == Area::Security ? 0u : 1u) << "sector " << s;
                std::vector<std::uint8_t> now(512);
                disk_->ReadPhysical(s, now.data(), nullptr);
                if (s == 1) now[kt4790::kBootFlagOffset] = block0[s][kt4790::kBootFlagOffset];
                EXPECT_EQ(now, block0[s]) << "sector " << s;
            }
        }
    }
}

}  // namespace
}  // namespace apptest
