#include "app/Jsavedialog.h"

#include <windows.h>

#include "app/Jutility.h"

TJSaveDialogForm* JSaveDialogForm = nullptr;

namespace {

// The same text follows a first password and a changed one.
const char* const kDialogLines[] = {
    "Your password was changed successfully. Do ",
    "you want to save your new password to a backup ",
    "file in your computer for reference? ",
    "",
    "Warning:",
    "If you forgot your password, you will need to ",
    "use the power format special utility that will erase ",
    "both the password and the data inside the disk. ",
    "",
    "Your password is saved into an unencrypted text",
    "file. Please keep this file in a safe place.",
};

bool IsExistingFile(const std::string& name) {
    const DWORD attributes = GetFileAttributesA(name.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Moves the file pointer of `file`; `low` and `high` give the distance and
// take the new position. With the high part a file of any size is reached;
// INVALID_SET_FILE_POINTER is then also the low part of a valid position,
// so only with an error code is it a failure (cleared first, so that an
// earlier call's code cannot stand for this one).
bool MoveFilePointer(HANDLE file, DWORD& low, LONG& high, DWORD method) {
    SetLastError(NO_ERROR);
    low = SetFilePointer(file, static_cast<LONG>(low), &high, method);
    return low != INVALID_SET_FILE_POINTER || GetLastError() == NO_ERROR;
}

bool WriteAll(HANDLE file, const char* bytes, DWORD count) {
    DWORD written = 0;
    return WriteFile(file, bytes, count, &written, nullptr) && written == count;
}

// Appends `text` and CR LF to the file behind `file`, which is closed after.
// A file that could not be opened or created is passed over without a word.
// The record goes in whole or not at all, so that a later save never joins
// two passwords on one line: when the move to the end or a write fails, the
// file is cut back to its old end, and one `created` for this save is
// removed again.
void AppendLine(HANDLE file, const std::string& name, bool created, const std::string& text) {
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD endLow = 0;
    LONG endHigh = 0;
    const bool atEnd = MoveFilePointer(file, endLow, endHigh, FILE_END);
    const bool appended = atEnd && WriteAll(file, text.data(), static_cast<DWORD>(text.size())) &&
                          WriteAll(file, "\r\n", 2);
    if (!appended && atEnd && !created && MoveFilePointer(file, endLow, endHigh, FILE_BEGIN)) SetEndOfFile(file);
    CloseHandle(file);
    if (!appended && created) DeleteFileA(name.c_str());
}

}  // namespace

TJSaveDialogForm::TJSaveDialogForm(vcl::TComponent* Owner) : vcl::TForm(Owner) {
    SetName("JSaveDialogForm");
    SetCaption("Save");
    SetBorderStyle(vcl::bsDialog);
    SetClientWidth(337);
    SetClientHeight(233);

    MoDialog = vcl::PlaceControl<vcl::TMemo>(this, this, "MoDialog", 8, 8, 321, 177);
    MoDialog->SetReadOnly(true);
    MoDialog->SetColor(vcl::clBtnFace);
    vcl::TFont red = MoDialog->Font();
    red.Color = vcl::clRed;
    MoDialog->SetFont(red);
    for (const char* line : kDialogLines) MoDialog->Lines().Add(line);
    MoDialog->SetTabOrder(0);

    btnSave = vcl::PlaceControl<vcl::TButton>(this, this, "btnSave", 56, 196, 89, 25);
    btnSave->SetCaption("Save");
    btnSave->SetTabOrder(1);
    btnDontSave = vcl::PlaceControl<vcl::TButton>(this, this, "btnDontSave", 192, 196, 89, 25);
    btnDontSave->SetCaption("Don't Save");
    btnDontSave->SetTabOrder(2);

    btnSave->OnClick = vcl::Handler(this, &TJSaveDialogForm::btnSaveClick);
    btnDontSave->OnClick = vcl::Handler(this, &TJSaveDialogForm::btnDontSaveClick);
    OnShow = vcl::Handler(this, &TJSaveDialogForm::FormShow);
    OnClose = vcl::Handler(this, &TJSaveDialogForm::FormClose);
}

void TJSaveDialogForm::FormShow(vcl::TObject* /*Sender*/) {
    CentreOnScreen();
    btnSave->SetFocus();
}

void TJSaveDialogForm::FormClose(vcl::TObject* /*Sender*/, vcl::TCloseAction& /*Action*/) {
    JUtilityForm->EnableAllButtons();
}

void TJSaveDialogForm::btnSaveClick(vcl::TObject* /*Sender*/) {
    vcl::TSaveDialog* dialog = JUtilityForm->SaveDialog;
    if (dialog->Execute()) {
        const std::string& name = dialog->FileName();
        HANDLE file = INVALID_HANDLE_VALUE;
        const bool exists = IsExistingFile(name);
        if (exists) {
            // The question speaks of overwriting, but OK keeps the file's
            // lines and appends the new one.
            if (MessageBoxA(nullptr, "The file exists, do you want to overwrite the file?", "WARNING",
                            MB_OKCANCEL) != IDOK) {
                return;
            }
            file = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        } else {
            // Only while no file has the name: one that appeared since the
            // look above is not replaced without the question.
            file = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        }
        AppendLine(file, name, !exists, NewPassword);
    }
    SetVisible(false);
    JUtilityForm->EnableAllButtons();
}

void TJSaveDialogForm::btnDontSaveClick(vcl::TObject* /*Sender*/) {
    SetVisible(false);
    JUtilityForm->EnableAllButtons();
}
