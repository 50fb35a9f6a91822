#include "format/Dformat.h"

#include <windows.h>

#include <cstdint>
#include <cstring>

#include "app/Fonts.h"
#include "app/PasswordGate.h"
#include "format/Newformat.h"
#include "format/Sformat.h"
#include "kt4790/geometry.h"
#include "kt4790/records.h"

TJDFormatForm* JDFormatForm = nullptr;

namespace {

constexpr const char* kFormatted = "Format was successful. You need to unplug and replug the device!";
constexpr const char* kLoadFailed = "Load library failed!";
constexpr const char* kUpdateProgram = "Please update the program!";
constexpr const char* kConfirm = "This will erase all data inside the disk. Do you want to continue?";
constexpr const char* kNoStorage = "Please select the storage you want to format.";

// The first byte of a boot sector: a jump instruction.
constexpr BYTE kShortJump = 0xEB;
constexpr BYTE kNearJump = 0xE9;

vcl::TFont EditFont() {
    vcl::TFont font;
    font.Height = -13;
    return font;
}

// How many of the blocks first .. last lie in from .. to.
std::uint32_t Overlap(const kt4790::BlockSpan& span, std::uint32_t from, std::uint32_t to) {
    const std::uint32_t first = std::max(span.first, from);
    const std::uint32_t last = std::min(span.last, to);
    return first > last ? 0 : last - first + 1;
}

// The chip-0x13 erase of one area, block by block: the window messages run
// before each block, every block visited (erased or only looked at) moves
// the progress bar.
class AreaBlockEraser {
public:
    AreaBlockEraser(DeviceEraser& eraser, const kt4790::MediaGeometry& geometry, vcl::TProgressBar* bar,
                    std::uint32_t divisor)
        : eraser_(eraser), geometry_(geometry), bar_(bar), divisor_(divisor) {}

    // Every block from `first` to `last`.
    void EraseBlocks(std::uint32_t first, std::uint32_t last) {
        for (std::uint32_t block = first; block <= last; ++block) {
            BeforeBlock();
            eraser_.EraseWithRetry(block, 0, 0);
            AfterBlock();
        }
    }

    // The part of a chip that belongs to the area: its data positions in
    // from .. to, and its replacement blocks whose position lies there, as
    // their spare areas tell. A replacement block standing for a position
    // of the other area is left as it is. False when a spare area cannot be
    // read.
    bool ErasePartOfChip(const kt4790::ChipBlocks& chip, std::uint32_t from, std::uint32_t to) {
        for (int span = 0; span < chip.spans; ++span) {
            const kt4790::BlockSpan& data = chip.data[span];
            if (Overlap(data, from, to) != 0) {
                EraseBlocks(std::max(data.first, from), std::min(data.last, to));
            }
            const kt4790::BlockSpan& spare = chip.replacement[span];
            for (std::uint32_t block = spare.first; block <= spare.last; ++block) {
                BeforeBlock();
                std::uint32_t position = 0;
                if (!eraser_.ReadSparePosition(block, geometry_.SectorsPerBlock, position)) return false;
                const std::uint32_t standsFor = chip.base + position;
                if (standsFor >= from && standsFor <= to) eraser_.EraseWithRetry(block, 0, 0);
                AfterBlock();
            }
        }
        return true;
    }

    // The blocks ErasePartOfChip visits.
    static std::uint32_t VisitsOfPart(const kt4790::ChipBlocks& chip, std::uint32_t from, std::uint32_t to) {
        std::uint32_t visits = 0;
        for (int span = 0; span < chip.spans; ++span) {
            visits += Overlap(chip.data[span], from, to);
            visits += chip.replacement[span].last - chip.replacement[span].first + 1;
        }
        return visits;
    }

private:
    void BeforeBlock() { ProcessPendingMessages(); }
    void AfterBlock() { bar_->SetPosition(ProgressOf(++visited_, divisor_)); }

    DeviceEraser& eraser_;
    const kt4790::MediaGeometry& geometry_;
    vcl::TProgressBar* bar_;
    std::uint32_t divisor_;
    std::uint32_t visited_ = 0;
    const devbind::LongOperation running_;
};

// Chip 0x13: the standard area is logical blocks 0 .. sd - 1, from block 1
// (block 0, the system block, has been rewritten and stays). Chips before
// the one its last block lies in are erased whole; in that chip only the
// data positions up to the last one and the replacement blocks standing for
// them, so no block of the security area is touched.
bool EraseStandardArea(DeviceEraser& eraser, const kt4790::MediaGeometry& geometry, BYTE chipCode, std::uint32_t sd,
                       vcl::TProgressBar* bar) {
    const std::uint32_t lastChip = (sd - 1) / geometry.LogicalBlocksPerChip;
    const std::uint32_t last = kt4790::DataPosition(geometry, chipCode, sd - 1);
    const kt4790::ChipBlocks split = kt4790::ChipBlocksOf(geometry, chipCode, lastChip);
    const std::uint32_t wholeChips = lastChip == 0 ? 0 : split.base - 1;
    AreaBlockEraser area(eraser, geometry, bar,
                         wholeChips + AreaBlockEraser::VisitsOfPart(split, split.base + 1, last));
    if (lastChip != 0) area.EraseBlocks(1, split.base - 1);
    return area.ErasePartOfChip(split, split.base + 1, last);
}

// Chip 0x13: the security area runs from block position `first` to the end
// of the medium. The chip it starts in keeps the data positions before it
// and the replacement blocks standing for them; later chips are erased whole.
bool EraseSecurityArea(DeviceEraser& eraser, const kt4790::MediaGeometry& geometry, BYTE chipCode, std::uint32_t sd,
                       std::uint32_t first, vcl::TProgressBar* bar) {
    const std::uint32_t pc = geometry.PhysicalBlocksPerChip;
    const std::uint32_t total = pc * geometry.ChipCount;
    const std::uint32_t divisor = kt4790::IsWindowed(geometry, chipCode) ? total - sd : total - first + 1;
    const std::uint32_t startChip = sd / geometry.LogicalBlocksPerChip;
    const kt4790::ChipBlocks split = kt4790::ChipBlocksOf(geometry, chipCode, startChip);
    AreaBlockEraser area(eraser, geometry, bar, divisor);
    if (!area.ErasePartOfChip(split, first, split.end)) return false;
    if (split.end + 1 < total) area.EraseBlocks(split.end + 1, total - 1);
    return true;
}

// Chip 0x30: the physical block behind each logical block from..to - 1.
bool EraseMappedArea(DeviceEraser& eraser, std::uint32_t from, std::uint32_t to, std::uint32_t divisor,
                     vcl::TProgressBar* bar) {
    for (std::uint32_t l = from; l < to; ++l) {
        if (!eraser.EraseMappedBlock(l)) return false;
        bar->SetPosition(ProgressOf(l - from + 1, divisor));
    }
    return true;
}

}  // namespace

int LoadFormatLibrary(devbind::DeviceSession& session, EraseProcs& procs) {
    if (!session.Load()) return 0;
#ifdef KT4790_ASPI
    const bool bound = session.BindFinder() && session.Bind(devbind::kGetChipVersion, procs.getChipVersion) &&
                       session.Bind(devbind::kSetEString, procs.setEString) &&
                       session.Bind(devbind::kGetMediaSize, procs.getMediaSize) &&
                       session.Bind(devbind::kVSCReadSector, procs.vscReadSector) &&
                       session.Bind(devbind::kVSCWriteSector, procs.vscWriteSector) &&
                       session.Bind(devbind::kEraseBlock, procs.eraseBlock) &&
                       session.Bind(devbind::kGetPhyBlock, procs.getPhyBlock) &&
                       session.Bind(devbind::kWriteProtect, procs.writeProtect);
#else
    const bool bound = session.BindFinder() && session.Bind(devbind::kGetChipVersion, procs.getChipVersion) &&
                       session.Bind(devbind::kGetMediaSize, procs.getMediaSize) &&
                       session.Bind(devbind::kVSCReadSector, procs.vscReadSector) &&
                       session.Bind(devbind::kGetPhyBlock, procs.getPhyBlock) &&
                       session.Bind(devbind::kVSCWriteSector, procs.vscWriteSector) &&
                       session.Bind(devbind::kEraseBlock, procs.eraseBlock) &&
                       session.Bind(devbind::kSetEString, procs.setEString) &&
                       session.Bind(devbind::kWriteProtect, procs.writeProtect);
#endif
    return bound ? 1 : 0;
}

TJDFormatForm::TJDFormatForm(vcl::TComponent* Owner) : vcl::TForm(Owner) {
    SetName("JDFormatForm");
    SetCaption("USB Flash Disk FORMAT  ");
    SetBorderStyle(vcl::bsDialog);
    SetClientWidth(298);
    SetClientHeight(345);
    const vcl::TFont comic = ComicSansBold();
    int order = 0;

    PBar = vcl::PlaceControl<vcl::TProgressBar>(this, this, "PBar", 8, 216, 281, 25);
    PBar->SetMin(0);
    PBar->SetMax(100);
    btnStart = vcl::PlaceControl<vcl::TButton>(this, this, "btnStart", 48, 312, 73, 25);
    btnStart->SetCaption("Start");
    btnClose = vcl::PlaceControl<vcl::TButton>(this, this, "btnClose", 176, 312, 73, 25);
    btnClose->SetCaption("Close");

    struct RadioPlace {
        vcl::TRadioButton*& button;
        vcl::TWinControl* parent;
        const char* name;
        const char* caption;
        int left, top, width;
    };
    GroupBox1 = vcl::PlaceControl<vcl::TGroupBox>(this, this, "GroupBox1", 8, 252, 281, 49);
    const RadioPlace storage[] = {
        {rbtnMainStorage, this, "rbtnMainStorage", "Security Disk", 16, 8, 265},
        {rbtnAcceStorage, this, "rbtnAcceStorage", "Standard Disk", 16, 36, 265},
        {rbtnBoth, this, "rbtnBoth", "Security and Standard Disks", 16, 64, 265},
    };
    for (const RadioPlace& place : storage) {
        place.button = vcl::PlaceControl<vcl::TRadioButton>(this, place.parent, place.name, place.left, place.top,
                                                             place.width, 25);
        place.button->SetCaption(place.caption);
        place.button->SetFont(comic);
        place.button->SetTabOrder(order++);
    }

    Label1 = vcl::PlaceControl<vcl::TLabel>(this, this, "Label1", 16, 100, 265, 19);
    Label1->SetCaption("Security Disk Volume Label");
    Label2 = vcl::PlaceControl<vcl::TLabel>(this, this, "Label2", 16, 156, 265, 19);
    Label2->SetCaption("Standard Disk Volume Label");
    edtMainVolume = vcl::PlaceControl<vcl::TEdit>(this, this, "edtMainVolume", 16, 120, 265, 24);
    edtAcceVolume = vcl::PlaceControl<vcl::TEdit>(this, this, "edtAcceVolume", 16, 176, 265, 24);
    for (vcl::TLabel* label : {Label1, Label2}) label->SetFont(comic);
    for (vcl::TEdit* edit : {edtMainVolume, edtAcceVolume}) {
        edit->SetMaxLength(11);
        edit->SetFont(EditFont());
        edit->SetTabOrder(order++);
    }
    GroupBox1->SetTabOrder(order++);

    const RadioPlace boot[] = {
        {rbtnFDDBoot, GroupBox1, "rbtnFDDBoot", "Floppy Boot", 8, 16, 105},
        {rbtnZIPBoot, GroupBox1, "rbtnZIPBoot", "Zip Boot", 112, 16, 81},
        {rbtnHDDBoot, GroupBox1, "rbtnHDDBoot", "HDD Boot", 192, 16, 81},
    };
    int bootOrder = 0;
    for (const RadioPlace& place : boot) {
        place.button = vcl::PlaceControl<vcl::TRadioButton>(this, place.parent, place.name, place.left, place.top,
                                                             place.width, 25);
        place.button->SetCaption(place.caption);
        place.button->SetFont(comic);
        place.button->SetTabOrder(bootOrder++);
    }
    for (vcl::TButton* button : {btnStart, btnClose}) {
        button->SetFont(comic);
        button->SetTabOrder(order++);
    }

    rbtnMainStorage->OnClick = vcl::Handler(this, &TJDFormatForm::rbtnMainStorageClick);
    rbtnAcceStorage->OnClick = vcl::Handler(this, &TJDFormatForm::rbtnAcceStorageClick);
    rbtnBoth->OnClick = vcl::Handler(this, &TJDFormatForm::rbtnBothClick);
    btnStart->OnClick = vcl::Handler(this, &TJDFormatForm::btnStartClick);
    btnClose->OnClick = vcl::Handler(this, &TJDFormatForm::btnCloseClick);
    OnShow = vcl::Handler(this, &TJDFormatForm::FormShow);
    OnClose = vcl::Handler(this, &TJDFormatForm::FormClose);
    FormCreate(this);
}

void TJDFormatForm::FormCreate(vcl::TObject* /*Sender*/) {
    for (vcl::TRadioButton* button : {rbtnMainStorage, rbtnAcceStorage, rbtnBoth}) button->SetChecked(false);
    edtMainVolume->Clear();
    edtAcceVolume->Clear();
    PBar->SetPosition(0);
}

void TJDFormatForm::SetEditUsable(vcl::TEdit* edit, bool usable) {
    edit->SetEnabled(usable);
    edit->SetColor(usable ? vcl::clWindow : vcl::clScrollBar);
}

void TJDFormatForm::FormShow(vcl::TObject* /*Sender*/) {
    CentreOnScreen();
    rbtnMainStorage->SetChecked(false);
    rbtnAcceStorage->SetChecked(true);
    rbtnBoth->SetChecked(false);
    SetEditUsable(edtMainVolume, false);
    SetEditUsable(edtAcceVolume, true);
#ifndef KT4790_ASPI
    btnStart->SetEnabled(true);
    btnClose->SetEnabled(true);
#endif
    edtMainVolume->Clear();
    edtAcceVolume->Clear();
    PBar->SetPosition(0);
    SetActiveControl(edtMainVolume);
    rbtnFDDBoot->SetChecked(true);
    for (vcl::TRadioButton* button : {rbtnFDDBoot, rbtnZIPBoot, rbtnHDDBoot}) button->SetEnabled(true);
}

void TJDFormatForm::rbtnMainStorageClick(vcl::TObject* /*Sender*/) {
    for (vcl::TRadioButton* button : {rbtnFDDBoot, rbtnZIPBoot, rbtnHDDBoot}) button->SetEnabled(false);
    SetEditUsable(edtMainVolume, true);
    SetEditUsable(edtAcceVolume, false);
}

void TJDFormatForm::BootGroupForStandardArea() {
    if (rbtnFDDBoot->Enabled()) return;
    rbtnFDDBoot->SetChecked(true);
    for (vcl::TRadioButton* button : {rbtnFDDBoot, rbtnZIPBoot, rbtnHDDBoot}) button->SetEnabled(true);
}

void TJDFormatForm::rbtnAcceStorageClick(vcl::TObject* /*Sender*/) {
    SetEditUsable(edtMainVolume, false);
    SetEditUsable(edtAcceVolume, true);
    BootGroupForStandardArea();
}

void TJDFormatForm::rbtnBothClick(vcl::TObject* /*Sender*/) {
    SetEditUsable(edtMainVolume, true);
    SetEditUsable(edtAcceVolume, true);
    BootGroupForStandardArea();
}

void TJDFormatForm::btnStartClick(vcl::TObject* /*Sender*/) {
    if (MessageBoxA(nullptr, kConfirm, "WARNING", MB_OKCANCEL) != IDOK) return;
    if (rbtnMainStorage->Checked()) {
        FormatSecurityDisk();
    } else if (rbtnAcceStorage->Checked()) {
        FormatStandardDisk();
    } else if (rbtnBoth->Checked()) {
        FormatBothDisks();
    } else {
        devbind::ShowWarning(kNoStorage);
    }
}

void TJDFormatForm::btnCloseClick(vcl::TObject* /*Sender*/) {
    SetVisible(false);
    EnableUtilityWindow();
}

// The title bar's close box; the framework hides the dialog after this. A
// run that is going on carries on to its end.
void TJDFormatForm::FormClose(vcl::TObject* /*Sender*/, vcl::TCloseAction& /*Action*/) { EnableUtilityWindow(); }

bool TJDFormatForm::HddChecked() const { return !rbtnZIPBoot->Checked() && !rbtnFDDBoot->Checked(); }

newformat::BootLayout TJDFormatForm::CheckedLayout() const {
    if (HddChecked()) return newformat::BootLayout::Hdd;
    return rbtnFDDBoot->Checked() ? newformat::BootLayout::Fdd : newformat::BootLayout::Zip;
}

// The opening of the three runs: the library bound, the buttons off, the
// device found, its labels stored, the write protection, chip code and
// geometry asked. False when the run ends there (its messages shown).
bool TJDFormatForm::OpenRun(AreaRun& run, Area area) {
    if (LoadFormatLibrary(run.session, run.procs) == 0) {
        devbind::ShowError(kLoadFailed);
        return false;
    }
    run.buttons.emplace(btnStart, btnClose);
    if (!run.session.Find(run.deviceName.c_str())) return false;
    run.eraser.emplace(run.session, run.procs);
    DeviceEraser& eraser = *run.eraser;
    if (area == Area::Security) {
        if (!eraser.NotWriteProtected()) return false;
        newformat::SetVolumeLabel(newformat::kAreaBeingWrittenLabel, edtMainVolume->Text().c_str());
        if (!eraser.ReadChipAndMedia(run.chipCode, run.geometry, true)) return false;
    } else {
        if (area == Area::Standard) {
            newformat::SetVolumeLabel(newformat::kAreaBeingWrittenLabel, edtAcceVolume->Text().c_str());
        } else {
            newformat::SetVolumeLabel(newformat::kSecurityAreaLabel, edtMainVolume->Text().c_str());
            newformat::SetVolumeLabel(newformat::kStandardAreaLabel, edtAcceVolume->Text().c_str());
        }
        if (!eraser.NotWriteProtected()) return false;
        if (!eraser.ReadChipAndMedia(run.chipCode, run.geometry, false)) return Failed(run);
    }

    if (run.chipCode != kt4790::kChipCode13 && run.chipCode != kt4790::kChipCode30) {
#ifndef KT4790_ASPI
        if (area == Area::Security) devbind::ShowWarning(kUpdateProgram);
#endif
        return Failed(run);
    }
    // A medium whose blocks the host cannot place areas on, or whose logical
    // blocks overflow the 16-bit PartitionWord, is refused before anything
    // is erased.
    const kt4790::MediaGeometry& geometry = run.geometry;
    if (!kt4790::IsAddressable(geometry, run.chipCode) || geometry.ZonesPerChip == 0 ||
        geometry.LogicalBlocks > 0xFFFF) {
        devbind::ShowWarning(kUpdateProgram);
        return Failed(run);
    }
    return true;
}

// The failure report, the device closed and the library freed first.
bool TJDFormatForm::Failed(AreaRun& run) {
    run.session.Release();
    ShowFormatFailed(*this, *btnStart, *btnClose);
    return false;
}

// A failed step of block 0 has a message of its own before the report.
bool TJDFormatForm::Failed(AreaRun& run, EraseFailure failure) {
    ShowEraseFailure(EraseCaller::TwoArea, failure);
    return Failed(run);
}

// The closing of a run whose erase went through: the device let go, the
// area written, and the result reported.
void TJDFormatForm::FinishRun(AreaRun& run, const std::function<int()>& write) {
    run.session.Release();
    if (write() == 0) {
        Failed(run);
        return;
    }
    PBar->SetPosition(0);
    MessageBoxA(nullptr, kFormatted, "OK", MB_OK);
    btnStart->SetEnabled(true);
    btnClose->SetEnabled(true);
    SetVisible(false);
    EnableUtilityWindow();
}

// Chip 0x13: block 0 read and kept with the BootFlag of the checked layout
// in its DescriptorSector, whose PartitionWord must record a split, then
// erased on its own and written back at once, before any other block is
// erased: the DescriptorSector is never missing for longer than its own
// block takes, and block 0 is not erased again.
bool TJDFormatForm::RefreshSystemBlock(AreaRun& run, std::uint32_t& sd) {
    DescriptorPatch patch;
    patch.BootFlag = HddChecked() ? 1 : 0;
    DeviceEraser& eraser = *run.eraser;
    EraseFailure failure = eraser.SaveSystemBlock(run.geometry, patch);
    if (failure != EraseFailure::None) return Failed(run, failure);
    if (!RecordsSplit(eraser.Descriptor(), run.geometry)) return Failed(run);
    sd = kt4790::PartitionWord(eraser.Descriptor());
    failure = eraser.EraseSystemBlock();
    if (failure == EraseFailure::None) failure = eraser.RestoreSystemBlock();
    if (failure != EraseFailure::None) return Failed(run, failure);
    return true;
}

void TJDFormatForm::FormatSecurityDisk() {
    AreaRun run(DeviceName);
    if (!OpenRun(run, Area::Security)) return;
    DeviceEraser& eraser = *run.eraser;
    const kt4790::MediaGeometry& geometry = run.geometry;
    const bool chip13 = run.chipCode == kt4790::kChipCode13;

    // The DescriptorSector is only read: the security area's layout follows
    // the standard area's.
    if (!eraser.FindDescriptor(geometry, run.chipCode) || !RecordsSplit(eraser.Sector, geometry)) {
        Failed(run);
        return;
    }
    const std::uint32_t sd = kt4790::PartitionWord(eraser.Sector);
    newformat::BootLayout layout = newformat::BootLayout::Hdd;
    if (eraser.Sector[kt4790::kBootFlagOffset] == 0) {
        // The standard area's first sector: a boot sector there is the
        // floppy layout, anything else (a master boot record) the ZIP
        // layout. On chip 0x13 the area starts at block 1.
        std::memset(eraser.Sector, 0, sizeof eraser.Sector);
        if (!eraser.ReadSector(chip13 ? geometry.SectorsPerBlock : 0, 1, 0)) {
            Failed(run);
            return;
        }
        const BYTE first = eraser.Sector[0];
        layout = first == kShortJump || first == kNearJump ? newformat::BootLayout::Fdd : newformat::BootLayout::Zip;
    }

    const std::uint32_t start = chip13 ? kt4790::DataPosition(geometry, run.chipCode, sd) : sd;
    bool erased = false;
    if (chip13) {
        erased = EraseSecurityArea(eraser, geometry, run.chipCode, sd, start, PBar);
    } else {
        // Logical blocks of zones no chip takes are not the security area's.
        const std::uint32_t perZone = geometry.LargeBlock ? kt4790::kLargeLogicalPerZone : kt4790::kSmallLogicalPerZone;
        const std::uint32_t end = geometry.LogicalBlocksPerChip * geometry.ChipCount;
        erased = EraseMappedArea(eraser, sd, end, geometry.ZoneCount * perZone - sd, PBar);
    }
    if (!erased) {
        Failed(run);
        return;
    }
    const std::uint32_t sectors = (geometry.LogicalBlocks - sd) * geometry.SectorsPerBlock;
    FinishRun(run, [&] {
        return newformat::WriteLayoutArea(layout, run.deviceName.c_str(), sectors, start, geometry.ZoneCount,
                                          geometry.ChipCount, geometry.LargeBlock, run.chipCode);
    });
}

void TJDFormatForm::FormatStandardDisk() {
    AreaRun run(DeviceName);
    if (!OpenRun(run, Area::Standard)) return;
    DeviceEraser& eraser = *run.eraser;
    const kt4790::MediaGeometry& geometry = run.geometry;
    const bool chip13 = run.chipCode == kt4790::kChipCode13;
    std::uint32_t sd = 0;
    if (chip13) {
        if (!RefreshSystemBlock(run, sd)) return;
        if (!EraseStandardArea(eraser, geometry, run.chipCode, sd, PBar)) {
            Failed(run);
            return;
        }
    } else {
        DescriptorPatch patch;
        patch.BootFlag = HddChecked() ? 1 : 0;
        if (eraser.StoreDescriptor(geometry, patch, true) != EraseFailure::None) {
            Failed(run);
            return;
        }
        sd = kt4790::PartitionWord(eraser.Descriptor());
        if (!EraseMappedArea(eraser, 0, sd, sd, PBar)) {
            Failed(run);
            return;
        }
    }
    const newformat::BootLayout layout = CheckedLayout();
    FinishRun(run, [&] {
        return newformat::WriteLayoutArea(layout, run.deviceName.c_str(), sd * geometry.SectorsPerBlock,
                                          chip13 ? 1 : 0, geometry.ZoneCount, geometry.ChipCount,
                                          geometry.LargeBlock, run.chipCode);
    });
}

void TJDFormatForm::FormatBothDisks() {
    AreaRun run(DeviceName);
    if (!OpenRun(run, Area::Both)) return;
    DeviceEraser& eraser = *run.eraser;
    const kt4790::MediaGeometry& geometry = run.geometry;
    std::uint32_t sd = 0;
    if (run.chipCode == kt4790::kChipCode13) {
        if (!RefreshSystemBlock(run, sd)) return;
        {
            const devbind::LongOperation erasing;
            for (std::uint32_t block = 1; block < geometry.PhysicalBlocks; ++block) {
                ProcessPendingMessages();
                eraser.EraseWithRetry(block, 0, 0);
                PBar->SetPosition(ProgressOf(block, geometry.PhysicalBlocks));
            }
        }
    } else {
        DescriptorPatch patch;
        patch.BootFlag = HddChecked() ? 1 : 0;
#ifdef KT4790_ASPI
        const std::uint32_t count = geometry.LogicalBlocks;
#else
        const std::uint32_t count = geometry.PhysicalBlocks;
#endif
        if (eraser.EraseMediumMapped(geometry, patch, count, PBar, true) != EraseFailure::None) {
            Failed(run);
            return;
        }
        sd = kt4790::PartitionWord(eraser.Descriptor());
    }
    const newformat::BootLayout layout = CheckedLayout();
    FinishRun(run, [&] {
        return newformat::FormatBoot(layout, run.deviceName.c_str(), sd, geometry.ZoneCount, geometry.ChipCount,
                                     geometry.LargeBlock, run.chipCode);
    });
}
