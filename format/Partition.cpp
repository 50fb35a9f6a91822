#include "format/Partition.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "app/Fonts.h"
#include "app/PasswordGate.h"
#include "app/devbind.h"
#include "format/Erase.h"
#include "format/Newformat.h"

TPartitionForm* PartitionForm = nullptr;

namespace {

constexpr const char* kConfirmErase = "This will erase all data inside the disk. Do you want to continue?";
constexpr const char* kNumericOnly = "Please only enter numeric value!";
constexpr const char* kIncorrectSizeTyped = "Incorrect size! Please reenter the Security storage size.";
constexpr const char* kNoZeroStandard =
    "The Standard Storage can't be partitioned into 0MB when the password is existing.";
constexpr const char* kPartitioned = "Partition was successful. You need to unplug and replug the device!";
constexpr const char* kUpdateProgram = "Please update the program!";
#ifdef KT4790_ASPI
constexpr const char* kEnterSize = "Please enter the Security storage size!";
constexpr const char* kIncorrectSizeStart = "Incorrect size! Please reenter the Security storage size.";
#else
constexpr const char* kEnterSize = "Please enter the security storage size!";
constexpr const char* kIncorrectSizeStart = "Incorrect size! Please reenter the security storage size.";
#endif
constexpr const char* kNoStandardArea = "0MB";

// The zone counts whose size the dialog shows.
constexpr unsigned kKnownZoneCounts[] = {1,  2,  3,  4,  5,  6,  7,  8,  10, 12, 14, 16, 20,
                                         24, 28, 32, 40, 48, 56, 64, 80, 96, 112, 128};

// Megabytes of a zone in thousandths: 15.625.
constexpr unsigned kZoneThousandths = 15625;

// A size text read as the dialog reads it while keys are typed: the number
// it starts with (0 for none).
double SizeOf(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

// The reading of the security size in edtSEQ that Start records, in
// megabytes: whole megabytes in digits, as the keys let through, or the
// total text, which the dialog itself writes there when the whole medium
// becomes the security area. False for any other text, such as one pasted
// past the key filter, which would otherwise be read one way for the sizes
// shown and another for the blocks recorded.
bool EnteredSize(const std::string& text, const std::string& totalText, double& megabytes) {
    if (text.empty()) return false;
    if (text == totalText) {
        megabytes = SizeOf(totalText);
        return true;
    }
    megabytes = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        megabytes = megabytes * 10 + (c - '0');  // a long text only grows past the total
    }
    return true;
}

// The total size: labTotalSize up to its first "M".
std::string TotalText(const vcl::TLabel* label) {
    const std::string& text = label->Caption();
    return text.substr(0, text.find('M'));
}

}  // namespace

std::string PartitionSizeLabel(unsigned zoneCount) {
    bool known = false;
    for (unsigned zones : kKnownZoneCounts) known = known || zones == zoneCount;
    if (!known) return "";
    const unsigned tenths = zoneCount * kZoneThousandths / 100;  // cut, not rounded
    char text[16];
    if (tenths % 10 == 0) {
        std::snprintf(text, sizeof text, "%u", tenths / 10);
    } else {
        std::snprintf(text, sizeof text, "%u.%u", tenths / 10, tenths % 10);
    }
    return text;
}

void PartitionFailed() {
    devbind::ShowError("Partition Failed!");
    PartitionForm->btnStartParti->SetEnabled(true);
    PartitionForm->btnCancelParti->SetEnabled(true);
    PartitionForm->SetVisible(false);
    EnableUtilityWindow();
}

TPartitionForm::TPartitionForm(vcl::TComponent* Owner) : vcl::TForm(Owner) {
    SetName("PartitionForm");
    SetCaption("USB Flash Disk PARTITION");
    SetBorderStyle(vcl::bsDialog);
    SetClientWidth(327);
    SetClientHeight(236);
    const vcl::TFont comic = ComicSansBold();

    struct LabelPlace {
        vcl::TLabel*& label;
        const char* name;
        const char* caption;
        int left, top, width;
    };
    const LabelPlace labels[] = {
        {labTotal, "labTotal", "Total Storage Size:", 48, 24, 127},
        {labTotalSize, "labTotalSize", "MB", 232, 24, 19},
        {labSEQ, "labSEQ", "Security Storage Size:", 48, 53, 147},
        {labMB, "labMB", "MB", 288, 56, 19},
        {labStandard, "labStandard", "Standard Storage Size:", 48, 80, 152},
        {labStandardSize, "labStandardSize", "0", 232, 80, 8},
    };
    for (const LabelPlace& place : labels) {
        place.label = vcl::PlaceControl<vcl::TLabel>(this, this, place.name, place.left, place.top, place.width, 19);
        place.label->SetFont(comic);
        place.label->SetCaption(place.caption);
    }
    // The two sizes change with the medium and the typed size.
    labTotalSize->SetAutoSize(true);
    labStandardSize->SetAutoSize(true);
    edtSEQ = vcl::PlaceControl<vcl::TEdit>(this, this, "edtSEQ", 232, 48, 49, 27);
    edtSEQ->SetTabOrder(0);
    PBar = vcl::PlaceControl<vcl::TProgressBar>(this, this, "PBar", 24, 112, 273, 25);
    PBar->SetMin(0);
    PBar->SetMax(100);

    struct ButtonPlace {
        vcl::TWinControl* control;
        const char* caption;
        int tabOrder;
    };
    rbtnFDDBoot = vcl::PlaceControl<vcl::TRadioButton>(this, this, "rbtnFDDBoot", 16, 152, 105, 25);
    rbtnZipBoot = vcl::PlaceControl<vcl::TRadioButton>(this, this, "rbtnZipBoot", 128, 144, 81, 41);
    rbtnHDDBoot = vcl::PlaceControl<vcl::TRadioButton>(this, this, "rbtnHDDBoot", 216, 152, 97, 25);
    btnStartParti = vcl::PlaceControl<vcl::TButton>(this, this, "btnStartParti", 40, 192, 105, 33);
    btnCancelParti = vcl::PlaceControl<vcl::TButton>(this, this, "btnCancelParti", 184, 192, 105, 33);
    const ButtonPlace buttons[] = {
        {rbtnFDDBoot, "Floppy Boot", 1}, {rbtnZipBoot, "Zip Boot", 2},      {rbtnHDDBoot, "HDD Boot", 3},
        {btnStartParti, "Start", 4},     {btnCancelParti, "Cancel", 5},
    };
    for (const ButtonPlace& place : buttons) {
        place.control->SetCaption(place.caption);
        place.control->SetFont(comic);
        place.control->SetTabOrder(place.tabOrder);
    }

    edtSEQ->OnKeyPress = vcl::Handler(this, &TPartitionForm::edtSEQKeyPress);
    edtSEQ->OnKeyUp = vcl::Handler(this, &TPartitionForm::edtSEQKeyUp);
    btnStartParti->OnClick = vcl::Handler(this, &TPartitionForm::btnStartPartiClick);
    btnCancelParti->OnClick = vcl::Handler(this, &TPartitionForm::btnCancelPartiClick);
    OnShow = vcl::Handler(this, &TPartitionForm::FormShow);
    OnClose = vcl::Handler(this, &TPartitionForm::FormClose);
}

void TPartitionForm::FormShow(vcl::TObject* /*Sender*/) {
    CentreOnScreen();
    rbtnFDDBoot->SetChecked(true);
    rbtnZipBoot->SetChecked(false);
    rbtnHDDBoot->SetChecked(false);
    edtSEQ->Clear();
    btnStartParti->SetEnabled(true);
    btnCancelParti->SetEnabled(true);
    PBar->SetPosition(0);
    labTotalSize->SetCaption(PartitionSizeLabel(ZoneCount) + "MB");
    labStandardSize->SetCaption(kNoStandardArea);
}

// The title bar's close box; the framework hides the dialog after this. A
// run that is going on carries on to its end.
void TPartitionForm::FormClose(vcl::TObject* /*Sender*/, vcl::TCloseAction& /*Action*/) { EnableUtilityWindow(); }

void TPartitionForm::btnCancelPartiClick(vcl::TObject* /*Sender*/) {
    SetVisible(false);
    EnableUtilityWindow();
}

// Digits, Enter, Backspace and DEL; anything else is dropped with a word.
void TPartitionForm::edtSEQKeyPress(vcl::TObject* /*Sender*/, char& Key) {
    if ((Key >= '0' && Key <= '9') || Key == '\r' || Key == '\b' || Key == 127) return;
    Key = 0;
    devbind::ShowWarning(kNumericOnly);
}

// Keeps labStandardSize the rest of the medium after the security area.
void TPartitionForm::edtSEQKeyUp(vcl::TObject* /*Sender*/, WORD& /*Key*/, vcl::TShiftState /*Shift*/) {
    if (edtSEQ->Text().empty()) {
        labStandardSize->SetCaption(kNoStandardArea);
        return;
    }
    // A medium whose size the dialog does not know has nothing to divide;
    // "Start" says so.
    if (TotalText(labTotalSize).empty()) return;
    // The number the text starts with, on every key, also after the total
    // the dialog wrote there itself ("15.6" and a key); a text that is no
    // size is refused only by Start.
    SettleSizes(SizeOf(edtSEQ->Text()));
}

bool TPartitionForm::SettleSizes(double entered) {
    const std::string totalText = TotalText(labTotalSize);
    const double total = SizeOf(totalText);
    if (total < entered) {
        devbind::ShowWarning(kIncorrectSizeTyped);
        edtSEQ->Clear();
        labStandardSize->SetCaption(kNoStandardArea);
        return false;
    }
    if (total - entered >= 1) {
        char text[32];
        std::snprintf(text, sizeof text, "%.7gMB", total - entered);
        labStandardSize->SetCaption(text);
        return true;
    }
    // Less than 1 MB would be left for the standard area.
    const bool refused = PasswordExists == 1;
    if (refused) {
        devbind::ShowError(kNoZeroStandard);
        edtSEQ->Clear();
    } else {
        edtSEQ->SetText(totalText);
    }
    labStandardSize->SetCaption(kNoStandardArea);
    return !refused;
}

void TPartitionForm::btnStartPartiClick(vcl::TObject* /*Sender*/) {
    // A medium whose size the dialog does not know cannot be divided.
    const std::string totalText = TotalText(labTotalSize);
    if (totalText.empty()) {
        devbind::ShowWarning(kUpdateProgram);
        return;
    }
    if (MessageBoxA(nullptr, kConfirmErase, "WARNING", MB_OKCANCEL) != IDOK) return;
    if (edtSEQ->Text().empty()) {
        devbind::ShowWarning(kEnterSize);
        return;
    }
    // The label and the blocks below both come from this one reading.
    double entered = 0;
    if (!EnteredSize(edtSEQ->Text(), totalText, entered)) {
        devbind::ShowWarning(kNumericOnly);
        return;
    }
    if (entered > SizeOf(totalText)) {
        devbind::ShowWarning(kIncorrectSizeStart);
        edtSEQ->Clear();
        return;
    }
    // The split is read from labStandardSize, which the keys typed keep up
    // to date; a size pasted into the edit brought no key with it.
    if (!SettleSizes(entered)) return;

    const ButtonsOffWhileRunning running(btnStartParti, btnCancelParti);
    devbind::DeviceSession session(devbind::Operation::PartitionStart);
    EraseProcs procs;
    if (!session.Load()) return;
#ifdef KT4790_ASPI
    const bool bound = session.Bind(devbind::kSetEString, procs.setEString) &&
                       session.Bind(devbind::kGetChipVersion, procs.getChipVersion) && session.BindFinder() &&
                       session.Bind(devbind::kGetMediaSize, procs.getMediaSize) &&
                       session.Bind(devbind::kGetPhyBlock, procs.getPhyBlock) &&
                       session.Bind(devbind::kVSCReadSector, procs.vscReadSector) &&
                       session.Bind(devbind::kVSCWriteSector, procs.vscWriteSector) &&
                       session.Bind(devbind::kEraseBlock, procs.eraseBlock) &&
                       session.Bind(devbind::kWriteProtect, procs.writeProtect);
#else
    const bool bound = session.BindFinder() && session.Bind(devbind::kGetPhyBlock, procs.getPhyBlock) &&
                       session.Bind(devbind::kWriteProtect, procs.writeProtect) &&
                       session.Bind(devbind::kGetMediaSize, procs.getMediaSize) &&
                       session.Bind(devbind::kVSCReadSector, procs.vscReadSector) &&
                       session.Bind(devbind::kVSCWriteSector, procs.vscWriteSector) &&
                       session.Bind(devbind::kSetEString, procs.setEString) &&
                       session.Bind(devbind::kEraseBlock, procs.eraseBlock) &&
                       session.Bind(devbind::kGetChipVersion, procs.getChipVersion);
#endif
    if (!bound || !session.Find(DeviceName.c_str())) return;
    DeviceEraser eraser(session, procs);
    BYTE chipCode = 0;
    kt4790::MediaGeometry geometry;
    if (!eraser.OpeningChecks(chipCode, geometry)) return;
#ifdef KT4790_ASPI
    const bool knownChip = chipCode == kt4790::kChipCode13 || chipCode == kt4790::kChipCode30;
    if (!knownChip) {
        PartitionFailed();
        return;
    }
#endif

    // The split, in logical blocks of 128 KB or 16 KB. "0MB" left for the
    // standard area: the whole medium is the security area.
    const std::uint32_t securityBlocks =
        static_cast<std::uint32_t>(entered) * (geometry.LargeBlock ? 8 : 64);
    const bool wholeSecurity = labStandardSize->Caption() == kNoStandardArea;
    // The DescriptorSector keeps the split and each chip's blocks in 16 bits,
    // and the formatter needs a medium whose blocks it can address; the
    // medium must also still be the size the dialog showed.
    const bool recordable = kt4790::IsAddressable(geometry, chipCode) && geometry.LogicalBlocks <= 0xFFFF &&
                            geometry.LogicalBlocksPerChip + 1 <= 0xFFFF &&
                            (wholeSecurity || securityBlocks <= geometry.LogicalBlocks);
    if (!recordable) {
        devbind::ShowWarning(kUpdateProgram);
#ifdef KT4790_ASPI
        PartitionFailed();
#endif
        return;
    }
    const std::uint32_t standardBlocks = wholeSecurity ? 0 : geometry.LogicalBlocks - securityBlocks;

    DescriptorPatch patch;
    patch.BootFlag = !rbtnZipBoot->Checked() && !rbtnFDDBoot->Checked() ? 1 : 0;
    patch.RecordsPartition = true;
    patch.PartitionWord = static_cast<std::uint16_t>(standardBlocks);
    for (unsigned slot = 0; slot < geometry.ChipCount; ++slot) {
        patch.ChipBlockTable[slot] = static_cast<std::uint16_t>(geometry.LogicalBlocksPerChip + 1);
    }
    EraseFailure failure = EraseFailure::None;
    if (chipCode == kt4790::kChipCode30) {
        failure = eraser.EraseMediumMapped(geometry, patch, geometry.PhysicalBlocks, PBar);
    } else if (chipCode == kt4790::kChipCode13) {
        failure = eraser.EraseMediumDirect(geometry, patch, PBar);
    }
    if (failure != EraseFailure::None) {
        ShowEraseFailure(EraseCaller::Partition, failure);
        return;
    }
    session.Release();

    const newformat::BootLayout layout = rbtnFDDBoot->Checked()   ? newformat::BootLayout::Fdd
                                         : rbtnHDDBoot->Checked() ? newformat::BootLayout::Hdd
                                                                  : newformat::BootLayout::Zip;
    const int formatted = newformat::FormatBoot(layout, DeviceName.c_str(), standardBlocks, geometry.ZoneCount,
                                                geometry.ChipCount, geometry.LargeBlock, chipCode);
    if (formatted == 0) {
        PartitionFailed();
        return;
    }
    PBar->SetPosition(0);
    MessageBoxA(nullptr, kPartitioned, "OK", MB_OK);
    btnStartParti->SetEnabled(true);
    btnCancelParti->SetEnabled(true);
    SetVisible(false);
    EnableUtilityWindow();
}
