// formcheck: makes every form of the application with the real windows of
// the win32 backend and checks that what the system shows has the geometry
// of the control model: each form's outer rectangle, client size and
// title-bar icons, and for each control its window, its parent window and
// its position and size relative to the parent's client area. It also
// measures every caption with the font its window really has and reports
// each one that its control cuts: the font the system substitutes for a
// missing face may be wider than the one the layout was made for.
//
// Built twice, with the forms of KT4790CAP (formcheck.exe) and of KT4790MCAP
// (mformcheck.exe). Prints one line per mismatch and per cut caption; exit
// code 0 when there is none, 1 otherwise.
//
// The forms' show handlers run as in the program. A message box one of them
// shows (no device is attached) is reported and answered, so that the check
// goes on.
#include <windows.h>

#include <cstdio>
#include <string>

#include "app/WinMain.h"
#include "vcl/vcl.h"

namespace {

int g_mismatches = 0;
int g_controls = 0;
int g_captions = 0;
int g_cutCaptions = 0;

struct Rect {
    int left, top, width, height;
};

void Report(const std::string& what, const Rect& model, const Rect& window) {
    std::printf("formcheck: %s: model %d,%d %dx%d, window %d,%d %dx%d\n", what.c_str(), model.left, model.top,
                model.width, model.height, window.left, window.top, window.width, window.height);
    ++g_mismatches;
}

// A system rectangle as left, top, width and height.
Rect FromRect(const RECT& rect) {
    return Rect{static_cast<int>(rect.left), static_cast<int>(rect.top), static_cast<int>(rect.right - rect.left),
                static_cast<int>(rect.bottom - rect.top)};
}

bool Same(const Rect& a, const Rect& b) {
    return a.left == b.left && a.top == b.top && a.width == b.width && a.height == b.height;
}

bool HasCaption(const vcl::TControl* control) {
    switch (control->Kind()) {
        case vcl::ControlKind::Label:
        case vcl::ControlKind::Button:
        case vcl::ControlKind::BitBtn:
        case vcl::ControlKind::CheckBox:
        case vcl::ControlKind::RadioButton:
        case vcl::ControlKind::GroupBox:
            return true;
        default:
            return false;
    }
}

// The width of its window a control leaves its caption, as the system's
// controls draw it: a label writes from edge to edge; a push button (and
// the owner-drawn one, drawn alike) centres it inside its 3-D frame; a
// check box or radio button writes it after the box, which is 12 pixels
// plus one at 96 dpi, and a gap of half a digit's width, then one pixel in;
// a group box writes it 7 pixels in from each side, then one pixel in.
int CaptionRoom(const vcl::TControl* control, HDC dc, int width) {
    switch (control->Kind()) {
        case vcl::ControlKind::Button:
        case vcl::ControlKind::BitBtn:
            return width - 2 * GetSystemMetrics(SM_CXEDGE);
        case vcl::ControlKind::CheckBox:
        case vcl::ControlKind::RadioButton: {
            INT digit = 0;
            GetCharWidth32A(dc, '0', '0', &digit);
            return width - (12 * GetDeviceCaps(dc, LOGPIXELSX) / 96 + 1) - digit / 2 - 1;
        }
        case vcl::ControlKind::GroupBox:
            return width - 2 * 7 - 1;
        default:
            return width;
    }
}

// Measures the caption of a control's window with the font of that window,
// as the control draws it (one line, "&" marking the next character), and
// reports it when it is wider than the room the control leaves it.
void CheckCaption(const std::string& what, const vcl::TControl* control, HWND window) {
    if (!HasCaption(control)) return;
    char caption[256] = {};
    const int length = GetWindowTextA(window, caption, sizeof caption);
    if (length <= 0) return;
    ++g_captions;
    const HDC dc = GetDC(window);
    if (dc == nullptr) {
        std::printf("formcheck: %s: caption \"%s\" cannot be measured\n", what.c_str(), caption);
        ++g_cutCaptions;
        return;
    }
    const HGDIOBJ oldFont = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageA(window, WM_GETFONT, 0, 0)));
    RECT client;
    GetClientRect(window, &client);
    const int width = static_cast<int>(client.right - client.left);
    const int room = CaptionRoom(control, dc, width);
    RECT text = {0, 0, 0, 0};
    DrawTextA(dc, caption, length, &text, DT_CALCRECT | DT_SINGLELINE);
    char face[LF_FACESIZE] = {};
    GetTextFaceA(dc, sizeof face, face);
    SelectObject(dc, oldFont);
    ReleaseDC(window, dc);
    const int textWidth = static_cast<int>(text.right - text.left);
    if (textWidth <= room) return;
    std::printf("formcheck: %s: caption \"%s\" cut: text %d px wide in \"%s\", control %d px (%d px for its text)\n",
                what.c_str(), caption, textWidth, face, width, room);
    ++g_cutCaptions;
}

bool HasChildren(const vcl::TControl* control) {
    return control->Kind() != vcl::ControlKind::Label && control->Kind() != vcl::ControlKind::Image;
}

void CheckControl(const std::string& formName, vcl::TControl* control) {
    ++g_controls;
    const std::string what = formName + "." + control->Name();
    const HWND window = control->Handle();
    const HWND parent = control->Parent()->Handle();
    if (window == nullptr) {
        std::printf("formcheck: %s: no window\n", what.c_str());
        ++g_mismatches;
        return;
    }
    if (GetParent(window) != parent) {
        std::printf("formcheck: %s: its window is not a child of its parent's window\n", what.c_str());
        ++g_mismatches;
    }
    RECT rect;
    GetWindowRect(window, &rect);
    // Screen coordinates to the parent's client coordinates.
    MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&rect), 2);
    const Rect shown = FromRect(rect);
    const Rect model{control->Left(), control->Top(), control->Width(), control->Height()};
    if (!Same(model, shown)) Report(what, model, shown);
    CheckCaption(what, control, window);
    if (HasChildren(control)) {
        for (vcl::TControl* child : static_cast<vcl::TWinControl*>(control)->Controls()) CheckControl(formName, child);
    }
}

// The title bar has the icons of the model: system menu (with the close
// box), minimise box, maximise box.
void CheckBorderIcons(const std::string& name, const vcl::TForm* form, HWND window) {
    const LONG_PTR style = GetWindowLongPtrA(window, GWL_STYLE);
    const unsigned shown = ((style & WS_SYSMENU) ? vcl::biSystemMenu : 0u) |
                           ((style & WS_MINIMIZEBOX) ? vcl::biMinimize : 0u) |
                           ((style & WS_MAXIMIZEBOX) ? vcl::biMaximize : 0u);
    const unsigned model = form->BorderStyle() == vcl::bsNone ? 0u : form->BorderIcons();
    if (shown == model) return;
    std::printf("formcheck: %s: title-bar icons: model %u, window %u (1 system menu, 2 minimise, 4 maximise)\n",
                name.c_str(), model, shown);
    ++g_mismatches;
}

void CheckForm(vcl::TForm* form) {
    const std::string name = form->Name() + " \"" + form->Caption() + "\"";
    const HWND window = form->Handle();
    if (window == nullptr) {
        std::printf("formcheck: %s: no window\n", name.c_str());
        ++g_mismatches;
        return;
    }
    if (form->Width() <= 0 || form->Height() <= 0) {
        // A form whose layout is not written yet: nothing to compare.
        std::printf("formcheck: %s: no size in the model, not checked\n", name.c_str());
        return;
    }
    RECT outer;
    GetWindowRect(window, &outer);
    const Rect shownOuter = FromRect(outer);
    const Rect modelOuter{form->Left(), form->Top(), form->Width(), form->Height()};
    if (!Same(modelOuter, shownOuter)) Report(name + " outer rectangle", modelOuter, shownOuter);
    RECT client;
    GetClientRect(window, &client);
    const Rect shownClient = FromRect(client);
    const Rect modelClient{0, 0, form->ClientWidth(), form->ClientHeight()};
    if (!Same(modelClient, shownClient)) Report(name + " client area", modelClient, shownClient);
    CheckBorderIcons(name, form, window);
    int controls = g_controls;
    for (vcl::TControl* control : form->Controls()) CheckControl(form->Name(), control);
    controls = g_controls - controls;
    std::printf("formcheck: %s: client %dx%d, %d control(s)%s\n", name.c_str(), shownClient.width, shownClient.height, controls,
                IsWindowVisible(window) ? "" : " (hidden by its show handler)");
}

// Answers the message boxes of this process while the forms are shown.
BOOL CALLBACK AnswerBox(HWND window, LPARAM) {
    char className[16] = {};
    GetClassNameA(window, className, sizeof className);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == GetCurrentProcessId() && IsWindowVisible(window) && std::string(className) == "#32770") {
        char title[128] = {}, text[512] = {};
        GetWindowTextA(window, title, sizeof title);
        GetDlgItemTextA(window, 0xFFFF, text, sizeof text);
        std::printf("formcheck: message box \"%s\": \"%s\" (answered OK)\n", title, text);
        PostMessageA(window, WM_COMMAND, IDOK, 0);
    }
    return TRUE;
}

volatile LONG g_done = 0;

DWORD WINAPI AnswerBoxes(LPVOID) {
    while (InterlockedCompareExchange(&g_done, 0, 0) == 0) {
        EnumWindows(AnswerBox, 0);
        Sleep(100);
    }
    return 0;
}

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const HANDLE answerer = CreateThread(nullptr, 0, AnswerBoxes, nullptr, 0, nullptr);

    vcl::Application->Initialize();
    vcl::Application->SetTitle("formcheck");
    CreateForms();
    for (vcl::TForm* form : vcl::Application->Forms()) {
        form->Show();
        vcl::Application->ProcessMessages();
        CheckForm(form);
        form->Hide();
    }
    const unsigned forms = static_cast<unsigned>(vcl::Application->Forms().size());
    vcl::Application->DestroyForms();

    InterlockedExchange(&g_done, 1);
    if (answerer != nullptr) {
        WaitForSingleObject(answerer, INFINITE);
        CloseHandle(answerer);
    }
    std::printf("formcheck: %u forms, %d controls, %d mismatch(es); %d caption(s), %d cut\n", forms, g_controls,
                g_mismatches, g_captions, g_cutCaptions);
    return g_mismatches == 0 && g_cutCaptions == 0 ? 0 : 1;
}
