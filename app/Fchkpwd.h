// The format password gate: a device with a password is formatted only
// after its password was typed here. The utility window's "FORMAT" opens it
// in place of a format dialog, with its function buttons disabled; an
// accepted password opens the format dialog that fits the medium's areas.
#pragma once

#include <cstdint>
#include <string>

#include "vcl/vcl.h"

class TJFormatChkPwdForm : public vcl::TForm {
public:
    explicit TJFormatChkPwdForm(vcl::TComponent* Owner);

    vcl::TLabel* labDoc;
    vcl::TEdit* edtPasswd;
    vcl::TButton* btnOK;
#ifdef KT4790_ASPI
    vcl::TButton* btnHint;
#else
    vcl::TButton* btnHINT;
#endif
    vcl::TButton* btnCANCEL;

    void FormShow(vcl::TObject* Sender);
    void FormClose(vcl::TObject* Sender, vcl::TCloseAction& Action);
    void edtPasswdKeyPress(vcl::TObject* Sender, char& Key);
    void btnOKClick(vcl::TObject* Sender);
#ifdef KT4790_ASPI
    void btnHintClick(vcl::TObject* Sender);
#else
    void btnHINTClick(vcl::TObject* Sender);
#endif
    void btnCANCELClick(vcl::TObject* Sender);

    // The opener sets all three before it shows the gate.
    // The selected device name.
    std::string DeviceName;
    // The medium's PartitionWord in host order: logical blocks of the
    // standard area.
    std::uint16_t PartitionWord = 0;
    // Logical blocks of the whole medium, kept in 16 bits as the
    // PartitionWord it is compared with.
    std::uint16_t TotalBlocks = 0;
};

extern TJFormatChkPwdForm* JFormatChkPwdForm;
