#include "format/Copyfile.h"

#include <windows.h>

#include <string>
#include <vector>

#include "app/Jutility.h"
#include "app/WinMain.h"
#include "app/devbind.h"

TCopyFileForm* CopyFileForm = nullptr;

namespace {

#ifdef KT4790_ASPI
constexpr const char* kSourceFailed = "Copy of system files was not complete. Check the device drive and try again.";
constexpr const char* kDestinationFailed = "Can't copy system files. Check the device drive or reformat the drive.";
constexpr DWORD kSourceAccess = GENERIC_READ;
#else
constexpr const char* kSourceFailed = "The installation of system is not complete.";
constexpr const char* kDestinationFailed = "Can't copy system files, please check the device!";
constexpr DWORD kSourceAccess = GENERIC_READ | GENERIC_WRITE;
#endif
constexpr const char* kFinished = "Copying system files finished.";

// The boot disk's files in the Windows directory, copied in this order.
constexpr const char* kBootDiskFolder = "\\COMMAND\\EBD";
const char* const kBootDiskFiles[] = {"\\COMMAND.COM", "\\IO.SYS"};

// A file handle, closed when it goes.
class OpenFile {
public:
    explicit OpenFile(HANDLE handle) : handle_(handle) {}
    ~OpenFile() {
        if (IsOpen()) CloseHandle(handle_);
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE Handle() const { return handle_; }

private:
    HANDLE handle_;
};

// Copies one file whole and shows the message when it fails. The source is
// read completely before the destination is made: a source that cannot be
// read leaves an existing destination file as it was. The source stays
// open, without sharing, until the copy ends, so a file copied onto itself
// cannot be replaced.
bool CopySystemFile(const std::string& source, const std::string& destination) {
    const OpenFile in(
        CreateFileA(source.c_str(), kSourceAccess, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!in.IsOpen()) {
        devbind::ShowWarning(kSourceFailed);
        return false;
    }
    // One read takes the whole file, so its size must be known and fit one
    // read: a size that cannot be read (INVALID_FILE_SIZE) or that needs
    // more than 32 bits is refused, not truncated.
    DWORD sizeHigh = 0;
    const DWORD size = GetFileSize(in.Handle(), &sizeHigh);
    if (size == INVALID_FILE_SIZE || sizeHigh != 0) {
        devbind::ShowWarning(kSourceFailed);
        return false;
    }
    std::vector<BYTE> buffer(size);
    DWORD read = 0;
    if (size != 0 && (!ReadFile(in.Handle(), buffer.data(), size, &read, nullptr) || read != size)) {
        devbind::ShowWarning(kSourceFailed);
        return false;
    }

    const OpenFile out(CreateFileA(destination.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr));
    DWORD written = 0;
    if (!out.IsOpen() ||
        (size != 0 && (!WriteFile(out.Handle(), buffer.data(), size, &written, nullptr) || written != size))) {
        devbind::ShowWarning(kDestinationFailed);
        return false;
    }
    return true;
}

}  // namespace

TCopyFileForm::TCopyFileForm(vcl::TComponent* Owner) : vcl::TForm(Owner) {
    SetName("CopyFileForm");
    SetCaption("Copy System Files");
    SetBorderStyle(vcl::bsDialog);
    SetClientWidth(335);
    SetClientHeight(137);

    Label1 = vcl::PlaceControl<vcl::TLabel>(this, this, "Label1", 8, 16, 316, 13);
    Label1->SetCaption("Select the drive you want to copy the boot system files.");
    vcl::TFont bold = Label1->Font();
    bold.Style = vcl::fsBold;
    Label1->SetFont(bold);
    DriveComboBox1 = vcl::PlaceControl<vcl::TDriveComboBox>(this, this, "DriveComboBox1", 72, 48, 185, 22);
    DriveComboBox1->SetTabOrder(2);
    btnOk = vcl::PlaceControl<vcl::TButton>(this, this, "btnOk", 40, 96, 81, 25);
    btnOk->SetCaption("OK");
    btnOk->SetTabOrder(0);
    btnCancel = vcl::PlaceControl<vcl::TButton>(this, this, "btnCancel", 200, 96, 81, 25);
    btnCancel->SetCaption("Cancel");
    btnCancel->SetTabOrder(1);

    btnOk->OnClick = vcl::Handler(this, &TCopyFileForm::btnOkClick);
    btnCancel->OnClick = vcl::Handler(this, &TCopyFileForm::btnCancelClick);
    OnShow = vcl::Handler(this, &TCopyFileForm::FormShow);
    OnClose = vcl::Handler(this, &TCopyFileForm::FormClose);
}

void TCopyFileForm::FormShow(vcl::TObject* /*Sender*/) { CentreOnScreen(); }

// The opener disabled the whole utility window, not its buttons. The
// framework hides the dialog after this.
void TCopyFileForm::FormClose(vcl::TObject* /*Sender*/, vcl::TCloseAction& /*Action*/) {
    JUtilityForm->SetEnabled(true);
}

void TCopyFileForm::btnCancelClick(vcl::TObject* /*Sender*/) {
    SetVisible(false);
    JUtilityForm->SetEnabled(true);
}

// Copies to the root of the selected drive and stops at the first file that
// fails; the files copied before it stay.
void TCopyFileForm::btnOkClick(vcl::TObject* /*Sender*/) {
    const char drive = DriveComboBox1->Drive();
    if (drive == 0) {
        devbind::ShowWarning(kDestinationFailed);
        return;
    }
    const std::string destination = std::string(1, drive) + ":";
    char windowsDirectory[261] = {};
    const UINT length = GetWindowsDirectoryA(windowsDirectory, sizeof windowsDirectory);
    if (length == 0 || length >= sizeof windowsDirectory) {
        devbind::ShowWarning(kSourceFailed);
        return;
    }
    const std::string bootDiskFolder = std::string(windowsDirectory) + kBootDiskFolder;

    for (const char* file : kBootDiskFiles) {
        if (!CopySystemFile(bootDiskFolder + file, destination + file)) return;
    }
#ifdef KT4790_ASPI
    // MSDOS.SYS comes from the root of drive C:, whatever drive Windows is
    // on. The version is read first, as the program does at start-up; its
    // values play no part.
    OSVERSIONINFOEXA version;
    if (!ReadWindowsVersion(version)) {
        devbind::ShowError("System Error!");
        return;
    }
    constexpr const char* kMsdosSys = "\\MSDOS.SYS";
    if (!CopySystemFile(std::string("C:") + kMsdosSys, destination + kMsdosSys)) return;
#endif
    MessageBoxA(nullptr, kFinished, "OK", MB_OK);
}
