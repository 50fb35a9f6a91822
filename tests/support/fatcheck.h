// FAT volumes on an emulated disk as the host reads them (READ(10) through
// the controller's map), judged by fsck.fat, which nobody here wrote.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "emulator/controller.h"

namespace fatcheck {

// One sector as the host reads it; false when READ(10) fails.
bool ReadHost(emulator::Controller& disk, std::uint32_t sector, std::uint8_t* data);

// Runs fsck.fat -n on a file; true when it finds nothing. Its output on failure.
bool Fsck(const std::string& file, std::string& output);

// The FAT volume of `sectors` host sectors from `start`: its reserved
// sectors, FATs and root directory, the label field given the blanks
// fsck.fat wants (the layouts leave it zero), written to `file` sparse at the
// volume's size and checked with fsck.fat -n. Empty when the volume passes,
// else what is wrong. A volume whose structures `passed` already holds is
// not checked again.
std::string CheckVolume(emulator::Controller& disk, std::uint32_t start, std::uint32_t sectors,
                        const std::string& file, std::set<std::size_t>* passed = nullptr);

// Where the volume of an area starts: at the area's first sector when that
// is a boot sector (a jump), else where the master boot record's first
// partition entry points. False when READ(10) fails.
bool VolumeStart(emulator::Controller& disk, std::uint32_t areaStart, std::uint32_t& start);

}  // namespace fatcheck
