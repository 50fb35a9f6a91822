// What the two password gates share: the format gate (Fchkpwd) and the
// partition gate (Pchkpwd) stand in front of their dialogs when the device
// has a password, with the same five controls and the same check of the
// typed password. Where they differ (the procedures bound, the order of the
// answers, the dialog opened afterwards) stays in their own units.
#pragma once

#include <initializer_list>
#include <string>

#include "app/devbind.h"
#include "vcl/vcl.h"

// Where one gate's build puts its controls. The edit lies at 32, 48,
// 153 x 21 in every gate; the label is 19 pixels high at top 16, the three
// buttons 25 pixels high at top 80.
struct GateLayout {
    int labDocLeft, labDocWidth;
    int okLeft, hintLeft, cancelLeft, buttonWidth;
    const char* hintName;  // the "HINT" button's name
};

// Makes the gate's label, edit and buttons with their captions, fonts and
// tab order (edit, OK, CANCEL, HINT). The edit takes the form's font and
// shows "*" for each character; its length limit is the gate's own.
void PlaceGateControls(vcl::TForm* gate, const GateLayout& layout, vcl::TLabel*& labDoc, vcl::TEdit*& edtPasswd,
                       vcl::TButton*& btnOK, vcl::TButton*& hint, vcl::TButton*& btnCANCEL);

// CANCEL and the close box: the utility window and its seven function
// buttons are usable again.
void EnableUtilityWindow();

// "Password Correct." (KT4790MCAP "Password Correct!"), captioned "OK".
void ShowPasswordCorrect();

enum class GateAnswer {
    Stopped,   // a library, procedure or device failure; its message was shown
    Accepted,  // CheckPwd accepted the password
    Refused,   // CheckPwd refused it, or it cannot be a password at all
};

// The check behind a gate's "OK": builds the PasswordBlock from `entry`,
// loads the library through `session`, binds the finder, CheckPwd and then
// `unused` (bound so that a library without them refuses the gate, never
// called), finds `deviceName` and sends CheckPwd. The session keeps the
// library and the device until the caller lets it go.
//
// A password has at most 8 characters. A longer entry is answered as a
// refused one without being sent: cut to fit the block it could pass for a
// password it is not, and the device would count it towards its lock.
GateAnswer CheckGatePassword(devbind::DeviceSession& session, const std::string& deviceName, const std::string& entry,
                             std::initializer_list<devbind::ProcIndex> unused);
