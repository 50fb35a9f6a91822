// TRegistry: one open key under a root key, integer values.
#include "vcl/vcl.h"

namespace vcl {

namespace {

[[noreturn]] void Fail(const char* format, const std::string& name) {
    const std::string text(format);
    const std::size_t at = text.find("%s");
    throw ERegistryException(text.substr(0, at) + name + text.substr(at + 2));
}

}  // namespace

TRegistry::TRegistry() : TRegistry(KEY_ALL_ACCESS) {}

TRegistry::TRegistry(REGSAM access) : rootKey_(HKEY_CURRENT_USER), access_(access) {}

TRegistry::~TRegistry() { CloseKey(); }

void TRegistry::SetRootKey(HKEY key) {
    CloseKey();
    rootKey_ = key;
}

bool TRegistry::OpenKey(const std::string& key, bool canCreate) {
    const bool absolute = !key.empty() && key[0] == '\\';
    const HKEY base = (absolute || currentKey_ == nullptr) ? rootKey_ : currentKey_;
    const std::string path = absolute ? key.substr(1) : key;
    HKEY opened = nullptr;
    LSTATUS status;
    if (canCreate) {
        DWORD disposition = 0;
        status = RegCreateKeyExA(base, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access_, nullptr, &opened,
                                 &disposition);
    } else {
        status = RegOpenKeyExA(base, path.c_str(), 0, access_, &opened);
    }
    if (status != ERROR_SUCCESS) return false;
    CloseKey();
    currentKey_ = opened;
    return true;
}

void TRegistry::CloseKey() {
    if (currentKey_ != nullptr) {
        RegCloseKey(currentKey_);
        currentKey_ = nullptr;
    }
}

int TRegistry::ReadInteger(const std::string& name) {
    DWORD type = 0;
    DWORD size = 0;
    // The type first: a value of another type is told apart from a missing one.
    if (RegQueryValueExA(currentKey_, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
        Fail("Failed to get data for '%s'", name);
    }
    if (type != REG_DWORD) Fail("Invalid data type for '%s'", name);
    DWORD value = 0;
    size = sizeof value;
    if (RegQueryValueExA(currentKey_, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD) {
        Fail("Failed to get data for '%s'", name);
    }
    return static_cast<int>(value);
}

void TRegistry::WriteInteger(const std::string& name, int value) {
    const DWORD data = static_cast<DWORD>(value);
    if (RegSetValueExA(currentKey_, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                       sizeof data) != ERROR_SUCCESS) {
        Fail("Failed to set data for '%s'", name);
    }
}

}  // namespace vcl
