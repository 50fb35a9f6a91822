// The clear-password dialog: removes a device's password.
#pragma once

#include <string>

#include "vcl/vcl.h"

class TClearPasswdForm : public vcl::TForm {
public:
    explicit TClearPasswdForm(vcl::TComponent* Owner);

    // The selected device name; the opener sets it when it opens the dialog.
    std::string DeviceName;

    void FormShow(vcl::TObject* Sender);
};

extern TClearPasswdForm* ClearPasswdForm;
