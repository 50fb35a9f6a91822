// The monitor's main loop: single instance, stop request, the "Pop"
// setting, the drive-mask poll and the start of the utility application.
#include "monitor/monitor.h"

namespace monitor {

int DevicePresent = 0;

namespace {

constexpr DWORD kPollWaitMs = 2000;
#ifdef KT4790_ASPI
constexpr DWORD kSecondInstanceHoldMs = 4000;
#else
constexpr DWORD kSecondInstanceHoldMs = 2000;
// KT4790Mon waits this long before it starts the application; KT4790mMon
// starts it at once.
constexpr DWORD kStartDelayMs = 3000;
#endif

// Creates the named mutex owned; true when it was new. A mutex that existed
// already, or could not be made, both count as taken. The handle (null when
// it could not be made) goes to the caller.
bool CreateNewMutex(const char* name, HANDLE& handle) {
    SetLastError(ERROR_SUCCESS);
    handle = CreateMutexA(nullptr, TRUE, name);
    return GetLastError() == ERROR_SUCCESS;
}

void CloseIfOpen(HANDLE handle) {
    if (handle != nullptr) CloseHandle(handle);
}

// Creates the settings key with "Pop" = 1 when it does not open.
void WriteDefaultSetting() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRegSettingsKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        key = nullptr;
        DWORD disposition = 0;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRegSettingsKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_SET_VALUE, nullptr, &key, &disposition) == ERROR_SUCCESS) {
            const DWORD on = 1;
            RegSetValueExA(key, kPopValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&on), sizeof on);
        } else {
            key = nullptr;
        }
    }
    if (key != nullptr) RegCloseKey(key);
}

// Reads "Pop" into `popUp`: its first 4 bytes, whatever its type. A value
// that cannot be read leaves `popUp` as it was. False when the key does
// not open.
bool ReadPopUp(DWORD& popUp) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRegSettingsKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
    // A failed read may leave the buffer undefined: read into a copy.
    DWORD value = popUp;
    DWORD size = sizeof value;
    if (RegQueryValueExA(key, kPopValue, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS) {
        popUp = value;
    }
    RegCloseKey(key);
    return true;
}

// A device with a set password has newly appeared: start the application
// unless "Pop" or an open application window vetoes it.
void StartApplication(DWORD& popUp, HANDLE timer) {
    if (!ReadPopUp(popUp)) return;
    if (popUp != 1 || FindWindowA(nullptr, kAppTitle) != nullptr) return;
#ifdef KT4790_ASPI
    (void)timer;
#else
    WaitForSingleObject(timer, kStartDelayMs);
#endif
    WinExec(kAppExe, SW_SHOWNORMAL);
}

}  // namespace

int CheckDevice() {
    bool found = false;
#ifdef KT4790_ASPI
    found = ScanAspi(kRevisionFilter) == 1;
#else
    // While the application is open, the monitor leaves the devices alone.
    if (FindWindowA(nullptr, kAppTitle) != nullptr) return 0;
    const HANDLE device = FindDevice(kRevisionFilter);
    if (device != INVALID_HANDLE_VALUE) {
        found = PwdExistByte(device) == 1;
        CloseHandle(device);
    }
#endif
    if (!found) {
        DevicePresent = 0;
        return 0;
    }
    if (DevicePresent == 1) return 0;
    DevicePresent = 1;
    return 1;
}

int MonitorMain() {
    DWORD popUp = 1;
    DWORD knownDrives = 0;  // so the first pass always counts as a change
    // Never signalled: waits on it are plain timed sleeps.
    const HANDLE timer = CreateEventA(nullptr, TRUE, FALSE, nullptr);

    HANDLE running = nullptr;
    if (!CreateNewMutex(kMonitorMutex, running)) {
        // Another monitor runs: ask it to stop, for long enough that one of
        // its end-of-pass tests sees the request.
        HANDLE exitRequest = nullptr;
        CreateNewMutex(kMonitorExitMutex, exitRequest);
        WaitForSingleObject(timer, kSecondInstanceHoldMs);
        CloseIfOpen(exitRequest);
        CloseIfOpen(running);
        CloseIfOpen(timer);
        return 0;
    }

    WriteDefaultSetting();

    for (;;) {
        const DWORD drives = GetLogicalDrives();
        WaitForSingleObject(timer, kPollWaitMs);
        if (drives != knownDrives) {
            knownDrives = drives;
            if (CheckDevice() == 1) StartApplication(popUp, timer);
        }

        HANDLE exitRequest = nullptr;
        const bool stop = !CreateNewMutex(kMonitorExitMutex, exitRequest);
        CloseIfOpen(exitRequest);
        if (stop) break;
    }

    CloseIfOpen(running);
    CloseIfOpen(timer);
    return 0;
}

}  // namespace monitor
