// The single-disk format dialog: erases and formats the whole medium.
#pragma once

#include <string>

#include "vcl/vcl.h"

class TJSFormatForm : public vcl::TForm {
public:
    explicit TJSFormatForm(vcl::TComponent* Owner);

    // The selected device name; the opener sets it when it opens the dialog.
    std::string DeviceName;

    void FormShow(vcl::TObject* Sender);
};

extern TJSFormatForm* JSFormatForm;
