#include "app/Fchkpwd.h"

TJFormatChkPwdForm* JFormatChkPwdForm = nullptr;

TJFormatChkPwdForm::TJFormatChkPwdForm(vcl::TComponent* Owner) : vcl::TForm(Owner) {
    SetName("JFormatChkPwdForm");
    SetCaption("FORMAT  ");
    SetBorderStyle(vcl::bsDialog);
#ifdef KT4790_ASPI
    SetClientWidth(219);
    SetClientHeight(117);
#else
    SetClientWidth(214);
    SetClientHeight(117);
#endif
    OnShow = vcl::Handler(this, &TJFormatChkPwdForm::FormShow);
}

void TJFormatChkPwdForm::FormShow(vcl::TObject* /*Sender*/) { CentreOnScreen(); }
