// Entry of the Windows programs KT4790Mon.exe and KT4790mMon.exe: no
// window, and no command line is read.
#include <windows.h>

#include "monitor/monitor.h"

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPSTR /*commandLine*/, int /*show*/) {
    return monitor::MonitorMain();
}
