// The change-device-name dialog: renames the device in its descriptor sector.
#pragma once

#include <string>

#include "vcl/vcl.h"

class TChgDevNameForm : public vcl::TForm {
public:
    explicit TChgDevNameForm(vcl::TComponent* Owner);

    // The selected device name; the opener sets it when it opens the dialog.
    std::string DeviceName;

    void FormShow(vcl::TObject* Sender);
};

extern TChgDevNameForm* ChgDevNameForm;
