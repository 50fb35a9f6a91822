// wincheck: looks at the windows of a running program from the outside, the
// way a person at the screen would, for the Wine check of the Windows build.
//
//   wincheck startup APP_TITLE MAIN_TITLE TIMEOUT_MS
//       Waits until a top-level window titled APP_TITLE exists and the window
//       titled MAIN_TITLE is visible, then checks that the main window is the
//       only visible top-level window of its process. A message box that
//       appears meanwhile is reported, answered with OK, and fails the check.
//   wincheck count TITLE [EXPECTED]
//       Prints how many top-level windows carry TITLE; exit code 0 when
//       EXPECTED (default 1).
//   wincheck close MAIN_TITLE TIMEOUT_MS
//       Closes the window titled MAIN_TITLE (as its close box does) and waits
//       until it is gone.
//   wincheck box CAPTION TEXT TIMEOUT_MS [keep]
//       Waits for a message box with CAPTION and checks its text is TEXT;
//       answers it with OK, or with "keep" leaves it open.
//   wincheck answer CAPTION
//       Answers the message box with CAPTION with OK.
//   wincheck settext TITLE TEXT [N]
//       Sets the text of the edit that lies directly on the window TITLE,
//       the N-th of them (from 1, in the order the program made them;
//       default 1).
//   wincheck type TITLE TEXT [N]
//       Clicks into that edit, then types TEXT into it key by key as keys
//       does.
//   wincheck keys TITLE TEXT
//       Types TEXT key by key, without a click, into the edit of the window
//       TITLE that has the keyboard focus, as the keyboard does: a key down
//       and a key up for each character, which the program's message loop
//       turns into the character, so that the edit's key handlers see every
//       key. Before each key it waits (up to 5 s) for the focus to be on an
//       edit of that window, and fails, saying where the focus is, when it
//       is not: so no key is lost unseen.
//   wincheck click TITLE CAPTION
//       Presses the button CAPTION of the window TITLE.
//   wincheck selected TITLE TEXT
//       Checks that the combo box of the window TITLE shows TEXT.
//   wincheck choose TITLE TEXT
//       Picks the item TEXT in the list of the combo box of the window TITLE,
//       as a click on it does: the item is selected and the window is told.
//   wincheck shown TITLE yes|no TIMEOUT_MS
//       Waits until a window TITLE is visible (yes) or none is (no).
//   wincheck noboxes
//       Checks that no message box is shown now; any is reported and answered.
//   wincheck tray TIP present|absent TIMEOUT_MS
//       Waits until a notification-area icon with the tip TIP is shown (or
//       none is): Wine shows each icon as a window of the class
//       "__winex11_tray_icon", and its tip as a tool of a tooltip window of
//       the shell's process.
//   wincheck rect TITLE
//       Prints the screen rectangle of the window TITLE as an ImageMagick
//       geometry, WIDTHxHEIGHT+LEFT+TOP, for a screenshot of that window.
//   wincheck windows
//       Lists every window, top-level and child, with its class, title,
//       process, visibility and screen rectangle.
//
// A TITLE names the visible top-level window with that title when there is
// one (two dialogs of a program may share a title, one of them hidden), else
// a hidden one.
//
// Exit code 0 when the check holds, 1 when it does not, 2 on bad arguments.
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr DWORD kPollMs = 50;
constexpr DWORD kKeyMs = 100;  // how long a typed key is held, and the pause after it
constexpr char kMessageBoxClass[] = "#32770";
constexpr char kTrayIconClass[] = "__winex11_tray_icon";
constexpr char kTooltipClass[] = "tooltips_class32";

std::string TitleOf(HWND window) {
    char title[256] = {};
    GetWindowTextA(window, title, sizeof title);
    return title;
}

std::string ClassOf(HWND window) {
    char className[128] = {};
    GetClassNameA(window, className, sizeof className);
    return className;
}

DWORD ProcessOf(HWND window) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    return process;
}

// The text of a message box: its static control has the id 0xFFFF.
std::string MessageBoxText(HWND box) {
    char text[1024] = {};
    GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
    return text;
}

BOOL CALLBACK CollectWindow(HWND window, LPARAM param) {
    reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
    return TRUE;
}

std::vector<HWND> TopLevelWindows() {
    std::vector<HWND> windows;
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&windows));
    return windows;
}

// Every window: the top-level ones and all their descendants.
std::vector<HWND> AllWindows() {
    std::vector<HWND> windows;
    for (HWND top : TopLevelWindows()) {
        windows.push_back(top);
        EnumChildWindows(top, CollectWindow, reinterpret_cast<LPARAM>(&windows));
    }
    return windows;
}

// The visible message boxes: of `process`, or of any process when 0.
std::vector<HWND> MessageBoxes(DWORD process) {
    std::vector<HWND> boxes;
    for (HWND window : TopLevelWindows()) {
        if (ClassOf(window) == kMessageBoxClass && IsWindowVisible(window) &&
            (process == 0 || ProcessOf(window) == process)) {
            boxes.push_back(window);
        }
    }
    return boxes;
}

// Reports and answers every message box of `process` (0: of any); returns how many.
int AnswerMessageBoxes(DWORD process) {
    int answered = 0;
    for (;;) {
        const std::vector<HWND> boxes = MessageBoxes(process);
        if (boxes.empty()) return answered;
        std::printf("wincheck: message box \"%s\": \"%s\" (answered OK)\n", TitleOf(boxes[0]).c_str(),
                    MessageBoxText(boxes[0]).c_str());
        SendMessageA(boxes[0], WM_COMMAND, IDOK, 0);
        ++answered;
        Sleep(kPollMs);
    }
}

int CountTitled(const char* title) {
    int count = 0;
    for (HWND window : TopLevelWindows()) {
        if (TitleOf(window) == title) ++count;
    }
    return count;
}

// The top-level window titled `title`: a visible one when there is one, else
// the first hidden one, else null. Two windows of a program may share a
// title (both format dialogs do), and only the one shown is the person's.
HWND FindTitled(const char* title) {
    HWND hidden = nullptr;
    for (HWND window : TopLevelWindows()) {
        if (TitleOf(window) != title) continue;
        if (IsWindowVisible(window)) return window;
        if (hidden == nullptr) hidden = window;
    }
    return hidden;
}

int Startup(const char* appTitle, const char* mainTitle, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    HWND app = nullptr;
    HWND mainWindow = nullptr;
    int boxes = 0;
    while (GetTickCount() - start < timeoutMs) {
        if (app == nullptr) app = FindTitled(appTitle);
        mainWindow = FindTitled(mainTitle);
        if (app != nullptr) boxes += AnswerMessageBoxes(ProcessOf(app));
        if (app != nullptr && mainWindow != nullptr && IsWindowVisible(mainWindow)) break;
        Sleep(kPollMs);
    }
    if (app == nullptr) {
        std::printf("wincheck: no window titled \"%s\" after %lu ms\n", appTitle, static_cast<unsigned long>(timeoutMs));
        return 1;
    }
    if (mainWindow == nullptr || !IsWindowVisible(mainWindow)) {
        std::printf("wincheck: window \"%s\" not visible after %lu ms\n", mainTitle,
                    static_cast<unsigned long>(timeoutMs));
        return 1;
    }
    std::printf("wincheck: \"%s\" exists, \"%s\" visible after %lu ms\n", appTitle, mainTitle,
                static_cast<unsigned long>(GetTickCount() - start));
    // Give the start-up a moment to show anything else it would show.
    Sleep(500);
    const DWORD process = ProcessOf(mainWindow);
    boxes += AnswerMessageBoxes(process);
    int visible = 0;
    for (HWND window : TopLevelWindows()) {
        if (ProcessOf(window) == process && IsWindowVisible(window)) {
            std::printf("wincheck: visible window \"%s\"\n", TitleOf(window).c_str());
            ++visible;
        }
    }
    if (boxes != 0) {
        std::printf("wincheck: %d message box(es) during start-up\n", boxes);
        return 1;
    }
    if (visible != 1) {
        std::printf("wincheck: %d visible top-level windows, expected only \"%s\"\n", visible, mainTitle);
        return 1;
    }
    return 0;
}

int Count(const char* title, int expected) {
    const int count = CountTitled(title);
    std::printf("wincheck: %d window(s) titled \"%s\"\n", count, title);
    return count == expected ? 0 : 1;
}

int Close(const char* mainTitle, DWORD timeoutMs) {
    HWND mainWindow = FindTitled(mainTitle);
    if (mainWindow == nullptr) {
        std::printf("wincheck: no window titled \"%s\" to close\n", mainTitle);
        return 1;
    }
    PostMessageA(mainWindow, WM_CLOSE, 0, 0);
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        if (!IsWindow(mainWindow)) {
            std::printf("wincheck: \"%s\" closed after %lu ms\n", mainTitle,
                        static_cast<unsigned long>(GetTickCount() - start));
            return 0;
        }
        Sleep(kPollMs);
    }
    std::printf("wincheck: \"%s\" still open after %lu ms\n", mainTitle, static_cast<unsigned long>(timeoutMs));
    return 1;
}

// The visible message box with `caption`, waited for; null after the time.
HWND WaitForBox(const char* caption, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        for (HWND box : MessageBoxes(0)) {
            if (TitleOf(box) == caption) return box;
        }
        if (GetTickCount() - start >= timeoutMs) return nullptr;
        Sleep(kPollMs);
    }
}

int Box(const char* caption, const char* text, DWORD timeoutMs, bool keep) {
    const DWORD start = GetTickCount();
    const HWND box = WaitForBox(caption, timeoutMs);
    if (box == nullptr) {
        std::printf("wincheck: no message box \"%s\" after %lu ms\n", caption, static_cast<unsigned long>(timeoutMs));
        AnswerMessageBoxes(0);
        return 1;
    }
    // The box's text control is made with the box; wait until it holds text.
    std::string shown = MessageBoxText(box);
    while (shown.empty() && GetTickCount() - start < timeoutMs) {
        Sleep(kPollMs);
        shown = MessageBoxText(box);
    }
    std::printf("wincheck: message box \"%s\": \"%s\" after %lu ms%s\n", caption, shown.c_str(),
                static_cast<unsigned long>(GetTickCount() - start), keep ? "" : " (answered OK)");
    if (!keep) PostMessageA(box, WM_COMMAND, IDOK, 0);
    if (shown != text) {
        std::printf("wincheck: expected the text \"%s\"\n", text);
        return 1;
    }
    return 0;
}

int Answer(const char* caption) {
    const HWND box = WaitForBox(caption, 0);
    if (box == nullptr) {
        std::printf("wincheck: no message box \"%s\" to answer\n", caption);
        return 1;
    }
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    return 0;
}

int NoBoxes() {
    const int boxes = AnswerMessageBoxes(0);
    std::printf("wincheck: %d message box(es) shown\n", boxes);
    return boxes == 0 ? 0 : 1;
}

// --- the controls of a window ------------------------------------------------

// The top-level window titled `title`, waited for (it may be made again
// under the same title while the program changes its style).
HWND WaitForWindow(const char* title, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        const HWND window = FindTitled(title);
        if (window != nullptr || GetTickCount() - start >= timeoutMs) return window;
        Sleep(kPollMs);
    }
}

// The first control of `window` (any depth) of the class `className` whose
// text is `text` (any text when null). The control's own window procedure
// answers WM_GETTEXT, so an edit or combo box shows what it holds.
HWND FindControl(HWND window, const char* className, const char* text) {
    std::vector<HWND> children;
    EnumChildWindows(window, CollectWindow, reinterpret_cast<LPARAM>(&children));
    for (HWND child : children) {
        if (lstrcmpiA(ClassOf(child).c_str(), className) != 0) continue;
        if (text == nullptr || TitleOf(child) == text) return child;
    }
    return nullptr;
}

std::string ControlText(HWND control) {
    char text[256] = {};
    SendMessageA(control, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
    return text;
}

// The `number`-th edit (from 1, in the order of the window's children, which
// is the order the program made them in) that lies directly on the window
// titled `title` (not the edit inside a combo box), or null after saying so.
HWND DirectEdit(const char* title, int number) {
    const HWND window = WaitForWindow(title, 5000);
    int seen = 0;
    for (HWND child = window != nullptr ? GetWindow(window, GW_CHILD) : nullptr; child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        if (lstrcmpiA(ClassOf(child).c_str(), "Edit") == 0 && ++seen == number) return child;
    }
    std::printf("wincheck: no edit %d on \"%s\"\n", number, title);
    return nullptr;
}

// Types into that edit by setting its text.
int SetText(const char* title, const char* text, int number) {
    const HWND edit = DirectEdit(title, number);
    if (edit == nullptr) return 1;
    SendMessageA(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
    return 0;
}

// The window that has the keyboard focus in the thread of `window`, or null.
HWND FocusOf(HWND window) {
    GUITHREADINFO info;
    std::memset(&info, 0, sizeof info);
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info)) return nullptr;
    return info.hwndFocus;
}

// Waits until the keyboard focus is on an edit of the window titled `title`
// (on `edit` when that is given; never on the edit inside a combo box) and
// returns it; null after saying where the focus is.
HWND WaitForFocusedEdit(const char* title, HWND edit, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        const HWND window = FindTitled(title);
        const HWND focus = window != nullptr ? FocusOf(window) : nullptr;
        const bool onEdit = focus != nullptr && IsChild(window, focus) && lstrcmpiA(ClassOf(focus).c_str(), "Edit") == 0 &&
                            lstrcmpiA(ClassOf(GetParent(focus)).c_str(), "ComboBox") != 0;
        if (onEdit && (edit == nullptr || focus == edit)) return focus;
        if (GetTickCount() - start >= timeoutMs) {
            std::printf("wincheck: the keyboard focus of \"%s\" is not on %s after %lu ms, but on %s \"%s\"%s\n", title,
                        edit != nullptr ? "the edit typed into" : "an edit", static_cast<unsigned long>(timeoutMs),
                        focus != nullptr ? ClassOf(focus).c_str() : "no window",
                        focus != nullptr ? TitleOf(focus).c_str() : "",
                        focus == window && window != nullptr ? " (the window itself)" : "");
            return nullptr;
        }
        Sleep(kPollMs);
    }
}

// Types into the focused edit key by key, posted as the keyboard's messages
// arrive: the key goes up only after the program's TranslateMessage has made
// the character of the key down, as it does while a finger holds the key.
int TypeIntoFocus(const char* title, HWND edit, const char* text) {
    for (const char* c = text; *c != 0; ++c) {
        const HWND target = WaitForFocusedEdit(title, edit, 5000);
        if (target == nullptr) return 1;
        const UINT key = LOBYTE(VkKeyScanA(*c));
        const LPARAM scanCode = static_cast<LPARAM>(MapVirtualKeyA(key, MAPVK_VK_TO_VSC)) << 16;
        PostMessageA(target, WM_KEYDOWN, key, scanCode | 1);
        Sleep(kKeyMs);
        PostMessageA(target, WM_KEYUP, key, scanCode | static_cast<LPARAM>(0xC0000001u));
        Sleep(kKeyMs);
    }
    std::printf("wincheck: %u key(s) typed into the focused edit of \"%s\"\n", static_cast<unsigned>(std::strlen(text)),
                title);
    return 0;
}

// Clicks into the edit, at the end of its field (the caret goes after the
// text), and types there.
int Type(const char* title, const char* text, int number) {
    const HWND edit = DirectEdit(title, number);
    if (edit == nullptr) return 1;
    RECT client;
    GetClientRect(edit, &client);
    const LPARAM at = MAKELPARAM(client.right > 2 ? client.right - 2 : 0, client.bottom / 2);
    PostMessageA(edit, WM_LBUTTONDOWN, MK_LBUTTON, at);
    PostMessageA(edit, WM_LBUTTONUP, 0, at);
    return TypeIntoFocus(title, edit, text);
}

int Keys(const char* title, const char* text) { return TypeIntoFocus(title, nullptr, text); }

// Presses the button captioned `caption` of the window titled `title`. Posted,
// not sent: its handler may sit in a message box.
int Click(const char* title, const char* caption) {
    const HWND window = WaitForWindow(title, 5000);
    const HWND button = window != nullptr ? FindControl(window, "Button", caption) : nullptr;
    if (button == nullptr) {
        std::printf("wincheck: no button \"%s\" on \"%s\"\n", caption, title);
        return 1;
    }
    PostMessageA(button, BM_CLICK, 0, 0);
    return 0;
}

// Checks that the combo box of the window titled `title` shows `text`.
int Selected(const char* title, const char* text) {
    const HWND window = WaitForWindow(title, 5000);
    const HWND combo = window != nullptr ? FindControl(window, "ComboBox", nullptr) : nullptr;
    if (combo == nullptr) {
        std::printf("wincheck: no combo box on \"%s\"\n", title);
        return 1;
    }
    const std::string shown = ControlText(combo);
    std::printf("wincheck: \"%s\" shows \"%s\" in its combo box\n", title, shown.c_str());
    return shown == text ? 0 : 1;
}

// Picks the item `text` of the combo box of the window titled `title`. The
// selection change is posted to the window, after whatever was posted to
// it before, as the combo box's own notification would be.
int Choose(const char* title, const char* text) {
    const HWND window = WaitForWindow(title, 5000);
    const HWND combo = window != nullptr ? FindControl(window, "ComboBox", nullptr) : nullptr;
    if (combo == nullptr) {
        std::printf("wincheck: no combo box on \"%s\"\n", title);
        return 1;
    }
    // The items are read in UTF-16: other processes' list texts reach this
    // one only that way whole.
    const LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
    std::string items;
    for (LRESULT index = 0; index < count; ++index) {
        WCHAR wide[256] = {};
        if (SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0) >= LRESULT{256}) continue;
        SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(wide));
        char item[256] = {};
        WideCharToMultiByte(CP_ACP, 0, wide, -1, item, sizeof item, nullptr, nullptr);
        items += std::string(" \"") + item + "\"";
        if (lstrcmpiA(item, text) != 0) continue;
        SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
        PostMessageA(GetParent(combo), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(combo), CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(combo));
        std::printf("wincheck: \"%s\" chose \"%s\" in its combo box\n", title, item);
        return 0;
    }
    std::printf("wincheck: the combo box of \"%s\" has no item \"%s\", only%s\n", title, text, items.c_str());
    return 1;
}

// Waits until a window titled `title` is visible (or until none is).
int Shown(const char* title, bool visible, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        const HWND window = FindTitled(title);
        const bool isVisible = window != nullptr && IsWindowVisible(window);
        if (isVisible == visible || GetTickCount() - start >= timeoutMs) {
            std::printf("wincheck: \"%s\" %s after %lu ms\n", title, isVisible ? "visible" : "not visible",
                        static_cast<unsigned long>(GetTickCount() - start));
            return isVisible == visible ? 0 : 1;
        }
        Sleep(kPollMs);
    }
}

// --- notification-area icons ------------------------------------------------

// The texts of the tools of a tooltip window of another process. The
// control reads and writes its tool records through pointers of its own
// process, so the record and its text buffer are placed there.
std::vector<std::pair<HWND, std::string>> TooltipTools(HWND tooltip) {
    std::vector<std::pair<HWND, std::string>> tools;
    const HANDLE process =
        OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, ProcessOf(tooltip));
    if (process == nullptr) return tools;
    constexpr SIZE_T kTextBytes = 256;
    auto* remote = static_cast<char*>(
        VirtualAllocEx(process, nullptr, sizeof(TTTOOLINFOA) + kTextBytes, MEM_COMMIT, PAGE_READWRITE));
    if (remote != nullptr) {
        char* remoteText = remote + sizeof(TTTOOLINFOA);
        const int count = static_cast<int>(SendMessageA(tooltip, TTM_GETTOOLCOUNT, 0, 0));
        for (int index = 0; index < count; ++index) {
            TTTOOLINFOA info;
            std::memset(&info, 0, sizeof info);
            info.cbSize = sizeof info;
            info.lpszText = remoteText;
            char text[kTextBytes] = {};
            SIZE_T moved = 0;
            if (!WriteProcessMemory(process, remote, &info, sizeof info, &moved) ||
                !WriteProcessMemory(process, remoteText, text, sizeof text, &moved) ||
                !SendMessageA(tooltip, TTM_ENUMTOOLSA, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(remote)) ||
                !ReadProcessMemory(process, remote, &info, sizeof info, &moved) ||
                !ReadProcessMemory(process, remoteText, text, sizeof text - 1, &moved)) {
                continue;
            }
            tools.emplace_back(info.hwnd, text);
        }
        VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    }
    CloseHandle(process);
    return tools;
}

// The tips of the notification-area icons shown now, one per icon window.
std::vector<std::string> TrayIconTips() {
    std::vector<HWND> icons;
    std::vector<HWND> tooltips;
    for (HWND window : AllWindows()) {
        const std::string className = ClassOf(window);
        if (className == kTrayIconClass && IsWindowVisible(window)) icons.push_back(window);
        if (className == kTooltipClass) tooltips.push_back(window);
    }
    std::vector<std::string> tips;
    for (HWND icon : icons) {
        std::string tip;
        for (HWND tooltip : tooltips) {
            if (ProcessOf(tooltip) != ProcessOf(icon)) continue;
            for (const auto& tool : TooltipTools(tooltip)) {
                if (tool.first == icon) tip = tool.second;
            }
        }
        tips.push_back(tip);
    }
    return tips;
}

int Tray(const char* tip, bool present, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        const std::vector<std::string> tips = TrayIconTips();
        int matching = 0;
        for (const std::string& shown : tips) {
            if (shown == tip) ++matching;
        }
        const bool done = present ? matching == 1 : matching == 0;
        if (done || GetTickCount() - start >= timeoutMs) {
            std::printf("wincheck: %u notification-area icon(s):", static_cast<unsigned>(tips.size()));
            for (const std::string& shown : tips) std::printf(" \"%s\"", shown.c_str());
            std::printf(" after %lu ms\n", static_cast<unsigned long>(GetTickCount() - start));
            if (!done) {
                std::printf("wincheck: expected %s icon with the tip \"%s\"\n", present ? "exactly one" : "no", tip);
            }
            return done ? 0 : 1;
        }
        Sleep(kPollMs);
    }
}

// --- listing -------------------------------------------------------------------

void ListTree(HWND window, int depth) {
    RECT rect = {};
    GetWindowRect(window, &rect);
    std::printf("%*s%p class \"%s\" title \"%s\" process %lu %s (%ld,%ld)-(%ld,%ld)\n", depth * 2, "",
                static_cast<void*>(window), ClassOf(window).c_str(), TitleOf(window).c_str(),
                static_cast<unsigned long>(ProcessOf(window)), IsWindowVisible(window) ? "visible" : "hidden",
                rect.left, rect.top, rect.right, rect.bottom);
    for (HWND child = GetWindow(window, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        ListTree(child, depth + 1);
    }
}

int Windows() {
    for (HWND window : TopLevelWindows()) ListTree(window, 0);
    return 0;
}

int Rect(const char* title) {
    const HWND window = FindTitled(title);
    RECT rect;
    if (window == nullptr || !GetWindowRect(window, &rect)) {
        std::printf("no window \"%s\"\n", title);
        return 1;
    }
    std::printf("%ldx%ld+%ld+%ld\n", rect.right - rect.left, rect.bottom - rect.top, rect.left, rect.top);
    return 0;
}

DWORD Milliseconds(const char* text) { return static_cast<DWORD>(std::strtoul(text, nullptr, 10)); }

bool Is(const char* argument, const char* command) { return std::strcmp(argument, command) == 0; }

// The edit settext and type work on: the optional fifth argument, else the first.
int EditNumber(int argc, char** argv) { return argc == 5 ? std::atoi(argv[4]) : 1; }

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc == 5 && Is(argv[1], "startup")) return Startup(argv[2], argv[3], Milliseconds(argv[4]));
    if ((argc == 3 || argc == 4) && Is(argv[1], "count")) {
        return Count(argv[2], argc == 4 ? std::atoi(argv[3]) : 1);
    }
    if (argc == 4 && Is(argv[1], "close")) return Close(argv[2], Milliseconds(argv[3]));
    if ((argc == 5 || argc == 6) && Is(argv[1], "box") && (argc == 5 || Is(argv[5], "keep"))) {
        return Box(argv[2], argv[3], Milliseconds(argv[4]), argc == 6);
    }
    if ((argc == 4 || argc == 5) && Is(argv[1], "settext")) return SetText(argv[2], argv[3], EditNumber(argc, argv));
    if ((argc == 4 || argc == 5) && Is(argv[1], "type")) return Type(argv[2], argv[3], EditNumber(argc, argv));
    if (argc == 4 && Is(argv[1], "keys")) return Keys(argv[2], argv[3]);
    if (argc == 4 && Is(argv[1], "click")) return Click(argv[2], argv[3]);
    if (argc == 4 && Is(argv[1], "selected")) return Selected(argv[2], argv[3]);
    if (argc == 4 && Is(argv[1], "choose")) return Choose(argv[2], argv[3]);
    if (argc == 5 && Is(argv[1], "shown") && (Is(argv[3], "yes") || Is(argv[3], "no"))) {
        return Shown(argv[2], Is(argv[3], "yes"), Milliseconds(argv[4]));
    }
    if (argc == 3 && Is(argv[1], "answer")) return Answer(argv[2]);
    if (argc == 2 && Is(argv[1], "noboxes")) return NoBoxes();
    if (argc == 5 && Is(argv[1], "tray") && (Is(argv[3], "present") || Is(argv[3], "absent"))) {
        return Tray(argv[2], Is(argv[3], "present"), Milliseconds(argv[4]));
    }
    if (argc == 2 && Is(argv[1], "windows")) return Windows();
    if (argc == 3 && Is(argv[1], "rect")) return Rect(argv[2]);
    std::fprintf(stderr,
                 "usage: wincheck startup APP_TITLE MAIN_TITLE TIMEOUT_MS\n"
                 "       wincheck count TITLE [EXPECTED]\n"
                 "       wincheck close MAIN_TITLE TIMEOUT_MS\n"
                 "       wincheck box CAPTION TEXT TIMEOUT_MS [keep]\n"
                 "       wincheck settext TITLE TEXT [N]\n"
                 "       wincheck type TITLE TEXT [N]\n"
                 "       wincheck keys TITLE TEXT\n"
                 "       wincheck click TITLE CAPTION\n"
                 "       wincheck selected TITLE TEXT\n"
                 "       wincheck choose TITLE TEXT\n"
                 "       wincheck shown TITLE yes|no TIMEOUT_MS\n"
                 "       wincheck answer CAPTION\n"
                 "       wincheck noboxes\n"
                 "       wincheck tray TIP present|absent TIMEOUT_MS\n"
                 "       wincheck rect TITLE\n"
                 "       wincheck windows\n");
    return 2;
}
