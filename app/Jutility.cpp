#include "app/Jutility.h"

#include <windows.h>

#include <cstring>
#include <string>

#include "app/Main.h"
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

    vcl::TFont comic;
    comic.Name = "Comic Sans MS";
    comic.Height = -13;
    comic.Style = vcl::fsBold;

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
    CBoxDeviceList->Clear();
    AddAttachedDeviceNames(CBoxDeviceList, devbind::Operation::UtilityDeviceList, ListedName::Trimmed);
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

void AddAttachedDeviceNames(vcl::TComboBox* list, devbind::Operation operation, ListedName form) {
    AddNames(list, operation, form);
    if (list->Items().Count() > 0) list->SetItemIndex(0);
}
