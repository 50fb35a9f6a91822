// The format password gate: asks for the password before a format dialog opens.
#pragma once

#include <string>

#include "vcl/vcl.h"

class TJFormatChkPwdForm : public vcl::TForm {
public:
    explicit TJFormatChkPwdForm(vcl::TComponent* Owner);

    // The selected device name; the opener sets it when it opens the dialog.
    std::string DeviceName;

    void FormShow(vcl::TObject* Sender);
};

extern TJFormatChkPwdForm* JFormatChkPwdForm;
