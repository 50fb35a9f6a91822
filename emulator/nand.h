// The flash array of an emulated KT4790: sectors of 512 data bytes and a
// 16-byte spare area, grouped in blocks. Erased bytes read 0xFF.
//
// Storage is sparse: only sectors that were written since their block was
// last erased hold memory, so a medium of 255 zones costs nothing until it
// is written. Erasing a block drops the storage of its sectors.
//
// With a Store (an image file used in place) memory holds only what changed
// since the changes were last taken; every other sector is read from the
// store when it is asked for.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <set>

namespace emulator {

class Nand {
public:
    struct Sector {
        std::array<std::uint8_t, 512> data;
        std::array<std::uint8_t, 16> spare;
    };

    // Where the sectors live outside memory.
    class Store {
    public:
        virtual ~Store() = default;
        // False when the sector is erased (or cannot be read).
        virtual bool ReadSector(std::uint32_t sector, Sector& out) = 0;
    };

    // What changed since the store was set or the changes last taken.
    struct Changes {
        std::map<std::uint32_t, Sector> written;
        std::set<std::uint32_t> erased;  // no sector of `written`
        bool empty() const { return written.empty() && erased.empty(); }
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
    void EraseAll();  // without a store only

    // The sectors that hold memory, by sector number (with a store: the
    // sectors written since the changes were last taken).
    const std::map<std::uint32_t, Sector>& written() const { return written_; }

    // Sectors not in memory are read from `store` from now on (null: they
    // are erased). The store outlives its use here.
    void SetStore(Store* store) { store_ = store; }
    // Hands over what changed and forgets it: the store holds it from now on.
    Changes TakeChanges();

private:
    std::uint32_t blocks_;
    std::uint32_t sectorsPerBlock_;
    std::map<std::uint32_t, Sector> written_;
    std::set<std::uint32_t> erased_;  // with a store: erased since the changes were taken
    Store* store_ = nullptr;
};

}  // namespace emulator
