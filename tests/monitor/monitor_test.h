// What the monitor tests share: the World on its virtual clock, emulated
// disks, a stop request scheduled like a second start of the monitor, and
// readable views of what the devices received.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "emulator/controller.h"
#include "monitor/monitor.h"
#include "winsim/world.h"

namespace montest {

inline winsim::World& World() { return winsim::World::Get(); }

// A disk of the controller; `password` empty: none set.
inline emulator::Config Disk(const std::string& password, const char (&revision)[5] = "KVOR") {
    emulator::Config config;
    config.password = password;
    config.deviceName = u"MONITORED";
    for (std::size_t i = 0; i < 4; ++i) config.revision[i] = revision[i];
    return config;
}

inline std::shared_ptr<emulator::Controller> Attach(const emulator::Config& config, const std::string& path = "") {
    return World().AddDevice(config, path).controller;
}

// The operation codes a controller received, one two-digit hex text each.
inline std::vector<std::string> Opcodes(const emulator::Controller& controller) {
    std::vector<std::string> codes;
    for (const emulator::CommandRecord& r : controller.trace()) {
        char code[3];
        std::snprintf(code, sizeof code, "%02X", r.cdb[0]);
        codes.emplace_back(code);
    }
    return codes;
}

// A second start of the monitor, as the running one sees it: from `atMs`
// on, "ExitKT4790C" is held by another process for `holdMs`.
inline void StopRequestAt(std::uint64_t atMs, std::uint64_t holdMs) {
    World().ScheduleAt(atMs, [] { World().HoldMutexElsewhere(monitor::kMonitorExitMutex); });
    World().ScheduleAt(atMs + holdMs, [] { World().ReleaseMutexElsewhere(monitor::kMonitorExitMutex); });
}

// Each fixture starts with no device seen yet and guards against a monitor
// that would never end.
class MonitorTest : public testing::Test {
protected:
    void SetUp() override {
        monitor::DevicePresent = 0;
        World().SetClockLimit(kClockLimitMs);
    }

    static constexpr std::uint64_t kClockLimitMs = 2 * 3600 * 1000;
};

}  // namespace montest
