#include "app/Chgpwd.h"

TChgPwdForm* ChgPwdForm = nullptr;

TChgPwdForm::TChgPwdForm(vcl::TComponent* Owner) : vcl::TForm(Owner) {
    SetName("ChgPwdForm");
    SetCaption("Change Password");
    SetBorderStyle(vcl::bsDialog);
    OnShow = vcl::Handler(this, &TChgPwdForm::FormShow);
}

void TChgPwdForm::FormShow(vcl::TObject* /*Sender*/) { CentreOnScreen(); }
