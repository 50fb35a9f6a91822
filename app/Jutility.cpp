#include "app/Jutility.h"

#include "app/Main.h"

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

    btnMini->OnClick = vcl::Handler(this, &TJUtilityForm::btnMiniClick);
    OnCreate = vcl::Handler(this, &TJUtilityForm::FormCreate);
    OnShow = vcl::Handler(this, &TJUtilityForm::FormShow);
    OnDestroy = vcl::Handler(this, &TJUtilityForm::FormDestroy);
}

// At start-up the password check comes first: showing the main window runs
// its show handler, which lists the devices.
void TJUtilityForm::FormCreate(vcl::TObject* /*Sender*/) {
    SetVisible(false);
    MainForm->SetVisible(true);
}

void TJUtilityForm::FormShow(vcl::TObject* /*Sender*/) { CentreOnScreen(); }

// The main window deletes the icon again when it goes; that second delete
// finds nothing.
void TJUtilityForm::FormDestroy(vcl::TObject* /*Sender*/) { MainForm->SetTrayIcon(NIM_DELETE); }

// Only this window goes: the program lives on in its notification-area icon.
void TJUtilityForm::btnMiniClick(vcl::TObject* /*Sender*/) { SetVisible(false); }

void TJUtilityForm::Dispatch(vcl::TMessage& message) {
    if (message.Msg == WM_TRAYICON) {
        MainForm->WMTrayIcon(message);
        return;
    }
    TForm::Dispatch(message);
}
