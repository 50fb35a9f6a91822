#include "winsim/world.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "winsim/internals.h"

namespace winsim {

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
constexpr int kTargetsPerAdapter = devstack::kTargetsPerAdapter;
constexpr std::uint32_t kDefaultLogicalDrives = 1u << 2;  // C:
constexpr std::uint32_t kWinExecSuccess = 33;             // any value above 31

}  // namespace

World& World::Get() {
    static World world;
    return world;
}

// The system services at their defaults: Windows XP, C: alone, an empty
// registry, no windows, no files, a clock at 0.
void ResetServices(World::Internals& in) {
    in.registryKeys.clear();
    in.registryKeys[""];  // HKEY_LOCAL_MACHINE itself
    in.registryReadOnlyKeys.clear();
    in.registryUncreatableKeys.clear();
    in.registryHandles.clear();
    in.version = WindowsVersion();
    in.versionFailure = VersionFailure::None;
    in.namedMutexes.clear();
    in.mutexCreateErrors.clear();
    in.now = 0;
    in.clockLimit = 0;
    in.nextActionSequence = 0;
    in.schedule.clear();
    in.aspiPostingOutstanding = 0;
    ++in.processGeneration;
    in.messageBoxes.clear();
    in.messageBoxAnswers.clear();
    in.messageBoxScriptErrors = 0;
    in.messageBoxHook = nullptr;
    in.logicalDrives = kDefaultLogicalDrives;
    in.windows.clear();
    in.winExecCalls.clear();
    in.winExecResult = kWinExecSuccess;
    in.winExecHook = nullptr;
    RemoveSandbox(in);
    in.windowsDirectory = "C:\\WINDOWS";
    in.writeProtectedDrives.clear();
    in.driveFreeSpace.clear();
    in.fileOpenHook = nullptr;
    in.readOnlyFiles.clear();
    in.unreadableFiles.clear();
    in.saveDialogAnswers.clear();
    in.saveDialogCalls.clear();
    in.commonDialogError = 0;
    in.screenWidth = 1024;
    in.screenHeight = 768;
    in.cursorX = 0;
    in.cursorY = 0;
    in.cursorPosFails = false;
    in.foregroundCalls.clear();
    in.notifyIcons.clear();
    in.notifyIconCalls.clear();
    in.ansiCodePage = 1252;
}

World::World() : internals_(std::make_unique<Internals>()) {
    internals_->devices.reserve(kInitialDeviceRoom);
    internals_->libraryDirectory = DefaultLibraryDirectory();
    ResetServices(*internals_);
}

World::~World() {
    StopAspiRequests(*internals_);
    internals_->kernelObjects.clear();
    RemoveSandbox(*internals_);
}

void World::Reset() {
    StopAspiRequests(*internals_);
    Lock lock(internals_->mutex);
    Internals& in = *internals_;
    in.devices.clear();
    in.nextSerial = 1;
    in.aspiAdapterCount = -1;
    in.aspiCompletionDelayMs = 0;
    in.aspiRefusal = 0;
    in.setupApiFails = false;
    in.kernelObjects.clear();
    in.deviceInfoLists.clear();
    ResetServices(in);
    in.libraryDirectory = DefaultLibraryDirectory();
    in.hiddenLibraries.clear();
    in.hiddenExports.clear();
    in.replacedExports.clear();
    in.procNamesAsked.clear();
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
    device.interfacePath = path.empty() ? devstack::MakeInterfacePath(controller->config(), in.nextSerial++) : path;
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

void World::SetAspiRefusal(std::uint8_t status) {
    Lock lock(internals_->mutex);
    internals_->aspiRefusal = status;
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
    return static_cast<int>(internals_->kernelObjects.size() + internals_->deviceInfoLists.size() +
                            internals_->registryHandles.size());
}

int World::OpenHandleCount(HandleKind kind) const {
    Lock lock(internals_->mutex);
    const Internals& in = *internals_;
    if (kind == HandleKind::DeviceList) return static_cast<int>(in.deviceInfoLists.size());
    if (kind == HandleKind::RegistryKey) return static_cast<int>(in.registryHandles.size());
    KernelObject::Kind wanted = KernelObject::Kind::Device;
    if (kind == HandleKind::File) wanted = KernelObject::Kind::File;
    if (kind == HandleKind::Mutex) wanted = KernelObject::Kind::Mutex;
    if (kind == HandleKind::Event) wanted = KernelObject::Kind::Event;
    int count = 0;
    for (const auto& entry : in.kernelObjects) count += entry.second.kind == wanted ? 1 : 0;
    return count;
}

int World::EndProcess() {
    Lock lock(internals_->mutex);
    Internals& in = *internals_;
    const int closed = OpenHandleCount();
    for (auto& entry : in.kernelObjects) ReleaseKernelObject(in, entry.second);
    in.kernelObjects.clear();
    in.deviceInfoLists.clear();
    in.registryHandles.clear();
    // Requests the process left with the ASPI layer die with it.
    ++in.processGeneration;
    return closed;
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

void World::ReplaceExport(const std::string& bareName, const std::string& procName, void (*procedure)()) {
    Lock lock(internals_->mutex);
    internals_->replacedExports[{UpperCase(bareName), procName}] = procedure;
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

std::vector<std::string> World::ProcNamesAsked() const {
    Lock lock(internals_->mutex);
    return internals_->procNamesAsked;
}

void World::ClearProcNamesAsked() {
    Lock lock(internals_->mutex);
    internals_->procNamesAsked.clear();
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

// --- virtual clock -----------------------------------------------------------------------

namespace {

// The action due first, or end() when none is scheduled.
std::vector<ScheduledAction>::iterator FirstAction(std::vector<ScheduledAction>& schedule) {
    return std::min_element(schedule.begin(), schedule.end(), [](const ScheduledAction& a, const ScheduledAction& b) {
        return a.at != b.at ? a.at < b.at : a.sequence < b.sequence;
    });
}

}  // namespace

std::optional<std::uint64_t> NextActionTime(const World::Internals& internals) {
    std::optional<std::uint64_t> next;
    for (const ScheduledAction& action : internals.schedule) {
        if (!next || action.at < *next) next = action.at;
    }
    return next;
}

bool RunClock(World& world, std::optional<std::uint64_t> deadline, const std::function<bool()>& done) {
    World::Internals& in = world.internals();
    for (;;) {
        // Actions run one at a time without the lock: they may call anything.
        for (;;) {
            std::function<void()> action;
            {
                Lock lock(in.mutex);
                const auto first = FirstAction(in.schedule);
                if (first == in.schedule.end() || first->at > in.now) break;
                action = std::move(first->action);
                in.schedule.erase(first);
            }
            action();
        }
        Lock lock(in.mutex);
        if (done && done()) return true;
        if (deadline && in.now >= *deadline) return false;
        const auto first = FirstAction(in.schedule);
        std::uint64_t target = 0;
        if (first != in.schedule.end() && (!deadline || first->at < *deadline)) {
            target = first->at;
        } else if (deadline) {
            target = *deadline;
        } else {
            throw SimulationStopped("a wait without time-out can never end: nothing is scheduled");
        }
        if (in.clockLimit != 0 && target > in.clockLimit) {
            throw SimulationStopped("the virtual clock reached its limit of " + std::to_string(in.clockLimit) + " ms");
        }
        in.now = target;
    }
}

std::uint64_t World::Now() const {
    Lock lock(internals_->mutex);
    return internals_->now;
}

void World::AdvanceClock(std::uint64_t ms) { RunClock(*this, Now() + ms, nullptr); }

void World::ScheduleAt(std::uint64_t atMs, std::function<void()> action) {
    Lock lock(internals_->mutex);
    internals_->schedule.push_back({atMs, internals_->nextActionSequence++, std::move(action)});
}

std::size_t World::ScheduledActionCount() const {
    Lock lock(internals_->mutex);
    return internals_->schedule.size();
}

void World::SetClockLimit(std::uint64_t ms) {
    Lock lock(internals_->mutex);
    internals_->clockLimit = ms;
}

// --- bookkeeping -------------------------------------------------------------------------

std::recursive_mutex& World::mutex() { return internals_->mutex; }

World::Internals& World::internals() { return *internals_; }

}  // namespace winsim
