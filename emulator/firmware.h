// The controller firmware: geometry, the logical-to-physical map, the
// descriptor sector, the password and the answers to every command. The
// Controller in front of it adds presence, fault injection and the trace.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "emulator/controller.h"
#include "emulator/nand.h"

namespace emulator {

// The physical blocks of the medium a configuration describes.
std::uint32_t NandBlocks(const Config& config);

class Firmware {
public:
    // The medium starts erased; FormatMedium() lays down what a new device
    // carries (firmware blocks and the descriptor sector).
    explicit Firmware(const Config& config);

    void FormatMedium();

    const Config& config() const { return config_; }
    // The write-protect switch, moved while the device is plugged in.
    void SetWriteProtected(bool on) { config_.writeProtected = on; }
    Nand& nand() { return nand_; }
    const Nand& nand() const { return nand_; }

    std::uint32_t physicalBlocks() const { return nand_.blocks(); }
    std::uint32_t logicalBlocks() const;
    std::uint32_t sectorsPerBlock() const { return nand_.sectorsPerBlock(); }
    // The block that holds a logical block for the host (READ(10), WRITE(10),
    // GetPhyBlock, chip 0x30's Flag80), or Controller::kNone.
    std::uint32_t PhysicalBlockOf(std::uint32_t logicalBlock) const;
    // The block position of a logical block, before replacement.
    std::uint32_t DataPosition(std::uint32_t logicalBlock) const;
    // The block that holds a position's data now: its replacement, or itself.
    std::uint32_t Resolve(std::uint32_t block) const;

    // How the chips divide the medium.
    struct ChipLayout {
        std::uint32_t chips = 0;           // ChipCount, low four bits
        std::uint32_t logicalPerChip = 0;  // 0 when the chips take no zone
        std::uint32_t physicalPerChip = 0;
        bool windowed = false;             // chip 0x13, 16 zones of large blocks per chip
    };
    ChipLayout Layout() const;

    // What a physical block is for: the system block(s) before the data, a
    // data position, a replacement block (the rest of its chip, or of its
    // zone on chip 0x30), or no block of the layout. `unit` receives the
    // block's chip (chip 0x30: its zone).
    enum class BlockRole { System, Data, Replacement, Outside };
    BlockRole RoleOf(std::uint32_t block, std::uint32_t* unit) const;

    // Physical sector of the descriptor sector, or Controller::kNone when the
    // medium has none (chip 0x30 with its descriptor block beyond the medium).
    std::uint32_t DescriptorSectorNumber() const;

    // Runs one command whose CDB bytes beyond the announced length are zero.
    // Returns the SCSI status; `moved` receives the length of the data phase:
    // the reply's own length for INQUIRY and MODE SENSE(10), `length` for
    // every other command.
    std::uint8_t Execute(const std::uint8_t (&cdb)[16], DataDirection direction, std::uint8_t* data,
                         std::uint32_t length, std::uint32_t& moved);

    // What a power cycle resets.
    void PowerCycle();
    VolatileState volatileState() const;
    // False when the state cannot be one of this firmware's (too many failures).
    bool RestoreVolatileState(const VolatileState& state);

private:
    std::uint8_t Dispatch(const std::uint8_t (&cdb)[16], DataDirection direction, std::uint8_t* data,
                          std::uint32_t length, std::uint32_t& moved);

    std::uint8_t Inquiry(const std::uint8_t (&cdb)[16], std::uint8_t* data, std::uint32_t length,
                         std::uint32_t& moved) const;
    std::uint8_t ModeSense10(const std::uint8_t (&cdb)[16], std::uint8_t* data, std::uint32_t length,
                             std::uint32_t& moved) const;
    std::uint8_t ReadCapacity10(std::uint8_t* data, std::uint32_t length) const;
    std::uint8_t Read10(const std::uint8_t (&cdb)[16], std::uint8_t* data, std::uint32_t length) const;
    std::uint8_t Write10(const std::uint8_t (&cdb)[16], const std::uint8_t* data, std::uint32_t length);
    std::uint8_t Query(const std::uint8_t (&cdb)[16], std::uint8_t* data, std::uint32_t length) const;
    std::uint8_t CheckPwd(const std::uint8_t* block);
    std::uint8_t ChangePwd(const std::uint8_t* block);
    std::uint8_t ClearPwd(const std::uint8_t* block);
    std::uint8_t EraseBlock(const std::uint8_t (&cdb)[16]);
    std::uint8_t ReadSector(const std::uint8_t (&cdb)[16], std::uint8_t* data, std::uint32_t length) const;
    std::uint8_t WriteSector(const std::uint8_t (&cdb)[16], const std::uint8_t* data, std::uint32_t length);
    std::uint8_t SetEString(const std::uint8_t* data);

    // The physical sector a VSCReadSector/VSCWriteSector addresses, or
    // Controller::kNone for a logical sector without a physical block.
    std::uint32_t VendorSector(const std::uint8_t (&cdb)[16]) const;
    bool CurrentPasswordMatches(const std::uint8_t* block) const;
    void RecordPosition(std::uint32_t block, std::uint32_t position);
    void Programmed(std::uint32_t physicalSector);
    bool LogicalSectorsValid(std::uint32_t first, std::uint32_t count) const;

    Config config_;
    std::vector<std::uint32_t> unmapped_;  // sorted copy of config_.unmappedBlocks
    std::map<std::uint32_t, std::uint32_t> replacedBy_;  // position -> replacement block
    std::map<std::uint32_t, std::uint32_t> replacing_;   // replacement block -> position
    Nand nand_;
    unsigned failedChecks_ = 0;            // CheckPwd failures in a row
    std::uint8_t lastStatus_ = kStatusGood;
};

}  // namespace emulator
