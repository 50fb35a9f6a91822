#include "app/Setpwd.h"

#include <windows.h>

#include <memory>

#include "app/Descriptor.h"
#include "app/Hint.h"
#include "app/Jsavedialog.h"
#include "app/Jutility.h"
#include "app/devbind.h"
#include "kt4790/records.h"

TSetPwdForm* SetPwdForm = nullptr;

namespace {

#ifdef KT4790_ASPI
constexpr const char* kSetFailed = "Set Password Failed!";
#else
constexpr const char* kSetFailed = "Set password failed!";
#endif

}  // namespace

TSetPwdForm::TSetPwdForm(vcl::TComponent* Owner) : vcl::TForm(Owner) {
    SetName("SetPwdForm");
    SetCaption("Set New Password");
    SetBorderStyle(vcl::bsDialog);
    SetClientWidth(297);
    SetClientHeight(233);

    labInputPwd = vcl::PlaceControl<vcl::TLabel>(this, this, "labInputPwd", 16, 8, 265, 16);
    labInputPwd->SetCaption("Please enter the new password below:");
    labMaxLength = vcl::PlaceControl<vcl::TLabel>(this, this, "labMaxLength", 16, 28, 265, 16);
    labMaxLength->SetCaption("The maximum length allowed is eight characters.");
    vcl::TFont red = labMaxLength->Font();
    red.Color = vcl::clRed;
    labMaxLength->SetFont(red);

    grpboxSetPwd = vcl::PlaceControl<vcl::TGroupBox>(this, this, "grpboxSetPwd", 16, 52, 265, 129);
    grpboxSetPwd->SetTabOrder(0);
    labPwd = vcl::PlaceControl<vcl::TLabel>(this, grpboxSetPwd, "labPwd", 12, 24, 105, 16);
    labPwd->SetCaption("Password:");
    labConfirmPwd = vcl::PlaceControl<vcl::TLabel>(this, grpboxSetPwd, "labConfirmPwd", 12, 60, 105, 16);
    labConfirmPwd->SetCaption("Confirm Password:");
#ifdef KT4790_ASPI
    labPwdHint = vcl::PlaceControl<vcl::TLabel>(this, grpboxSetPwd, "labPwdHint", 12, 96, 105, 16);
    labPwdHint->SetCaption("Password Hint:");
#else
    Label1 = vcl::PlaceControl<vcl::TLabel>(this, grpboxSetPwd, "Label1", 12, 96, 105, 16);
    Label1->SetCaption("Password Hint:");
#endif

    edtPwd = vcl::PlaceControl<vcl::TEdit>(this, grpboxSetPwd, "edtPwd", 128, 20, 121, 21);
    edtPwd->SetMaxLength(8);
    edtPwd->SetPasswordChar('*');
    edtPwd->SetTabOrder(0);
    edtConfirmPwd = vcl::PlaceControl<vcl::TEdit>(this, grpboxSetPwd, "edtConfirmPwd", 128, 56, 121, 21);
    edtConfirmPwd->SetMaxLength(8);
    edtConfirmPwd->SetPasswordChar('*');
    edtConfirmPwd->SetTabOrder(1);
    edtPwdHint = vcl::PlaceControl<vcl::TEdit>(this, grpboxSetPwd, "edtPwdHint", 128, 92, 121, 21);
    edtPwdHint->SetMaxLength(32);
    edtPwdHint->SetTabOrder(2);

    btnOK = vcl::PlaceControl<vcl::TButton>(this, this, "btnOK", 48, 196, 75, 25);
    btnOK->SetCaption("OK");
    btnOK->SetTabOrder(1);
    btnCANCEL = vcl::PlaceControl<vcl::TButton>(this, this, "btnCANCEL", 176, 196, 75, 25);
    btnCANCEL->SetCaption("CANCEL");
    btnCANCEL->SetTabOrder(2);

    edtPwdHint->OnKeyPress = vcl::Handler(this, &TSetPwdForm::edtPwdHintKeyPress);
    btnOK->OnClick = vcl::Handler(this, &TSetPwdForm::btnOKClick);
    btnCANCEL->OnClick = vcl::Handler(this, &TSetPwdForm::btnCANCELClick);
    OnShow = vcl::Handler(this, &TSetPwdForm::FormShow);
    OnClose = vcl::Handler(this, &TSetPwdForm::FormClose);
}

void TSetPwdForm::FormShow(vcl::TObject* /*Sender*/) {
    CentreOnScreen();
    edtPwd->Clear();
    edtConfirmPwd->Clear();
    edtPwdHint->Clear();
}

void TSetPwdForm::FormClose(vcl::TObject* /*Sender*/, vcl::TCloseAction& /*Action*/) {
    JUtilityForm->EnableAllButtons();
}

void TSetPwdForm::edtPwdHintKeyPress(vcl::TObject* /*Sender*/, char& Key) {
    if (IsHintCharacter(Key)) return;
    Key = 0;
    devbind::ShowWarning("Please enter alphabet or numeric!");
}

void TSetPwdForm::btnCANCELClick(vcl::TObject* /*Sender*/) {
    SetVisible(false);
    JUtilityForm->EnableAllButtons();
}

void TSetPwdForm::SetPwdFailed() {
    devbind::ShowWarning(kSetFailed);
    SetVisible(false);
    JUtilityForm->EnableAllButtons();
}

void TSetPwdForm::btnOKClick(vcl::TObject* /*Sender*/) {
    if (MessageBoxA(nullptr, "Are you sure you want to set the password? Click OK to set.", "WARNING", MB_OKCANCEL) !=
        IDOK) {
        return;
    }
    if (edtPwd->Text() != edtConfirmPwd->Text()) {
        devbind::ShowWarning("Password Incorrect! Please reenter the password.");
        edtPwd->Clear();
        edtConfirmPwd->Clear();
        return;
    }

    // One zero-filled buffer for this press: the sector buffer of the
    // descriptor search first, then the PasswordBlock. Declared before the
    // session so that it outlives the device and the library.
    auto buffer = std::make_unique<kt4790::PasswordBlock>();
    BYTE(&sector)[kt4790::kSectorSize] = buffer->bytes;

    devbind::DeviceSession session(devbind::Operation::SetPwdOk);
    decltype(&ChangePwd) changePwd = nullptr;
    decltype(&GetChipVersion) getChipVersion = nullptr;
    decltype(&SetEString) setEString = nullptr;
    decltype(&GetMediaSize) getMediaSize = nullptr;
    decltype(&VSCReadSector) vscReadSector = nullptr;
    if (!session.Load() || !session.BindFinder() || !session.Bind(devbind::kChangePwd, changePwd) ||
        !session.Bind(devbind::kGetChipVersion, getChipVersion) || !session.Bind(devbind::kSetEString, setEString) ||
        !session.Bind(devbind::kGetMediaSize, getMediaSize) || !session.Bind(devbind::kVSCReadSector, vscReadSector)) {
        return;
    }
    if (!session.Find(DeviceName.c_str())) return;

    // The hint goes to the device before the password: a refused password
    // command leaves the new hint in place. A sector whose chain cannot take
    // the hint is not written, and then no password is set either.
    const std::string hint = edtPwdHint->Text();
    if (!WriteHintDescriptor(session, getChipVersion, getMediaSize, vscReadSector, setEString, sector, hint.c_str(),
                             hint.size())) {
        return;
    }

    const std::string password = edtPwd->Text();
    *buffer = kt4790::PasswordBlock{};
    buffer->SetNew(password.data(), password.size());
#ifdef KT4790_ASPI
    const bool accepted = changePwd(session.HostAdapterId, session.TargetId, buffer->bytes) != 0;
#else
    const bool accepted = changePwd(session.DeviceHandle, buffer->bytes) != 0;
#endif
    if (!accepted) {
        SetPwdFailed();
        return;
    }
    MessageBoxA(nullptr, "Password was set successfully.", "OK", MB_OK);
    SetVisible(false);
    // The utility window's buttons stay disabled until the backup-file
    // dialog goes away.
    JSaveDialogForm->NewPassword = password;
    JSaveDialogForm->SetVisible(true);
}
