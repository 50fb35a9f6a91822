// The partition password gate: asks for the password before the partition dialog opens.
#pragma once

#include <string>

#include "vcl/vcl.h"

class TJPartitionChkPwdForm : public vcl::TForm {
public:
    explicit TJPartitionChkPwdForm(vcl::TComponent* Owner);

    // The selected device name; the opener sets it when it opens the dialog.
    std::string DeviceName;

    void FormShow(vcl::TObject* Sender);
};

extern TJPartitionChkPwdForm* JPartitionChkPwdForm;
