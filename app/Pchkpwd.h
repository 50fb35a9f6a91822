// The partition password gate: a device with a password is partitioned
// only after its password was typed here. The utility window's "PARTITION"
// opens it in place of the partition dialog, with its function buttons
// disabled; an accepted password opens the partition dialog for the
// gate's device, told that the device has a password.
#pragma once

#include <string>

#include "vcl/vcl.h"

class TJPartitionChkPwdForm : public vcl::TForm {
public:
    explicit TJPartitionChkPwdForm(vcl::TComponent* Owner);

    vcl::TLabel* labDoc;
    vcl::TEdit* edtPasswd;
    vcl::TButton* btnOK;
    vcl::TButton* btnHint;
    vcl::TButton* btnCANCEL;

    void FormShow(vcl::TObject* Sender);
    void FormClose(vcl::TObject* Sender, vcl::TCloseAction& Action);
    void edtPasswdKeyPress(vcl::TObject* Sender, char& Key);
    void btnOKClick(vcl::TObject* Sender);
    void btnHintClick(vcl::TObject* Sender);
    void btnCANCELClick(vcl::TObject* Sender);

    // The selected device name; the opener sets it before it shows the gate.
    // It keeps its last value while the gate is hidden.
    std::string DeviceName;
};

extern TJPartitionChkPwdForm* JPartitionChkPwdForm;
