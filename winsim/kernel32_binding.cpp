// kernel32 stand-in, dynamic binding: LoadLibraryA, GetProcAddress and
// FreeLibrary map a library's bare name to <LibraryDirectory>/<name>.so.
// The one place of winsim that asks the operating system (dlopen, /proc).
#include <windows.h>

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "winsim/internals.h"

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

// Whether `symbol` is defined by the library `module` itself, not by one of
// the libraries it depends on: a module exports only its own procedures.
bool DefinedIn(void* module, void* symbol) {
    link_map* map = nullptr;
    if (dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr) return false;
    Dl_info info;
    if (dladdr(symbol, &info) == 0 || info.dli_fname == nullptr) return false;
    return std::strcmp(info.dli_fname, map->l_name) == 0;
}

// Names below 0x10000 are ordinals, which the product never binds by.
bool IsOrdinal(LPCSTR name) { return reinterpret_cast<std::uintptr_t>(name) < 0x10000; }

}  // namespace

namespace winsim {

std::string DefaultLibraryDirectory() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return ".";
    path[length] = '\0';
    std::string text(path);
    const std::size_t slash = text.rfind('/');
    return slash == std::string::npos ? std::string(".") : text.substr(0, slash == 0 ? 1 : slash);
}

}  // namespace winsim

extern "C" {

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
    if (lpLibFileName == nullptr || lpLibFileName[0] == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::string bareName(lpLibFileName);
    winsim::World& world = winsim::World::Get();
    Lock lock(world.mutex());

    // Only bare names: the product lets the search order find its library.
    if (bareName.find_first_of("/\\") != std::string::npos || world.LibraryHidden(bareName)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    const std::string path = world.LibraryDirectory() + "/" + bareName + ".so";
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    winsim::LoadedLibrary& library = world.internals().libraries[module];
    library.bareName = bareName;
    ++library.references;
    return static_cast<HMODULE>(module);
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    winsim::World& world = winsim::World::Get();
    Lock lock(world.mutex());
    const auto& libraries = world.internals().libraries;
    const auto it = libraries.find(static_cast<void*>(hModule));
    if (it == libraries.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (IsOrdinal(lpProcName)) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    world.internals().procNamesAsked.push_back(lpProcName);
    if (world.ExportHidden(it->second.bareName, lpProcName)) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    void* symbol = dlsym(it->first, lpProcName);
    if (symbol == nullptr || !DefinedIn(it->first, symbol)) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    const auto& replaced = world.internals().replacedExports;
    const auto standIn = replaced.find({winsim::UpperCase(it->second.bareName), lpProcName});
    if (standIn != replaced.end()) return reinterpret_cast<FARPROC>(standIn->second);
    FARPROC procedure;
    static_assert(sizeof procedure == sizeof symbol, "code and data pointers have one size");
    std::memcpy(&procedure, &symbol, sizeof procedure);
    return procedure;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    winsim::World& world = winsim::World::Get();
    Lock lock(world.mutex());
    auto& libraries = world.internals().libraries;
    const auto it = libraries.find(static_cast<void*>(hLibModule));
    if (it == libraries.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (--it->second.references == 0) libraries.erase(it);
    dlclose(static_cast<void*>(hLibModule));
    return TRUE;
}

}  // extern "C"
