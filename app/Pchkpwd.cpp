#include "app/Pchkpwd.h"

#include "app/Hint.h"
#include "app/PasswordGate.h"
#include "app/devbind.h"
#include "format/Partition.h"

TJPartitionChkPwdForm* JPartitionChkPwdForm = nullptr;

namespace {

#ifdef KT4790_ASPI
constexpr const char* kPasswordIncorrect = "Password Incorrect.";
#else
constexpr const char* kPasswordIncorrect = "Password Incorrect!";
#endif

}  // namespace

TJPartitionChkPwdForm::TJPartitionChkPwdForm(vcl::TComponent* Owner) : vcl::TForm(Owner) {
    SetName("JPartitionChkPwdForm");
    SetCaption("PARTITION");
    SetBorderStyle(vcl::bsDialog);
#ifdef KT4790_ASPI
    SetClientWidth(222);
    SetClientHeight(117);
    constexpr GateLayout kLayout{24, 172, 8, 80, 152, 65, "btnHint"};
#else
    SetClientWidth(226);
    SetClientHeight(117);
    constexpr GateLayout kLayout{24, 177, 8, 80, 152, 65, "btnHint"};
#endif
    // The edit sets no length limit; the check refuses what cannot be a
    // password (PasswordGate.h).
    PlaceGateControls(this, kLayout, labDoc, edtPasswd, btnOK, btnHint, btnCANCEL);

    edtPasswd->OnKeyPress = vcl::Handler(this, &TJPartitionChkPwdForm::edtPasswdKeyPress);
    btnOK->OnClick = vcl::Handler(this, &TJPartitionChkPwdForm::btnOKClick);
    btnHint->OnClick = vcl::Handler(this, &TJPartitionChkPwdForm::btnHintClick);
    btnCANCEL->OnClick = vcl::Handler(this, &TJPartitionChkPwdForm::btnCANCELClick);
    OnShow = vcl::Handler(this, &TJPartitionChkPwdForm::FormShow);
    OnClose = vcl::Handler(this, &TJPartitionChkPwdForm::FormClose);
}

void TJPartitionChkPwdForm::FormShow(vcl::TObject* /*Sender*/) {
    CentreOnScreen();
    edtPasswd->Clear();
    edtPasswd->SetFocus();
}

// The framework hides the gate after this.
void TJPartitionChkPwdForm::FormClose(vcl::TObject* /*Sender*/, vcl::TCloseAction& /*Action*/) {
    EnableUtilityWindow();
}

// Enter is the "OK" button; the key goes on to the edit as it came.
void TJPartitionChkPwdForm::edtPasswdKeyPress(vcl::TObject* /*Sender*/, char& Key) {
    if (Key == '\r') btnOKClick(btnOK);
}

void TJPartitionChkPwdForm::btnCANCELClick(vcl::TObject* /*Sender*/) {
    EnableUtilityWindow();
    SetVisible(false);
}

void TJPartitionChkPwdForm::btnHintClick(vcl::TObject* /*Sender*/) { ShowPasswordHint(DeviceName.c_str()); }

// The library is freed when the press ends, after the answer, whichever it is.
void TJPartitionChkPwdForm::btnOKClick(vcl::TObject* /*Sender*/) {
    devbind::DeviceSession session(devbind::Operation::PartitionGateOk);
    const GateAnswer answer = CheckGatePassword(session, DeviceName, edtPasswd->Text(), {});
    if (answer == GateAnswer::Stopped) return;
    edtPasswd->Clear();
    if (answer == GateAnswer::Refused) {
        // The gate stays for another try, as often as the user likes.
        devbind::ShowWarning(kPasswordIncorrect);
        return;
    }
    ShowPasswordCorrect();
    // The partition dialog enables the function buttons when it closes.
    SetVisible(false);
    PartitionForm->DeviceName = DeviceName;
    PartitionForm->PasswordExists = 1;
    PartitionForm->SetVisible(true);
}
