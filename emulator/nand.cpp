#include "emulator/nand.h"

#include <cstring>

namespace emulator {

Nand::Nand(std::uint32_t blocks, std::uint32_t sectorsPerBlock)
    : blocks_(blocks), sectorsPerBlock_(sectorsPerBlock) {}

void Nand::Read(std::uint32_t sector, std::uint8_t* data512, std::uint8_t* spare16) const {
    const auto it = written_.find(sector);
    if (data512 != nullptr) {
        if (it == written_.end()) std::memset(data512, 0xFF, 512);
        else std::memcpy(data512, it->second.data.data(), 512);
    }
    if (spare16 != nullptr) {
        if (it == written_.end()) std::memset(spare16, 0xFF, 16);
        else std::memcpy(spare16, it->second.spare.data(), 16);
    }
}

void Nand::Write(std::uint32_t sector, const std::uint8_t* data512, const std::uint8_t* spare16) {
    if (sector >= sectors()) return;
    const auto [it, inserted] = written_.try_emplace(sector);
    Sector& s = it->second;
    if (inserted) {
        s.data.fill(0xFF);
        s.spare.fill(0xFF);
    }
    if (data512 != nullptr) std::memcpy(s.data.data(), data512, 512);
    if (spare16 != nullptr) std::memcpy(s.spare.data(), spare16, 16);
}

void Nand::EraseBlock(std::uint32_t block) {
    if (block >= blocks_) return;
    const std::uint32_t first = block * sectorsPerBlock_;
    written_.erase(written_.lower_bound(first), written_.lower_bound(first + sectorsPerBlock_));
}

void Nand::EraseAll() { written_.clear(); }

}  // namespace emulator
