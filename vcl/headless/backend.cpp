// The headless backend: no windows. The application's title window and the
// forms are top-level windows of the simulated machine (FindWindowA sees
// them, with their captions and visibility); controls have no handles. The
// message loop is a queue of work posted by the test driver.
#include <algorithm>
#include <deque>
#include <map>

#include "vcl/backend.h"
#include "vcl/headless/state.h"
#include "winsim/world.h"

namespace vcl {

namespace {

HWND ToHwnd(std::uintptr_t handle) { return reinterpret_cast<HWND>(handle); }
std::uintptr_t FromHwnd(HWND window) { return reinterpret_cast<std::uintptr_t>(window); }

// The system activates a window and puts the focus on the window itself;
// the framework then hands it on.
void Activate(TForm* form) {
    headless::State& state = headless::State::Get();
    state.activeForm = form;
    state.formFocused = true;
    Backend::FormActivated(form);
}

// A message box opens over the active form, or closes and gives the
// activation back to the form it took it from (when that is still shown).
void MessageBoxOpen(bool open) {
    headless::State& state = headless::State::Get();
    if (open) {
        TForm* form = state.activeForm;
        state.behindBoxes.push_back(form);
        state.activeForm = nullptr;
        if (form != nullptr) Backend::FormDeactivated(form, form->ActiveControl());
        return;
    }
    if (state.behindBoxes.empty()) return;
    TForm* form = state.behindBoxes.back();
    state.behindBoxes.pop_back();
    if (form != nullptr && form->Visible()) Activate(form);
}

}  // namespace

HWND Backend::CreateApplicationWindow(const std::string& title) {
    return ToHwnd(winsim::World::Get().CreateTopLevelWindow("TApplication", title, false));
}

void Backend::SetApplicationTitle(HWND window, const std::string& title) {
    winsim::World::Get().SetWindowTitle(FromHwnd(window), title);
}

void Backend::DestroyApplicationWindow(HWND window) { winsim::World::Get().DestroyTopLevelWindow(FromHwnd(window)); }

void Backend::RunLoop() { ProcessMessages(); }

void Backend::ProcessMessages() {
    auto& posted = headless::State::Get().posted;
    while (!posted.empty()) {
        std::function<void()> action = std::move(posted.front());
        posted.pop_front();
        Application->RunHandler(action);
    }
}

void Backend::PostQuit() {}

void Backend::CreateWindows(TForm* form) {
    const HWND window =
        ToHwnd(winsim::World::Get().CreateTopLevelWindow("TForm", form->Caption(), form->Visible()));
    SetHandle(form, window);
    headless::State::Get().forms[window] = form;
    winsim::World::Get().SetMessageBoxObserver(MessageBoxOpen);
}

void Backend::DestroyWindows(TForm* form) {
    winsim::World::Get().DestroyTopLevelWindow(FromHwnd(form->Handle()));
    headless::State& state = headless::State::Get();
    state.forms.erase(form->Handle());
    if (state.activeForm == form) state.activeForm = nullptr;
    std::replace(state.behindBoxes.begin(), state.behindBoxes.end(), form, static_cast<TForm*>(nullptr));
    SetHandle(form, nullptr);
}

void Backend::Changed(TControl* control, Property property) {
    headless::State& state = headless::State::Get();
    if (property == Property::Focus) {
        // Focusing a control activates its form's window.
        TForm* form = control->ParentForm();
        if (form != nullptr && form->Visible() && form->Handle() != nullptr) {
            state.activeForm = form;
            state.formFocused = false;
        }
        return;
    }
    if (control->Kind() != ControlKind::Form || control->Handle() == nullptr) return;
    auto* form = static_cast<TForm*>(control);
    if (property == Property::Text) {
        winsim::World::Get().SetWindowTitle(FromHwnd(form->Handle()), form->Caption());
    } else if (property == Property::Visible) {
        winsim::World::Get().SetWindowVisible(FromHwnd(form->Handle()), form->Visible());
        if (form->Visible()) {
            Activate(form);
        } else if (state.activeForm == form) {
            state.activeForm = nullptr;
        }
    }
}

void Backend::BringToFront(TForm* /*form*/) {}

// The frame of Windows 2000's classic look: a fixed (dialog or single)
// border is 3 pixels, a sizeable one 4, and the caption bar 19 high.
void Backend::FrameSize(const TForm* form, int& extraWidth, int& extraHeight) {
    int border = 0;
    switch (form->BorderStyle()) {
        case bsNone: border = 0; break;
        case bsSingle:
        case bsDialog: border = 3; break;
        case bsSizeable: border = 4; break;
    }
    extraWidth = 2 * border;
    extraHeight = 2 * border + (form->BorderStyle() == bsNone ? 0 : 19);
}

void Backend::DefaultHandler(TForm* form, TMessage& message) {
    message.Result = 0;
    if (message.Msg == headless::kWmClose) form->Close();
}

void Backend::PopupMenu(TPopupMenu* menu, int x, int y) {
    auto& state = headless::State::Get();
    state.openMenu = menu;
    state.menuX = x;
    state.menuY = y;
}

void Backend::MenuDestroyed(TPopupMenu* menu) {
    auto& state = headless::State::Get();
    if (state.openMenu == menu) state.openMenu = nullptr;
}

HICON Backend::LoadIconResource(const std::string& name) {
    auto& icons = headless::State::Get().icons;
    auto found = icons.find(name);
    if (found == icons.end()) {
        // Distinct made-up handles, one per resource name, as the system
        // hands out one shared icon per resource.
        const std::uintptr_t handle = 0x7C000 + 4 * icons.size();
        found = icons.emplace(name, reinterpret_cast<HICON>(handle)).first;
    }
    return found->second;
}

// A program of the simulated machine starts on drive C:.
char Backend::CurrentDrive() { return 'C'; }

int Backend::TextWidth(const TControl* /*control*/, const std::string& /*text*/) { return -1; }

}  // namespace vcl

namespace vcl::headless {

State& State::Get() {
    static State state;
    return state;
}

}  // namespace vcl::headless
