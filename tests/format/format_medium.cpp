// format_medium: formats an emulated disk image with the formatter, through
// the device library and winsim, as the format dialogs do after their erase.
//
//   format_medium IMAGE hdd|zip|fdd [--standard-blocks N] [--label0 TEXT]
//                 [--label1 TEXT] [--label2 TEXT]
//
// --standard-blocks stores N as the PartitionWord of the descriptor sector
// first (what the partition dialog leaves there) and passes it to the driver.
// The labels go into VolumeLabels slots 0-2. The image is saved back when the
// driver succeeds. Prints the result, the sector writes the device received
// and the time the driver took; exit 0 on success, 1 on failure, 2 for a
// bad command line.
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "emulator/controller.h"
#include "format/Newformat.h"
#include "winsim/world.h"

namespace {

int Usage(const std::string& problem) {
    std::cerr << "format_medium: " << problem
              << "\nusage: format_medium IMAGE hdd|zip|fdd [--standard-blocks N] [--label0 TEXT] [--label1 TEXT]"
                 " [--label2 TEXT]\n";
    return 2;
}

// The descriptor sector's place on the medium, as the firmware keeps it.
std::uint32_t DescriptorSector(const emulator::Controller& controller) {
    const emulator::Config& config = controller.config();
    if (config.chipCode == 0x30) return config.descriptorBlock * controller.sectorsPerBlock() + 1;
    return 1;
}

void StorePartitionWord(emulator::Controller& controller, std::uint32_t standardBlocks) {
    std::uint8_t data[512];
    std::uint8_t spare[16];
    const std::uint32_t sector = DescriptorSector(controller);
    controller.ReadPhysical(sector, data, spare);
    data[494] = static_cast<std::uint8_t>(standardBlocks >> 8);
    data[495] = static_cast<std::uint8_t>(standardBlocks);
    controller.WritePhysical(sector, data, spare);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return Usage("IMAGE and layout needed");
    const std::string image = argv[1];
    const std::string layout = argv[2];
    if (layout != "hdd" && layout != "zip" && layout != "fdd") return Usage("layout is hdd, zip or fdd");
    long standardBlocks = -1;
    for (int i = 3; i < argc; i += 2) {
        const std::string option = argv[i];
        if (i + 1 >= argc) return Usage(option + " needs a value");
        const char* value = argv[i + 1];
        if (option == "--standard-blocks") {
            char* end = nullptr;
            standardBlocks = std::strtol(value, &end, 10);
            if (*end != '\0' || standardBlocks < 0 || standardBlocks > 0xFFFF) return Usage("bad --standard-blocks");
        } else if (option == "--label0" || option == "--label1" || option == "--label2") {
            newformat::SetVolumeLabel(option.back() - '0', value);
        } else {
            return Usage("unknown option " + option);
        }
    }

    std::string error;
    std::shared_ptr<emulator::Controller> controller = emulator::Controller::LoadImage(image, &error);
    if (!controller) {
        std::cerr << "format_medium: " << error << "\n";
        return 1;
    }
    if (standardBlocks >= 0) StorePartitionWord(*controller, static_cast<std::uint32_t>(standardBlocks));
    const emulator::Config config = controller->config();

    // The driver finds the device by the name in its descriptor sector.
    std::string deviceName;
    for (char16_t unit : config.deviceName) {
        if (unit == 0 || unit > 0x7E) {
            std::cerr << "format_medium: the image's device name is not plain ASCII\n";
            return 1;
        }
        deviceName += static_cast<char>(unit);
    }

    winsim::World& world = winsim::World::Get();
    world.AddDevice(controller);
    controller->ReserveTrace(1u << 16);
    const auto started = std::chrono::steady_clock::now();
    const std::uint32_t sd = standardBlocks > 0 ? static_cast<std::uint32_t>(standardBlocks) : 0;
    int result = 0;
    if (layout == "hdd") {
        result = newformat::FormatHddBoot(deviceName.c_str(), sd, config.zoneCount, config.chipCount, config.largeBlock,
                                          config.chipCode);
    } else if (layout == "zip") {
        result = newformat::FormatZipBoot(deviceName.c_str(), sd, config.zoneCount, config.chipCount, config.largeBlock,
                                          config.chipCode);
    } else {
        result = newformat::FormatFddBoot(deviceName.c_str(), sd, config.zoneCount, config.chipCount, config.largeBlock,
                                          config.chipCode);
    }
    const auto elapsed = std::chrono::steady_clock::now() - started;
    std::uint64_t writes = 0;  // VSCWriteSector as the device received them
    for (const emulator::CommandRecord& record : controller->trace()) {
        if (record.cdb[0] == 0xF4) ++writes;
    }
    for (const winsim::MessageBoxCall& box : world.MessageBoxes()) {
        std::cout << "message: \"" << box.text << "\" / \"" << box.caption << "\"\n";
    }
    std::cout << "result " << result << ", " << writes << " sector writes, "
              << std::chrono::duration<double, std::milli>(elapsed).count() << " ms\n";
    if (result == 0) return 1;
    if (!controller->SaveImage(image, &error)) {
        std::cerr << "format_medium: " << error << "\n";
        return 1;
    }
    return 0;
}
