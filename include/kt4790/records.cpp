#include "kt4790/records.h"

#include <cstring>

namespace kt4790 {

namespace {

void StorePassword(std::uint8_t* half, const char* text, std::size_t length) {
    if (length > kPwdTextCapacity - 1) length = kPwdTextCapacity - 1;
    half[0] = static_cast<std::uint8_t>(length);
    std::memset(half + 1, 0, kPwdTextCapacity);
    if (length != 0) std::memcpy(half + 1, text, length);
}

}  // namespace

void PasswordBlock::SetCurrent(const char* text, std::size_t length) {
    StorePassword(bytes + kPwdCurrentLength, text, length);
}

void PasswordBlock::SetNew(const char* text, std::size_t length) {
    StorePassword(bytes + kPwdNewLength, text, length);
}

bool WalkDescriptorChain(const std::uint8_t (&sector)[kSectorSize], unsigned index, DescriptorRef& out) {
    std::uint16_t offset = kDescriptorChainStart;
    for (unsigned i = 0;; ++i) {
        if (offset >= kDescriptorChainEnd) return false;
        const std::uint8_t length = sector[offset];
        if (length < 2) return false;
        if (offset + length > kDescriptorChainEnd) return false;
        if (i == index) {
            out.offset = offset;
            out.length = length;
            return true;
        }
        offset = static_cast<std::uint16_t>(offset + length);
    }
}

bool FindNameDescriptor(const std::uint8_t (&sector)[kSectorSize], std::uint16_t& bodyOffset,
                        std::uint8_t& bodyLength) {
    DescriptorRef ref;
    if (!WalkDescriptorChain(sector, kNameDescriptorIndex, ref)) return false;
    if (ref.length > kMaxDescriptorLength) return false;
    bodyOffset = static_cast<std::uint16_t>(ref.offset + 2);
    bodyLength = static_cast<std::uint8_t>(ref.length - 2);
    return true;
}

std::uint16_t ReadBigEndian16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((static_cast<unsigned>(p[0]) << 8) | p[1]);
}

void WriteBigEndian16(std::uint8_t* p, std::uint16_t value) {
    p[0] = static_cast<std::uint8_t>(value >> 8);
    p[1] = static_cast<std::uint8_t>(value);
}

std::uint32_t ReadBigEndian32(const std::uint8_t* p) {
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}

void WriteBigEndian32(std::uint8_t* p, std::uint32_t value) {
    p[0] = static_cast<std::uint8_t>(value >> 24);
    p[1] = static_cast<std::uint8_t>(value >> 16);
    p[2] = static_cast<std::uint8_t>(value >> 8);
    p[3] = static_cast<std::uint8_t>(value);
}

bool IsValidSpare(const std::uint8_t (&spare)[kSpareSize]) {
    switch (spare[kSpareStatus]) {
        case 0xFF: case 0x7F: case 0xBF: case 0xDF: case 0xEF:
        case 0xF7: case 0xFB: case 0xFD: case 0xFE:
            break;
        default:
            return false;
    }
    return spare[kSpareCopy1] == spare[kSpareCopy2] && spare[kSpareCopy1 + 1] == spare[kSpareCopy2 + 1];
}

MediaSizeReply ParseMediaSizeReply(const std::uint8_t* reply) {
    MediaSizeReply r;
    r.largeBlock = reply[0] == 1;
    r.zoneCount = reply[1];
    r.chipCount = static_cast<std::uint8_t>(reply[2] & 0x0F);
    return r;
}

}  // namespace kt4790
