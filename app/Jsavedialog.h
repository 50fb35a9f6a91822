// The password backup dialog: shown after a password was set or changed, it
// offers to append the new password, as one line of plain text, to a file
// of the user's choice. It never touches the device.
#pragma once

#include <string>

#include "vcl/vcl.h"

class TJSaveDialogForm : public vcl::TForm {
public:
    explicit TJSaveDialogForm(vcl::TComponent* Owner);

    vcl::TMemo* MoDialog;
    vcl::TButton* btnSave;
    vcl::TButton* btnDontSave;

    // The password just set or changed; the opener sets it before showing the dialog.
    std::string NewPassword;

    void FormShow(vcl::TObject* Sender);
    void FormClose(vcl::TObject* Sender, vcl::TCloseAction& Action);
    void btnSaveClick(vcl::TObject* Sender);
    void btnDontSaveClick(vcl::TObject* Sender);
};

extern TJSaveDialogForm* JSaveDialogForm;
