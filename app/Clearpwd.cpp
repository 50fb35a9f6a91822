#include "app/Clearpwd.h"

#include <windows.h>

#include <string>

#include "app/Descriptor.h"
#include "app/Fonts.h"
#include "app/Hint.h"
#include "app/Jutility.h"
#include "app/devbind.h"
#include "kt4790/records.h"

TClearPasswdForm* ClearPasswdForm = nullptr;

namespace {

// The 512-byte buffer of this dialog: the PasswordBlock of the clear, then
// the ChipVersionReply and MediaSizeReply, the spare areas of the search and
// the DescriptorSector that is rewritten.
kt4790::PasswordBlock Buffer;

#ifdef KT4790_ASPI
constexpr const char* kPasswordRefused = "Password Incorrect! Please reenter the password.";
#else
constexpr const char* kPasswordRefused = "Password incorrect! Please reenter the password.";
#endif

}  // namespace

TClearPasswdForm::TClearPasswdForm(vcl::TComponent* Owner) : vcl::TForm(Owner) {
    SetName("ClearPasswdForm");
    SetCaption(" Clear Password");
    SetBorderStyle(vcl::bsDialog);
    SetClientWidth(237);
    SetClientHeight(138);

    const vcl::TFont comic = ComicSansBold();
    vcl::TFont editFont;
    editFont.Height = -13;
    editFont.Style = vcl::fsBold;

    labDoc = vcl::PlaceControl<vcl::TLabel>(this, this, "labDoc", 32, 16, 172, 19);
    labDoc->SetCaption("Please enter the password:");
    labDoc->SetFont(comic);
#ifdef KT4790_ASPI
    edtPasswd = vcl::PlaceControl<vcl::TEdit>(this, this, "edtPasswd", 16, 48, 201, 24);
#else
    edtPasswd = vcl::PlaceControl<vcl::TEdit>(this, this, "edtPasswd", 24, 48, 185, 24);
#endif
    edtPasswd->SetMaxLength(8);
    edtPasswd->SetPasswordChar('*');
    edtPasswd->SetFont(editFont);
    edtPasswd->SetTabOrder(0);

    btnOK = vcl::PlaceControl<vcl::TButton>(this, this, "btnOK", 16, 88, 65, 25);
    btnOK->SetCaption("OK");
    btnOK->SetFont(comic);
    btnOK->SetTabOrder(1);
    btnHint = vcl::PlaceControl<vcl::TButton>(this, this, "btnHint", 88, 88, 65, 25);
    btnHint->SetCaption("HINT");
    btnHint->SetFont(comic);
    btnHint->SetTabOrder(3);
    btnCancel = vcl::PlaceControl<vcl::TButton>(this, this, "btnCancel", 160, 88, 65, 25);
    btnCancel->SetCaption("CANCEL");
    btnCancel->SetFont(comic);
    btnCancel->SetTabOrder(2);

    btnOK->OnClick = vcl::Handler(this, &TClearPasswdForm::btnOKClick);
    btnHint->OnClick = vcl::Handler(this, &TClearPasswdForm::btnHintClick);
    btnCancel->OnClick = vcl::Handler(this, &TClearPasswdForm::btnCancelClick);
#ifdef KT4790_ASPI
    edtPasswd->OnKeyPress = vcl::Handler(this, &TClearPasswdForm::edtPasswdKeyPress);
#endif
    OnShow = vcl::Handler(this, &TClearPasswdForm::FormShow);
    OnClose = vcl::Handler(this, &TClearPasswdForm::FormClose);
}

void TClearPasswdForm::FormShow(vcl::TObject* /*Sender*/) {
    CentreOnScreen();
    edtPasswd->Clear();
    edtPasswd->SetFocus();
}

// The framework hides the dialog after this.
void TClearPasswdForm::FormClose(vcl::TObject* /*Sender*/, vcl::TCloseAction& /*Action*/) {
    JUtilityForm->EnableAllButtons();
}

void TClearPasswdForm::btnCancelClick(vcl::TObject* /*Sender*/) {
    JUtilityForm->EnableAllButtons();
    SetVisible(false);
}

void TClearPasswdForm::btnHintClick(vcl::TObject* /*Sender*/) { ShowPasswordHint(DeviceName.c_str()); }

#ifdef KT4790_ASPI
void TClearPasswdForm::edtPasswdKeyPress(vcl::TObject* /*Sender*/, char& Key) {
    if (Key == '\r') btnOKClick(btnOK);
}
#endif

void TClearPasswdForm::btnOKClick(vcl::TObject* /*Sender*/) {
    devbind::DeviceSession session(devbind::Operation::ClearPwdOk);
    decltype(&ChangePwd) changePwd = nullptr;
    decltype(&GetChipVersion) getChipVersion = nullptr;
    decltype(&GetMediaSize) getMediaSize = nullptr;
    decltype(&VSCReadSector) vscReadSector = nullptr;
    decltype(&SetEString) setEString = nullptr;
    if (!session.Load()) return;
#ifdef KT4790_ASPI
    if (!session.BindFinder() || !session.Bind(devbind::kChangePwd, changePwd) ||
        !session.Bind(devbind::kSetEString, setEString) || !session.Bind(devbind::kGetChipVersion, getChipVersion) ||
        !session.Bind(devbind::kGetMediaSize, getMediaSize) || !session.Bind(devbind::kVSCReadSector, vscReadSector)) {
        return;
    }
#else
    if (!session.BindFinder() || !session.Bind(devbind::kChangePwd, changePwd) ||
        !session.Bind(devbind::kGetChipVersion, getChipVersion) || !session.Bind(devbind::kGetMediaSize, getMediaSize) ||
        !session.Bind(devbind::kVSCReadSector, vscReadSector) || !session.Bind(devbind::kSetEString, setEString)) {
        return;
    }
#endif
    if (!session.Find(DeviceName.c_str())) return;

    // A new password of length 0 clears the password.
    const std::string& password = edtPasswd->Text();
    Buffer = kt4790::PasswordBlock{};
    Buffer.SetCurrent(password.data(), password.size());
#ifdef KT4790_ASPI
    const bool cleared = changePwd(session.HostAdapterId, session.TargetId, Buffer.bytes) != 0;
#else
    const bool cleared = changePwd(session.DeviceHandle, Buffer.bytes) != 0;
#endif
    if (!cleared) {
        devbind::ShowWarning(kPasswordRefused);
        edtPasswd->Clear();
        return;
    }
    MessageBoxA(nullptr, "Password was cleared successfully.", "OK", MB_OK);

    // From here on the device has no password; what remains is its hint.
    const bool hintErased =
        WriteHintDescriptor(session, getChipVersion, getMediaSize, vscReadSector, setEString, Buffer.bytes, "", 0);
#ifdef KT4790_ASPI
    // After a failure the dialog stays open; the user leaves it by CANCEL or
    // its frame, which enable the buttons again.
    if (!hintErased) return;
#else
    static_cast<void>(hintErased);
#endif
    SetVisible(false);
    JUtilityForm->EnableAllButtons();
}
