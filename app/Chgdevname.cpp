#include "app/Chgdevname.h"

TChgDevNameForm* ChgDevNameForm = nullptr;

TChgDevNameForm::TChgDevNameForm(vcl::TComponent* Owner) : vcl::TForm(Owner) {
    SetName("ChgDevNameForm");
    SetCaption("Change Device Name");
    SetBorderStyle(vcl::bsDialog);
    SetClientWidth(338);
    SetClientHeight(117);
    OnShow = vcl::Handler(this, &TChgDevNameForm::FormShow);
}

void TChgDevNameForm::FormShow(vcl::TObject* /*Sender*/) { CentreOnScreen(); }
