#include "app/Setpwd.h"

TSetPwdForm* SetPwdForm = nullptr;

TSetPwdForm::TSetPwdForm(vcl::TComponent* Owner) : vcl::TForm(Owner) {
    SetName("SetPwdForm");
    SetCaption("Set New Password");
    SetBorderStyle(vcl::bsDialog);
    OnShow = vcl::Handler(this, &TSetPwdForm::FormShow);
}

void TSetPwdForm::FormShow(vcl::TObject* /*Sender*/) { CentreOnScreen(); }
