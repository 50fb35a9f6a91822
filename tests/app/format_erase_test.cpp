// The single-disk format and partition dialogs, opened from the utility
// window and driven as a person would over emulated disks through the real
// library of the build: the sizes the partition dialog takes, what its Start
// records in the DescriptorSector, what the medium erase sends, the message
// of every failing step per dialog and build, and the close box during an
// erase. What the formatter then writes is judged by fsck.fat and mtools in
// format-journey-check.sh.
#include "erase_dialogs.h"

#include <map>

#include "app/Fchkpwd.h"
#include "app/Jutility.h"
#include "app/Main.h"
#include "app/Pchkpwd.h"
#include "devlib/cdb.h"
#include "format/Dformat.h"
#include "format/Erase.h"
#include "format/Newformat.h"
#include "format/Partition.h"
#include "format/Sformat.h"

namespace apptest {
namespace {

using vcl::headless::lastRefusal;
using vcl::headless::userCheck;
using vcl::headless::userClick;
using vcl::headless::userCloseBox;
using vcl::headless::userType;

#ifdef KT4790_ASPI
constexpr const char* kEnterSize = "Please enter the Security storage size!";
#else
constexpr const char* kEnterSize = "Please enter the security storage size!";
#endif

const Box kPartitionFailedBox = Error("Partition Failed!");
const Box kNotFoundComma = Warning("Can't find the device,please check the device!");
const Box kNotFoundStop = Warning("Can't find the device.Please check the device!");
const Box kNoZeroStandard =
    Error("The Standard Storage can't be partitioned into 0MB when the password is existing.");
const Box kIncorrectTyped = Warning("Incorrect size! Please reenter the Security storage size.");
const Box kNumericOnly = Warning("Please only enter numeric value!");

enum class Dialog { Format, Partition };

// The boxes of one Start: the partition dialog asks its question first.
std::vector<Box> AfterStart(Dialog dialog, std::vector<Box> boxes) {
    if (dialog == Dialog::Partition) boxes.insert(boxes.begin(), kConfirm);
    return boxes;
}

emulator::Config WithPassword(emulator::Config config) {
    config.password = "pw";
    return config;
}

class DialogTest : public EraseDialogTest {
protected:
    // The dialog opened by its button, through its gate when the disk has a
    // password; what that showed and sent is cleared.
    void Open(Dialog dialog) {
        Press(dialog == Dialog::Format ? JUtilityForm->btnFormat : JUtilityForm->btnPartition);
        for (auto [gate, edit, ok] : {std::make_tuple(static_cast<vcl::TForm*>(JFormatChkPwdForm),
                                                      JFormatChkPwdForm->edtPasswd, JFormatChkPwdForm->btnOK),
                                      std::make_tuple(static_cast<vcl::TForm*>(JPartitionChkPwdForm),
                                                      JPartitionChkPwdForm->edtPasswd, JPartitionChkPwdForm->btnOK)}) {
            if (!gate->Visible()) continue;
            ASSERT_TRUE(userType(edit, disk_->config().password)) << lastRefusal();
            Press(ok);
        }
        ASSERT_TRUE(Form(dialog)->Visible());
        World().ClearMessageBoxes();
        disk_->ClearTrace();
    }

    static vcl::TForm* Form(Dialog dialog) {
        return dialog == Dialog::Format ? static_cast<vcl::TForm*>(JSFormatForm) : PartitionForm;
    }
    static vcl::TButton* StartButton(Dialog dialog) {
        return dialog == Dialog::Format ? JSFormatForm->btnStart : PartitionForm->btnStartParti;
    }
    static vcl::TButton* CloseButton(Dialog dialog) {
        return dialog == Dialog::Format ? JSFormatForm->btnClose : PartitionForm->btnCancelParti;
    }

    // Types the security size (partition) and presses Start; the question
    // gets the answer OK.
    static void Run(Dialog dialog, const std::string& size = "5") {
        if (dialog == Dialog::Partition) {
            ASSERT_TRUE(userType(PartitionForm->edtSEQ, size)) << lastRefusal();
        }
        Press(StartButton(dialog));
    }

    // The commands from the Start's WriteProtect (MODE SENSE, which nothing
    // else sends) to the last sector write or SetEString: the opening checks
    // and the erase of a medium without blocks to erase.
    std::vector<Sent> EraseCommands() const {
        std::vector<Sent> sent;
        std::size_t end = 0;
        for (const emulator::CommandRecord& r : disk_->trace()) {
            if (sent.empty() && r.cdb[0] != kModeSense) continue;
            sent.push_back(Command(r));
            if (r.cdb[0] == kVscWrite || r.cdb[0] == kSetEString) end = sent.size();
        }
        sent.resize(end);
        return sent;
    }

    // The dialog as a failure exit that keeps it leaves it.
    static void ExpectOpenAndIdle(Dialog dialog) {
        EraseDialogTest::ExpectOpenAndIdle(Form(dialog), StartButton(dialog), CloseButton(dialog));
    }
    // The dialog gone and the utility window usable again.
    static void ExpectClosed(Dialog dialog) {
        EraseDialogTest::ExpectClosed(Form(dialog), StartButton(dialog), CloseButton(dialog));
    }
};

// --- what the dialogs compute ------------------------------------------------------------

TEST(PartitionSizeLabel, IsFifteenAndFiveEighthsMegabytesAZoneCutToOneDecimal) {
    const std::map<unsigned, std::string> known = {
        {1, "15.6"},   {2, "31.2"},   {3, "46.8"},  {4, "62.5"},  {5, "78.1"},  {6, "93.7"},  {7, "109.3"}, {8, "125"},
        {10, "156.2"}, {12, "187.5"}, {14, "218.7"}, {16, "250"}, {20, "312.5"}, {24, "375"}, {28, "437.5"}, {32, "500"},
        {40, "625"},   {48, "750"},   {56, "875"},  {64, "1000"}, {80, "1250"}, {96, "1500"}, {112, "1750"}, {128, "2000"}};
    for (unsigned zones = 0; zones <= 255; ++zones) {
        const auto entry = known.find(zones);
        EXPECT_EQ(PartitionSizeLabel(zones), entry == known.end() ? "" : entry->second) << zones;
    }
}

TEST(ProgressOf, RunsFromZeroToNinetyNine) {
    EXPECT_EQ(ProgressOf(0, 128), 0);
    EXPECT_EQ(ProgressOf(127, 128), 99);
    EXPECT_EQ(ProgressOf(66559, 66560), 99);  // no overflow of index x 100
    EXPECT_EQ(ProgressOf(0, 0), 0);
}

// --- the partition dialog's sizes --------------------------------------------------------

TEST_F(DialogTest, TheTypedSizeLeavesTheStandardAreaOrIsRefused) {
    struct Case {
        const char* what;
        emulator::Config disk;
        const char* keys;
        const char* edit;
        const char* standard;
        std::vector<Box> boxes;
    };
    const emulator::Config mb125 = Medium(0x30, false, 8);
    const emulator::Config mb15 = Medium(0x30, false, 1);
    const Case cases[] = {
        {"125 MB, 100", mb125, "100", "100", "25MB", {}},
        {"125 MB, 125", mb125, "125", "125", "0MB", {}},
        {"125 MB, 125 with a password", WithPassword(mb125), "125", "", "0MB", {kNoZeroStandard}},
        {"125 MB, 126", mb125, "126", "", "0MB", {kIncorrectTyped}},
        {"15.6 MB, 15", mb15, "15", "15.6", "0MB", {}},
        {"15.6 MB, 15 with a password", WithPassword(mb15), "15", "", "0MB", {kNoZeroStandard}},
        {"15.6 MB, 10", mb15, "10", "10", "5.6MB", {}},
        // Keys after the total the dialog wrote: "15.61" is above it, "15."
        // leaves less than 1 MB again.
        {"15.6 MB, 15 then 1", mb15, "151", "", "0MB", {kIncorrectTyped}},
        {"15.6 MB, 15 then backspace", mb15, "15\b", "15.6", "0MB", {}},
        {"a letter", mb15, "1a", "1", "14.6MB", {kNumericOnly}},
        {"backspace", mb125, "12\b", "1", "124MB", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Start(c.disk);
        Open(Dialog::Partition);
        EXPECT_EQ(PartitionForm->labTotalSize->Caption(), c.disk.zoneCount == 8 ? "125MB" : "15.6MB");
        ASSERT_TRUE(userType(PartitionForm->edtSEQ, c.keys)) << lastRefusal();
        EXPECT_EQ(PartitionForm->edtSEQ->Text(), c.edit);
        EXPECT_EQ(PartitionForm->labStandardSize->Caption(), c.standard);
        EXPECT_EQ(Boxes(), c.boxes);
        EXPECT_TRUE(disk_->trace().empty());
    }
}

// Before anything is loaded: a size missing or above the total (KT4790MCAP
// writes "Security" with a capital S), or a question answered Cancel.
TEST_F(DialogTest, StartRefusesInputErrorsWithoutTouchingTheDevice) {
    Start(Medium(0x30, false, 1));
    Open(Dialog::Partition);
    Press(PartitionForm->btnStartParti);
    EXPECT_EQ(Boxes(), (std::vector<Box>{kConfirm, Warning(kEnterSize)}));

    World().ClearMessageBoxes();
    PartitionForm->edtSEQ->SetText("16");  // as a paste would, past the key handlers
    Press(PartitionForm->btnStartParti);
    EXPECT_EQ(Boxes(), (std::vector<Box>{kConfirm, Warning(kAspi ? "Incorrect size! Please reenter the Security storage size."
                                                                 : "Incorrect size! Please reenter the security storage size.")}));
    EXPECT_EQ(PartitionForm->edtSEQ->Text(), "");

    World().ClearMessageBoxes();
    ASSERT_TRUE(userType(PartitionForm->edtSEQ, "5"));
    World().ScriptMessageBoxAnswer(IDCANCEL);
    Press(PartitionForm->btnStartParti);
    EXPECT_EQ(Boxes(), (std::vector<Box>{kConfirm}));

    EXPECT_TRUE(disk_->trace().empty());
    ExpectOpenAndIdle(Dialog::Partition);
    ExpectNothingLeftOpen();
}

// A size pasted into the edit brings no key with it, so the standard size
// shown is not yet its own when Start is pressed: Start settles it as the
// keys would have, before it reads the split, and the label and the blocks
// recorded come from one reading of the size. Pasted text that is not whole
// megabytes in digits (the total the dialog writes itself aside) is refused
// before anything is loaded, also when a key typed after it had the sizes
// read from the number it starts with.
TEST_F(DialogTest, APastedSizeIsSettledAsATypedOneWhenStartIsPressed) {
    struct Case {
        const char* what;
        emulator::Config disk;
        const char* pasted;
        std::vector<Box> boxes;
        const char* edit;      // the edit after Start
        const char* standard;  // labStandardSize after Start
        std::int32_t partitionWord;  // -1: nothing written
        const char* keys = "";       // typed after the paste
    };
    const emulator::Config mb15 = Medium(0x30, true, 1);
    const emulator::Config mb125 = Medium(0x30, true, 8);
    const std::vector<Box> numeric = {kConfirm, kNumericOnly};
    const Box incorrect = Warning(kAspi ? "Incorrect size! Please reenter the Security storage size."
                                        : "Incorrect size! Please reenter the security storage size.");
    const Case cases[] = {
        {"5 of 15.6 MB", mb15, "5", {kConfirm, kPartitioned}, "5", "10.6MB", 85},
        {"5 of 15.6 MB with a password", WithPassword(mb15), "5", {kConfirm, kPartitioned}, "5", "10.6MB", 85},
        {"15 of 15.6 MB", mb15, "15", {kConfirm, kPartitioned}, "15.6", "0MB", 0},
        {"15 of 15.6 MB with a password", WithPassword(mb15), "15", {kConfirm, kNoZeroStandard}, "", "0MB", -1},
        {"the total, 15.6 of 15.6 MB", mb15, "15.6", {kConfirm, kPartitioned}, "15.6", "0MB", 0},
        {"10 of 125 MB", mb125, "10", {kConfirm, kPartitioned}, "10", "115MB", 1000 - 80},
        {"010 of 125 MB", mb125, "010", {kConfirm, kPartitioned}, "010", "115MB", 1000 - 80},
        {"0 of 125 MB", mb125, "0", {kConfirm, kPartitioned}, "0", "125MB", 1000},
        {"125 of 125 MB", mb125, "125", {kConfirm, kPartitioned}, "125", "0MB", 0},
        {"20 digits", mb125, "99999999999999999999", {kConfirm, incorrect}, "", "0MB", -1},
        {"abc", mb125, "abc", numeric, "abc", "0MB", -1},
        {"1e1", mb125, "1e1", numeric, "1e1", "0MB", -1},
        {"0x10", mb125, "0x10", numeric, "0x10", "0MB", -1},
        {"2.9", mb125, "2.9", numeric, "2.9", "0MB", -1},
        {"-3", mb125, "-3", numeric, "-3", "0MB", -1},
        {"+3", mb125, "+3", numeric, "+3", "0MB", -1},
        {"a blank after", mb125, "3 ", numeric, "3 ", "0MB", -1},
        {"15.6 of 125 MB", mb125, "15.6", numeric, "15.6", "0MB", -1},
        {"-3, then 0", mb125, "-3", numeric, "-30", "155MB", -1, "0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Start(c.disk);
        Open(Dialog::Partition);
        ASSERT_TRUE(vcl::headless::userPaste(PartitionForm->edtSEQ, c.pasted)) << lastRefusal();
        ASSERT_EQ(PartitionForm->labStandardSize->Caption(), "0MB");
        ASSERT_TRUE(userType(PartitionForm->edtSEQ, c.keys)) << lastRefusal();
        Press(PartitionForm->btnStartParti);

        EXPECT_EQ(Boxes(), c.boxes);
        EXPECT_EQ(PartitionForm->edtSEQ->Text(), c.edit);
        EXPECT_EQ(PartitionForm->labStandardSize->Caption(), c.standard);
        if (c.partitionWord < 0) {
            EXPECT_EQ(Count(kSetEString) + Count(kEraseBlock), 0u);
            ExpectOpenAndIdle(Dialog::Partition);
        } else {
            EXPECT_EQ(kt4790::ReadBigEndian16(&Descriptor()[kt4790::kPartitionWordOffset]), c.partitionWord);
            ExpectClosed(Dialog::Partition);
        }
        ExpectNothingLeftOpen();
    }
}

// --- what Start records ------------------------------------------------------------------

TEST_F(DialogTest, PartitionRecordsTheSplitTheBootFlagAndTheBlocksOfEachChip) {
    struct Case {
        const char* what;
        emulator::Config disk;
        const char* size;
        vcl::TRadioButton* TPartitionForm::*layout;
        bool stopAtFirstGetPhyBlock;  // the DescriptorSector is stored before the blocks are erased
        std::uint16_t partitionWord;
        std::uint8_t bootFlag;
        std::vector<std::uint16_t> chipBlockTable;
    };
    const Case cases[] = {
        {"2 chips, 16 KB blocks, 8 zones", Medium(0x30, false, 8, 2), "100", &TPartitionForm::rbtnFDDBoot, true, 1600,
         0, {4001, 4001, 0, 0, 0, 0, 0, 0}},
        {"8 chips, chip 0x13", Medium(0x13, true, 8, 8), "50", &TPartitionForm::rbtnHDDBoot, false, 600, 1,
         std::vector<std::uint16_t>(8, 126)},
        {"security 0", Medium(0x30, true, 4), "0", &TPartitionForm::rbtnZipBoot, false, 500, 0,
         {501, 0, 0, 0, 0, 0, 0, 0}},
        {"125 of 125 MB", Medium(0x30, true, 8), "125", &TPartitionForm::rbtnHDDBoot, false, 0, 1,
         {1001, 0, 0, 0, 0, 0, 0, 0}},
        {"with a password", WithPassword(Medium(0x13, true, 8, 2)), "100", &TPartitionForm::rbtnFDDBoot, false, 200, 0,
         {501, 501, 0, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Start(c.disk);
        const std::vector<std::uint8_t> before = Descriptor();
        Open(Dialog::Partition);
        ASSERT_TRUE(userCheck(PartitionForm->*c.layout)) << lastRefusal();
        emulator::Fault fault;
        fault.opcode = kGetPhyBlock;
        if (c.stopAtFirstGetPhyBlock) disk_->InjectFault(fault);
        Run(Dialog::Partition, c.size);

        const std::vector<std::uint8_t> after = Descriptor();
        EXPECT_TRUE(std::equal(before.begin(), before.begin() + kt4790::kBootFlagOffset, after.begin()));
        EXPECT_EQ(after[kt4790::kBootFlagOffset], c.bootFlag);
        EXPECT_EQ(kt4790::ReadBigEndian16(&after[kt4790::kPartitionWordOffset]), c.partitionWord);
        std::vector<std::uint16_t> table;
        for (unsigned slot = 0; slot < 8; ++slot) {
            table.push_back(kt4790::ReadBigEndian16(&after[kt4790::kChipBlockTableOffset + 2 * slot]));
        }
        EXPECT_EQ(table, c.chipBlockTable);
        if (c.stopAtFirstGetPhyBlock) {
            EXPECT_EQ(Boxes(), (std::vector<Box>{kConfirm, kAspi ? kNotFound : kNotFoundStop}));
            ExpectOpenAndIdle(Dialog::Partition);
        } else {
            EXPECT_EQ(Boxes(), (std::vector<Box>{kConfirm, kPartitioned}));
            EXPECT_EQ(PartitionForm->PBar->Position(), 0);
            ExpectClosed(Dialog::Partition);
        }
        ExpectNothingLeftOpen();
    }
}

TEST_F(DialogTest, TheFormatKeepsTheLabelAsTypedAndTheBootFlagOfTheLayout) {
    struct Case {
        const char* keys;
        vcl::TRadioButton* TJSFormatForm::*layout;  // null: as the dialog opens (floppy)
        const char* slot;                            // bytes 0-10 of label slot 0
        std::uint8_t bootFlag;
    };
    const Case cases[] = {
        {"abc", nullptr, "abc", 0},
        {"ELEVEN CHRSX", &TJSFormatForm::rbtnHDDBoot, "ELEVEN CHRS", 1},  // no 12th character
        {"", &TJSFormatForm::rbtnZIPBoot, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keys);
        Start(Medium(0x30, true, 1));
        Open(Dialog::Format);
        EXPECT_TRUE(JSFormatForm->rbtnFDDBoot->Checked());
        if (c.layout != nullptr) {
            ASSERT_TRUE(userCheck(JSFormatForm->*c.layout)) << lastRefusal();
        }
        EXPECT_EQ(userType(JSFormatForm->edtVolume, c.keys), std::string(c.keys) == c.slot);
        Run(Dialog::Format);

        EXPECT_EQ(Boxes(), std::vector<Box>{kFormattedBox});
        ExpectClosed(Dialog::Format);
        std::uint8_t expected[newformat::kVolumeLabelSize] = {};
        std::memcpy(expected, c.slot, std::strlen(c.slot));
        if (*c.slot != 0) expected[11] = newformat::kVolumeLabelAttribute;
        EXPECT_EQ(0, std::memcmp(newformat::FormatParams.VolumeLabels[newformat::kWholeMediumLabel], expected,
                                 sizeof expected));
        EXPECT_EQ(Descriptor()[kt4790::kBootFlagOffset], c.bootFlag);
        ExpectNothingLeftOpen();
    }
}

// --- the erase ------------------------------------------------------------------------------

// One command per block: GetPhyBlock for every number below the count (the
// physical blocks; the logical ones in KT4790MCAP's format), EraseBlock for
// each block behind one, a failed EraseBlock sent once more on chip 0x30;
// chip 0x13 erases every physical block by number and looks at no result.
TEST_F(DialogTest, TheEraseSendsOneCommandPerBlockAndRetriesAFailedEraseOnce) {
    struct Case {
        const char* what;
        Dialog dialog;
        emulator::Config disk;
        emulator::Fault fault;
        std::size_t getPhyBlocks;
        std::size_t erases;
        std::map<std::uint32_t, std::size_t> erasesOf;  // of one block
    };
    const auto eraseFails = [](std::uint32_t block, bool repeat) {
        emulator::Fault fault;
        fault.opcode = kEraseBlock;
        fault.address = block;
        fault.repeat = repeat;
        return fault;
    };
    emulator::Fault none;
    none.afterCommands = 0xFFFFFFFF;  // never reached
    emulator::Fault writeProtectFails;
    writeProtectFails.opcode = kModeSense;  // WriteProtect gives -1
    emulator::Config unmapped = Medium(0x30, true, 1);
    unmapped.unmappedBlocks = {3, 100};
    const std::size_t formatCount = kAspi ? 125 : 128;
    const Case cases[] = {
        {"fails once", Dialog::Format, Medium(0x30, true, 1), eraseFails(5, false), formatCount, 126, {{5, 2}, {6, 1}}},
        {"fails twice", Dialog::Partition, Medium(0x30, true, 1), eraseFails(5, true), 128, 126, {{5, 2}, {6, 1}}},
        {"chip 0x13 fails", Dialog::Format, Medium(0x13, true, 1), eraseFails(5, false), 0, 128, {{0, 1}, {5, 1}}},
        {"unmapped", Dialog::Format, unmapped, none, formatCount, 123, {{4, 0}, {101, 0}, {5, 1}}},
        {"WriteProtect -1", Dialog::Partition, Medium(0x30, true, 1), writeProtectFails, 128, 125, {{125, 1}}},
        {"block 128", Dialog::Format, Medium(0x30, true, 2), none, kAspi ? 250 : 256, 250, {{128, 1}, {127, 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Start(c.disk);
        Open(c.dialog);
        disk_->InjectFault(c.fault);
        Run(c.dialog);

        EXPECT_EQ(Boxes(), AfterStart(c.dialog, {c.dialog == Dialog::Format ? kFormattedBox : kPartitioned}));
        EXPECT_EQ(Count(kGetPhyBlock), c.getPhyBlocks);
        EXPECT_EQ(Count(kEraseBlock), c.erases);
        for (const auto& [block, count] : c.erasesOf) EXPECT_EQ(Count(kEraseBlock, block), count) << block;
        // The bar stops at the last block's position; the partition dialog resets it.
        EXPECT_EQ((c.dialog == Dialog::Format ? JSFormatForm->PBar : PartitionForm->PBar)->Position(),
                  c.dialog == Dialog::Format ? 99 : 0);
        ExpectClosed(c.dialog);
        ExpectNothingLeftOpen();
    }
}

// Chip 0x13: block 0 is written back right after its own erase, sector 0
// first, and the other blocks are erased after it, so that a device lost
// during the medium's erase keeps its DescriptorSector. The count of
// commands is that of an erase of every block with block 0 saved around it.
TEST_F(DialogTest, ChipThirteenWritesBlockZeroBackBeforeErasingTheOthers) {
    for (const Dialog dialog : {Dialog::Format, Dialog::Partition}) {
        SCOPED_TRACE(dialog == Dialog::Format ? "format" : "partition");
        Start(Medium(0x13, true, 1));
        Open(dialog);
        Run(dialog);

        std::vector<Sent> expected{kWriteProtectSent, Query(kChip), Query(kMedia)};
        for (std::uint32_t s = 0; s < 256; ++s) expected.push_back(DataRead(s, 0x80));
        expected.push_back({kEraseBlock, 0, 0});
        for (std::uint32_t s = 0; s < 256; ++s) expected.push_back({kVscWrite, s, 0x80});
        for (std::uint32_t b = 1; b < 128; ++b) expected.push_back({kEraseBlock, b, 0});
        std::vector<Sent> sent;
        for (const emulator::CommandRecord& r : disk_->trace()) {
            if (sent.empty() && r.cdb[0] != kModeSense) continue;
            if (sent.size() < expected.size()) sent.push_back(Command(r));
        }
        EXPECT_EQ(sent, expected);
        EXPECT_EQ(Boxes(), AfterStart(dialog, {dialog == Dialog::Format ? kFormattedBox : kPartitioned}));
    }
}

// The physical block of a GetPhyBlock reply is its four bytes, unsigned and
// big-endian: 00 00 00 80 and 00 01 80 FF.
TEST_F(DialogTest, EraseMappedBlockErasesTheBlockOfTheReply) {
    for (const auto& [zones, logical, physical] : {std::make_tuple(1, 127u, 128u), std::make_tuple(97, 96255u, 98559u)}) {
        Start(Medium(0x30, false, static_cast<std::uint8_t>(zones)));
        disk_->ClearTrace();
        {
            devbind::DeviceSession session(devbind::Operation::SingleFormatStart);
            EraseProcs procs;
            ASSERT_TRUE(session.Load());
            ASSERT_TRUE(session.BindFinder() && session.Bind(devbind::kGetPhyBlock, procs.getPhyBlock) &&
                        session.Bind(devbind::kEraseBlock, procs.eraseBlock));
            ASSERT_TRUE(session.Find("DISK"));
            const std::size_t found = disk_->trace().size();
            EXPECT_TRUE(DeviceEraser(session, procs).EraseMappedBlock(logical));
            ASSERT_EQ(disk_->trace().size(), found + 2);
            EXPECT_EQ(Command(disk_->trace()[found]), (Sent{kGetPhyBlock, logical, 0}));
            EXPECT_EQ(Command(disk_->trace()[found + 1]), (Sent{kEraseBlock, physical, 0x02}));  // Flag02
        }
        ExpectNothingLeftOpen();
    }
}

// A medium without zones: nothing to erase, but chip 0x13 still saves,
// patches and restores block 0's sectors (all 32, or 256 of large blocks),
// and chip 0x30 finds, patches and stores the DescriptorSector; then the
// formatter refuses the medium.
TEST_F(DialogTest, ZoneCountZeroStoresTheDescriptorAndTheFormatterRefuses) {
    for (const bool large : {false, true}) {
        for (const std::uint8_t chip : {std::uint8_t{0x13}, std::uint8_t{0x30}}) {
            SCOPED_TRACE(std::to_string(chip) + (large ? " large" : " small"));
            Start(Medium(chip, large, 0));
            Open(Dialog::Format);
            ASSERT_TRUE(userCheck(JSFormatForm->rbtnHDDBoot));
            Run(Dialog::Format);

            std::vector<Sent> expected{kWriteProtectSent, Query(kChip), Query(kMedia)};
            if (chip == 0x13) {
                const std::uint32_t sectors = large ? 256 : 32;
                for (std::uint32_t s = 0; s < sectors; ++s) expected.push_back(DataRead(s, 0x80));
                for (std::uint32_t s = 0; s < sectors; ++s) expected.push_back({kVscWrite, s, 0x80});
            } else {
                expected.insert(expected.end(), {SpareRead(1), DataRead(1), Query(kSetEString)});
            }
            EXPECT_EQ(EraseCommands(), expected);
            EXPECT_EQ(Descriptor()[kt4790::kBootFlagOffset], 1);
            EXPECT_EQ(Boxes(), std::vector<Box>{kFormatFailedBox});
            ExpectClosed(Dialog::Format);
            ExpectNothingLeftOpen();
        }
    }
}

// --- failures ------------------------------------------------------------------------------

// VSCWriteSector sent straight to the disk, so that its trace and faults
// stay the disk's. A write that fails leaves the window loop work that notes
// how many writes the disk had been sent when the loop ran it.
struct WriteNotingFailures {
    static inline emulator::Controller* disk = nullptr;
    static inline std::vector<std::size_t> writesWhenRun;
#ifdef KT4790_ASPI
    static BYTE WINAPI Write(BYTE, BYTE, DWORD sector, BYTE* buffer, int flag80, int spareFlag) {
#else
    static int WINAPI Write(HANDLE, DWORD sector, BYTE* buffer, int flag80, int spareFlag) {
#endif
        const devcmd::Command write = devcmd::VscWriteSector(sector, flag80, spareFlag);
        const emulator::Outcome outcome = disk->Execute(write.cdb.bytes, write.cdbLength, emulator::DataDirection::Out,
                                                        buffer, write.transferLength);
        if (outcome.delivered && devcmd::ScsiStatusOk(outcome.status)) return 1;
        vcl::headless::post([] {
            std::size_t writes = 0;
            for (const emulator::CommandRecord& r : disk->trace()) writes += r.cdb[0] == kVscWrite;
            writesWhenRun.push_back(writes);
        });
        return 0;
    }
};

// Every step of the opening checks and of the erase, in both dialogs: its
// message (two texts of KT4790CAP lack the blank after the comma or full
// stop), then the failure exit. KT4790MCAP's format ends an erase failure in
// "Format Failed!", which closes the dialog.
TEST_F(DialogTest, EachFailingStepGivesItsDialogsMessage) {
    struct Case {
        const char* what;
        std::uint8_t chipCode;
        int opcode;                  // the fault's trigger; -1: the count below
        std::uint32_t afterCommands;
        Box formatBox, partitionBox;  // KT4790CAP; KT4790MCAP shows kNotFound for every erase step
        bool erasing;
        // A sector of block 0's restore that fails for good does not end it:
        // the sectors after it, the DescriptorSector among them, are still
        // written back, and only then is it sent once more, after the window
        // messages have run.
        bool restoreGoesOn = false;
        bool repeat = false;  // the fault stays armed
    };
    const Case cases[] = {
        {"GetChipVersion", 0x30, kChip, 0, kNotFound, kNotFound, false},
        {"GetMediaSize", 0x30, kMedia, 0, kNotFound, kNotFound, false},
        {"save of block 0", 0x13, kVscRead, 0, kNotFoundComma, kNotFoundStop, true},
        {"restore of block 0", 0x13, kVscWrite, 0, kNotFound, kNotFoundStop, true, true, true},
        {"spare-area read", 0x30, kVscRead, 0, kNotFound, kNotFound, true},
        {"descriptor read", 0x30, -1, 3, kNotFound, kNotFound, true},  // after the two queries and the spare area
        {"SetEString", 0x30, kSetEString, 0, kNotFound, kNotFound, true},
        {"GetPhyBlock", 0x30, kGetPhyBlock, 0, kNotFoundStop, kNotFoundStop, true},
    };
    for (const Dialog dialog : {Dialog::Format, Dialog::Partition}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(dialog == Dialog::Format ? "format: " : "partition: ") + c.what);
            Start(Medium(c.chipCode, true, 1));
            Open(dialog);
            emulator::Fault fault;
            fault.opcode = c.opcode;
            fault.afterCommands = c.afterCommands;
            fault.repeat = c.repeat;
            if (c.repeat) fault.address = 0;  // only sector 0 fails for good
            WritableThenFault::Arm(*disk_, fault);
            if (c.restoreGoesOn) {
                WriteNotingFailures::disk = disk_.get();
                WriteNotingFailures::writesWhenRun.clear();
                World().ReplaceExport(kLibrary, "VSCWriteSector", AsExport(&WriteNotingFailures::Write));
            }
            const std::vector<std::uint8_t> before = Descriptor();
            Run(dialog);

            const Box& message = !c.erasing || !kAspi ? (dialog == Dialog::Format ? c.formatBox : c.partitionBox)
                                                      : kNotFound;
            const bool closes = kAspi && dialog == Dialog::Format && c.erasing;
            EXPECT_EQ(Boxes(), closes ? AfterStart(dialog, {message, kFormatFailedBox}) : AfterStart(dialog, {message}));
            ASSERT_FALSE(disk_->trace().empty());
            EXPECT_EQ(disk_->trace().back().status, emulator::kStatusCheckCondition);  // nothing after the failure
            if (c.restoreGoesOn) {
                std::vector<std::uint32_t> written;
                for (const emulator::CommandRecord& r : disk_->trace()) {
                    if (r.cdb[0] == kVscWrite) written.push_back(kt4790::ReadBigEndian32(&r.cdb[2]));
                }
                std::vector<std::uint32_t> expected;
                for (std::uint32_t s = 0; s < 256; ++s) expected.push_back(s);
                expected.push_back(0);
                EXPECT_EQ(written, expected);
                ASSERT_FALSE(WriteNotingFailures::writesWhenRun.empty());
                EXPECT_EQ(WriteNotingFailures::writesWhenRun[0], 256u);  // the loop ran before the second try
                EXPECT_EQ(Count(kEraseBlock), 1u);  // block 0 is not erased again
                const std::vector<std::uint8_t> after = Descriptor();
                EXPECT_TRUE(std::equal(before.begin(), before.begin() + kt4790::kBootFlagOffset, after.begin()));
            }
            if (closes) {
                ExpectClosed(dialog);
            } else {
                ExpectOpenAndIdle(dialog);
            }
            ExpectNothingLeftOpen();
        }
    }
}

// A sector read that answers every spare area with zeros, which no search
// accepts; the sectors asked are kept.
std::vector<std::uint32_t> g_sparesRead;
#ifdef KT4790_ASPI
BYTE WINAPI NoValidSpare(BYTE, BYTE, BYTE* buffer, DWORD sector, int, int spareFlag) {
#else
int WINAPI NoValidSpare(HANDLE, BYTE* buffer, DWORD sector, int, int spareFlag) {
#endif
    std::memset(buffer, 0, spareFlag != 0 ? 16 : 512);
    g_sparesRead.push_back(sector);
    return 1;
}

// The chip-0x30 search for the DescriptorSector ends after the medium's last
// block, with the search-failure message, and nothing is written.
TEST_F(DialogTest, TheDescriptorSearchStopsAtTheMediumsEnd) {
    std::vector<std::uint32_t> everyBlock;
    for (std::uint32_t block = 0; block < 128; ++block) everyBlock.push_back(block * 256 + 1);
    for (const Dialog dialog : {Dialog::Format, Dialog::Partition}) {
        Start(Medium(0x30, true, 1));
        Open(dialog);
        World().ReplaceExport(kLibrary, "VSCReadSector", AsExport(&NoValidSpare));
        g_sparesRead.clear();
        Run(dialog);
        EXPECT_EQ(g_sparesRead, everyBlock);
        const bool closes = kAspi && dialog == Dialog::Format;
        EXPECT_EQ(Boxes(), closes ? AfterStart(dialog, {kNotFound, kFormatFailedBox}) : AfterStart(dialog, {kNotFound}));
        for (const std::uint8_t write : {kEraseBlock, kVscWrite, kSetEString, kGetPhyBlock}) EXPECT_EQ(Count(write), 0u);
        if (closes) {
            ExpectClosed(dialog);
        } else {
            ExpectOpenAndIdle(dialog);
        }
        ExpectNothingLeftOpen();
    }
}

TEST_F(DialogTest, AWriteProtectedDiskIsNotErased) {
    emulator::Config config = Medium(0x30, true, 1);
    config.writeProtected = true;
    for (const Dialog dialog : {Dialog::Format, Dialog::Partition}) {
        Start(config);
        Open(dialog);
        Run(dialog);
        EXPECT_EQ(Boxes(), AfterStart(dialog, {kWriteProtected}));
        EXPECT_EQ(Command(disk_->trace().back()), kWriteProtectSent);  // nothing after it
        ExpectOpenAndIdle(dialog);
        ExpectNothingLeftOpen();
    }
}

// "Please update the program!" before anything is written: a medium the
// host cannot address, more than 65,535 logical blocks, a zone count without
// a size (before the question); an unknown chip in the format dialog.
// KT4790MCAP then takes its failure exit. KT4790CAP's partition dialog
// leaves an unknown chip to the formatter, which refuses it.
TEST_F(DialogTest, WhatTheDialogsCannotRecordIsRefusedBeforeAnythingIsWritten) {
    struct Case {
        const char* what;
        Dialog dialog;
        emulator::Config disk;
        bool unknownChip;
        std::vector<Box> cap, mcap;
    };
    const Case cases[] = {
        {"66,000 logical blocks", Dialog::Format, Medium(0x30, false, 66), false, {kUpdate}, {kUpdate, kFormatFailedBox}},
        {"3 chips for 8 zones", Dialog::Format, Medium(0x30, true, 8, 3), false, {kUpdate}, {kUpdate, kFormatFailedBox}},
        {"3 chips for 8 zones", Dialog::Partition, Medium(0x30, true, 8, 3), false, {kConfirm, kUpdate},
         {kConfirm, kUpdate, kPartitionFailedBox}},
        {"9 zones", Dialog::Partition, Medium(0x30, true, 9), false, {kUpdate}, {kUpdate}},
        {"chip 0x21", Dialog::Format, Medium(0x30, true, 1), true, {kUpdate}, {kFormatFailedBox}},
        {"chip 0x21", Dialog::Partition, Medium(0x30, true, 1), true, {kConfirm, kPartitionFailedBox},
         {kConfirm, kPartitionFailedBox}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.dialog == Dialog::Format ? "format: " : "partition: ") + c.what);
        Start(c.disk);
        Open(c.dialog);
        if (c.unknownChip) World().ReplaceExport(kLibrary, "GetChipVersion", AsExport(&UnknownChipVersion));
        Run(c.dialog);
        const std::vector<Box>& expected = kAspi ? c.mcap : c.cap;
        EXPECT_EQ(Boxes(), expected);
        for (const std::uint8_t write : {kEraseBlock, kVscWrite, kSetEString, kGetPhyBlock}) EXPECT_EQ(Count(write), 0u);
        if (expected.back() == kFormatFailedBox || expected.back() == kPartitionFailedBox) {
            ExpectClosed(c.dialog);
        } else {
            ExpectOpenAndIdle(c.dialog);
        }
        ExpectNothingLeftOpen();
    }
}

// Hidden from the last bound to the first, so that each Start meets the
// newest hidden name first; nothing reaches the device.
TEST_F(DialogTest, StartBindsItsProceduresInItsOrder) {
    struct Bound {
        const char* name;
        bool warning;  // "Load library failed!" / "WARNING", else "ERROR"
    };
#ifdef KT4790_ASPI
    const std::vector<Bound> format = {{"GetChipVersion", true}, {"SetEString", true},    {"GetPhyBlock", true},
                                       {"GetDeviceID", true},    {"GetMediaSize", false}, {"VSCReadSector", false},
                                       {"VSCWriteSector", false}, {"EraseBlock", false},  {"WriteProtect", false}};
    const std::vector<Bound> partition = {{"SetEString", true},     {"GetChipVersion", true}, {"GetDeviceID", true},
                                          {"GetMediaSize", false},  {"GetPhyBlock", false},   {"VSCReadSector", false},
                                          {"VSCWriteSector", false}, {"EraseBlock", false},   {"WriteProtect", false}};
#else
    const std::vector<Bound> format = {{"GetHandle", true},        {"WriteProtect", true},  {"GetMediaSize", false},
                                       {"SetEString", false},      {"GetPhyBlock", false},  {"GetChipVersion", false},
                                       {"VSCReadSector", false},   {"VSCWriteSector", false}, {"EraseBlock", false}};
    const std::vector<Bound> partition = {{"GetHandle", true},       {"GetPhyBlock", true},     {"WriteProtect", false},
                                          {"GetMediaSize", false},   {"VSCReadSector", false},  {"VSCWriteSector", false},
                                          {"SetEString", false},     {"EraseBlock", false},     {"GetChipVersion", false}};
#endif
    for (const auto& [dialog, binds] : {std::make_pair(Dialog::Format, &format), std::make_pair(Dialog::Partition, &partition)}) {
        Start(Medium(0x30, true, 1));
        Open(dialog);
        World().HideLibrary(kLibrary);
        Run(dialog);
        EXPECT_EQ(Boxes(), AfterStart(dialog, {Error(kLibraryMissing)}));
        ExpectOpenAndIdle(dialog);

        Start(Medium(0x30, true, 1));
        Open(dialog);
        if (dialog == Dialog::Partition) {
            ASSERT_TRUE(userType(PartitionForm->edtSEQ, "5")) << lastRefusal();
        }
        for (auto bound = binds->rbegin(); bound != binds->rend(); ++bound) {
            SCOPED_TRACE(bound->name);
            World().ClearMessageBoxes();
            World().HideExport(kLibrary, bound->name);
            Press(StartButton(dialog));
            EXPECT_EQ(Boxes(), AfterStart(dialog, {bound->warning ? Warning("Load library failed!")
                                                                  : Error("Load library failed!")}));
            EXPECT_TRUE(disk_->trace().empty());
            ExpectOpenAndIdle(dialog);
            ExpectNothingLeftOpen();
        }
    }
}

// The close box is live during an erase: it hides the dialog and gives the
// utility window its buttons back, while the erase runs on to its end. A
// device operation pressed meanwhile does nothing at all: "Refresh" leaves
// the device list as it was.
TEST_F(DialogTest, TheCloseBoxDuringAnEraseGivesTheButtonsBackButNoSecondDeviceOperation) {
    const auto listed = [] {
        std::vector<std::string> names;
        for (int i = 0; i < JUtilityForm->CBoxDeviceList->Items().Count(); ++i) {
            names.push_back(JUtilityForm->CBoxDeviceList->Items()[i]);
        }
        return std::make_pair(names, JUtilityForm->CBoxDeviceList->Text());
    };
    for (const Dialog dialog : {Dialog::Format, Dialog::Partition}) {
        Start(Medium(0x30, true, 1));
        Open(dialog);
        if (dialog == Dialog::Partition) {
            ASSERT_TRUE(userType(PartitionForm->edtSEQ, "5")) << lastRefusal();
        }
        bool closed = false;
        vcl::headless::post([&] {
            ASSERT_TRUE(userCloseBox(Form(dialog))) << lastRefusal();
            EXPECT_FALSE(Form(dialog)->Visible());
            const std::size_t sent = disk_->trace().size();
            const auto before = listed();
            EXPECT_EQ(before.first.size(), 1u);
            for (vcl::TButton* button : {JUtilityForm->btnFormat, JUtilityForm->btnPartition, JUtilityForm->btnChangPwd,
                                         JUtilityForm->btnRefresh}) {
                ASSERT_TRUE(userClick(button)) << lastRefusal();
                EXPECT_EQ(listed(), before) << button->Name();
            }
            EXPECT_EQ(disk_->trace().size(), sent);
            EXPECT_EQ(Boxes(), AfterStart(dialog, {}));
            EXPECT_EQ(World().LoadedLibraryCount(), 1);  // the erase's own
            closed = true;
        });
        Press(StartButton(dialog));

        EXPECT_TRUE(closed);
        EXPECT_EQ(Count(kEraseBlock), 125u);  // every block
        EXPECT_EQ(Boxes(), AfterStart(dialog, {dialog == Dialog::Format ? kFormattedBox : kPartitioned}));
        ExpectClosed(dialog);
        EXPECT_FALSE(JFormatChkPwdForm->Visible() || JPartitionChkPwdForm->Visible() || JDFormatForm->Visible());
        ExpectNothingLeftOpen();
    }
}

}  // namespace
}  // namespace apptest
