#include "format/Partition.h"

TPartitionForm* PartitionForm = nullptr;

TPartitionForm::TPartitionForm(vcl::TComponent* Owner) : vcl::TForm(Owner) {
    SetName("PartitionForm");
    SetCaption("USB Flash Disk PARTITION");
    SetBorderStyle(vcl::bsDialog);
    SetClientWidth(327);
    SetClientHeight(236);
    OnShow = vcl::Handler(this, &TPartitionForm::FormShow);
}

void TPartitionForm::FormShow(vcl::TObject* /*Sender*/) { CentreOnScreen(); }
