// The password backup dialog: offers to append a new password to a text file.
#pragma once

#include <string>

#include "vcl/vcl.h"

class TJSaveDialogForm : public vcl::TForm {
public:
    explicit TJSaveDialogForm(vcl::TComponent* Owner);

    // The password just set or changed; the opener sets it before showing the dialog.
    std::string NewPassword;

    void FormShow(vcl::TObject* Sender);
};

extern TJSaveDialogForm* JSaveDialogForm;
