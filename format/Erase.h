// The medium erase: what the single-disk format and the partition dialog do
// to the device before the formatter writes, and the block steps the
// two-area format shares with them.
//
// Every step is one vendor command per block through the library the Start
// handler bound; the loops let the window messages run before each block
// (inside a devbind::LongOperation, so no other device operation can start
// meanwhile) and move the dialog's progress bar.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

#include "app/devbind.h"
#include "devlib/devcmd.h"
#include "kt4790/geometry.h"
#include "kt4790/records.h"
#include "vcl/vcl.h"

// The library procedures of an erase, bound by the Start handler in its own
// order.
struct EraseProcs {
    decltype(&WriteProtect) writeProtect = nullptr;
    decltype(&GetChipVersion) getChipVersion = nullptr;
    decltype(&GetMediaSize) getMediaSize = nullptr;
    decltype(&VSCReadSector) vscReadSector = nullptr;
    decltype(&VSCWriteSector) vscWriteSector = nullptr;
    decltype(&SetEString) setEString = nullptr;
    decltype(&GetPhyBlock) getPhyBlock = nullptr;
    decltype(&EraseBlock) eraseBlock = nullptr;
};

// A dialog's change to the DescriptorSector: bytes 493-511 only, applied to
// the image read from the device before it goes back.
struct DescriptorPatch {
    BYTE BootFlag = 0;
    bool RecordsPartition = false;  // the partition dialog also stores the split
    std::uint16_t PartitionWord = 0;
    std::uint16_t ChipBlockTable[kt4790::kChipBlockTableSlots] = {};

    void ApplyTo(BYTE (&sector)[kt4790::kSectorSize]) const;
};

// Where an erase stopped.
enum class EraseFailure {
    None,
    SystemBlockRead,   // chip 0x13: a sector of block 0 while it is saved
    SystemBlockErase,  // chip 0x13: block 0, erased on its own
    SystemBlockWrite,  // chip 0x13: a sector of block 0 while it is restored
    DescriptorSearch,  // chip 0x30: a spare area or the sector itself
    DescriptorWrite,   // chip 0x30: SetEString
    PhyBlock,          // chip 0x30: GetPhyBlock
    SpareRead,         // chip 0x13: the spare area of a replacement block
    NoSplit,           // the DescriptorSector records no split the medium can hold
};

// The dialogs whose messages differ.
enum class EraseCaller { SingleFormat, Partition, TwoArea };

// The erase's failure message of that dialog and build, caption "WARNING";
// the two-area dialog has one only for the system block.
void ShowEraseFailure(EraseCaller caller, EraseFailure failure);

// One device of one Start: the session's address, the bound procedures,
// and the buffers the handler owns for the run: the sector buffer and the
// copy of block 0.
class DeviceEraser {
public:
    DeviceEraser(const devbind::DeviceSession& device, const EraseProcs& procs);

    // The opening checks of both format dialogs: WriteProtect (only 1 stops),
    // GetChipVersion, GetMediaSize. False after their message: "This USB
    // Flash Disk is write protected!" or "Can't find the device, please check
    // the device!", caption "WARNING".
    bool OpeningChecks(BYTE& chipCode, kt4790::MediaGeometry& geometry);
    // Its two halves. WriteProtect: false after "This USB Flash Disk is write
    // protected!". GetChipVersion and GetMediaSize: false after "Can't find
    // the device, please check the device!" when `showNotFound`.
    bool NotWriteProtected();
    bool ReadChipAndMedia(BYTE& chipCode, kt4790::MediaGeometry& geometry, bool showNotFound);

    // Chip 0x13, block 0 in three steps. Save: its sectors read and kept, the
    // DescriptorSector (sector 1) patched. Erase: block 0 alone (a failed
    // EraseBlock is sent once more). Restore: every kept sector written back
    // in order, sector 0 first and on to the block's end whatever fails, so
    // that a failure early in the block does not also lose the
    // DescriptorSector; then each sector that failed sent once more, the
    // window messages running before each as in the erase loops.
    EraseFailure SaveSystemBlock(const kt4790::MediaGeometry& geometry, const DescriptorPatch& patch);
    EraseFailure EraseSystemBlock();
    EraseFailure RestoreSystemBlock();

    // The DescriptorSector read into Sector: sector 1 on chip 0x13, on chip
    // 0x30 searched with no bound but the medium's end. False when it is not
    // found or a read fails.
    bool FindDescriptor(const kt4790::MediaGeometry& geometry, BYTE chipCode);

    // Chip 0x30: the DescriptorSector found, patched and stored with
    // SetEString. With `needsSplit`, a sector whose
    // PartitionWord names no standard area smaller than the medium is not
    // stored (NoSplit).
    EraseFailure StoreDescriptor(const kt4790::MediaGeometry& geometry, const DescriptorPatch& patch,
                                 bool needsSplit = false);

    // Chip 0x13: block 0 saved sector by sector (the DescriptorSector, sector
    // 1, patched), erased and written back at once, then every other
    // physical block erased. The erase results are not examined: a block the
    // controller could not erase is its to retire.
    EraseFailure EraseMediumDirect(const kt4790::MediaGeometry& geometry, const DescriptorPatch& patch,
                                   vcl::TProgressBar* bar);

    // Chip 0x30: the DescriptorSector found, patched and stored, then the
    // physical block behind every number 0 .. n - 1 erased.
    EraseFailure EraseMediumMapped(const kt4790::MediaGeometry& geometry, const DescriptorPatch& patch, std::uint32_t n,
                                   vcl::TProgressBar* bar, bool needsSplit = false);

    // Erases the physical block behind logical block k (GetPhyBlock; none:
    // nothing to erase), sending a failed EraseBlock once more. False only
    // when GetPhyBlock fails.
    bool EraseMappedBlock(std::uint32_t k);

    // EraseBlock, sent once more when it fails; a second failure is the
    // controller's to handle, and the erase goes on.
    void EraseWithRetry(std::uint32_t block, int flag01, int flag02);

    // Chip 0x13: the block position a replacement block carries in the
    // spare area of its first sector, relative to its chip. False when the
    // read fails.
    bool ReadSparePosition(std::uint32_t block, std::uint32_t sectorsPerBlock, std::uint32_t& position);

    // The DescriptorSector as the last erase stored it (patched).
    const BYTE (&Descriptor() const)[kt4790::kSectorSize] { return descriptor_; }

    // Single commands, in the argument forms of the build.
    bool ReadSector(std::uint32_t sector, int flag80, int spareFlag);  // into Sector
    bool WriteSector(std::uint32_t sector, const BYTE* data);           // Flag80 set, no SpareFlag
    bool Erase(std::uint32_t block, int flag01, int flag02);
    bool WriteDescriptor();  // SetEString of Sector; the low byte of the result counts

    // The sector buffer: replies, spare areas and sectors, one after another.
    BYTE Sector[kt4790::kSectorSize] = {};

private:
    // Sector `sector` of block 0 written back from the kept copy.
    bool WriteKeptSector(std::uint32_t sector);

    const devbind::DeviceSession& device_;
    EraseProcs procs_;
    std::vector<BYTE> systemBlock_;  // block 0 while it is erased
    BYTE descriptor_[kt4790::kSectorSize] = {};
};

// A dialog's "Start" and "Close" (or "Cancel") while a run goes on: off
// from construction, on again when the run ends, however it ends.
class ButtonsOffWhileRunning {
public:
    ButtonsOffWhileRunning(vcl::TButton* start, vcl::TButton* close);
    ~ButtonsOffWhileRunning();
    ButtonsOffWhileRunning(const ButtonsOffWhileRunning&) = delete;
    ButtonsOffWhileRunning& operator=(const ButtonsOffWhileRunning&) = delete;

private:
    vcl::TButton* start_;
    vcl::TButton* close_;
};

// Runs the window messages pending now, as the erase loops do before each
// block.
void ProcessPendingMessages();

// Progress of step `index` of `count`, in percent: index x 100 / count,
// at most 100.
int ProgressOf(std::uint32_t index, std::uint32_t count);

// Whether a DescriptorSector's PartitionWord splits the medium: a standard
// area of at least one logical block and smaller than the medium.
bool RecordsSplit(const BYTE (&descriptor)[kt4790::kSectorSize], const kt4790::MediaGeometry& geometry);
