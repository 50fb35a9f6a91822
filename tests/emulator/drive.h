// Drives an emulated controller the way the device libraries do.
#pragma once

#include <cstdint>
#include <string>

#include "devlib/cdb.h"
#include "emulator/controller.h"
#include "kt4790/records.h"

namespace emutest {

inline emulator::Outcome Send(emulator::Controller& c, const devcmd::Command& command, std::uint8_t* data,
                              std::uint32_t length) {
    const auto direction =
        command.direction == devcmd::Direction::In ? emulator::DataDirection::In : emulator::DataDirection::Out;
    return c.Execute(command.cdb.bytes, command.cdbLength, direction, data, length);
}

inline emulator::Outcome Send(emulator::Controller& c, const devcmd::Command& command, std::uint8_t* data) {
    return Send(c, command, data, command.transferLength);
}

inline bool Good(const emulator::Outcome& o) { return o.delivered && o.status == emulator::kStatusGood; }
inline bool Refused(const emulator::Outcome& o) {
    return o.delivered && o.status == emulator::kStatusCheckCondition;
}

inline emulator::Config MakeConfig(std::uint8_t chip, bool large, std::uint8_t zones, std::uint8_t chips) {
    emulator::Config config;
    config.chipCode = chip;
    config.largeBlock = large;
    config.zoneCount = zones;
    config.chipCount = chips;
    config.deviceName = u"My Disk 1";
    config.hint = u"pet";
    return config;
}

// The host's descriptor search: sector 1 on chip 0x13, else sector 1 of the
// first block whose sector-1 spare is valid. Returns kNone when a read fails.
inline std::uint32_t LocateDescriptor(emulator::Controller& c) {
    std::uint8_t reply[192] = {};
    if (!Good(Send(c, devcmd::GetChipVersion(), reply))) return emulator::Controller::kNone;
    if (reply[0] == kt4790::kChipCode13) return 1;
    if (!Good(Send(c, devcmd::GetMediaSize(), reply))) return emulator::Controller::kNone;
    const std::uint32_t step = kt4790::SectorsPerBlock(reply[0] == 1);
    for (std::uint32_t block = 0;; ++block) {
        std::uint8_t spare[kt4790::kSpareSize];
        if (!Good(Send(c, devcmd::VscReadSector(block * step + 1, 0, 1), spare))) return emulator::Controller::kNone;
        if (kt4790::IsValidSpare(spare)) return block * step + 1;
    }
}

inline std::u16string NameOf(const std::uint8_t (&sector)[512], unsigned index) {
    kt4790::DescriptorRef ref;
    if (!kt4790::WalkDescriptorChain(sector, index, ref)) return u"<malformed>";
    std::u16string text;
    for (unsigned i = 2; i + 1 < ref.length; i += 2) {
        text += static_cast<char16_t>(sector[ref.offset + i] | (sector[ref.offset + i + 1] << 8));
    }
    return text;
}

}  // namespace emutest
