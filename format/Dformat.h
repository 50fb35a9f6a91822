// The two-area format dialog, for a medium the partition dialog split into a
// standard and a security area: erases and formats the security area, the
// standard area or both, and leaves the area not chosen as it was.
#pragma once

#include <string>

#include "app/devbind.h"
#include "format/Erase.h"
#include "vcl/vcl.h"

class TJDFormatForm : public vcl::TForm {
public:
    explicit TJDFormatForm(vcl::TComponent* Owner);

    vcl::TProgressBar* PBar;
    vcl::TButton* btnStart;
    vcl::TButton* btnClose;
    vcl::TRadioButton* rbtnMainStorage;
    vcl::TRadioButton* rbtnAcceStorage;
    vcl::TRadioButton* rbtnBoth;
    vcl::TLabel* Label1;
    vcl::TLabel* Label2;
    vcl::TEdit* edtMainVolume;
    vcl::TEdit* edtAcceVolume;
    vcl::TGroupBox* GroupBox1;
    vcl::TRadioButton* rbtnFDDBoot;
    vcl::TRadioButton* rbtnZIPBoot;
    vcl::TRadioButton* rbtnHDDBoot;

    // The selected device name; the opener sets it when it opens the dialog.
    std::string DeviceName;

    void FormCreate(vcl::TObject* Sender);
    void FormShow(vcl::TObject* Sender);
    void FormClose(vcl::TObject* Sender, vcl::TCloseAction& Action);
    void rbtnMainStorageClick(vcl::TObject* Sender);
    void rbtnAcceStorageClick(vcl::TObject* Sender);
    void rbtnBothClick(vcl::TObject* Sender);
    void btnStartClick(vcl::TObject* Sender);
    void btnCloseClick(vcl::TObject* Sender);

    // The three runs of "Start". Each reports to the user itself.
    void FormatSecurityDisk();
    void FormatStandardDisk();
    void FormatBothDisks();

private:
    enum class Area { Security, Standard, Both };
    void RunArea(Area area);
    // The boot layout of the checked boot button.
    bool HddChecked() const;
    // An edit usable (window colour) or not (greyed with the scroll-bar colour).
    static void SetEditUsable(vcl::TEdit* edit, bool usable);
    // The boot group after a storage button that formats the standard area:
    // coming from "Security Disk" (the group disabled), "Floppy Boot" again.
    void BootGroupForStandardArea();
};

extern TJDFormatForm* JDFormatForm;

// Loads the device library of the build and binds the nine procedures of
// the two-area runs in the build's order: 1, or 0 with the library freed
// ("Can't load the KT4790DLL." / "ERROR" when the library itself is
// missing; a missing procedure has no message here).
int LoadFormatLibrary(devbind::DeviceSession& session, EraseProcs& procs);
