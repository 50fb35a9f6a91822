// What the headless backend and the test driver share.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>

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
};

}  // namespace vcl::headless
