#include "app/Fchkpwd.h"

#include "app/Hint.h"
#include "app/PasswordGate.h"
#include "app/devbind.h"
#include "format/Dformat.h"
#include "format/Sformat.h"

TJFormatChkPwdForm* JFormatChkPwdForm = nullptr;

TJFormatChkPwdForm::TJFormatChkPwdForm(vcl::TComponent* Owner) : vcl::TForm(Owner) {
    SetName("JFormatChkPwdForm");
    SetCaption("FORMAT  ");
    SetBorderStyle(vcl::bsDialog);
#ifdef KT4790_ASPI
    SetClientWidth(219);
    SetClientHeight(117);
    constexpr GateLayout kLayout{24, 172, 8, 80, 152, 65, "btnHint"};
    vcl::TButton*& hint = btnHint;
#else
    SetClientWidth(214);
    SetClientHeight(117);
    constexpr GateLayout kLayout{16, 180, 16, 80, 144, 57, "btnHINT"};
    vcl::TButton*& hint = btnHINT;
#endif
    PlaceGateControls(this, kLayout, labDoc, edtPasswd, btnOK, hint, btnCANCEL);
    edtPasswd->SetMaxLength(8);

    edtPasswd->OnKeyPress = vcl::Handler(this, &TJFormatChkPwdForm::edtPasswdKeyPress);
    btnOK->OnClick = vcl::Handler(this, &TJFormatChkPwdForm::btnOKClick);
#ifdef KT4790_ASPI
    btnHint->OnClick = vcl::Handler(this, &TJFormatChkPwdForm::btnHintClick);
#else
    btnHINT->OnClick = vcl::Handler(this, &TJFormatChkPwdForm::btnHINTClick);
#endif
    btnCANCEL->OnClick = vcl::Handler(this, &TJFormatChkPwdForm::btnCANCELClick);
    OnShow = vcl::Handler(this, &TJFormatChkPwdForm::FormShow);
    OnClose = vcl::Handler(this, &TJFormatChkPwdForm::FormClose);
}

void TJFormatChkPwdForm::FormShow(vcl::TObject* /*Sender*/) {
    CentreOnScreen();
    edtPasswd->Clear();
    edtPasswd->SetFocus();
}

// The framework hides the gate after this.
void TJFormatChkPwdForm::FormClose(vcl::TObject* /*Sender*/, vcl::TCloseAction& /*Action*/) {
    EnableUtilityWindow();
}

// Enter is the "OK" button; the key goes on to the edit as it came.
void TJFormatChkPwdForm::edtPasswdKeyPress(vcl::TObject* /*Sender*/, char& Key) {
    if (Key == '\r') btnOKClick(btnOK);
}

void TJFormatChkPwdForm::btnCANCELClick(vcl::TObject* /*Sender*/) {
    EnableUtilityWindow();
    SetVisible(false);
}

#ifdef KT4790_ASPI
void TJFormatChkPwdForm::btnHintClick(vcl::TObject* /*Sender*/) { ShowPasswordHint(DeviceName.c_str()); }
#else
void TJFormatChkPwdForm::btnHINTClick(vcl::TObject* /*Sender*/) { ShowPasswordHint(DeviceName.c_str()); }
#endif

void TJFormatChkPwdForm::btnOKClick(vcl::TObject* /*Sender*/) {
    // The format dialogs bind GetMediaSize and VSCReadSector themselves; a
    // library without them is refused here already.
    devbind::DeviceSession session(devbind::Operation::FormatGateOk);
    const GateAnswer answer =
        CheckGatePassword(session, DeviceName, edtPasswd->Text(), {devbind::kGetMediaSize, devbind::kVSCReadSector});
    if (answer == GateAnswer::Stopped) return;
    edtPasswd->Clear();
    if (answer == GateAnswer::Refused) {
        // The library goes before the answer is shown; the gate stays for
        // another try, as often as the user likes.
        session.Release();
        devbind::ShowWarning("Password Incorrect!");
        return;
    }
    ShowPasswordCorrect();

    // Both areas exist unless the standard area is none (0) or all of the
    // medium. The format dialog enables the function buttons when it closes.
    const bool twoAreas = PartitionWord != 0 && PartitionWord != TotalBlocks;
    SetVisible(false);
    if (twoAreas) {
        JDFormatForm->DeviceName = DeviceName;
        JDFormatForm->SetVisible(true);
    } else {
        JSFormatForm->DeviceName = DeviceName;
        JSFormatForm->SetVisible(true);
    }
}
