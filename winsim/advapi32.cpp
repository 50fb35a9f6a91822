// advapi32 stand-in: the registry below HKEY_LOCAL_MACHINE. Keys are
// paths compared without regard to case; a key may refuse every right
// beyond reading, or refuse to be created, as it does for a user without
// administrative rights.
#include <windows.h>

#include <algorithm>
#include <cstring>

#include "winsim/internals.h"

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;
using winsim::OpenRegistryKey;
using winsim::RegistryKeyData;

// The rights that reading needs; asking for any other is asking for more.
// The two view flags of 64-bit Windows (0x100, 0x200) say nothing about rights.
constexpr REGSAM kReadRights = KEY_READ;
constexpr REGSAM kViewFlags = 0x0300;

bool IsRootKey(HKEY key) { return key == HKEY_LOCAL_MACHINE; }

// A key path as the registry keeps it: upper-cased names joined by '\'.
std::string KeyPath(const std::string& text) {
    std::string path;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\\', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) {
            if (!path.empty()) path += '\\';
            path += winsim::UpperCase(text.substr(start, end - start));
        }
        start = end + 1;
    }
    return path;
}

std::string Join(const std::string& base, const std::string& sub) {
    const std::string tail = KeyPath(sub);
    if (base.empty()) return tail;
    return tail.empty() ? base : base + '\\' + tail;
}

// The path of the key that `key` stands for (the root or an open key).
bool BasePath(const winsim::World::Internals& in, HKEY key, std::string& path) {
    if (IsRootKey(key)) {
        path.clear();
        return true;
    }
    const auto it = in.registryHandles.find(reinterpret_cast<std::uintptr_t>(key));
    if (it == in.registryHandles.end()) return false;
    path = it->second.path;
    return true;
}

bool AccessAllowed(const winsim::World::Internals& in, const std::string& path, REGSAM rights) {
    if (in.registryReadOnlyKeys.count(path) == 0) return true;
    return (rights & ~(kReadRights | kViewFlags)) == 0;
}

HKEY OpenHandle(winsim::World::Internals& in, const std::string& path, REGSAM rights) {
    const std::uintptr_t value = in.NewHandleValue();
    in.registryHandles[value] = OpenRegistryKey{path, rights};
    return reinterpret_cast<HKEY>(value);
}

// The open key behind `key` with the right asked for, or the error to return.
LSTATUS OpenKeyFor(winsim::World::Internals& in, HKEY key, REGSAM right, RegistryKeyData*& data) {
    const auto handle = in.registryHandles.find(reinterpret_cast<std::uintptr_t>(key));
    std::string path;
    REGSAM rights = KEY_ALL_ACCESS;
    if (handle != in.registryHandles.end()) {
        path = handle->second.path;
        rights = handle->second.access;
    } else if (!IsRootKey(key)) {
        return ERROR_INVALID_HANDLE;
    }
    if ((rights & right) != right) return ERROR_ACCESS_DENIED;
    const auto it = in.registryKeys.find(path);
    if (it == in.registryKeys.end()) return ERROR_KEY_DELETED;
    data = &it->second;
    return ERROR_SUCCESS;
}

std::string ValueName(LPCSTR name) { return name == nullptr ? std::string() : std::string(name); }

}  // namespace

namespace winsim {

// --- World: registry -------------------------------------------------------------------

void World::CreateRegistryKey(const std::string& key) {
    Lock lock(mutex());
    // Every key on the way exists as well.
    const std::string path = KeyPath(key);
    std::size_t end = 0;
    while (end != std::string::npos) {
        end = path.find('\\', end + 1);
        internals().registryKeys[path.substr(0, end)];
    }
}

bool World::RegistryKeyExists(const std::string& key) const {
    Lock lock(internals_->mutex);
    return internals_->registryKeys.count(KeyPath(key)) != 0;
}

void World::DeleteRegistryKey(const std::string& key) {
    Lock lock(mutex());
    const std::string path = KeyPath(key);
    if (path.empty()) return;  // the root stays
    auto& keys = internals().registryKeys;
    for (auto it = keys.begin(); it != keys.end();) {
        const bool below = it->first.size() > path.size() && it->first.compare(0, path.size(), path) == 0 &&
                           it->first[path.size()] == '\\';
        it = it->first == path || below ? keys.erase(it) : std::next(it);
    }
}

void World::SetRegistryValue(const std::string& key, const std::string& name, const RegistryValue& value) {
    Lock lock(mutex());
    CreateRegistryKey(key);
    internals().registryKeys[KeyPath(key)].values[UpperCase(name)] = {name, value};
}

void World::SetRegistryDword(const std::string& key, const std::string& name, std::uint32_t value) {
    RegistryValue data;
    data.type = REG_DWORD;
    data.data.resize(4);
    std::memcpy(data.data.data(), &value, 4);  // little-endian, as REG_DWORD is
    SetRegistryValue(key, name, data);
}

void World::DeleteRegistryValue(const std::string& key, const std::string& name) {
    Lock lock(mutex());
    const auto it = internals().registryKeys.find(KeyPath(key));
    if (it != internals().registryKeys.end()) it->second.values.erase(UpperCase(name));
}

std::optional<RegistryValue> World::GetRegistryValue(const std::string& key, const std::string& name) const {
    Lock lock(internals_->mutex);
    const auto it = internals_->registryKeys.find(KeyPath(key));
    if (it == internals_->registryKeys.end()) return std::nullopt;
    const auto value = it->second.values.find(UpperCase(name));
    if (value == it->second.values.end()) return std::nullopt;
    return value->second.second;
}

std::optional<std::uint32_t> World::GetRegistryDword(const std::string& key, const std::string& name) const {
    const std::optional<RegistryValue> value = GetRegistryValue(key, name);
    if (!value || value->type != REG_DWORD || value->data.size() != 4) return std::nullopt;
    std::uint32_t result = 0;
    std::memcpy(&result, value->data.data(), 4);
    return result;
}

void World::DenyRegistryFullAccess(const std::string& key) {
    Lock lock(mutex());
    internals().registryReadOnlyKeys.insert(KeyPath(key));
}

void World::DenyRegistryCreate(const std::string& key) {
    Lock lock(mutex());
    internals().registryUncreatableKeys.insert(KeyPath(key));
}

}  // namespace winsim

extern "C" {

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*ulOptions*/, REGSAM samDesired, PHKEY phkResult) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    winsim::World& world = winsim::World::Get();
    Lock lock(world.mutex());
    winsim::World::Internals& in = world.internals();
    std::string base;
    if (!BasePath(in, hKey, base)) return ERROR_INVALID_HANDLE;
    const std::string path = Join(base, ValueName(lpSubKey));
    if (in.registryKeys.count(path) == 0) return ERROR_FILE_NOT_FOUND;
    if (!AccessAllowed(in, path, samDesired)) return ERROR_ACCESS_DENIED;
    *phkResult = OpenHandle(in, path, samDesired);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*Reserved*/, LPSTR /*lpClass*/, DWORD /*dwOptions*/,
                               REGSAM samDesired, LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, PHKEY phkResult,
                               LPDWORD lpdwDisposition) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    winsim::World& world = winsim::World::Get();
    Lock lock(world.mutex());
    winsim::World::Internals& in = world.internals();
    std::string base;
    if (!BasePath(in, hKey, base)) return ERROR_INVALID_HANDLE;
    const std::string path = Join(base, ValueName(lpSubKey));
    if (!AccessAllowed(in, path, samDesired)) return ERROR_ACCESS_DENIED;

    const bool exists = in.registryKeys.count(path) != 0;
    if (!exists) {
        // Every key that has to be made must be allowed to be made.
        std::size_t end = 0;
        while (end != std::string::npos) {
            end = path.find('\\', end + 1);
            const std::string step = path.substr(0, end);
            if (in.registryKeys.count(step) == 0 && in.registryUncreatableKeys.count(step) != 0) {
                return ERROR_ACCESS_DENIED;
            }
        }
        world.CreateRegistryKey(path);
    }
    if (lpdwDisposition != nullptr) *lpdwDisposition = exists ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    *phkResult = OpenHandle(in, path, samDesired);
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD /*lpReserved*/, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData) {
    if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
    winsim::World& world = winsim::World::Get();
    Lock lock(world.mutex());
    RegistryKeyData* key = nullptr;
    const LSTATUS status = OpenKeyFor(world.internals(), hKey, KEY_QUERY_VALUE, key);
    if (status != ERROR_SUCCESS) return status;
    const auto it = key->values.find(winsim::UpperCase(ValueName(lpValueName)));
    if (it == key->values.end()) return ERROR_FILE_NOT_FOUND;

    const winsim::RegistryValue& value = it->second.second;
    const DWORD size = static_cast<DWORD>(value.data.size());
    if (lpType != nullptr) *lpType = value.type;
    if (lpData != nullptr) {
        if (*lpcbData < size) {
            *lpcbData = size;
            return ERROR_MORE_DATA;
        }
        if (size != 0) std::memcpy(lpData, value.data.data(), size);
    }
    if (lpcbData != nullptr) *lpcbData = size;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD /*Reserved*/, DWORD dwType, const BYTE* lpData,
                              DWORD cbData) {
    if (lpData == nullptr && cbData != 0) return ERROR_INVALID_PARAMETER;
    winsim::World& world = winsim::World::Get();
    Lock lock(world.mutex());
    RegistryKeyData* key = nullptr;
    const LSTATUS status = OpenKeyFor(world.internals(), hKey, KEY_SET_VALUE, key);
    if (status != ERROR_SUCCESS) return status;
    const std::string name = ValueName(lpValueName);
    winsim::RegistryValue value;
    value.type = dwType;
    if (cbData != 0) value.data.assign(lpData, lpData + cbData);
    key->values[winsim::UpperCase(name)] = {name, std::move(value)};
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    if (IsRootKey(hKey)) return ERROR_SUCCESS;
    winsim::World& world = winsim::World::Get();
    Lock lock(world.mutex());
    return world.internals().registryHandles.erase(reinterpret_cast<std::uintptr_t>(hKey)) != 0 ? ERROR_SUCCESS
                                                                                                : ERROR_INVALID_HANDLE;
}

}  // extern "C"
