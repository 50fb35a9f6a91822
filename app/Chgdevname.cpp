#include "app/Chgdevname.h"

#include <windows.h>

#include <cstring>
#include <string>

#include "app/Descriptor.h"
#include "app/Fonts.h"
#include "app/Jutility.h"
#include "app/devbind.h"
#include "kt4790/records.h"

TChgDevNameForm* ChgDevNameForm = nullptr;

namespace {

// The sector buffer of the rename: the MediaSizeReply and the
// ChipVersionReply (512 bytes from KT4790mDLL), the spare areas of the
// search, then the DescriptorSector that is rebuilt and written back.
BYTE Sector[kt4790::kSectorSize];

constexpr const char* kEnterName = "Please enter the Device Name.";
constexpr const char* kAlphaNumeric = "Please enter alphabet or numeric!";
constexpr const char* kChanged = "Device name was changed successfully.";

#ifdef KT4790_ASPI
// Windows 98 and ME search the whole medium until the sector is found or a read fails.
constexpr SearchLimit kSearchLimit = SearchLimit::WholeMedium;
#else
constexpr SearchLimit kSearchLimit = SearchLimit::Blocks33;
constexpr BYTE kMediaSizeLength = 8;
constexpr DWORD kChipVersionLength = 4;
#endif

bool IsBlankOrControl(char c) { return static_cast<unsigned char>(c) <= ' '; }

// The keys the name edit takes: Enter, Backspace, DEL, ASCII digits and
// letters.
bool IsNameKey(char key) {
    return key == '\r' || key == '\b' || key == 127 || (key >= '0' && key <= '9') || (key >= 'A' && key <= 'Z') ||
           (key >= 'a' && key <= 'z');
}

// Every character a letter or digit of the system's code page, or a blank.
bool IsNameText(const std::string& text) {
    for (const char c : text) {
        if (c != ' ' && !IsCharAlphaNumericA(c)) return false;
    }
    return true;
}

// Writes `name` as the NameDescriptor of the device listed as `deviceName`.
// Shows the message of every failure; nothing stays loaded or open when it
// returns.
bool RenameDevice(const std::string& deviceName, const std::string& name) {
    devbind::DeviceSession session(devbind::Operation::ChangeDeviceNameOk);
    decltype(&VSCReadSector) vscReadSector = nullptr;
    decltype(&SetEString) setEString = nullptr;
    decltype(&GetMediaSize) getMediaSize = nullptr;
    decltype(&GetChipVersion) getChipVersion = nullptr;
#ifdef KT4790_ASPI
    if (!session.Load() || !session.BindFinder() || !session.Bind(devbind::kGetChipVersion, getChipVersion) ||
        !session.Bind(devbind::kVSCReadSector, vscReadSector) || !session.Bind(devbind::kSetEString, setEString) ||
        !session.Bind(devbind::kGetMediaSize, getMediaSize)) {
        return false;
    }
#else
    if (!session.Load() || !session.BindFinder() || !session.Bind(devbind::kVSCReadSector, vscReadSector) ||
        !session.Bind(devbind::kSetEString, setEString) || !session.Bind(devbind::kGetMediaSize, getMediaSize) ||
        !session.Bind(devbind::kGetChipVersion, getChipVersion)) {
        return false;
    }
#endif
    if (!session.Find(deviceName.c_str())) return false;

    std::memset(Sector, 0, sizeof Sector);
#ifdef KT4790_ASPI
    if (getChipVersion(session.HostAdapterId, session.TargetId, Sector) == 0) {
        devbind::ShowDeviceNotFound();
        return false;
    }
    const BYTE chipCode = Sector[0];
    if (getMediaSize(session.HostAdapterId, session.TargetId, Sector) == 0) {
        devbind::ShowDeviceNotFound();
        return false;
    }
    const kt4790::MediaSizeReply media = kt4790::ParseMediaSizeReply(Sector);
#else
    if (getMediaSize(session.DeviceHandle, Sector, kMediaSizeLength) == 0) {
        devbind::ShowDeviceNotFound();
        return false;
    }
    const kt4790::MediaSizeReply media = kt4790::ParseMediaSizeReply(Sector);
    if (getChipVersion(session.DeviceHandle, Sector, kChipVersionLength) == 0) {
        devbind::ShowDeviceNotFound();
        return false;
    }
    const BYTE chipCode = Sector[0];
#endif

    // Every way of not finding the sector, an unknown chip included, is
    // reported as a device that cannot be found; nothing is written.
    if (LocateDescriptorSector(session, vscReadSector, Sector, chipCode, media, kSearchLimit) !=
        DescriptorSearch::Found) {
        devbind::ShowDeviceNotFound();
        return false;
    }
    // A sector whose chain cannot take the new name sound is not written:
    // the device keeps its name and its other descriptors.
    if (!ReplaceDescriptor(Sector, kt4790::kNameDescriptorIndex, name.data(), name.size())) {
        devbind::ShowDeviceNotFound();
        return false;
    }
    if (!WriteDescriptorSector(session, setEString, Sector)) {
        devbind::ShowDeviceNotFound();
        return false;
    }
    return true;
}

}  // namespace

TChgDevNameForm::TChgDevNameForm(vcl::TComponent* Owner) : vcl::TForm(Owner) {
    SetName("ChgDevNameForm");
    SetCaption("Change Device Name");
    SetBorderStyle(vcl::bsDialog);
    SetClientWidth(338);
    SetClientHeight(117);

    const vcl::TFont comic = ComicSansBold();
    vcl::TFont editFont;
    editFont.Height = -13;

#ifdef KT4790_ASPI
    constexpr int kLabelWidth = 120;
#else
    constexpr int kLabelWidth = 129;
#endif

    grpBoxChgDevName = vcl::PlaceControl<vcl::TGroupBox>(this, this, "grpBoxChgDevName", 16, 8, 305, 65);
    grpBoxChgDevName->SetTabOrder(0);
    labChgDevNNewDevName =
        vcl::PlaceControl<vcl::TLabel>(this, grpBoxChgDevName, "labChgDevNNewDevName", 8, 24, kLabelWidth, 19);
    labChgDevNNewDevName->SetCaption("New Device Name:");
    labChgDevNNewDevName->SetFont(comic);
    edtNewDevName = vcl::PlaceControl<vcl::TEdit>(this, grpBoxChgDevName, "edtNewDevName", 136, 24, 161, 24);
    edtNewDevName->SetMaxLength(16);
    edtNewDevName->SetFont(editFont);
    edtNewDevName->SetTabOrder(0);

    btnChgDevNOK = vcl::PlaceControl<vcl::TButton>(this, this, "btnChgDevNOK", 32, 80, 105, 25);
    btnChgDevNOK->SetCaption("OK");
    btnChgDevNOK->SetFont(comic);
    btnChgDevNOK->SetTabOrder(1);
    btnChgDevNCancel = vcl::PlaceControl<vcl::TButton>(this, this, "btnChgDevNCancel", 192, 80, 105, 25);
    btnChgDevNCancel->SetCaption("CANCEL");
    btnChgDevNCancel->SetFont(comic);
    btnChgDevNCancel->SetTabOrder(2);

    edtNewDevName->OnKeyPress = vcl::Handler(this, &TChgDevNameForm::edtNewDevNameKeyPress);
    btnChgDevNOK->OnClick = vcl::Handler(this, &TChgDevNameForm::btnChgDevNOKClick);
    btnChgDevNCancel->OnClick = vcl::Handler(this, &TChgDevNameForm::btnChgDevNCancelClick);
    OnShow = vcl::Handler(this, &TChgDevNameForm::FormShow);
    OnClose = vcl::Handler(this, &TChgDevNameForm::FormClose);
}

void TChgDevNameForm::FormShow(vcl::TObject* /*Sender*/) {
    CentreOnScreen();
    edtNewDevName->Clear();
    edtNewDevName->SetFocus();
}

void TChgDevNameForm::btnChgDevNCancelClick(vcl::TObject* /*Sender*/) {
    SetVisible(false);
    JUtilityForm->EnableAllButtons();
}

// The framework hides the dialog after this.
void TChgDevNameForm::FormClose(vcl::TObject* /*Sender*/, vcl::TCloseAction& /*Action*/) {
    JUtilityForm->EnableAllButtons();
}

void TChgDevNameForm::edtNewDevNameKeyPress(vcl::TObject* /*Sender*/, char& Key) {
    if (IsNameKey(Key)) return;
    Key = 0;
    devbind::ShowWarning(kAlphaNumeric);
}

void TChgDevNameForm::btnChgDevNOKClick(vcl::TObject* /*Sender*/) {
    const std::string deviceName = DeviceName;
    // Stored as typed, blanks kept; blanks alone are no name.
    const std::string name = edtNewDevName->Text();
    std::size_t begin = 0;
    while (begin < name.size() && IsBlankOrControl(name[begin])) ++begin;
    if (begin == name.size()) {
        devbind::ShowWarning(kEnterName);
        return;
    }
    if (!IsNameText(name)) {
        devbind::ShowWarning(kAlphaNumeric);
        edtNewDevName->Clear();
        return;
    }

    // The device is closed and the library freed before the box comes up.
    if (!RenameDevice(deviceName, name)) return;

    MessageBoxA(nullptr, kChanged, "OK", MB_OK);
    SetVisible(false);
    JUtilityForm->RefreshDeviceList();
    JUtilityForm->EnableAllButtons();
}
