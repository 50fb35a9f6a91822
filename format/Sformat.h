// The single-disk format dialog: erases the whole medium and writes one FAT
// volume over it, with the boot layout and the volume label the user chose.
#pragma once

#include <string>

#include "vcl/vcl.h"

class TJSFormatForm : public vcl::TForm {
public:
    explicit TJSFormatForm(vcl::TComponent* Owner);

    vcl::TLabel* labVolume;
    vcl::TEdit* edtVolume;
    vcl::TButton* btnStart;
    vcl::TButton* btnClose;
    vcl::TProgressBar* PBar;
    vcl::TGroupBox* GroupBox1;
    vcl::TRadioButton* rbtnFDDBoot;
    vcl::TRadioButton* rbtnZIPBoot;
    vcl::TRadioButton* rbtnHDDBoot;

    // The selected device name; the opener sets it right after showing the
    // dialog, which reads it only when "Start" is pressed.
    std::string DeviceName;

    void FormShow(vcl::TObject* Sender);
    void FormClose(vcl::TObject* Sender, vcl::TCloseAction& Action);
    void btnStartClick(vcl::TObject* Sender);
    void btnCloseClick(vcl::TObject* Sender);
};

extern TJSFormatForm* JSFormatForm;

// The failure exit of the two format dialogs: "Format Failed!!" (KT4790MCAP
// "Format Failed!") / "WARNING", the dialog's "Start" and "Close" enabled,
// the dialog hidden, and the utility window with its seven buttons usable
// again.
void ShowFormatFailed(vcl::TForm& dialog, vcl::TButton& start, vcl::TButton& close);
