// What the application tests share: the headless application started in a
// fresh World (both builds: KT4790_ASPI selects KT4790MCAP), emulated disks,
// and readable views of the message boxes and of what the disks received.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "app/WinMain.h"
#include "devlib/devcmd.h"
#include "emulator/controller.h"
#include "vcl/headless/driver.h"
#include "vcl/vcl.h"
#include "winsim/world.h"

namespace apptest {

#ifdef KT4790_ASPI
constexpr const char* kAppTitle = "KT4790MCAP";
constexpr const char* kAppMutex = "ID_KT4790MCAP";
constexpr const char* kOtherMutex = "ID_KT4790CAP";
constexpr const char* kLibrary = "KT4790mDLL";
#else
constexpr const char* kAppTitle = "KT4790CAP";
constexpr const char* kAppMutex = "ID_KT4790CAP";
constexpr const char* kOtherMutex = "ID_KT4790MCAP";
constexpr const char* kLibrary = "KT4790DLL";
#endif
constexpr const char* kMainCaption = "USB Flash Disk Password Check";
constexpr const char* kSettingsKey = "Software\\KT4790C\\V2.0";

inline winsim::World& World() { return winsim::World::Get(); }

// A system the build starts on: Windows XP, or Windows 98 for KT4790MCAP.
inline winsim::WindowsVersion SupportedVersion() {
    winsim::WindowsVersion version;
#ifdef KT4790_ASPI
    version.major = 4;
    version.minor = 10;
    version.build = 2222;
    version.platformId = 1;
#endif
    return version;
}

inline winsim::WindowsVersion Version(std::uint32_t major, std::uint32_t minor) {
    winsim::WindowsVersion version;
    version.major = major;
    version.minor = minor;
    version.platformId = major >= 5 ? 2 : 1;
    return version;
}

// One message box as the user saw it.
struct Box {
    std::string text;
    std::string caption;
    std::uint32_t type = 0;
    bool operator==(const Box& other) const {
        return text == other.text && caption == other.caption && type == other.type;
    }
};
inline void PrintTo(const Box& box, std::ostream* out) {
    *out << "{\"" << box.text << "\", \"" << box.caption << "\", 0x" << std::hex << box.type << std::dec << "}";
}

inline std::vector<Box> Boxes() {
    std::vector<Box> boxes;
    for (const winsim::MessageBoxCall& call : World().MessageBoxes()) boxes.push_back({call.text, call.caption, call.type});
    return boxes;
}

inline Box Error(const char* text) { return {text, "ERROR", MB_OK | MB_ICONWARNING}; }
inline Box Warning(const char* text) { return {text, "WARNING", MB_OK | MB_ICONWARNING}; }
// The framework's exception box.
inline Box ExceptionBox(const std::string& text) { return {text, kAppTitle, MB_OK | MB_ICONERROR}; }

// An emulated disk with the given name, attached to the World.
inline std::shared_ptr<emulator::Controller> AddDisk(const std::u16string& name) {
    emulator::Config config;
    config.deviceName = name;
    auto controller = std::make_shared<emulator::Controller>(config);
    World().AddDevice(controller);
    return controller;
}

// Every command a disk received: CDB bytes, direction and length.
inline std::vector<std::string> Commands(const emulator::Controller& controller) {
    std::vector<std::string> lines;
    for (const emulator::CommandRecord& r : controller.trace()) {
        std::string line;
        char byte[4];
        for (unsigned i = 0; i < r.cdbLength && i < r.cdb.size(); ++i) {
            std::snprintf(byte, sizeof byte, "%02X ", r.cdb[i]);
            line += byte;
        }
        line += "dir " + std::to_string(static_cast<int>(r.direction)) + " len " + std::to_string(r.length);
        lines.push_back(line);
    }
    return lines;
}

// One GetAllDeviceName call straight through the library, as the reference
// for what one listing of the devices sends. Returns the count it reported.
inline int ListThroughLibrary() {
    HMODULE library = LoadLibraryA(kLibrary);
    if (library == nullptr) return -1;
    const FARPROC address = GetProcAddress(library, "GetAllDeviceName");
    decltype(&GetAllDeviceName) getAllDeviceName = nullptr;
    std::memcpy(&getAllDeviceName, &address, sizeof address);
    char filter[16] = {};
#ifdef KT4790_ASPI
    std::strcpy(filter, "KVOR");
#else
    std::strcpy(filter, "Rev_KVOR");
#endif
    BYTE table[6 * 33] = {};
    BYTE count = 6;
    const bool listed = getAllDeviceName(filter, table, &count) != 0;
    FreeLibrary(library);
    return listed ? count : 0;
}

// Handles the program holds now, except its own mutex, which it keeps
// until it ends.
inline int HandlesBesidesTheMutex() {
    return World().OpenHandleCount() - World().OpenHandleCount(winsim::HandleKind::Mutex);
}

// The top-level windows now visible, by title.
inline std::vector<std::string> VisibleWindows() {
    std::vector<std::string> titles;
    for (const winsim::TopLevelWindow& window : World().TopLevelWindows()) {
        if (window.visible) titles.push_back(window.title);
    }
    return titles;
}

// Sets every form global back to null (the application object owns the forms).
void ClearFormGlobals();

// Each test starts with a fresh application object on a system its build
// accepts, and ends the program it started.
class AppTest : public testing::Test {
protected:
    void SetUp() override {
        vcl::headless::resetApplication();
        ClearFormGlobals();
        World().SetWindowsVersion(SupportedVersion());
    }
    void TearDown() override {
        vcl::headless::resetApplication();
        ClearFormGlobals();
    }
};

}  // namespace apptest
