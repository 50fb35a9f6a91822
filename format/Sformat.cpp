#include "format/Sformat.h"

TJSFormatForm* JSFormatForm = nullptr;

TJSFormatForm::TJSFormatForm(vcl::TComponent* Owner) : vcl::TForm(Owner) {
    SetName("JSFormatForm");
    SetCaption("USB Flash Disk FORMAT  ");
    SetBorderStyle(vcl::bsDialog);
    SetClientWidth(312);
    SetClientHeight(198);
    OnShow = vcl::Handler(this, &TJSFormatForm::FormShow);
}

void TJSFormatForm::FormShow(vcl::TObject* /*Sender*/) { CentreOnScreen(); }
