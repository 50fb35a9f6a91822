#include "format/Erase.h"

#include <algorithm>
#include <cstring>

#include "app/Descriptor.h"

namespace {

constexpr const char* kWriteProtected = "This USB Flash Disk is write protected!";
constexpr const char* kNotFound = "Can't find the device, please check the device!";
#ifdef KT4790_ASPI
constexpr const char* kCheckDevice = "Please check the device!";
#else
// Two texts of the pass-through build without a blank after the comma or
// the full stop.
constexpr const char* kNotFoundComma = "Can't find the device,please check the device!";
constexpr const char* kNotFoundStop = "Can't find the device.Please check the device!";

// Reply bytes the pass-through library copies for the erase.
constexpr DWORD kChipVersionLength = 4;
constexpr BYTE kMediaSizeLength = 8;
constexpr BYTE kPhyBlockLength = 4;
#endif

}  // namespace

void DescriptorPatch::ApplyTo(BYTE (&sector)[kt4790::kSectorSize]) const {
    sector[kt4790::kBootFlagOffset] = BootFlag;
    if (!RecordsPartition) return;
    kt4790::WriteBigEndian16(sector + kt4790::kPartitionWordOffset, PartitionWord);
    for (unsigned slot = 0; slot < kt4790::kChipBlockTableSlots; ++slot) {
        kt4790::WriteBigEndian16(sector + kt4790::kChipBlockTableOffset + 2 * slot, ChipBlockTable[slot]);
    }
}

void ShowEraseFailure(EraseCaller caller, EraseFailure failure) {
    if (caller == EraseCaller::TwoArea) {
        const bool systemBlock = failure == EraseFailure::SystemBlockRead || failure == EraseFailure::SystemBlockErase ||
                                 failure == EraseFailure::SystemBlockWrite;
#ifdef KT4790_ASPI
        if (systemBlock) devbind::ShowWarning(kCheckDevice);
#else
        if (systemBlock) devbind::ShowWarning(kNotFound);
#endif
        return;
    }
    const char* text = kNotFound;
#ifndef KT4790_ASPI
    switch (failure) {
        case EraseFailure::SystemBlockRead:
            text = caller == EraseCaller::SingleFormat ? kNotFoundComma : kNotFoundStop;
            break;
        case EraseFailure::SystemBlockWrite:
            text = caller == EraseCaller::SingleFormat ? kNotFound : kNotFoundStop;
            break;
        case EraseFailure::PhyBlock:
            text = kNotFoundStop;
            break;
        case EraseFailure::None:
        case EraseFailure::SystemBlockErase:
        case EraseFailure::DescriptorSearch:
        case EraseFailure::DescriptorWrite:
        case EraseFailure::SpareRead:
        case EraseFailure::NoSplit:
            break;
    }
#else
    (void)caller;
    (void)failure;
#endif
    devbind::ShowWarning(text);
}

ButtonsOffWhileRunning::ButtonsOffWhileRunning(vcl::TButton* start, vcl::TButton* close)
    : start_(start), close_(close) {
    start_->SetEnabled(false);
    close_->SetEnabled(false);
}

ButtonsOffWhileRunning::~ButtonsOffWhileRunning() {
    start_->SetEnabled(true);
    close_->SetEnabled(true);
}

void ProcessPendingMessages() { vcl::Application->ProcessMessages(); }

int ProgressOf(std::uint32_t index, std::uint32_t count) {
    if (count == 0) return 0;
    return static_cast<int>(std::min<std::uint64_t>(std::uint64_t{index} * 100 / count, 100));
}

bool RecordsSplit(const BYTE (&descriptor)[kt4790::kSectorSize], const kt4790::MediaGeometry& geometry) {
    const std::uint32_t standard = kt4790::PartitionWord(descriptor);
    return standard != 0 && standard < geometry.LogicalBlocks;
}

DeviceEraser::DeviceEraser(const devbind::DeviceSession& device, const EraseProcs& procs)
    : device_(device), procs_(procs) {}

#ifdef KT4790_ASPI
bool DeviceEraser::ReadSector(std::uint32_t sector, int flag80, int spareFlag) {
    return procs_.vscReadSector(device_.HostAdapterId, device_.TargetId, Sector, sector, flag80, spareFlag) != 0;
}
bool DeviceEraser::WriteSector(std::uint32_t sector, const BYTE* data) {
    return procs_.vscWriteSector(device_.HostAdapterId, device_.TargetId, sector, const_cast<BYTE*>(data), 1, 0) != 0;
}
bool DeviceEraser::Erase(std::uint32_t block, int flag01, int flag02) {
    return procs_.eraseBlock(device_.HostAdapterId, device_.TargetId, block, flag01, flag02) != 0;
}
bool DeviceEraser::WriteDescriptor() {
    return procs_.setEString(device_.HostAdapterId, device_.TargetId, Sector) != 0;
}
#else
bool DeviceEraser::ReadSector(std::uint32_t sector, int flag80, int spareFlag) {
    return procs_.vscReadSector(device_.DeviceHandle, Sector, sector, flag80, spareFlag) != 0;
}
bool DeviceEraser::WriteSector(std::uint32_t sector, const BYTE* data) {
    return procs_.vscWriteSector(device_.DeviceHandle, sector, const_cast<BYTE*>(data), 1, 0) != 0;
}
bool DeviceEraser::Erase(std::uint32_t block, int flag01, int flag02) {
    return procs_.eraseBlock(device_.DeviceHandle, block, flag01, flag02) != 0;
}
bool DeviceEraser::WriteDescriptor() {
    // Only the low byte of the result counts.
    return static_cast<BYTE>(procs_.setEString(device_.DeviceHandle, Sector)) != 0;
}
#endif

bool DeviceEraser::OpeningChecks(BYTE& chipCode, kt4790::MediaGeometry& geometry) {
    return NotWriteProtected() && ReadChipAndMedia(chipCode, geometry, true);
}

bool DeviceEraser::NotWriteProtected() {
#ifdef KT4790_ASPI
    const int protection = procs_.writeProtect(device_.HostAdapterId, device_.TargetId);
#else
    const int protection = procs_.writeProtect(device_.DeviceHandle);
#endif
    if (protection == 1) {
        devbind::ShowWarning(kWriteProtected);
        return false;
    }
    return true;
}

bool DeviceEraser::ReadChipAndMedia(BYTE& chipCode, kt4790::MediaGeometry& geometry, bool showNotFound) {
    std::memset(Sector, 0, sizeof Sector);
#ifdef KT4790_ASPI
    const bool chipRead = procs_.getChipVersion(device_.HostAdapterId, device_.TargetId, Sector) != 0;
#else
    const bool chipRead = procs_.getChipVersion(device_.DeviceHandle, Sector, kChipVersionLength) != 0;
#endif
    if (chipRead) chipCode = Sector[0];
#ifdef KT4790_ASPI
    const bool mediaRead = chipRead && procs_.getMediaSize(device_.HostAdapterId, device_.TargetId, Sector) != 0;
#else
    const bool mediaRead = chipRead && procs_.getMediaSize(device_.DeviceHandle, Sector, kMediaSizeLength) != 0;
#endif
    if (!mediaRead) {
        if (showNotFound) devbind::ShowWarning(kNotFound);
        return false;
    }
    geometry = kt4790::MakeMediaGeometry(kt4790::ParseMediaSizeReply(Sector));
    return true;
}

EraseFailure DeviceEraser::SaveSystemBlock(const kt4790::MediaGeometry& geometry, const DescriptorPatch& patch) {
    const std::uint32_t sectors = geometry.SectorsPerBlock;
    systemBlock_.assign(std::size_t{sectors} * kt4790::kSectorSize, 0);
    for (std::uint32_t i = 0; i < sectors; ++i) {
        std::memset(Sector, 0, sizeof Sector);
        if (!ReadSector(i, 1, 0)) return EraseFailure::SystemBlockRead;
        if (i == 1) {
            patch.ApplyTo(Sector);
            std::memcpy(descriptor_, Sector, sizeof descriptor_);
        }
        std::memcpy(&systemBlock_[std::size_t{i} * kt4790::kSectorSize], Sector, sizeof Sector);
    }
    return EraseFailure::None;
}

EraseFailure DeviceEraser::EraseSystemBlock() {
    if (Erase(0, 0, 0) || Erase(0, 0, 0)) return EraseFailure::None;
    return EraseFailure::SystemBlockErase;
}

EraseFailure DeviceEraser::RestoreSystemBlock() {
    // Every sector is written, on past one that fails, so that a failure
    // early in the block does not also lose the DescriptorSector.
    std::vector<std::uint32_t> failed;
    const auto sectors = static_cast<std::uint32_t>(systemBlock_.size() / kt4790::kSectorSize);
    for (std::uint32_t i = 0; i < sectors; ++i) {
        if (!WriteKeptSector(i)) failed.push_back(i);
    }
    if (failed.empty()) return EraseFailure::None;
    // Then each sector that failed is sent once more, by when a device that
    // faltered for a moment may answer again.
    const devbind::LongOperation retrying;
    bool written = true;
    for (const std::uint32_t i : failed) {
        ProcessPendingMessages();
        if (!WriteKeptSector(i)) written = false;
    }
    return written ? EraseFailure::None : EraseFailure::SystemBlockWrite;
}

bool DeviceEraser::WriteKeptSector(std::uint32_t sector) {
    std::memcpy(Sector, &systemBlock_[std::size_t{sector} * kt4790::kSectorSize], sizeof Sector);
    return WriteSector(sector, Sector);
}

EraseFailure DeviceEraser::EraseMediumDirect(const kt4790::MediaGeometry& geometry, const DescriptorPatch& patch,
                                             vcl::TProgressBar* bar) {
    const EraseFailure saved = SaveSystemBlock(geometry, patch);
    if (saved != EraseFailure::None) return saved;
    const devbind::LongOperation running;
    // Block 0 goes back right after its own erase, so that the
    // DescriptorSector is missing only for those few commands, not for the
    // whole medium's erase.
    if (geometry.PhysicalBlocks != 0) {
        ProcessPendingMessages();
        Erase(0, 0, 0);
        bar->SetPosition(ProgressOf(0, geometry.PhysicalBlocks));
    }
    const EraseFailure restored = RestoreSystemBlock();
    if (restored != EraseFailure::None) return restored;
    for (std::uint32_t block = 1; block < geometry.PhysicalBlocks; ++block) {
        ProcessPendingMessages();
        Erase(block, 0, 0);
        bar->SetPosition(ProgressOf(block, geometry.PhysicalBlocks));
    }
    return EraseFailure::None;
}

bool DeviceEraser::FindDescriptor(const kt4790::MediaGeometry& geometry, BYTE chipCode) {
    kt4790::MediaSizeReply media;
    media.largeBlock = geometry.LargeBlock;
    media.zoneCount = geometry.ZoneCount;
    media.chipCount = geometry.ChipCount;
    return LocateDescriptorSector(device_, procs_.vscReadSector, Sector, chipCode, media, SearchLimit::WholeMedium) ==
           DescriptorSearch::Found;
}

EraseFailure DeviceEraser::StoreDescriptor(const kt4790::MediaGeometry& geometry, const DescriptorPatch& patch,
                                           bool needsSplit) {
    if (!FindDescriptor(geometry, kt4790::kChipCode30)) return EraseFailure::DescriptorSearch;
    if (needsSplit && !RecordsSplit(Sector, geometry)) return EraseFailure::NoSplit;
    patch.ApplyTo(Sector);
    std::memcpy(descriptor_, Sector, sizeof descriptor_);
    return WriteDescriptor() ? EraseFailure::None : EraseFailure::DescriptorWrite;
}

EraseFailure DeviceEraser::EraseMediumMapped(const kt4790::MediaGeometry& geometry, const DescriptorPatch& patch,
                                             std::uint32_t n, vcl::TProgressBar* bar, bool needsSplit) {
    const EraseFailure stored = StoreDescriptor(geometry, patch, needsSplit);
    if (stored != EraseFailure::None) return stored;
    const devbind::LongOperation running;
    for (std::uint32_t k = 0; k < n; ++k) {
        ProcessPendingMessages();
        if (!EraseMappedBlock(k)) return EraseFailure::PhyBlock;
        bar->SetPosition(ProgressOf(k, n));
    }
    return EraseFailure::None;
}

bool DeviceEraser::EraseMappedBlock(std::uint32_t k) {
#ifdef KT4790_ASPI
    const BYTE answered = procs_.getPhyBlock(device_.HostAdapterId, device_.TargetId, k, Sector, 0, 0);
#else
    const BYTE answered = static_cast<BYTE>(procs_.getPhyBlock(device_.DeviceHandle, k, Sector, kPhyBlockLength, 0, 0));
#endif
    if (answered == 0) return false;
    const std::uint32_t block = kt4790::ReadBigEndian32(Sector);
    if (block == kt4790::kNoPhysicalBlock) return true;
    EraseWithRetry(block, 0, 1);
    return true;
}

void DeviceEraser::EraseWithRetry(std::uint32_t block, int flag01, int flag02) {
    if (!Erase(block, flag01, flag02)) Erase(block, flag01, flag02);
}

bool DeviceEraser::ReadSparePosition(std::uint32_t block, std::uint32_t sectorsPerBlock, std::uint32_t& position) {
    std::memset(Sector, 0, sizeof Sector);
    if (!ReadSector(block * sectorsPerBlock, 1, 1)) return false;
    position = kt4790::ReadBigEndian16(Sector + kt4790::kSpareBlockPosition);
    return true;
}
