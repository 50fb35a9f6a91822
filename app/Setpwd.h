// The set-password dialog: puts a first password and its hint on a device
// that has none. The hint is written into the descriptor sector before the
// password command; a password that was set goes on to the backup-file
// dialog.
#pragma once

#include <string>

#include "vcl/vcl.h"

class TSetPwdForm : public vcl::TForm {
public:
    explicit TSetPwdForm(vcl::TComponent* Owner);

    vcl::TLabel* labInputPwd;
    vcl::TLabel* labMaxLength;
    vcl::TGroupBox* grpboxSetPwd;
    vcl::TLabel* labPwd;
    vcl::TLabel* labConfirmPwd;
#ifdef KT4790_ASPI
    vcl::TLabel* labPwdHint;
#else
    vcl::TLabel* Label1;
#endif
    vcl::TEdit* edtPwd;
    vcl::TEdit* edtConfirmPwd;
    vcl::TEdit* edtPwdHint;
    vcl::TButton* btnOK;
    vcl::TButton* btnCANCEL;

    // The selected device name; the opener sets it when it opens the dialog.
    std::string DeviceName;

    void FormShow(vcl::TObject* Sender);
    void FormClose(vcl::TObject* Sender, vcl::TCloseAction& Action);
    void edtPwdHintKeyPress(vcl::TObject* Sender, char& Key);
    void btnOKClick(vcl::TObject* Sender);
    void btnCANCELClick(vcl::TObject* Sender);

private:
    // The password command was refused: the dialog goes away.
    void SetPwdFailed();
};

extern TSetPwdForm* SetPwdForm;
