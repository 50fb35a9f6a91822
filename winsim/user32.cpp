// user32 stand-in: message boxes (recorded, answered from a script),
// top-level windows for FindWindowA, the cursor, the foreground window,
// screen metrics and the character classes of the ANSI code page.
#include <windows.h>

#include <algorithm>

#include "winsim/internals.h"

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

// The answers a box offers, by its button code; the first is what Enter gives.
std::vector<int> Answers(UINT buttons) {
    constexpr int kAbort = 3, kRetry = 4, kIgnore = 5, kYes = 6, kNo = 7;
    switch (buttons) {
        case MB_OK: return {IDOK};
        case MB_OKCANCEL: return {IDOK, IDCANCEL};
        case 2: return {kAbort, kRetry, kIgnore};
        case 3: return {kYes, kNo, IDCANCEL};
        case 4: return {kYes, kNo};
        case 5: return {kRetry, IDCANCEL};
        default: return {};
    }
}

std::string Text(LPCSTR text, const char* absent) { return text == nullptr ? std::string(absent) : std::string(text); }

std::vector<winsim::TopLevelWindow>::iterator FindWindowEntry(winsim::World::Internals& in, std::uintptr_t window) {
    return std::find_if(in.windows.begin(), in.windows.end(),
                        [&](const winsim::TopLevelWindow& entry) { return entry.handle == window; });
}

}  // namespace

namespace winsim {

// --- World: message boxes ----------------------------------------------------------------

const std::vector<MessageBoxCall>& World::MessageBoxes() const { return internals_->messageBoxes; }

void World::ClearMessageBoxes() {
    Lock lock(mutex());
    internals().messageBoxes.clear();
}

void World::ScriptMessageBoxAnswer(int answer) {
    Lock lock(mutex());
    internals().messageBoxAnswers.push_back(answer);
}

int World::UnusedMessageBoxAnswers() const {
    Lock lock(internals_->mutex);
    return static_cast<int>(internals_->messageBoxAnswers.size());
}

int World::MessageBoxScriptErrors() const {
    Lock lock(internals_->mutex);
    return internals_->messageBoxScriptErrors;
}

void World::SetMessageBoxHook(std::function<void(const MessageBoxCall&)> hook) {
    Lock lock(mutex());
    internals().messageBoxHook = std::move(hook);
}

void World::SetMessageBoxObserver(std::function<void(bool open)> observer) {
    Lock lock(mutex());
    internals().messageBoxObserver = std::move(observer);
}

// --- World: windows ------------------------------------------------------------------------

std::uintptr_t World::CreateTopLevelWindow(const std::string& className, const std::string& title, bool visible) {
    Lock lock(mutex());
    TopLevelWindow window;
    window.handle = internals().NewHandleValue();
    window.className = className;
    window.title = title;
    window.visible = visible;
    internals().windows.push_back(window);
    return window.handle;
}

bool World::DestroyTopLevelWindow(std::uintptr_t window) {
    Lock lock(mutex());
    const auto it = FindWindowEntry(internals(), window);
    if (it == internals().windows.end()) return false;
    internals().windows.erase(it);
    return true;
}

void World::SetWindowTitle(std::uintptr_t window, const std::string& title) {
    Lock lock(mutex());
    const auto it = FindWindowEntry(internals(), window);
    if (it != internals().windows.end()) it->title = title;
}

void World::SetWindowVisible(std::uintptr_t window, bool visible) {
    Lock lock(mutex());
    const auto it = FindWindowEntry(internals(), window);
    if (it != internals().windows.end()) it->visible = visible;
}

std::optional<TopLevelWindow> World::FindTopLevelWindow(std::uintptr_t window) const {
    Lock lock(internals_->mutex);
    const auto it = FindWindowEntry(*internals_, window);
    if (it == internals_->windows.end()) return std::nullopt;
    return *it;
}

std::vector<TopLevelWindow> World::TopLevelWindows() const {
    Lock lock(internals_->mutex);
    return internals_->windows;
}

// --- World: screen, cursor, foreground -------------------------------------------------------

void World::SetScreenSize(int width, int height) {
    Lock lock(mutex());
    internals().screenWidth = width;
    internals().screenHeight = height;
}

void World::SetCursorPosition(int x, int y) {
    Lock lock(mutex());
    internals().cursorX = x;
    internals().cursorY = y;
}

void World::SetCursorPosFails(bool fails) {
    Lock lock(mutex());
    internals().cursorPosFails = fails;
}

const std::vector<std::uintptr_t>& World::ForegroundCalls() const { return internals_->foregroundCalls; }

}  // namespace winsim

extern "C" {

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
    winsim::World& world = winsim::World::Get();
    winsim::MessageBoxCall call;
    std::function<void(const winsim::MessageBoxCall&)> hook;
    std::function<void(bool open)> observer;
    {
        Lock lock(world.mutex());
        winsim::World::Internals& in = world.internals();
        const std::vector<int> answers = Answers(uType & 0x0Fu);
        if (answers.empty()) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        call.text = Text(lpText, "");
        call.caption = Text(lpCaption, "Error");  // the system's caption for a box without one
        call.type = uType;
        call.owner = reinterpret_cast<std::uintptr_t>(hWnd);
        call.answer = answers.front();
        if (!in.messageBoxAnswers.empty()) {
            const int scripted = in.messageBoxAnswers.front();
            in.messageBoxAnswers.pop_front();
            if (std::find(answers.begin(), answers.end(), scripted) != answers.end()) {
                call.answer = scripted;
            } else {
                ++in.messageBoxScriptErrors;
            }
        }
        in.messageBoxes.push_back(call);
        hook = in.messageBoxHook;
        observer = in.messageBoxObserver;
    }
    if (observer) observer(true);
    // The box is open while the hook runs: whatever it does happens "behind" the modal box.
    if (hook) hook(call);
    if (observer) observer(false);
    return call.answer;
}

HWND WINAPI FindWindowA(LPCSTR lpClassName, LPCSTR lpWindowName) {
    // A class given as an atom (a value below 0x10000) names no class here.
    if (lpClassName != nullptr && reinterpret_cast<std::uintptr_t>(lpClassName) < 0x10000) return nullptr;
    winsim::World& world = winsim::World::Get();
    Lock lock(world.mutex());
    for (const winsim::TopLevelWindow& window : world.internals().windows) {
        // Class and title compare without regard to case; hidden windows count.
        if (lpClassName != nullptr && winsim::UpperCase(window.className) != winsim::UpperCase(lpClassName)) continue;
        if (lpWindowName != nullptr && winsim::UpperCase(window.title) != winsim::UpperCase(lpWindowName)) continue;
        return reinterpret_cast<HWND>(window.handle);
    }
    return nullptr;
}

BOOL WINAPI SetForegroundWindow(HWND hWnd) {
    winsim::World& world = winsim::World::Get();
    Lock lock(world.mutex());
    winsim::World::Internals& in = world.internals();
    const auto window = reinterpret_cast<std::uintptr_t>(hWnd);
    in.foregroundCalls.push_back(window);
    return FindWindowEntry(in, window) != in.windows.end() ? TRUE : FALSE;
}

BOOL WINAPI GetCursorPos(LPPOINT lpPoint) {
    if (lpPoint == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    winsim::World& world = winsim::World::Get();
    Lock lock(world.mutex());
    const winsim::World::Internals& in = world.internals();
    if (in.cursorPosFails) {
        SetLastError(ERROR_ACCESS_DENIED);  // as on a desktop that is not the input desktop
        return FALSE;
    }
    lpPoint->x = in.cursorX;
    lpPoint->y = in.cursorY;
    return TRUE;
}

int WINAPI GetSystemMetrics(int nIndex) {
    winsim::World& world = winsim::World::Get();
    Lock lock(world.mutex());
    if (nIndex == SM_CXSCREEN) return world.internals().screenWidth;
    if (nIndex == SM_CYSCREEN) return world.internals().screenHeight;
    return 0;
}

BOOL WINAPI IsCharAlphaNumericA(CHAR ch) {
    const char16_t unit = winsim::AnsiToWide(winsim::World::Get().AnsiCodePage(), static_cast<unsigned char>(ch));
    return winsim::IsAlphaNumeric(unit) ? TRUE : FALSE;
}

}  // extern "C"
