// The clear-password dialog: removes a device's password once the current
// one is typed, then erases the password hint kept in its DescriptorSector.
#pragma once

#include <string>

#include "vcl/vcl.h"

class TClearPasswdForm : public vcl::TForm {
public:
    explicit TClearPasswdForm(vcl::TComponent* Owner);

    vcl::TLabel* labDoc;
    vcl::TEdit* edtPasswd;
    vcl::TButton* btnOK;
    vcl::TButton* btnHint;
    vcl::TButton* btnCancel;

    // The selected device name; the opener sets it when it opens the dialog.
    std::string DeviceName;

    void FormShow(vcl::TObject* Sender);
    void FormClose(vcl::TObject* Sender, vcl::TCloseAction& Action);
    void btnOKClick(vcl::TObject* Sender);
    void btnCancelClick(vcl::TObject* Sender);
    void btnHintClick(vcl::TObject* Sender);
#ifdef KT4790_ASPI
    // Enter in the password edit acts as "OK".
    void edtPasswdKeyPress(vcl::TObject* Sender, char& Key);
#endif
};

extern TClearPasswdForm* ClearPasswdForm;
