#include "app/Jsavedialog.h"

TJSaveDialogForm* JSaveDialogForm = nullptr;

TJSaveDialogForm::TJSaveDialogForm(vcl::TComponent* Owner) : vcl::TForm(Owner) {
    SetName("JSaveDialogForm");
    SetCaption("Save");
    SetBorderStyle(vcl::bsDialog);
    OnShow = vcl::Handler(this, &TJSaveDialogForm::FormShow);
}

void TJSaveDialogForm::FormShow(vcl::TObject* /*Sender*/) { CentreOnScreen(); }
