// wincheck: looks at the windows of a running program from the outside, the
// way a person at the screen would, for the Wine check of the Windows build.
//
//   wincheck startup APP_TITLE MAIN_TITLE TIMEOUT_MS
//       Waits until a top-level window titled APP_TITLE exists and the window
//       titled MAIN_TITLE is visible, then checks that the main window is the
//       only visible top-level window of its process. A message box that
//       appears meanwhile is reported, answered with OK, and fails the check.
//   wincheck count TITLE
//       Prints how many top-level windows carry TITLE; exit code 0 when one.
//   wincheck close MAIN_TITLE TIMEOUT_MS
//       Closes the window titled MAIN_TITLE (as its close box does) and waits
//       until it is gone.
//
// Exit code 0 when the check holds, 1 when it does not, 2 on bad arguments.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr DWORD kPollMs = 50;

std::string TitleOf(HWND window) {
    char title[256] = {};
    GetWindowTextA(window, title, sizeof title);
    return title;
}

// The text of a message box: its static control has the id 0xFFFF.
std::string MessageBoxText(HWND box) {
    char text[1024] = {};
    GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
    return text;
}

// Message boxes are dialogs of class "#32770" that belong to `process`.
struct BoxSearch {
    DWORD process;
    HWND found;
};

BOOL CALLBACK FindBoxOf(HWND window, LPARAM param) {
    BoxSearch* search = reinterpret_cast<BoxSearch*>(param);
    char className[64] = {};
    GetClassNameA(window, className, sizeof className);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (std::strcmp(className, "#32770") == 0 && IsWindowVisible(window) && process == search->process) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// Reports and answers every message box of `process`; returns how many.
int AnswerMessageBoxes(DWORD process) {
    int answered = 0;
    for (;;) {
        BoxSearch search{process, nullptr};
        EnumWindows(FindBoxOf, reinterpret_cast<LPARAM>(&search));
        if (search.found == nullptr) return answered;
        std::printf("wincheck: message box \"%s\": \"%s\" (answered OK)\n", TitleOf(search.found).c_str(),
                    MessageBoxText(search.found).c_str());
        SendMessageA(search.found, WM_COMMAND, IDOK, 0);
        ++answered;
        Sleep(kPollMs);
    }
}

struct VisibleCount {
    DWORD process;
    int count;
};

BOOL CALLBACK CountVisibleOf(HWND window, LPARAM param) {
    VisibleCount* visible = reinterpret_cast<VisibleCount*>(param);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == visible->process && IsWindowVisible(window)) {
        std::printf("wincheck: visible window \"%s\"\n", TitleOf(window).c_str());
        ++visible->count;
    }
    return TRUE;
}

struct TitleCount {
    const char* title;
    int count;
};

BOOL CALLBACK CountTitle(HWND window, LPARAM param) {
    TitleCount* titles = reinterpret_cast<TitleCount*>(param);
    if (TitleOf(window) == titles->title) ++titles->count;
    return TRUE;
}

int Startup(const char* appTitle, const char* mainTitle, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    HWND app = nullptr;
    HWND mainWindow = nullptr;
    int boxes = 0;
    while (GetTickCount() - start < timeoutMs) {
        if (app == nullptr) app = FindWindowA(nullptr, appTitle);
        mainWindow = FindWindowA(nullptr, mainTitle);
        if (app != nullptr) {
            DWORD process = 0;
            GetWindowThreadProcessId(app, &process);
            boxes += AnswerMessageBoxes(process);
        }
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
    DWORD process = 0;
    GetWindowThreadProcessId(mainWindow, &process);
    boxes += AnswerMessageBoxes(process);
    VisibleCount visible{process, 0};
    EnumWindows(CountVisibleOf, reinterpret_cast<LPARAM>(&visible));
    if (boxes != 0) {
        std::printf("wincheck: %d message box(es) during start-up\n", boxes);
        return 1;
    }
    if (visible.count != 1) {
        std::printf("wincheck: %d visible top-level windows, expected only \"%s\"\n", visible.count, mainTitle);
        return 1;
    }
    return 0;
}

int Count(const char* title) {
    TitleCount titles{title, 0};
    EnumWindows(CountTitle, reinterpret_cast<LPARAM>(&titles));
    std::printf("wincheck: %d window(s) titled \"%s\"\n", titles.count, title);
    return titles.count == 1 ? 0 : 1;
}

int Close(const char* mainTitle, DWORD timeoutMs) {
    HWND mainWindow = FindWindowA(nullptr, mainTitle);
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

DWORD Milliseconds(const char* text) { return static_cast<DWORD>(std::strtoul(text, nullptr, 10)); }

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc == 5 && std::strcmp(argv[1], "startup") == 0) return Startup(argv[2], argv[3], Milliseconds(argv[4]));
    if (argc == 3 && std::strcmp(argv[1], "count") == 0) return Count(argv[2]);
    if (argc == 4 && std::strcmp(argv[1], "close") == 0) return Close(argv[2], Milliseconds(argv[3]));
    std::fprintf(stderr,
                 "usage: wincheck startup APP_TITLE MAIN_TITLE TIMEOUT_MS\n"
                 "       wincheck count TITLE\n"
                 "       wincheck close MAIN_TITLE TIMEOUT_MS\n");
    return 2;
}
