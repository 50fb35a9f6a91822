// The two-area format dialog: formats the security area, the standard area or both.
#pragma once

#include <string>

#include "vcl/vcl.h"

class TJDFormatForm : public vcl::TForm {
public:
    explicit TJDFormatForm(vcl::TComponent* Owner);

    // The selected device name; the opener sets it when it opens the dialog.
    std::string DeviceName;

    void FormShow(vcl::TObject* Sender);
};

extern TJDFormatForm* JDFormatForm;
