// The check-password dialog: tests the password of a device that has one.
#pragma once

#include <string>

#include "vcl/vcl.h"

class TChkPwdForm : public vcl::TForm {
public:
    explicit TChkPwdForm(vcl::TComponent* Owner);

    // The selected device name; the opener sets it when it opens the dialog.
    std::string DeviceName;

    void FormShow(vcl::TObject* Sender);
};

extern TChkPwdForm* ChkPwdForm;
