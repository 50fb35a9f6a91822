// The one encoding of every command the suite sends to a KT4790 controller.
//
// The device libraries and the monitors build their command blocks here and
// nowhere else. The ASPI build (KT4790_ASPI defined: KT4790mDLL, KT4790mMon)
// differs only where noted next to the difference.
#pragma once

#include <cstdint>

namespace devcmd {

// Operation codes: the vendor command set and the standard commands.
enum OpCode : std::uint8_t {
    kOpInquiry = 0x12,
    kOpReadCapacity10 = 0x25,
    kOpRead10 = 0x28,
    kOpWrite10 = 0x2A,
    kOpModeSense10 = 0x5A,
    kOpGetChipVersion = 0xC0,
    kOpGetMediaSize = 0xC1,
    kOpPwdExist = 0xC2,
    kOpCheckPwd = 0xF0,
    kOpChangePwd = 0xF1,
    kOpClearPwd = 0xF2,
    kOpEraseBlock = 0xF3,
    kOpVscWriteSector = 0xF4,
    kOpVscReadSector = 0xF5,
    kOpSenseCommand = 0xF7,
    kOpSetEString = 0xF8,
    kOpGetPhyBlock = 0xF9,
};

// Option bits of CDB byte 1. A non-zero argument sets its bit.
constexpr std::uint8_t kFlag80 = 0x80;
constexpr std::uint8_t kSpareFlag = 0x40;
constexpr std::uint8_t kFlag02 = 0x02;
constexpr std::uint8_t kFlag01 = 0x01;

enum class Direction : std::uint8_t { In, Out };

constexpr std::uint32_t kSectorTransfer = 512;
constexpr std::uint32_t kSpareTransfer = 16;
constexpr std::uint32_t kQueryTransfer = 192;  // pass-through build's reply size for queries

// CommandDescriptorBlock: 16 bytes, opcode in byte 0, options in byte 1,
// a 32-bit address big-endian in bytes 2-5.
struct CommandDescriptorBlock {
    std::uint8_t bytes[16] = {};
};

// One command as a transport sends it: the block, how many of its bytes the
// transport announces, the direction of the data phase and its length.
struct Command {
    CommandDescriptorBlock cdb;
    std::uint8_t cdbLength = 0;
    Direction direction = Direction::In;
    std::uint32_t transferLength = 0;
    // Whether the reply states its own length and so may end before the
    // transfer length: INQUIRY's and MODE SENSE(10)'s do. A vendor reply
    // states none; it is as long as the controller sends it.
    bool replyMayBeShort = false;
};

// What the suite reads of a reply that states its own length: byte 3 of
// both, INQUIRY's refusal bit and the write-protect bit of the mode
// parameter header.
constexpr std::uint32_t kShortestSelfSizedReply = 4;

// The test of a data-in reply where the transport counts what came (the
// pass-through driver does): it can be handed to a caller who copies
// `copyLength` bytes of it when it brought `delivered` bytes of at least
// that copy (the whole sector or spare area for a sector read, the
// caller's length for a query), or, for a reply that states its own
// length, at least its first kShortestSelfSizedReply bytes. Bytes beyond
// the transfer length are never sent and read as zero, so the copy counts
// only up to it.
constexpr bool ReplyCovers(const Command& command, std::uint32_t delivered, std::uint32_t copyLength) {
    std::uint32_t needed = copyLength < command.transferLength ? copyLength : command.transferLength;
    if (command.replyMayBeShort && needed > kShortestSelfSizedReply) needed = kShortestSelfSizedReply;
    return delivered >= needed;
}

// The success test of both transports: SCSI (or ASPI request) status 0 or 1.
constexpr bool ScsiStatusOk(std::uint8_t status) { return status == 0 || status == 1; }

// Family 1: password and descriptor-sector commands (512 bytes out).
Command CheckPwd();
Command ChangePwd();
Command ClearPwd();
Command SetEString();

// Family 2: flash access.
Command EraseBlock(std::uint32_t block, int flag01, int flag02);
Command VscWriteSector(std::uint32_t sector, int flag80, int spareFlag);
Command VscReadSector(std::uint32_t sector, int flag80, int spareFlag);
Command GetPhyBlock(std::uint32_t logicalBlock, int flag01, int flag80);

// Family 3: queries (data in, no address). The transfer length is the
// build's reply size: 192 bytes on pass-through, 512 on ASPI.
Command GetChipVersion();
Command GetMediaSize();
Command PwdExist();
Command SenseCommand();
Command ModeSense10();  // WriteProtect: all pages, allocation length 0x00FF, 512 bytes in

// Family 4: standard SCSI commands.
Command Inquiry();  // allocation length 192, 192 bytes in
Command ReadCapacity10();
Command Read10(std::uint32_t block, std::uint32_t length);
Command Write10(std::uint32_t block, std::uint32_t length);

}  // namespace devcmd
