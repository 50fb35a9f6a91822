#include "emulator/firmware.h"

#include <algorithm>
#include <cstring>

#include "devlib/cdb.h"
#include "kt4790/records.h"

namespace emulator {

namespace {

using kt4790::ReadBigEndian32;
using kt4790::WriteBigEndian32;

constexpr std::uint32_t kSector = 512;
constexpr std::uint32_t kSpare = 16;
constexpr std::uint32_t kQueryReply = 192;       // every vendor query answers 192 bytes
constexpr std::uint32_t kInquiryReply = 36;      // standard data up to the revision
constexpr std::uint32_t kModeSenseReply = 8;     // the mode parameter header alone
constexpr std::uint32_t kCapacityReply = 8;
constexpr unsigned kPasswordAttempts = 3;
constexpr std::size_t kMaxPasswordLength = 254;  // text and its zero byte fit one half
constexpr std::size_t kMaxNameUnits = 16;
constexpr std::size_t kMaxHintUnits = 32;

// Spare area of the descriptor sector: status 0xFF, both copies 00 00.
constexpr std::uint8_t kDescriptorSpare[kSpare] = {0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00,
                                                  0xFF, 0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0xFF};
// Spare area of sector 1 of a firmware block: status 0x00 marks it as no
// descriptor block, so the host's search passes over it.
constexpr std::uint8_t kFirmwareSpare[kSpare] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0xFF, 0xFF,
                                                0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

std::uint32_t PhysicalPerZone(bool large) {
    return large ? kt4790::kLargePhysicalPerZone : kt4790::kSmallPhysicalPerZone;
}
std::uint32_t LogicalPerZone(bool large) {
    return large ? kt4790::kLargeLogicalPerZone : kt4790::kSmallLogicalPerZone;
}

bool Fits(std::uint32_t length, std::uint32_t needed) { return length >= needed; }

// Copies min(length, limit, reply size) bytes of a reply; returns how many.
std::uint32_t Deliver(std::uint8_t* data, std::uint32_t length, const std::uint8_t* reply, std::uint32_t replySize,
                      std::uint32_t limit) {
    const std::uint32_t n = std::min({length, limit, replySize});
    if (n != 0) std::memcpy(data, reply, n);
    return n;
}

// Appends one descriptor [L, type, body] at `offset`; returns the next offset.
std::size_t PutDescriptor(std::uint8_t* sector, std::size_t offset, std::uint8_t type, const std::uint8_t* body,
                          std::size_t bodyLength) {
    sector[offset] = static_cast<std::uint8_t>(bodyLength + 2);
    sector[offset + 1] = type;
    if (bodyLength != 0) std::memcpy(sector + offset + 2, body, bodyLength);
    return offset + bodyLength + 2;
}

std::size_t PutText(std::uint8_t* sector, std::size_t offset, const char16_t* text, std::size_t units) {
    std::uint8_t body[2 * kMaxHintUnits] = {};
    for (std::size_t i = 0; i < units; ++i) {
        body[2 * i] = static_cast<std::uint8_t>(text[i] & 0xFF);
        body[2 * i + 1] = static_cast<std::uint8_t>(text[i] >> 8);
    }
    return PutDescriptor(sector, offset, kt4790::kStringDescriptorType, body, 2 * units);
}

std::size_t PutAscii(std::uint8_t* sector, std::size_t offset, const char* text) {
    char16_t units[kMaxHintUnits] = {};
    std::size_t n = 0;
    for (; text[n] != '\0' && n < kMaxHintUnits; ++n) units[n] = static_cast<char16_t>(text[n]);
    return PutText(sector, offset, units, n);
}

// The descriptor sector of a new device: a fixed header, seven descriptors
// the firmware keeps for itself, the name and the hint, then the end byte.
void BuildDescriptorSector(const Config& config, std::uint8_t (&sector)[kSector]) {
    std::memset(sector, 0, kSector);
    static const char kHeader[] = "KT4790 CONFIG";
    std::memcpy(sector, kHeader, sizeof kHeader - 1);
    sector[16] = 0x01;  // layout version of this sector
    sector[17] = 0x00;

    std::size_t offset = kt4790::kDescriptorChainStart;
    const std::uint8_t language[] = {0x09, 0x04};  // English (United States)
    offset = PutDescriptor(sector, offset, kt4790::kStringDescriptorType, language, sizeof language);
    offset = PutAscii(sector, offset, "KT4790");
    offset = PutAscii(sector, offset, "USB Flash Disk");
    offset = PutAscii(sector, offset, "0123456789AB");
    offset = PutAscii(sector, offset, "MSC");
    offset = PutAscii(sector, offset, "Bulk-Only");
    const std::uint8_t power[] = {0x80, 0x32, 0x00, 0x00};  // bus powered, 100 mA
    offset = PutDescriptor(sector, offset, 0x10, power, sizeof power);

    offset = PutText(sector, offset, config.deviceName.data(), std::min(config.deviceName.size(), kMaxNameUnits));
    offset = PutText(sector, offset, config.hint.data(), std::min(config.hint.size(), kMaxHintUnits));
    sector[offset] = 0;  // end of the chain; BootFlag, PartitionWord and ChipBlockTable stay 0
}

}  // namespace

// A medium of zone count 0 still carries its system block 0.
std::uint32_t NandBlocks(const Config& config) {
    return std::max<std::uint32_t>(1, config.zoneCount * PhysicalPerZone(config.largeBlock));
}

Firmware::Firmware(const Config& config)
    : config_(config),
      unmapped_(config.unmappedBlocks),
      nand_(NandBlocks(config), kt4790::SectorsPerBlock(config.largeBlock)) {
    std::sort(unmapped_.begin(), unmapped_.end());
    if (config_.password.size() > kMaxPasswordLength) config_.password.resize(kMaxPasswordLength);
    // The first entry for a position or a block counts; entries beyond the
    // medium are never followed (MediumProblem reports them).
    for (const Replacement& r : config_.replacements) {
        if (r.block >= nand_.blocks() || r.position >= nand_.blocks()) continue;
        if (replacedBy_.count(r.position) != 0 || replacing_.count(r.block) != 0) continue;
        replacedBy_[r.position] = r.block;
        replacing_[r.block] = r.position;
    }
}

void Firmware::FormatMedium() {
    nand_.EraseAll();
    const std::uint32_t descriptor = DescriptorSectorNumber();
    if (config_.chipCode == kt4790::kChipCode30) {
        const std::uint32_t firmwareBlocks = std::min(config_.descriptorBlock, nand_.blocks());
        static const std::uint8_t kFirmwareCode[kSector] = {};
        for (std::uint32_t block = 0; block < firmwareBlocks; ++block) {
            nand_.Write(block * sectorsPerBlock() + 1, kFirmwareCode, kFirmwareSpare);
        }
    }
    if (descriptor != Controller::kNone) {
        std::uint8_t sector[kSector];
        BuildDescriptorSector(config_, sector);
        nand_.Write(descriptor, sector, kDescriptorSpare);
    }
    for (const auto& [block, position] : replacing_) RecordPosition(block, position);
}

std::uint32_t Firmware::logicalBlocks() const { return config_.zoneCount * LogicalPerZone(config_.largeBlock); }

std::uint32_t Firmware::DescriptorSectorNumber() const {
    if (config_.chipCode != kt4790::kChipCode30) return 1;
    if (config_.descriptorBlock >= nand_.blocks()) return Controller::kNone;
    return config_.descriptorBlock * sectorsPerBlock() + 1;
}

Firmware::ChipLayout Firmware::Layout() const {
    ChipLayout layout;
    const bool large = config_.largeBlock;
    layout.chips = config_.chipCount & 0x0F;
    const std::uint32_t zonesPerChip = layout.chips == 0 ? 0 : config_.zoneCount / layout.chips;
    layout.logicalPerChip = zonesPerChip * LogicalPerZone(large);
    layout.physicalPerChip = zonesPerChip * PhysicalPerZone(large);
    layout.windowed = config_.chipCode != kt4790::kChipCode30 && large && zonesPerChip == 16;
    return layout;
}

// Chip 0x30 keeps one map per zone: the data blocks of zone z are the first
// logicalPerZone blocks of the zone that lie after the descriptor block.
// The other chips keep their data per chip: block 0 of each chip is its
// system block, the data blocks follow it and the replacement blocks end
// the chip; with 16 zones of large blocks per chip the chip is two windows
// of 1024 blocks, each with 1000 data blocks.
std::uint32_t Firmware::DataPosition(std::uint32_t logicalBlock) const {
    if (logicalBlock >= logicalBlocks()) return Controller::kNone;
    const bool large = config_.largeBlock;
    std::uint64_t position = 0;
    if (config_.chipCode == kt4790::kChipCode30) {
        const std::uint32_t logicalPerZone = LogicalPerZone(large);
        const std::uint32_t physicalPerZone = PhysicalPerZone(large);
        const std::uint32_t zone = logicalBlock / logicalPerZone;
        const std::uint64_t zoneStart = static_cast<std::uint64_t>(zone) * physicalPerZone;
        const std::uint64_t firstData = std::max<std::uint64_t>(zoneStart, std::uint64_t{config_.descriptorBlock} + 1);
        position = firstData + logicalBlock % logicalPerZone;
        if (position >= zoneStart + physicalPerZone) return Controller::kNone;
    } else {
        const ChipLayout layout = Layout();
        if (layout.logicalPerChip == 0) return Controller::kNone;
        const std::uint32_t chip = logicalBlock / layout.logicalPerChip;
        if (chip >= layout.chips) return Controller::kNone;  // zones that no chip takes
        if (layout.windowed) {
            const std::uint32_t window = logicalBlock / 1000;
            position = 1024ull * window + logicalBlock % 1000 + (window % 2 == 0 ? 1 : 0);
        } else {
            position = std::uint64_t{chip} * layout.physicalPerChip + 1 + logicalBlock % layout.logicalPerChip;
        }
    }
    if (position >= nand_.blocks()) return Controller::kNone;
    return static_cast<std::uint32_t>(position);
}

Firmware::BlockRole Firmware::RoleOf(std::uint32_t block, std::uint32_t* unit) const {
    if (block >= nand_.blocks()) return BlockRole::Outside;
    const bool large = config_.largeBlock;
    if (config_.chipCode == kt4790::kChipCode30) {
        const std::uint32_t physicalPerZone = PhysicalPerZone(large);
        const std::uint32_t zone = block / physicalPerZone;
        if (unit != nullptr) *unit = zone;
        const std::uint64_t zoneStart = std::uint64_t{zone} * physicalPerZone;
        const std::uint64_t firstData = std::max<std::uint64_t>(zoneStart, std::uint64_t{config_.descriptorBlock} + 1);
        if (block < firstData) return BlockRole::System;
        return block < firstData + LogicalPerZone(large) ? BlockRole::Data : BlockRole::Replacement;
    }
    const ChipLayout layout = Layout();
    if (layout.physicalPerChip == 0 || block / layout.physicalPerChip >= layout.chips) return BlockRole::Outside;
    if (unit != nullptr) *unit = block / layout.physicalPerChip;
    if (layout.windowed) {
        const std::uint32_t window = block / 1024;
        const std::uint32_t offset = block % 1024;
        const std::uint32_t firstData = window % 2 == 0 ? 1 : 0;
        if (offset < firstData) return BlockRole::System;
        return offset < firstData + 1000 ? BlockRole::Data : BlockRole::Replacement;
    }
    const std::uint32_t offset = block % layout.physicalPerChip;
    if (offset == 0) return BlockRole::System;
    return offset <= layout.logicalPerChip ? BlockRole::Data : BlockRole::Replacement;
}

std::uint32_t Firmware::Resolve(std::uint32_t block) const {
    const auto it = replacedBy_.find(block);
    return it == replacedBy_.end() ? block : it->second;
}

std::uint32_t Firmware::PhysicalBlockOf(std::uint32_t logicalBlock) const {
    if (std::binary_search(unmapped_.begin(), unmapped_.end(), logicalBlock)) return Controller::kNone;
    const std::uint32_t position = DataPosition(logicalBlock);
    return position == Controller::kNone ? position : Resolve(position);
}

// A replacement block carries the position it stands for, relative to its
// chip, in bytes 2-3 of its first sector's spare area, as the firmware
// writes it whenever it programs the block.
void Firmware::RecordPosition(std::uint32_t block, std::uint32_t position) {
    const std::uint32_t perChip = Layout().physicalPerChip;
    const std::uint32_t relative = perChip == 0 ? position : position % perChip;
    const std::uint32_t first = block * sectorsPerBlock();
    std::uint8_t spare[kSpare];
    nand_.Read(first, nullptr, spare);
    kt4790::WriteBigEndian16(spare + kt4790::kSpareBlockPosition, static_cast<std::uint16_t>(relative));
    nand_.Write(first, nullptr, spare);
}

// Data written to a replacement block through the map.
void Firmware::Programmed(std::uint32_t physicalSector) {
    const auto it = replacing_.find(physicalSector / sectorsPerBlock());
    if (it != replacing_.end()) RecordPosition(it->first, it->second);
}

void Firmware::PowerCycle() {
    failedChecks_ = 0;
    lastStatus_ = kStatusGood;
}

VolatileState Firmware::volatileState() const {
    VolatileState state;
    state.failedChecks = static_cast<std::uint8_t>(failedChecks_);
    state.lastStatus = lastStatus_;
    return state;
}

bool Firmware::RestoreVolatileState(const VolatileState& state) {
    if (state.failedChecks > kPasswordAttempts) return false;
    failedChecks_ = state.failedChecks;
    lastStatus_ = state.lastStatus;
    return true;
}

std::uint8_t Firmware::Execute(const std::uint8_t (&cdb)[16], DataDirection direction, std::uint8_t* data,
                               std::uint32_t length, std::uint32_t& moved) {
    moved = length;
    lastStatus_ = Dispatch(cdb, direction, data, length, moved);
    return lastStatus_;
}

std::uint8_t Firmware::Dispatch(const std::uint8_t (&cdb)[16], DataDirection direction, std::uint8_t* data,
                                std::uint32_t length, std::uint32_t& moved) {
    const bool in = direction == DataDirection::In;
    const bool out = direction == DataDirection::Out;
    const bool protectedMedium = config_.writeProtected;
    switch (cdb[0]) {
        case devcmd::kOpInquiry:
            return in ? Inquiry(cdb, data, length, moved) : kStatusCheckCondition;
        case devcmd::kOpModeSense10:
            return in ? ModeSense10(cdb, data, length, moved) : kStatusCheckCondition;
        case devcmd::kOpReadCapacity10:
            return in ? ReadCapacity10(data, length) : kStatusCheckCondition;
        case devcmd::kOpRead10:
            return in ? Read10(cdb, data, length) : kStatusCheckCondition;
        case devcmd::kOpWrite10:
            if (!out || protectedMedium) return kStatusCheckCondition;
            return Write10(cdb, data, length);
        case devcmd::kOpGetChipVersion:
        case devcmd::kOpGetMediaSize:
        case devcmd::kOpPwdExist:
        case devcmd::kOpSenseCommand:
        case devcmd::kOpGetPhyBlock:
            return in ? Query(cdb, data, length) : kStatusCheckCondition;
        case devcmd::kOpCheckPwd:
        case devcmd::kOpChangePwd:
        case devcmd::kOpClearPwd:
            if (!out || !Fits(length, kSector)) return kStatusCheckCondition;
            if (failedChecks_ >= kPasswordAttempts) return kStatusCheckCondition;  // locked until replugged
            if (cdb[0] == devcmd::kOpCheckPwd) return CheckPwd(data);
            return cdb[0] == devcmd::kOpChangePwd ? ChangePwd(data) : ClearPwd(data);
        case devcmd::kOpEraseBlock:
            if (in || protectedMedium) return kStatusCheckCondition;
            return EraseBlock(cdb);
        case devcmd::kOpVscReadSector:
            return in ? ReadSector(cdb, data, length) : kStatusCheckCondition;
        case devcmd::kOpVscWriteSector:
            if (!out || protectedMedium) return kStatusCheckCondition;
            return WriteSector(cdb, data, length);
        case devcmd::kOpSetEString:
            if (!out || protectedMedium || !Fits(length, kSector)) return kStatusCheckCondition;
            return SetEString(data);
        default:
            return kStatusCheckCondition;
    }
}

std::uint8_t Firmware::Inquiry(const std::uint8_t (&cdb)[16], std::uint8_t* data, std::uint32_t length,
                               std::uint32_t& moved) const {
    std::uint8_t reply[kInquiryReply] = {};
    reply[0] = 0x00;  // direct-access device
    reply[1] = 0x80;  // removable medium
    reply[2] = 0x02;  // SCSI-2
    reply[3] = config_.inquiryByte3;
    reply[4] = kInquiryReply - 5;  // additional length
    std::memcpy(reply + 8, "KT4790  ", 8);
    std::memcpy(reply + 16, "USB Flash Disk  ", 16);
    std::memcpy(reply + kt4790::kInquiryRevisionOffset, config_.revision.data(), kt4790::kInquiryRevisionLength);
    const std::uint32_t allocation = (std::uint32_t{cdb[3]} << 8) | cdb[4];
    moved = Deliver(data, length, reply, sizeof reply, allocation);
    return kStatusGood;
}

std::uint8_t Firmware::ModeSense10(const std::uint8_t (&cdb)[16], std::uint8_t* data, std::uint32_t length,
                                   std::uint32_t& moved) const {
    // Mode parameter header alone: no block descriptor and no pages.
    std::uint8_t reply[kModeSenseReply] = {};
    reply[1] = kModeSenseReply - 2;  // mode data length
    reply[3] = config_.writeProtected ? 0x80 : 0x00;
    const std::uint32_t allocation = (std::uint32_t{cdb[7]} << 8) | cdb[8];
    moved = Deliver(data, length, reply, sizeof reply, allocation);
    return kStatusGood;
}

std::uint8_t Firmware::ReadCapacity10(std::uint8_t* data, std::uint32_t length) const {
    const std::uint32_t sectors = logicalBlocks() * sectorsPerBlock();
    if (sectors == 0) return kStatusCheckCondition;  // no medium to report
    std::uint8_t reply[kCapacityReply] = {};
    WriteBigEndian32(reply, sectors - 1);
    WriteBigEndian32(reply + 4, kSector);
    Deliver(data, length, reply, sizeof reply, kCapacityReply);
    return kStatusGood;
}

bool Firmware::LogicalSectorsValid(std::uint32_t first, std::uint32_t count) const {
    const std::uint64_t end = std::uint64_t{first} + count;
    return end <= std::uint64_t{logicalBlocks()} * sectorsPerBlock();
}

std::uint8_t Firmware::Read10(const std::uint8_t (&cdb)[16], std::uint8_t* data, std::uint32_t length) const {
    const std::uint32_t first = ReadBigEndian32(cdb + 2);
    const std::uint32_t count = (std::uint32_t{cdb[7]} << 8) | cdb[8];
    if (std::uint64_t{count} * kSector != length || !LogicalSectorsValid(first, count)) return kStatusCheckCondition;
    const std::uint32_t perBlock = sectorsPerBlock();
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t sector = first + i;
        const std::uint32_t physical = PhysicalBlockOf(sector / perBlock);
        std::uint8_t* target = data + std::size_t{i} * kSector;
        if (physical == Controller::kNone) std::memset(target, 0, kSector);
        else nand_.Read(physical * perBlock + sector % perBlock, target, nullptr);
    }
    return kStatusGood;
}

std::uint8_t Firmware::Write10(const std::uint8_t (&cdb)[16], const std::uint8_t* data, std::uint32_t length) {
    const std::uint32_t first = ReadBigEndian32(cdb + 2);
    const std::uint32_t count = (std::uint32_t{cdb[7]} << 8) | cdb[8];
    if (std::uint64_t{count} * kSector != length || !LogicalSectorsValid(first, count)) return kStatusCheckCondition;
    const std::uint32_t perBlock = sectorsPerBlock();
    // All or nothing: a transfer that touches a block without a physical
    // block writes no sector at all.
    for (std::uint32_t i = 0; i < count; ++i) {
        if (PhysicalBlockOf((first + i) / perBlock) == Controller::kNone) return kStatusCheckCondition;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t sector = first + i;
        const std::uint32_t physical = PhysicalBlockOf(sector / perBlock) * perBlock + sector % perBlock;
        nand_.Write(physical, data + std::size_t{i} * kSector, nullptr);
        Programmed(physical);
    }
    return kStatusGood;
}

std::uint8_t Firmware::Query(const std::uint8_t (&cdb)[16], std::uint8_t* data, std::uint32_t length) const {
    std::uint8_t reply[kQueryReply] = {};
    switch (cdb[0]) {
        case devcmd::kOpGetChipVersion:
            reply[0] = config_.chipCode;
            break;
        case devcmd::kOpGetMediaSize:
            reply[0] = config_.largeBlock ? 1 : 0;
            reply[1] = config_.zoneCount;
            reply[2] = config_.chipCount;
            break;
        case devcmd::kOpPwdExist:
            if (config_.pwdExistReply >= 0 && config_.pwdExistReply <= 0xFF) {
                reply[0] = static_cast<std::uint8_t>(config_.pwdExistReply);
            } else {
                reply[0] = config_.password.empty() ? 0 : 1;
            }
            break;
        case devcmd::kOpSenseCommand:
            reply[0] = lastStatus_;  // status of the previous command
            break;
        default:  // GetPhyBlock
            WriteBigEndian32(reply, PhysicalBlockOf(ReadBigEndian32(cdb + 2)));
            break;
    }
    Deliver(data, length, reply, sizeof reply, kQueryReply);
    return kStatusGood;
}

bool Firmware::CurrentPasswordMatches(const std::uint8_t* block) const {
    const std::size_t length = block[kt4790::kPwdCurrentLength];
    if (length > kMaxPasswordLength || length != config_.password.size()) return false;
    return length == 0 || std::memcmp(block + kt4790::kPwdCurrentText, config_.password.data(), length) == 0;
}

std::uint8_t Firmware::CheckPwd(const std::uint8_t* block) {
    if (!CurrentPasswordMatches(block)) {
        ++failedChecks_;
        return kStatusCheckCondition;
    }
    failedChecks_ = 0;
    return kStatusGood;
}

std::uint8_t Firmware::ChangePwd(const std::uint8_t* block) {
    const std::size_t newLength = block[kt4790::kPwdNewLength];
    if (!CurrentPasswordMatches(block) || newLength > kMaxPasswordLength) return kStatusCheckCondition;
    config_.password.assign(reinterpret_cast<const char*>(block + kt4790::kPwdNewText), newLength);
    return kStatusGood;
}

std::uint8_t Firmware::ClearPwd(const std::uint8_t* block) {
    if (!CurrentPasswordMatches(block)) return kStatusCheckCondition;
    config_.password.clear();
    return kStatusGood;
}

std::uint8_t Firmware::EraseBlock(const std::uint8_t (&cdb)[16]) {
    const std::uint32_t block = ReadBigEndian32(cdb + 2);
    if (block >= nand_.blocks()) return kStatusCheckCondition;
    nand_.EraseBlock(block);
    return kStatusGood;
}

std::uint32_t Firmware::VendorSector(const std::uint8_t (&cdb)[16]) const {
    const std::uint32_t sector = ReadBigEndian32(cdb + 2);
    if ((cdb[1] & devcmd::kFlag80) == 0) return sector;
    const std::uint32_t perBlock = sectorsPerBlock();
    std::uint32_t physical;
    if (config_.chipCode == kt4790::kChipCode30) {
        // A logical sector, through the map.
        physical = PhysicalBlockOf(sector / perBlock);
        if (physical == Controller::kNone) return Controller::kNone;
    } else {
        // A sector of a block position: a replaced position leads to its
        // replacement block.
        physical = Resolve(sector / perBlock);
    }
    return physical * perBlock + sector % perBlock;
}

std::uint8_t Firmware::ReadSector(const std::uint8_t (&cdb)[16], std::uint8_t* data, std::uint32_t length) const {
    const std::uint32_t sector = VendorSector(cdb);
    const bool spare = (cdb[1] & devcmd::kSpareFlag) != 0;
    if (!Fits(length, spare ? kSpare : kSector) || sector >= nand_.sectors()) return kStatusCheckCondition;
    if (spare) nand_.Read(sector, nullptr, data);
    else nand_.Read(sector, data, nullptr);
    return kStatusGood;
}

std::uint8_t Firmware::WriteSector(const std::uint8_t (&cdb)[16], const std::uint8_t* data, std::uint32_t length) {
    const std::uint32_t sector = VendorSector(cdb);
    const bool spare = (cdb[1] & devcmd::kSpareFlag) != 0;
    if (!Fits(length, spare ? kSpare : kSector) || sector >= nand_.sectors()) return kStatusCheckCondition;
    if (spare) {
        nand_.Write(sector, nullptr, data);
    } else {
        nand_.Write(sector, data, nullptr);
        if ((cdb[1] & devcmd::kFlag80) != 0) Programmed(sector);
    }
    return kStatusGood;
}

std::uint8_t Firmware::SetEString(const std::uint8_t* data) {
    const std::uint32_t sector = DescriptorSectorNumber();
    if (sector == Controller::kNone) return kStatusCheckCondition;
    nand_.Write(sector, data, kDescriptorSpare);
    return kStatusGood;
}

std::string MediumProblem(const Config& config) {
    if (config.chipCode != kt4790::kChipCode13 && config.chipCode != kt4790::kChipCode30) {
        return "the chip code is neither 0x13 nor 0x30";
    }
    if (config.chipCount < 1 || config.chipCount > kt4790::kChipBlockTableSlots) {
        return "a medium has 1 to 8 flash chips";
    }
    if (config.zoneCount == 0) return "a medium has at least one zone";
    if (config.zoneCount % config.chipCount != 0) {
        return std::to_string(config.zoneCount) + " zones cannot be shared among " + std::to_string(config.chipCount) +
               " chips: the zone count must be a multiple of the chip count";
    }
    const std::uint32_t zonesPerChip = config.zoneCount / config.chipCount;
    if (config.chipCode == kt4790::kChipCode13 && config.largeBlock && zonesPerChip > 8 && zonesPerChip != 16) {
        return "a chip 0x13 with large blocks has 1 to 8 zones, or 16 in two windows, not " +
               std::to_string(zonesPerChip);
    }
    // Zone 0 keeps its data blocks after the descriptor block. Where fewer
    // than a zone's logical blocks fit there, the last ones would have no
    // data block: they read as zeros but no write to them could succeed.
    const std::uint64_t physicalPerZone = PhysicalPerZone(config.largeBlock);
    const std::uint64_t logicalPerZone = LogicalPerZone(config.largeBlock);
    const std::uint64_t firstData = std::uint64_t{config.descriptorBlock} + 1;
    if (config.chipCode == kt4790::kChipCode30 && firstData + logicalPerZone > physicalPerZone) {
        const std::uint64_t room = firstData < physicalPerZone ? physicalPerZone - firstData : 0;
        return "descriptor block " + std::to_string(config.descriptorBlock) + " leaves zone 0 room for " +
               std::to_string(room) + " of its " + std::to_string(logicalPerZone) + " data blocks (at most block " +
               std::to_string(physicalPerZone - logicalPerZone - 1) + ")";
    }
    const Firmware firmware(config);
    std::map<std::uint32_t, bool> used;
    for (const Replacement& r : config.replacements) {
        std::uint32_t positionUnit = 0;
        std::uint32_t blockUnit = 0;
        const std::string which = "replacement of block " + std::to_string(r.position) + " by " + std::to_string(r.block);
        if (firmware.RoleOf(r.position, &positionUnit) != Firmware::BlockRole::Data) {
            return which + ": block " + std::to_string(r.position) + " holds no data position";
        }
        if (firmware.RoleOf(r.block, &blockUnit) != Firmware::BlockRole::Replacement) {
            return which + ": block " + std::to_string(r.block) + " is not a replacement block";
        }
        if (positionUnit != blockUnit) return which + ": the two blocks lie in different chips";
        if (used[r.position] || used[r.block]) return which + ": a block is replaced or used twice";
        used[r.position] = used[r.block] = true;
    }
    return "";
}

bool AddReplacement(Config& config, std::uint32_t position, std::string* problem) {
    const Firmware firmware(config);
    std::uint32_t unit = 0;
    if (firmware.RoleOf(position, &unit) != Firmware::BlockRole::Data) {
        if (problem != nullptr) *problem = "block " + std::to_string(position) + " holds no data position";
        return false;
    }
    std::map<std::uint32_t, bool> used;
    for (const Replacement& r : config.replacements) used[r.position] = used[r.block] = true;
    if (used[position]) {
        if (problem != nullptr) *problem = "block " + std::to_string(position) + " is replaced already";
        return false;
    }
    for (std::uint32_t block = 0; block < firmware.physicalBlocks(); ++block) {
        std::uint32_t blockUnit = 0;
        if (firmware.RoleOf(block, &blockUnit) == Firmware::BlockRole::Replacement && blockUnit == unit &&
            !used[block]) {
            config.replacements.push_back({position, block});
            return true;
        }
    }
    if (problem != nullptr) *problem = "no free replacement block left for block " + std::to_string(position);
    return false;
}

}  // namespace emulator
