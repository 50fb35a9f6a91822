// The partition dialog: splits the medium into a standard and a security
// area, erases it, records the split in the DescriptorSector and formats
// the volumes.
#pragma once

#include <windows.h>

#include <string>

#include "vcl/vcl.h"

class TPartitionForm : public vcl::TForm {
public:
    explicit TPartitionForm(vcl::TComponent* Owner);

    vcl::TLabel* labTotal;
    vcl::TLabel* labTotalSize;
    vcl::TLabel* labSEQ;
    vcl::TEdit* edtSEQ;
    vcl::TLabel* labMB;
    vcl::TProgressBar* PBar;
    vcl::TButton* btnStartParti;
    vcl::TButton* btnCancelParti;
    vcl::TLabel* labStandard;
    vcl::TRadioButton* rbtnFDDBoot;
    vcl::TRadioButton* rbtnHDDBoot;
    vcl::TLabel* labStandardSize;
    vcl::TRadioButton* rbtnZipBoot;

    // The selected device name; the opener sets it when it opens the dialog.
    std::string DeviceName;
    // MediaSizeReply byte 1, stored by the opener before the dialog is shown.
    BYTE ZoneCount = 0;
    // 1 when the dialog was opened through the password gate, 0 otherwise.
    BYTE PasswordExists = 0;

    void FormShow(vcl::TObject* Sender);
    void FormClose(vcl::TObject* Sender, vcl::TCloseAction& Action);
    void edtSEQKeyPress(vcl::TObject* Sender, char& Key);
    void edtSEQKeyUp(vcl::TObject* Sender, WORD& Key, vcl::TShiftState Shift);
    void btnStartPartiClick(vcl::TObject* Sender);
    void btnCancelPartiClick(vcl::TObject* Sender);

private:
    // Brings labStandardSize into line with the security size `entered`
    // (megabytes) read from edtSEQ, as each key released in the edit does.
    // False when the size was refused (its message shown and the edit
    // emptied): above the total, or less than 1 MB left for the standard
    // area while a password exists.
    bool SettleSizes(double entered);
};

extern TPartitionForm* PartitionForm;

// The size in megabytes the dialog shows for a medium of `zoneCount` zones
// (15.625 MB each, cut to one decimal, without ".0"), or "" for a zone count
// the dialog does not know.
std::string PartitionSizeLabel(unsigned zoneCount);

// The failure exit after the formatter: "Partition Failed!" / "ERROR", the
// buttons enabled, the dialog hidden, the utility window usable again.
void PartitionFailed();
