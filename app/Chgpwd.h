// The change-password dialog: replaces a device's password and its hint,
// then offers to keep the new password in a backup file.
#pragma once

#include <string>

#include "vcl/vcl.h"

class TChgPwdForm : public vcl::TForm {
public:
    explicit TChgPwdForm(vcl::TComponent* Owner);

    vcl::TGroupBox* GrpBoxChgPwd;
    vcl::TLabel* labChgPwdOldPwd;
    vcl::TLabel* labChgPwdNewPwd;
    vcl::TLabel* labCnfNewPwd;
#ifdef KT4790_ASPI
    vcl::TLabel* Label1;
#else
    vcl::TLabel* labNewPwdHint;
#endif
    vcl::TEdit* edtOldPwd;
    vcl::TEdit* edtNewPwd;
    vcl::TEdit* edtConfirmPwd;
    vcl::TEdit* edtNewPwdHint;
    vcl::TButton* btnChgPwdOK;
    vcl::TButton* btnChgPwdCancel;

    // The selected device name; the opener sets it when it opens the dialog.
    std::string DeviceName;

    void FormShow(vcl::TObject* Sender);
    void FormClose(vcl::TObject* Sender, vcl::TCloseAction& Action);
    void edtNewPwdHintKeyPress(vcl::TObject* Sender, char& Key);
    void btnChgPwdOKClick(vcl::TObject* Sender);
    void btnChgPwdCancelClick(vcl::TObject* Sender);
};

extern TChgPwdForm* ChgPwdForm;
