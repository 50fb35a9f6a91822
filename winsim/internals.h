// What the winsim stand-ins of the system libraries share: the World's
// state behind its public facets. Only winsim's own sources include this.
#pragma once

#include <windows.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "winsim/devstack/devstack.h"
#include "winsim/world.h"

namespace winsim {

// A mutex. A named one is shared by every handle opened with its name and
// may also be held by "another process".
struct MutexState {
    std::string name;          // "" for an unnamed mutex
    int handles = 0;           // open handles of this process
    int ownCount = 0;          // recursion count of this process's ownership
    bool heldElsewhere = false;
};

// An event: signalled or not; an auto-reset one is reset by the wait it ends.
struct EventState {
    bool manualReset = false;
    bool signalled = false;
};

// An open file of the sandbox.
struct OpenFile {
    std::string hostPath;
    std::shared_ptr<std::FILE> stream;
    char drive = 'C';
    DWORD share = 0;
    std::uint64_t position = 0;
};

// An object behind a kernel handle.
struct KernelObject {
    enum class Kind { Device, File, Mutex, Event };
    Kind kind = Kind::Device;
    std::shared_ptr<emulator::Controller> controller;  // Kind::Device
    DWORD access = 0;                                  // rights asked for at CreateFileA
    std::shared_ptr<OpenFile> file;                    // Kind::File
    std::shared_ptr<MutexState> mutex;                 // Kind::Mutex
    std::shared_ptr<EventState> event;                 // Kind::Event
};

// An open registry key: its path below HKEY_LOCAL_MACHINE (upper-cased)
// and the rights it was opened with.
struct OpenRegistryKey {
    std::string path;
    DWORD access = 0;
};

// A registry key's values by upper-cased name, each with the name as set.
struct RegistryKeyData {
    std::map<std::string, std::pair<std::string, RegistryValue>> values;
};

// An action of the virtual clock.
struct ScheduledAction {
    std::uint64_t at = 0;
    std::uint64_t sequence = 0;  // keeps actions of one time in order
    std::function<void()> action;
};

// One answer of the save-file dialog: a name, or cancelled.
struct SaveDialogAnswer {
    bool accepted = false;
    std::string fileName;
};

// A SetupAPI device-information list: the interface class it was made for
// and the paths of the interfaces present when it was made.
struct DeviceInfoList {
    GUID interfaceClass{};
    std::vector<std::string> paths;
};

// A library loaded by LoadLibraryA.
struct LoadedLibrary {
    std::string bareName;
    int references = 0;
};

// An ASPI request with a completion routine, waiting for its time.
struct AspiCompletion {
    std::chrono::steady_clock::time_point due;
    std::uint64_t order = 0;  // requests due at one time complete in the order sent
    devstack::AspiRequest request;
};

struct World::Internals {
    // Serialises the World and the controllers: the caller's thread and the
    // ASPI completion threads both reach them.
    std::recursive_mutex mutex;

    std::vector<EmulatedDevice> devices;
    unsigned nextSerial = 1;

    int aspiAdapterCount = -1;  // negative: derived from the devices
    int aspiCompletionDelayMs = 0;
    bool setupApiFails = false;

    // Kernel handles and device-information lists share one counter, so no
    // value is ever both, and a value is not reused after a Reset.
    std::uintptr_t nextHandleValue = 0x40;
    std::map<std::uintptr_t, KernelObject> kernelObjects;
    std::map<std::uintptr_t, DeviceInfoList> deviceInfoLists;

    std::string libraryDirectory;
    std::set<std::string> hiddenLibraries;                         // upper-cased bare names
    std::set<std::pair<std::string, std::string>> hiddenExports;   // upper-cased bare name, export name
    std::map<std::pair<std::string, std::string>, void (*)()> replacedExports;  // likewise
    std::map<void*, LoadedLibrary> libraries;                      // by module handle
    std::vector<std::string> procNamesAsked;

    bool passThroughLogging = true;
    bool aspiLogging = true;
    std::vector<PassThroughCall> passThroughLog;
    std::vector<AspiCall> aspiLog;

    // ASPI requests with a completion routine complete on one worker thread,
    // each once its delay has passed in real time (a heap: the one due first
    // on top). A Reset drops those still waiting (they never complete) and
    // ends the worker; the next such request starts it again.
    std::mutex aspiMutex;
    std::condition_variable aspiWake;
    std::vector<AspiCompletion> aspiQueue;
    std::uint64_t aspiOrder = 0;
    std::thread aspiWorker;
    bool aspiStopping = false;
    // SendASPI32Command refuses every request at once with this status; 0: none.
    std::uint8_t aspiRefusal = 0;

    // Notified (with the World lock) when an event is set or an ASPI request
    // with a completion routine has completed: wakes the waits that run in
    // real time while such a request is outstanding.
    std::condition_variable_any realTimeWake;

    // Registry: keys by upper-cased path ("" is HKEY_LOCAL_MACHINE itself),
    // the keys with restricted rights, and the open keys.
    std::map<std::string, RegistryKeyData> registryKeys;
    std::set<std::string> registryReadOnlyKeys;
    std::set<std::string> registryUncreatableKeys;
    std::map<std::uintptr_t, OpenRegistryKey> registryHandles;

    // Windows version.
    WindowsVersion version;
    VersionFailure versionFailure = VersionFailure::None;

    // Named mutexes by upper-cased name, and names that cannot be made.
    std::map<std::string, std::shared_ptr<MutexState>> namedMutexes;
    std::map<std::string, DWORD> mutexCreateErrors;

    // Virtual clock.
    std::uint64_t now = 0;
    std::uint64_t clockLimit = 0;
    std::uint64_t nextActionSequence = 0;
    std::vector<ScheduledAction> schedule;
    // ASPI requests with a completion routine not yet completed (their
    // completion runs on a real thread) or never to complete.
    int aspiPostingOutstanding = 0;
    // Changes when the program under test ends (EndProcess) or the World is
    // reset: ASPI completions of an earlier generation are dropped.
    unsigned processGeneration = 0;

    // Message boxes.
    std::vector<MessageBoxCall> messageBoxes;
    std::deque<int> messageBoxAnswers;
    int messageBoxScriptErrors = 0;
    std::function<void(const MessageBoxCall&)> messageBoxHook;
    std::function<void(bool open)> messageBoxObserver;  // kept by Reset

    // Drives, windows, program starts.
    std::uint32_t logicalDrives = 0;
    std::vector<TopLevelWindow> windows;  // in creation order
    std::vector<WinExecCall> winExecCalls;
    std::uint32_t winExecResult = 0;
    std::function<void(const WinExecCall&)> winExecHook;

    // Files.
    std::string sandboxRoot;  // "" until first use
    std::string windowsDirectory;
    std::set<char> writeProtectedDrives;
    // Bytes the files of a drive may still grow by; a drive not here has no limit.
    std::map<char, std::uint64_t> driveFreeSpace;
    std::function<void(const std::string& name)> fileOpenHook;
    std::set<std::string> readOnlyFiles;  // host paths
    std::set<std::string> unreadableFiles;  // host paths

    // Save-file dialog.
    std::deque<SaveDialogAnswer> saveDialogAnswers;
    std::vector<FileDialogCall> saveDialogCalls;
    DWORD commonDialogError = 0;

    // Screen, cursor, foreground, notification area, code page.
    int screenWidth = 0;
    int screenHeight = 0;
    LONG cursorX = 0;
    LONG cursorY = 0;
    bool cursorPosFails = false;
    std::vector<std::uintptr_t> foregroundCalls;
    std::vector<NotifyIcon> notifyIcons;
    std::vector<NotifyIconCall> notifyIconCalls;
    std::uint32_t ansiCodePage = 0;

    std::uintptr_t NewHandleValue() {
        const std::uintptr_t value = nextHandleValue;
        nextHandleValue += 4;
        return value;
    }
};

// Upper-cases 8-bit text the way name comparisons of the system do.
std::string UpperCase(const std::string& text);

// Whether `controller` is still attached: listed in the World and not removed.
bool DeviceAttached(const World::Internals& internals, const emulator::Controller* controller);

// The directory of the running program (binding file: the one place that
// asks the operating system).
std::string DefaultLibraryDirectory();

// Drops the ASPI requests still waiting for their completion and ends the
// worker that completes them.
void StopAspiRequests(World::Internals& internals);

// Virtual clock (world.cpp). Advances the clock toward `deadline` (none:
// without end), running the actions that fall due, until `done` holds
// (checked with the World locked, after each step). Returns whether it
// held; throws SimulationStopped past the clock limit or when no deadline
// and no action are left. Call it without holding the World lock.
bool RunClock(World& world, std::optional<std::uint64_t> deadline, const std::function<bool()>& done);
// When the first scheduled action falls due; nothing when none is scheduled.
std::optional<std::uint64_t> NextActionTime(const World::Internals& internals);

// Kernel objects (kernel32.cpp).
KernelObject* FindKernelObject(World::Internals& internals, HANDLE handle);
// Sets an event by handle, as SetEvent does; false when it is no event.
bool SignalEvent(World::Internals& internals, HANDLE handle);
// Drops one handle's object, releasing what it holds (mutex ownership, file).
void ReleaseKernelObject(World::Internals& internals, KernelObject& object);

// Files (kernel32_files.cpp): CreateFileA of a path that is no device;
// removing the sandbox.
HANDLE CreateSandboxFile(World& world, LPCSTR name, DWORD access, DWORD share, DWORD disposition, DWORD attributes);
// Runs the test's file-open hook, if any, without the World locked.
void RunFileOpenHook(World& world, const std::string& name);
void RemoveSandbox(World::Internals& internals);

// The ANSI code page (kernel32.cpp): one byte to its UTF-16 unit, and back
// (false when the character has no byte in the code page).
char16_t AnsiToWide(std::uint32_t codePage, unsigned char byte);
bool WideToAnsi(std::uint32_t codePage, char16_t unit, unsigned char& byte);
// Whether a character that a byte of the code page stands for is a letter or a digit.
bool IsAlphaNumeric(char16_t unit);


}  // namespace winsim
