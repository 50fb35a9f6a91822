#include "app/PasswordGate.h"

#include <windows.h>

#include <cstddef>

#include "app/Fonts.h"
#include "app/Jutility.h"
#include "kt4790/records.h"

namespace {

constexpr std::size_t kMaxPasswordLength = 8;

#ifdef KT4790_ASPI
constexpr const char* kPasswordCorrect = "Password Correct!";
#else
constexpr const char* kPasswordCorrect = "Password Correct.";
#endif

}  // namespace

void PlaceGateControls(vcl::TForm* gate, const GateLayout& layout, vcl::TLabel*& labDoc, vcl::TEdit*& edtPasswd,
                       vcl::TButton*& btnOK, vcl::TButton*& hint, vcl::TButton*& btnCANCEL) {
    const vcl::TFont comic = ComicSansBold();

    labDoc = vcl::PlaceControl<vcl::TLabel>(gate, gate, "labDoc", layout.labDocLeft, 16, layout.labDocWidth, 19);
    labDoc->SetCaption("Please enter the password:");
    labDoc->SetFont(comic);
    edtPasswd = vcl::PlaceControl<vcl::TEdit>(gate, gate, "edtPasswd", 32, 48, 153, 21);
    edtPasswd->SetPasswordChar('*');
    edtPasswd->SetTabOrder(0);

    struct ButtonPlace {
        vcl::TButton*& button;
        const char* name;
        const char* caption;
        int left, tabOrder;
    };
    const ButtonPlace buttons[] = {
        {btnOK, "btnOK", "OK", layout.okLeft, 1},
        {hint, layout.hintName, "HINT", layout.hintLeft, 3},
        {btnCANCEL, "btnCANCEL", "CANCEL", layout.cancelLeft, 2},
    };
    for (const ButtonPlace& place : buttons) {
        place.button = vcl::PlaceControl<vcl::TButton>(gate, gate, place.name, place.left, 80, layout.buttonWidth, 25);
        place.button->SetCaption(place.caption);
        place.button->SetFont(comic);
        place.button->SetTabOrder(place.tabOrder);
    }
}

void EnableUtilityWindow() {
    JUtilityForm->SetEnabled(true);
    JUtilityForm->EnableAllButtons();
}

void ShowPasswordCorrect() { MessageBoxA(nullptr, kPasswordCorrect, "OK", MB_OK); }

GateAnswer CheckGatePassword(devbind::DeviceSession& session, const std::string& deviceName, const std::string& entry,
                             std::initializer_list<devbind::ProcIndex> unused) {
    // The block is ready before anything is loaded.
    kt4790::PasswordBlock block;
    block.SetCurrent(entry.data(), entry.size());

    decltype(&CheckPwd) checkPwd = nullptr;
    if (!session.Load() || !session.BindFinder() || !session.Bind(devbind::kCheckPwd, checkPwd)) {
        return GateAnswer::Stopped;
    }
    for (const devbind::ProcIndex name : unused) {
        FARPROC address = nullptr;
        if (!session.Bind(name, address)) return GateAnswer::Stopped;
    }
    if (!session.Find(deviceName.c_str())) return GateAnswer::Stopped;

    if (entry.size() > kMaxPasswordLength) return GateAnswer::Refused;
#ifdef KT4790_ASPI
    const bool accepted = checkPwd(session.HostAdapterId, session.TargetId, block.bytes) != 0;
#else
    const bool accepted = checkPwd(session.DeviceHandle, block.bytes) != 0;
#endif
    return accepted ? GateAnswer::Accepted : GateAnswer::Refused;
}
