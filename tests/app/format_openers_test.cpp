// The utility window's "FORMAT" and "PARTITION", pressed as a person would
// over emulated disks and the real library of the build: the commands each
// sends and in which order, the dialog it opens and with which members, and
// the one message of every failure, after which nothing is open or loaded.
#include "app_test.h"
#include "stand_ins.h"
#include "trace.h"

#include "app/Fchkpwd.h"
#include "app/Jutility.h"
#include "app/Main.h"
#include "app/Pchkpwd.h"
#include "format/Dformat.h"
#include "format/Partition.h"
#include "format/Sformat.h"

namespace apptest {
namespace {

using vcl::headless::lastRefusal;
using vcl::headless::userClick;

constexpr std::uint8_t kChip = 0xC0;
constexpr std::uint8_t kMedia = 0xC1;
constexpr std::uint8_t kPwd = 0xC2;

#ifdef KT4790_ASPI
constexpr const char* kFinder = "GetDeviceID";
constexpr const char* kLibraryMissing = "Can't load the KT4790mDLL.";
const std::vector<std::string> kFormatBinds = {"GetDeviceID", "PwdExist", "GetChipVersion", "GetMediaSize",
                                               "VSCReadSector"};
const std::vector<std::string> kPartitionBinds = {"GetDeviceID", "PwdExist", "GetMediaSize"};
// KT4790MCAP's partition opener asks nothing of the chip.
const std::vector<Sent> kPartitionQueries = {Query(kMedia), Query(kPwd)};
#else
constexpr const char* kFinder = "GetHandle";
constexpr const char* kLibraryMissing = "Can't load the KT4790DLL.";
const std::vector<std::string> kFormatBinds = {"GetHandle", "PwdExist", "GetMediaSize", "VSCReadSector",
                                               "GetChipVersion"};
const std::vector<std::string> kPartitionBinds = {"GetHandle", "PwdExist", "GetMediaSize", "GetChipVersion"};
const std::vector<Sent> kPartitionQueries = {Query(kChip), Query(kMedia), Query(kPwd)};
#endif
// Both builds ask in this order; KT4790MCAP tests the chip code only after
// GetMediaSize.
const std::vector<Sent> kFormatQueries = {Query(kChip), Query(kMedia), SpareRead(1), DataRead(1), Query(kPwd)};

const Box kSelectBox = Warning("Please select the device!!");
const Box kLongNotFound =
    Warning("Can't find the device, please check the device and try to unplug and replug the device.");
const Box kShortNotFound = Warning("Can't find the device, please check the device!");
const Box kChipBox = Warning("Please update the program!");

struct Disk {
    std::string password;
    std::uint8_t chipCode = 0x30;
    bool largeBlock = false;
    std::uint8_t zoneCount = 1;
    std::uint16_t partitionWord = 0;
};

class FormatOpenerTest : public AppTest {
protected:
    void Add(const Disk& d) {
        emulator::Config config;
        config.deviceName = u"DISK";
        config.password = d.password;
        config.chipCode = d.chipCode;
        config.largeBlock = d.largeBlock;
        config.zoneCount = d.zoneCount;
        disk_ = std::make_shared<emulator::Controller>(config);
        World().AddDevice(disk_);
        std::uint8_t sector[512];
        ReadDescriptorSector(*disk_, sector);
        kt4790::WriteBigEndian16(sector + kt4790::kPartitionWordOffset, d.partitionWord);
        WriteDescriptorSector(*disk_, sector);
    }

    // A fresh program, World and disk for the next case of a table; the
    // utility window shown, what start-up showed and sent cleared.
    void Start(const Disk& d) {
        vcl::headless::resetApplication();
        ClearFormGlobals();
        World().Reset();
        World().SetWindowsVersion(SupportedVersion());
        Add(d);
        ASSERT_EQ(AppMain(), 0);
        MainForm->SetVisible(false);
        JUtilityForm->SetVisible(true);
        World().ClearMessageBoxes();
        disk_->ClearTrace();
        // What the dialogs held from an earlier opening.
        for (std::string* name : {&JSFormatForm->DeviceName, &JDFormatForm->DeviceName, &PartitionForm->DeviceName,
                                  &JFormatChkPwdForm->DeviceName, &JPartitionChkPwdForm->DeviceName}) {
            *name = "OLD";
        }
        PartitionForm->ZoneCount = 99;
        PartitionForm->PasswordExists = 1;
    }

    static void Press(vcl::TButton* button) { ASSERT_TRUE(userClick(button)) << lastRefusal(); }

    // The last n commands the disk received.
    std::vector<Sent> Tail(std::size_t n) const {
        const auto& trace = disk_->trace();
        std::vector<Sent> tail;
        for (std::size_t i = trace.size() < n ? 0 : trace.size() - n; i < trace.size(); ++i) tail.push_back(ToSent(trace[i]));
        return tail;
    }

    static std::vector<vcl::TForm*> OpenDialogs() {
        std::vector<vcl::TForm*> open;
        for (vcl::TForm* form : {static_cast<vcl::TForm*>(JFormatChkPwdForm), static_cast<vcl::TForm*>(JSFormatForm),
                                 static_cast<vcl::TForm*>(JDFormatForm), static_cast<vcl::TForm*>(JPartitionChkPwdForm),
                                 static_cast<vcl::TForm*>(PartitionForm)}) {
            if (form->Visible()) open.push_back(form);
        }
        return open;
    }

    static void ExpectFunctionButtons(bool enabled) {
        for (vcl::TButton* b : {JUtilityForm->btnSetNChkPwd, JUtilityForm->btnChangPwd, JUtilityForm->btnClearPwd,
                                JUtilityForm->btnChangDevName, JUtilityForm->btnFormat, JUtilityForm->btnPartition,
                                JUtilityForm->btnCopyFile}) {
            EXPECT_EQ(b->Enabled(), enabled) << b->Name();
        }
    }

    static void ExpectNothingLeftOpen() {
        EXPECT_EQ(World().LoadedLibraryCount(), 0);
        EXPECT_EQ(HandlesBesidesTheMutex(), 0);
    }

    // One message, no dialog, the buttons still on, nothing left open.
    static void ExpectRefused(const Box& box) {
        EXPECT_EQ(Boxes(), std::vector<Box>{box});
        EXPECT_EQ(OpenDialogs(), std::vector<vcl::TForm*>{});
        ExpectFunctionButtons(true);
        ExpectNothingLeftOpen();
    }

    std::shared_ptr<emulator::Controller> disk_;
};

// --- the dialog each opener chooses ----------------------------------------------------

TEST_F(FormatOpenerTest, FormatOpensTheGateOrTheDialogOfTheSplit) {
    Disk sixtySix;
    sixtySix.zoneCount = 66;  // 66,000 logical blocks: TotalBlocks 464 in 16 bits
    struct Case {
        const char* what;
        Disk disk;
        vcl::TForm* (*dialog)();
        std::uint16_t gateTotalBlocks;  // the gate's TotalBlocks, when the gate opens
    };
    const auto single = [] { return static_cast<vcl::TForm*>(JSFormatForm); };
    const auto twoAreas = [] { return static_cast<vcl::TForm*>(JDFormatForm); };
    const auto gate = [] { return static_cast<vcl::TForm*>(JFormatChkPwdForm); };
    const Case cases[] = {
        {"PartitionWord 0", {}, single, 0},
        {"all standard", {"", 0x30, false, 1, 1000}, single, 0},
        {"two areas", {"", 0x30, false, 1, 500}, twoAreas, 0},
        {"66 zones, 464", {"", 0x30, false, 66, 464}, single, 0},
        {"66 zones, 1000", {"", 0x30, false, 66, 1000}, twoAreas, 0},
        {"chip 0x13 large, two areas", {"", 0x13, true, 8, 500}, twoAreas, 0},
        {"password, 66 zones", {"pw", 0x30, false, 66, 464}, gate, 464},
        {"password, large blocks", {"pw", 0x30, true, 8, 200}, gate, 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Start(c.disk);
        std::string nameAtShow;
        for (vcl::TForm* form : {static_cast<vcl::TForm*>(JSFormatForm), static_cast<vcl::TForm*>(JDFormatForm)}) {
            form->OnShow = [form, own = form->OnShow, &nameAtShow](vcl::TObject* sender) {
                nameAtShow = form == JSFormatForm ? JSFormatForm->DeviceName : JDFormatForm->DeviceName;
                if (own) own(sender);
            };
        }
        Press(JUtilityForm->btnFormat);

        const std::vector<Sent> queries =
            c.disk.chipCode == 0x30 ? kFormatQueries
                                    : std::vector<Sent>{Query(kChip), Query(kMedia), DataRead(1, 0x80), Query(kPwd)};
        EXPECT_EQ(Tail(queries.size()), queries);
        EXPECT_EQ(OpenDialogs(), std::vector<vcl::TForm*>{c.dialog()});
        EXPECT_EQ(Boxes(), std::vector<Box>{});
        ExpectFunctionButtons(false);
        ExpectNothingLeftOpen();
        if (c.dialog() == JFormatChkPwdForm) {
            EXPECT_EQ(JFormatChkPwdForm->DeviceName, "DISK");
            EXPECT_EQ(JFormatChkPwdForm->PartitionWord, c.disk.partitionWord);
            EXPECT_EQ(JFormatChkPwdForm->TotalBlocks, c.gateTotalBlocks);
        } else {
            // Given right after the dialog was shown.
            EXPECT_EQ(nameAtShow, "OLD");
            EXPECT_EQ(c.dialog() == JSFormatForm ? JSFormatForm->DeviceName : JDFormatForm->DeviceName, "DISK");
        }
    }
}

TEST_F(FormatOpenerTest, PartitionGivesTheZoneCountAndOpensTheGateOrTheDialog) {
    for (const char* password : {"", "pw"}) {
        SCOPED_TRACE(password);
        Disk d;
        d.password = password;
        d.zoneCount = 66;
        Start(d);
        Press(JUtilityForm->btnPartition);

        EXPECT_EQ(Tail(kPartitionQueries.size()), kPartitionQueries);
        EXPECT_EQ(PartitionForm->ZoneCount, 66);
        EXPECT_EQ(Boxes(), std::vector<Box>{});
        ExpectFunctionButtons(false);
        ExpectNothingLeftOpen();
        if (*password == 0) {
            EXPECT_EQ(OpenDialogs(), std::vector<vcl::TForm*>{PartitionForm});
            EXPECT_EQ(PartitionForm->DeviceName, "DISK");
            EXPECT_EQ(PartitionForm->PasswordExists, 0);
            EXPECT_EQ(PartitionForm->labTotalSize->Caption(), "MB");  // no size known for 66 zones
        } else {
            // The gate gives the partition dialog its name and PasswordExists.
            EXPECT_EQ(OpenDialogs(), std::vector<vcl::TForm*>{JPartitionChkPwdForm});
            EXPECT_EQ(JPartitionChkPwdForm->DeviceName, "DISK");
            EXPECT_EQ(PartitionForm->DeviceName, "OLD");
        }
    }
}

#ifndef KT4790_ASPI
// The reply lengths KT4790DLL gets, recorded on the way to the library.
std::vector<std::pair<std::string, unsigned>> g_lengths;
decltype(&GetChipVersion) g_getChipVersion;
decltype(&GetMediaSize) g_getMediaSize;
decltype(&PwdExist) g_pwdExist;
template <typename Proc>
void Real(HMODULE library, const char* name, Proc& proc) {
    proc = reinterpret_cast<Proc>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}
int WINAPI RecordChipVersion(HANDLE h, BYTE* reply, DWORD length) {
    g_lengths.emplace_back("GetChipVersion", length);
    return g_getChipVersion(h, reply, length);
}
int WINAPI RecordMediaSize(HANDLE h, BYTE* reply, BYTE length) {
    g_lengths.emplace_back("GetMediaSize", length);
    return g_getMediaSize(h, reply, length);
}
int WINAPI RecordPwdExist(HANDLE h, BYTE* reply, BYTE length) {
    g_lengths.emplace_back("PwdExist", length);
    return g_pwdExist(h, reply, length);
}

TEST_F(FormatOpenerTest, TheRepliesAskedOfKT4790DLLHaveTheOpenersLengths) {
    using Lengths = std::vector<std::pair<std::string, unsigned>>;
    struct Case {
        vcl::TButton* TJUtilityForm::*button;
        Lengths lengths;
    };
    const Case cases[] = {
        {&TJUtilityForm::btnFormat, {{"GetChipVersion", 8}, {"GetMediaSize", 8}, {"PwdExist", 8}}},
        {&TJUtilityForm::btnPartition, {{"GetChipVersion", 8}, {"GetMediaSize", 16}, {"PwdExist", 8}}},
    };
    for (const Case& c : cases) {
        Start({});
        // The real procedures, from a load of the test's own, behind the recorders.
        HMODULE library = LoadLibraryA(kLibrary);
        ASSERT_NE(library, nullptr);
        Real(library, "GetChipVersion", g_getChipVersion);
        Real(library, "GetMediaSize", g_getMediaSize);
        Real(library, "PwdExist", g_pwdExist);
        World().ReplaceExport(kLibrary, "GetChipVersion", AsExport(&RecordChipVersion));
        World().ReplaceExport(kLibrary, "GetMediaSize", AsExport(&RecordMediaSize));
        World().ReplaceExport(kLibrary, "PwdExist", AsExport(&RecordPwdExist));
        g_lengths.clear();

        Press(JUtilityForm->*c.button);
        EXPECT_EQ(g_lengths, c.lengths);
        EXPECT_EQ(OpenDialogs().size(), 1u);
        FreeLibrary(library);
        ExpectNothingLeftOpen();
    }
}
#endif

// --- the chip tests of each build ------------------------------------------------------

TEST_F(FormatOpenerTest, AnUnknownChipAsksForAnUpdateExceptAtKT4790MCAPsPartition) {
    Start({});
    World().ReplaceExport(kLibrary, "GetChipVersion", AsExport(&UnknownChipVersion));
    Press(JUtilityForm->btnFormat);
    ExpectRefused(kChipBox);
#ifdef KT4790_ASPI
    // Tested after GetMediaSize, before any sector is read.
    EXPECT_EQ(Tail(1), std::vector<Sent>{Query(kMedia)});
#else
    EXPECT_NE(Tail(1), std::vector<Sent>{Query(kMedia)});
#endif

    World().ClearMessageBoxes();
    disk_->ClearTrace();
    Press(JUtilityForm->btnPartition);
#ifdef KT4790_ASPI
    EXPECT_EQ(OpenDialogs(), std::vector<vcl::TForm*>{PartitionForm});
    EXPECT_EQ(Tail(2), kPartitionQueries);
#else
    ExpectRefused(kChipBox);
    EXPECT_NE(Tail(1), std::vector<Sent>{Query(kMedia)});
#endif
}

// --- failures --------------------------------------------------------------------------

TEST_F(FormatOpenerTest, WithoutASelectionBothAskForADeviceAndLoadNothing) {
    vcl::headless::resetApplication();
    ClearFormGlobals();
    ASSERT_EQ(AppMain(), 0);
    MainForm->SetVisible(false);
    JUtilityForm->SetVisible(true);
    ASSERT_EQ(JUtilityForm->CBoxDeviceList->ItemIndex(), -1);
    World().HideLibrary(kLibrary);  // a load would show its own message
    for (vcl::TButton* button : {JUtilityForm->btnFormat, JUtilityForm->btnPartition}) {
        World().ClearMessageBoxes();
        Press(button);
        ExpectRefused(kSelectBox);
    }
}

TEST_F(FormatOpenerTest, AMissingLibraryProcedureOrDeviceRefusesWithItsMessage) {
    for (const auto& [button, binds] : {std::make_pair(&TJUtilityForm::btnFormat, &kFormatBinds),
                                        std::make_pair(&TJUtilityForm::btnPartition, &kPartitionBinds)}) {
        Start({});
        SCOPED_TRACE((JUtilityForm->*button)->Name());
        disk_->Remove();
        Press(JUtilityForm->*button);
        ExpectRefused(kLongNotFound);
        disk_->Replug();

        World().HideLibrary(kLibrary);
        World().ClearMessageBoxes();
        Press(JUtilityForm->*button);
        ExpectRefused(Error(kLibraryMissing));

        // Hidden from the last bound to the first, so that each press meets
        // the newest hidden name first.
        Start({});
        for (auto name = binds->rbegin(); name != binds->rend(); ++name) {
            SCOPED_TRACE(*name);
            World().HideExport(kLibrary, *name);
            World().ClearMessageBoxes();
            Press(JUtilityForm->*button);
            ExpectRefused(*name == kFinder ? Warning("Load library failed!") : Error("Load library failed!"));
            EXPECT_TRUE(disk_->trace().empty());
        }
    }
}

// A command of the opener that fails after the device was found: the long
// message for the queries and a chip-0x13 sector read, the short one (long
// on KT4790MCAP) for the chip-0x30 search. The partition dialog keeps the
// ZoneCount once GetMediaSize has answered.
TEST_F(FormatOpenerTest, EachFailingCommandGivesItsMessageAndOpensNothing) {
#ifdef KT4790_ASPI
    const Box& searchFailure = kLongNotFound;
#else
    const Box& searchFailure = kShortNotFound;
#endif
    struct Case {
        const char* what;
        std::uint8_t chipCode;
        vcl::TButton* TJUtilityForm::*button;
        std::vector<Box> perStep;  // the message when command i of the opener fails
    };
    const Case cases[] = {
        {"format 0x30", 0x30, &TJUtilityForm::btnFormat,
         {kLongNotFound, kLongNotFound, searchFailure, searchFailure, kLongNotFound}},
        {"format 0x13", 0x13, &TJUtilityForm::btnFormat, {kLongNotFound, kLongNotFound, kLongNotFound, kLongNotFound}},
        {"partition", 0x30, &TJUtilityForm::btnPartition,
         std::vector<Box>(kPartitionQueries.size(), kLongNotFound)},
    };
    for (const Case& c : cases) {
        for (std::size_t step = 0; step < c.perStep.size(); ++step) {
            SCOPED_TRACE(std::string(c.what) + " step " + std::to_string(step));
            Disk d;
            d.password = "pw";
            d.chipCode = c.chipCode;
            d.zoneCount = 2;
            Start(d);
            // What finding the device sends, from an opening that succeeds.
            Press(JUtilityForm->*c.button);
            const std::size_t findCommands = disk_->trace().size() - c.perStep.size();
            Start(d);
            emulator::Fault fault;
            fault.afterCommands = static_cast<std::uint32_t>(findCommands + step);
            disk_->InjectFault(fault);

            Press(JUtilityForm->*c.button);
            ExpectRefused(c.perStep[step]);
            EXPECT_EQ(disk_->trace().size(), findCommands + step + 1);  // nothing after the failure
            const bool zoneCountGiven = c.button == &TJUtilityForm::btnPartition && step + 1 == c.perStep.size();
            EXPECT_EQ(PartitionForm->ZoneCount, zoneCountGiven ? 2 : 99);
        }
    }
}

}  // namespace
}  // namespace apptest
