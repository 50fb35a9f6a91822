// The utility window: reached after a correct password; one button per
// function of the device.
#pragma once

#include "vcl/vcl.h"

class TJUtilityForm : public vcl::TForm {
public:
    explicit TJUtilityForm(vcl::TComponent* Owner);

    vcl::TGroupBox* GroupBox1;
    vcl::TLabel* labDeviceList;
    vcl::TComboBox* CBoxDeviceList;
    vcl::TButton* btnRefresh;
    vcl::TButton* btnSetNChkPwd;
    vcl::TButton* btnChangPwd;
    vcl::TButton* btnClearPwd;
    vcl::TButton* btnChangDevName;
    vcl::TButton* btnFormat;
    vcl::TButton* btnPartition;
    vcl::TButton* btnCopyFile;
    vcl::TButton* btnClose;
    vcl::TBitBtn* btnMini;

    void FormCreate(vcl::TObject* Sender);
    void FormShow(vcl::TObject* Sender);
    void FormDestroy(vcl::TObject* Sender);
    void btnMiniClick(vcl::TObject* Sender);

    // The icon is registered with the main window, but its messages that
    // reach this window are handled there as well.
    void Dispatch(vcl::TMessage& message) override;
};

extern TJUtilityForm* JUtilityForm;
