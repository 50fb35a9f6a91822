// The partition dialog: splits the medium into a standard and a security area.
#pragma once

#include <string>

#include "vcl/vcl.h"

class TPartitionForm : public vcl::TForm {
public:
    explicit TPartitionForm(vcl::TComponent* Owner);

    // The selected device name; the opener sets it when it opens the dialog.
    std::string DeviceName;

    void FormShow(vcl::TObject* Sender);
};

extern TPartitionForm* PartitionForm;
