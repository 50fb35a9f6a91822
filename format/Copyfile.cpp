#include "format/Copyfile.h"

TCopyFileForm* CopyFileForm = nullptr;

TCopyFileForm::TCopyFileForm(vcl::TComponent* Owner) : vcl::TForm(Owner) {
    SetName("CopyFileForm");
    SetCaption("Copy System Files");
    SetBorderStyle(vcl::bsDialog);
    SetClientWidth(335);
    SetClientHeight(137);
    OnShow = vcl::Handler(this, &TCopyFileForm::FormShow);
}

void TCopyFileForm::FormShow(vcl::TObject* /*Sender*/) { CentreOnScreen(); }
