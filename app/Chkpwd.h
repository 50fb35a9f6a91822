// The check-password dialog: tests the password of a device that has one.
// The utility window opens it, with its function buttons disabled, when the
// selected device reports a password; a correct password, CANCEL or the
// close box hides it and enables the buttons again.
#pragma once

#include <string>

#include "vcl/vcl.h"

class TChkPwdForm : public vcl::TForm {
public:
    explicit TChkPwdForm(vcl::TComponent* Owner);

    vcl::TLabel* labDoc;
    vcl::TEdit* edtPwd;
    vcl::TButton* btnOk;
    vcl::TButton* btnHint;
    vcl::TButton* btnCancel;

    // The selected device name; the opener sets it when it opens the dialog.
    std::string DeviceName;

    void FormShow(vcl::TObject* Sender);
    void FormClose(vcl::TObject* Sender, vcl::TCloseAction& Action);
    void edtPwdKeyPress(vcl::TObject* Sender, char& Key);
    void btnOkClick(vcl::TObject* Sender);
    void btnHintClick(vcl::TObject* Sender);
    void btnCancelClick(vcl::TObject* Sender);
};

extern TChkPwdForm* ChkPwdForm;

// Wrong passwords while the dialog stays shown; 0 after a correct one and
// whenever the dialog is shown. It only chooses the message: the dialog
// never refuses a further attempt.
extern int ChkPwdFailCount;
