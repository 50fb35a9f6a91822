// The password-check window: the application's main form and first window.
// It lists the attached devices, checks the password of the selected one
// (a correct one opens the utility window, the third wrong one in a row ends
// the program), shows and stores the automatic pop-up setting "Pop", and owns
// the notification-area icon.
#pragma once

#include <windows.h>

#include "vcl/vcl.h"

// The registry key of the settings, under HKEY_LOCAL_MACHINE.
constexpr const char* REG_SETTINGS_KEY = "Software\\KT4790C\\V2.0";

// The notification-area icon: its id and its callback message (WM_APP + 100).
constexpr UINT ID_TRAYICON = 1006;
constexpr UINT WM_TRAYICON = WM_APP + 100;

class TMainForm : public vcl::TForm {
public:
    explicit TMainForm(vcl::TComponent* Owner);

    vcl::TLabel* labDocLine1;
    vcl::TLabel* labDocLine2;
    vcl::TLabel* labDocLine3;
    vcl::TLabel* labDocLine4;
    vcl::TLabel* labDevice;
    vcl::TLabel* labPassword;
    vcl::TComboBox* cboxDeviceList;
    vcl::TEdit* edtPwd;
    vcl::TButton* btnOk;
    vcl::TButton* btnHint;
    vcl::TButton* btnCancel;
    vcl::TButton* btnRefresh;
    vcl::TCheckBox* rbtnAutoPopUp;
    vcl::TImage* ImgICON;
    vcl::TPopupMenu* PopupMenu;
    vcl::TMenuItem* ShowSECURITY1;
    vcl::TMenuItem* ExitSECURITY1;

    void FormCreate(vcl::TObject* Sender);
    void FormShow(vcl::TObject* Sender);
    void FormDestroy(vcl::TObject* Sender);
    void btnOkClick(vcl::TObject* Sender);
    void btnHintClick(vcl::TObject* Sender);
    void edtPwdKeyPress(vcl::TObject* Sender, char& Key);
    void btnCancelClick(vcl::TObject* Sender);
    void btnRefreshClick(vcl::TObject* Sender);
    void rbtnAutoPopUpClick(vcl::TObject* Sender);

    // The icon's mouse events (the event is the message's LParam): a double
    // click brings the password check back when every window is hidden, a
    // right click opens PopupMenu at the cursor. Then the framework's default
    // handling. The utility window forwards the icon's messages here too.
    void WMTrayIcon(vcl::TMessage& message);
    void ShowSECURITY1Click(vcl::TObject* Sender);
    void ExitSECURITY1Click(vcl::TObject* Sender);

    void Dispatch(vcl::TMessage& message) override;

    // The first step of every device action of this window: drops the
    // stay-on-top style once (the window is re-created with a new handle)
    // and registers the icon with the window's current handle.
    void LeaveStayOnTop();

    // Adds (NIM_ADD), updates (NIM_MODIFY) or removes (NIM_DELETE) the
    // notification-area icon; 1 when the system accepted the call, else 0.
    int SetTrayIcon(DWORD operation);
};

extern TMainForm* MainForm;

// Wrong passwords since the main window was last shown or since the last
// correct password.
extern int FailedAttempts;

// Fills the main window's device list anew with the names of the attached
// devices, and selects the first (ListAttachedDeviceNames).
void FillDeviceList();
