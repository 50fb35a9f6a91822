// The simulated machine behind winsim: one World per process, reset by each
// test. Each facet is small and is set up and inspected by tests directly.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "emulator/controller.h"

namespace winsim {

// One emulated disk as the system sees it: through SetupAPI (an interface
// path the pass-through build opens) and through ASPI (an adapter and target).
struct EmulatedDevice {
    std::shared_ptr<emulator::Controller> controller;
    std::string interfacePath;     // SetupAPI device path
    bool openable = true;          // CreateFileA on the path succeeds
    bool visibleToSetupApi = true; // listed by SetupDiEnumDeviceInterfaces
    std::uint8_t hostAdapter = 0;  // ASPI address
    std::uint8_t target = 0;
    bool visibleToAspi = true;
};

// One pass-through control call as the driver received it.
struct PassThroughCall {
    std::array<std::uint8_t, 44> header{};  // the SCSI_PASS_THROUGH header, before the call
    std::uint32_t inputSize = 0;
    std::uint32_t outputSize = 0;
};

// One ASPI request block as SendASPI32Command received it.
struct AspiCall {
    std::uint8_t cmd = 0;
    std::uint8_t haId = 0;
    std::uint8_t flags = 0;
    std::uint8_t target = 0;
    std::uint8_t lun = 0;
    std::uint32_t bufLen = 0;
    bool bufferNonNull = false;
    std::uint8_t senseLen = 0;
    std::uint8_t cdbLen = 0;
    std::array<std::uint8_t, 16> cdb{};
};


// The kinds of handle winsim hands out; OpenHandleCount(kind) counts one.
enum class HandleKind { Device, File, Mutex, Event, RegistryKey, DeviceList };

// What GetVersionExA reports. The default is Windows XP.
struct WindowsVersion {
    std::uint32_t major = 5;
    std::uint32_t minor = 1;
    std::uint32_t build = 2600;
    std::uint32_t platformId = 2;  // 1: Windows 95/98/ME, 2: Windows NT family
    std::string servicePack;       // szCSDVersion
};

// Which records GetVersionExA refuses (with ERROR_INSUFFICIENT_BUFFER, as
// systems that do not know the record do).
enum class VersionFailure { None, ExtendedRecord, BothRecords };

// One registry value: its type (REG_DWORD 4, REG_SZ 1, ...) and its bytes.
struct RegistryValue {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
};

// One MessageBoxA call. `answer` is what the box returned.
struct MessageBoxCall {
    std::string text;
    std::string caption;
    std::uint32_t type = 0;  // buttons | icon | ...
    std::uintptr_t owner = 0;
    int answer = 0;
    std::uint32_t buttons() const { return type & 0x0Fu; }
    std::uint32_t icon() const { return type & 0xF0u; }
};

// A top-level window as FindWindowA sees it.
struct TopLevelWindow {
    std::uintptr_t handle = 0;
    std::string className;
    std::string title;
    bool visible = false;
};

// An icon of the notification area, keyed by (window, id).
struct NotifyIcon {
    std::uintptr_t window = 0;
    std::uint32_t id = 0;
    std::uint32_t flags = 0;  // union of the NIF_ flags ever given
    std::uint32_t callbackMessage = 0;
    std::uintptr_t icon = 0;
    std::string tip;
};

// One Shell_NotifyIconA call: the operation (NIM_ADD 0, NIM_MODIFY 1,
// NIM_DELETE 2), the record's fields and whether it succeeded.
struct NotifyIconCall {
    std::uint32_t message = 0;
    NotifyIcon data;
    std::uint32_t cbSize = 0;
    bool succeeded = false;
};

// One WinExec call and its result (> 31 on success).
struct WinExecCall {
    std::string commandLine;
    std::uint32_t showCommand = 0;
    std::uint32_t result = 0;
};

// One GetSaveFileNameA call: the name the dialog started with, the name it
// returned ("" when cancelled).
struct FileDialogCall {
    std::string initialName;
    std::string chosenName;
    bool accepted = false;
};

// Thrown by Sleep and the waits when the virtual clock would pass the limit
// set by SetClockLimit, or when a wait without time-out can never end (no
// scheduled action left to signal anything). It stops a program under test
// that would otherwise run or hang for ever; it is a test failure unless
// the test expects it.
class SimulationStopped : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class World {
public:
    static World& Get();

    // Back to an empty machine: no devices, no open handles, nothing hidden,
    // every facet at its default (clock at 0, empty registry, no windows,
    // no files: the file sandbox is removed).
    // Libraries still loaded stay counted, so a leak shows in the next check.
    // ASPI requests still waiting for their completion are abandoned: they
    // never complete, and winsim does not touch their blocks again.
    void Reset();

    // --- devices -----------------------------------------------------------
    // Adds a device; its interface path is made from the controller's INQUIRY
    // revision ("...&rev_kvor#...") and a serial number unless `path` is given.
    // ASPI address: adapter 0, the next free target, unless set afterwards.
    EmulatedDevice& AddDevice(std::shared_ptr<emulator::Controller> controller, const std::string& path = "");
    EmulatedDevice& AddDevice(const emulator::Config& config, const std::string& path = "");
    std::vector<EmulatedDevice>& devices();
    EmulatedDevice* FindDevice(const std::string& path);
    EmulatedDevice* FindDevice(std::uint8_t hostAdapter, std::uint8_t target);

    // ASPI host adapters reported by GetASPI32SupportInfo: by default one more
    // than the highest adapter id in use (at least 1).
    void SetAspiAdapterCount(int count);  // negative: back to the default
    int AspiAdapterCount() const;
    // How long a request takes before it completes; a negative value means
    // it never completes. A request with a completion routine completes on
    // a real thread after this many real milliseconds; one with event
    // notification completes on the virtual clock, this many virtual
    // milliseconds after it was sent, at the sender's next Sleep or wait
    // (never inside SendASPI32Command), and then sets its event.
    void SetAspiCompletionDelayMs(int ms);
    int AspiCompletionDelayMs() const;
    // SendASPI32Command refuses every execute request at once with this
    // status, as a manager does that cannot take a request (SS_ASPI_IS_BUSY,
    // say): it returns the status and writes it into the block, and neither
    // runs nor completes the request. 0 takes requests again.
    void SetAspiRefusal(std::uint8_t status);
    // Whether SetupDiGetClassDevsA fails.
    void SetSetupApiFails(bool fails);
    bool SetupApiFails() const;

    // --- handles ---------------------------------------------------------------
    // Every kind of handle winsim handed out and not yet closed: kernel
    // handles and SetupAPI device-information lists (not library modules).
    // Includes files, mutexes, events and registry keys.
    int OpenHandleCount() const;
    int OpenHandleCount(HandleKind kind) const;
    int OpenDeviceListCount() const;  // SetupAPI device-information lists not yet destroyed
    // The program under test ends: every handle it still holds is closed as
    // the system does at process end (owned mutexes are released, named
    // objects without handles vanish). Returns how many were closed.
    int EndProcess();

    // --- libraries ------------------------------------------------------------
    // LoadLibraryA maps a bare name ("KT4790DLL") to <dir>/<name>.so.
    void SetLibraryDirectory(const std::string& dir);
    const std::string& LibraryDirectory() const;
    void HideLibrary(const std::string& bareName);
    void HideExport(const std::string& bareName, const std::string& procName);
    // GetProcAddress gives `procedure` in place of the library's own export:
    // a test's stand-in that returns what the library never does. Any
    // function pointer, cast to this type.
    void ReplaceExport(const std::string& bareName, const std::string& procName, void (*procedure)());
    bool LibraryHidden(const std::string& bareName) const;
    bool ExportHidden(const std::string& bareName, const std::string& procName) const;
    int LoadedLibraryCount() const;  // LoadLibraryA minus FreeLibrary
    // Every name asked of GetProcAddress of a loaded library since the last
    // Reset or ClearProcNamesAsked, in order, the names that did not resolve
    // included: the order in which a handler binds.
    std::vector<std::string> ProcNamesAsked() const;
    void ClearProcNamesAsked();

    // --- transport logs --------------------------------------------------------
    // Every pass-through call and ASPI request since the last Reset or
    // ClearLogs, while its log is on (both are on after a Reset).
    void SetPassThroughLogging(bool on);
    void SetAspiLogging(bool on);
    const std::vector<PassThroughCall>& PassThroughLog() const;
    const std::vector<AspiCall>& AspiLog() const;
    void ClearLogs();
    // Room for `calls` entries in each log, so logging allocates nothing per call.
    void ReserveLogs(std::size_t calls);

    // --- Windows version (GetVersionExA) ----------------------------------------
    void SetWindowsVersion(const WindowsVersion& version);
    WindowsVersion GetWindowsVersion() const;
    void SetVersionFailure(VersionFailure failure);

    // --- named mutexes ---------------------------------------------------------
    // A name "another process" holds: CreateMutexA gives a handle to it and
    // ERROR_ALREADY_EXISTS; a wait on it does not end until it is released.
    void HoldMutexElsewhere(const std::string& name);
    void ReleaseMutexElsewhere(const std::string& name);
    // CreateMutexA of this name fails: NULL and GetLastError() == error
    // (ERROR_ACCESS_DENIED, say). 0 allows it again.
    void SetMutexCreateError(const std::string& name, std::uint32_t error);
    // Whether a mutex of this name exists (a handle here or held elsewhere).
    bool MutexExists(const std::string& name) const;
    // Whether this process owns it (created owned or acquired, not released).
    bool MutexOwnedHere(const std::string& name) const;

    // --- registry (HKEY_LOCAL_MACHINE) -------------------------------------------
    // Key paths are relative to HKEY_LOCAL_MACHINE, separated by '\', and
    // compared without regard to case ("Software\KT4790C\V2.0").
    void CreateRegistryKey(const std::string& key);
    bool RegistryKeyExists(const std::string& key) const;
    void DeleteRegistryKey(const std::string& key);  // with its subkeys and values
    void SetRegistryValue(const std::string& key, const std::string& name, const RegistryValue& value);
    void SetRegistryDword(const std::string& key, const std::string& name, std::uint32_t value);
    void DeleteRegistryValue(const std::string& key, const std::string& name);
    std::optional<RegistryValue> GetRegistryValue(const std::string& key, const std::string& name) const;
    // The value when it is a REG_DWORD of 4 bytes.
    std::optional<std::uint32_t> GetRegistryDword(const std::string& key, const std::string& name) const;
    // The key opens for reading (KEY_READ, KEY_QUERY_VALUE) but every request
    // for more (KEY_ALL_ACCESS, KEY_WRITE, KEY_SET_VALUE) gets ERROR_ACCESS_DENIED.
    void DenyRegistryFullAccess(const std::string& key);
    // RegCreateKeyExA cannot create this key (ERROR_ACCESS_DENIED).
    void DenyRegistryCreate(const std::string& key);

    // --- message boxes -----------------------------------------------------------
    const std::vector<MessageBoxCall>& MessageBoxes() const;
    void ClearMessageBoxes();
    // Answers for the coming boxes, in order (IDOK 1, IDCANCEL 2). A box
    // without a scripted answer gets IDOK. An answer the box does not offer
    // (IDCANCEL for a plain OK box) is a mistake of the test: the box then
    // returns IDOK and MessageBoxScriptErrors() counts it.
    void ScriptMessageBoxAnswer(int answer);
    int UnusedMessageBoxAnswers() const;
    int MessageBoxScriptErrors() const;
    // Runs inside MessageBoxA while the box is "open", after it was
    // recorded and before it returns (the record's answer is already set).
    void SetMessageBoxHook(std::function<void(const MessageBoxCall&)> hook);
    // A message box takes the activation from the window that has it while
    // the box is open, and the system gives it back as the box closes. The
    // form framework follows that here: `observer` runs with true as a box
    // opens (before the hook) and with false as it closes. It belongs to the
    // program, not to one test, so Reset keeps it.
    void SetMessageBoxObserver(std::function<void(bool open)> observer);

    // --- virtual clock -------------------------------------------------------------
    // Milliseconds since the Reset. GetTickCount reports its low 32 bits.
    // Sleep advances it; a timed wait advances it to the time-out or until a
    // scheduled action signals what it waits for. No real time passes,
    // except while an ASPI request with a completion routine is outstanding:
    // that completion runs on a real thread and may set an event at any
    // moment, so then Sleep sleeps in real time too, and a wait lasts in real
    // time until what it waits for is signalled, the clock following the
    // real time spent (and running the actions that fall due on the way).
    std::uint64_t Now() const;
    // Advances the clock, running the actions that fall due on the way.
    void AdvanceClock(std::uint64_t ms);
    // Runs `action` when the clock reaches `atMs` (at once, at the next
    // advance or wait, when that time has passed). Actions due at one time
    // run in the order they were scheduled.
    void ScheduleAt(std::uint64_t atMs, std::function<void()> action);
    std::size_t ScheduledActionCount() const;
    // Sleep and waits throw SimulationStopped rather than pass this time (0: no limit).
    void SetClockLimit(std::uint64_t ms);

    // --- logical drives (GetLogicalDrives) -----------------------------------------
    // Bit 0 is A:, bit 2 C:. The default is C: alone.
    void SetLogicalDrives(std::uint32_t mask);
    std::uint32_t LogicalDrives() const;

    // --- top-level windows (FindWindowA) ----------------------------------------------
    // The form framework registers its windows here; a test can add windows
    // of "other programs". Returns the window handle.
    std::uintptr_t CreateTopLevelWindow(const std::string& className, const std::string& title, bool visible);
    bool DestroyTopLevelWindow(std::uintptr_t window);
    void SetWindowTitle(std::uintptr_t window, const std::string& title);
    void SetWindowVisible(std::uintptr_t window, bool visible);
    std::optional<TopLevelWindow> FindTopLevelWindow(std::uintptr_t window) const;
    std::vector<TopLevelWindow> TopLevelWindows() const;

    // --- program start (WinExec) ----------------------------------------------------
    const std::vector<WinExecCall>& WinExecCalls() const;
    // WinExec returns this (a value <= 31 is a failure; the default 33 succeeds).
    void SetWinExecResult(std::uint32_t result);
    // Runs inside a successful WinExec (e.g. the started program opens its window).
    void SetWinExecHook(std::function<void(const WinExecCall&)> hook);

    // --- files ------------------------------------------------------------------------
    // Drive letters map to folders of a sandbox directory (created at first
    // use, removed by Reset): "C:\X\y.txt" is <root>/C/X/y.txt. Names are
    // found without regard to case. Drive C: exists with the Windows
    // directory; other drives exist once added or once a file is put there.
    std::string SandboxRoot();
    // Creates the drive's folder and sets its bit in the drive mask.
    void AddDrive(char letter);
    void RemoveDrive(char letter);  // its files go, its bit is cleared
    // A write-protected drive refuses every write access (ERROR_WRITE_PROTECT).
    void SetDriveWriteProtected(char letter, bool on);
    // A drive's free space: its files may grow by this many bytes in all
    // (WriteFile, SetEndOfFile); a call that needs more fails whole with
    // ERROR_DISK_FULL and changes nothing, as Windows NT does. What files
    // give back by shrinking or going is not counted. A full drive has no
    // free space; SetDriveFull(letter, false) lifts the limit.
    void SetDriveFreeSpace(char letter, std::uint64_t bytes);
    void SetDriveFull(char letter, bool on);
    void SetWindowsDirectory(const std::string& path);  // default "C:\WINDOWS"
    std::string WindowsDirectory() const;
    // The Windows path's file on the host, creating its folders.
    std::string HostPath(const std::string& windowsPath);
    void PutFile(const std::string& windowsPath, const std::string& bytes);
    std::optional<std::string> FileContents(const std::string& windowsPath);
    bool FileExists(const std::string& windowsPath);
    void MakeDirectory(const std::string& windowsPath);
    // A read-only file opens for reading only (ERROR_ACCESS_DENIED otherwise).
    void SetFileReadOnly(const std::string& windowsPath, bool on);
    // A file on a damaged medium: it opens and tells its size, but every
    // ReadFile of some bytes fails (ERROR_CRC).
    void SetFileUnreadable(const std::string& windowsPath, bool on);
    // Runs inside CreateFileA of a file (not a device), with the name as
    // given, before the file is looked at: what another program does to the
    // files between a program's look at a name and its open.
    void SetFileOpenHook(std::function<void(const std::string& name)> hook);

    // --- save-file dialog (GetSaveFileNameA) ------------------------------------------
    // Answers for the coming dialogs, in order: a file name chosen, or
    // cancelled. Without a scripted answer the dialog is cancelled.
    void ScriptSaveDialogAnswer(const std::string& fileName);
    void ScriptSaveDialogCancel();
    const std::vector<FileDialogCall>& SaveDialogCalls() const;

    // --- screen, cursor and foreground --------------------------------------------------
    void SetScreenSize(int width, int height);  // default 1024 x 768
    void SetCursorPosition(int x, int y);
    void SetCursorPosFails(bool fails);
    // SetForegroundWindow calls, in order.
    const std::vector<std::uintptr_t>& ForegroundCalls() const;

    // --- notification area (Shell_NotifyIconA) --------------------------------------------
    std::vector<NotifyIcon> NotifyIcons() const;
    const std::vector<NotifyIconCall>& NotifyIconCalls() const;

    // --- text -------------------------------------------------------------------------------
    // The ANSI code page (CP_ACP): 1252 (default) or 20127 (US-ASCII).
    void SetAnsiCodePage(std::uint32_t codePage);
    std::uint32_t AnsiCodePage() const;

    // Internal bookkeeping used by the winsim DLL stand-ins.
    std::recursive_mutex& mutex();
    struct Internals;
    Internals& internals();

private:
    World();
    ~World();
    std::unique_ptr<Internals> internals_;
};

}  // namespace winsim
