// The utility window, driven as a person would: reached by the correct
// password, its device list filled when it shows and by "Refresh", its
// function buttons switched around the dialogs, "Close" and the close box.
// The disks are emulated and reached through the real device
// library of the build.
#include "app_test.h"

#include "app/Chkpwd.h"
#include "app/Jutility.h"
#include "app/Main.h"

namespace apptest {
namespace {

using vcl::headless::canReach;
using vcl::headless::lastRefusal;
using vcl::headless::programEnded;
using vcl::headless::userClick;
using vcl::headless::userCloseBox;
using vcl::headless::userType;

constexpr const char* kUtilityCaption = "USB Flash Disk Utility Menu";
#ifdef KT4790_ASPI
constexpr const char* kLibraryMissing = "Can't load the KT4790mDLL.";
#else
constexpr const char* kLibraryMissing = "Can't load the KT4790DLL.";
#endif

std::vector<std::string> ListedNames() {
    std::vector<std::string> names;
    const vcl::TStrings& items = JUtilityForm->CBoxDeviceList->Items();
    for (int i = 0; i < items.Count(); ++i) names.push_back(items[i]);
    return names;
}

// The seven function buttons, and the controls that stay usable while they
// are off.
std::vector<vcl::TControl*> FunctionButtons() {
    TJUtilityForm* f = JUtilityForm;
    return {f->btnSetNChkPwd, f->btnChangPwd, f->btnClearPwd, f->btnChangDevName,
            f->btnFormat,     f->btnPartition, f->btnCopyFile};
}
std::vector<vcl::TControl*> OtherControls() {
    TJUtilityForm* f = JUtilityForm;
    return {f->CBoxDeviceList, f->btnRefresh, f->btnClose, f->btnMini, f->GroupBox1};
}

class UtilityWindowTest : public AppTest {
protected:
    // Starts the program; nothing shown at start-up is kept.
    static void Start() {
        ASSERT_EQ(AppMain(), 0);
        ASSERT_TRUE(MainForm->Visible());
        ASSERT_FALSE(JUtilityForm->Visible());
        World().ClearMessageBoxes();
    }

    // The password check's way to this window: hide itself, show this one.
    static void ShowAsAfterTheCorrectPassword() {
        MainForm->SetVisible(false);
        JUtilityForm->SetVisible(true);
    }

    static void EnterPassword(const std::string& password) {
        ASSERT_TRUE(userType(MainForm->edtPwd, password)) << lastRefusal();
        ASSERT_TRUE(userClick(MainForm->btnOk)) << lastRefusal();
    }

    static void ExpectNothingLeftOpen() {
        EXPECT_EQ(World().LoadedLibraryCount(), 0);
        EXPECT_EQ(HandlesBesidesTheMutex(), 0);
    }
};

// --- the device list -------------------------------------------------------------------

TEST_F(UtilityWindowTest, CorrectPasswordShowsTheWindowCentredWithItsListFilledAndFocused) {
    emulator::Config config;
    config.deviceName = u"DISK";
    config.password = "secret";
    World().AddDevice(std::make_shared<emulator::Controller>(config));
    Start();
    // A device attached while the password was typed is listed here.
    AddDisk(u"LATE");
    World().SetScreenSize(1280, 1024);

    EnterPassword("secret");
    EXPECT_EQ(VisibleWindows(), std::vector<std::string>{kUtilityCaption});
    EXPECT_EQ(ListedNames(), (std::vector<std::string>{"DISK", "LATE"}));
    EXPECT_EQ(JUtilityForm->CBoxDeviceList->ItemIndex(), 0);
    EXPECT_EQ(JUtilityForm->CBoxDeviceList->Text(), "DISK");
    EXPECT_TRUE(JUtilityForm->CBoxDeviceList->Focused());
    EXPECT_EQ(JUtilityForm->Top(), (1024 - JUtilityForm->Height()) / 2);
    EXPECT_EQ(JUtilityForm->Left(), (1280 - JUtilityForm->Width()) / 2);
    EXPECT_EQ(Boxes().size(), 1u);  // only the password's "correct"
    ExpectNothingLeftOpen();
}

TEST_F(UtilityWindowTest, NamesAreTrimmedKeptInOrderWithDuplicatesAndAtMostSix) {
    // Blanks and control characters go at either end only; bytes above 0x7F
    // are characters, not blanks.
    const std::u16string names[] = {u"  Blanks \t", u"TWIN", u"\u20AC Euro \u00C4", u"TWIN",
                                    u"\x01" u"Ctl\x1F", u"   ", u"SEVENTH"};
    for (const std::u16string& name : names) AddDisk(name);
    Start();
    // The main window lists the same names untrimmed.
    EXPECT_EQ(MainForm->cboxDeviceList->Items()[0], "  Blanks \t");

    ShowAsAfterTheCorrectPassword();
    EXPECT_EQ(ListedNames(), (std::vector<std::string>{"Blanks", "TWIN", "\x80 Euro \xC4", "TWIN", "Ctl", ""}));
    EXPECT_EQ(JUtilityForm->CBoxDeviceList->Text(), "Blanks");
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(UtilityWindowTest, RefreshListsTheDevicesAttachedNow) {
    auto only = AddDisk(u"ONLY");
    Start();
    ShowAsAfterTheCorrectPassword();
    ASSERT_EQ(ListedNames(), std::vector<std::string>{"ONLY"});

    only->Remove();
    ASSERT_TRUE(userClick(JUtilityForm->btnRefresh)) << lastRefusal();
    EXPECT_TRUE(ListedNames().empty());
    EXPECT_EQ(JUtilityForm->CBoxDeviceList->ItemIndex(), -1);
    EXPECT_EQ(JUtilityForm->CBoxDeviceList->Text(), "");

    // Text typed into the empty list does not survive a refill.
    JUtilityForm->CBoxDeviceList->SetText("typed");
    AddDisk(u"NEW");
    only->Replug();
    ASSERT_TRUE(userClick(JUtilityForm->btnRefresh)) << lastRefusal();
    EXPECT_EQ(ListedNames(), (std::vector<std::string>{"ONLY", "NEW"}));
    EXPECT_EQ(JUtilityForm->CBoxDeviceList->Text(), "ONLY");
    EXPECT_TRUE(Boxes().empty());
    ExpectNothingLeftOpen();
}

TEST_F(UtilityWindowTest, ReadsOnlyItsOwnTableWhateverTheLibraryReports) {
    // The library claims 255 entries of 255 bytes each.
    World().SetLibraryDirectory(FAKE_LIBRARY_DIR);
    Start();
    ShowAsAfterTheCorrectPassword();
    EXPECT_EQ(ListedNames(), (std::vector<std::string>{"AAAAAAAAAAAAAAAA", "BBBBBBBBBBBBBBBB", "CCCCCCCCCCCCCCCC",
                                                       "DDDDDDDDDDDDDDDD", "EEEEEEEEEEEEEEEE", "FFFFFFFFFFFFFFFF"}));
}

// --- binding failures of the list ------------------------------------------------------

TEST_F(UtilityWindowTest, MissingLibraryEmptiesTheListWithItsOwnMessage) {
    auto disk = AddDisk(u"DISK");
    Start();
    ShowAsAfterTheCorrectPassword();
    ASSERT_EQ(ListedNames(), std::vector<std::string>{"DISK"});
    disk->ClearTrace();

    World().HideLibrary(kLibrary);
    ASSERT_TRUE(userClick(JUtilityForm->btnRefresh)) << lastRefusal();
    EXPECT_EQ(Boxes(), std::vector<Box>{Error(kLibraryMissing)});
    EXPECT_TRUE(ListedNames().empty());
    EXPECT_EQ(JUtilityForm->CBoxDeviceList->ItemIndex(), -1);
    EXPECT_EQ(JUtilityForm->CBoxDeviceList->Text(), "");

    // Showing the window again says it again.
    JUtilityForm->SetVisible(false);
    JUtilityForm->SetVisible(true);
    EXPECT_EQ(Boxes(), (std::vector<Box>{Error(kLibraryMissing), Error(kLibraryMissing)}));
    EXPECT_TRUE(disk->trace().empty());
    EXPECT_TRUE(JUtilityForm->Visible());
    ExpectNothingLeftOpen();
}

TEST_F(UtilityWindowTest, MissingGetAllDeviceNameIsReportedAndTheLibraryFreed) {
    auto disk = AddDisk(u"DISK");
    Start();
    disk->ClearTrace();
    World().HideExport(kLibrary, "GetAllDeviceName");
    ShowAsAfterTheCorrectPassword();
    EXPECT_EQ(Boxes(), std::vector<Box>{Error("Load library failed!")});
    EXPECT_TRUE(ListedNames().empty());
    EXPECT_EQ(JUtilityForm->CBoxDeviceList->ItemIndex(), -1);
    EXPECT_TRUE(disk->trace().empty());
    ExpectNothingLeftOpen();
}

// --- the function buttons -----------------------------------------------------------------

TEST_F(UtilityWindowTest, DisableAndEnableSwitchExactlyTheSevenFunctionButtons) {
    AddDisk(u"DISK");
    Start();
    ShowAsAfterTheCorrectPassword();

    // "COPY SYSTEM FILES" lies below the visible part of its box in
    // KT4790CAP, yet is switched with the others.
#ifdef KT4790_ASPI
    EXPECT_TRUE(canReach(JUtilityForm->btnCopyFile));
#else
    EXPECT_FALSE(canReach(JUtilityForm->btnCopyFile));
#endif
    JUtilityForm->DisableAllButtons();
    for (vcl::TControl* button : FunctionButtons()) {
        EXPECT_FALSE(button->Enabled()) << button->Name();
        EXPECT_FALSE(canReach(button)) << button->Name();
    }
    for (vcl::TControl* control : OtherControls()) EXPECT_TRUE(control->Enabled()) << control->Name();
    EXPECT_TRUE(JUtilityForm->Enabled());
    // The list can still be refreshed while a dialog is open.
    AddDisk(u"MORE");
    ASSERT_TRUE(userClick(JUtilityForm->btnRefresh)) << lastRefusal();
    EXPECT_EQ(ListedNames(), (std::vector<std::string>{"DISK", "MORE"}));

    // The copy-files opener disables the whole window; the buttons' return
    // leaves that to the dialogs that re-enable it.
    JUtilityForm->SetEnabled(false);
    JUtilityForm->EnableAllButtons();
    for (vcl::TControl* button : FunctionButtons()) EXPECT_TRUE(button->Enabled()) << button->Name();
    EXPECT_FALSE(JUtilityForm->Enabled());
    EXPECT_FALSE(userClick(JUtilityForm->btnRefresh));
}

// --- end of the program, and "Minimize" ----------------------------------------------------

TEST_F(UtilityWindowTest, CloseEndsTheProgramWithoutAskingTheOpenDialog) {
    AddDisk(u"DISK");
    Start();
    ShowAsAfterTheCorrectPassword();
    // A dialog opened as its opener does.
    JUtilityForm->DisableAllButtons();
    ChkPwdForm->DeviceName = "DISK";
    ChkPwdForm->SetVisible(true);
    World().ClearMessageBoxes();

    ASSERT_TRUE(userClick(JUtilityForm->btnClose)) << lastRefusal();
    EXPECT_TRUE(programEnded());
    EXPECT_TRUE(Boxes().empty());
    EXPECT_TRUE(VisibleWindows().empty());
    EXPECT_TRUE(World().NotifyIcons().empty());
    ExpectNothingLeftOpen();
}

TEST_F(UtilityWindowTest, TheCloseBoxEndsTheProgram) {
    Start();
    ShowAsAfterTheCorrectPassword();
    ASSERT_TRUE(userCloseBox(JUtilityForm)) << lastRefusal();
    EXPECT_TRUE(programEnded());
    EXPECT_TRUE(VisibleWindows().empty());
    EXPECT_TRUE(World().NotifyIcons().empty());
}

}  // namespace
}  // namespace apptest
