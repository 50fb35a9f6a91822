#include "winsim/world.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "winsim/internals.h"

namespace winsim {

const GUID kDiskInterfaceClass = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

bool SameGuid(const GUID& a, const GUID& b) {
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           std::equal(a.Data4, a.Data4 + 8, b.Data4);
}

std::string UpperCase(const std::string& text) {
    std::string upper = text;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}

bool DeviceAttached(const World::Internals& internals, const emulator::Controller* controller) {
    if (controller == nullptr || controller->removed()) return false;
    for (const EmulatedDevice& device : internals.devices) {
        if (device.controller.get() == controller) return true;
    }
    return false;
}

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

constexpr std::size_t kInitialDeviceRoom = 64;  // keeps references from AddDevice valid for typical setups
constexpr int kTargetsPerAdapter = 8;

// The interface path a USB disk of this controller gets: vendor and product
// of the controller, the INQUIRY revision, a serial number, the disk class.
std::string MakeInterfacePath(const emulator::Config& config, unsigned serial) {
    std::string revision;
    for (char c : config.revision) {
        if (c == '\0') continue;
        revision += c == ' ' ? '_' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    char serialText[16];
    std::snprintf(serialText, sizeof serialText, "%012u", serial);
    return "\\\\?\\usbstor#disk&ven_kt4790&prod_flash_disk&rev_" + revision + "#" + serialText +
           "&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
}

}  // namespace

World& World::Get() {
    static World world;
    return world;
}

World::World() : internals_(std::make_unique<Internals>()) {
    internals_->devices.reserve(kInitialDeviceRoom);
    internals_->libraryDirectory = DefaultLibraryDirectory();
}

World::~World() { StopAspiRequests(*internals_); }

void World::Reset() {
    StopAspiRequests(*internals_);
    Lock lock(internals_->mutex);
    Internals& in = *internals_;
    in.devices.clear();
    in.nextSerial = 1;
    in.aspiAdapterCount = -1;
    in.aspiCompletionDelayMs = 0;
    in.setupApiFails = false;
    in.kernelObjects.clear();
    in.deviceInfoLists.clear();
    in.libraryDirectory = DefaultLibraryDirectory();
    in.hiddenLibraries.clear();
    in.hiddenExports.clear();
    in.passThroughLogging = true;
    in.aspiLogging = true;
    in.passThroughLog.clear();
    in.aspiLog.clear();
}

// --- devices -------------------------------------------------------------------

EmulatedDevice& World::AddDevice(std::shared_ptr<emulator::Controller> controller, const std::string& path) {
    Lock lock(internals_->mutex);
    Internals& in = *internals_;
    EmulatedDevice device;
    device.interfacePath = path.empty() ? MakeInterfacePath(controller->config(), in.nextSerial++) : path;
    device.controller = std::move(controller);

    // The first free ASPI address, adapter by adapter.
    for (int address = 0;; ++address) {
        const auto adapter = static_cast<std::uint8_t>(address / kTargetsPerAdapter);
        const auto target = static_cast<std::uint8_t>(address % kTargetsPerAdapter);
        if (FindDevice(adapter, target) == nullptr) {
            device.hostAdapter = adapter;
            device.target = target;
            break;
        }
    }
    in.devices.push_back(std::move(device));
    return in.devices.back();
}

EmulatedDevice& World::AddDevice(const emulator::Config& config, const std::string& path) {
    return AddDevice(std::make_shared<emulator::Controller>(config), path);
}

std::vector<EmulatedDevice>& World::devices() { return internals_->devices; }

EmulatedDevice* World::FindDevice(const std::string& path) {
    Lock lock(internals_->mutex);
    const std::string wanted = UpperCase(path);
    for (EmulatedDevice& device : internals_->devices) {
        if (UpperCase(device.interfacePath) == wanted) return &device;
    }
    return nullptr;
}

EmulatedDevice* World::FindDevice(std::uint8_t hostAdapter, std::uint8_t target) {
    Lock lock(internals_->mutex);
    for (EmulatedDevice& device : internals_->devices) {
        if (device.hostAdapter == hostAdapter && device.target == target) return &device;
    }
    return nullptr;
}

void World::SetAspiAdapterCount(int count) {
    Lock lock(internals_->mutex);
    internals_->aspiAdapterCount = std::min(count, 255);
}

int World::AspiAdapterCount() const {
    Lock lock(internals_->mutex);
    if (internals_->aspiAdapterCount >= 0) return internals_->aspiAdapterCount;
    int count = 1;
    for (const EmulatedDevice& device : internals_->devices) count = std::max(count, device.hostAdapter + 1);
    return std::min(count, 255);  // the count travels in one byte
}

void World::SetAspiCompletionDelayMs(int ms) {
    Lock lock(internals_->mutex);
    internals_->aspiCompletionDelayMs = ms;
}

int World::AspiCompletionDelayMs() const {
    Lock lock(internals_->mutex);
    return internals_->aspiCompletionDelayMs;
}

void World::SetSetupApiFails(bool fails) {
    Lock lock(internals_->mutex);
    internals_->setupApiFails = fails;
}

bool World::SetupApiFails() const {
    Lock lock(internals_->mutex);
    return internals_->setupApiFails;
}

// --- handles ---------------------------------------------------------------------

int World::OpenHandleCount() const {
    Lock lock(internals_->mutex);
    return static_cast<int>(internals_->kernelObjects.size() + internals_->deviceInfoLists.size());
}

int World::OpenDeviceListCount() const {
    Lock lock(internals_->mutex);
    return static_cast<int>(internals_->deviceInfoLists.size());
}

// --- libraries ---------------------------------------------------------------------

void World::SetLibraryDirectory(const std::string& dir) {
    Lock lock(internals_->mutex);
    internals_->libraryDirectory = dir;
}

const std::string& World::LibraryDirectory() const { return internals_->libraryDirectory; }

void World::HideLibrary(const std::string& bareName) {
    Lock lock(internals_->mutex);
    internals_->hiddenLibraries.insert(UpperCase(bareName));
}

void World::HideExport(const std::string& bareName, const std::string& procName) {
    Lock lock(internals_->mutex);
    internals_->hiddenExports.insert({UpperCase(bareName), procName});
}

bool World::LibraryHidden(const std::string& bareName) const {
    Lock lock(internals_->mutex);
    return internals_->hiddenLibraries.count(UpperCase(bareName)) != 0;
}

bool World::ExportHidden(const std::string& bareName, const std::string& procName) const {
    Lock lock(internals_->mutex);
    return internals_->hiddenExports.count({UpperCase(bareName), procName}) != 0;
}

int World::LoadedLibraryCount() const {
    Lock lock(internals_->mutex);
    int count = 0;
    for (const auto& entry : internals_->libraries) count += entry.second.references;
    return count;
}

// --- transport logs -------------------------------------------------------------------

void World::SetPassThroughLogging(bool on) {
    Lock lock(internals_->mutex);
    internals_->passThroughLogging = on;
}

void World::SetAspiLogging(bool on) {
    Lock lock(internals_->mutex);
    internals_->aspiLogging = on;
}

const std::vector<PassThroughCall>& World::PassThroughLog() const { return internals_->passThroughLog; }

const std::vector<AspiCall>& World::AspiLog() const { return internals_->aspiLog; }

void World::ClearLogs() {
    Lock lock(internals_->mutex);
    internals_->passThroughLog.clear();
    internals_->aspiLog.clear();
}

void World::ReserveLogs(std::size_t calls) {
    Lock lock(internals_->mutex);
    internals_->passThroughLog.reserve(calls);
    internals_->aspiLog.reserve(calls);
}

// --- bookkeeping -------------------------------------------------------------------------

std::recursive_mutex& World::mutex() { return internals_->mutex; }

World::Internals& World::internals() { return *internals_; }

}  // namespace winsim
