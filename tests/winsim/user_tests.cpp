// Message boxes, top-level windows, cursor, screen, foreground, the
// notification area and the text of the ANSI code page.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "winsim/world.h"

namespace {

using winsim::World;

TEST(MessageBoxes, RecordedAndAnsweredInOrder) {
    World& world = World::Get();
    HWND owner = reinterpret_cast<HWND>(world.CreateTopLevelWindow("TForm", "Owner", true));
    world.ScriptMessageBoxAnswer(IDCANCEL);
    world.ScriptMessageBoxAnswer(IDOK);

    EXPECT_EQ(MessageBoxA(owner, "Sure?", "WARNING", MB_OKCANCEL | MB_ICONWARNING), IDCANCEL);
    EXPECT_EQ(MessageBoxA(owner, "Sure?", "WARNING", MB_OKCANCEL), IDOK);
    EXPECT_EQ(MessageBoxA(nullptr, "Done.", "OK", MB_OK), IDOK);  // unscripted: OK

    const auto& boxes = world.MessageBoxes();
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[0].text, "Sure?");
    EXPECT_EQ(boxes[0].caption, "WARNING");
    EXPECT_EQ(boxes[0].buttons(), MB_OKCANCEL);
    EXPECT_EQ(boxes[0].icon(), MB_ICONWARNING);
    EXPECT_EQ(boxes[0].owner, reinterpret_cast<std::uintptr_t>(owner));
    EXPECT_EQ(boxes[2].icon(), 0u);
    EXPECT_EQ(world.MessageBoxScriptErrors(), 0);
}

TEST(MessageBoxes, AnAnswerTheBoxDoesNotOfferIsTheTestsMistake) {
    World& world = World::Get();
    world.ScriptMessageBoxAnswer(IDCANCEL);
    EXPECT_EQ(MessageBoxA(nullptr, "System Error!", "ERROR", MB_OK | MB_ICONERROR), IDOK);
    EXPECT_EQ(world.MessageBoxScriptErrors(), 1);
    EXPECT_EQ(world.UnusedMessageBoxAnswers(), 0);
}

TEST(MessageBoxes, HookActsWhileTheBoxIsOpen) {
    World& world = World::Get();
    std::vector<std::string> seen;
    world.SetMessageBoxHook([&](const winsim::MessageBoxCall& call) {
        seen.push_back(call.text);
        // A box opened from inside another (re-entrancy) is recorded after it.
        if (call.text == "outer") MessageBoxA(nullptr, "inner", "OK", MB_OK);
    });
    MessageBoxA(nullptr, "outer", "OK", MB_OK);
    EXPECT_EQ(seen, (std::vector<std::string>{"outer", "inner"}));
    ASSERT_EQ(world.MessageBoxes().size(), 2u);
    EXPECT_EQ(world.MessageBoxes()[1].text, "inner");
}

TEST(Windows, FindWindowByTitleAndClass) {
    World& world = World::Get();
    EXPECT_EQ(FindWindowA(nullptr, "KT4790CAP"), nullptr);
    const std::uintptr_t app = world.CreateTopLevelWindow("TApplication", "KT4790CAP", false);
    const std::uintptr_t form = world.CreateTopLevelWindow("TMainForm", "USB Flash Disk Password Check", true);

    // Hidden windows count; titles and classes compare without regard to case.
    EXPECT_EQ(FindWindowA(nullptr, "kt4790cap"), reinterpret_cast<HWND>(app));
    EXPECT_EQ(FindWindowA("TMAINFORM", nullptr), reinterpret_cast<HWND>(form));
    EXPECT_EQ(FindWindowA("TMainForm", "KT4790CAP"), nullptr);
    EXPECT_EQ(FindWindowA(nullptr, "KT4790MCAP"), nullptr);

    world.SetWindowTitle(app, "Other");
    EXPECT_EQ(FindWindowA(nullptr, "KT4790CAP"), nullptr);
    world.SetWindowVisible(form, false);
    EXPECT_FALSE(world.FindTopLevelWindow(form)->visible);
    EXPECT_TRUE(world.DestroyTopLevelWindow(form));
    EXPECT_FALSE(world.DestroyTopLevelWindow(form));
    EXPECT_EQ(world.TopLevelWindows().size(), 1u);
}

TEST(Windows, CursorScreenAndForeground) {
    World& world = World::Get();
    EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 1024);
    EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN), 768);
    world.SetScreenSize(800, 600);
    EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 800);

    world.SetCursorPosition(700, 590);
    POINT point{};
    ASSERT_TRUE(GetCursorPos(&point));
    EXPECT_EQ(point.x, 700);
    EXPECT_EQ(point.y, 590);
    world.SetCursorPosFails(true);
    EXPECT_FALSE(GetCursorPos(&point));

    const std::uintptr_t window = world.CreateTopLevelWindow("TMainForm", "Main", true);
    EXPECT_TRUE(SetForegroundWindow(reinterpret_cast<HWND>(window)));
    EXPECT_FALSE(SetForegroundWindow(nullptr));
    EXPECT_EQ(world.ForegroundCalls(), (std::vector<std::uintptr_t>{window, 0}));
}

class NotifyArea : public testing::Test {
protected:
    BOOL Call(DWORD message, UINT flags, const char* tip = "") {
        NOTIFYICONDATAA data;
        std::memset(&data, 0, sizeof data);
        data.cbSize = 488;
        data.hWnd = window_;
        data.uID = 1006;
        data.uFlags = flags;
        data.uCallbackMessage = 0x8064;
        data.hIcon = reinterpret_cast<HICON>(std::uintptr_t{0x77});
        std::strncpy(data.szTip, tip, sizeof data.szTip - 1);
        return Shell_NotifyIconA(message, &data);
    }
    HWND window_ = reinterpret_cast<HWND>(std::uintptr_t{0x500});
};

TEST_F(NotifyArea, AddModifyDelete) {
    World& world = World::Get();
    const UINT all = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    EXPECT_TRUE(Call(NIM_ADD, all));
    EXPECT_FALSE(Call(NIM_ADD, all));  // the icon exists already
    EXPECT_TRUE(Call(NIM_MODIFY, NIF_TIP, "SECURITY"));
    auto icons = world.NotifyIcons();
    ASSERT_EQ(icons.size(), 1u);
    EXPECT_EQ(icons[0].id, 1006u);
    EXPECT_EQ(icons[0].callbackMessage, 0x8064u);
    EXPECT_EQ(icons[0].icon, 0x77u);
    EXPECT_EQ(icons[0].tip, "SECURITY");

    EXPECT_TRUE(Call(NIM_DELETE, all));
    EXPECT_FALSE(Call(NIM_DELETE, all));
    EXPECT_FALSE(Call(NIM_MODIFY, all));
    EXPECT_TRUE(world.NotifyIcons().empty());
    const auto& calls = world.NotifyIconCalls();
    ASSERT_EQ(calls.size(), 6u);
    EXPECT_EQ(calls[2].message, NIM_MODIFY);
    EXPECT_TRUE(calls[2].succeeded);
    EXPECT_FALSE(calls[4].succeeded);
}

TEST_F(NotifyArea, RecordIsReadWithinItsBounds) {
    NOTIFYICONDATAA data;
    std::memset(&data, 'x', sizeof data);  // a tip without terminator
    data.cbSize = 488;
    data.hWnd = window_;
    data.uID = 1;
    data.uFlags = NIF_TIP;
    EXPECT_TRUE(Shell_NotifyIconA(NIM_ADD, &data));
    EXPECT_EQ(World::Get().NotifyIcons()[0].tip, std::string(127, 'x'));

    data.cbSize = 88;  // a record of another size is refused
    data.uID = 2;
    EXPECT_FALSE(Shell_NotifyIconA(NIM_ADD, &data));
    EXPECT_FALSE(Shell_NotifyIconA(NIM_ADD, nullptr));
}

TEST(Text, WideTextToTheAnsiCodePage) {
    const WCHAR name[] = {u'K', 0x00E9, 0x20AC, 0x0416, 0};  // K e-acute euro Cyrillic-Zhe
    char out[8];
    std::memset(out, 0x55, sizeof out);
    BOOL usedDefault = FALSE;
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, name, -1, out, sizeof out, nullptr, &usedDefault), 5);
    EXPECT_STREQ(out, "K\xE9\x80?");
    EXPECT_TRUE(usedDefault);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, name, 3, nullptr, 0, nullptr, &usedDefault), 3);
    EXPECT_FALSE(usedDefault);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, name, -1, out, 4, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INSUFFICIENT_BUFFER});

    WCHAR wide[4] = {};
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, "\x80\x8A\xFF", 3, wide, 4), 3);
    EXPECT_EQ(wide[0], 0x20AC);
    EXPECT_EQ(wide[1], 0x0160);
    EXPECT_EQ(wide[2], 0x00FF);

    World::Get().SetAnsiCodePage(28591);
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, name, -1, out, sizeof out, nullptr, &usedDefault), 5);
    EXPECT_STREQ(out, "K\xE9??");
}

TEST(Text, AlphaNumericCharactersOfTheCodePage) {
    for (const char c : std::string("azAZ09\xE9\xC0\xFF\x8A\x9F\xAA\xB2")) {
        EXPECT_TRUE(IsCharAlphaNumericA(c)) << static_cast<int>(static_cast<unsigned char>(c));
    }
    for (const char c : std::string(" -_.\x80\xD7\xF7\xA0\xBF")) {
        EXPECT_FALSE(IsCharAlphaNumericA(c)) << static_cast<int>(static_cast<unsigned char>(c));
    }
    World::Get().SetAnsiCodePage(28591);
    EXPECT_FALSE(IsCharAlphaNumericA('\x8A'));  // a control character there
}

}  // namespace
