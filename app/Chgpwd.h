// The change-password dialog: replaces a device's password and its hint.
#pragma once

#include <string>

#include "vcl/vcl.h"

class TChgPwdForm : public vcl::TForm {
public:
    explicit TChgPwdForm(vcl::TComponent* Owner);

    // The selected device name; the opener sets it when it opens the dialog.
    std::string DeviceName;

    void FormShow(vcl::TObject* Sender);
};

extern TChgPwdForm* ChgPwdForm;
