#include "app/Chkpwd.h"

#include <windows.h>

#include "app/Hint.h"
#include "app/Jutility.h"
#include "app/devbind.h"
#include "kt4790/records.h"

TChkPwdForm* ChkPwdForm = nullptr;
int ChkPwdFailCount = 0;

namespace {

// The unit's 512-byte buffer: the PasswordBlock of the check.
kt4790::PasswordBlock Buffer;

constexpr int kFailuresBeforeStop = 3;

#ifdef KT4790_ASPI
constexpr const char* kPasswordCorrect = "Password Correct!";
constexpr const char* kStopWarning =
    "Password Failed 3 Times! The device has been stopped. Please unplug and replug the device.";
#else
constexpr const char* kPasswordCorrect = "Password Correct.";
constexpr const char* kStopWarning =
    "3 Times Password Incorrect! If the device never has not passed the check-password at present, the device will "
    "stop. Please unplug and replug the device.";
#endif

}  // namespace

TChkPwdForm::TChkPwdForm(vcl::TComponent* Owner) : vcl::TForm(Owner) {
    SetName("ChkPwdForm");
    SetCaption("Check Password");
    SetBorderStyle(vcl::bsDialog);
    SetClientWidth(241);
    SetClientHeight(113);

    labDoc = vcl::PlaceControl<vcl::TLabel>(this, this, "labDoc", 16, 12, 209, 16);
    labDoc->SetCaption("Please enter the password:");
    edtPwd = vcl::PlaceControl<vcl::TEdit>(this, this, "edtPwd", 16, 36, 209, 21);
    edtPwd->SetMaxLength(8);
    edtPwd->SetPasswordChar('*');
    edtPwd->SetTabOrder(2);

    btnOk = vcl::PlaceControl<vcl::TButton>(this, this, "btnOk", 16, 76, 65, 25);
    btnOk->SetCaption("OK");
    btnOk->SetTabOrder(0);
    btnHint = vcl::PlaceControl<vcl::TButton>(this, this, "btnHint", 88, 76, 65, 25);
    btnHint->SetCaption("HINT");
    btnHint->SetTabOrder(3);
    btnCancel = vcl::PlaceControl<vcl::TButton>(this, this, "btnCancel", 160, 76, 65, 25);
    btnCancel->SetCaption("CANCEL");
    btnCancel->SetTabOrder(1);

    edtPwd->OnKeyPress = vcl::Handler(this, &TChkPwdForm::edtPwdKeyPress);
    btnOk->OnClick = vcl::Handler(this, &TChkPwdForm::btnOkClick);
    btnHint->OnClick = vcl::Handler(this, &TChkPwdForm::btnHintClick);
    btnCancel->OnClick = vcl::Handler(this, &TChkPwdForm::btnCancelClick);
    OnShow = vcl::Handler(this, &TChkPwdForm::FormShow);
    OnClose = vcl::Handler(this, &TChkPwdForm::FormClose);
}

void TChkPwdForm::FormShow(vcl::TObject* /*Sender*/) {
    CentreOnScreen();
    edtPwd->Clear();
    edtPwd->SetFocus();
    ChkPwdFailCount = 0;
}

void TChkPwdForm::FormClose(vcl::TObject* /*Sender*/, vcl::TCloseAction& /*Action*/) {
    JUtilityForm->EnableAllButtons();
}

void TChkPwdForm::edtPwdKeyPress(vcl::TObject* /*Sender*/, char& Key) {
    if (Key != '\r') return;
    // Enter is the "OK" button; the edit does not take it.
    Key = 0;
    btnOkClick(btnOk);
}

void TChkPwdForm::btnOkClick(vcl::TObject* /*Sender*/) {
    // The block is ready before anything is loaded.
    const std::string password = edtPwd->Text();
    Buffer = kt4790::PasswordBlock{};
    Buffer.SetCurrent(password.data(), password.size());

    // The session closes the device handle and frees the library when the
    // press ends, whatever the path.
    devbind::DeviceSession session(devbind::Operation::CheckPwdOk);
    decltype(&CheckPwd) checkPwd = nullptr;
    if (!session.Load() || !session.BindFinder() || !session.Bind(devbind::kCheckPwd, checkPwd)) return;
    if (!session.Find(DeviceName.c_str())) return;

#ifdef KT4790_ASPI
    const bool accepted = checkPwd(session.HostAdapterId, session.TargetId, Buffer.bytes) != 0;
#else
    const bool accepted = checkPwd(session.DeviceHandle, Buffer.bytes) != 0;
#endif
    if (accepted) {
        MessageBoxA(nullptr, kPasswordCorrect, "OK", MB_OK);
        SetVisible(false);
        JUtilityForm->EnableAllButtons();
        ChkPwdFailCount = 0;
        return;
    }
    edtPwd->Clear();
    ++ChkPwdFailCount;
    devbind::ShowWarning(ChkPwdFailCount < kFailuresBeforeStop ? "Password Incorrect!" : kStopWarning);
}

void TChkPwdForm::btnHintClick(vcl::TObject* /*Sender*/) { ShowPasswordHint(DeviceName.c_str()); }

void TChkPwdForm::btnCancelClick(vcl::TObject* /*Sender*/) {
    SetVisible(false);
    JUtilityForm->EnableAllButtons();
}
