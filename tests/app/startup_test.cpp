// Start-up and lifetime of the application: the version rules, the
// single-instance rule, the fourteen forms, what is visible afterwards and
// what the start-up sends to the devices.
#include "app_test.h"

#include "app/Chgdevname.h"
#include "app/Chgpwd.h"
#include "app/Chkpwd.h"
#include "app/Clearpwd.h"
#include "app/Fchkpwd.h"
#include "app/Jsavedialog.h"
#include "app/Jutility.h"
#include "app/Main.h"
#include "app/Pchkpwd.h"
#include "app/Setpwd.h"
#include "format/Copyfile.h"
#include "format/Dformat.h"
#include "format/Partition.h"
#include "format/Sformat.h"

namespace apptest {
namespace {

using StartupTest = AppTest;

#ifdef KT4790_ASPI
constexpr const char* kWrongSystem = "This program is only for Windows 98 and ME.";
#else
constexpr const char* kWrongSystem = "This program is only for Windows 2000 and XP.";
#endif

// The program ended before making anything: no window, no library, no mutex
// of its own, nothing sent to a device.
void ExpectNothingStarted(const emulator::Controller& disk) {
    EXPECT_TRUE(World().TopLevelWindows().empty());
    EXPECT_TRUE(vcl::Application->Forms().empty());
    EXPECT_EQ(World().LoadedLibraryCount(), 0);
    EXPECT_FALSE(World().MutexOwnedHere(kAppMutex));
    EXPECT_TRUE(disk.trace().empty());
}

TEST_F(StartupTest, CreatesTheFourteenFormsInTheirOrderWithTheirCaptions) {
    ASSERT_EQ(AppMain(), 0);
    const std::vector<vcl::TForm*> expected = {
        MainForm,   JUtilityForm,      JSFormatForm,    ChgPwdForm,     ChkPwdForm,
        ClearPasswdForm, JDFormatForm, JFormatChkPwdForm, JSaveDialogForm, SetPwdForm,
        ChgDevNameForm, PartitionForm, CopyFileForm,    JPartitionChkPwdForm,
    };
    const std::vector<std::string> captions = {
        "USB Flash Disk Password Check", "USB Flash Disk Utility Menu", "USB Flash Disk FORMAT  ",
        "Change Password", "Check Password", " Clear Password", "USB Flash Disk FORMAT  ", "FORMAT  ", "Save",
        "Set New Password", "Change Device Name", "USB Flash Disk PARTITION", "Copy System Files", "PARTITION",
    };
    ASSERT_EQ(vcl::Application->Forms(), expected);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        ASSERT_NE(expected[i], nullptr) << i;
        EXPECT_EQ(expected[i]->Caption(), captions[i]) << i;
        EXPECT_EQ(expected[i]->BorderStyle(), vcl::bsDialog) << captions[i];
        // Only the password check has a minimise box; every form has the close box.
        const unsigned icons = expected[i] == MainForm ? vcl::biSystemMenu | vcl::biMinimize : vcl::biSystemMenu;
        EXPECT_EQ(expected[i]->BorderIcons(), icons) << captions[i];
    }
    EXPECT_EQ(vcl::Application->MainForm(), MainForm);
    EXPECT_EQ(vcl::Application->Title(), kAppTitle);
    EXPECT_EQ(MainForm->FormStyle(), vcl::fsStayOnTop);
    EXPECT_TRUE(World().MutexOwnedHere(kAppMutex));
}

TEST_F(StartupTest, OnlyTheMainWindowIsVisibleAndTheTitleWindowExists) {
    AddDisk(u"FIRST");
    ASSERT_EQ(AppMain(), 0);
    for (vcl::TForm* form : vcl::Application->Forms()) {
        EXPECT_EQ(form->Visible(), form == MainForm) << form->Caption();
    }
    EXPECT_EQ(VisibleWindows(), std::vector<std::string>{kMainCaption});
    EXPECT_NE(FindWindowA(nullptr, kAppTitle), nullptr);
    EXPECT_EQ(FindWindowA(nullptr, kAppTitle), vcl::Application->Handle());
    EXPECT_TRUE(Boxes().empty());
    EXPECT_TRUE(MainForm->edtPwd->Focused());
}

TEST_F(StartupTest, StartUpListsTheDevicesWithOneLibraryWalkAndLeavesNothingOpen) {
    auto first = AddDisk(u"FIRST");
    auto second = AddDisk(u"Second disk");
    ASSERT_EQ(AppMain(), 0);
    EXPECT_EQ(MainForm->cboxDeviceList->Items().Count(), 2);
    EXPECT_EQ(MainForm->cboxDeviceList->ItemIndex(), 0);
    EXPECT_EQ(MainForm->cboxDeviceList->Text(), "FIRST");
    EXPECT_EQ(World().LoadedLibraryCount(), 0);
    EXPECT_EQ(HandlesBesidesTheMutex(), 0);

    // Exactly what one GetAllDeviceName sends, no more.
    const std::vector<std::string> startFirst = Commands(*first), startSecond = Commands(*second);
    first->ClearTrace();
    second->ClearTrace();
    ASSERT_EQ(ListThroughLibrary(), 2);
    EXPECT_FALSE(startFirst.empty());
    EXPECT_EQ(startFirst, Commands(*first));
    EXPECT_EQ(startSecond, Commands(*second));
}

// --- the version record ------------------------------------------------------

TEST_F(StartupTest, PlainVersionRecordIsUsedWhenTheExtendedOneFails) {
    World().SetVersionFailure(winsim::VersionFailure::ExtendedRecord);
    ASSERT_EQ(AppMain(), 0);
    EXPECT_TRUE(Boxes().empty());
    ASSERT_NE(MainForm, nullptr);
    EXPECT_TRUE(MainForm->Visible());
}

TEST_F(StartupTest, NoVersionRecordShowsSystemError) {
    auto disk = AddDisk(u"DISK");
    World().SetVersionFailure(winsim::VersionFailure::BothRecords);
    ASSERT_EQ(AppMain(), 0);
    EXPECT_EQ(Boxes(), std::vector<Box>{Error("System Error!")});
    ExpectNothingStarted(*disk);
}

// --- the version rules ---------------------------------------------------------

struct VersionCase {
    std::uint32_t major, minor;
    bool starts;
};
void PrintTo(const VersionCase& c, std::ostream* out) {
    *out << c.major << "." << c.minor << (c.starts ? " starts" : " refused");
}

class VersionRuleTest : public AppTest, public testing::WithParamInterface<VersionCase> {};

TEST_P(VersionRuleTest, StartsOnlyOnItsFamily) {
    auto disk = AddDisk(u"DISK");
    World().SetWindowsVersion(Version(GetParam().major, GetParam().minor));
    ASSERT_EQ(AppMain(), 0);
    if (GetParam().starts) {
        EXPECT_TRUE(Boxes().empty());
        ASSERT_NE(MainForm, nullptr);
        EXPECT_TRUE(MainForm->Visible());
    } else {
        EXPECT_EQ(Boxes(), std::vector<Box>{Error(kWrongSystem)});
        ExpectNothingStarted(*disk);
    }
}

#ifdef KT4790_ASPI
INSTANTIATE_TEST_SUITE_P(Windows98AndMe, VersionRuleTest,
                         testing::Values(VersionCase{4, 10, true}, VersionCase{4, 90, true}, VersionCase{4, 0, false},
                                         VersionCase{4, 11, false}, VersionCase{3, 10, false},
                                         VersionCase{5, 0, false}, VersionCase{5, 10, false},
                                         VersionCase{6, 90, false}));
#else
INSTANTIATE_TEST_SUITE_P(Windows2000AndLater, VersionRuleTest,
                         testing::Values(VersionCase{4, 90, false}, VersionCase{4, 10, false},
                                         VersionCase{0, 0, false}, VersionCase{5, 0, true}, VersionCase{5, 1, true},
                                         VersionCase{10, 0, true},
                                         // compared unsigned: a huge major version is above 4
                                         VersionCase{0x80000000u, 0, true}));
#endif

// --- one instance ----------------------------------------------------------------

TEST_F(StartupTest, MutexHeldByAnotherInstanceEndsSilently) {
    auto disk = AddDisk(u"DISK");
    World().HoldMutexElsewhere(kAppMutex);
    ASSERT_EQ(AppMain(), 0);
    EXPECT_TRUE(Boxes().empty());
    ExpectNothingStarted(*disk);
}

TEST_F(StartupTest, MutexThatCannotBeMadeEndsSilently) {
    auto disk = AddDisk(u"DISK");
    World().SetMutexCreateError(kAppMutex, ERROR_ACCESS_DENIED);
    ASSERT_EQ(AppMain(), 0);
    EXPECT_TRUE(Boxes().empty());
    ExpectNothingStarted(*disk);
}

TEST_F(StartupTest, TheOtherBuildsMutexDoesNotStopIt) {
    World().HoldMutexElsewhere(kOtherMutex);
    ASSERT_EQ(AppMain(), 0);
    ASSERT_NE(MainForm, nullptr);
    EXPECT_TRUE(MainForm->Visible());
}

TEST_F(StartupTest, SecondStartEndsSilentlyAndLeavesTheFirstAsItWas) {
    auto disk = AddDisk(u"DISK");
    ASSERT_EQ(AppMain(), 0);
    TMainForm* first = MainForm;
    MainForm->SetVisible(false);  // the first instance, hidden in the tray
    disk->ClearTrace();

    EXPECT_EQ(AppMain(), 0);
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(MainForm, first);
    EXPECT_EQ(vcl::Application->Forms().size(), 14u);
    EXPECT_FALSE(MainForm->Visible());
    EXPECT_TRUE(VisibleWindows().empty());
    EXPECT_TRUE(disk->trace().empty());
}

// --- exceptions ----------------------------------------------------------------------

TEST_F(StartupTest, MissingPopValueIsShownAndStartUpGoesOn) {
    auto disk = AddDisk(u"DISK");
    World().CreateRegistryKey(kSettingsKey);
    ASSERT_EQ(AppMain(), 0);
    EXPECT_EQ(Boxes(), std::vector<Box>{ExceptionBox("Failed to get data for 'Pop'")});
    // The rest of the main window's creation is skipped, the program is not.
    EXPECT_FALSE(MainForm->rbtnAutoPopUp->Checked());
    EXPECT_TRUE(World().NotifyIconCalls().empty());
    EXPECT_EQ(vcl::Application->Forms().size(), 14u);
    EXPECT_EQ(VisibleWindows(), std::vector<std::string>{kMainCaption});
    EXPECT_EQ(MainForm->cboxDeviceList->Items().Count(), 1);
    EXPECT_EQ(World().OpenHandleCount(winsim::HandleKind::RegistryKey), 0);
}

TEST_F(StartupTest, PopOfAnotherTypeIsShownAndStartUpGoesOn) {
    World().SetRegistryValue(kSettingsKey, "Pop", winsim::RegistryValue{REG_SZ, {'1', 0}});
    ASSERT_EQ(AppMain(), 0);
    EXPECT_EQ(Boxes(), std::vector<Box>{ExceptionBox("Invalid data type for 'Pop'")});
    EXPECT_EQ(vcl::Application->Forms().size(), 14u);
    EXPECT_TRUE(MainForm->Visible());
    EXPECT_EQ(World().OpenHandleCount(winsim::HandleKind::RegistryKey), 0);
}

}  // namespace
}  // namespace apptest
