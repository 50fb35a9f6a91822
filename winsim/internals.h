// What the winsim stand-ins of the system libraries share: the World's
// state behind its public facets. Only winsim's own sources include this.
#pragma once

#include <windows.h>

#include <array>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "winsim/world.h"

namespace winsim {

// An object behind a kernel handle.
struct KernelObject {
    enum class Kind { Device };
    Kind kind = Kind::Device;
    std::shared_ptr<emulator::Controller> controller;  // Kind::Device
    DWORD access = 0;                                  // rights asked for at CreateFileA
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

// One ASPI request on its way to completion.
struct AspiWorker {
    std::thread thread;
    bool finished = false;
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
    std::map<void*, LoadedLibrary> libraries;                      // by module handle

    bool passThroughLogging = true;
    bool aspiLogging = true;
    std::vector<PassThroughCall> passThroughLog;
    std::vector<AspiCall> aspiLog;

    // ASPI requests waiting for their completion run on threads of their own.
    // A Reset abandons those still waiting (they never complete) and joins all.
    std::mutex aspiMutex;
    std::condition_variable aspiWake;
    unsigned aspiGeneration = 0;
    std::vector<std::unique_ptr<AspiWorker>> aspiWorkers;

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

// Abandons the ASPI requests still waiting and joins every request thread.
void StopAspiRequests(World::Internals& internals);

// The disk interface class that the SetupAPI stand-in lists.
extern const GUID kDiskInterfaceClass;
bool SameGuid(const GUID& a, const GUID& b);

}  // namespace winsim
