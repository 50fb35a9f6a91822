#include "app/Jutility.h"

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "app/Chgdevname.h"
#include "app/Chgpwd.h"
#include "app/Chkpwd.h"
#include "app/Clearpwd.h"
#include "app/Descriptor.h"
#include "app/Fchkpwd.h"
#include "app/Pchkpwd.h"
#include "app/Fonts.h"
#include "app/Main.h"
#include "app/Setpwd.h"
#include "format/Copyfile.h"
#include "format/Dformat.h"
#include "format/Partition.h"
#include "format/Sformat.h"
#include "kt4790/geometry.h"
#include "kt4790/records.h"

TJUtilityForm* JUtilityForm = nullptr;

namespace {

#ifdef KT4790_ASPI
// "COPY SYSTEM FILES" lies inside its group box, which grows to hold it.
constexpr int kClientHeight = 418;
constexpr int kGroupBoxHeight = 369;
constexpr int kCopyFileTop = 320;
constexpr int kBottomButtonsTop = 384;
#else
// "COPY SYSTEM FILES" starts below the visible part of its group box.
constexpr int kClientHeight = 370;
constexpr int kGroupBoxHeight = 321;
constexpr int kCopyFileTop = 328;
constexpr int kBottomButtonsTop = 336;
#endif

}  // namespace

TJUtilityForm::TJUtilityForm(vcl::TComponent* Owner) : vcl::TForm(Owner) {
    SetName("JUtilityForm");
    SetCaption("USB Flash Disk Utility Menu");
    SetBorderStyle(vcl::bsDialog);
    SetBorderIcons(vcl::biSystemMenu);
    SetClientWidth(306);
    SetClientHeight(kClientHeight);

    const vcl::TFont comic = ComicSansBold();

    GroupBox1 = vcl::PlaceControl<vcl::TGroupBox>(this, this, "GroupBox1", 8, 0, 289, kGroupBoxHeight);
    GroupBox1->SetTabOrder(0);
    labDeviceList = vcl::PlaceControl<vcl::TLabel>(this, GroupBox1, "labDeviceList", 8, 24, 69, 19);
    labDeviceList->SetCaption("DeviceList:");
    labDeviceList->SetFont(comic);
    CBoxDeviceList = vcl::PlaceControl<vcl::TComboBox>(this, GroupBox1, "CBoxDeviceList", 88, 22, 121, 21);
    CBoxDeviceList->SetTabOrder(0);

    struct ButtonPlace {
        vcl::TButton*& button;
        const char* name;
        const char* caption;
        int left, top, width, height, tabOrder;
    };
    const ButtonPlace groupButtons[] = {
        {btnRefresh, "btnRefresh", "Refresh", 216, 16, 65, 25, 1},
        {btnSetNChkPwd, "btnSetNChkPwd", "SET/CHECK PASSWORD", 18, 56, 249, 33, 2},
        {btnChangPwd, "btnChangPwd", "CHANGE PASSWORD", 18, 100, 249, 33, 3},
        {btnClearPwd, "btnClearPwd", "CLEAR PASSWORD", 18, 144, 249, 33, 4},
        {btnChangDevName, "btnChangDevName", "CHANGE DEVICE NAME", 18, 188, 249, 33, 5},
        {btnFormat, "btnFormat", "FORMAT", 18, 232, 249, 33, 6},
        {btnPartition, "btnPartition", "PARTITION", 18, 276, 249, 33, 7},
        {btnCopyFile, "btnCopyFile", "COPY SYSTEM FILES", 18, kCopyFileTop, 249, 33, 8},
    };
    for (const ButtonPlace& place : groupButtons) {
        place.button = vcl::PlaceControl<vcl::TButton>(this, GroupBox1, place.name, place.left, place.top, place.width,
                                           place.height);
        place.button->SetCaption(place.caption);
        place.button->SetFont(comic);
        place.button->SetTabOrder(place.tabOrder);
    }

    btnClose = vcl::PlaceControl<vcl::TButton>(this, this, "btnClose", 232, kBottomButtonsTop, 65, 25);
    btnClose->SetCaption("Close");
    btnClose->SetFont(comic);
    btnClose->SetTabOrder(1);
    // Owner-drawn: it sends WM_DRAWITEM to this window, which the framework
    // answers by painting the button.
    btnMini = vcl::PlaceControl<vcl::TBitBtn>(this, this, "btnMini", 120, kBottomButtonsTop, 97, 25);
    btnMini->SetCaption("Minimize");
    btnMini->SetFont(comic);
    btnMini->SetTabOrder(2);

    // The password backup dialog asks for its file through this one: no
    // filter, no default extension.
    SaveDialog = new vcl::TSaveDialog(this);
    SaveDialog->SetName("SaveDialog");

    btnRefresh->OnClick = vcl::Handler(this, &TJUtilityForm::btnRefreshClick);
    btnClose->OnClick = vcl::Handler(this, &TJUtilityForm::btnCloseClick);
    btnMini->OnClick = vcl::Handler(this, &TJUtilityForm::btnMiniClick);
    btnSetNChkPwd->OnClick = vcl::Handler(this, &TJUtilityForm::btnSetNChkPwdClick);
    btnChangPwd->OnClick = vcl::Handler(this, &TJUtilityForm::btnChangPwdClick);
    btnClearPwd->OnClick = vcl::Handler(this, &TJUtilityForm::btnClearPwdClick);
    btnChangDevName->OnClick = vcl::Handler(this, &TJUtilityForm::btnChangDevNameClick);
    btnFormat->OnClick = vcl::Handler(this, &TJUtilityForm::btnFormatClick);
    btnPartition->OnClick = vcl::Handler(this, &TJUtilityForm::btnPartitionClick);
    btnCopyFile->OnClick = vcl::Handler(this, &TJUtilityForm::btnCopyFileClick);
    OnCreate = vcl::Handler(this, &TJUtilityForm::FormCreate);
    OnShow = vcl::Handler(this, &TJUtilityForm::FormShow);
    OnClose = vcl::Handler(this, &TJUtilityForm::FormClose);
    OnDestroy = vcl::Handler(this, &TJUtilityForm::FormDestroy);
}

// At start-up the password check comes first: showing the main window runs
// its show handler, which lists the devices.
void TJUtilityForm::FormCreate(vcl::TObject* /*Sender*/) {
    SetVisible(false);
    MainForm->SetVisible(true);
}

// Shown after each correct password: the devices may have changed meanwhile.
void TJUtilityForm::FormShow(vcl::TObject* /*Sender*/) {
    CentreOnScreen();
    CBoxDeviceList->SetFocus();
    RefreshDeviceList();
}

// The close box ends the program, whatever dialog is open.
void TJUtilityForm::FormClose(vcl::TObject* /*Sender*/, vcl::TCloseAction& /*Action*/) {
    vcl::Application->Terminate();
}

// The main window deletes the icon again when it goes; that second delete
// finds nothing.
void TJUtilityForm::FormDestroy(vcl::TObject* /*Sender*/) { MainForm->SetTrayIcon(NIM_DELETE); }

void TJUtilityForm::btnRefreshClick(vcl::TObject* /*Sender*/) { RefreshDeviceList(); }

// "Close" ends the program, whatever dialog is open; none is asked first.
void TJUtilityForm::btnCloseClick(vcl::TObject* /*Sender*/) { vcl::Application->Terminate(); }

// Only this window goes: the program lives on in its notification-area icon.
void TJUtilityForm::btnMiniClick(vcl::TObject* /*Sender*/) { SetVisible(false); }

void TJUtilityForm::Dispatch(vcl::TMessage& message) {
    if (message.Msg == WM_TRAYICON) {
        MainForm->WMTrayIcon(message);
        return;
    }
    TForm::Dispatch(message);
}

std::array<vcl::TButton*, 7> TJUtilityForm::FunctionButtons() const {
    return {btnChangDevName, btnChangPwd, btnClearPwd, btnFormat, btnSetNChkPwd, btnPartition, btnCopyFile};
}

void TJUtilityForm::EnableAllButtons() {
    for (vcl::TButton* button : FunctionButtons()) button->SetEnabled(true);
}

void TJUtilityForm::DisableAllButtons() {
    for (vcl::TButton* button : FunctionButtons()) button->SetEnabled(false);
}

void TJUtilityForm::RefreshDeviceList() {
    ListAttachedDeviceNames(CBoxDeviceList, devbind::Operation::UtilityDeviceList, ListedName::Trimmed);
}

namespace {

// Without the blanks and control characters at either end.
std::string TrimBlanks(const std::string& text) {
    const auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    std::string::size_type first = 0;
    std::string::size_type end = text.size();
    while (first < end && blank(text[first])) ++first;
    while (end > first && blank(text[end - 1])) --end;
    return text.substr(first, end - first);
}

// One entry's name in the system's ANSI code page. The length byte comes
// from the device: at most the entry's 32 name bytes are read, and the
// wide text always ends in a zero character.
std::string AnsiName(const kt4790::DeviceNameEntry& entry) {
    const unsigned length = entry.length < kt4790::kMaxNameBytes ? entry.length : kt4790::kMaxNameBytes;
    WCHAR wide[kt4790::kMaxNameBytes / 2 + 1];
    std::memset(wide, 0, sizeof wide);
    std::memcpy(wide, entry.name, length);
    // Room for three bytes per character, the most any ANSI code page needs
    // for a UTF-16 unit, and the terminating zero.
    char ansi[3 * (kt4790::kMaxNameBytes / 2) + 1];
    std::memset(ansi, 0, sizeof ansi);
    WideCharToMultiByte(CP_ACP, 0, wide, -1, ansi, sizeof ansi, nullptr, nullptr);
    ansi[sizeof ansi - 1] = 0;
    return ansi;
}

// Adds the listed names; a missing library or procedure adds none.
void AddNames(vcl::TComboBox* list, devbind::Operation operation, ListedName form) {
    devbind::DeviceSession session(operation);
    decltype(&GetAllDeviceName) getAllDeviceName = nullptr;
    if (!session.Load() || !session.Bind(devbind::kGetAllDeviceName, getAllDeviceName)) return;

    char filter[16];
    devbind::DeviceSession::CopyRevisionFilter(filter);
    kt4790::DeviceNameEntry table[kt4790::kDeviceNameTableCapacity];
    std::memset(table, 0, sizeof table);
    BYTE count = kt4790::kDeviceNameTableCapacity;
    if (getAllDeviceName(filter, reinterpret_cast<BYTE*>(table), &count) == 0) return;
    // The library reports the count; never read past the table.
    const unsigned listed = count < kt4790::kDeviceNameTableCapacity ? count : kt4790::kDeviceNameTableCapacity;
    for (unsigned k = 0; k < listed; ++k) {
        const std::string name = AnsiName(table[k]);
        list->Items().Add(form == ListedName::Trimmed ? TrimBlanks(name) : name);
    }
}

}  // namespace

void ListAttachedDeviceNames(vcl::TComboBox* list, devbind::Operation operation, ListedName form) {
    if (devbind::LongOperation::Running()) return;
    list->Clear();
    AddNames(list, operation, form);
    if (list->Items().Count() > 0) list->SetItemIndex(0);
}

// --- the openers of the function dialogs -------------------------------------------------
//
// Each opener reads what its choice depends on in one self-contained use of
// the library, lets go of the device, and only then disables the function
// buttons and shows the dialog (not modal: the list, "Refresh", "Close" and
// "Minimize" stay usable). A failure shows one message and opens nothing,
// so the buttons stay enabled.

namespace {

constexpr const char* kSelectDevice = "Please select the device!!";
constexpr const char* kOneArea =
    "Cannot store password into one partition security disk. You must first set 1MB or more standard disk partition "
    "to store password.";

#ifndef KT4790_ASPI
// Reply bytes the pass-through library copies for the password openers.
constexpr BYTE kChipVersionLength = 4;
constexpr BYTE kMediaSizeLength = 4;
constexpr BYTE kPwdExistLength = 8;
#endif

// The procedures the two password openers bind.
struct PasswordOpenerProcs {
    decltype(&PwdExist) pwdExist = nullptr;
    decltype(&GetChipVersion) getChipVersion = nullptr;
    decltype(&GetMediaSize) getMediaSize = nullptr;
    decltype(&VSCReadSector) vscReadSector = nullptr;
};

// What the device said, all through the one sector buffer.
struct DeviceState {
    BYTE chipCode = 0;
    kt4790::MediaSizeReply media;
    std::uint16_t partitionWord = 0;
};

// The GetMediaSize and GetChipVersion of the password openers, in the order
// the build sends them. A failed command gives the long not-found message.
bool ReadChipAndMedia(const devbind::DeviceSession& session, const PasswordOpenerProcs& procs,
                      BYTE (&sector)[kt4790::kSectorSize], DeviceState& state) {
#ifdef KT4790_ASPI
    if (procs.getChipVersion(session.HostAdapterId, session.TargetId, sector) == 0) {
        session.ShowNotFound();
        return false;
    }
    state.chipCode = sector[0];
    if (procs.getMediaSize(session.HostAdapterId, session.TargetId, sector) == 0) {
        session.ShowNotFound();
        return false;
    }
    state.media = kt4790::ParseMediaSizeReply(sector);
#else
    if (procs.getMediaSize(session.DeviceHandle, sector, kMediaSizeLength) == 0) {
        session.ShowNotFound();
        return false;
    }
    state.media = kt4790::ParseMediaSizeReply(sector);
    if (procs.getChipVersion(session.DeviceHandle, sector, kChipVersionLength) == 0) {
        session.ShowNotFound();
        return false;
    }
    state.chipCode = sector[0];
#endif
    return true;
}

// Finds the DescriptorSector, searching the whole medium on chip 0x30, and
// reads its PartitionWord. An unknown chip gives "Please update the
// program!"; a failed read on chip 0x13 the long not-found message, on chip
// 0x30 the short one (the long one on ASPI).
bool ReadPartitionWord(const devbind::DeviceSession& session, decltype(&VSCReadSector) vscReadSector,
                       BYTE (&sector)[kt4790::kSectorSize], DeviceState& state) {
    const DescriptorSearch search =
        LocateDescriptorSector(session, vscReadSector, sector, state.chipCode, state.media, SearchLimit::WholeMedium);
    switch (search) {
        case DescriptorSearch::Found:
            state.partitionWord = kt4790::PartitionWord(sector);
            return true;
        case DescriptorSearch::UnsupportedChip:
            ShowSearchFailure(search);
            return false;
        case DescriptorSearch::ReadFailed:
        case DescriptorSearch::NotFound:
            break;
    }
#ifdef KT4790_ASPI
    session.ShowNotFound();
#else
    if (state.chipCode == kt4790::kChipCode13) {
        session.ShowNotFound();
    } else {
        devbind::ShowDeviceNotFound();
    }
#endif
    return false;
}

enum class PasswordOpener { SetOrCheck, Change };

// The device part of the two password openers: load, bind in the opener's
// order, find, chip and media, PartitionWord; set/check then asks whether a
// password is set, and the ASPI change opener sends PwdExist without using
// the answer. False after any failure, whose message (if any) was shown.
// Everything is let go before it returns.
bool ReadPasswordState(PasswordOpener opener, const std::string& deviceName, DeviceState& state,
                       bool& passwordSet) {
    devbind::DeviceSession session(devbind::Operation::PasswordOpener);
    PasswordOpenerProcs procs;
    if (!session.Load()) return false;
#ifdef KT4790_ASPI
    const bool bound =
        opener == PasswordOpener::SetOrCheck
            ? session.Bind(devbind::kPwdExist, procs.pwdExist) &&
                  session.Bind(devbind::kGetMediaSize, procs.getMediaSize) &&
                  session.Bind(devbind::kGetChipVersion, procs.getChipVersion) &&
                  session.Bind(devbind::kVSCReadSector, procs.vscReadSector) && session.BindFinder()
            : session.Bind(devbind::kPwdExist, procs.pwdExist) &&
                  session.Bind(devbind::kVSCReadSector, procs.vscReadSector) &&
                  session.Bind(devbind::kGetMediaSize, procs.getMediaSize) &&
                  session.Bind(devbind::kGetChipVersion, procs.getChipVersion) && session.BindFinder();
#else
    // Both openers bind alike; the change opener never sends PwdExist.
    const bool bound = session.Bind(devbind::kPwdExist, procs.pwdExist) &&
                       session.Bind(devbind::kGetChipVersion, procs.getChipVersion) &&
                       session.Bind(devbind::kGetMediaSize, procs.getMediaSize) &&
                       session.Bind(devbind::kVSCReadSector, procs.vscReadSector) && session.BindFinder();
#endif
    if (!bound || !session.Find(deviceName.c_str())) return false;

    BYTE sector[kt4790::kSectorSize];
    std::memset(sector, 0, sizeof sector);
    if (!ReadChipAndMedia(session, procs, sector, state)) return false;
    if (!ReadPartitionWord(session, procs.vscReadSector, sector, state)) return false;

    passwordSet = false;
    if (opener == PasswordOpener::SetOrCheck) {
#ifdef KT4790_ASPI
        const bool answered = procs.pwdExist(session.HostAdapterId, session.TargetId, sector) != 0;
#else
        const bool answered = procs.pwdExist(session.DeviceHandle, sector, kPwdExistLength) != 0;
#endif
        // No answer: the opener ends without a message.
        if (!answered) return false;
        passwordSet = sector[0] == 1;
    } else {
#ifdef KT4790_ASPI
        procs.pwdExist(session.HostAdapterId, session.TargetId, sector);
#endif
    }
    return true;
}

}  // namespace

bool TJUtilityForm::SelectedDevice(std::string& name) const {
    const int index = CBoxDeviceList->ItemIndex();
    if (index < 0) {
        devbind::ShowWarning(kSelectDevice);
        return false;
    }
    name = CBoxDeviceList->Items()[index];
    return true;
}

// A device with a password gets the check dialog, whatever its partitions.
// Without one, the set dialog opens only where the password can be kept:
// on a medium with a standard area.
void TJUtilityForm::btnSetNChkPwdClick(vcl::TObject* /*Sender*/) {
    std::string deviceName;
    if (!SelectedDevice(deviceName)) return;
    DeviceState state;
    bool passwordSet = false;
    if (!ReadPasswordState(PasswordOpener::SetOrCheck, deviceName, state, passwordSet)) return;

    if (passwordSet) {
        ChkPwdForm->DeviceName = deviceName;
        ChkPwdForm->SetVisible(true);
        DisableAllButtons();
    } else if (state.partitionWord != 0) {
        SetPwdForm->DeviceName = deviceName;
        SetPwdForm->SetVisible(true);
        DisableAllButtons();
    } else {
        devbind::ShowWarning(kOneArea);
    }
}

// Whether a password is set plays no part: the change dialog finds out.
void TJUtilityForm::btnChangPwdClick(vcl::TObject* /*Sender*/) {
    std::string deviceName;
    if (!SelectedDevice(deviceName)) return;
    DeviceState state;
    bool passwordSet = false;
    if (!ReadPasswordState(PasswordOpener::Change, deviceName, state, passwordSet)) return;

    if (state.partitionWord == 0) {
        devbind::ShowWarning(kOneArea);
        return;
    }
    DisableAllButtons();
    ChgPwdForm->DeviceName = deviceName;
    ChgPwdForm->SetVisible(true);
}

void TJUtilityForm::btnClearPwdClick(vcl::TObject* /*Sender*/) {
    std::string deviceName;
    if (!SelectedDevice(deviceName)) return;
    DisableAllButtons();
    ClearPasswdForm->DeviceName = deviceName;
    ClearPasswdForm->SetVisible(true);
}

// The rename dialog reads its DeviceName only when its "OK" is pressed, so
// it is given after the dialog is shown.
void TJUtilityForm::btnChangDevNameClick(vcl::TObject* /*Sender*/) {
    std::string deviceName;
    if (!SelectedDevice(deviceName)) return;
    DisableAllButtons();
    ChgDevNameForm->SetVisible(true);
    ChgDevNameForm->DeviceName = deviceName;
}

// --- FORMAT and PARTITION ------------------------------------------------------------------

namespace {

#ifndef KT4790_ASPI
// Reply bytes the pass-through library copies for these two openers.
constexpr DWORD kFormatChipVersionLength = 8;
constexpr BYTE kFormatMediaSizeLength = 8;
constexpr BYTE kPartitionMediaSizeLength = 16;
#endif

// The procedures of the two openers.
struct FormatOpenerProcs {
    decltype(&PwdExist) pwdExist = nullptr;
    decltype(&GetChipVersion) getChipVersion = nullptr;
    decltype(&GetMediaSize) getMediaSize = nullptr;
    decltype(&VSCReadSector) vscReadSector = nullptr;
};

// One query of the openers into `sector`; a failure shows the long
// not-found message.
#ifdef KT4790_ASPI
template <typename Proc>
bool Ask(const devbind::DeviceSession& session, Proc proc, BYTE (&sector)[kt4790::kSectorSize]) {
    if (proc(session.HostAdapterId, session.TargetId, sector) != 0) return true;
    session.ShowNotFound();
    return false;
}
#else
template <typename Proc, typename Length>
bool Ask(const devbind::DeviceSession& session, Proc proc, BYTE (&sector)[kt4790::kSectorSize], Length length) {
    if (proc(session.DeviceHandle, sector, length) != 0) return true;
    session.ShowNotFound();
    return false;
}
#endif

bool KnownChip(BYTE chipCode) {
    if (chipCode == kt4790::kChipCode13 || chipCode == kt4790::kChipCode30) return true;
    devbind::ShowWarning("Please update the program!");
    return false;
}

// The device part of "FORMAT": chip, media, PartitionWord and password
// state, in the order each build asks. False after a failure, whose message
// was shown; everything is let go before it returns.
bool ReadFormatState(const std::string& deviceName, DeviceState& state, std::uint16_t& totalBlocks,
                     bool& passwordSet) {
    devbind::DeviceSession session(devbind::Operation::FormatOpener);
    FormatOpenerProcs procs;
    if (!session.Load()) return false;
#ifdef KT4790_ASPI
    const bool bound = session.BindFinder() && session.Bind(devbind::kPwdExist, procs.pwdExist) &&
                       session.Bind(devbind::kGetChipVersion, procs.getChipVersion) &&
                       session.Bind(devbind::kGetMediaSize, procs.getMediaSize) &&
                       session.Bind(devbind::kVSCReadSector, procs.vscReadSector);
#else
    const bool bound = session.BindFinder() && session.Bind(devbind::kPwdExist, procs.pwdExist) &&
                       session.Bind(devbind::kGetMediaSize, procs.getMediaSize) &&
                       session.Bind(devbind::kVSCReadSector, procs.vscReadSector) &&
                       session.Bind(devbind::kGetChipVersion, procs.getChipVersion);
#endif
    if (!bound || !session.Find(deviceName.c_str())) return false;

    BYTE sector[kt4790::kSectorSize];
    std::memset(sector, 0, sizeof sector);
#ifdef KT4790_ASPI
    if (!Ask(session, procs.getChipVersion, sector)) return false;
    state.chipCode = sector[0];
    if (!Ask(session, procs.getMediaSize, sector)) return false;
    state.media = kt4790::ParseMediaSizeReply(sector);
    if (!KnownChip(state.chipCode)) return false;
#else
    if (!Ask(session, procs.getChipVersion, sector, kFormatChipVersionLength)) return false;
    state.chipCode = sector[0];
    if (!KnownChip(state.chipCode)) return false;
    if (!Ask(session, procs.getMediaSize, sector, kFormatMediaSizeLength)) return false;
    state.media = kt4790::ParseMediaSizeReply(sector);
#endif
    // Kept in 16 bits, the width of the PartitionWord it is compared with.
    totalBlocks = static_cast<std::uint16_t>(kt4790::MakeMediaGeometry(state.media).LogicalBlocks);
    if (!ReadPartitionWord(session, procs.vscReadSector, sector, state)) return false;
#ifdef KT4790_ASPI
    if (!Ask(session, procs.pwdExist, sector)) return false;
#else
    if (!Ask(session, procs.pwdExist, sector, kPwdExistLength)) return false;
#endif
    passwordSet = sector[0] == 1;
    return true;
}

// The device part of "PARTITION": KT4790CAP asks for the chip first;
// KT4790MCAP makes no chip test. The partition dialog's ZoneCount is stored
// as soon as the media size is known, whatever follows.
bool ReadPartitionState(const std::string& deviceName, bool& passwordSet) {
    devbind::DeviceSession session(devbind::Operation::FormatOpener);
    FormatOpenerProcs procs;
    if (!session.Load()) return false;
#ifdef KT4790_ASPI
    const bool bound = session.BindFinder() && session.Bind(devbind::kPwdExist, procs.pwdExist) &&
                       session.Bind(devbind::kGetMediaSize, procs.getMediaSize);
#else
    const bool bound = session.BindFinder() && session.Bind(devbind::kPwdExist, procs.pwdExist) &&
                       session.Bind(devbind::kGetMediaSize, procs.getMediaSize) &&
                       session.Bind(devbind::kGetChipVersion, procs.getChipVersion);
#endif
    if (!bound || !session.Find(deviceName.c_str())) return false;

    BYTE sector[kt4790::kSectorSize];
    std::memset(sector, 0, sizeof sector);
#ifdef KT4790_ASPI
    if (!Ask(session, procs.getMediaSize, sector)) return false;
    PartitionForm->ZoneCount = kt4790::ParseMediaSizeReply(sector).zoneCount;
    if (!Ask(session, procs.pwdExist, sector)) return false;
#else
    if (!Ask(session, procs.getChipVersion, sector, kFormatChipVersionLength)) return false;
    if (!KnownChip(sector[0])) return false;
    if (!Ask(session, procs.getMediaSize, sector, kPartitionMediaSizeLength)) return false;
    PartitionForm->ZoneCount = kt4790::ParseMediaSizeReply(sector).zoneCount;
    if (!Ask(session, procs.pwdExist, sector, kPwdExistLength)) return false;
#endif
    passwordSet = sector[0] == 1;
    return true;
}

}  // namespace

// A protected medium goes to the format gate, which chooses the dialog once
// the password is right; otherwise the split decides: a medium with a
// standard and a security area gets the two-area dialog. The format dialogs
// read their DeviceName only when "Start" is pressed, so it is given after
// they are shown.
void TJUtilityForm::btnFormatClick(vcl::TObject* /*Sender*/) {
    std::string deviceName;
    if (!SelectedDevice(deviceName)) return;
    DeviceState state;
    std::uint16_t totalBlocks = 0;
    bool passwordSet = false;
    if (!ReadFormatState(deviceName, state, totalBlocks, passwordSet)) return;

    if (passwordSet) {
        JFormatChkPwdForm->DeviceName = deviceName;
        JFormatChkPwdForm->PartitionWord = state.partitionWord;
        JFormatChkPwdForm->TotalBlocks = totalBlocks;
        JFormatChkPwdForm->SetVisible(true);
        DisableAllButtons();
    } else if (state.partitionWord != 0 && state.partitionWord != totalBlocks) {
        DisableAllButtons();
        JDFormatForm->SetVisible(true);
        JDFormatForm->DeviceName = deviceName;
    } else {
        DisableAllButtons();
        JSFormatForm->SetVisible(true);
        JSFormatForm->DeviceName = deviceName;
    }
}

void TJUtilityForm::btnPartitionClick(vcl::TObject* /*Sender*/) {
    std::string deviceName;
    if (!SelectedDevice(deviceName)) return;
    bool passwordSet = false;
    if (!ReadPartitionState(deviceName, passwordSet)) return;

    if (passwordSet) {
        JPartitionChkPwdForm->DeviceName = deviceName;
        JPartitionChkPwdForm->SetVisible(true);
    } else {
        PartitionForm->DeviceName = deviceName;
        PartitionForm->PasswordExists = 0;
        PartitionForm->SetVisible(true);
    }
    DisableAllButtons();
}

// The DOS system files exist only on Windows 98 and ME. A system whose
// version cannot be read is not refused. The dialog works on files alone,
// so no device is selected or asked; while it is open the whole window is
// disabled, and the dialog enables it again when it goes.
void TJUtilityForm::btnCopyFileClick(vcl::TObject* /*Sender*/) {
    OSVERSIONINFOA version;
    std::memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    if (GetVersionExA(&version) && version.dwPlatformId != VER_PLATFORM_WIN32_WINDOWS) {
        devbind::ShowWarning("You can only copy system files under WIN98 or ME.");
        return;
    }
    SetEnabled(false);
    CopyFileForm->SetVisible(true);
}
