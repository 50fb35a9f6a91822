// The program entry of the utility application, in both builds: KT4790CAP
// (pass-through library KT4790DLL) and KT4790MCAP (KT4790_ASPI defined,
// ASPI library KT4790mDLL).
#pragma once

#include <windows.h>

// The whole program: version check, single-instance rule, the fourteen
// forms and the message loop. WinMain calls it; on Linux the headless
// program and the tests call it. Returns the exit code, 0 on every path.
int AppMain();

// Creates the fourteen forms in their order; the first, TMainForm, is the
// main form. Needs the initialised application object.
void CreateForms();

// Reads the Windows version into `version`: the extended record first, the
// plain one on systems that do not know it. False when both fail.
bool ReadWindowsVersion(OSVERSIONINFOEXA& version);
