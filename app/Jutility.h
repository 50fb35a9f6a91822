// The utility window: reached after a correct password; one button per
// function of the device.
#pragma once

#include <array>
#include <string>

#include "app/devbind.h"
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
    vcl::TSaveDialog* SaveDialog;

    void FormCreate(vcl::TObject* Sender);
    void FormShow(vcl::TObject* Sender);
    void FormClose(vcl::TObject* Sender, vcl::TCloseAction& Action);
    void FormDestroy(vcl::TObject* Sender);
    void btnRefreshClick(vcl::TObject* Sender);
    void btnCloseClick(vcl::TObject* Sender);
    void btnMiniClick(vcl::TObject* Sender);
    void btnSetNChkPwdClick(vcl::TObject* Sender);
    void btnChangPwdClick(vcl::TObject* Sender);
    void btnClearPwdClick(vcl::TObject* Sender);
    void btnChangDevNameClick(vcl::TObject* Sender);
    void btnFormatClick(vcl::TObject* Sender);
    void btnPartitionClick(vcl::TObject* Sender);
    void btnCopyFileClick(vcl::TObject* Sender);

    // The seven function buttons on or off, around the life of a dialog.
    // Nothing else changes: the device list, "Refresh", "Close" and
    // "Minimize" stay usable, and the window's own Enabled is left alone.
    void EnableAllButtons();
    void DisableAllButtons();

    // Refills CBoxDeviceList with the names of the attached devices and
    // selects the first.
    void RefreshDeviceList();

    // The icon is registered with the main window, but its messages that
    // reach this window are handled there as well.
    void Dispatch(vcl::TMessage& message) override;

private:
    // The seven function buttons, in the order they are switched.
    std::array<vcl::TButton*, 7> FunctionButtons() const;

    // The text of the selected device-list item. Without a selection it
    // shows "Please select the device!!" and returns false.
    bool SelectedDevice(std::string& name) const;
};

extern TJUtilityForm* JUtilityForm;

// How a device list shows a name: as the library gives it, or without its
// leading and trailing blanks and control characters.
enum class ListedName { AsStored, Trimmed };

// Empties `list` and fills it with the names of the attached devices: one
// GetAllDeviceName call with a table of six entries, the names in the order
// reported, duplicates kept. Then selects the first item when the list holds
// any. `operation` chooses the messages for a missing library or procedure.
// The device lists of the main and the utility window both fill this way.
// While a long operation runs (an erase), which refuses any other device
// operation, the list stays as it is.
void ListAttachedDeviceNames(vcl::TComboBox* list, devbind::Operation operation, ListedName form);
