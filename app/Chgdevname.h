// The change-device-name dialog: writes a new name into the NameDescriptor of
// the selected device's descriptor sector, the name every device list shows
// and every look-up by name matches.
#pragma once

#include <string>

#include "vcl/vcl.h"

class TChgDevNameForm : public vcl::TForm {
public:
    explicit TChgDevNameForm(vcl::TComponent* Owner);

    vcl::TGroupBox* grpBoxChgDevName;
    vcl::TLabel* labChgDevNNewDevName;
    vcl::TEdit* edtNewDevName;
    vcl::TButton* btnChgDevNOK;
    vcl::TButton* btnChgDevNCancel;

    // The device-list text of the device to rename. The opener sets it right
    // after showing the dialog; it is read only when "OK" is pressed.
    std::string DeviceName;

    void btnChgDevNCancelClick(vcl::TObject* Sender);
    void FormShow(vcl::TObject* Sender);
    void btnChgDevNOKClick(vcl::TObject* Sender);
    void FormClose(vcl::TObject* Sender, vcl::TCloseAction& Action);
    void edtNewDevNameKeyPress(vcl::TObject* Sender, char& Key);
};

extern TChgDevNameForm* ChgDevNameForm;
