#include "app/Chkpwd.h"

TChkPwdForm* ChkPwdForm = nullptr;

TChkPwdForm::TChkPwdForm(vcl::TComponent* Owner) : vcl::TForm(Owner) {
    SetName("ChkPwdForm");
    SetCaption("Check Password");
    SetBorderStyle(vcl::bsDialog);
    OnShow = vcl::Handler(this, &TChkPwdForm::FormShow);
}

void TChkPwdForm::FormShow(vcl::TObject* /*Sender*/) { CentreOnScreen(); }
