// What a Controller holds: the firmware with its medium, and around it the
// device's presence, the armed faults and the command trace.
#pragma once

#include <cstdint>
#include <vector>

#include "emulator/controller.h"
#include "emulator/firmware.h"

namespace emulator {

struct Controller::State {
    explicit State(const Config& config) : firmware(config) {}

    struct ArmedFault {
        Fault fault;
        std::uint32_t seen = 0;  // commands counted since injection
    };

    Firmware firmware;
    bool removed = false;
    bool tracing = true;
    std::vector<CommandRecord> trace;
    std::vector<ArmedFault> faults;
};

}  // namespace emulator
