// kernel32 stand-in, files: drive letters map to folders of a sandbox
// directory that the World creates at first use and removes on Reset.
// Names are found without regard to case, as on Windows; sharing modes,
// read-only files, write-protected and full drives are honoured. Standard
// C++ only (std::filesystem and C streams).
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>

#include "winsim/internals.h"

namespace {

namespace fs = std::filesystem;
using Lock = std::lock_guard<std::recursive_mutex>;
using winsim::KernelObject;
using winsim::OpenFile;

template <typename Result>
Result Fail(DWORD error, Result result) {
    SetLastError(error);
    return result;
}

// A path as Windows reads it: a drive and the names below its root.
struct WindowsPath {
    char drive = 'C';
    std::vector<std::string> parts;
};

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Parses a Windows path. "X:\a\b" and "X:a\b" name drive X; "\a" and "a"
// name drive C:, whose root is the current directory. "." and ".." are
// resolved (".." stops at the root); trailing dots and blanks of a name are
// dropped, as Windows does. No name may hold <>:"|?* or control characters.
bool ParsePath(const std::string& text, WindowsPath& path, DWORD& error) {
    path = WindowsPath();
    std::string rest = text;
    if (rest.empty()) {
        error = ERROR_PATH_NOT_FOUND;
        return false;
    }
    if (rest.size() >= 2 && rest[1] == ':' && std::isalpha(static_cast<unsigned char>(rest[0])) != 0) {
        path.drive = static_cast<char>(std::toupper(static_cast<unsigned char>(rest[0])));
        rest.erase(0, 2);
    } else if (rest.size() >= 2 && IsSeparator(rest[0]) && IsSeparator(rest[1])) {
        error = ERROR_PATH_NOT_FOUND;  // network names: this machine has no network
        return false;
    }
    std::size_t start = 0;
    while (start <= rest.size()) {
        std::size_t end = start;
        while (end < rest.size() && !IsSeparator(rest[end])) ++end;
        std::string part = rest.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!path.parts.empty()) path.parts.pop_back();
            continue;
        }
        while (!part.empty() && (part.back() == '.' || part.back() == ' ')) part.pop_back();
        const bool invalid = part.empty() || std::any_of(part.begin(), part.end(), [](char c) {
                                 return static_cast<unsigned char>(c) < 0x20 || std::strchr("<>:\"|?*", c) != nullptr;
                             });
        if (invalid) {
            error = ERROR_INVALID_NAME;
            return false;
        }
        path.parts.push_back(part);
    }
    return true;
}

bool SameName(const std::string& a, const std::string& b) { return winsim::UpperCase(a) == winsim::UpperCase(b); }

// The host folder of a drive.
fs::path DriveFolder(const std::string& root, char drive) { return fs::path(root) / std::string(1, drive); }

// The host path of `path`: every part that exists is taken with the
// spelling it has on the host, the others as written. `parentExists` tells
// whether the drive and every folder above the last part exist.
fs::path Resolve(const std::string& root, const WindowsPath& path, bool& parentExists) {
    fs::path current = DriveFolder(root, path.drive);
    std::error_code error;
    parentExists = fs::is_directory(current, error);
    for (std::size_t i = 0; i < path.parts.size(); ++i) {
        const std::string& part = path.parts[i];
        std::string name = part;
        if (fs::is_directory(current, error)) {
            for (const fs::directory_entry& entry : fs::directory_iterator(current, error)) {
                const std::string existing = entry.path().filename().string();
                if (SameName(existing, part)) {
                    name = existing;
                    break;
                }
            }
        }
        current /= name;
        if (i + 1 < path.parts.size() && !fs::is_directory(current, error)) parentExists = false;
    }
    return current;
}

// Creates the folders of `path` (the drive's too) and returns its host path.
fs::path MakeFolders(const std::string& root, const WindowsPath& path) {
    WindowsPath prefix;
    prefix.drive = path.drive;
    std::error_code error;
    fs::create_directories(DriveFolder(root, path.drive), error);
    fs::path current = DriveFolder(root, path.drive);
    for (const std::string& part : path.parts) {
        prefix.parts.push_back(part);
        bool parentExists = false;
        current = Resolve(root, prefix, parentExists);
        fs::create_directory(current, error);
    }
    return current;
}

// The sandbox root, created with drive C: and the Windows directory at first use.
const std::string& EnsureSandbox(winsim::World::Internals& in) {
    if (!in.sandboxRoot.empty()) return in.sandboxRoot;
    std::random_device random;
    const fs::path base = fs::temp_directory_path();
    for (;;) {
        std::ostringstream name;
        name << "winsim-" << std::hex << random() << random();
        const fs::path candidate = base / name.str();
        std::error_code error;
        if (fs::create_directory(candidate, error)) {
            in.sandboxRoot = candidate.string();
            break;
        }
        if (error) throw std::runtime_error("winsim cannot create its file sandbox in " + base.string());
    }
    WindowsPath windows;
    DWORD error = 0;
    if (ParsePath(in.windowsDirectory, windows, error)) MakeFolders(in.sandboxRoot, windows);
    fs::create_directories(DriveFolder(in.sandboxRoot, 'C'));
    return in.sandboxRoot;
}

// A Windows path of a test helper: parsed, or the test's own mistake.
WindowsPath ParseForTest(const std::string& text) {
    WindowsPath path;
    DWORD error = 0;
    if (!ParsePath(text, path, error)) throw std::invalid_argument("not a valid Windows path: " + text);
    return path;
}

// A file name looked up: its Windows path and its host path, or the error
// for no name, a name that is not valid or one whose drive or folders do
// not exist.
struct NamedFile {
    WindowsPath path;
    fs::path host;
    DWORD error = ERROR_SUCCESS;
};

NamedFile LookUp(winsim::World::Internals& in, LPCSTR name) {
    NamedFile named;
    if (name == nullptr) {
        named.error = ERROR_INVALID_PARAMETER;
    } else if (ParsePath(name, named.path, named.error)) {
        bool parentExists = false;
        named.host = Resolve(EnsureSandbox(in), named.path, parentExists);
        if (!parentExists) named.error = ERROR_PATH_NOT_FOUND;
    }
    return named;
}

OpenFile* FindFile(winsim::World::Internals& in, HANDLE handle, KernelObject** objectOut = nullptr) {
    KernelObject* object = winsim::FindKernelObject(in, handle);
    if (object == nullptr || object->kind != KernelObject::Kind::File) return nullptr;
    if (objectOut != nullptr) *objectOut = object;
    return object->file.get();
}

// Whether an open of `hostPath` with these rights and sharing agrees with
// every handle already open on the same file.
bool SharingAllows(const winsim::World::Internals& in, const std::string& hostPath, DWORD access, DWORD share) {
    for (const auto& entry : in.kernelObjects) {
        const KernelObject& other = entry.second;
        if (other.kind != KernelObject::Kind::File || other.file->hostPath != hostPath) continue;
        const bool newReads = (access & GENERIC_READ) != 0;
        const bool newWrites = (access & GENERIC_WRITE) != 0;
        const bool oldReads = (other.access & GENERIC_READ) != 0;
        const bool oldWrites = (other.access & GENERIC_WRITE) != 0;
        if (newReads && (other.file->share & FILE_SHARE_READ) == 0) return false;
        if (newWrites && (other.file->share & FILE_SHARE_WRITE) == 0) return false;
        if (oldReads && (share & FILE_SHARE_READ) == 0) return false;
        if (oldWrites && (share & FILE_SHARE_WRITE) == 0) return false;
    }
    return true;
}

std::uint64_t HostFileSize(const OpenFile& file) {
    std::fflush(file.stream.get());
    std::error_code error;
    const std::uintmax_t size = fs::file_size(file.hostPath, error);
    return error ? 0 : static_cast<std::uint64_t>(size);
}

// Whether the drive of `file` has room for it to be `length` bytes long,
// taking that room: what the file grows by counts against the drive's free
// space.
bool TakeFreeSpace(winsim::World::Internals& in, const OpenFile& file, std::uint64_t length) {
    const auto free = in.driveFreeSpace.find(file.drive);
    if (free == in.driveFreeSpace.end()) return true;
    const std::uint64_t size = HostFileSize(file);
    const std::uint64_t growth = length > size ? length - size : 0;
    if (growth > free->second) return false;
    free->second -= growth;
    return true;
}

}  // namespace

namespace winsim {

void RemoveSandbox(World::Internals& in) {
    if (in.sandboxRoot.empty()) return;
    std::error_code error;
    fs::remove_all(in.sandboxRoot, error);
    in.sandboxRoot.clear();
}

HANDLE CreateSandboxFile(World& world, LPCSTR name, DWORD access, DWORD share, DWORD disposition,
                         DWORD attributes) {
    World::Internals& in = world.internals();
    WindowsPath path;
    DWORD error = ERROR_SUCCESS;
    if (!ParsePath(name, path, error)) return Fail(error, INVALID_HANDLE_VALUE);
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
        return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    }
    const std::string& root = EnsureSandbox(in);
    bool parentExists = false;
    const fs::path host = Resolve(root, path, parentExists);
    if (!parentExists) return Fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
    std::error_code fsError;
    if (path.parts.empty() || fs::is_directory(host, fsError)) return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);

    const std::string hostPath = host.string();
    const bool exists = fs::exists(host, fsError);
    if (disposition == CREATE_NEW && exists) return Fail(ERROR_FILE_EXISTS, INVALID_HANDLE_VALUE);
    if ((disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) && !exists) {
        return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    }
    if (disposition == TRUNCATE_EXISTING && (access & GENERIC_WRITE) == 0) {
        return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    }
    const bool truncates = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
    const bool creates = !exists;
    const bool changes = (access & GENERIC_WRITE) != 0 || truncates || creates;
    if (changes && in.writeProtectedDrives.count(path.drive) != 0) {
        return Fail(ERROR_WRITE_PROTECT, INVALID_HANDLE_VALUE);
    }
    if (exists && in.readOnlyFiles.count(hostPath) != 0 && ((access & GENERIC_WRITE) != 0 || truncates)) {
        return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    }
    if (!SharingAllows(in, hostPath, access, share)) return Fail(ERROR_SHARING_VIOLATION, INVALID_HANDLE_VALUE);

    std::FILE* stream = std::fopen(hostPath.c_str(), truncates || creates ? "w+b" : "r+b");
    if (stream == nullptr) return Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    if (creates) {
        in.readOnlyFiles.erase(hostPath);
        if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) in.readOnlyFiles.insert(hostPath);
    }

    auto file = std::make_shared<OpenFile>();
    file->hostPath = hostPath;
    file->stream = std::shared_ptr<std::FILE>(stream, [](std::FILE* f) { std::fclose(f); });
    file->drive = path.drive;
    file->share = share;
    KernelObject object;
    object.kind = KernelObject::Kind::File;
    object.access = access;
    object.file = std::move(file);
    const std::uintptr_t value = in.NewHandleValue();
    in.kernelObjects.emplace(value, std::move(object));
    // An existing file that was opened "always" or replaced says so.
    const bool announceExisting = exists && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS);
    SetLastError(announceExisting ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return reinterpret_cast<HANDLE>(value);
}

// --- World: files -------------------------------------------------------------------------

std::string World::SandboxRoot() {
    Lock lock(mutex());
    return EnsureSandbox(internals());
}

void World::AddDrive(char letter) {
    Lock lock(mutex());
    const char drive = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    if (drive < 'A' || drive > 'Z') throw std::invalid_argument("no such drive letter");
    fs::create_directories(DriveFolder(EnsureSandbox(internals()), drive));
    internals().logicalDrives |= 1u << (drive - 'A');
}

void World::RemoveDrive(char letter) {
    Lock lock(mutex());
    const char drive = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    if (drive < 'A' || drive > 'Z') throw std::invalid_argument("no such drive letter");
    std::error_code error;
    fs::remove_all(DriveFolder(EnsureSandbox(internals()), drive), error);
    internals().logicalDrives &= ~(1u << (drive - 'A'));
}

void World::SetDriveWriteProtected(char letter, bool on) {
    Lock lock(mutex());
    const char drive = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    if (on) {
        internals().writeProtectedDrives.insert(drive);
    } else {
        internals().writeProtectedDrives.erase(drive);
    }
}

void World::SetDriveFreeSpace(char letter, std::uint64_t bytes) {
    Lock lock(mutex());
    internals().driveFreeSpace[static_cast<char>(std::toupper(static_cast<unsigned char>(letter)))] = bytes;
}

void World::SetDriveFull(char letter, bool on) {
    Lock lock(mutex());
    if (on) {
        SetDriveFreeSpace(letter, 0);
    } else {
        internals().driveFreeSpace.erase(static_cast<char>(std::toupper(static_cast<unsigned char>(letter))));
    }
}

void World::SetWindowsDirectory(const std::string& path) {
    Lock lock(mutex());
    const WindowsPath parsed = ParseForTest(path);
    internals().windowsDirectory = path;
    if (!internals().sandboxRoot.empty()) MakeFolders(internals().sandboxRoot, parsed);
}

std::string World::WindowsDirectory() const {
    Lock lock(internals_->mutex);
    return internals_->windowsDirectory;
}

std::string World::HostPath(const std::string& windowsPath) {
    Lock lock(mutex());
    WindowsPath path = ParseForTest(windowsPath);
    const std::string& root = EnsureSandbox(internals());
    if (path.parts.empty()) return MakeFolders(root, path).string();
    const std::string last = path.parts.back();
    path.parts.pop_back();
    MakeFolders(root, path);
    path.parts.push_back(last);
    bool parentExists = false;
    return Resolve(root, path, parentExists).string();
}

void World::PutFile(const std::string& windowsPath, const std::string& bytes) {
    Lock lock(mutex());
    const std::string host = HostPath(windowsPath);
    std::ofstream out(host, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("winsim cannot write " + host);
}

std::optional<std::string> World::FileContents(const std::string& windowsPath) {
    Lock lock(mutex());
    const WindowsPath path = ParseForTest(windowsPath);
    bool parentExists = false;
    const fs::path host = Resolve(EnsureSandbox(internals()), path, parentExists);
    std::error_code error;
    if (!fs::is_regular_file(host, error)) return std::nullopt;
    for (auto& entry : internals().kernelObjects) {
        if (entry.second.kind == KernelObject::Kind::File) std::fflush(entry.second.file->stream.get());
    }
    std::ifstream in(host, std::ios::binary);
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

bool World::FileExists(const std::string& windowsPath) {
    Lock lock(mutex());
    const WindowsPath path = ParseForTest(windowsPath);
    bool parentExists = false;
    const fs::path host = Resolve(EnsureSandbox(internals()), path, parentExists);
    std::error_code error;
    return fs::is_regular_file(host, error);
}

void World::MakeDirectory(const std::string& windowsPath) {
    Lock lock(mutex());
    MakeFolders(EnsureSandbox(internals()), ParseForTest(windowsPath));
}

void World::SetFileReadOnly(const std::string& windowsPath, bool on) {
    Lock lock(mutex());
    const std::string host = HostPath(windowsPath);
    if (on) {
        internals().readOnlyFiles.insert(host);
    } else {
        internals().readOnlyFiles.erase(host);
    }
}

void World::SetFileUnreadable(const std::string& windowsPath, bool on) {
    Lock lock(mutex());
    const std::string host = HostPath(windowsPath);
    if (on) {
        internals().unreadableFiles.insert(host);
    } else {
        internals().unreadableFiles.erase(host);
    }
}

void World::SetFileOpenHook(std::function<void(const std::string& name)> hook) {
    Lock lock(mutex());
    internals().fileOpenHook = std::move(hook);
}

void RunFileOpenHook(World& world, const std::string& name) {
    std::function<void(const std::string&)> hook;
    {
        Lock lock(world.mutex());
        hook = world.internals().fileOpenHook;
    }
    if (hook) hook(name);
}

}  // namespace winsim

extern "C" {

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
    winsim::World& world = winsim::World::Get();
    Lock lock(world.mutex());
    if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
    KernelObject* object = nullptr;
    OpenFile* file = FindFile(world.internals(), hFile, &object);
    if (file == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
    if (lpOverlapped != nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    if ((object->access & GENERIC_READ) == 0) return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (lpBuffer == nullptr && nNumberOfBytesToRead != 0) return Fail(ERROR_INVALID_USER_BUFFER, FALSE);

    if (nNumberOfBytesToRead != 0 && world.internals().unreadableFiles.count(file->hostPath) != 0) {
        return Fail(ERROR_CRC, FALSE);
    }

    std::FILE* stream = file->stream.get();
    std::size_t got = 0;
    if (nNumberOfBytesToRead != 0 && file->position < HostFileSize(*file)) {
        std::fseek(stream, static_cast<long>(file->position), SEEK_SET);
        got = std::fread(lpBuffer, 1, nNumberOfBytesToRead, stream);
    }
    file->position += got;
    if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = static_cast<DWORD>(got);
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped) {
    winsim::World& world = winsim::World::Get();
    Lock lock(world.mutex());
    winsim::World::Internals& in = world.internals();
    if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = 0;
    KernelObject* object = nullptr;
    OpenFile* file = FindFile(in, hFile, &object);
    if (file == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
    if (lpOverlapped != nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    if ((object->access & GENERIC_WRITE) == 0) return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (lpBuffer == nullptr && nNumberOfBytesToWrite != 0) return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
    if (nNumberOfBytesToWrite == 0) return TRUE;
    if (in.writeProtectedDrives.count(file->drive) != 0) return Fail(ERROR_WRITE_PROTECT, FALSE);
    if (!TakeFreeSpace(in, *file, file->position + nNumberOfBytesToWrite)) return Fail(ERROR_DISK_FULL, FALSE);

    // Writing past the end fills the gap with zeros.
    std::FILE* stream = file->stream.get();
    std::fseek(stream, static_cast<long>(file->position), SEEK_SET);
    const std::size_t put = std::fwrite(lpBuffer, 1, nNumberOfBytesToWrite, stream);
    std::fflush(stream);
    file->position += put;
    if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = static_cast<DWORD>(put);
    return put == nNumberOfBytesToWrite ? TRUE : Fail(ERROR_DISK_FULL, FALSE);
}

DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, LONG* lpDistanceToMoveHigh, DWORD dwMoveMethod) {
    winsim::World& world = winsim::World::Get();
    Lock lock(world.mutex());
    OpenFile* file = FindFile(world.internals(), hFile);
    if (file == nullptr) return Fail(ERROR_INVALID_HANDLE, INVALID_SET_FILE_POINTER);

    // Without the high part the distance is a signed 32-bit value.
    std::int64_t distance = lDistanceToMove;
    if (lpDistanceToMoveHigh != nullptr) {
        distance = static_cast<std::int64_t>((static_cast<std::uint64_t>(static_cast<std::uint32_t>(*lpDistanceToMoveHigh))
                                              << 32) |
                                             static_cast<std::uint32_t>(lDistanceToMove));
    }
    std::int64_t base = 0;
    switch (dwMoveMethod) {
        case FILE_BEGIN: base = 0; break;
        case FILE_CURRENT: base = static_cast<std::int64_t>(file->position); break;
        case FILE_END: base = static_cast<std::int64_t>(HostFileSize(*file)); break;
        default: return Fail(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
    }
    const std::int64_t target = base + distance;
    if (target < 0) return Fail(ERROR_NEGATIVE_SEEK, INVALID_SET_FILE_POINTER);
    // A position that the low part alone cannot tell needs the high part.
    if (lpDistanceToMoveHigh == nullptr && target >= static_cast<std::int64_t>(INVALID_SET_FILE_POINTER)) {
        return Fail(ERROR_INVALID_PARAMETER, INVALID_SET_FILE_POINTER);
    }
    file->position = static_cast<std::uint64_t>(target);
    if (lpDistanceToMoveHigh != nullptr) *lpDistanceToMoveHigh = static_cast<LONG>(file->position >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(file->position & 0xFFFFFFFFu);
}

// The file ends where its pointer stands: cut back, or grown (sparse: the
// new bytes take no space on the host).
BOOL WINAPI SetEndOfFile(HANDLE hFile) {
    winsim::World& world = winsim::World::Get();
    Lock lock(world.mutex());
    winsim::World::Internals& in = world.internals();
    KernelObject* object = nullptr;
    OpenFile* file = FindFile(in, hFile, &object);
    if (file == nullptr) return Fail(ERROR_INVALID_HANDLE, FALSE);
    if ((object->access & GENERIC_WRITE) == 0) return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (in.writeProtectedDrives.count(file->drive) != 0) return Fail(ERROR_WRITE_PROTECT, FALSE);
    if (!TakeFreeSpace(in, *file, file->position)) return Fail(ERROR_DISK_FULL, FALSE);
    std::fflush(file->stream.get());
    std::error_code error;
    fs::resize_file(file->hostPath, file->position, error);
    return error ? Fail(ERROR_ACCESS_DENIED, FALSE) : TRUE;
}

DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
    winsim::World& world = winsim::World::Get();
    Lock lock(world.mutex());
    OpenFile* file = FindFile(world.internals(), hFile);
    if (file == nullptr) return Fail(ERROR_INVALID_HANDLE, INVALID_FILE_SIZE);
    const std::uint64_t size = HostFileSize(*file);
    if (lpFileSizeHigh != nullptr) *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(size & 0xFFFFFFFFu);
}

DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) {
    winsim::World& world = winsim::World::Get();
    Lock lock(world.mutex());
    winsim::World::Internals& in = world.internals();
    const NamedFile named = LookUp(in, lpFileName);
    if (named.error != ERROR_SUCCESS) return Fail(named.error, INVALID_FILE_ATTRIBUTES);
    std::error_code fsError;
    if (fs::is_directory(named.host, fsError)) return FILE_ATTRIBUTE_DIRECTORY;
    if (!fs::exists(named.host, fsError)) return Fail(ERROR_FILE_NOT_FOUND, INVALID_FILE_ATTRIBUTES);
    return in.readOnlyFiles.count(named.host.string()) != 0 ? FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE
                                                            : FILE_ATTRIBUTE_ARCHIVE;
}

// A read-only file, one on a write-protected drive or one still open is
// not deleted. (Windows 95 deletes an open file all the same; Windows NT
// refuses, so a program closes its file first.)
BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
    winsim::World& world = winsim::World::Get();
    Lock lock(world.mutex());
    winsim::World::Internals& in = world.internals();
    const NamedFile named = LookUp(in, lpFileName);
    if (named.error != ERROR_SUCCESS) return Fail(named.error, FALSE);
    std::error_code fsError;
    if (named.path.parts.empty() || fs::is_directory(named.host, fsError)) return Fail(ERROR_ACCESS_DENIED, FALSE);
    if (!fs::exists(named.host, fsError)) return Fail(ERROR_FILE_NOT_FOUND, FALSE);
    if (in.writeProtectedDrives.count(named.path.drive) != 0) return Fail(ERROR_WRITE_PROTECT, FALSE);
    const std::string hostPath = named.host.string();
    if (in.readOnlyFiles.count(hostPath) != 0) return Fail(ERROR_ACCESS_DENIED, FALSE);
    for (const auto& entry : in.kernelObjects) {
        const KernelObject& other = entry.second;
        if (other.kind == KernelObject::Kind::File && other.file->hostPath == hostPath) {
            return Fail(ERROR_SHARING_VIOLATION, FALSE);
        }
    }
    if (!fs::remove(named.host, fsError)) return Fail(ERROR_ACCESS_DENIED, FALSE);
    in.unreadableFiles.erase(hostPath);
    return TRUE;
}

UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) {
    const std::string directory = winsim::World::Get().WindowsDirectory();
    // Too small a buffer (or none): the size it needs, terminator included.
    if (lpBuffer == nullptr || uSize <= directory.size()) return static_cast<UINT>(directory.size() + 1);
    std::memcpy(lpBuffer, directory.c_str(), directory.size() + 1);
    return static_cast<UINT>(directory.size());
}

}  // extern "C"
