// The notification-area icon, driven as a person would: the system delivers
// the icon's mouse events to the window the icon is registered with, as its
// callback message; the menu it opens is picked from or dismissed.
#include "app_test.h"

#include "app/Jutility.h"
#include "app/Main.h"

namespace apptest {
namespace {

using vcl::headless::lastRefusal;
using vcl::headless::openMenu;
using vcl::headless::programEnded;
using vcl::headless::sendMessage;
using vcl::headless::userClick;
using vcl::headless::userDismissMenu;
using vcl::headless::userMenu;
using vcl::headless::userType;

constexpr const char* kUtilityCaption = "USB Flash Disk Utility Menu";
constexpr LPARAM kDoubleClick = WM_LBUTTONDBLCLK;
constexpr LPARAM kRightClick = WM_RBUTTONUP;

std::vector<std::string> ListedNames() {
    std::vector<std::string> names;
    const vcl::TStrings& items = MainForm->cboxDeviceList->Items();
    for (int i = 0; i < items.Count(); ++i) names.push_back(items[i]);
    return names;
}

enum class Shown { PasswordWindow, UtilityWindow, Nothing };

std::string Name(Shown state) {
    switch (state) {
        case Shown::PasswordWindow: return "PasswordWindow";
        case Shown::UtilityWindow: return "UtilityWindow";
        case Shown::Nothing: return "Nothing";
    }
    return "";
}
void PrintTo(Shown state, std::ostream* out) { *out << Name(state); }
std::string Describe(const testing::TestParamInfo<Shown>& info) { return Name(info.param); }

class TrayIconTest : public AppTest {
protected:
    // Starts the program with one disk whose password is "secret" and brings
    // it to the state asked for: the password window (as at start), the
    // utility window (after the correct password), or nothing but the icon
    // (then "Minimize" in the utility window).
    void StartIn(Shown state) {
        emulator::Config config;
        config.deviceName = u"DISK";
        config.password = "secret";
        disk_ = std::make_shared<emulator::Controller>(config);
        World().AddDevice(disk_);
        ASSERT_EQ(AppMain(), 0);
        ASSERT_TRUE(MainForm->Visible());
        if (state != Shown::PasswordWindow) {
            ASSERT_TRUE(userType(MainForm->edtPwd, "secret")) << lastRefusal();
            ASSERT_TRUE(userClick(MainForm->btnOk)) << lastRefusal();
            ASSERT_TRUE(JUtilityForm->Visible());
        }
        if (state == Shown::Nothing) {
            ASSERT_TRUE(userClick(JUtilityForm->btnMini)) << lastRefusal();
        }
        World().ClearMessageBoxes();
    }

    // A mouse event on the icon, sent as the system does: to the window the
    // icon is registered with, with the message it asked for.
    static bool OnIcon(LPARAM mouseEvent) {
        const std::vector<winsim::NotifyIcon> icons = World().NotifyIcons();
        if (icons.size() != 1) {
            ADD_FAILURE() << icons.size() << " icons in the notification area";
            return false;
        }
        return sendMessage(reinterpret_cast<HWND>(icons[0].window), icons[0].callbackMessage, icons[0].id,
                           mouseEvent);
    }

    std::shared_ptr<emulator::Controller> disk_;
};

class TrayIconInEveryStateTest : public TrayIconTest, public testing::WithParamInterface<Shown> {};

INSTANTIATE_TEST_SUITE_P(States, TrayIconInEveryStateTest,
                         testing::Values(Shown::PasswordWindow, Shown::UtilityWindow, Shown::Nothing), Describe);

std::vector<std::string> ItemCaptions(const vcl::TPopupMenu* menu) {
    std::vector<std::string> captions;
    for (const vcl::TMenuItem* item : menu->Items()) captions.push_back(item->Caption());
    return captions;
}

// --- double click ---------------------------------------------------------------------

TEST_F(TrayIconTest, DoubleClickLeavesAVisibleWindowAsItIs) {
    StartIn(Shown::PasswordWindow);
    ASSERT_TRUE(userType(MainForm->edtPwd, "wrong"));
    ASSERT_TRUE(userClick(MainForm->btnOk));
    ASSERT_TRUE(userType(MainForm->edtPwd, "half"));
    disk_->ClearTrace();

    ASSERT_TRUE(OnIcon(kDoubleClick)) << lastRefusal();
    // Not shown again: the typed text and the count stay, the list is not refilled.
    EXPECT_EQ(MainForm->edtPwd->Text(), "half");
    EXPECT_EQ(FailedAttempts, 1);
    EXPECT_TRUE(disk_->trace().empty());
    EXPECT_EQ(VisibleWindows(), std::vector<std::string>{kMainCaption});
}

TEST_F(TrayIconTest, DoubleClickWhileTheUtilityWindowIsVisibleDoesNothing) {
    StartIn(Shown::UtilityWindow);
    ASSERT_TRUE(OnIcon(kDoubleClick)) << lastRefusal();
    EXPECT_EQ(VisibleWindows(), std::vector<std::string>{kUtilityCaption});
    EXPECT_FALSE(MainForm->Visible());
}

TEST_F(TrayIconTest, MinimizeLeavesOnlyTheIconAndADoubleClickAsksForThePasswordAgain) {
    StartIn(Shown::Nothing);
    EXPECT_TRUE(VisibleWindows().empty());
    EXPECT_FALSE(programEnded());
    ASSERT_EQ(World().NotifyIcons().size(), 1u);

    // What happened meanwhile: the disk went, another came; the window's
    // count and edit hold leftovers.
    disk_->Remove();
    AddDisk(u"OTHER");
    FailedAttempts = 2;
    MainForm->edtPwd->SetText("stale");

    ASSERT_TRUE(OnIcon(kDoubleClick)) << lastRefusal();
    EXPECT_EQ(VisibleWindows(), std::vector<std::string>{kMainCaption});
    EXPECT_FALSE(JUtilityForm->Visible());
    EXPECT_EQ(ListedNames(), std::vector<std::string>{"OTHER"});
    EXPECT_EQ(FailedAttempts, 0);
    EXPECT_TRUE(MainForm->edtPwd->Focused());
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(World().LoadedLibraryCount(), 0);
}

TEST_F(TrayIconTest, AfterADoubleClickThePasswordOpensTheUtilityWindowAgain) {
    StartIn(Shown::Nothing);
    ASSERT_TRUE(OnIcon(kDoubleClick));
    ASSERT_TRUE(userType(MainForm->edtPwd, "secret")) << lastRefusal();
    ASSERT_TRUE(userClick(MainForm->btnOk)) << lastRefusal();
    EXPECT_EQ(VisibleWindows(), std::vector<std::string>{kUtilityCaption});
}

TEST_F(TrayIconTest, OtherMouseEventsDoNothing) {
    StartIn(Shown::Nothing);
    // Mouse move, left down, left up, right down, right double click.
    for (const LPARAM event : {0x200, 0x201, 0x202, 0x204, 0x206}) {
        ASSERT_TRUE(OnIcon(event)) << lastRefusal();
        EXPECT_TRUE(VisibleWindows().empty()) << event;
        EXPECT_EQ(openMenu(), nullptr) << event;
    }
    EXPECT_TRUE(World().ForegroundCalls().empty());
}

// --- right click and the menu -----------------------------------------------------------

TEST_P(TrayIconInEveryStateTest, RightClickOpensTheMenuAtTheCursor) {
    StartIn(GetParam());
    const std::vector<std::string> visible = VisibleWindows();

    World().SetCursorPosition(1000, 740);
    ASSERT_TRUE(OnIcon(kRightClick)) << lastRefusal();
    ASSERT_EQ(openMenu(), MainForm->PopupMenu);
    EXPECT_EQ(ItemCaptions(openMenu()), (std::vector<std::string>{"Show SECURITY", "Exit SECURITY"}));
    EXPECT_EQ(vcl::headless::openMenuX(), 1000);
    EXPECT_EQ(vcl::headless::openMenuY(), 740);
    EXPECT_EQ(MainForm->PopupMenu->PopupComponent(), MainForm);
    EXPECT_EQ(World().ForegroundCalls(),
              std::vector<std::uintptr_t>{reinterpret_cast<std::uintptr_t>(MainForm->Handle())});
    // Opening the menu shows nothing.
    EXPECT_EQ(VisibleWindows(), visible);

    ASSERT_TRUE(userDismissMenu());
    EXPECT_EQ(VisibleWindows(), visible);
    EXPECT_FALSE(programEnded());
}

TEST_F(TrayIconTest, WithoutTheCursorPositionARightClickShowsThePasswordWindow) {
    StartIn(Shown::UtilityWindow);
    World().SetCursorPosFails(true);
    ASSERT_TRUE(OnIcon(kRightClick)) << lastRefusal();
    // Whatever else is visible.
    EXPECT_TRUE(MainForm->Visible());
    EXPECT_TRUE(JUtilityForm->Visible());
    EXPECT_EQ(openMenu(), nullptr);
    EXPECT_TRUE(World().ForegroundCalls().empty());
}

TEST_F(TrayIconTest, ShowSecurityReturnsToThePasswordCheckOnlyWhenAllIsHidden) {
    StartIn(Shown::UtilityWindow);
    ASSERT_TRUE(OnIcon(kRightClick));
    ASSERT_TRUE(userMenu(MainForm->ShowSECURITY1)) << lastRefusal();
    EXPECT_EQ(VisibleWindows(), std::vector<std::string>{kUtilityCaption});

    ASSERT_TRUE(userClick(JUtilityForm->btnMini));
    AddDisk(u"SECOND");
    ASSERT_TRUE(OnIcon(kRightClick));
    ASSERT_TRUE(userMenu(MainForm->ShowSECURITY1)) << lastRefusal();
    EXPECT_EQ(VisibleWindows(), std::vector<std::string>{kMainCaption});
    EXPECT_EQ(ListedNames(), (std::vector<std::string>{"DISK", "SECOND"}));
    EXPECT_EQ(MainForm->edtPwd->Text(), "");
    EXPECT_EQ(FailedAttempts, 0);

    // With the password window up it changes nothing either.
    ASSERT_TRUE(userType(MainForm->edtPwd, "sec"));
    disk_->ClearTrace();
    ASSERT_TRUE(OnIcon(kRightClick));
    ASSERT_TRUE(userMenu(MainForm->ShowSECURITY1));
    EXPECT_EQ(MainForm->edtPwd->Text(), "sec");
    EXPECT_TRUE(disk_->trace().empty());
}

TEST_P(TrayIconInEveryStateTest, ExitSecurityEndsTheProgramAndTheIconGoes) {
    StartIn(GetParam());
    const std::size_t before = World().NotifyIconCalls().size();

    ASSERT_TRUE(OnIcon(kRightClick));
    ASSERT_TRUE(userMenu(MainForm->ExitSECURITY1)) << lastRefusal();
    EXPECT_TRUE(programEnded());
    EXPECT_TRUE(World().NotifyIcons().empty());
    EXPECT_TRUE(VisibleWindows().empty());
    EXPECT_TRUE(Boxes().empty());
    // The menu's delete, then those of the utility window and the main
    // window as they are destroyed, which find nothing.
    const std::vector<winsim::NotifyIconCall>& calls = World().NotifyIconCalls();
    ASSERT_EQ(calls.size(), before + 3);
    for (std::size_t i = before; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].message, static_cast<std::uint32_t>(NIM_DELETE));
        EXPECT_EQ(calls[i].succeeded, i == before) << i;
    }
    EXPECT_EQ(World().LoadedLibraryCount(), 0);
    EXPECT_EQ(HandlesBesidesTheMutex(), 0);
}

// --- the window handle and the utility window -----------------------------------------------

TEST_F(TrayIconTest, AfterTheFirstOkTheIconAnswersThroughTheNewWindow) {
    StartIn(Shown::PasswordWindow);
    const HWND stayOnTop = MainForm->Handle();
    ASSERT_TRUE(userType(MainForm->edtPwd, "wrong"));
    ASSERT_TRUE(userClick(MainForm->btnOk));
    ASSERT_NE(MainForm->Handle(), stayOnTop);
    EXPECT_FALSE(sendMessage(stayOnTop, WM_TRAYICON, ID_TRAYICON, kRightClick));

    ASSERT_TRUE(OnIcon(kRightClick)) << lastRefusal();
    EXPECT_EQ(openMenu(), MainForm->PopupMenu);
    EXPECT_EQ(World().ForegroundCalls().back(), reinterpret_cast<std::uintptr_t>(MainForm->Handle()));
    ASSERT_TRUE(userDismissMenu());

    ASSERT_TRUE(userType(MainForm->edtPwd, "secret"));
    ASSERT_TRUE(userClick(MainForm->btnOk));
    ASSERT_TRUE(userClick(JUtilityForm->btnMini));
    ASSERT_TRUE(OnIcon(kDoubleClick)) << lastRefusal();
    EXPECT_EQ(VisibleWindows(), std::vector<std::string>{kMainCaption});
}

TEST_F(TrayIconTest, TheIconsMessageReachingTheUtilityWindowActsOnTheMainWindow) {
    StartIn(Shown::Nothing);
    const HWND utility = JUtilityForm->Handle();
    World().SetCursorPosition(3, 4);
    ASSERT_TRUE(sendMessage(utility, WM_TRAYICON, ID_TRAYICON, kRightClick)) << lastRefusal();
    ASSERT_EQ(openMenu(), MainForm->PopupMenu);
    EXPECT_EQ(MainForm->PopupMenu->PopupComponent(), MainForm);
    EXPECT_EQ(World().ForegroundCalls(),
              std::vector<std::uintptr_t>{reinterpret_cast<std::uintptr_t>(MainForm->Handle())});
    ASSERT_TRUE(userDismissMenu());

    ASSERT_TRUE(sendMessage(utility, WM_TRAYICON, ID_TRAYICON, kDoubleClick)) << lastRefusal();
    EXPECT_EQ(VisibleWindows(), std::vector<std::string>{kMainCaption});
}

}  // namespace
}  // namespace apptest
