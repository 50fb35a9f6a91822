#include "app/Chgpwd.h"

#include <windows.h>

#include <string>

#include "app/Descriptor.h"
#include "app/Hint.h"
#include "app/Jsavedialog.h"
#include "app/Jutility.h"
#include "app/devbind.h"
#include "kt4790/records.h"

TChgPwdForm* ChgPwdForm = nullptr;

namespace {

// The 512-byte buffer of this dialog: the ChipVersionReply and
// MediaSizeReply, the spare areas of the search and the DescriptorSector,
// then, zero-filled again, the PasswordBlock.
kt4790::PasswordBlock Buffer;

constexpr const char* kMismatch = "Password Incorrect! Please reenter the password.";
#ifdef KT4790_ASPI
constexpr const char* kPasswordRefused = "Password incorrect! Please reenter the password.";
#else
constexpr const char* kPasswordRefused = "Password Incorrect! Please reenter the password.";
#endif

}  // namespace

TChgPwdForm::TChgPwdForm(vcl::TComponent* Owner) : vcl::TForm(Owner) {
    SetName("ChgPwdForm");
    SetCaption("Change Password");
    SetBorderStyle(vcl::bsDialog);
    SetClientWidth(329);
    SetClientHeight(217);

    GrpBoxChgPwd = vcl::PlaceControl<vcl::TGroupBox>(this, this, "GrpBoxChgPwd", 8, 8, 313, 161);
    GrpBoxChgPwd->SetTabOrder(0);
    labChgPwdOldPwd = vcl::PlaceControl<vcl::TLabel>(this, GrpBoxChgPwd, "labChgPwdOldPwd", 16, 24, 145, 19);
    labChgPwdOldPwd->SetCaption("Old Password");
    labChgPwdNewPwd = vcl::PlaceControl<vcl::TLabel>(this, GrpBoxChgPwd, "labChgPwdNewPwd", 16, 56, 145, 19);
    labChgPwdNewPwd->SetCaption("New Password");
    labCnfNewPwd = vcl::PlaceControl<vcl::TLabel>(this, GrpBoxChgPwd, "labCnfNewPwd", 16, 88, 145, 19);
    labCnfNewPwd->SetCaption("Confirm New Password");
#ifdef KT4790_ASPI
    vcl::TLabel* hintLabel = Label1 = vcl::PlaceControl<vcl::TLabel>(this, GrpBoxChgPwd, "Label1", 16, 120, 145, 19);
#else
    vcl::TLabel* hintLabel = labNewPwdHint =
        vcl::PlaceControl<vcl::TLabel>(this, GrpBoxChgPwd, "labNewPwdHint", 16, 120, 145, 19);
#endif
    hintLabel->SetCaption("New Password Hint");

    edtOldPwd = vcl::PlaceControl<vcl::TEdit>(this, GrpBoxChgPwd, "edtOldPwd", 168, 20, 129, 24);
    edtNewPwd = vcl::PlaceControl<vcl::TEdit>(this, GrpBoxChgPwd, "edtNewPwd", 168, 52, 129, 24);
    edtConfirmPwd = vcl::PlaceControl<vcl::TEdit>(this, GrpBoxChgPwd, "edtConfirmPwd", 168, 84, 129, 24);
    int order = 0;
    for (vcl::TEdit* edit : {edtOldPwd, edtNewPwd, edtConfirmPwd}) {
        edit->SetMaxLength(8);
        edit->SetPasswordChar('*');
        edit->SetTabOrder(order++);
    }
    edtNewPwdHint = vcl::PlaceControl<vcl::TEdit>(this, GrpBoxChgPwd, "edtNewPwdHint", 168, 116, 129, 24);
    edtNewPwdHint->SetMaxLength(32);
    edtNewPwdHint->SetTabOrder(order);

    btnChgPwdOK = vcl::PlaceControl<vcl::TButton>(this, this, "btnChgPwdOK", 48, 180, 97, 25);
    btnChgPwdOK->SetCaption("OK");
    btnChgPwdOK->SetTabOrder(1);
    btnChgPwdCancel = vcl::PlaceControl<vcl::TButton>(this, this, "btnChgPwdCancel", 184, 180, 97, 25);
    btnChgPwdCancel->SetCaption("CANCEL");
    btnChgPwdCancel->SetTabOrder(2);

    edtNewPwdHint->OnKeyPress = vcl::Handler(this, &TChgPwdForm::edtNewPwdHintKeyPress);
    btnChgPwdOK->OnClick = vcl::Handler(this, &TChgPwdForm::btnChgPwdOKClick);
    btnChgPwdCancel->OnClick = vcl::Handler(this, &TChgPwdForm::btnChgPwdCancelClick);
    OnShow = vcl::Handler(this, &TChgPwdForm::FormShow);
    OnClose = vcl::Handler(this, &TChgPwdForm::FormClose);
}

void TChgPwdForm::FormShow(vcl::TObject* /*Sender*/) {
    CentreOnScreen();
    edtOldPwd->Clear();
    edtNewPwd->Clear();
    edtConfirmPwd->Clear();
    edtNewPwdHint->Clear();
    edtOldPwd->SetFocus();
}

// The framework hides the dialog after this.
void TChgPwdForm::FormClose(vcl::TObject* /*Sender*/, vcl::TCloseAction& /*Action*/) {
    JUtilityForm->EnableAllButtons();
}

void TChgPwdForm::btnChgPwdCancelClick(vcl::TObject* /*Sender*/) {
    JUtilityForm->EnableAllButtons();
    SetVisible(false);
}

void TChgPwdForm::edtNewPwdHintKeyPress(vcl::TObject* /*Sender*/, char& Key) {
    if (IsHintCharacter(Key)) return;
    Key = 0;
    devbind::ShowWarning("Please enter alphabet or numeric!");
}

void TChgPwdForm::btnChgPwdOKClick(vcl::TObject* /*Sender*/) {
    if (MessageBoxA(nullptr, "Are you sure you want to change the password? Click OK to change.", "WARNING",
                    MB_OKCANCEL) != IDOK) {
        return;
    }
    // The old password is the device's to judge; only the two new ones are
    // compared here.
    if (edtNewPwd->Text() != edtConfirmPwd->Text()) {
        devbind::ShowWarning(kMismatch);
        edtNewPwd->Clear();
        edtConfirmPwd->Clear();
        return;
    }

    devbind::DeviceSession session(devbind::Operation::ChangePwdOk);
    decltype(&GetChipVersion) getChipVersion = nullptr;
    decltype(&GetMediaSize) getMediaSize = nullptr;
    decltype(&VSCReadSector) vscReadSector = nullptr;
    decltype(&SetEString) setEString = nullptr;
    decltype(&ChangePwd) changePwd = nullptr;
    if (!session.Load() || !session.BindFinder() || !session.Bind(devbind::kGetChipVersion, getChipVersion) ||
        !session.Bind(devbind::kGetMediaSize, getMediaSize) || !session.Bind(devbind::kVSCReadSector, vscReadSector) ||
        !session.Bind(devbind::kSetEString, setEString) || !session.Bind(devbind::kChangePwd, changePwd)) {
        return;
    }
    if (!session.Find(DeviceName.c_str())) return;

    // The hint goes first: a refused old password leaves the new hint on
    // the device.
    const std::string& hint = edtNewPwdHint->Text();
    if (!WriteHintDescriptor(session, getChipVersion, getMediaSize, vscReadSector, setEString, Buffer.bytes, hint.data(),
                             hint.size())) {
        return;
    }

    const std::string& oldPassword = edtOldPwd->Text();
    const std::string& newPassword = edtNewPwd->Text();
    Buffer = kt4790::PasswordBlock{};
    Buffer.SetCurrent(oldPassword.data(), oldPassword.size());
    Buffer.SetNew(newPassword.data(), newPassword.size());
#ifdef KT4790_ASPI
    const bool changed = changePwd(session.HostAdapterId, session.TargetId, Buffer.bytes) != 0;
#else
    const bool changed = changePwd(session.DeviceHandle, Buffer.bytes) != 0;
#endif
    if (!changed) {
        devbind::ShowWarning(kPasswordRefused);
        edtOldPwd->Clear();
        edtNewPwd->Clear();
        edtConfirmPwd->Clear();
        return;
    }
    MessageBoxA(nullptr, "Password was changed successfully.", "OK", MB_OK);
    SetVisible(false);
    // The utility window's buttons stay disabled: the backup dialog enables
    // them when it goes.
    JSaveDialogForm->NewPassword = edtNewPwd->Text();
    JSaveDialogForm->SetVisible(true);
}
