// The partition dialog: splits the medium into a standard and a security area.
#pragma once

#include <windows.h>

#include <string>

#include "vcl/vcl.h"

class TPartitionForm : public vcl::TForm {
public:
    explicit TPartitionForm(vcl::TComponent* Owner);

    // The selected device name; the opener sets it when it opens the dialog.
    std::string DeviceName;
    // MediaSizeReply byte 1, stored by the opener before the dialog is shown.
    BYTE ZoneCount = 0;
    // 1 when the dialog was opened through the password gate, 0 otherwise.
    BYTE PasswordExists = 0;

    void FormShow(vcl::TObject* Sender);
};

extern TPartitionForm* PartitionForm;
