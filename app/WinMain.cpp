#include "app/WinMain.h"

#include <windows.h>

#include <cstring>

#include "vcl/vcl.h"

#include "app/Chgdevname.h"
#include "app/Chgpwd.h"
#include "app/Chkpwd.h"
#include "app/Clearpwd.h"
#include "app/Fchkpwd.h"
#include "app/Jsavedialog.h"
#include "app/Jutility.h"
#include "app/Main.h"
#include "app/Pchkpwd.h"
#include "app/Setpwd.h"
#include "format/Copyfile.h"
#include "format/Dformat.h"
#include "format/Partition.h"
#include "format/Sformat.h"

namespace {

#ifdef KT4790_ASPI
constexpr const char* APP_MUTEX = "ID_KT4790MCAP";
constexpr const char* APP_TITLE = "KT4790MCAP";
constexpr const char* kWrongSystem = "This program is only for Windows 98 and ME.";
#else
constexpr const char* APP_MUTEX = "ID_KT4790CAP";
constexpr const char* APP_TITLE = "KT4790CAP";
constexpr const char* kWrongSystem = "This program is only for Windows 2000 and XP.";
#endif

// Held, owned, until the process ends; the system releases it then.
HANDLE AppMutex = nullptr;

void ShowStartupError(const char* text) { MessageBoxA(nullptr, text, "ERROR", MB_OK | MB_ICONWARNING); }

bool SupportedWindows(const OSVERSIONINFOEXA& version) {
#ifdef KT4790_ASPI
    // Windows 98 (4.10) and Windows ME (4.90).
    return version.dwMajorVersion == 4 && (version.dwMinorVersion == 10 || version.dwMinorVersion == 90);
#else
    // Windows 2000 and later.
    return version.dwMajorVersion > 4;
#endif
}

}  // namespace

bool ReadWindowsVersion(OSVERSIONINFOEXA& version) {
    std::memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXA);
    if (GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&version))) return true;
    version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    return GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&version)) != FALSE;
}

void CreateForms() {
    vcl::Application->CreateForm(MainForm);
    vcl::Application->CreateForm(JUtilityForm);
    vcl::Application->CreateForm(JSFormatForm);
    vcl::Application->CreateForm(ChgPwdForm);
    vcl::Application->CreateForm(ChkPwdForm);
    vcl::Application->CreateForm(ClearPasswdForm);
    vcl::Application->CreateForm(JDFormatForm);
    vcl::Application->CreateForm(JFormatChkPwdForm);
    vcl::Application->CreateForm(JSaveDialogForm);
    vcl::Application->CreateForm(SetPwdForm);
    vcl::Application->CreateForm(ChgDevNameForm);
    vcl::Application->CreateForm(PartitionForm);
    vcl::Application->CreateForm(CopyFileForm);
    vcl::Application->CreateForm(JPartitionChkPwdForm);
}

static_assert(sizeof(OSVERSIONINFOEXA) == 156, "the extended version record is 156 bytes");
static_assert(sizeof(OSVERSIONINFOA) == 148, "the plain version record is 148 bytes");

int AppMain() {
    OSVERSIONINFOEXA version;
    if (!ReadWindowsVersion(version)) {
        ShowStartupError("System Error!");
        return 0;
    }
    if (!SupportedWindows(version)) {
        ShowStartupError(kWrongSystem);
        return 0;
    }

    // Any error here (the mutex exists, or cannot be made) means another
    // instance runs or may run: end silently.
    AppMutex = CreateMutexA(nullptr, TRUE, APP_MUTEX);
    if (GetLastError() != 0) return 0;

    try {
        vcl::Application->Initialize();
        vcl::Application->SetTitle(APP_TITLE);
        CreateForms();
        vcl::Application->Run();
    } catch (const vcl::Exception& exception) {
        vcl::Application->ShowException(exception);
    } catch (...) {
        vcl::Application->ShowException(vcl::Exception(""));
    }
    return 0;
}

#ifdef _WIN32
// The program takes no arguments and ignores the requested show state.
int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPSTR /*commandLine*/, int /*show*/) {
    return AppMain();
}
#endif
