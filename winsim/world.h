// The simulated machine behind winsim: one World per process, reset by each
// test. Each facet is small and is set up and inspected by tests directly.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
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

class World {
public:
    static World& Get();

    // Back to an empty machine: no devices, no open handles, nothing hidden.
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
    // How long (virtual of the ASPI layer, real milliseconds) a request takes
    // before its completion routine runs; a negative value means it never completes.
    void SetAspiCompletionDelayMs(int ms);
    int AspiCompletionDelayMs() const;
    // Whether SetupDiGetClassDevsA fails.
    void SetSetupApiFails(bool fails);
    bool SetupApiFails() const;

    // --- handles ---------------------------------------------------------------
    // Every kind of handle winsim handed out and not yet closed: kernel
    // handles and SetupAPI device-information lists (not library modules).
    int OpenHandleCount() const;
    int OpenDeviceListCount() const;  // SetupAPI device-information lists not yet destroyed

    // --- libraries ------------------------------------------------------------
    // LoadLibraryA maps a bare name ("KT4790DLL") to <dir>/<name>.so.
    void SetLibraryDirectory(const std::string& dir);
    const std::string& LibraryDirectory() const;
    void HideLibrary(const std::string& bareName);
    void HideExport(const std::string& bareName, const std::string& procName);
    bool LibraryHidden(const std::string& bareName) const;
    bool ExportHidden(const std::string& bareName, const std::string& procName) const;
    int LoadedLibraryCount() const;  // LoadLibraryA minus FreeLibrary

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
