#include "app/Main.h"

#include <windows.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "app/Hint.h"
#include "app/Jutility.h"
#include "app/devbind.h"
#include "kt4790/records.h"

TMainForm* MainForm = nullptr;
int FailedAttempts = 0;

namespace {

// The 512-byte buffer of this window, zero-filled before each use: the
// PasswordBlock of the check.
kt4790::PasswordBlock Buffer;

constexpr int kMaxFailedAttempts = 3;

// "OK" and "HINT" with no device selected.
constexpr const char* kSelectDevice = "Please select the device!";

#ifdef KT4790_ASPI
constexpr const char* kPasswordCorrect = "Password Correct!";
constexpr const char* kThirdFailure =
    "Password Failed 3 Times!!,The device has been stopped, please unplug and replug the device.";
#else
constexpr const char* kPasswordCorrect = "Password Correct.";
constexpr const char* kThirdFailure =
    "3 Times Password Incorrect! If the device never has not passed the check-password at present, the device will "
    "stop. Please unplug and replug the device.";
#endif

// The icon record of Windows 2000: the system takes the record's fields up
// to this size, whatever the record of the headers compiled with holds.
#ifdef _WIN64
// A 64-bit program has wider handles: the same record ends at dwInfoFlags.
constexpr DWORD kNotifyIconDataSize = offsetof(NOTIFYICONDATAA, dwInfoFlags) + sizeof(DWORD);
static_assert(sizeof(NOTIFYICONDATAA) >= kNotifyIconDataSize, "NOTIFYICONDATAA holds the Windows 2000 fields");
#else
constexpr DWORD kNotifyIconDataSize = 488;
#endif

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(NOTIFYICONDATAA) >= kNotifyIconDataSize, "NOTIFYICONDATAA holds the Windows 2000 fields");
static_assert(offsetof(NOTIFYICONDATAA, hWnd) == 4, "hWnd at 4");
static_assert(offsetof(NOTIFYICONDATAA, uID) == 8, "uID at 8");
static_assert(offsetof(NOTIFYICONDATAA, uFlags) == 12, "uFlags at 12");
static_assert(offsetof(NOTIFYICONDATAA, uCallbackMessage) == 16, "uCallbackMessage at 16");
static_assert(offsetof(NOTIFYICONDATAA, hIcon) == 20, "hIcon at 20");
static_assert(offsetof(NOTIFYICONDATAA, szTip) == 24, "szTip at 24");
static_assert(offsetof(NOTIFYICONDATAA, dwInfoFlags) == 484, "dwInfoFlags at 484, the last field of 488 bytes");
#endif

}  // namespace

TMainForm::TMainForm(vcl::TComponent* Owner) : vcl::TForm(Owner) {
    SetName("MainForm");
    SetCaption("USB Flash Disk Password Check");
    SetBorderStyle(vcl::bsDialog);
    SetBorderIcons(vcl::biSystemMenu | vcl::biMinimize);
    SetFormStyle(vcl::fsStayOnTop);
    SetClientWidth(289);
    SetClientHeight(209);

    labDocLine1 = vcl::PlaceControl<vcl::TLabel>(this, this, "labDocLine1", 16, 8, 257, 16);
    labDocLine1->SetCaption("Please select the device and input");
    labDocLine2 = vcl::PlaceControl<vcl::TLabel>(this, this, "labDocLine2", 16, 24, 257, 16);
    labDocLine2->SetCaption("the password. If the device doesn't");
    labDocLine3 = vcl::PlaceControl<vcl::TLabel>(this, this, "labDocLine3", 16, 40, 257, 16);
    labDocLine3->SetCaption("appear in the box, please check the ");
    labDocLine4 = vcl::PlaceControl<vcl::TLabel>(this, this, "labDocLine4", 16, 56, 257, 16);
    labDocLine4->SetCaption("device and click the Refresh button.");

    labDevice = vcl::PlaceControl<vcl::TLabel>(this, this, "labDevice", 16, 86, 57, 16);
    labDevice->SetCaption("Device:");
    cboxDeviceList = vcl::PlaceControl<vcl::TComboBox>(this, this, "cboxDeviceList", 80, 82, 121, 21);
    cboxDeviceList->SetTabOrder(0);
    btnRefresh = vcl::PlaceControl<vcl::TButton>(this, this, "btnRefresh", 208, 80, 65, 25);
    btnRefresh->SetCaption("Refresh");
    btnRefresh->SetTabOrder(1);

    labPassword = vcl::PlaceControl<vcl::TLabel>(this, this, "labPassword", 16, 118, 57, 16);
    labPassword->SetCaption("Password:");
    edtPwd = vcl::PlaceControl<vcl::TEdit>(this, this, "edtPwd", 80, 114, 121, 21);
    edtPwd->SetMaxLength(8);
    edtPwd->SetPasswordChar('*');
    edtPwd->SetTabOrder(2);

    rbtnAutoPopUp = vcl::PlaceControl<vcl::TCheckBox>(this, this, "rbtnAutoPopUp", 80, 144, 121, 17);
    rbtnAutoPopUp->SetCaption("Auto Pop-Up");
    rbtnAutoPopUp->SetTabOrder(6);

    btnOk = vcl::PlaceControl<vcl::TButton>(this, this, "btnOk", 16, 172, 75, 25);
    btnOk->SetCaption("OK");
    btnOk->SetTabOrder(3);
    btnHint = vcl::PlaceControl<vcl::TButton>(this, this, "btnHint", 107, 172, 75, 25);
    btnHint->SetCaption("HINT");
    btnHint->SetTabOrder(4);
    btnCancel = vcl::PlaceControl<vcl::TButton>(this, this, "btnCancel", 198, 172, 75, 25);
    btnCancel->SetCaption("CANCEL");
    btnCancel->SetTabOrder(5);

    ImgICON = vcl::PlaceControl<vcl::TImage>(this, this, "ImgICON", 240, 132, 32, 32);
    ImgICON->SetVisible(false);
    ImgICON->Icon().LoadFromResourceName("IMGICON");

    PopupMenu = new vcl::TPopupMenu(this);
    PopupMenu->SetName("PopupMenu");
    ShowSECURITY1 = new vcl::TMenuItem(this);
    ShowSECURITY1->SetName("ShowSECURITY1");
    ShowSECURITY1->SetCaption("Show SECURITY");
    PopupMenu->Add(ShowSECURITY1);
    ExitSECURITY1 = new vcl::TMenuItem(this);
    ExitSECURITY1->SetName("ExitSECURITY1");
    ExitSECURITY1->SetCaption("Exit SECURITY");
    PopupMenu->Add(ExitSECURITY1);

    btnHint->OnClick = vcl::Handler(this, &TMainForm::btnHintClick);
    btnOk->OnClick = vcl::Handler(this, &TMainForm::btnOkClick);
    edtPwd->OnKeyPress = vcl::Handler(this, &TMainForm::edtPwdKeyPress);
    btnCancel->OnClick = vcl::Handler(this, &TMainForm::btnCancelClick);
    btnRefresh->OnClick = vcl::Handler(this, &TMainForm::btnRefreshClick);
    rbtnAutoPopUp->OnClick = vcl::Handler(this, &TMainForm::rbtnAutoPopUpClick);
    ShowSECURITY1->OnClick = vcl::Handler(this, &TMainForm::ShowSECURITY1Click);
    ExitSECURITY1->OnClick = vcl::Handler(this, &TMainForm::ExitSECURITY1Click);
    OnCreate = vcl::Handler(this, &TMainForm::FormCreate);
    OnShow = vcl::Handler(this, &TMainForm::FormShow);
    OnDestroy = vcl::Handler(this, &TMainForm::FormDestroy);
}

void TMainForm::FormCreate(vcl::TObject* /*Sender*/) {
    CentreOnScreen();

    // A missing or mistyped "Pop" raises the registry error here: the
    // framework shows it, and the check box and the icon are left as they
    // are. The key is closed on that path too.
    int pop = 0;
    bool opened = false;
    {
        vcl::TRegistry Registry(KEY_ALL_ACCESS);
        Registry.SetRootKey(HKEY_LOCAL_MACHINE);
        if (Registry.OpenKey(REG_SETTINGS_KEY, false)) {
            opened = true;
            pop = Registry.ReadInteger("Pop");
        }
    }
    // Setting the check mark runs rbtnAutoPopUpClick, which stores "Pop" = 1.
    if (opened) rbtnAutoPopUp->SetChecked(pop != 0);

    SetTrayIcon(NIM_ADD);
    SetTrayIcon(NIM_MODIFY);
}

void TMainForm::FormShow(vcl::TObject* /*Sender*/) {
    FillDeviceList();
    edtPwd->SetFocus();
    FailedAttempts = 0;
}

void TMainForm::FormDestroy(vcl::TObject* /*Sender*/) { SetTrayIcon(NIM_DELETE); }

void TMainForm::LeaveStayOnTop() {
    if (FormStyle() == vcl::fsStayOnTop) {
        // The icon is registered with the window that the style change destroys.
        SetTrayIcon(NIM_DELETE);
        SetFormStyle(vcl::fsNormal);
    }
    // When the icon exists already the add fails and the update succeeds.
    SetTrayIcon(NIM_ADD);
    SetTrayIcon(NIM_MODIFY);
}

void TMainForm::btnOkClick(vcl::TObject* /*Sender*/) {
    LeaveStayOnTop();
    if (cboxDeviceList->ItemIndex() < 0) {
        devbind::ShowWarning(kSelectDevice);
        return;
    }

    devbind::DeviceSession session(devbind::Operation::MainOk);
    decltype(&CheckPwd) checkPwd = nullptr;
    if (!session.Load() || !session.BindFinder() || !session.Bind(devbind::kCheckPwd, checkPwd)) return;
    if (!session.Find(cboxDeviceList->Items()[cboxDeviceList->ItemIndex()].c_str())) return;

    const std::string& password = edtPwd->Text();
    Buffer = kt4790::PasswordBlock{};
    Buffer.SetCurrent(password.data(), password.size());
#ifdef KT4790_ASPI
    const bool accepted = checkPwd(session.HostAdapterId, session.TargetId, Buffer.bytes) != 0;
#else
    const bool accepted = checkPwd(session.DeviceHandle, Buffer.bytes) != 0;
    // The device is not needed any more, whatever the answer.
    CloseHandle(session.DeviceHandle);
    session.DeviceHandle = INVALID_HANDLE_VALUE;
#endif

    edtPwd->Clear();
    if (accepted) {
        FailedAttempts = 0;
        MessageBoxA(nullptr, kPasswordCorrect, "OK", MB_OK);
        SetVisible(false);
        // The utility window lists the devices itself when it is shown.
        JUtilityForm->SetVisible(true);
        return;
    }
    ++FailedAttempts;
    if (FailedAttempts < kMaxFailedAttempts) {
        devbind::ShowWarning("Password Incorrect!");
        return;
    }
    devbind::ShowWarning(kThirdFailure);
    // Closing the main window ends the program.
    Close();
}

void TMainForm::btnHintClick(vcl::TObject* /*Sender*/) {
    LeaveStayOnTop();
    if (cboxDeviceList->ItemIndex() < 0) {
        devbind::ShowWarning(kSelectDevice);
        return;
    }
    ShowPasswordHint(cboxDeviceList->Items()[cboxDeviceList->ItemIndex()].c_str());
}

void TMainForm::edtPwdKeyPress(vcl::TObject* /*Sender*/, char& Key) {
    if (Key != '\r') return;
    // Enter is the "OK" button; the edit does not take it.
    Key = 0;
    LeaveStayOnTop();
    btnOkClick(btnOk);
}

void TMainForm::btnCancelClick(vcl::TObject* /*Sender*/) {
    SetTrayIcon(NIM_DELETE);
    Close();
}

void TMainForm::btnRefreshClick(vcl::TObject* /*Sender*/) { FillDeviceList(); }

void TMainForm::rbtnAutoPopUpClick(vcl::TObject* /*Sender*/) {
    vcl::TRegistry Registry(KEY_ALL_ACCESS);
    Registry.SetRootKey(HKEY_LOCAL_MACHINE);
    if (!Registry.OpenKey(REG_SETTINGS_KEY, false)) return;
    Registry.ReadInteger("Pop");  // only that it can be read matters
    Registry.WriteInteger("Pop", rbtnAutoPopUp->Checked() ? 1 : 0);
}

void TMainForm::WMTrayIcon(vcl::TMessage& message) {
    switch (message.LParam) {
        case WM_LBUTTONDBLCLK:
            // The icon never leads past the password check: the utility
            // window comes back only after a correct password.
            if (!Visible() && !JUtilityForm->Visible()) Show();
            break;
        case WM_RBUTTONUP: {
            POINT cursor;
            if (GetCursorPos(&cursor)) {
                PopupMenu->SetPopupComponent(this);
                // The menu closes on a click elsewhere only when its owner
                // is the foreground window.
                SetForegroundWindow(Handle());
                PopupMenu->Popup(cursor.x, cursor.y);
            } else {
                Show();
            }
            break;
        }
        default:
            break;
    }
    TForm::Dispatch(message);
}

void TMainForm::ShowSECURITY1Click(vcl::TObject* /*Sender*/) {
    if (Visible() || JUtilityForm->Visible()) return;
    SetVisible(true);
    JUtilityForm->SetVisible(false);
}

void TMainForm::ExitSECURITY1Click(vcl::TObject* /*Sender*/) {
    SetTrayIcon(NIM_DELETE);
    vcl::Application->Terminate();
}

void TMainForm::Dispatch(vcl::TMessage& message) {
    if (message.Msg == WM_TRAYICON) {
        WMTrayIcon(message);
        return;
    }
    TForm::Dispatch(message);
}

int TMainForm::SetTrayIcon(DWORD operation) {
    NOTIFYICONDATAA data;
    std::memset(&data, 0, sizeof data);
    data.cbSize = kNotifyIconDataSize;
    data.hWnd = Handle();
    data.uID = ID_TRAYICON;
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = WM_TRAYICON;
    if (operation == NIM_MODIFY) {
        data.hIcon = ImgICON->Icon().Handle();
        std::strncpy(data.szTip, "SECURITY", sizeof data.szTip - 1);
    }
    return Shell_NotifyIconA(operation, &data) ? 1 : 0;
}

void FillDeviceList() {
    ListAttachedDeviceNames(MainForm->cboxDeviceList, devbind::Operation::MainDeviceList, ListedName::AsStored);
}
