// The set-password dialog: puts a first password and its hint on a device.
#pragma once

#include <string>

#include "vcl/vcl.h"

class TSetPwdForm : public vcl::TForm {
public:
    explicit TSetPwdForm(vcl::TComponent* Owner);

    // The selected device name; the opener sets it when it opens the dialog.
    std::string DeviceName;

    void FormShow(vcl::TObject* Sender);
};

extern TSetPwdForm* SetPwdForm;
