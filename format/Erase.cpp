#include "format/Erase.h"

#include <cstring>

#include "app/Descriptor.h"

namespace {

constexpr const char* kWriteProtected = "This USB Flash Disk is write protected!";
constexpr const char* kNotFound = "Can't find the device, please check the device!";
#ifndef KT4790_ASPI
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
        case EraseFailure::DescriptorSearch:
        case EraseFailure::DescriptorWrite:
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
    return count == 0 ? 0 : static_cast<int>(std::uint64_t{index} * 100 / count);
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
#ifdef KT4790_ASPI
    const int protection = procs_.writeProtect(device_.HostAdapterId, device_.TargetId);
#else
    const int protection = procs_.writeProtect(device_.DeviceHandle);
#endif
    if (protection == 1) {
        devbind::ShowWarning(kWriteProtected);
        return false;
    }
    std::memset(Sector, 0, sizeof Sector);
#ifdef KT4790_ASPI
    const bool chipRead = procs_.getChipVersion(device_.HostAdapterId, device_.TargetId, Sector) != 0;
#else
    const bool chipRead = procs_.getChipVersion(device_.DeviceHandle, Sector, kChipVersionLength) != 0;
#endif
    if (!chipRead) {
        devbind::ShowWarning(kNotFound);
        return false;
    }
    chipCode = Sector[0];
#ifdef KT4790_ASPI
    const bool mediaRead = procs_.getMediaSize(device_.HostAdapterId, device_.TargetId, Sector) != 0;
#else
    const bool mediaRead = procs_.getMediaSize(device_.DeviceHandle, Sector, kMediaSizeLength) != 0;
#endif
    if (!mediaRead) {
        devbind::ShowWarning(kNotFound);
        return false;
    }
    geometry = kt4790::MakeMediaGeometry(kt4790::ParseMediaSizeReply(Sector));
    return true;
}

EraseFailure DeviceEraser::EraseMediumDirect(const kt4790::MediaGeometry& geometry, const DescriptorPatch& patch,
                                             vcl::TProgressBar* bar) {
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
    {
        const devbind::LongOperation running;
        for (std::uint32_t block = 0; block < geometry.PhysicalBlocks; ++block) {
            ProcessPendingMessages();
            Erase(block, 0, 0);  // block 0 too: the saved copy restores it
            bar->SetPosition(ProgressOf(block, geometry.PhysicalBlocks));
        }
    }
    for (std::uint32_t i = 0; i < sectors; ++i) {
        std::memset(Sector, 0, sizeof Sector);
        std::memcpy(Sector, &systemBlock_[std::size_t{i} * kt4790::kSectorSize], sizeof Sector);
        if (!WriteSector(i, Sector)) return EraseFailure::SystemBlockWrite;
    }
    return EraseFailure::None;
}

EraseFailure DeviceEraser::EraseMediumMapped(const kt4790::MediaGeometry& geometry, const DescriptorPatch& patch,
                                             std::uint32_t n, vcl::TProgressBar* bar) {
    kt4790::MediaSizeReply media;
    media.largeBlock = geometry.LargeBlock;
    media.zoneCount = geometry.ZoneCount;
    media.chipCount = geometry.ChipCount;
    if (LocateDescriptorSector(device_, procs_.vscReadSector, Sector, kt4790::kChipCode30, media,
                               SearchLimit::WholeMedium) != DescriptorSearch::Found) {
        return EraseFailure::DescriptorSearch;
    }
    patch.ApplyTo(Sector);
    std::memcpy(descriptor_, Sector, sizeof descriptor_);
    if (!WriteDescriptor()) return EraseFailure::DescriptorWrite;
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
    // A block that fails to erase gets one more try; a second failure is
    // the controller's to handle, and the erase goes on.
    if (!Erase(block, 0, 1)) Erase(block, 0, 1);
    return true;
}
