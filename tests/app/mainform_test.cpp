// The main window as far as start-up needs it: its device list, the "Pop"
// check box, the notification-area icon added at creation, and centring.
#include "app_test.h"

#include "app/Jutility.h"
#include "app/Main.h"

namespace apptest {
namespace {

using MainFormTest = AppTest;

#ifdef KT4790_ASPI
constexpr const char* kLibraryMissing = "Can't load the KT4790mDLL.";
#else
constexpr const char* kLibraryMissing = "Can't load the KT4790DLL!";
#endif

std::vector<std::string> ListedNames() {
    std::vector<std::string> names;
    const vcl::TStrings& items = MainForm->cboxDeviceList->Items();
    for (int i = 0; i < items.Count(); ++i) names.push_back(items[i]);
    return names;
}

// --- the device list -------------------------------------------------------------

TEST_F(MainFormTest, ListsAtMostSixNamesInTheLibrarysOrder) {
    const std::u16string names[] = {u"ONE", u"TWO", u"THREE", u"FOUR", u"FIVE", u"SIX", u"SEVEN"};
    for (const std::u16string& name : names) AddDisk(name);
    ASSERT_EQ(AppMain(), 0);
    EXPECT_EQ(ListedNames(), (std::vector<std::string>{"ONE", "TWO", "THREE", "FOUR", "FIVE", "SIX"}));
    EXPECT_EQ(MainForm->cboxDeviceList->ItemIndex(), 0);
}

TEST_F(MainFormTest, NamesAreListedUntrimmedAndInTheAnsiCodePage) {
    AddDisk(u"  Blanks ");
    AddDisk(u"Stra\u00DFe \u00C4");         // in code page 1252
    AddDisk(u"\u20AC \u0416\u2603");        // euro sign (0x80 in 1252), then two it lacks
    AddDisk(u"SIXTEEN UNITS 16");           // the longest name an entry holds
    ASSERT_EQ(AppMain(), 0);
    EXPECT_EQ(ListedNames(), (std::vector<std::string>{"  Blanks ", "Stra\xDF" "e \xC4", "\x80 ??",
                                                       "SIXTEEN UNITS 16"}));
}

TEST_F(MainFormTest, NoDeviceLeavesTheListEmptyWithoutAMessage) {
    ASSERT_EQ(AppMain(), 0);
    EXPECT_TRUE(ListedNames().empty());
    EXPECT_EQ(MainForm->cboxDeviceList->ItemIndex(), -1);
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(MainFormTest, RefreshListsTheDevicesAttachedNow) {
    auto first = AddDisk(u"FIRST");
    ASSERT_EQ(AppMain(), 0);
    ASSERT_EQ(ListedNames(), std::vector<std::string>{"FIRST"});

    first->Remove();
    ASSERT_TRUE(vcl::headless::userClick(MainForm->btnRefresh)) << vcl::headless::lastRefusal();
    EXPECT_TRUE(ListedNames().empty());
    EXPECT_EQ(MainForm->cboxDeviceList->ItemIndex(), -1);
    EXPECT_EQ(MainForm->cboxDeviceList->Text(), "");

    AddDisk(u"LATER");
    first->Replug();
    ASSERT_TRUE(vcl::headless::userClick(MainForm->btnRefresh));
    EXPECT_EQ(ListedNames(), (std::vector<std::string>{"FIRST", "LATER"}));
    EXPECT_EQ(MainForm->cboxDeviceList->Text(), "FIRST");
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(World().LoadedLibraryCount(), 0);
    EXPECT_EQ(HandlesBesidesTheMutex(), 0);
}

TEST_F(MainFormTest, ShowingTheWindowAgainRefillsTheListAndResetsTheAttempts) {
    AddDisk(u"FIRST");
    ASSERT_EQ(AppMain(), 0);
    MainForm->SetVisible(false);
    AddDisk(u"SECOND");
    FailedAttempts = 2;
    MainForm->SetVisible(true);
    EXPECT_EQ(ListedNames(), (std::vector<std::string>{"FIRST", "SECOND"}));
    EXPECT_EQ(FailedAttempts, 0);
    EXPECT_TRUE(MainForm->edtPwd->Focused());
}

TEST_F(MainFormTest, ReadsOnlyItsOwnTableWhateverTheLibraryReports) {
    // The library claims 255 entries of 255 bytes each.
    World().SetLibraryDirectory(FAKE_LIBRARY_DIR);
    ASSERT_EQ(AppMain(), 0);
    EXPECT_EQ(ListedNames(), (std::vector<std::string>{"AAAAAAAAAAAAAAAA", "BBBBBBBBBBBBBBBB", "CCCCCCCCCCCCCCCC",
                                                       "DDDDDDDDDDDDDDDD", "EEEEEEEEEEEEEEEE", "FFFFFFFFFFFFFFFF"}));
}

// --- binding failures of the list ---------------------------------------------------

TEST_F(MainFormTest, MissingLibraryIsReportedAndNothingIsSent) {
    auto disk = AddDisk(u"DISK");
    World().HideLibrary(kLibrary);
    ASSERT_EQ(AppMain(), 0);
    EXPECT_EQ(Boxes(), std::vector<Box>{Error(kLibraryMissing)});
    EXPECT_TRUE(ListedNames().empty());
    EXPECT_TRUE(MainForm->Visible());

    World().ClearMessageBoxes();
    ASSERT_TRUE(vcl::headless::userClick(MainForm->btnRefresh));
    EXPECT_EQ(Boxes(), std::vector<Box>{Error(kLibraryMissing)});
    EXPECT_TRUE(disk->trace().empty());
    EXPECT_EQ(World().LoadedLibraryCount(), 0);
    EXPECT_EQ(HandlesBesidesTheMutex(), 0);
}

TEST_F(MainFormTest, MissingGetAllDeviceNameIsReportedAndTheLibraryFreed) {
    auto disk = AddDisk(u"DISK");
    World().HideExport(kLibrary, "GetAllDeviceName");
    ASSERT_EQ(AppMain(), 0);
    EXPECT_EQ(Boxes(), std::vector<Box>{Error("Load library failed!")});
    EXPECT_TRUE(ListedNames().empty());
    EXPECT_TRUE(disk->trace().empty());
    EXPECT_EQ(World().LoadedLibraryCount(), 0);
    EXPECT_EQ(HandlesBesidesTheMutex(), 0);
}

TEST_F(MainFormTest, OtherMissingExportsDoNotConcernTheList) {
    World().HideExport(kLibrary, "CheckPwd");
    AddDisk(u"DISK");
    ASSERT_EQ(AppMain(), 0);
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(ListedNames(), std::vector<std::string>{"DISK"});
}

// --- the "Pop" setting ------------------------------------------------------------------

TEST_F(MainFormTest, WithoutTheKeyTheBoxStartsClearedAndClicksStoreNothing) {
    ASSERT_EQ(AppMain(), 0);
    EXPECT_FALSE(MainForm->rbtnAutoPopUp->Checked());
    ASSERT_TRUE(vcl::headless::userClick(MainForm->rbtnAutoPopUp));
    EXPECT_TRUE(MainForm->rbtnAutoPopUp->Checked());
    EXPECT_FALSE(World().RegistryKeyExists(kSettingsKey));
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(MainFormTest, PopZeroStartsClearedAndClicksWriteOneThenZero) {
    World().SetRegistryDword(kSettingsKey, "Pop", 0);
    ASSERT_EQ(AppMain(), 0);
    EXPECT_FALSE(MainForm->rbtnAutoPopUp->Checked());
    EXPECT_EQ(World().GetRegistryDword(kSettingsKey, "Pop"), 0u);
    ASSERT_TRUE(vcl::headless::userClick(MainForm->rbtnAutoPopUp));
    EXPECT_EQ(World().GetRegistryDword(kSettingsKey, "Pop"), 1u);
    ASSERT_TRUE(vcl::headless::userClick(MainForm->rbtnAutoPopUp));
    EXPECT_EQ(World().GetRegistryDword(kSettingsKey, "Pop"), 0u);
    EXPECT_EQ(World().OpenHandleCount(winsim::HandleKind::RegistryKey), 0);
}

TEST_F(MainFormTest, AnyNonZeroPopIsCheckedAndRewrittenAsOne) {
    World().SetRegistryDword(kSettingsKey, "Pop", 7);
    ASSERT_EQ(AppMain(), 0);
    EXPECT_TRUE(MainForm->rbtnAutoPopUp->Checked());
    EXPECT_EQ(World().GetRegistryDword(kSettingsKey, "Pop"), 1u);
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(MainFormTest, KeyWithoutFullAccessLeavesTheBoxClearedAndUnstored) {
    World().SetRegistryDword(kSettingsKey, "Pop", 1);
    World().DenyRegistryFullAccess(kSettingsKey);
    ASSERT_EQ(AppMain(), 0);
    EXPECT_FALSE(MainForm->rbtnAutoPopUp->Checked());
    ASSERT_TRUE(vcl::headless::userClick(MainForm->rbtnAutoPopUp));
    ASSERT_TRUE(vcl::headless::userClick(MainForm->rbtnAutoPopUp));
    EXPECT_EQ(World().GetRegistryDword(kSettingsKey, "Pop"), 1u);
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(MainFormTest, ClickWithoutPopShowsTheRegistryErrorAndWritesNothing) {
    World().CreateRegistryKey(kSettingsKey);
    ASSERT_EQ(AppMain(), 0);
    World().ClearMessageBoxes();
    ASSERT_TRUE(vcl::headless::userClick(MainForm->rbtnAutoPopUp));
    EXPECT_EQ(Boxes(), std::vector<Box>{ExceptionBox("Failed to get data for 'Pop'")});
    EXPECT_TRUE(MainForm->rbtnAutoPopUp->Checked());
    EXPECT_FALSE(World().GetRegistryValue(kSettingsKey, "Pop").has_value());
    EXPECT_EQ(World().OpenHandleCount(winsim::HandleKind::RegistryKey), 0);
}

// --- the icon and the window's place --------------------------------------------------------

TEST_F(MainFormTest, CreationAddsTheIconAndThenGivesItPictureAndTip) {
    ASSERT_EQ(AppMain(), 0);
    const std::vector<winsim::NotifyIconCall>& calls = World().NotifyIconCalls();
    ASSERT_EQ(calls.size(), 2u);
    const std::uintptr_t window = reinterpret_cast<std::uintptr_t>(MainForm->Handle());
    EXPECT_EQ(calls[0].message, NIM_ADD);
    EXPECT_EQ(calls[1].message, NIM_MODIFY);
    for (const winsim::NotifyIconCall& call : calls) {
        EXPECT_EQ(call.cbSize, 488u);
        EXPECT_EQ(call.data.window, window);
        EXPECT_EQ(call.data.id, 1006u);
        EXPECT_EQ(call.data.flags, 7u);
        EXPECT_EQ(call.data.callbackMessage, 0x8064u);
        EXPECT_TRUE(call.succeeded);
    }
    EXPECT_EQ(calls[0].data.icon, 0u);
    EXPECT_EQ(calls[0].data.tip, "");
    EXPECT_NE(calls[1].data.icon, 0u);
    EXPECT_EQ(calls[1].data.icon, reinterpret_cast<std::uintptr_t>(MainForm->ImgICON->Icon().Handle()));
    EXPECT_EQ(calls[1].data.tip, "SECURITY");
    ASSERT_EQ(World().NotifyIcons().size(), 1u);
    EXPECT_EQ(World().NotifyIcons()[0].tip, "SECURITY");
}

TEST_F(MainFormTest, ProgramEndRemovesTheIcon) {
    ASSERT_EQ(AppMain(), 0);
    ASSERT_TRUE(vcl::headless::userCloseBox(MainForm));
    EXPECT_TRUE(vcl::headless::programEnded());
    EXPECT_TRUE(World().NotifyIcons().empty());
}

TEST_F(MainFormTest, CentredOnceAtCreation) {
    World().SetScreenSize(800, 600);
    ASSERT_EQ(AppMain(), 0);
    EXPECT_EQ(MainForm->Left(), (800 - MainForm->Width()) / 2);
    EXPECT_EQ(MainForm->Top(), (600 - MainForm->Height()) / 2);

    // Not again when it is shown.
    World().SetScreenSize(1280, 1024);
    MainForm->SetVisible(false);
    MainForm->SetVisible(true);
    EXPECT_EQ(MainForm->Left(), (800 - MainForm->Width()) / 2);
}

}  // namespace
}  // namespace apptest
