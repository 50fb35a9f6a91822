#include "emulator/nand.h"

#include <cstring>
#include <utility>

namespace emulator {

Nand::Nand(std::uint32_t blocks, std::uint32_t sectorsPerBlock)
    : blocks_(blocks), sectorsPerBlock_(sectorsPerBlock) {}

void Nand::Read(std::uint32_t sector, std::uint8_t* data512, std::uint8_t* spare16) const {
    Sector stored;
    const Sector* found = nullptr;
    const auto it = written_.find(sector);
    if (it != written_.end()) {
        found = &it->second;
    } else if (store_ != nullptr && sector < sectors() && erased_.count(sector) == 0 &&
               store_->ReadSector(sector, stored)) {
        found = &stored;
    }
    if (data512 != nullptr) {
        if (found == nullptr) std::memset(data512, 0xFF, 512);
        else std::memcpy(data512, found->data.data(), 512);
    }
    if (spare16 != nullptr) {
        if (found == nullptr) std::memset(spare16, 0xFF, 16);
        else std::memcpy(spare16, found->spare.data(), 16);
    }
}

void Nand::Write(std::uint32_t sector, const std::uint8_t* data512, const std::uint8_t* spare16) {
    if (sector >= sectors()) return;
    auto it = written_.find(sector);
    if (it == written_.end()) {
        Sector s;
        Read(sector, s.data.data(), s.spare.data());  // the part not written stays
        it = written_.emplace(sector, s).first;
        erased_.erase(sector);
    }
    Sector& s = it->second;
    if (data512 != nullptr) std::memcpy(s.data.data(), data512, 512);
    if (spare16 != nullptr) std::memcpy(s.spare.data(), spare16, 16);
}

void Nand::EraseBlock(std::uint32_t block) {
    if (block >= blocks_) return;
    const std::uint32_t first = block * sectorsPerBlock_;
    written_.erase(written_.lower_bound(first), written_.lower_bound(first + sectorsPerBlock_));
    if (store_ == nullptr) return;
    for (std::uint32_t sector = first; sector < first + sectorsPerBlock_; ++sector) erased_.insert(sector);
}

void Nand::EraseAll() {
    written_.clear();
    erased_.clear();
}

Nand::Changes Nand::TakeChanges() {
    Changes changes;
    changes.written.swap(written_);
    changes.erased.swap(erased_);
    return changes;
}

}  // namespace emulator
