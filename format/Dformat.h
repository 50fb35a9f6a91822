// The two-area format dialog, for a medium the partition dialog split into a
// standard and a security area: erases and formats the security area, the
// standard area or both, and leaves the area not chosen as it was.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "app/devbind.h"
#include "format/Erase.h"
#include "format/Newformat.h"
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
    // What one run of "Start" holds until it ends: the library and device,
    // the bound procedures, the buttons kept off, and the medium's answers.
    struct AreaRun {
        explicit AreaRun(std::string name) : deviceName(std::move(name)) {}
        const std::string deviceName;
        devbind::DeviceSession session{devbind::Operation::TwoAreaLoad};
        EraseProcs procs;
        std::optional<ButtonsOffWhileRunning> buttons;
        std::optional<DeviceEraser> eraser;
        BYTE chipCode = 0;
        kt4790::MediaGeometry geometry;
    };
    bool OpenRun(AreaRun& run, Area area);
    bool Failed(AreaRun& run);
    bool Failed(AreaRun& run, EraseFailure failure);
    bool RefreshSystemBlock(AreaRun& run, std::uint32_t& sd);
    void FinishRun(AreaRun& run, const std::function<int()>& write);
    bool HddChecked() const;
    newformat::BootLayout CheckedLayout() const;
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
