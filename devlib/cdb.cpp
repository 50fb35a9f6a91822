#include "devlib/cdb.h"

namespace devcmd {

namespace {

// Vendor commands announce 6 CDB bytes over ASPI; everything else, and every
// command on the pass-through build, announces 11.
std::uint8_t CdbLengthFor(std::uint8_t opcode) {
#ifdef KT4790_ASPI
    return opcode >= 0xC0 ? 6 : 11;
#else
    (void)opcode;
    return 11;
#endif
}

#ifdef KT4790_ASPI
constexpr std::uint32_t kQueryReply = 512;
constexpr std::uint8_t kPasswordByte2 = 0x20;
#else
constexpr std::uint32_t kQueryReply = kQueryTransfer;
constexpr std::uint8_t kPasswordByte2 = 0x02;
#endif

Command Make(std::uint8_t opcode, Direction direction, std::uint32_t transferLength) {
    Command c;
    c.cdb.bytes[0] = opcode;
    c.cdbLength = CdbLengthFor(opcode);
    c.direction = direction;
    c.transferLength = transferLength;
    return c;
}

void PutAddress(Command& c, std::uint32_t address) {
    c.cdb.bytes[2] = static_cast<std::uint8_t>(address >> 24);
    c.cdb.bytes[3] = static_cast<std::uint8_t>(address >> 16);
    c.cdb.bytes[4] = static_cast<std::uint8_t>(address >> 8);
    c.cdb.bytes[5] = static_cast<std::uint8_t>(address);
}

std::uint8_t Bit(int argument, std::uint8_t bit) { return argument != 0 ? bit : 0; }

// A vendor query of the build's reply size.
Command Query(std::uint8_t opcode) { return Make(opcode, Direction::In, kQueryReply); }

Command Password(std::uint8_t opcode) {
    Command c = Make(opcode, Direction::Out, kSectorTransfer);
    c.cdb.bytes[2] = kPasswordByte2;
    return c;
}

}  // namespace

Command CheckPwd() { return Password(kOpCheckPwd); }
Command ChangePwd() { return Password(kOpChangePwd); }
Command ClearPwd() { return Password(kOpClearPwd); }
Command SetEString() { return Make(kOpSetEString, Direction::Out, kSectorTransfer); }

Command EraseBlock(std::uint32_t block, int flag01, int flag02) {
    Command c = Make(kOpEraseBlock, Direction::Out, 0);
    c.cdb.bytes[1] = Bit(flag01, kFlag01) | Bit(flag02, kFlag02);
    PutAddress(c, block);
    return c;
}

Command VscWriteSector(std::uint32_t sector, int flag80, int spareFlag) {
    Command c = Make(kOpVscWriteSector, Direction::Out, spareFlag ? kSpareTransfer : kSectorTransfer);
    c.cdb.bytes[1] = Bit(flag80, kFlag80) | Bit(spareFlag, kSpareFlag);
    PutAddress(c, sector);
    return c;
}

Command VscReadSector(std::uint32_t sector, int flag80, int spareFlag) {
    Command c = Make(kOpVscReadSector, Direction::In, spareFlag ? kSpareTransfer : kSectorTransfer);
    c.cdb.bytes[1] = Bit(flag80, kFlag80) | Bit(spareFlag, kSpareFlag);
    PutAddress(c, sector);
    return c;
}

Command GetPhyBlock(std::uint32_t logicalBlock, int flag01, int flag80) {
    Command c = Query(kOpGetPhyBlock);
    c.cdb.bytes[1] = Bit(flag80, kFlag80) | Bit(flag01, kFlag01);
    PutAddress(c, logicalBlock);
    return c;
}

Command GetChipVersion() { return Query(kOpGetChipVersion); }
Command GetMediaSize() { return Query(kOpGetMediaSize); }
Command PwdExist() { return Query(kOpPwdExist); }
Command SenseCommand() { return Make(kOpSenseCommand, Direction::In, kQueryTransfer); }

Command ModeSense10() {
    Command c = Make(kOpModeSense10, Direction::In, kSectorTransfer);
    c.cdb.bytes[2] = 0x3F;  // all pages
    c.cdb.bytes[8] = 0xFF;  // allocation length 0x00FF
    c.replyMayBeShort = true;
    return c;
}

Command Inquiry() {
    Command c = Make(kOpInquiry, Direction::In, kQueryTransfer);
    c.cdb.bytes[4] = 0xC0;  // allocation length 192
    c.replyMayBeShort = true;
    return c;
}

Command ReadCapacity10() { return Make(kOpReadCapacity10, Direction::In, kQueryTransfer); }

Command Read10(std::uint32_t block, std::uint32_t length) {
    Command c = Make(kOpRead10, Direction::In, length);
    PutAddress(c, block);
    c.cdb.bytes[8] = static_cast<std::uint8_t>(length / 512);
    return c;
}

Command Write10(std::uint32_t block, std::uint32_t length) {
    Command c = Make(kOpWrite10, Direction::Out, length);
    PutAddress(c, block);
    c.cdb.bytes[8] = static_cast<std::uint8_t>(length / 512);
    return c;
}

}  // namespace devcmd
