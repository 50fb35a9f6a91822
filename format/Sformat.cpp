#include "format/Sformat.h"

#include <windows.h>

#include <cstdint>

#include "app/Fonts.h"
#include "app/Jutility.h"
#include "app/PasswordGate.h"
#include "app/devbind.h"
#include "format/Erase.h"
#include "format/Newformat.h"

TJSFormatForm* JSFormatForm = nullptr;

namespace {

#ifdef KT4790_ASPI
constexpr const char* kFormatted = "Format was successful. You need to unplug and replug the device!";
constexpr const char* kFormatFailed = "Format Failed!";
constexpr int kLabelWidth = 89;
#else
constexpr const char* kFormatted = "Format was successful. You need to unplug and replug the device.";
constexpr const char* kFormatFailed = "Format Failed!!";
constexpr int kLabelWidth = 97;
#endif
constexpr const char* kUpdateProgram = "Please update the program!";

// The edits of the format dialogs write in "MS Sans Serif", 13 pixels.
vcl::TFont EditFont() {
    vcl::TFont font;
    font.Height = -13;
    return font;
}

}  // namespace

void ShowFormatFailed(vcl::TForm& dialog, vcl::TButton& start, vcl::TButton& close) {
    devbind::ShowWarning(kFormatFailed);
    start.SetEnabled(true);
    close.SetEnabled(true);
    dialog.SetVisible(false);
    EnableUtilityWindow();
}

TJSFormatForm::TJSFormatForm(vcl::TComponent* Owner) : vcl::TForm(Owner) {
    SetName("JSFormatForm");
    SetCaption("USB Flash Disk FORMAT  ");
    SetBorderStyle(vcl::bsDialog);
    SetClientWidth(312);
    SetClientHeight(198);
    const vcl::TFont comic = ComicSansBold();

    labVolume = vcl::PlaceControl<vcl::TLabel>(this, this, "labVolume", 16, 28, kLabelWidth, 19);
    labVolume->SetCaption("Volume Label:");
    labVolume->SetFont(comic);
    edtVolume = vcl::PlaceControl<vcl::TEdit>(this, this, "edtVolume", 112, 24, 185, 24);
    edtVolume->SetMaxLength(11);
    edtVolume->SetFont(EditFont());
    edtVolume->SetTabOrder(0);
    PBar = vcl::PlaceControl<vcl::TProgressBar>(this, this, "PBar", 16, 64, 281, 25);
    PBar->SetMin(0);
    PBar->SetMax(100);
    GroupBox1 = vcl::PlaceControl<vcl::TGroupBox>(this, this, "GroupBox1", 16, 104, 281, 49);
    GroupBox1->SetTabOrder(1);
    struct RadioPlace {
        vcl::TRadioButton*& button;
        const char* name;
        const char* caption;
        int left, width;
    };
    const RadioPlace radios[] = {
        {rbtnFDDBoot, "rbtnFDDBoot", "Floppy Boot", 8, 105},
        {rbtnZIPBoot, "rbtnZIPBoot", "Zip Boot", 112, 81},
        {rbtnHDDBoot, "rbtnHDDBoot", "HDD Boot", 192, 81},
    };
    int order = 0;
    for (const RadioPlace& place : radios) {
        place.button = vcl::PlaceControl<vcl::TRadioButton>(this, GroupBox1, place.name, place.left, 16, place.width, 25);
        place.button->SetCaption(place.caption);
        place.button->SetFont(comic);
        place.button->SetTabOrder(order++);
    }
    btnStart = vcl::PlaceControl<vcl::TButton>(this, this, "btnStart", 48, 160, 73, 25);
    btnStart->SetCaption("Start");
    btnStart->SetFont(comic);
    btnStart->SetTabOrder(2);
    btnClose = vcl::PlaceControl<vcl::TButton>(this, this, "btnClose", 184, 160, 73, 25);
    btnClose->SetCaption("Close");
    btnClose->SetFont(comic);
    btnClose->SetTabOrder(3);

    btnStart->OnClick = vcl::Handler(this, &TJSFormatForm::btnStartClick);
    btnClose->OnClick = vcl::Handler(this, &TJSFormatForm::btnCloseClick);
    OnShow = vcl::Handler(this, &TJSFormatForm::FormShow);
    OnClose = vcl::Handler(this, &TJSFormatForm::FormClose);
}

void TJSFormatForm::FormShow(vcl::TObject* /*Sender*/) {
    CentreOnScreen();
    edtVolume->Clear();
    PBar->SetPosition(0);
    btnStart->SetEnabled(true);
    btnClose->SetEnabled(true);
    rbtnFDDBoot->SetChecked(true);
    for (vcl::TRadioButton* button : {rbtnFDDBoot, rbtnZIPBoot, rbtnHDDBoot}) button->SetEnabled(true);
    edtVolume->SetFocus();
}

// The title bar's close box; the framework hides the dialog after this. A
// run that is going on carries on to its end.
void TJSFormatForm::FormClose(vcl::TObject* /*Sender*/, vcl::TCloseAction& /*Action*/) { EnableUtilityWindow(); }

void TJSFormatForm::btnCloseClick(vcl::TObject* /*Sender*/) {
    SetVisible(false);
    EnableUtilityWindow();
}

void TJSFormatForm::btnStartClick(vcl::TObject* /*Sender*/) {
    using devbind::DeviceSession;
    DeviceSession session(devbind::Operation::SingleFormatStart);
    EraseProcs procs;
#ifdef KT4790_ASPI
    // Everything up to the opening checks runs with the buttons as they are.
    if (!session.Load()) return;
    const bool bound = session.Bind(devbind::kGetChipVersion, procs.getChipVersion) &&
                       session.Bind(devbind::kSetEString, procs.setEString) &&
                       session.Bind(devbind::kGetPhyBlock, procs.getPhyBlock) && session.BindFinder() &&
                       session.Bind(devbind::kGetMediaSize, procs.getMediaSize) &&
                       session.Bind(devbind::kVSCReadSector, procs.vscReadSector) &&
                       session.Bind(devbind::kVSCWriteSector, procs.vscWriteSector) &&
                       session.Bind(devbind::kEraseBlock, procs.eraseBlock) &&
                       session.Bind(devbind::kWriteProtect, procs.writeProtect);
    if (!bound || !session.Find(DeviceName.c_str())) return;
    DeviceEraser eraser(session, procs);
    BYTE chipCode = 0;
    kt4790::MediaGeometry geometry;
    if (!eraser.OpeningChecks(chipCode, geometry)) return;
    const ButtonsOffWhileRunning running(btnStart, btnClose);
    newformat::SetVolumeLabel(newformat::kWholeMediumLabel, edtVolume->Text().c_str());
#else
    newformat::SetVolumeLabel(newformat::kWholeMediumLabel, edtVolume->Text().c_str());
    if (!session.Load()) return;
    const ButtonsOffWhileRunning running(btnStart, btnClose);
    const bool bound = session.BindFinder() && session.Bind(devbind::kWriteProtect, procs.writeProtect) &&
                       session.Bind(devbind::kGetMediaSize, procs.getMediaSize) &&
                       session.Bind(devbind::kSetEString, procs.setEString) &&
                       session.Bind(devbind::kGetPhyBlock, procs.getPhyBlock) &&
                       session.Bind(devbind::kGetChipVersion, procs.getChipVersion) &&
                       session.Bind(devbind::kVSCReadSector, procs.vscReadSector) &&
                       session.Bind(devbind::kVSCWriteSector, procs.vscWriteSector) &&
                       session.Bind(devbind::kEraseBlock, procs.eraseBlock);
    if (!bound || !session.Find(DeviceName.c_str())) return;
    DeviceEraser eraser(session, procs);
    BYTE chipCode = 0;
    kt4790::MediaGeometry geometry;
    if (!eraser.OpeningChecks(chipCode, geometry)) return;
#endif

    const bool knownChip = chipCode == kt4790::kChipCode13 || chipCode == kt4790::kChipCode30;
    // The medium's blocks must be addressable, and its logical blocks must
    // fit the 16-bit count the formatter takes.
    const bool fits = kt4790::IsAddressable(geometry, chipCode) && geometry.LogicalBlocks <= 0xFFFF;
#ifdef KT4790_ASPI
    if (!knownChip || !fits) {
        if (knownChip) devbind::ShowWarning(kUpdateProgram);
        ShowFormatFailed(*this, *btnStart, *btnClose);
        return;
    }
    const std::uint32_t eraseCount = geometry.LogicalBlocks;
#else
    if (!knownChip || !fits) {
        devbind::ShowWarning(kUpdateProgram);
        return;
    }
    const std::uint32_t eraseCount = geometry.PhysicalBlocks;
#endif

    DescriptorPatch patch;
    patch.BootFlag = !rbtnZIPBoot->Checked() && !rbtnFDDBoot->Checked() ? 1 : 0;
    const EraseFailure failure = chipCode == kt4790::kChipCode13
                                     ? eraser.EraseMediumDirect(geometry, patch, PBar)
                                     : eraser.EraseMediumMapped(geometry, patch, eraseCount, PBar);
    if (failure != EraseFailure::None) {
        ShowEraseFailure(EraseCaller::SingleFormat, failure);
#ifdef KT4790_ASPI
        ShowFormatFailed(*this, *btnStart, *btnClose);
#endif
        return;
    }
#ifdef KT4790_ASPI
    // The standard area as the device records it; this dialog opens only
    // for a medium without a split, so it names the whole medium or none.
    const std::uint32_t standardBlocks = kt4790::PartitionWord(eraser.Descriptor());
#else
    const std::uint32_t standardBlocks = geometry.LogicalBlocks;
#endif
    session.Release();

    const newformat::BootLayout layout = rbtnHDDBoot->Checked()   ? newformat::BootLayout::Hdd
                                         : rbtnFDDBoot->Checked() ? newformat::BootLayout::Fdd
                                                                  : newformat::BootLayout::Zip;
    const int formatted = newformat::FormatBoot(layout, DeviceName.c_str(), standardBlocks, geometry.ZoneCount,
                                                geometry.ChipCount, geometry.LargeBlock, chipCode);
    if (formatted == 0) {
        ShowFormatFailed(*this, *btnStart, *btnClose);
        return;
    }
    MessageBoxA(nullptr, kFormatted, "OK", MB_OK);
    btnStart->SetEnabled(true);
    btnClose->SetEnabled(true);
    SetVisible(false);
    EnableUtilityWindow();
}
