// The device monitor, a program without any window: every 2 seconds it
// compares the set of logical drives, and when a device of the controller
// with a set password has newly appeared it starts the utility application.
//
// One source, two programs: KT4790Mon (device search over SetupAPI and SCSI
// pass-through, starts KT4790CAP) and KT4790mMon (KT4790_ASPI defined:
// device search over ASPI, starts KT4790MCAP). It does not load the device
// command library; it sends its few commands itself, encoded by devlib/cdb.
#pragma once

#include <windows.h>

namespace monitor {

// Its existence marks a running monitor.
constexpr char kMonitorMutex[] = "KT4790C";
// Its existence is the request to stop.
constexpr char kMonitorExitMutex[] = "ExitKT4790C";
// Under HKEY_LOCAL_MACHINE; the value "Pop" (REG_DWORD, 1 = start the application).
constexpr char kRegSettingsKey[] = "Software\\KT4790C\\V2.0";
constexpr char kPopValue[] = "Pop";

#ifdef KT4790_ASPI
constexpr char kAppTitle[] = "KT4790MCAP";
constexpr char kAppExe[] = "KT4790MCAP.exe";
constexpr char kRevisionFilter[] = "KVOR";
#else
constexpr char kAppTitle[] = "KT4790CAP";
constexpr char kAppExe[] = "KT4790CAP.exe";
constexpr char kRevisionFilter[] = "Rev_KVOR";
#endif

// 1 while a matching device with a set password was seen at the last
// search, else 0. Process-wide, 0 at start.
extern int DevicePresent;

// The program: holds kMonitorMutex and polls until a pass ends while
// kMonitorExitMutex exists; a second start, which finds kMonitorMutex
// taken, holds kMonitorExitMutex for a while and ends. Returns 0 on every
// path, having closed every handle it opened.
int MonitorMain();

// One device search: 1 only when a matching device with a set password is
// seen after a search that did not see one, else 0.
int CheckDevice();

#ifdef KT4790_ASPI
// 1 when any matching device on any host adapter (targets 0-7, LUN 0)
// reports password-state byte 0 equal to 1, else 0. `revision` is compared
// whole with INQUIRY bytes 32-35, trimmed of trailing blanks, ignoring case;
// "P1.0" matches as well.
int ScanAspi(const char* revision);
#else
// The open handle of the first present disk interface whose path contains
// `revision` (ignoring case) or "REV_P1.0" and whose INQUIRY passes, or
// INVALID_HANDLE_VALUE. The caller closes the handle.
HANDLE FindDevice(const char* revision);
// 1 when the password-state command succeeds on `device` and its reply byte
// 0 is not 0, else 0.
int PwdExistByte(HANDLE device);
#endif

}  // namespace monitor
