// The win32 backend: the model mirrored into real windows.
//
// Every form is a top-level window of the class "TForm" whose window
// procedure hands each message to the form's Dispatch; what the form passes
// on reaches DefaultHandler below (close box, control notifications,
// owner-drawn buttons, colours, then the system's default). Controls are the
// system's own classes; group boxes pass their children's notifications on
// to the form, and edits are subclassed for the key events. The message
// loop uses IsDialogMessageA for the tab order, except for Enter and Esc,
// which reach the focused control as keys (no button is a default button).
#include "vcl/backend.h"

#include <commctrl.h>

#include <algorithm>
#include <map>
#include <tuple>
#include <vector>

namespace vcl {

namespace {

const char kFormClass[] = "TForm";
const char kApplicationClass[] = "TApplication";
constexpr int kComboDropHeight = 200;  // the list below a combo box

// Child windows by handle, and the window procedures they had before they
// were subclassed.
std::map<HWND, TControl*> g_controls;
std::map<HWND, WNDPROC> g_originalProcs;
int g_nextControlId = 100;  // 1 and 2 are IDOK and IDCANCEL

// The procedure a subclassed window had; the system's default when unknown.
WNDPROC OriginalProc(HWND window) {
    const auto found = g_originalProcs.find(window);
    return found == g_originalProcs.end() ? DefWindowProcA : found->second;
}

TControl* ControlOf(HWND window) {
    const auto found = g_controls.find(window);
    return found == g_controls.end() ? nullptr : found->second;
}

HINSTANCE Instance() { return GetModuleHandleA(nullptr); }

// The top-level window that holds a control: up the chain of parents to the
// first window that is not a child. (GetAncestor with GA_ROOT answers the
// same, but it is documented from Windows 2000 only, and KT4790MCAP runs on
// Windows 98.)
HWND RootWindow(HWND window) {
    while (window != nullptr && (GetWindowLongA(window, GWL_STYLE) & WS_CHILD) != 0) window = GetParent(window);
    return window;
}

// The control of the form `window` that has the focus (the combo box for
// the edit inside it), or null when the focus lies elsewhere.
TWinControl* FocusedControl(HWND window) {
    HWND focus = GetFocus();
    if (focus == nullptr || RootWindow(focus) != window) return nullptr;
    while (focus != window && ControlOf(focus) == nullptr) focus = GetParent(focus);
    return dynamic_cast<TWinControl*>(ControlOf(focus));
}

// --- fonts and colours -------------------------------------------------------

HFONT FontHandle(const TFont& font) {
    static std::map<std::tuple<std::string, int, unsigned>, HFONT> fonts;
    const auto key = std::make_tuple(font.Name, font.Height, font.Style);
    auto found = fonts.find(key);
    if (found == fonts.end()) {
        const HFONT handle = CreateFontA(font.Height, 0, 0, 0, (font.Style & fsBold) ? FW_BOLD : FW_NORMAL,
                                         (font.Style & fsItalic) ? TRUE : FALSE,
                                         (font.Style & fsUnderline) ? TRUE : FALSE, FALSE, DEFAULT_CHARSET,
                                         OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                         DEFAULT_PITCH | FF_DONTCARE, font.Name.c_str());
        found = fonts.emplace(key, handle).first;
    }
    return found->second;
}

COLORREF ColorRef(TColor color) {
    if (color & clSystemColor) return GetSysColor(static_cast<int>(color & 0xFF));
    return static_cast<COLORREF>(color);
}

HBRUSH BrushOf(TColor color) {
    if (color & clSystemColor) return GetSysColorBrush(static_cast<int>(color & 0xFF));
    static std::map<TColor, HBRUSH> brushes;
    auto found = brushes.find(color);
    if (found == brushes.end()) found = brushes.emplace(color, CreateSolidBrush(ColorRef(color))).first;
    return found->second;
}

// --- forms ----------------------------------------------------------------------

void FormStyles(const TForm* form, DWORD& style, DWORD& exStyle) {
    style = WS_CLIPCHILDREN;
    exStyle = 0;
    unsigned icons = form->BorderIcons();
    switch (form->BorderStyle()) {
        case bsNone:
            style |= WS_POPUP;
            icons = 0;
            break;
        case bsSingle:
            style |= WS_CAPTION | WS_BORDER;
            break;
        case bsSizeable:
            style |= WS_CAPTION | WS_THICKFRAME;
            break;
        case bsDialog:
            style |= WS_POPUP | WS_CAPTION;
            exStyle |= WS_EX_DLGMODALFRAME | WS_EX_WINDOWEDGE;
            break;
    }
    if (icons & biSystemMenu) style |= WS_SYSMENU;
    if (icons & biMinimize) style |= WS_MINIMIZEBOX;
    if (icons & biMaximize) style |= WS_MAXIMIZEBOX;
    if (form->FormStyle() == fsStayOnTop) exStyle |= WS_EX_TOPMOST;
}

LRESULT CALLBACK FormProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* form = reinterpret_cast<TForm*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (form == nullptr) return DefWindowProcA(window, message, wParam, lParam);
    TMessage m;
    m.Msg = message;
    m.WParam = wParam;
    m.LParam = lParam;
    // No exception may pass through the system's frames: it is shown here.
    Application->RunHandler([&] { form->Dispatch(m); });
    return m.Result;
}

void RegisterClasses() {
    static bool registered = false;
    if (registered) return;
    registered = true;
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);

    WNDCLASSA formClass = {};
    formClass.style = CS_DBLCLKS;
    formClass.lpfnWndProc = FormProc;
    formClass.hInstance = Instance();
    formClass.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    formClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    formClass.lpszClassName = kFormClass;
    RegisterClassA(&formClass);

    WNDCLASSA applicationClass = {};
    applicationClass.lpfnWndProc = DefWindowProcA;
    applicationClass.hInstance = Instance();
    applicationClass.lpszClassName = kApplicationClass;
    RegisterClassA(&applicationClass);
}

// --- controls ----------------------------------------------------------------------

// Group boxes pass the notifications of their children on to the form, so
// that they reach the form's Dispatch like those of the form's own controls.
// A group box window does not erase its own background, and the form, which
// clips its children, leaves that area alone: it is painted here in the
// group box's colour.
LRESULT CALLBACK GroupBoxProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    const WNDPROC original = OriginalProc(window);
    switch (message) {
        case WM_ERASEBKGND: {
            const TControl* control = ControlOf(window);
            if (control == nullptr) break;
            RECT area;
            GetClientRect(window, &area);
            FillRect(reinterpret_cast<HDC>(wParam), &area, BrushOf(control->Color()));
            return TRUE;
        }
        case WM_COMMAND:
        case WM_DRAWITEM:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORLISTBOX:
            return SendMessageA(RootWindow(window), message, wParam, lParam);
        default:
            break;
    }
    return CallWindowProcA(original, window, message, wParam, lParam);
}

// Edits raise OnKeyPress (the character may be changed or swallowed) and
// OnKeyUp. A handler may re-create the form, which destroys this very
// window: then nothing more is done with it.
LRESULT CALLBACK EditProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    const WNDPROC original = OriginalProc(window);
    auto* control = static_cast<TWinControl*>(ControlOf(window));
    if (control != nullptr && message == WM_CHAR && control->OnKeyPress) {
        char key = static_cast<char>(wParam);
        Application->RunHandler([&] { control->OnKeyPress(control, key); });
        if (ControlOf(window) != control) return 0;
        // A single-line edit would only beep at Enter and Esc.
        const bool singleLine = control->Kind() == ControlKind::Edit;
        if (key == 0 || (singleLine && (key == '\r' || key == 27))) return 0;
        return CallWindowProcA(original, window, message, static_cast<unsigned char>(key), lParam);
    }
    if (control != nullptr && message == WM_KEYUP && control->OnKeyUp) {
        WORD key = static_cast<WORD>(wParam);
        Application->RunHandler([&] { control->OnKeyUp(control, key, 0); });
        if (ControlOf(window) != control) return 0;
        if (key == 0) return 0;
        return CallWindowProcA(original, window, message, key, lParam);
    }
    if (control != nullptr && message == WM_CHAR && control->Kind() == ControlKind::Edit &&
        (wParam == '\r' || wParam == 27)) {
        return 0;
    }
    return CallWindowProcA(original, window, message, wParam, lParam);
}

void Subclass(HWND window, WNDPROC procedure) {
    g_originalProcs[window] =
        reinterpret_cast<WNDPROC>(SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(procedure)));
}

// The window class and styles of a control.
bool ControlClass(const TControl* control, const char*& className, DWORD& style, DWORD& exStyle) {
    style = WS_CHILD | WS_CLIPSIBLINGS;
    exStyle = 0;
    switch (control->Kind()) {
        case ControlKind::Button:
            className = "BUTTON";
            style |= BS_PUSHBUTTON | WS_TABSTOP;
            break;
        case ControlKind::BitBtn:
            className = "BUTTON";
            style |= BS_OWNERDRAW | WS_TABSTOP;
            break;
        case ControlKind::CheckBox:
            className = "BUTTON";
            style |= BS_CHECKBOX | WS_TABSTOP;
            break;
        case ControlKind::RadioButton:
            className = "BUTTON";
            style |= BS_RADIOBUTTON | WS_TABSTOP;
            break;
        case ControlKind::GroupBox:
            className = "BUTTON";
            style |= BS_GROUPBOX | WS_CLIPCHILDREN;
            exStyle |= WS_EX_CONTROLPARENT;
            break;
        case ControlKind::Label:
            className = "STATIC";
            style |= SS_LEFT;
            break;
        case ControlKind::Edit: {
            const auto* edit = static_cast<const TEdit*>(control);
            className = "EDIT";
            style |= ES_AUTOHSCROLL | WS_TABSTOP;
            if (edit->PasswordChar() != 0) style |= ES_PASSWORD;
            if (edit->ReadOnly()) style |= ES_READONLY;
            exStyle |= WS_EX_CLIENTEDGE;
            break;
        }
        case ControlKind::Memo:
            className = "EDIT";
            style |= ES_MULTILINE | ES_AUTOVSCROLL | WS_TABSTOP;
            if (static_cast<const TMemo*>(control)->ReadOnly()) style |= ES_READONLY;
            exStyle |= WS_EX_CLIENTEDGE;
            break;
        case ControlKind::ComboBox:
        case ControlKind::DriveComboBox:
            className = "COMBOBOX";
            style |= WS_VSCROLL | WS_TABSTOP | CBS_AUTOHSCROLL;
            style |= static_cast<const TCustomComboBox*>(control)->Style() == csDropDownList ? CBS_DROPDOWNLIST
                                                                                            : CBS_DROPDOWN;
            break;
        case ControlKind::ProgressBar:
            className = PROGRESS_CLASSA;
            break;
        case ControlKind::Image:
            className = "STATIC";
            style |= SS_ICON;
            break;
        case ControlKind::Form:
            return false;
    }
    if (control->Visible()) style |= WS_VISIBLE;
    if (!control->Enabled()) style |= WS_DISABLED;
    return true;
}

int WindowHeight(const TControl* control) {
    const bool combo = control->Kind() == ControlKind::ComboBox || control->Kind() == ControlKind::DriveComboBox;
    return control->Height() + (combo ? kComboDropHeight : 0);
}

void Apply(TControl* control, Property property);

// A combo box is as high as its selection field, which the system sizes
// from the font: the model's height is kept by sizing that field. The
// height a field gives differs between systems (Wine's field is two pixels
// higher than it was asked to be), so the field is set once to learn it.
void FitComboHeight(const TControl* control) {
    if (control->Kind() != ControlKind::ComboBox && control->Kind() != ControlKind::DriveComboBox) return;
    const HWND window = control->Handle();
    const auto shown = [window] {
        RECT rect = {0, 0, 0, 0};
        GetWindowRect(window, &rect);
        return static_cast<int>(rect.bottom - rect.top);
    };
    if (shown() == control->Height()) return;
    const LRESULT field = SendMessageA(window, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0);
    if (field == CB_ERR) return;
    SendMessageA(window, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), field);
    SendMessageA(window, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), field + control->Height() - shown());
}

std::string WindowText(HWND window) {
    std::string text(static_cast<std::size_t>(GetWindowTextLengthA(window)) + 1, '\0');
    const int length = GetWindowTextA(window, &text[0], static_cast<int>(text.size()));
    text.resize(static_cast<std::size_t>(std::max(length, 0)));
    return text;
}

// The children of a parent in tab order (those without one keep their
// order, after the others): the system walks the tab order by z-order.
std::vector<TControl*> InTabOrder(const TWinControl* parent) {
    std::vector<TControl*> children = parent->Controls();
    std::stable_sort(children.begin(), children.end(), [](const TControl* a, const TControl* b) {
        const auto order = [](const TControl* c) {
            if (c->Kind() == ControlKind::Label || c->Kind() == ControlKind::Image) return 1 << 30;
            const int tabOrder = static_cast<const TWinControl*>(c)->TabOrder();
            return tabOrder < 0 ? (1 << 30) : tabOrder;
        };
        return order(a) < order(b);
    });
    return children;
}

void CreateControlTree(TControl* control);

void CreateChildren(TWinControl* parent) {
    for (TControl* child : InTabOrder(parent)) CreateControlTree(child);
}

void CreateControlTree(TControl* control) {
    const char* className = nullptr;
    DWORD style = 0, exStyle = 0;
    if (control->Parent() == nullptr || control->Parent()->Handle() == nullptr) return;
    if (!ControlClass(control, className, style, exStyle)) return;
    const HWND window = CreateWindowExA(
        exStyle, className, control->Kind() == ControlKind::Memo ? "" : control->Text().c_str(), style,
        control->Left(), control->Top(), control->Width(), WindowHeight(control), control->Parent()->Handle(),
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(g_nextControlId++)), Instance(), nullptr);
    if (window == nullptr) return;
    Backend::SetHandle(control, window);
    g_controls[window] = control;
    SendMessageA(window, WM_SETFONT, reinterpret_cast<WPARAM>(FontHandle(control->Font())), FALSE);
    switch (control->Kind()) {
        case ControlKind::GroupBox:
            Subclass(window, GroupBoxProc);
            break;
        case ControlKind::Edit:
            Subclass(window, EditProc);
            Apply(control, Property::MaxLength);
            Apply(control, Property::PasswordChar);
            break;
        case ControlKind::Memo:
            Subclass(window, EditProc);
            Apply(control, Property::Items);
            break;
        case ControlKind::ComboBox:
        case ControlKind::DriveComboBox:
            FitComboHeight(control);
            Apply(control, Property::Items);
            break;
        case ControlKind::CheckBox:
        case ControlKind::RadioButton:
            Apply(control, Property::Checked);
            break;
        case ControlKind::ProgressBar:
            Apply(control, Property::Range);
            break;
        case ControlKind::Image:
            Apply(control, Property::Icon);
            break;
        default:
            break;
    }
    if (control->Kind() != ControlKind::Label && control->Kind() != ControlKind::Image) {
        CreateChildren(static_cast<TWinControl*>(control));
    }
}

// Forgets the handles of a control and its children (their windows are gone
// or about to go with their parent's).
void ForgetHandles(TControl* control) {
    if (control->Kind() != ControlKind::Label && control->Kind() != ControlKind::Image) {
        for (TControl* child : static_cast<TWinControl*>(control)->Controls()) ForgetHandles(child);
    }
    if (control->Handle() != nullptr) {
        g_controls.erase(control->Handle());
        g_originalProcs.erase(control->Handle());
        Backend::SetHandle(control, nullptr);
    }
}

void ApplyFontTree(TControl* control) {
    if (control->Handle() != nullptr && control->Kind() != ControlKind::Form) {
        SendMessageA(control->Handle(), WM_SETFONT, reinterpret_cast<WPARAM>(FontHandle(control->Font())), TRUE);
        FitComboHeight(control);
    }
    if (control->Kind() == ControlKind::Label || control->Kind() == ControlKind::Image) return;
    for (TControl* child : static_cast<TWinControl*>(control)->Controls()) {
        if (child->ParentFont()) ApplyFontTree(child);
    }
}

void ApplyTabOrder(TWinControl* parent) {
    HWND previous = HWND_TOP;
    for (TControl* child : InTabOrder(parent)) {
        if (child->Handle() == nullptr) continue;
        SetWindowPos(child->Handle(), previous, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        previous = child->Handle();
    }
}

void FocusActiveControl(TForm* form) {
    TWinControl* active = form->ActiveControl();
    if (active != nullptr && active->Handle() != nullptr) {
        SetFocus(active->Handle());
    } else {
        const HWND first = GetNextDlgTabItem(form->Handle(), nullptr, FALSE);
        if (first != nullptr) SetFocus(first);
    }
}

void RecreateControl(TControl* control) {
    if (control->Handle() == nullptr) return;
    DestroyWindow(control->Handle());
    ForgetHandles(control);
    CreateControlTree(control);
    if (control->Parent() != nullptr) ApplyTabOrder(control->Parent());
}

// Mirrors one property of a control that has its window.
void Apply(TControl* control, Property property) {
    const HWND window = control->Handle();
    const bool isForm = control->Kind() == ControlKind::Form;
    switch (property) {
        case Property::Parent:
            if (control->Parent() != nullptr && control->Parent()->Handle() != nullptr) {
                SetParent(window, control->Parent()->Handle());
            }
            break;
        case Property::Bounds:
            SetWindowPos(window, nullptr, control->Left(), control->Top(), control->Width(), WindowHeight(control),
                         SWP_NOZORDER | SWP_NOACTIVATE);
            FitComboHeight(control);
            break;
        case Property::Text: {
            if (control->Kind() == ControlKind::Memo) break;  // its lines are its text
            const bool comboBox =
                control->Kind() == ControlKind::ComboBox || control->Kind() == ControlKind::DriveComboBox;
            if (comboBox && static_cast<const TCustomComboBox*>(control)->Style() == csDropDownList) {
                break;  // it shows its selection
            }
            if (control->Text() != WindowText(window)) SetWindowTextA(window, control->Text().c_str());
            break;
        }
        case Property::Visible:
            if (isForm) {
                ShowWindow(window, control->Visible() ? SW_SHOW : SW_HIDE);
                if (control->Visible()) FocusActiveControl(static_cast<TForm*>(control));
            } else {
                ShowWindow(window, control->Visible() ? SW_SHOWNA : SW_HIDE);
            }
            break;
        case Property::Enabled:
            EnableWindow(window, control->Enabled() ? TRUE : FALSE);
            break;
        case Property::Font:
            ApplyFontTree(control);
            break;
        case Property::Color:
            InvalidateRect(window, nullptr, TRUE);
            break;
        case Property::TabOrder:
            if (control->Parent() != nullptr) ApplyTabOrder(control->Parent());
            break;
        case Property::Items:
            if (control->Kind() == ControlKind::Memo) {
                SetWindowTextA(window, control->Text().c_str());
            } else {
                auto* combo = static_cast<TCustomComboBox*>(control);
                SendMessageA(window, CB_RESETCONTENT, 0, 0);
                for (int i = 0; i < combo->Items().Count(); ++i) {
                    SendMessageA(window, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(combo->Items()[i].c_str()));
                }
                Apply(control, Property::ItemIndex);
            }
            break;
        case Property::ItemIndex: {
            auto* combo = static_cast<TCustomComboBox*>(control);
            SendMessageA(window, CB_SETCURSEL, static_cast<WPARAM>(combo->ItemIndex()), 0);
            if (combo->Style() == csDropDown) Apply(control, Property::Text);
            break;
        }
        case Property::Checked: {
            const bool checked = control->Kind() == ControlKind::CheckBox
                                     ? static_cast<TCheckBox*>(control)->Checked()
                                     : static_cast<TRadioButton*>(control)->Checked();
            SendMessageA(window, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
            break;
        }
        case Property::Range:
        case Property::Position: {
            auto* bar = static_cast<TProgressBar*>(control);
            SendMessageA(window, PBM_SETRANGE32, static_cast<WPARAM>(bar->Min()), bar->Max());
            SendMessageA(window, PBM_SETPOS, static_cast<WPARAM>(bar->Position()), 0);
            break;
        }
        case Property::MaxLength:
            SendMessageA(window, EM_LIMITTEXT, static_cast<WPARAM>(static_cast<TEdit*>(control)->MaxLength()), 0);
            break;
        case Property::PasswordChar:
            SendMessageA(window, EM_SETPASSWORDCHAR,
                         static_cast<unsigned char>(static_cast<TEdit*>(control)->PasswordChar()), 0);
            InvalidateRect(window, nullptr, TRUE);
            break;
        case Property::ReadOnly: {
            const bool readOnly = control->Kind() == ControlKind::Edit ? static_cast<TEdit*>(control)->ReadOnly()
                                                                       : static_cast<TMemo*>(control)->ReadOnly();
            SendMessageA(window, EM_SETREADONLY, readOnly ? TRUE : FALSE, 0);
            break;
        }
        case Property::Style:
            if (isForm) {
                // A new frame: the form's window is made again in the new style.
                auto* form = static_cast<TForm*>(control);
                Backend::DestroyWindows(form);
                Backend::CreateWindows(form);
            } else {
                RecreateControl(control);
            }
            break;
        case Property::Focus: {
            const TForm* form = control->ParentForm();
            if (form != nullptr && form->Visible()) SetFocus(window);
            break;
        }
        case Property::Icon:
            SendMessageA(window, STM_SETICON, reinterpret_cast<WPARAM>(static_cast<TImage*>(control)->Icon().Handle()),
                         0);
            break;
    }
}

// --- the owner-drawn button ------------------------------------------------------------

void DrawButton(const DRAWITEMSTRUCT& item, const TControl* control) {
    RECT rect = item.rcItem;
    const bool pushed = (item.itemState & ODS_SELECTED) != 0;
    DrawFrameControl(item.hDC, &rect, DFC_BUTTON, DFCS_BUTTONPUSH | (pushed ? DFCS_PUSHED : 0));
    const HGDIOBJ oldFont = SelectObject(item.hDC, FontHandle(control->Font()));
    SetBkMode(item.hDC, TRANSPARENT);
    SetTextColor(item.hDC, GetSysColor((item.itemState & ODS_DISABLED) ? COLOR_GRAYTEXT : COLOR_BTNTEXT));
    if (pushed) OffsetRect(&rect, 1, 1);
    DrawTextA(item.hDC, control->Caption().c_str(), -1, &rect, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    SelectObject(item.hDC, oldFont);
    if (item.itemState & ODS_FOCUS) {
        RECT focus = item.rcItem;
        InflateRect(&focus, -4, -4);
        DrawFocusRect(item.hDC, &focus);
    }
}

// --- the message loop -------------------------------------------------------------------

void Pump(MSG& message) {
    const bool enterOrEscape = (message.message == WM_KEYDOWN || message.message == WM_KEYUP ||
                                message.message == WM_CHAR) &&
                               (message.wParam == VK_RETURN || message.wParam == VK_ESCAPE);
    if (!enterOrEscape && message.hwnd != nullptr) {
        const HWND top = RootWindow(message.hwnd);
        if (top != nullptr && IsDialogMessageA(top, &message)) return;
    }
    TranslateMessage(&message);
    DispatchMessageA(&message);
}

}  // namespace

// ---------------------------------------------------------------------------

HWND Backend::CreateApplicationWindow(const std::string& title) {
    RegisterClasses();
    return CreateWindowExA(0, kApplicationClass, title.c_str(), WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, Instance(),
                           nullptr);
}

void Backend::SetApplicationTitle(HWND window, const std::string& title) { SetWindowTextA(window, title.c_str()); }

void Backend::DestroyApplicationWindow(HWND window) { DestroyWindow(window); }

void Backend::RunLoop() {
    MSG message;
    while (!Application->Terminated() && GetMessageA(&message, nullptr, 0, 0) > 0) Pump(message);
}

void Backend::ProcessMessages() {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            // Leave it for the loop of Run, which ends on it.
            PostQuitMessage(static_cast<int>(message.wParam));
            break;
        }
        Pump(message);
    }
}

void Backend::PostQuit() { PostQuitMessage(0); }

void Backend::CreateWindows(TForm* form) {
    RegisterClasses();
    DWORD style = 0, exStyle = 0;
    FormStyles(form, style, exStyle);
    const HWND window = CreateWindowExA(exStyle, kFormClass, form->Caption().c_str(), style, form->Left(), form->Top(),
                                        form->Width(), form->Height(), nullptr, nullptr, Instance(), nullptr);
    if (window == nullptr) return;
    SetHandle(form, window);
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
    CreateChildren(form);
    if (form->Visible()) {
        ShowWindow(window, SW_SHOW);
        FocusActiveControl(form);
    }
}

void Backend::DestroyWindows(TForm* form) {
    const HWND window = form->Handle();
    if (window == nullptr) return;
    // From here on the window's messages go to the system alone.
    SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    for (TControl* child : form->Controls()) {
        if (child->Handle() != nullptr) SetWindowLongPtrA(child->Handle(), GWLP_USERDATA, 0);
    }
    // The subclassed children keep their procedures until they are gone.
    DestroyWindow(window);
    for (TControl* child : form->Controls()) ForgetHandles(child);
    SetHandle(form, nullptr);
}

void Backend::Changed(TControl* control, Property property) {
    if (control->Handle() == nullptr) {
        if (property == Property::Parent) CreateControlTree(control);
        return;
    }
    Apply(control, property);
}

void Backend::BringToFront(TForm* form) {
    if (form->Handle() != nullptr) BringWindowToTop(form->Handle());
}

void Backend::FrameSize(const TForm* form, int& extraWidth, int& extraHeight) {
    DWORD style = 0, exStyle = 0;
    FormStyles(form, style, exStyle);
    RECT rect = {0, 0, 0, 0};
    AdjustWindowRectEx(&rect, style, FALSE, exStyle);
    extraWidth = rect.right - rect.left;
    extraHeight = rect.bottom - rect.top;
}

void Backend::DefaultHandler(TForm* form, TMessage& message) {
    const HWND window = form->Handle();
    switch (message.Msg) {
        case WM_CLOSE:
            form->Close();
            message.Result = 0;
            return;
        case WM_ACTIVATE:
            // The focus is still where it was while the window loses the
            // activation; the system's default would focus the window itself
            // when it regains it (unless it is minimised).
            if (LOWORD(message.WParam) == WA_INACTIVE) {
                Backend::FormDeactivated(form, FocusedControl(window));
            } else if (HIWORD(message.WParam) == 0 && Backend::FormActivated(form)) {
                message.Result = 0;
                return;
            }
            break;
        case WM_COMMAND: {
            TControl* control = ControlOf(reinterpret_cast<HWND>(message.LParam));
            const WORD code = HIWORD(message.WParam);
            if (control == nullptr) break;
            if (code == BN_CLICKED) {
                switch (control->Kind()) {
                    case ControlKind::CheckBox: {
                        auto* box = static_cast<TCheckBox*>(control);
                        box->SetChecked(!box->Checked());
                        break;
                    }
                    case ControlKind::RadioButton:
                        static_cast<TRadioButton*>(control)->SetChecked(true);
                        break;
                    case ControlKind::Button:
                    case ControlKind::BitBtn:
                        control->Click();
                        break;
                    default:
                        break;
                }
            } else if (code == CBN_SELCHANGE) {
                auto* combo = static_cast<TCustomComboBox*>(control);
                combo->SetItemIndex(static_cast<int>(SendMessageA(control->Handle(), CB_GETCURSEL, 0, 0)));
                combo->Click();
            } else if (code == EN_CHANGE || code == CBN_EDITCHANGE) {
                // What the user typed becomes the model's text.
                const std::string text = WindowText(control->Handle());
                if (control->Kind() == ControlKind::Memo) {
                    static_cast<TMemo*>(control)->SetText(text);
                } else {
                    control->SetText(text);
                }
            }
            message.Result = 0;
            return;
        }
        case WM_DRAWITEM: {
            const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(message.LParam);
            TControl* control = item != nullptr ? ControlOf(item->hwndItem) : nullptr;
            if (control == nullptr || control->Kind() != ControlKind::BitBtn) break;
            DrawButton(*item, control);
            message.Result = TRUE;
            return;
        }
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORLISTBOX: {
            TControl* control = ControlOf(reinterpret_cast<HWND>(message.LParam));
            if (control == nullptr) break;
            const auto dc = reinterpret_cast<HDC>(message.WParam);
            SetTextColor(dc, ColorRef(control->Font().Color));
            SetBkColor(dc, ColorRef(control->Color()));
            message.Result = reinterpret_cast<LRESULT>(BrushOf(control->Color()));
            return;
        }
        default:
            break;
    }
    message.Result = DefWindowProcA(window, message.Msg, message.WParam, message.LParam);
}

void Backend::PopupMenu(TPopupMenu* menu, int x, int y) {
    const HMENU handle = CreatePopupMenu();
    for (std::size_t i = 0; i < menu->Items().size(); ++i) {
        AppendMenuA(handle, MF_STRING, i + 1, menu->Items()[i]->Caption().c_str());
    }
    HWND owner = Application->Handle();
    if (auto* control = dynamic_cast<TControl*>(menu->PopupComponent())) {
        if (control->Handle() != nullptr) owner = control->Handle();
    }
    const int chosen = static_cast<int>(
        TrackPopupMenu(handle, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_NONOTIFY, x, y, 0, owner, nullptr));
    DestroyMenu(handle);
    if (chosen > 0 && static_cast<std::size_t>(chosen) <= menu->Items().size()) {
        menu->Items()[static_cast<std::size_t>(chosen - 1)]->Click();
    }
}

void Backend::MenuDestroyed(TPopupMenu* /*menu*/) {}

HICON Backend::LoadIconResource(const std::string& name) { return LoadIconA(Instance(), name.c_str()); }

char Backend::CurrentDrive() {
    char directory[MAX_PATH] = {};
    const DWORD length = GetCurrentDirectoryA(sizeof directory, directory);
    if (length >= 2 && length < sizeof directory && directory[1] == ':') return directory[0];
    return 'C';
}

int Backend::TextWidth(const TControl* control, const std::string& text) {
    const HDC dc = GetDC(nullptr);
    if (dc == nullptr) return -1;
    const HGDIOBJ previous = SelectObject(dc, FontHandle(control->Font()));
    SIZE size{};
    const BOOL measured = GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
    SelectObject(dc, previous);
    ReleaseDC(nullptr, dc);
    return measured ? size.cx : -1;
}

}  // namespace vcl
