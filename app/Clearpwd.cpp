#include "app/Clearpwd.h"

TClearPasswdForm* ClearPasswdForm = nullptr;

TClearPasswdForm::TClearPasswdForm(vcl::TComponent* Owner) : vcl::TForm(Owner) {
    SetName("ClearPasswdForm");
    SetCaption(" Clear Password");
    SetBorderStyle(vcl::bsDialog);
    SetClientWidth(237);
    SetClientHeight(138);
    OnShow = vcl::Handler(this, &TClearPasswdForm::FormShow);
}

void TClearPasswdForm::FormShow(vcl::TObject* /*Sender*/) { CentreOnScreen(); }
