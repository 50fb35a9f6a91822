// The flash array of an emulated KT4790: sectors of 512 data bytes and a
// 16-byte spare area, grouped in blocks. Erased bytes read 0xFF.
//
// Storage is sparse: only sectors that were written since their block was
// last erased hold memory, so a medium of 255 zones costs nothing until it
// is written. Erasing a block drops the storage of its sectors.
#pragma once

#include <array>
#include <cstdint>
#include <map>

namespace emulator {

class Nand {
public:
    struct Sector {
        std::array<std::uint8_t, 512> data;
        std::array<std::uint8_t, 16> spare;
    };

    Nand(std::uint32_t blocks, std::uint32_t sectorsPerBlock);

    std::uint32_t blocks() const { return blocks_; }
    std::uint32_t sectorsPerBlock() const { return sectorsPerBlock_; }
    std::uint32_t sectors() const { return blocks_ * sectorsPerBlock_; }

    // A null pointer skips that part. Sectors beyond the array read as erased.
    void Read(std::uint32_t sector, std::uint8_t* data512, std::uint8_t* spare16) const;
    // Replaces the given parts of one sector and keeps the part whose pointer
    // is null. Sectors beyond the array are ignored.
    void Write(std::uint32_t sector, const std::uint8_t* data512, const std::uint8_t* spare16);
    void EraseBlock(std::uint32_t block);
    void EraseAll();

    // The sectors that hold memory, by sector number.
    const std::map<std::uint32_t, Sector>& written() const { return written_; }

private:
    std::uint32_t blocks_;
    std::uint32_t sectorsPerBlock_;
    std::map<std::uint32_t, Sector> written_;
};

}  // namespace emulator
