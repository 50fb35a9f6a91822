// The copy-system-files dialog: copies the DOS system files onto the root of
// a drive the user picks, so that a disk formatted with a boot program can
// start DOS. It works on plain files and never uses the device library.
#pragma once

#include "vcl/vcl.h"

class TCopyFileForm : public vcl::TForm {
public:
    explicit TCopyFileForm(vcl::TComponent* Owner);

    vcl::TLabel* Label1;
    vcl::TDriveComboBox* DriveComboBox1;
    vcl::TButton* btnOk;
    vcl::TButton* btnCancel;

    void FormShow(vcl::TObject* Sender);
    void FormClose(vcl::TObject* Sender, vcl::TCloseAction& Action);
    // Copies the files; the dialog stays open afterwards, whatever happened.
    void btnOkClick(vcl::TObject* Sender);
    void btnCancelClick(vcl::TObject* Sender);
};

extern TCopyFileForm* CopyFileForm;
