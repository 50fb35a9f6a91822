// The utility window: reached after a correct password; one button per
// function of the device.
#pragma once

#include "vcl/vcl.h"

class TJUtilityForm : public vcl::TForm {
public:
    explicit TJUtilityForm(vcl::TComponent* Owner);

    void FormCreate(vcl::TObject* Sender);
    void FormShow(vcl::TObject* Sender);
};

extern TJUtilityForm* JUtilityForm;
