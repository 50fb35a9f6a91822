#include "format/Dformat.h"

TJDFormatForm* JDFormatForm = nullptr;

TJDFormatForm::TJDFormatForm(vcl::TComponent* Owner) : vcl::TForm(Owner) {
    SetName("JDFormatForm");
    SetCaption("USB Flash Disk FORMAT  ");
    SetBorderStyle(vcl::bsDialog);
    SetClientWidth(298);
    SetClientHeight(345);
    OnShow = vcl::Handler(this, &TJDFormatForm::FormShow);
}

void TJDFormatForm::FormShow(vcl::TObject* /*Sender*/) { CentreOnScreen(); }
