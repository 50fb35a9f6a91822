// The copy-system-files dialog: copies the DOS system files onto a drive.
#pragma once

#include "vcl/vcl.h"

class TCopyFileForm : public vcl::TForm {
public:
    explicit TCopyFileForm(vcl::TComponent* Owner);

    void FormShow(vcl::TObject* Sender);
};

extern TCopyFileForm* CopyFileForm;
