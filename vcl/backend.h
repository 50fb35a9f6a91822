// What the control model asks of its backend. Exactly one backend is linked
// into the vcl library: vcl/win32/backend.cpp (real windows) or
// vcl/headless/backend.cpp (no windows; forms and the application window are
// top-level windows of the simulated machine, so FindWindowA sees them).
#pragma once

#include <string>

#include "vcl/vcl.h"

namespace vcl {

class Backend {
public:
    // The application's hidden top-level window, captioned with its title.
    static HWND CreateApplicationWindow(const std::string& title);
    static void SetApplicationTitle(HWND window, const std::string& title);
    static void DestroyApplicationWindow(HWND window);

    // The message loop. RunLoop returns when the application is terminated
    // (headless: also as soon as nothing is pending).
    static void RunLoop();
    static void ProcessMessages();
    static void PostQuit();

    // The native windows of a form and all its controls, made from the
    // model's current state; destroyed together.
    static void CreateWindows(TForm* form);
    static void DestroyWindows(TForm* form);
    // A property of `control` changed (or it was given a parent).
    static void Changed(TControl* control, Property property);
    static void BringToFront(TForm* form);
    // Outer size minus client size of a form with its border style and icons.
    static void FrameSize(const TForm* form, int& extraWidth, int& extraHeight);
    // The framework's handling of a message the form's Dispatch passed on.
    static void DefaultHandler(TForm* form, TMessage& message);

    static void PopupMenu(TPopupMenu* menu, int x, int y);
    static void MenuDestroyed(TPopupMenu* menu);
    static HICON LoadIconResource(const std::string& name);
    // The drive letter of the current directory.
    static char CurrentDrive();
    // The width in pixels of `text` in the control's font, or -1 when the
    // backend cannot measure text.
    static int TextWidth(const TControl* control, const std::string& text);

    static void SetHandle(TControl* control, HWND handle) { control->handle_ = handle; }
    // The activation of a form's window changed (TForm::Deactivated, TForm::Activated).
    static void FormDeactivated(TForm* form, TWinControl* focused) { form->Deactivated(focused); }
    static bool FormActivated(TForm* form) { return form->Activated(); }
};

}  // namespace vcl
