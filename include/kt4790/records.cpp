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

ChainWalk WalkDescriptorChainTo(const std::uint8_t (&sector)[kSectorSize], unsigned index, DescriptorRef& out) {
    std::uint16_t offset = kDescriptorChainStart;
    for (unsigned i = 0;; ++i) {
        if (offset >= kDescriptorChainEnd) return ChainWalk::Malformed;
        const std::uint8_t length = sector[offset];
        if (length == 0) {
            out.offset = offset;
            out.length = 0;
            return ChainWalk::Ended;
        }
        if (length < 2) return ChainWalk::Malformed;
        if (offset + length > kDescriptorChainEnd) return ChainWalk::Malformed;
        if (i == index) {
            out.offset = offset;
            out.length = length;
            return ChainWalk::Found;
        }
        offset = static_cast<std::uint16_t>(offset + length);
    }
}

bool WalkDescriptorChain(const std::uint8_t (&sector)[kSectorSize], unsigned index, DescriptorRef& out) {
    DescriptorRef found;
    if (WalkDescriptorChainTo(sector, index, found) != ChainWalk::Found) return false;
    out = found;
    return true;
}

bool ReplaceDescriptor(std::uint8_t (&sector)[kSectorSize], unsigned index, const std::uint8_t* body,
                       std::size_t bodyLength) {
    constexpr std::size_t kMaxBody = 255 - 2;
    if (bodyLength > kMaxBody) return false;

    DescriptorRef replaced;
    const ChainWalk walk = WalkDescriptorChainTo(sector, index, replaced);
    if (walk == ChainWalk::Malformed) return false;
    // Appended to a chain of fewer than `index` descriptors, the new one
    // would take a lower index: a hint would become the device name.
    DescriptorRef previous;
    if (walk == ChainWalk::Ended && index > 0 &&
        WalkDescriptorChainTo(sector, index - 1, previous) != ChainWalk::Found) {
        return false;
    }
    DescriptorRef end = replaced;
    if (walk == ChainWalk::Found && WalkDescriptorChainTo(sector, kChainEndIndex, end) != ChainWalk::Ended) {
        return false;
    }

    // The descriptors after the replaced one, up to the chain's zero byte.
    const std::size_t start = replaced.offset;
    const std::size_t following = start + replaced.length;
    const std::size_t savedLength = end.offset - following;
    const std::size_t newLength = bodyLength + 2;
    // The chain's terminating zero byte must still lie before byte 493.
    if (start + newLength + savedLength >= kDescriptorChainEnd) return false;

    std::uint8_t saved[kSectorSize];
    std::memcpy(saved, sector + following, savedLength);

    std::size_t p = start;
    sector[p] = static_cast<std::uint8_t>(newLength);
    sector[p + 1] = kStringDescriptorType;
    if (bodyLength != 0) std::memcpy(sector + p + 2, body, bodyLength);
    p += newLength;
    std::memcpy(sector + p, saved, savedLength);
    p += savedLength;
    std::memset(sector + p, 0, kDescriptorChainEnd - p);
    return true;
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

void SwapBytes(void* data, int n) {
    auto* bytes = static_cast<std::uint8_t*>(data);
    for (int i = 0, j = n - 1; i < j; ++i, --j) {
        const std::uint8_t t = bytes[i];
        bytes[i] = bytes[j];
        bytes[j] = t;
    }
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
