// kernel32 stand-in: last error, kernel handles, device access and the
// disk class driver's SCSI pass-through, the Windows version, mutexes,
// events and the virtual clock, the drive mask, WinExec and the ANSI code
// page. Portable C++: the device stack calls nothing of the operating
// system. (Dynamic binding, which does, is in kernel32_binding.cpp; the
// file sandbox is in kernel32_files.cpp.)
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "winsim/internals.h"

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

using Lock = std::lock_guard<std::recursive_mutex>;
using winsim::KernelObject;

constexpr DWORD kHeaderSize = sizeof(SCSI_PASS_THROUGH);

template <typename Result>
Result Fail(DWORD error, Result result) {
    SetLastError(error);
    return result;
}

using winsim::FindKernelObject;

HANDLE AddKernelObject(winsim::World::Internals& internals, KernelObject object) {
    const std::uintptr_t value = internals.NewHandleValue();
    internals.kernelObjects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

// The disk class driver's pass-through: its checks and the command's run
// are the device stack's (winsim/devstack); the log and the device's
// presence in the World are winsim's.
BOOL ScsiPassThrough(winsim::World::Internals& internals, KernelObject& device, LPVOID input, DWORD inputSize,
                     LPVOID output, DWORD outputSize, LPDWORD bytesReturned) {
    SCSI_PASS_THROUGH header;
    if (!devstack::ReadPassThroughHeader(input, inputSize, header)) return Fail(ERROR_INVALID_PARAMETER, FALSE);

    if (internals.passThroughLogging) {
        winsim::PassThroughCall call;
        std::memcpy(call.header.data(), &header, kHeaderSize);
        call.inputSize = inputSize;
        call.outputSize = outputSize;
        internals.passThroughLog.push_back(call);
    }

    if (!devstack::PassThroughRecordValid(header, inputSize, output, outputSize)) {
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    if (!winsim::DeviceAttached(internals, device.controller.get())) return Fail(ERROR_GEN_FAILURE, FALSE);
    const DWORD error = devstack::RunPassThrough(*device.controller, header, input, output, bytesReturned);
    if (error != ERROR_SUCCESS) return Fail(error, FALSE);
    return TRUE;
}

}  // namespace

namespace winsim {

KernelObject* FindKernelObject(World::Internals& internals, HANDLE handle) {
    const auto it = internals.kernelObjects.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == internals.kernelObjects.end() ? nullptr : &it->second;
}

bool SignalEvent(World::Internals& internals, HANDLE handle) {
    KernelObject* object = FindKernelObject(internals, handle);
    if (object == nullptr || object->kind != KernelObject::Kind::Event) return false;
    object->event->signalled = true;
    internals.realTimeWake.notify_all();
    return true;
}

void ReleaseKernelObject(World::Internals& internals, KernelObject& object) {
    if (object.kind != KernelObject::Kind::Mutex) return;
    MutexState& mutex = *object.mutex;
    // The last handle of this process gives up its ownership with it.
    if (--mutex.handles == 0) {
        mutex.ownCount = 0;
        if (!mutex.name.empty() && !mutex.heldElsewhere) internals.namedMutexes.erase(UpperCase(mutex.name));
    }
}

}  // namespace winsim

namespace {

// Whether the object behind `handle` is signalled; takes it when it is (an
// auto-reset event is reset, a mutex is owned once more).
bool TakeIfSignalled(const KernelObject& object) {
    if (object.kind == KernelObject::Kind::Event) {
        if (!object.event->signalled) return false;
        if (!object.event->manualReset) object.event->signalled = false;
        return true;
    }
    winsim::MutexState& mutex = *object.mutex;
    if (mutex.ownCount == 0 && mutex.heldElsewhere) return false;
    ++mutex.ownCount;
    return true;
}

// The classes of the characters a byte of the ANSI code page can stand for.
// Letters: the Latin letters of code page 1252 and ISO 8859-1. Digits:
// 0-9, and the superscript digits, which Windows classes as digits too.
bool IsLetter(char16_t c) {
    if ((c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z')) return true;
    if (c >= 0xC0 && c <= 0xFF) return c != 0xD7 && c != 0xF7;
    switch (c) {
        case 0xAA: case 0xB5: case 0xBA:                       // ordinal indicators, micro sign
        case 0x0152: case 0x0153: case 0x0160: case 0x0161:    // OE oe S-caron s-caron
        case 0x0178: case 0x017D: case 0x017E: case 0x0192:   // Y-diaeresis Z-caron z-caron f-hook
            return true;
        default:
            return false;
    }
}

bool IsDigit(char16_t c) { return (c >= u'0' && c <= u'9') || c == 0xB2 || c == 0xB3 || c == 0xB9; }

// Code page 1252 at 0x80-0x9F; the five bytes it leaves undefined stand
// for the control characters of the same value, as on Windows.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

constexpr std::uint32_t kCodePage1252 = 1252;
constexpr std::uint32_t kCodePageLatin1 = 28591;

// The code page a conversion call names: CP_ACP is the system's.
bool ResolveCodePage(UINT codePage, std::uint32_t& resolved) {
    resolved = codePage == CP_ACP ? winsim::World::Get().AnsiCodePage() : codePage;
    return resolved == kCodePage1252 || resolved == kCodePageLatin1;
}

}  // namespace

namespace winsim {

bool IsAlphaNumeric(char16_t unit) { return IsLetter(unit) || IsDigit(unit); }

char16_t AnsiToWide(std::uint32_t codePage, unsigned char byte) {
    if (codePage == kCodePage1252 && byte >= 0x80 && byte < 0xA0) return kCp1252High[byte - 0x80];
    return byte;
}

bool WideToAnsi(std::uint32_t codePage, char16_t unit, unsigned char& byte) {
    if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF) || (codePage == kCodePageLatin1 && unit <= 0xFF)) {
        byte = static_cast<unsigned char>(unit);
        return true;
    }
    if (codePage != kCodePage1252) return false;
    for (int i = 0; i < 32; ++i) {
        if (kCp1252High[i] == unit) {
            byte = static_cast<unsigned char>(0x80 + i);
            return true;
        }
    }
    return false;
}

// --- World: version, mutexes, drives, program start, code page -----------------------

void World::SetWindowsVersion(const WindowsVersion& version) {
    Lock lock(mutex());
    internals().version = version;
}

WindowsVersion World::GetWindowsVersion() const {
    Lock lock(internals_->mutex);
    return internals_->version;
}

void World::SetVersionFailure(VersionFailure failure) {
    Lock lock(mutex());
    internals().versionFailure = failure;
}

void World::HoldMutexElsewhere(const std::string& name) {
    Lock lock(mutex());
    std::shared_ptr<MutexState>& state = internals().namedMutexes[UpperCase(name)];
    if (!state) {
        state = std::make_shared<MutexState>();
        state->name = name;
    }
    state->heldElsewhere = true;
}

void World::ReleaseMutexElsewhere(const std::string& name) {
    Lock lock(mutex());
    auto& mutexes = internals().namedMutexes;
    const auto it = mutexes.find(UpperCase(name));
    if (it == mutexes.end()) return;
    it->second->heldElsewhere = false;
    if (it->second->handles == 0) mutexes.erase(it);
}

void World::SetMutexCreateError(const std::string& name, std::uint32_t error) {
    Lock lock(mutex());
    if (error == 0) {
        internals().mutexCreateErrors.erase(UpperCase(name));
    } else {
        internals().mutexCreateErrors[UpperCase(name)] = error;
    }
}

bool World::MutexExists(const std::string& name) const {
    Lock lock(internals_->mutex);
    return internals_->namedMutexes.count(UpperCase(name)) != 0;
}

bool World::MutexOwnedHere(const std::string& name) const {
    Lock lock(internals_->mutex);
    const auto it = internals_->namedMutexes.find(UpperCase(name));
    return it != internals_->namedMutexes.end() && it->second->ownCount > 0;
}

void World::SetLogicalDrives(std::uint32_t mask) {
    Lock lock(mutex());
    internals().logicalDrives = mask & 0x03FFFFFFu;  // A: to Z:
}

std::uint32_t World::LogicalDrives() const {
    Lock lock(internals_->mutex);
    return internals_->logicalDrives;
}

const std::vector<WinExecCall>& World::WinExecCalls() const { return internals_->winExecCalls; }

void World::SetWinExecResult(std::uint32_t result) {
    Lock lock(mutex());
    internals().winExecResult = result;
}

void World::SetWinExecHook(std::function<void(const WinExecCall&)> hook) {
    Lock lock(mutex());
    internals().winExecHook = std::move(hook);
}

void World::SetAnsiCodePage(std::uint32_t codePage) {
    Lock lock(mutex());
    if (codePage == kCodePage1252 || codePage == kCodePageLatin1) internals().ansiCodePage = codePage;
}

std::uint32_t World::AnsiCodePage() const {
    Lock lock(internals_->mutex);
    return internals_->ansiCodePage;
}

}  // namespace winsim

extern "C" {

DWORD WINAPI GetLastError(void) { return lastError; }

void WINAPI SetLastError(DWORD dwErrCode) { lastError = dwErrCode; }

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE /*hTemplateFile*/) {
    if (lpFileName == nullptr) return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    winsim::World& world = winsim::World::Get();
    const bool isDevice = devstack::IsDevicePath(lpFileName);
    if (!isDevice) winsim::RunFileOpenHook(world, lpFileName);
    Lock lock(world.mutex());
    if (!isDevice) {
        return winsim::CreateSandboxFile(world, lpFileName, dwDesiredAccess, dwShareMode, dwCreationDisposition,
                                 dwFlagsAndAttributes);
    }

    const winsim::EmulatedDevice* device = world.FindDevice(lpFileName);
    if (device == nullptr || device->controller == nullptr || device->controller->removed()) {
        return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    }
    // A device can only be opened, never created or truncated.
    if (dwCreationDisposition != OPEN_EXISTING) return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    if (!device->openable) return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);

    KernelObject object;
    object.kind = KernelObject::Kind::Device;
    object.controller = device->controller;
    object.access = dwDesiredAccess;
    return AddKernelObject(world.internals(), std::move(object));
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    winsim::World& world = winsim::World::Get();
    Lock lock(world.mutex());
    winsim::World::Internals& internals = world.internals();
    const auto it = internals.kernelObjects.find(reinterpret_cast<std::uintptr_t>(hObject));
    if (it == internals.kernelObjects.end()) return Fail(ERROR_INVALID_HANDLE, FALSE);
    winsim::ReleaseKernelObject(internals, it->second);
    internals.kernelObjects.erase(it);
    return TRUE;
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped) {
    winsim::World& world = winsim::World::Get();
    Lock lock(world.mutex());
    winsim::World::Internals& internals = world.internals();

    KernelObject* object = FindKernelObject(internals, hDevice);
    if (object == nullptr || object->kind != KernelObject::Kind::Device) return Fail(ERROR_INVALID_HANDLE, FALSE);
    const DWORD error = devstack::CheckPassThroughCall(object->access, dwIoControlCode, lpOverlapped);
    if (error != ERROR_SUCCESS) return Fail(error, FALSE);

    return ScsiPassThrough(internals, *object, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize,
                           lpBytesReturned);
}

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
    if (lpVersionInformation == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    winsim::World& world = winsim::World::Get();
    Lock lock(world.mutex());
    const winsim::World::Internals& internals = world.internals();
    const DWORD size = lpVersionInformation->dwOSVersionInfoSize;
    const bool extended = size == sizeof(OSVERSIONINFOEXA);
    if (!extended && size != sizeof(OSVERSIONINFOA)) return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    if (internals.versionFailure == winsim::VersionFailure::BothRecords ||
        (extended && internals.versionFailure == winsim::VersionFailure::ExtendedRecord)) {
        return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    }
    const winsim::WindowsVersion& version = internals.version;
    OSVERSIONINFOA& info = *lpVersionInformation;
    info.dwMajorVersion = version.major;
    info.dwMinorVersion = version.minor;
    info.dwBuildNumber = version.build;
    info.dwPlatformId = version.platformId;
    std::memset(info.szCSDVersion, 0, sizeof info.szCSDVersion);
    std::memcpy(info.szCSDVersion, version.servicePack.data(),
                std::min(version.servicePack.size(), sizeof info.szCSDVersion - 1));
    if (extended) {
        OSVERSIONINFOEXA& ex = *reinterpret_cast<OSVERSIONINFOEXA*>(lpVersionInformation);
        ex.wServicePackMajor = 0;
        ex.wServicePackMinor = 0;
        ex.wSuiteMask = 0;
        ex.wProductType = version.platformId == VER_PLATFORM_WIN32_NT ? 1 : 0;  // a workstation
        ex.wReserved = 0;
    }
    return TRUE;
}

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES /*lpMutexAttributes*/, BOOL bInitialOwner, LPCSTR lpName) {
    winsim::World& world = winsim::World::Get();
    Lock lock(world.mutex());
    winsim::World::Internals& internals = world.internals();
    const std::string name = lpName == nullptr ? std::string() : std::string(lpName);
    const std::string key = winsim::UpperCase(name);

    std::shared_ptr<winsim::MutexState> state;
    DWORD error = ERROR_SUCCESS;
    if (name.empty()) {
        state = std::make_shared<winsim::MutexState>();
    } else {
        const auto refused = internals.mutexCreateErrors.find(key);
        if (refused != internals.mutexCreateErrors.end()) return Fail(refused->second, HANDLE{nullptr});
        std::shared_ptr<winsim::MutexState>& named = internals.namedMutexes[key];
        if (named) {
            // An existing mutex: a new handle to it; ownership is not asked for.
            error = ERROR_ALREADY_EXISTS;
        } else {
            named = std::make_shared<winsim::MutexState>();
            named->name = name;
        }
        state = named;
    }
    if (error == ERROR_SUCCESS && bInitialOwner) state->ownCount = 1;
    ++state->handles;

    KernelObject object;
    object.kind = KernelObject::Kind::Mutex;
    object.mutex = std::move(state);
    HANDLE handle = AddKernelObject(internals, std::move(object));
    // Success of a named create clears the last error, so that callers can
    // tell a new mutex from an existing one.
    SetLastError(error);
    return handle;
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
    winsim::World& world = winsim::World::Get();
    Lock lock(world.mutex());
    KernelObject* object = FindKernelObject(world.internals(), hMutex);
    if (object == nullptr || object->kind != KernelObject::Kind::Mutex) return Fail(ERROR_INVALID_HANDLE, FALSE);
    if (object->mutex->ownCount == 0) return Fail(ERROR_NOT_OWNER, FALSE);
    --object->mutex->ownCount;
    return TRUE;
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES /*lpEventAttributes*/, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR lpName) {
    // Only unnamed events are offered: nothing in the product shares one.
    if (lpName != nullptr && lpName[0] != '\0') return Fail(ERROR_NOT_SUPPORTED, HANDLE{nullptr});
    winsim::World& world = winsim::World::Get();
    Lock lock(world.mutex());
    KernelObject object;
    object.kind = KernelObject::Kind::Event;
    object.event = std::make_shared<winsim::EventState>();
    object.event->manualReset = bManualReset != FALSE;
    object.event->signalled = bInitialState != FALSE;
    HANDLE handle = AddKernelObject(world.internals(), std::move(object));
    SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
    winsim::World& world = winsim::World::Get();
    Lock lock(world.mutex());
    return winsim::SignalEvent(world.internals(), hEvent) ? TRUE : Fail(ERROR_INVALID_HANDLE, FALSE);
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
    winsim::World& world = winsim::World::Get();
    Lock lock(world.mutex());
    KernelObject* object = FindKernelObject(world.internals(), hEvent);
    if (object == nullptr || object->kind != KernelObject::Kind::Event) return Fail(ERROR_INVALID_HANDLE, FALSE);
    object->event->signalled = false;
    return TRUE;
}

// How a wait that runs in real time ended.
enum class RealTimeWait { Signalled, TimedOut, Closed, NoLongerReal };

// A wait while an ASPI request with a completion routine is outstanding: that
// completion runs on a real thread and may signal the object at any moment,
// so the wait lasts in real time, until the object is signalled, the
// deadline passes, or no such request is left (NoLongerReal: the rest of the
// wait is the virtual clock's). The virtual clock follows the real time
// spent and runs the actions that fall due on the way.
RealTimeWait WaitInRealTime(winsim::World& world, HANDLE handle, std::optional<std::uint64_t> deadline) {
    using std::chrono::steady_clock;
    winsim::World::Internals& internals = world.internals();
    const steady_clock::time_point realStart = steady_clock::now();
    std::unique_lock<std::recursive_mutex> lock(world.mutex());
    const std::uint64_t clockStart = internals.now;
    for (;;) {
        std::optional<std::uint64_t> next = winsim::NextActionTime(internals);
        if (next && *next <= internals.now) {
            const std::uint64_t now = internals.now;
            lock.unlock();
            winsim::RunClock(world, now, nullptr);
            lock.lock();
            continue;
        }
        KernelObject* object = FindKernelObject(internals, handle);
        if (object == nullptr) return RealTimeWait::Closed;
        if (TakeIfSignalled(*object)) return RealTimeWait::Signalled;
        if (internals.aspiPostingOutstanding == 0) return RealTimeWait::NoLongerReal;
        if (deadline && internals.now >= *deadline) return RealTimeWait::TimedOut;

        // Until the deadline or the next action, unless woken before.
        if (deadline && (!next || *deadline < *next)) next = deadline;
        if (next) {
            internals.realTimeWake.wait_until(lock, realStart + std::chrono::milliseconds(*next - clockStart));
        } else {
            internals.realTimeWake.wait(lock);
        }
        const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(steady_clock::now() - realStart);
        std::uint64_t clock = clockStart + static_cast<std::uint64_t>(spent.count());
        if (deadline && clock > *deadline) clock = *deadline;
        if (clock > internals.now) {
            lock.unlock();
            winsim::RunClock(world, clock, nullptr);
            lock.lock();
        }
    }
}

// Waits on the virtual clock: the clock moves on to the time-out, or to the
// scheduled action after which the object is signalled. Events and mutexes
// can be waited on; other handles cannot. While an ASPI completion runs on a
// real thread the wait runs in real time first (WaitInRealTime).
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    winsim::World& world = winsim::World::Get();
    std::optional<std::uint64_t> deadline;
    bool realTime = false;
    {
        Lock lock(world.mutex());
        winsim::World::Internals& internals = world.internals();
        const KernelObject* object = FindKernelObject(internals, hHandle);
        if (object == nullptr ||
            (object->kind != KernelObject::Kind::Event && object->kind != KernelObject::Kind::Mutex)) {
            return Fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
        }
        // Signalled already, and no action due that would run first: taken at once.
        const std::optional<std::uint64_t> next = winsim::NextActionTime(internals);
        if ((!next || *next > internals.now) && TakeIfSignalled(*object)) return WAIT_OBJECT_0;
        if (dwMilliseconds != INFINITE) deadline = internals.now + dwMilliseconds;
        realTime = internals.aspiPostingOutstanding > 0;
    }
    if (realTime) {
        switch (WaitInRealTime(world, hHandle, deadline)) {
            case RealTimeWait::Signalled:
                return WAIT_OBJECT_0;
            case RealTimeWait::TimedOut:
                return WAIT_TIMEOUT;
            case RealTimeWait::Closed:
                return Fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
            case RealTimeWait::NoLongerReal:
                break;
        }
    }
    bool closed = false;
    const bool signalled = winsim::RunClock(world, deadline, [&] {
        const KernelObject* object = FindKernelObject(world.internals(), hHandle);
        if (object == nullptr) {
            closed = true;  // closed by a scheduled action: the wait ends as failed
            return true;
        }
        return TakeIfSignalled(*object);
    });
    if (closed) return Fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
    return signalled ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

DWORD WINAPI GetTickCount(void) { return static_cast<DWORD>(winsim::World::Get().Now()); }

void WINAPI Sleep(DWORD dwMilliseconds) {
    winsim::World& world = winsim::World::Get();
    std::uint64_t deadline = 0;
    bool realTime = false;
    {
        Lock lock(world.mutex());
        deadline = world.internals().now + dwMilliseconds;
        realTime = world.internals().aspiPostingOutstanding > 0;
    }
    // An ASPI completion routine runs on a real thread after a real delay;
    // a program sleeping meanwhile gives it real time.
    if (realTime) std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
    winsim::RunClock(world, deadline, nullptr);
}

DWORD WINAPI GetLogicalDrives(void) { return winsim::World::Get().LogicalDrives(); }

UINT WINAPI WinExec(LPCSTR lpCmdLine, UINT uCmdShow) {
    winsim::World& world = winsim::World::Get();
    winsim::WinExecCall call;
    std::function<void(const winsim::WinExecCall&)> hook;
    {
        Lock lock(world.mutex());
        winsim::World::Internals& internals = world.internals();
        call.commandLine = lpCmdLine == nullptr ? std::string() : std::string(lpCmdLine);
        call.showCommand = uCmdShow;
        call.result = internals.winExecResult;
        internals.winExecCalls.push_back(call);
        if (call.result > 31) hook = internals.winExecHook;
    }
    if (hook) hook(call);
    return call.result;
}

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar) {
    std::uint32_t codePage = 0;
    if (!ResolveCodePage(CodePage, codePage)) return Fail(ERROR_INVALID_PARAMETER, 0);
    if (dwFlags != 0) return Fail(ERROR_INVALID_FLAGS, 0);
    if (lpMultiByteStr == nullptr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
        (cchWideChar > 0 && lpWideCharStr == nullptr)) {
        return Fail(ERROR_INVALID_PARAMETER, 0);
    }
    // -1: the text up to its terminating zero, which is converted too.
    const std::size_t length = cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<std::size_t>(cbMultiByte);
    if (cchWideChar == 0) return static_cast<int>(length);
    if (length > static_cast<std::size_t>(cchWideChar)) return Fail(ERROR_INSUFFICIENT_BUFFER, 0);
    for (std::size_t i = 0; i < length; ++i) {
        lpWideCharStr[i] = winsim::AnsiToWide(codePage, static_cast<unsigned char>(lpMultiByteStr[i]));
    }
    return static_cast<int>(length);
}

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar, LPBOOL lpUsedDefaultChar) {
    std::uint32_t codePage = 0;
    if (!ResolveCodePage(CodePage, codePage)) return Fail(ERROR_INVALID_PARAMETER, 0);
    if (dwFlags != 0) return Fail(ERROR_INVALID_FLAGS, 0);
    if (lpWideCharStr == nullptr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
        (cbMultiByte > 0 && lpMultiByteStr == nullptr)) {
        return Fail(ERROR_INVALID_PARAMETER, 0);
    }
    std::size_t length = 0;
    if (cchWideChar == -1) {
        while (lpWideCharStr[length] != 0) ++length;
        ++length;  // the terminating zero is converted too
    } else {
        length = static_cast<std::size_t>(cchWideChar);
    }
    // Characters without a byte in the code page become the default
    // character ('?' unless the caller names one); one byte per unit.
    const char substitute = lpDefaultChar != nullptr ? *lpDefaultChar : '?';
    bool usedDefault = false;
    if (cbMultiByte != 0 && length > static_cast<std::size_t>(cbMultiByte)) return Fail(ERROR_INSUFFICIENT_BUFFER, 0);
    for (std::size_t i = 0; i < length; ++i) {
        unsigned char byte = 0;
        char out = substitute;
        if (winsim::WideToAnsi(codePage, lpWideCharStr[i], byte)) {
            out = static_cast<char>(byte);
        } else {
            usedDefault = true;
        }
        if (cbMultiByte != 0) lpMultiByteStr[i] = out;
    }
    if (lpUsedDefaultChar != nullptr) *lpUsedDefaultChar = usedDefault ? TRUE : FALSE;
    return static_cast<int>(length);
}

}  // extern "C"
