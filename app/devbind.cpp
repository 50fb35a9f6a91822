#include "app/devbind.h"

#include <cstring>
#include <string>

namespace devbind {

#ifdef KT4790_ASPI
const char* const ProcNameTable[kProcNameCount] = {
    "ChangePwd", "CheckPwd", "EraseBlock", "GetAllDeviceName", "GetChipVersion", "GetDeviceID",
    "GetDeviceName", "GetMediaSize", "GetPhyBlock", "PwdExist", "SetEString", "VSCReadSector",
    "VSCWriteSector", "WriteProtect", "KVOR", "KT4790mDLL",
};
#else
const char* const ProcNameTable[kProcNameCount] = {
    "ChangePwd", "CheckPwd", "ClearPwd", "EraseBlock", "GetAllDeviceName", "GetCapacity",
    "GetChipVersion", "GetDeviceName", "GetHandle", "GetMediaSize", "GetPhyBlock", "InquiryCommand",
    "PwdExist", "ReadSector", "SenseCommand", "SetEString", "VSCReadSector", "VSCWriteSector",
    "WriteSector", "WriteProtect", "Rev_KVOR", "KT4790DLL",
};
#endif

namespace {

constexpr const char* kCaptionError = "ERROR";
constexpr const char* kCaptionWarning = "WARNING";

// Library missing.
#ifdef KT4790_ASPI
constexpr const char* kLibMissing = "Can't load the KT4790mDLL.";
constexpr const char* kLibMissingMain = "Can't load the KT4790mDLL.";
constexpr const char* kLibMissingHint = "Can't load the KT4790mDLL!";
#else
constexpr const char* kLibMissing = "Can't load the KT4790DLL.";
constexpr const char* kLibMissingMain = "Can't load the KT4790DLL!";
constexpr const char* kLibMissingHint = "Can't load the KT4790DLL!";
#endif

// Device not found.
constexpr const char* kNotFound = "Can't find the device, please check the device!";
constexpr const char* kNotFoundReplug =
    "Can't find the device, please check the device and try to unplug and replug the device.";
constexpr const char* kNotFoundCheck = "Please check the device!";
constexpr const char* kNotFoundDot = "Can't find the device. Please check the device!";

// Procedure missing.
constexpr const char* kLoadFailed = "Load library failed!";

struct Message {
    const char* text;
    const char* caption;
};
constexpr Message kLE{kLoadFailed, kCaptionError};
constexpr Message kLW{kLoadFailed, kCaptionWarning};
constexpr Message kFW{kNotFound, kCaptionWarning};

// How one operation answers a procedure that does not resolve: every name
// gets `other`, except the names listed in `warnNames` and the first
// `warnFirst` names bound, which get "Load library failed!" / "WARNING".
struct ProcRule {
    Message other;
    ProcIndex warnNames[2];
    int warnNameCount;
    int warnFirst;
};

struct OperationMessages {
    const char* libraryMissing;  // nullptr: no message
    const char* notFound;        // nullptr: no message
    ProcRule procMissing;
};

constexpr ProcIndex kNoName = kProcNameCount;

const OperationMessages& MessagesOf(Operation operation) {
    // The openers bind the finder last (password) or first (format): either
    // way it is the one name with a warning.
    static const OperationMessages kOpener{kLibMissing, kNotFoundReplug, {kLE, {kFinder, kNoName}, 1, 0}};
    static const OperationMessages kAllLW{kLibMissing, kNotFound, {kLW, {kNoName, kNoName}, 0, 0}};
    switch (operation) {
        case Operation::MainDeviceList: {
            static const OperationMessages m{kLibMissingMain, kNotFound, {kLE, {kNoName, kNoName}, 0, 0}};
            return m;
        }
        case Operation::MainOk: {
            static const OperationMessages m{kLibMissingMain, kNotFound, {kLW, {kNoName, kNoName}, 0, 0}};
            return m;
        }
        case Operation::HintButton: {
            static const OperationMessages m{kLibMissingHint, kNotFound, {kLW, {kNoName, kNoName}, 0, 0}};
            return m;
        }
        case Operation::UtilityDeviceList: {
            static const OperationMessages m{kLibMissing, kNotFound, {kLE, {kNoName, kNoName}, 0, 0}};
            return m;
        }
        case Operation::PasswordOpener:
        case Operation::FormatOpener:
            return kOpener;
        case Operation::ChangeDeviceNameOk: {
            static const OperationMessages m{kLibMissing, kNotFound, {kLE, {kNoName, kNoName}, 0, 0}};
            return m;
        }
        case Operation::FormatGateOk: {
            static const OperationMessages m{kLibMissing, kNotFound, {kLE, {kFinder, kCheckPwd}, 2, 0}};
            return m;
        }
        case Operation::PartitionGateOk:
            return kAllLW;
        case Operation::CheckPwdOk: {
#ifdef KT4790_ASPI
            static const OperationMessages m{kLibMissing, kNotFound, {kLW, {kNoName, kNoName}, 0, 0}};
#else
            static const OperationMessages m{kLibMissing, kNotFoundCheck, {kFW, {kNoName, kNoName}, 0, 0}};
#endif
            return m;
        }
        case Operation::SetPwdOk: {
#ifdef KT4790_ASPI
            static const OperationMessages m{kLibMissing, kNotFoundDot, {kLW, {kNoName, kNoName}, 0, 0}};
#else
            static const OperationMessages m{kLibMissing, kNotFound, {kFW, {kNoName, kNoName}, 0, 0}};
#endif
            return m;
        }
        case Operation::ChangePwdOk: {
            static const OperationMessages m{kLibMissing, kNotFound, {kFW, {kNoName, kNoName}, 0, 0}};
            return m;
        }
        case Operation::ClearPwdOk: {
#ifdef KT4790_ASPI
            static const OperationMessages m{kLibMissing, kNotFound, {kFW, {kFinder, kNoName}, 1, 0}};
#else
            static const OperationMessages m{kLibMissing, kNotFound, {kFW, {kNoName, kNoName}, 0, 0}};
#endif
            return m;
        }
        case Operation::SingleFormatStart: {
#ifdef KT4790_ASPI
            static const OperationMessages m{kLibMissing, kNotFound, {kLE, {kNoName, kNoName}, 0, 4}};
#else
            static const OperationMessages m{kLibMissing, kNotFound, {kLE, {kGetHandle, kWriteProtect}, 2, 0}};
#endif
            return m;
        }
        case Operation::PartitionStart: {
#ifdef KT4790_ASPI
            static const OperationMessages m{kLibMissing, kNotFound, {kLE, {kNoName, kNoName}, 0, 3}};
#else
            static const OperationMessages m{kLibMissing, kNotFound, {kLE, {kGetHandle, kGetPhyBlock}, 2, 0}};
#endif
            return m;
        }
        case Operation::FormatterOpen: {
            static const OperationMessages m{kLibMissing, kNotFoundCheck, {kLE, {kFinder, kNoName}, 1, 0}};
            return m;
        }
        case Operation::TwoAreaLoad: {
            // A missing procedure has no message of its own here: the caller
            // shows its own when the load reports failure.
            static const OperationMessages m{kLibMissing, kNotFound, {{nullptr, nullptr}, {kNoName, kNoName}, 0, 0}};
            return m;
        }
    }
    return kAllLW;
}

Message ProcMissingMessage(const ProcRule& rule, ProcIndex name, int position) {
    if (position < rule.warnFirst) return kLW;
    for (int i = 0; i < rule.warnNameCount; ++i) {
        if (rule.warnNames[i] == name) return kLW;
    }
    return rule.other;
}

void Show(const char* text, const char* caption) {
    if (text != nullptr) MessageBoxA(nullptr, text, caption, MB_OK | MB_ICONWARNING);
}

}  // namespace

void ShowError(const char* text) { Show(text, kCaptionError); }
void ShowWarning(const char* text) { Show(text, kCaptionWarning); }
void ShowDeviceNotFound() { ShowWarning(kNotFound); }

DeviceSession::DeviceSession(Operation operation) : operation_(operation) {}

DeviceSession::~DeviceSession() { Release(); }

void DeviceSession::Release() {
#ifndef KT4790_ASPI
    if (DeviceHandle != INVALID_HANDLE_VALUE) {
        CloseHandle(DeviceHandle);
        DeviceHandle = INVALID_HANDLE_VALUE;
    }
#endif
    if (module_ != nullptr) {
        FreeLibrary(module_);
        module_ = nullptr;
    }
    // Nothing of the freed library may be called any more.
    finder_ = nullptr;
}

namespace {
int g_longOperations = 0;
}  // namespace

LongOperation::LongOperation() { ++g_longOperations; }
LongOperation::~LongOperation() { --g_longOperations; }
bool LongOperation::Running() { return g_longOperations != 0; }

bool DeviceSession::Load() {
    if (LongOperation::Running()) {
        failed_ = true;
        return false;
    }
    module_ = LoadLibraryA(ProcNameTable[kLibraryName]);
    if (module_ == nullptr) {
        failed_ = true;
        ShowError(MessagesOf(operation_).libraryMissing);
        return false;
    }
    return true;
}

FARPROC DeviceSession::BindAddress(ProcIndex name) {
    if (failed_ || module_ == nullptr) return nullptr;
    const int position = boundCount_++;
    FARPROC address = GetProcAddress(module_, ProcNameTable[name]);
    if (address == nullptr) {
        failed_ = true;
        const Message m = ProcMissingMessage(MessagesOf(operation_).procMissing, name, position);
        Show(m.text, m.caption);
        Release();
        return nullptr;
    }
    if (name == kFinder) finder_ = reinterpret_cast<decltype(finder_)>(reinterpret_cast<void*>(address));
    return address;
}

void DeviceSession::CopyRevisionFilter(char (&filter)[16]) {
    std::memset(filter, 0, sizeof filter);
    std::strncpy(filter, ProcNameTable[kRevisionFilter], sizeof filter - 1);
}

bool DeviceSession::Find(const char* deviceName) {
    if (failed_ || finder_ == nullptr) return false;
    char filter[16];
    CopyRevisionFilter(filter);
    std::string name = deviceName != nullptr ? deviceName : "";
#ifdef KT4790_ASPI
    const BYTE found = finder_(&HostAdapterId, &TargetId, filter, &name[0]);
    if (found == 0) {
#else
    DeviceHandle = finder_(filter, &name[0]);
    if (DeviceHandle == INVALID_HANDLE_VALUE) {
#endif
        ShowNotFound();
        Release();
        failed_ = true;
        return false;
    }
    return true;
}

void DeviceSession::ShowNotFound() const { ShowWarning(MessagesOf(operation_).notFound); }

}  // namespace devbind
