#include "fatcheck.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "devlib/cdb.h"

namespace fatcheck {

namespace {

constexpr std::uint32_t kSector = 512;

std::uint32_t Le(const std::uint8_t* at, int bytes) {
    std::uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = value << 8 | at[i];
    return value;
}

}  // namespace

bool ReadHost(emulator::Controller& disk, std::uint32_t sector, std::uint8_t* data) {
    const devcmd::Command read = devcmd::Read10(sector, kSector);
    const emulator::Outcome outcome =
        disk.Execute(read.cdb.bytes, read.cdbLength, emulator::DataDirection::In, data, kSector);
    return outcome.delivered && outcome.status == 0;
}

bool Fsck(const std::string& file, std::string& output) {
    const std::string command = "fsck.fat -n '" + file + "' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        output = "cannot run fsck.fat";
        return false;
    }
    char buffer[512];
    output.clear();
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
    const int status = pclose(pipe);
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
           output.find(" files, 0/") != std::string::npos;
}

std::string CheckVolume(emulator::Controller& disk, std::uint32_t start, std::uint32_t sectors,
                        const std::string& file, std::set<std::size_t>* passed) {
    std::uint8_t boot[kSector];
    if (!ReadHost(disk, start, boot)) return "READ(10) of the boot sector failed";
    if (boot[510] != 0x55 || boot[511] != 0xAA) return "no boot sector at the volume's start";
    const std::uint32_t reserved = Le(boot + 14, 2);
    const std::uint32_t fats = boot[16];
    const std::uint32_t rootSectors = (Le(boot + 17, 2) * 32 + kSector - 1) / kSector;
    const std::uint32_t structures = reserved + fats * Le(boot + 22, 2) + rootSectors;
    if (reserved == 0 || structures > sectors) return "boot sector with impossible structures";

    std::string volume(std::size_t{structures} * kSector, '\0');
    auto* data = reinterpret_cast<std::uint8_t*>(volume.data());
    for (std::uint32_t k = 0; k < structures; ++k) {
        if (!ReadHost(disk, start + k, data + std::size_t{k} * kSector)) return "READ(10) failed";
    }
    // The label fields, which the layouts leave zero (the boot sector's) or
    // pad with zero bytes (the root directory's label entry), given what
    // fsck.fat wants: blanks, and the same label in both.
    std::uint8_t* label = nullptr;
    const std::uint32_t root = structures - rootSectors;
    for (std::uint32_t at = root * kSector; at + 32 <= volume.size() && label == nullptr; at += 32) {
        if (data[at] != 0 && data[at] != 0xE5 && data[at + 11] == 0x08) label = data + at;
    }
    if (label != nullptr) {
        for (int i = 0; i < 11; ++i) {
            if (label[i] == 0) label[i] = ' ';
        }
    }
    std::memcpy(data + 43, label != nullptr ? label : reinterpret_cast<const std::uint8_t*>("NO NAME    "), 11);
    const std::size_t key = std::hash<std::string>{}(volume) ^ sectors;
    if (passed != nullptr && passed->count(key) != 0) return {};

    std::filesystem::remove(file);
    std::ofstream(file, std::ios::binary).write(volume.data(), static_cast<std::streamsize>(volume.size()));
    std::filesystem::resize_file(file, std::uint64_t{sectors} * kSector);
    std::string output;
    if (!Fsck(file, output)) return "fsck.fat: " + output;
    if (passed != nullptr) passed->insert(key);
    return {};
}

bool VolumeStart(emulator::Controller& disk, std::uint32_t areaStart, std::uint32_t& start) {
    std::uint8_t first[kSector];
    if (!ReadHost(disk, areaStart, first)) return false;
    start = first[0] == 0xEB || first[0] == 0xE9 ? areaStart : areaStart + Le(first + 454, 4);
    return true;
}

}  // namespace fatcheck
