// The formatter: FAT12/FAT16 boot structures written onto the flash medium
// through VSCWriteSector, one 512-byte sector at a time, in the hard-disk,
// ZIP and floppy boot layouts.
//
// Refusals where the medium's numbers give no sound layout, each with the
// result 0 before any sector is written:
// - a ChipCount of 0 or a ZoneCount below it (no zones per chip: the block
//   arithmetic would divide by zero);
// - a medium whose blocks the host cannot address (kt4790::IsAddressable:
//   more than 8 chips, zones not shared evenly among the chips, a chip-0x13
//   chip of large blocks with more than 8 zones other than 16);
// - a chip code other than 0x13 and 0x30;
// - a standard area larger than the medium (the drivers);
// - an area whose FAT16 cluster numbers would not fit 16 bits, or too small
//   to hold its own boot structures and one cluster (its sectors would be
//   written over the next area or beyond the medium).
#pragma once

#include <cstdint>

#include <windows.h>

#include "app/devbind.h"
#include "kt4790/geometry.h"
#include "kt4790/records.h"

namespace newformat {

constexpr std::uint32_t kSectorBytes = 512;
constexpr std::uint8_t kVolumeLabelAttribute = 0x08;
constexpr int kVolumeLabelSlots = 4;
constexpr int kVolumeLabelSize = 12;

// Slots of VolumeLabels.
constexpr int kWholeMediumLabel = 0;
constexpr int kStandardAreaLabel = 1;
constexpr int kSecurityAreaLabel = 2;
constexpr int kAreaBeingWrittenLabel = 3;  // the only slot the area writers read

struct FormatParamsState {
    std::uint8_t VolumeLabels[kVolumeLabelSlots][kVolumeLabelSize];
    std::uint8_t SectorBuffer[kSectorBytes];
    std::uint8_t ZoneCount;
    std::uint8_t ChipCount;
    std::int32_t LargeBlock;  // 0 or 1
    std::uint8_t ChipCode;    // how the device takes sector addresses (MapSector)
#ifdef KT4790_ASPI
    BYTE HostAdapterId;
    BYTE TargetId;
#else
    HANDLE Device;
#endif
    char DeviceName[256];
};

// One instance for the whole run, zero at start. The label slots keep what
// the dialogs stored until they store again; nothing here clears slots 0-2.
extern FormatParamsState FormatParams;

// Stores a label as typed (at most 11 bytes, the rest zero) with the
// volume-label attribute in byte 11. An empty label clears the slot.
void SetVolumeLabel(int slot, const char* label);

// Reverses the n bytes at data in place (device and host order of the
// big-endian words).
using kt4790::SwapBytes;

// The area sector a as a device sector address, from ZoneCount, ChipCount,
// LargeBlock and ChipCode of FormatParams.
//
// A chip-0x30 controller takes logical sectors with Flag80, so the address
// goes unchanged. A chip-0x13 controller takes sectors of block positions:
// an area's sectors run through the data blocks of a chip, and a block that
// falls beyond them, into the chip's replacement blocks, moves forward by
// their number, onto the next chip's data blocks just after its first
// block. Likewise on windowed media from the end of one window's data blocks
// to the start of the next window's. With no zones per chip it returns a
// unchanged; the writers refuse such a medium before they write.
std::uint32_t MapSector(std::uint32_t a);

std::uint16_t FatSectors(std::uint32_t n);
std::uint16_t HddAlignGap(std::uint16_t fatSectors);
std::uint8_t ZipRootSectors(std::uint32_t n);
std::uint8_t FddRootSectors(std::uint32_t n);
std::uint8_t HeadsForSize(std::uint32_t n);

void BuildHddMbr(std::uint32_t n, std::uint8_t* sector);
void BuildZipMbr(std::uint32_t n, std::uint8_t* sector);
void BuildHddBootSector(std::uint32_t n, std::uint8_t* sector);
void BuildZipBootSector(std::uint32_t n, std::uint8_t* sector);
void BuildFddBootSector(std::uint32_t n, std::uint8_t* sector);

// Whether an area of n sectors holds its layout's boot structures and at
// least one cluster, and its clusters fit FAT16's 16-bit numbers. The
// hard-disk and ZIP layouts need the same room; `floppy` selects the
// floppy layout, whose structures start at sector 0.
bool AreaSizeFits(std::uint32_t n, bool floppy);

// One opening of the device named by FormatParams.DeviceName: the library,
// the finder and VSCWriteSector bound, the device found and stored in
// FormatParams. It lasts until the object ends, which closes the device
// handle and frees the library, and gives FormatParams back the device and
// procedure of the opening before it: a driver's opening stays usable after
// the openings of the writers it calls have ended.
class FormatDevice {
public:
    FormatDevice();
    ~FormatDevice();
    FormatDevice(const FormatDevice&) = delete;
    FormatDevice& operator=(const FormatDevice&) = delete;

    // Opens the device, showing its own messages on failure: 1 or 0.
    int OpenFormatDevice();

private:
    devbind::DeviceSession session_{devbind::Operation::FormatterOpen};
    bool opened_ = false;
    decltype(&VSCWriteSector) previousWriteSector_;
#ifdef KT4790_ASPI
    BYTE previousHostAdapterId_;
    BYTE previousTargetId_;
#else
    HANDLE previousDevice_;
#endif
};

// Writes SectorBuffer to the device sector MapSector gives for a: 1 or 0.
int WriteFormatSector(std::uint32_t a);

// The area writers: n sectors from block `startBlock`, a logical block on
// chip 0x30 and a block position on chip 0x13 (the drivers and the area
// format compute it).
int WriteHddArea(const char* deviceName, std::uint32_t n, std::uint32_t startBlock, std::uint8_t zoneCount,
                 std::uint8_t chipCount, bool largeBlock, std::uint8_t chipCode);
int WriteZipArea(const char* deviceName, std::uint32_t n, std::uint32_t startBlock, std::uint8_t zoneCount,
                 std::uint8_t chipCount, bool largeBlock, std::uint8_t chipCode);
int WriteFddArea(const char* deviceName, std::uint32_t n, std::uint32_t startBlock, std::uint8_t zoneCount,
                 std::uint8_t chipCount, bool largeBlock, std::uint8_t chipCode);

// The three boot layouts, and the writer and the driver of each.
enum class BootLayout { Hdd, Zip, Fdd };
int WriteLayoutArea(BootLayout layout, const char* deviceName, std::uint32_t n, std::uint32_t startBlock,
                    std::uint8_t zoneCount, std::uint8_t chipCount, bool largeBlock, std::uint8_t chipCode);
int FormatBoot(BootLayout layout, const char* deviceName, std::uint32_t standardBlocks, std::uint8_t zoneCount,
               std::uint8_t chipCount, bool largeBlock, std::uint8_t chipCode);

int FormatHddBoot(const char* deviceName, std::uint32_t standardBlocks, std::uint8_t zoneCount,
                  std::uint8_t chipCount, bool largeBlock, std::uint8_t chipCode);
int FormatZipBoot(const char* deviceName, std::uint32_t standardBlocks, std::uint8_t zoneCount,
                  std::uint8_t chipCount, bool largeBlock, std::uint8_t chipCode);
int FormatFddBoot(const char* deviceName, std::uint32_t standardBlocks, std::uint8_t zoneCount,
                  std::uint8_t chipCount, bool largeBlock, std::uint8_t chipCode);

}  // namespace newformat
