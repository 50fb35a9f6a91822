// What the headless backend and the test driver share.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "vcl/vcl.h"

namespace vcl::headless {

// The close message of a window (the close box, Alt+F4).
constexpr UINT kWmClose = 0x0010;

struct State {
    static State& Get();
    std::deque<std::function<void()>> posted;  // the loop's pending work
    std::map<HWND, TForm*> forms;              // by current window handle
    std::map<std::string, HICON> icons;        // by resource name
    TPopupMenu* openMenu = nullptr;
    int menuX = 0, menuY = 0;
    std::string lastRefusal;
    int actionDepth = 0;  // driver actions running (nested through handlers)
    // The form whose window is active (null while none is, as while a
    // message box is open), and whether the keyboard focus is on that
    // window itself rather than on its ActiveControl.
    TForm* activeForm = nullptr;
    bool formFocused = false;
    // The forms the open message boxes took the activation from, the
    // innermost box's last (null where no form was active).
    std::vector<TForm*> behindBoxes;
};

}  // namespace vcl::headless
