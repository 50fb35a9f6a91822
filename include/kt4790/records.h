// Device-side records of the KT4790 controller, shared by the device
// libraries, the applications, the formatter and the monitors.
//
// Everything here reads bytes that came from a device, so every accessor
// is bounded by the record it is given: a malformed record is refused,
// never followed outside its buffer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kt4790 {

constexpr std::size_t kSectorSize = 512;
constexpr std::size_t kSpareSize = 16;

// ChipCode: byte 0 of the GetChipVersion reply.
constexpr std::uint8_t kChipCode13 = 0x13;
constexpr std::uint8_t kChipCode30 = 0x30;

// ---------------------------------------------------------------------------
// PasswordBlock: 512 bytes sent with CheckPwd / ChangePwd.
// ---------------------------------------------------------------------------
constexpr std::size_t kPasswordBlockSize = 512;
constexpr std::size_t kPwdCurrentLength = 0;
constexpr std::size_t kPwdCurrentText = 1;
constexpr std::size_t kPwdNewLength = 256;
constexpr std::size_t kPwdNewText = 257;
constexpr std::size_t kPwdTextCapacity = 255;  // including the trailing zero byte

struct PasswordBlock {
    std::uint8_t bytes[kPasswordBlockSize] = {};

    // Stores the current password (byte 0 the length, then the text).
    // Text beyond 254 bytes is cut so the terminating zero byte stays inside the half.
    void SetCurrent(const char* text, std::size_t length);
    // Stores the new password (byte 256 the length, then the text); length 0 clears.
    void SetNew(const char* text, std::size_t length);
};

// ---------------------------------------------------------------------------
// DescriptorSector: the 512-byte configuration sector.
// ---------------------------------------------------------------------------
constexpr std::size_t kDescriptorChainStart = 32;
constexpr std::size_t kDescriptorChainEnd = 493;  // first byte after the chain (BootFlag)
constexpr std::size_t kBootFlagOffset = 493;
constexpr std::size_t kPartitionWordOffset = 494;
constexpr std::size_t kChipBlockTableOffset = 496;
constexpr unsigned kChipBlockTableSlots = 8;
constexpr unsigned kNameDescriptorIndex = 7;  // the eighth descriptor, counted from 0
constexpr unsigned kHintDescriptorIndex = 8;  // the ninth
constexpr std::uint8_t kStringDescriptorType = 3;
constexpr std::size_t kMaxNameBytes = 32;           // 16 UTF-16 units
constexpr std::uint8_t kMaxDescriptorLength = 34;   // 2 header bytes + 32 name bytes

// Where one descriptor of the chain lies: offset of its length byte, and L.
struct DescriptorRef {
    std::uint16_t offset = 0;
    std::uint8_t length = 0;
};

// The one walker of the descriptor chain.
//
// Starts at offset 32 and steps over `index` descriptors by their length
// bytes (16-bit unsigned arithmetic, as the controller lays them out).
// Refuses (returns false) a chain that is malformed on the way:
//   - a descriptor walked over whose length byte is below 2 (0 ends the chain,
//     1 cannot hold its own header);
//   - a descriptor whose start, or whose L bytes, would leave bytes 32-492;
//   - a target descriptor whose length byte is below 2.
// On success `out` gives the target's offset and length, and the whole target
// descriptor lies inside bytes 32-492 of the sector.
bool WalkDescriptorChain(const std::uint8_t (&sector)[kSectorSize], unsigned index, DescriptorRef& out);

// How a walk towards one descriptor ended.
enum class ChainWalk {
    Found,      // the target descriptor: `out` gives its offset and length
    Ended,      // a zero length byte ended the chain first: `out.offset` is
                // that byte, `out.length` is 0
    Malformed,  // a length byte of 1, or a descriptor leaving bytes 32-492,
                // or no zero length byte before byte 493: `out` untouched
};

// The same walk as WalkDescriptorChain, telling apart a chain that ends
// before the target (the writers append there) from one that is malformed.
// A target whose length byte is 1 is malformed. With kChainEndIndex the walk
// goes to the zero length byte that ends the chain.
ChainWalk WalkDescriptorChainTo(const std::uint8_t (&sector)[kSectorSize], unsigned index, DescriptorRef& out);
constexpr unsigned kChainEndIndex = ~0u;

// Rebuilds the chain with descriptor `index` (kNameDescriptorIndex or
// kHintDescriptorIndex) replaced by the text descriptor
// [bodyLength + 2, 3, body]: the descriptors before it stay as they are, the
// ones after it follow the new one in their order, and zero bytes fill the
// chain area up to byte 492. When the chain ends right before `index` (it
// has `index` descriptors), the new descriptor is appended where it ends.
// Bytes 0-31 and 493-511 never change.
//
// A sector that could not be written back sound is refused (false) and left
// untouched, rather than cut short (which would lose later descriptors or
// part of the text):
//   - its chain is malformed (WalkDescriptorChainTo) up to its end;
//   - its chain has fewer than `index` descriptors, so that the new one
//     would be appended at a lower index (a hint would become the name);
//   - the body does not fit a length byte (bodyLength above 253);
//   - the rebuilt chain and its terminating zero byte would not end before
//     byte 493.
bool ReplaceDescriptor(std::uint8_t (&sector)[kSectorSize], unsigned index, const std::uint8_t* body,
                       std::size_t bodyLength);

// The NameDescriptor: its body (UTF-16LE, L - 2 bytes). Refuses everything
// WalkDescriptorChain refuses, and a name longer than 32 bytes (L above 34),
// which no DeviceNameEntry can hold. `bodyOffset` is the offset of the first
// name byte, `bodyLength` is L - 2.
bool FindNameDescriptor(const std::uint8_t (&sector)[kSectorSize], std::uint16_t& bodyOffset,
                        std::uint8_t& bodyLength);

std::uint16_t ReadBigEndian16(const std::uint8_t* p);
void WriteBigEndian16(std::uint8_t* p, std::uint16_t value);
std::uint32_t ReadBigEndian32(const std::uint8_t* p);  // assembled from unsigned bytes
void WriteBigEndian32(std::uint8_t* p, std::uint32_t value);

// Reverses the n bytes at data in place: turns a big-endian word of the
// sector (PartitionWord, ChipBlockTable slots) copied into a variable into
// the value of the little-endian hosts, and back.
void SwapBytes(void* data, int n);

inline std::uint16_t PartitionWord(const std::uint8_t (&sector)[kSectorSize]) {
    return ReadBigEndian16(sector + kPartitionWordOffset);
}

// ---------------------------------------------------------------------------
// SpareArea: the 16 redundant bytes of a flash sector.
// ---------------------------------------------------------------------------
constexpr std::size_t kSpareBlockPosition = 2;  // big-endian 16-bit
constexpr std::size_t kSpareStatus = 5;
constexpr std::size_t kSpareCopy1 = 6;
constexpr std::size_t kSpareCopy2 = 11;

// Accepts a spare area whose status byte has at most one zero bit and whose
// two copies of the 16-bit field (bytes 6-7 and 11-12) agree.
bool IsValidSpare(const std::uint8_t (&spare)[kSpareSize]);

// ---------------------------------------------------------------------------
// Query replies.
// ---------------------------------------------------------------------------
constexpr std::uint32_t kNoPhysicalBlock = 0xFFFFFFFFu;

struct MediaSizeReply {
    bool largeBlock = false;     // byte 0 equal to 1
    std::uint8_t zoneCount = 0;  // byte 1
    std::uint8_t chipCount = 0;  // low four bits of byte 2
};
MediaSizeReply ParseMediaSizeReply(const std::uint8_t* reply);  // reads bytes 0-2

constexpr std::uint32_t kSmallBlockSectors = 32;
constexpr std::uint32_t kLargeBlockSectors = 256;
inline std::uint32_t SectorsPerBlock(bool largeBlock) {
    return largeBlock ? kLargeBlockSectors : kSmallBlockSectors;
}
constexpr std::uint32_t kSmallLogicalPerZone = 1000;
constexpr std::uint32_t kSmallPhysicalPerZone = 1024;
constexpr std::uint32_t kLargeLogicalPerZone = 125;
constexpr std::uint32_t kLargePhysicalPerZone = 128;

// INQUIRY data as discovery reads it.
constexpr std::size_t kInquiryLength = 192;
constexpr std::size_t kInquiryRevisionOffset = 32;
constexpr std::size_t kInquiryRevisionLength = 4;
inline bool InquiryAccepts(const std::uint8_t* inquiry) { return (inquiry[3] & 0x80) == 0; }

// ---------------------------------------------------------------------------
// DeviceNameTable: caller-owned array of 33-byte entries.
// ---------------------------------------------------------------------------
constexpr std::size_t kDeviceNameEntrySize = 33;
constexpr unsigned kDeviceNameTableCapacity = 6;

struct DeviceNameEntry {
    std::uint8_t length;                 // n, bytes of UTF-16LE name
    std::uint8_t name[kMaxNameBytes];    // first n bytes are the name
};
static_assert(sizeof(DeviceNameEntry) == kDeviceNameEntrySize, "DeviceNameEntry is 33 bytes");

}  // namespace kt4790
