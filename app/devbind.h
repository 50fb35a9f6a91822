// Per-operation binding of the device command library.
//
// Every device operation loads the library by its bare name, binds the
// procedures it needs in its own fixed order, finds its device, sends its
// commands and lets go of everything before its event handler returns.
// `DeviceSession` is that pattern; the messages it shows on the way (library
// missing, procedure missing, device not found) are kept as data, per
// operation and build, in devbind.cpp and nowhere else.
#pragma once

#include <windows.h>

#include "devlib/devcmd.h"

namespace devbind {

// The device operations of the application, each with its own messages.
enum class Operation {
    MainDeviceList,      // main window's device list
    MainOk,              // main window "OK"
    HintButton,          // the five "HINT" buttons
    UtilityDeviceList,   // utility window's device list
    PasswordOpener,      // "SET/CHECK PASSWORD" and "CHANGE PASSWORD" openers
    FormatOpener,        // "FORMAT" and "PARTITION" openers
    ChangeDeviceNameOk,  // change-device-name "OK"
    FormatGateOk,        // format password gate "OK"
    PartitionGateOk,     // partition password gate "OK"
    CheckPwdOk,          // check-password "OK"
    SetPwdOk,            // set-password "OK"
    ChangePwdOk,         // change-password "OK"
    ClearPwdOk,          // clear-password "OK"
    SingleFormatStart,   // single-disk format start
    PartitionStart,      // partition start
    FormatterOpen,       // the formatter's device opening
    TwoAreaLoad,         // the two-area format's library load: no procedure messages
};

// ProcNameTable: the procedure names, in alphabetical order, then the
// RevisionFilter and the library name.
#ifdef KT4790_ASPI
enum ProcIndex {
    kChangePwd, kCheckPwd, kEraseBlock, kGetAllDeviceName, kGetChipVersion, kGetDeviceID, kGetDeviceName,
    kGetMediaSize, kGetPhyBlock, kPwdExist, kSetEString, kVSCReadSector, kVSCWriteSector, kWriteProtect,
    kRevisionFilter, kLibraryName, kProcNameCount
};
#else
enum ProcIndex {
    kChangePwd, kCheckPwd, kClearPwd, kEraseBlock, kGetAllDeviceName, kGetCapacity, kGetChipVersion,
    kGetDeviceName, kGetHandle, kGetMediaSize, kGetPhyBlock, kInquiryCommand, kPwdExist, kReadSector,
    kSenseCommand, kSetEString, kVSCReadSector, kVSCWriteSector, kWriteSector, kWriteProtect,
    kRevisionFilter, kLibraryName, kProcNameCount
};
#endif
extern const char* const ProcNameTable[kProcNameCount];

// The procedure that finds one device: GetHandle, or GetDeviceID on ASPI.
#ifdef KT4790_ASPI
constexpr ProcIndex kFinder = kGetDeviceID;
#else
constexpr ProcIndex kFinder = kGetHandle;
#endif

// The messages of the table, each shown with MessageBoxA, no owner window.
void ShowError(const char* text);    // caption "ERROR", warning icon
void ShowWarning(const char* text);  // caption "WARNING", warning icon
// "Can't find the device, please check the device!" / "WARNING", for the
// failures after binding that say so whatever the operation's not-found text.
void ShowDeviceNotFound();

// A device operation that lets the window messages run while it works (the
// erase loops). A person can act meanwhile (the close box hides a running
// dialog and gives the utility window its buttons back), but no second
// device operation may run inside the first: while one is running,
// DeviceSession::Load refuses, without a message, and the handler that
// asked does nothing.
class LongOperation {
public:
    LongOperation();
    ~LongOperation();
    LongOperation(const LongOperation&) = delete;
    LongOperation& operator=(const LongOperation&) = delete;
    static bool Running();
};

class DeviceSession {
public:
    explicit DeviceSession(Operation operation);
    ~DeviceSession();  // closes the device handle (pass-through) and frees the library
    DeviceSession(const DeviceSession&) = delete;
    DeviceSession& operator=(const DeviceSession&) = delete;

    // Step 1: LoadLibraryA by bare name; on failure shows the operation's
    // library-missing message. Refused silently inside a LongOperation.
    bool Load();

    // Step 2: binds one procedure by its table name. The first name that does
    // not resolve shows the operation's message for that name and position,
    // frees the library, and every later Bind fails silently.
    template <typename Proc>
    bool Bind(ProcIndex name, Proc& proc) {
        FARPROC address = BindAddress(name);
        proc = reinterpret_cast<Proc>(reinterpret_cast<void*>(address));
        return address != nullptr;
    }

    // Binds the finder (GetHandle, or GetDeviceID on ASPI) for Find.
    bool BindFinder() { return BindAddress(kFinder) != nullptr; }

    // Step 3: finds the device through the bound finder, with writable copies
    // of the RevisionFilter and the name (an empty name is passed as ""). On
    // failure shows the operation's not-found message.
    bool Find(const char* deviceName);

    // Shows the operation's device-not-found message (also used when a
    // command fails in operations whose failure message is that one).
    void ShowNotFound() const;

    // Lets go before the end of the operation, for one that must free the
    // library before its last message: closes the device handle
    // (pass-through) and frees the library. The destructor then has nothing
    // left to release.
    void Release();

    // A writable copy of the RevisionFilter, for GetAllDeviceName, which
    // upper-cases it in place.
    static void CopyRevisionFilter(char (&filter)[16]);

#ifdef KT4790_ASPI
    BYTE HostAdapterId = 0;
    BYTE TargetId = 0;
#else
    HANDLE DeviceHandle = INVALID_HANDLE_VALUE;
#endif

private:
    FARPROC BindAddress(ProcIndex name);

    Operation operation_;
    HMODULE module_ = nullptr;
    int boundCount_ = 0;
    bool failed_ = false;
#ifdef KT4790_ASPI
    decltype(&GetDeviceID) finder_ = nullptr;
#else
    decltype(&GetHandle) finder_ = nullptr;
#endif
};

}  // namespace devbind
