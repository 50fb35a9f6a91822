#include "app/Pchkpwd.h"

TJPartitionChkPwdForm* JPartitionChkPwdForm = nullptr;

TJPartitionChkPwdForm::TJPartitionChkPwdForm(vcl::TComponent* Owner) : vcl::TForm(Owner) {
    SetName("JPartitionChkPwdForm");
    SetCaption("PARTITION");
    SetBorderStyle(vcl::bsDialog);
#ifdef KT4790_ASPI
    SetClientWidth(222);
    SetClientHeight(117);
#else
    SetClientWidth(226);
    SetClientHeight(117);
#endif
    OnShow = vcl::Handler(this, &TJPartitionChkPwdForm::FormShow);
}

void TJPartitionChkPwdForm::FormShow(vcl::TObject* /*Sender*/) { CentreOnScreen(); }
