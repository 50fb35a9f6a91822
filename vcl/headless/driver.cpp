// The test driver: a person's actions on the headless forms.
#include "vcl/headless/driver.h"

#include <algorithm>
#include <cctype>

#include "vcl/headless/state.h"

namespace vcl::headless {

namespace {

std::string Describe(const TControl* control) {
    if (!control->Name().empty()) return control->Name();
    return "'" + control->Caption() + "'";
}

bool Refuse(const std::string& why) {
    State::Get().lastRefusal = why;
    return false;
}

// One turn of the loop: the action's handler, then the work posted
// meanwhile, then the end of the program once it was terminated.
void Act(const std::function<void()>& action) {
    State& state = State::Get();
    ++state.actionDepth;
    Application->RunHandler(action);
    --state.actionDepth;
    if (state.actionDepth > 0) return;
    Application->ProcessMessages();
    if (Application->Terminated() && (!Application->Forms().empty() || Application->Handle() != nullptr)) {
        Application->DestroyForms();
    }
}

// The client area of a control, in its own coordinates.
void ClientSize(const TControl* control, int& width, int& height) {
    if (control->Kind() == ControlKind::Form) {
        const auto* form = static_cast<const TForm*>(control);
        width = form->ClientWidth();
        height = form->ClientHeight();
    } else {
        width = control->Width();
        height = control->Height();
    }
}

}  // namespace

bool canReach(const TControl* control, std::string* why) {
    std::string reason;
    const bool reachable = [&] {
        if (control == nullptr) return reason = "no control", false;
        if (Application->Terminated() && Application->Forms().empty()) return reason = "the program has ended", false;
        const TForm* form = control->ParentForm();
        if (form == nullptr) return reason = Describe(control) + " lies on no form", false;
        if (!form->Visible()) return reason = "form " + Describe(form) + " is hidden", false;
        if (!form->Enabled()) return reason = "form " + Describe(form) + " is disabled", false;
        // The visible part of the control, moved out through its parents.
        int left = control->Left(), top = control->Top();
        int right = left + control->Width(), bottom = top + control->Height();
        for (const TControl* c = control; c != form; c = c->Parent()) {
            if (!c->Visible()) return reason = Describe(c) + " is hidden", false;
            if (!c->Enabled()) return reason = Describe(c) + " is disabled", false;
            const TControl* parent = c->Parent();
            int width = 0, height = 0;
            ClientSize(parent, width, height);
            left = std::max(left, 0);
            top = std::max(top, 0);
            right = std::min(right, width);
            bottom = std::min(bottom, height);
            if (left >= right || top >= bottom) {
                return reason = Describe(control) + " lies outside the visible part of " + Describe(parent), false;
            }
            if (parent != form) {
                left += parent->Left();
                right += parent->Left();
                top += parent->Top();
                bottom += parent->Top();
            }
        }
        return true;
    }();
    if (why != nullptr) *why = reason;
    return reachable;
}

static bool Reach(const TControl* control) {
    std::string why;
    if (!canReach(control, &why)) return Refuse(why);
    return true;
}

bool userClick(TControl* control) {
    if (!Reach(control)) return false;
    switch (control->Kind()) {
        case ControlKind::Button:
        case ControlKind::BitBtn:
            Act([control] {
                static_cast<TWinControl*>(control)->SetFocus();
                control->Click();
            });
            return true;
        case ControlKind::CheckBox:
            Act([control] {
                auto* box = static_cast<TCheckBox*>(control);
                box->SetFocus();
                box->SetChecked(!box->Checked());
            });
            return true;
        case ControlKind::RadioButton:
            // A click on the checked button of a group changes nothing.
            Act([control] {
                auto* button = static_cast<TRadioButton*>(control);
                button->SetFocus();
                button->SetChecked(true);
            });
            return true;
        default:
            return Refuse(Describe(control) + " is not a button");
    }
}

bool userCheck(TWinControl* box) {
    if (box == nullptr) return Refuse("no control");
    if (box->Kind() != ControlKind::CheckBox && box->Kind() != ControlKind::RadioButton) {
        return Refuse(Describe(box) + " is neither a check box nor a radio button");
    }
    return userClick(box);
}

namespace {

// The key code of a WM_KEYUP for a typed character.
WORD KeyCode(char c) {
    const auto u = static_cast<unsigned char>(c);
    return static_cast<WORD>(std::isalpha(u) ? std::toupper(u) : u);
}

bool ReadOnly(const TWinControl* edit) {
    if (edit->Kind() == ControlKind::Edit) return static_cast<const TEdit*>(edit)->ReadOnly();
    return static_cast<const TMemo*>(edit)->ReadOnly();
}

int MaxLength(const TWinControl* edit) {
    return edit->Kind() == ControlKind::Edit ? static_cast<const TEdit*>(edit)->MaxLength() : 0;
}

bool IsEdit(const TWinControl* control) {
    return control->Kind() == ControlKind::Edit || control->Kind() == ControlKind::Memo;
}

// One key pressed in an edit that can take it: OnKeyPress, the character
// applied, then OnKeyUp while the edit is still there. False when the
// character passed OnKeyPress but did not fit MaxLength.
bool PressKey(TWinControl* edit, char typed) {
    bool taken = true;
    Act([edit, typed, &taken] {
        char key = typed;
        if (edit->OnKeyPress) edit->OnKeyPress(edit, key);
        const auto u = static_cast<unsigned char>(key);
        std::string text = edit->Text();
        if (u == 8) {
            if (!text.empty()) text.pop_back();
        } else if (u == 13 && edit->Kind() == ControlKind::Memo) {
            text += "\r\n";
        } else if (u >= 32 && u != 127) {
            const int limit = MaxLength(edit);
            if (limit > 0 && static_cast<int>(text.size()) >= limit) {
                taken = false;
            } else {
                text.push_back(key);
            }
        }
        if (text != edit->Text()) edit->SetText(text);
    });
    if (canReach(edit) && edit->OnKeyUp) {
        Act([edit, typed] {
            WORD code = KeyCode(typed);
            edit->OnKeyUp(edit, code, 0);
        });
    }
    return taken;
}

// Whether an edit can take keys now; why not, as the last refusal.
bool TakesKeys(TWinControl* edit) {
    if (!Reach(edit)) return false;
    if (ReadOnly(edit)) return Refuse(Describe(edit) + " is read only");
    return true;
}

}  // namespace

bool userType(TWinControl* edit, const std::string& keys) {
    if (edit == nullptr) return Refuse("no control");
    if (!IsEdit(edit)) return Refuse(Describe(edit) + " is not an edit");
    if (!TakesKeys(edit)) return false;
    Act([edit] { edit->SetFocus(); });
    bool allTaken = true;
    for (const char typed : keys) {
        // Each key is one message: what an earlier key did (hide the form,
        // end the program) decides whether this one still arrives.
        if (!Reach(edit)) return false;
        if (!PressKey(edit, typed)) allTaken = false;
    }
    if (!allTaken) return Refuse(Describe(edit) + " took no more characters (MaxLength)");
    return true;
}

TWinControl* keyboardFocus() {
    const State& state = State::Get();
    TForm* form = state.activeForm;
    if (form == nullptr || state.formFocused || form->ActiveControl() == nullptr) return form;
    return form->ActiveControl();
}

bool userKeys(const std::string& keys) {
    for (const char typed : keys) {
        // Each key goes where the focus is when it is pressed.
        TWinControl* target = keyboardFocus();
        if (target == nullptr) return Refuse("no window has the keyboard focus");
        if (!IsEdit(target)) return Refuse(Describe(target) + " has the keyboard focus, not an edit");
        if (!TakesKeys(target)) return false;
        if (!PressKey(target, typed)) return Refuse(Describe(target) + " took no more characters (MaxLength)");
    }
    return true;
}

bool userPaste(TEdit* edit, const std::string& text) {
    if (!Reach(edit)) return false;
    if (edit->ReadOnly()) return Refuse(Describe(edit) + " is read only");
    std::string pasted = text;
    bool cut = false;
    if (edit->MaxLength() > 0) {
        const std::size_t room = static_cast<std::size_t>(edit->MaxLength()) -
                                 std::min(edit->Text().size(), static_cast<std::size_t>(edit->MaxLength()));
        if (pasted.size() > room) {
            pasted.resize(room);
            cut = true;
        }
    }
    Act([edit, pasted] {
        edit->SetFocus();
        edit->SetText(edit->Text() + pasted);
    });
    if (cut) return Refuse(Describe(edit) + " took no more characters (MaxLength)");
    return true;
}

bool userSelect(TCustomComboBox* combo, int index) {
    if (!Reach(combo)) return false;
    if (index < 0 || index >= combo->Items().Count()) {
        return Refuse(Describe(combo) + " has no item " + std::to_string(index));
    }
    Act([combo, index] {
        combo->SetFocus();
        combo->SetItemIndex(index);
        combo->Click();
    });
    return true;
}

bool userCloseBox(TForm* form) {
    if (form == nullptr) return Refuse("no form");
    if (!Reach(form)) return false;
    if (form->BorderStyle() == bsNone || (form->BorderIcons() & biSystemMenu) == 0) {
        return Refuse("form " + Describe(form) + " has no close box");
    }
    Act([form] {
        TMessage message;
        message.Msg = kWmClose;
        form->Dispatch(message);
    });
    return true;
}

bool userMenu(TMenuItem* item) {
    State& state = State::Get();
    if (state.openMenu == nullptr) return Refuse("no menu is open");
    const auto& items = state.openMenu->Items();
    if (std::find(items.begin(), items.end(), item) == items.end()) {
        return Refuse("the open menu has no such item");
    }
    state.openMenu = nullptr;
    Act([item] { item->Click(); });
    return true;
}

bool userDismissMenu() {
    State& state = State::Get();
    if (state.openMenu == nullptr) return Refuse("no menu is open");
    state.openMenu = nullptr;
    return true;
}

TPopupMenu* openMenu() { return State::Get().openMenu; }
int openMenuX() { return State::Get().menuX; }
int openMenuY() { return State::Get().menuY; }

TForm* findForm(HWND window) {
    const auto& forms = State::Get().forms;
    const auto found = forms.find(window);
    return found == forms.end() ? nullptr : found->second;
}

bool sendMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    TForm* form = findForm(window);
    if (form == nullptr) return Refuse("no window has this handle");
    Act([form, message, wParam, lParam] {
        TMessage m;
        m.Msg = message;
        m.WParam = wParam;
        m.LParam = lParam;
        form->Dispatch(m);
    });
    return true;
}

void post(std::function<void()> action) { State::Get().posted.push_back(std::move(action)); }

const std::string& lastRefusal() { return State::Get().lastRefusal; }

bool programEnded() {
    return Application->Terminated() && Application->Forms().empty() && Application->Handle() == nullptr;
}

void resetApplication() {
    State& state = State::Get();
    state.posted.clear();
    state.openMenu = nullptr;
    delete Application;
    Application = new TApplication();
    state.posted.clear();
    state.openMenu = nullptr;
    state.forms.clear();
    state.icons.clear();
    state.lastRefusal.clear();
    state.actionDepth = 0;
    state.activeForm = nullptr;
    state.formFocused = false;
    state.behindBoxes.clear();
}

}  // namespace vcl::headless
