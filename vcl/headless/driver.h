// The test driver of the headless build: tests act on the forms as a person
// would. Every action refuses what a person could not do, returns false and
// changes nothing: acting on a control that is hidden, disabled, lies outside
// the visible part of its parents, or whose form is hidden or disabled;
// choosing a menu item while its menu is not open; and so on. The reason of
// the last refusal is kept for the test's failure message.
//
// The message loop in tests: Application->Run() returns as soon as nothing
// is pending. From then on each driver action is one turn of the loop: it
// runs the handler the action triggers (an exception leaving it goes to the
// exception box), then the work posted meanwhile, and when the application
// was terminated it destroys the forms as the end of Run does. So a
// program's WinMain runs unchanged: it returns after its start-up, and the
// test drives the program from there until it ends.
#pragma once

#include <functional>
#include <string>

#include "vcl/vcl.h"

namespace vcl::headless {

// Whether a person could act on `control` now: it and every parent are
// visible and enabled, its form is visible and enabled, and some part of it
// lies inside the client area of each parent. Why not, in `why`.
bool canReach(const TControl* control, std::string* why = nullptr);

// A click on a button, check box (toggles it) or radio button (checks it).
bool userClick(TControl* control);
// A click on a check box or radio button (refuses other kinds).
bool userCheck(TWinControl* box);
// Clicks into an edit or memo (it takes the focus) and types `keys`, one
// character at a time: OnKeyPress may change or swallow (set to 0) each; a
// character that passes is applied as the system's edit does (backspace
// removes the last character, other control characters are not inserted,
// nothing beyond MaxLength). OnKeyUp follows each key with its key code
// (letters upper-cased). False when the edit cannot be reached or is read
// only, or when a character that passed OnKeyPress did not fit MaxLength.
bool userType(TWinControl* edit, const std::string& keys);
// Types `keys` on the keyboard without clicking anywhere first: each key
// goes to the control that has the keyboard focus when it is pressed, as
// userType's keys go to its edit. Refused when the focus is on no edit: on
// a form's window itself, on another control, or on no window at all.
bool userKeys(const std::string& keys);
// Where the keys go: the active form's ActiveControl, the active form itself
// when the focus is on its window, or null when no form is active (while a
// message box is open). A form shown or activated again gives the focus to
// its ActiveControl when that can take it (no other control: the first in
// tab order is the win32 backend's choice alone).
TWinControl* keyboardFocus();
// Pastes `text` through the edit's context menu: no key events; the text is
// cut at MaxLength (false when it had to be cut).
bool userPaste(TEdit* edit, const std::string& text);
// Picks item `index` of a combo box's list (runs OnClick).
bool userSelect(TCustomComboBox* combo, int index);
// The close box of a form's title bar (refused without biSystemMenu).
bool userCloseBox(TForm* form);
// Picks an item of the popup menu that is open now; the menu closes.
bool userMenu(TMenuItem* item);
// Closes the open popup menu without a choice.
bool userDismissMenu();
// The menu open now (null when none) and where it was opened.
TPopupMenu* openMenu();
int openMenuX();
int openMenuY();

// Delivers a window message to the form whose current window handle is
// `window` (its Dispatch runs). False when no form has that handle, as for
// a handle of a window that was re-created since.
bool sendMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// The form with that current window handle, or null.
TForm* findForm(HWND window);

// The save-file dialog (TSaveDialog) and message boxes are the system's:
// script their answers in the World (ScriptSaveDialogAnswer,
// ScriptMessageBoxAnswer) before the action that opens them.

// Work the next turn of the loop runs (Application->ProcessMessages runs it
// too): a person acting while a long operation lets the loop run.
void post(std::function<void()> action);

// Why the last refused action was refused.
const std::string& lastRefusal();

// True once the application was terminated and its forms destroyed.
bool programEnded();

// Destroys the application object (its forms first, with their OnDestroy)
// and makes a fresh one; clears the driver's state. Call it at the end of
// each test (TearDown), so the forms' last calls (an icon removed, say) reach
// that test's World before the World is reset, and at the start as well.
void resetApplication();

}  // namespace vcl::headless
