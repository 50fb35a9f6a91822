#include "winsim/devstack/emulated.h"

#include <winioctl.h>
#include <ntddscsi.h>

#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <system_error>

#include "devlib/cdb.h"
#include "winsim/devstack/devstack.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace devstack {

namespace {

namespace fs = std::filesystem;

constexpr char kDiskListVariable[] = "KT4790_DISKS";
constexpr char kDefaultImage[] = "kt4790-disk.img";
#ifdef _WIN32
constexpr char kListSeparator = ';';
#else
constexpr char kListSeparator = ':';
#endif

// The folder of the running program.
std::string ProgramDirectory() {
#ifdef _WIN32
    char path[MAX_PATH + 1] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return ".";
    return fs::path(std::string(path, length)).parent_path().string();
#else
    std::error_code error;
    const fs::path program = fs::read_symlink("/proc/self/exe", error);
    return error ? std::string(".") : program.parent_path().string();
#endif
}

unsigned long ProcessId() {
#ifdef _WIN32
    return GetCurrentProcessId();
#else
    return static_cast<unsigned long>(getpid());
#endif
}

// Puts `from` in the place of `to` in one step, so that no reader ever
// sees a half-written image.
bool ReplaceFile(const std::string& from, const std::string& to) {
#ifdef _WIN32
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
    return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

// Whether the file at `path` holds an image of the current version now: a
// program that waited for the lock of an image of an earlier version may
// find the path given to a new file in the meantime.
bool PathHoldsCurrentImage(const std::string& path) {
    emulator::StreamImageIo file(path, std::ios::in);
    return file.is_open() && emulator::ImageVersion(file) == emulator::kImageVersion;
}

// A name beside `path` that no other program can foresee, for a temporary
// file: a link planted under a name it could foresee is never followed,
// as the file is created exclusively, but would stop the write.
std::string TemporaryName(const std::string& path) {
    std::uint64_t bits = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                         (std::uint64_t{ProcessId()} << 40);
    try {
        std::random_device source;
        bits ^= (std::uint64_t{source()} << 32) ^ source();
    } catch (const std::exception&) {
        // The clock and the process alone: a foreseen name fails the create.
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(bits));
    return path + "." + text + ".tmp";
}

// Writes an image of the current version in the place of the file `path`
// names (through symbolic links), in one step: a new temporary file beside
// it, with the permissions of `original` (the file open at `path`), moved
// over it. A file with a second name is refused: the move would leave the
// old image under that name. A step that fails leaves no temporary file.
bool WriteNewImage(const emulator::Controller& controller, const LockedImage& original, const std::string& path,
                   std::string* error) {
    std::error_code failure;
    const fs::path target = fs::canonical(path, failure);
    if (failure) {
        if (error != nullptr) *error = path + ": cannot be resolved (" + failure.message() + ")";
        return false;
    }
    if (fs::hard_link_count(target, failure) > 1) {
        if (error != nullptr) *error = path + ": the image file has another name (a hard link); not rewritten";
        return false;
    }
    std::string temporary;
    LockedImage file;
    for (int attempt = 0; attempt < 16 && temporary.empty(); ++attempt) {
        const std::string name = TemporaryName(target.string());
        if (file.Create(name, &original, nullptr)) temporary = name;
    }
    if (temporary.empty()) {
        if (error != nullptr) *error = "cannot create a new image file beside " + path;
        return false;
    }
    if (!controller.SaveImage(file, nullptr) || !file.Close()) {
        std::remove(temporary.c_str());
        if (error != nullptr) *error = "cannot write image file " + path;
        return false;
    }
    if (!ReplaceFile(temporary, target.string())) {
        std::remove(temporary.c_str());
        if (error != nullptr) *error = "cannot replace image file " + path;
        return false;
    }
    return true;
}

// Commands after which the device is as it was, unless its volatile state
// changed. Any other command is taken to change it.
bool ReadsOnly(std::uint8_t opcode) {
    switch (opcode) {
        case devcmd::kOpInquiry:
        case devcmd::kOpModeSense10:
        case devcmd::kOpReadCapacity10:
        case devcmd::kOpRead10:
        case devcmd::kOpGetChipVersion:
        case devcmd::kOpGetMediaSize:
        case devcmd::kOpPwdExist:
        case devcmd::kOpSenseCommand:
        case devcmd::kOpGetPhyBlock:
        case devcmd::kOpVscReadSector:
            return true;
        default:
            return false;
    }
}

bool SameIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t k = 0; k < a.size(); ++k) {
        if (std::toupper(static_cast<unsigned char>(a[k])) != std::toupper(static_cast<unsigned char>(b[k]))) {
            return false;
        }
    }
    return true;
}

template <typename Result>
Result Fail(DWORD error, Result result) {
    SetLastError(error);
    return result;
}

}  // namespace

// --- LockedImage ---------------------------------------------------------------

namespace {
// Moves `size` bytes at `offset` in as many pieces as the system takes:
// `move(at, done, left)` moves some and says how many (0: it failed).
template <typename Move>
bool InPieces(std::uint64_t offset, std::size_t size, Move move) {
    for (std::size_t done = 0; done < size;) {
        const std::size_t moved = move(offset + done, done, size - done);
        if (moved == 0) return false;
        done += moved;
    }
    return true;
}
}  // namespace

#ifdef _WIN32

namespace {
// The lock covers one byte far beyond any image: Windows locks keep other
// handles from the bytes they cover, and the bytes of the image stay free.
constexpr std::uint64_t kLockOffset = 0x4000000000000000ull;

// Where a positioned transfer (or the lock) starts.
OVERLAPPED PlaceAt(std::uint64_t offset) {
    OVERLAPPED place{};
    place.Offset = static_cast<DWORD>(offset);
    place.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return place;
}
// At most 256 MB go in one call.
DWORD PartOf(std::size_t left) { return left > 0x10000000 ? 0x10000000 : static_cast<DWORD>(left); }
}  // namespace

LockedImage::~LockedImage() { Close(); }

bool LockedImage::Close() {
    if (file_ == INVALID_HANDLE_VALUE) return true;
    OVERLAPPED place = PlaceAt(kLockOffset);
    UnlockFileEx(file_, 0, 1, 0, &place);
    const bool closed = CloseHandle(file_) != 0;
    file_ = INVALID_HANDLE_VALUE;
    return closed;
}

namespace {
// Opens (or creates) `path` as `disposition` says and takes its lock.
HANDLE OpenLocked(const std::string& path, bool writable, DWORD disposition, std::string* error) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | (writable ? GENERIC_WRITE : 0),
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    const bool creating = disposition == CREATE_NEW;
    if (file == INVALID_HANDLE_VALUE) {
        if (error != nullptr) *error = (creating ? "cannot create image file " : "cannot open image file ") + path;
        return file;
    }
    OVERLAPPED place = PlaceAt(kLockOffset);
    if (!LockFileEx(file, writable ? LOCKFILE_EXCLUSIVE_LOCK : 0, 0, 1, 0, &place)) {
        CloseHandle(file);
        if (creating) DeleteFileA(path.c_str());
        if (error != nullptr) *error = "cannot lock image file " + path;
        return INVALID_HANDLE_VALUE;
    }
    return file;
}
}  // namespace

bool LockedImage::Open(const std::string& path, bool writable, std::string* error) {
    std::error_code ignored;
    if (fs::exists(path, ignored) && !fs::is_regular_file(path, ignored)) {
        if (error != nullptr) *error = path + ": not a regular file";
        return false;
    }
    file_ = OpenLocked(path, writable, OPEN_EXISTING, error);
    writable_ = writable;
    return file_ != INVALID_HANDLE_VALUE;
}

// A new file takes the permissions of its folder, as every new file does
// here; CREATE_NEW never opens a file that exists by that name.
bool LockedImage::Create(const std::string& path, const LockedImage* /*like*/, std::string* error) {
    file_ = OpenLocked(path, true, CREATE_NEW, error);
    writable_ = true;
    return file_ != INVALID_HANDLE_VALUE;
}

bool LockedImage::ReadAt(std::uint64_t offset, void* data, std::size_t size) {
    return InPieces(offset, size, [&](std::uint64_t at, std::size_t done, std::size_t left) -> std::size_t {
        OVERLAPPED place = PlaceAt(at);
        DWORD moved = 0;
        return ReadFile(file_, static_cast<char*>(data) + done, PartOf(left), &moved, &place) ? moved : 0;
    });
}

bool LockedImage::WriteAt(std::uint64_t offset, const void* data, std::size_t size) {
    return InPieces(offset, size, [&](std::uint64_t at, std::size_t done, std::size_t left) -> std::size_t {
        OVERLAPPED place = PlaceAt(at);
        DWORD moved = 0;
        return WriteFile(file_, static_cast<const char*>(data) + done, PartOf(left), &moved, &place) ? moved : 0;
    });
}

bool LockedImage::Size(std::uint64_t& size) {
    DWORD high = 0;
    const DWORD low = GetFileSize(file_, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return false;
    size = (static_cast<std::uint64_t>(high) << 32) | low;
    return true;
}

bool LockedImage::Resize(std::uint64_t size) {
    LONG high = static_cast<LONG>(size >> 32);
    if (SetFilePointer(file_, static_cast<LONG>(size & 0xFFFFFFFFu), &high, FILE_BEGIN) == INVALID_SET_FILE_POINTER &&
        GetLastError() != NO_ERROR) {
        return false;
    }
    return SetEndOfFile(file_) != 0;
}

// The file systems of Windows fill no holes later: nothing to reserve.
bool LockedImage::Reserve(std::uint64_t /*offset*/, std::uint64_t /*size*/) { return true; }

#else

LockedImage::~LockedImage() { Close(); }

bool LockedImage::Close() {
    if (file_ < 0) return true;
    const bool closed = close(file_) == 0;  // lets the lock go
    file_ = -1;
    return closed;
}

namespace {
// Takes the lock of an open file (exclusive for writing); closes it when
// that fails.
int Locked(int file, bool writable, const std::string& path, std::string* error) {
    // flock belongs to the open file, not to the process: two stacks of one
    // program wait for each other as two programs do.
    while (flock(file, writable ? LOCK_EX : LOCK_SH) != 0) {
        if (errno == EINTR) continue;
        close(file);
        if (error != nullptr) *error = "cannot lock image file " + path;
        return -1;
    }
    return file;
}
}  // namespace

bool LockedImage::Open(const std::string& path, bool writable, std::string* error) {
    // Opening a FIFO or a device would block or read without end: the open
    // does not wait, and only a regular file is kept.
    const int file = open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC);
    struct stat status {};
    if ((file < 0 && errno == EISDIR) || (file >= 0 && (fstat(file, &status) != 0 || !S_ISREG(status.st_mode)))) {
        if (file >= 0) close(file);
        if (error != nullptr) *error = path + ": not a regular file";
        return false;
    }
    if (file < 0) {
        if (error != nullptr) *error = "cannot open image file " + path;
        return false;
    }
    file_ = Locked(file, writable, path, error);
    writable_ = writable;
    return file_ >= 0;
}

// O_EXCL fails on any name that exists, a symbolic link included. The
// permissions of `like` are set whatever the umask says.
bool LockedImage::Create(const std::string& path, const LockedImage* like, std::string* error) {
    struct stat status {};
    const bool copy = like != nullptr && fstat(like->file_, &status) == 0;
    const int file = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, copy ? S_IRUSR | S_IWUSR : 0666);
    if (file < 0) {
        if (error != nullptr) *error = "cannot create image file " + path;
        return false;
    }
    file_ = Locked(file, true, path, error);
    writable_ = true;
    if (file_ < 0) {
        std::remove(path.c_str());
        return false;
    }
    if (copy && fchmod(file_, status.st_mode & 07777) != 0) {
        Close();
        std::remove(path.c_str());
        if (error != nullptr) *error = "cannot set the permissions of image file " + path;
        return false;
    }
    return true;
}

bool LockedImage::ReadAt(std::uint64_t offset, void* data, std::size_t size) {
    return InPieces(offset, size, [&](std::uint64_t at, std::size_t done, std::size_t left) -> std::size_t {
        ssize_t moved;
        do {
            moved = pread(file_, static_cast<char*>(data) + done, left, static_cast<off_t>(at));
        } while (moved < 0 && errno == EINTR);
        return moved > 0 ? static_cast<std::size_t>(moved) : 0;
    });
}

bool LockedImage::WriteAt(std::uint64_t offset, const void* data, std::size_t size) {
    return InPieces(offset, size, [&](std::uint64_t at, std::size_t done, std::size_t left) -> std::size_t {
        ssize_t moved;
        do {
            moved = pwrite(file_, static_cast<const char*>(data) + done, left, static_cast<off_t>(at));
        } while (moved < 0 && errno == EINTR);
        return moved > 0 ? static_cast<std::size_t>(moved) : 0;
    });
}

bool LockedImage::Size(std::uint64_t& size) {
    struct stat status {};
    if (fstat(file_, &status) != 0) return false;
    size = static_cast<std::uint64_t>(status.st_size);
    return true;
}

bool LockedImage::Resize(std::uint64_t size) { return ftruncate(file_, static_cast<off_t>(size)) == 0; }

// Holes of the file are filled, its size and bytes stay; a file system that
// cannot reserve has nothing to fill later either.
bool LockedImage::Reserve(std::uint64_t offset, std::uint64_t size) {
    int result;
    do {
        result = fallocate(file_, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset), static_cast<off_t>(size));
    } while (result != 0 && errno == EINTR);
    return result == 0 || (errno != ENOSPC && errno != EDQUOT && errno != EFBIG);
}

#endif

bool ImageView::Open(const std::string& path, std::string* error) {
    if (!file_.Open(path, false, error)) return false;
    if (emulator::ImageVersion(file_) != emulator::kImageVersion) {
        earlier_ = emulator::Controller::LoadImage(file_, path, error);
        return earlier_ != nullptr;
    }
    disk_ = emulator::ImageDisk::Open(file_, path, error);
    return disk_ != nullptr && disk_->Begin(file_, error);
}

bool ChangeImage(const std::string& path, const std::function<bool(emulator::Controller&, std::string*)>& change,
                 std::string* error) {
    for (;;) {
        LockedImage file;
        if (!file.Open(path, true, error)) return false;
        if (emulator::ImageVersion(file) == emulator::kImageVersion) {
            std::unique_ptr<emulator::ImageDisk> disk = emulator::ImageDisk::Open(file, path, error);
            if (disk == nullptr || !disk->Begin(file, error)) return false;
            if (!change(disk->controller(), error)) return false;  // the changes are dropped with the disk
            return disk->End(error);
        }
        if (PathHoldsCurrentImage(path)) continue;  // rewritten while this waited
        std::unique_ptr<emulator::Controller> controller = emulator::Controller::LoadImage(file, path, error);
        if (controller == nullptr || !change(*controller, error)) return false;
        return WriteNewImage(*controller, file, path, error);
    }
}

std::vector<std::string> DiskImagePaths() {
    const char* list = std::getenv(kDiskListVariable);
    if (list == nullptr) return {(fs::path(ProgramDirectory()) / kDefaultImage).string()};
    std::vector<std::string> paths;
    std::string rest = list;
    while (!rest.empty()) {
        const std::size_t end = rest.find(kListSeparator);
        const std::string path = rest.substr(0, end);
        rest = end == std::string::npos ? std::string() : rest.substr(end + 1);
        if (!path.empty()) paths.push_back(path);
    }
    return paths;
}

// What became of a command's effect: in the image, not stored (the image is
// as before the command), or no image to run it on after all.
enum class Stored { Yes, No, NoDisk };

// One image file as this stack last saw it.
struct Disk {
    std::unique_ptr<emulator::ImageDisk> image;         // the current version, used in place
    std::unique_ptr<emulator::Controller> earlier;      // an earlier version, read whole for one command
};

// A SetupAPI list: the interface paths present when it was made.
struct InterfaceList {
    GUID interfaceClass{};
    std::vector<std::string> paths;
};

// An open disk: its image and the rights asked for.
struct OpenedDisk {
    std::string image;
    DWORD access = 0;
};

struct EmulatedStack::State {
    std::map<std::string, Disk> disks;  // by image path
    std::map<std::uintptr_t, std::unique_ptr<InterfaceList>> lists;
    std::map<std::uintptr_t, std::unique_ptr<OpenedDisk>> handles;

    // Runs `run` with the controller of the image as its file is now (null
    // when it is no image), under the file's lock; `run` returns whether the
    // command reached the device. What it changed is written before the
    // lock goes; when that fails the file is as it was, and the command's
    // effect is not stored.
    template <typename Run>
    Stored Command(const std::string& path, std::uint8_t opcode, Run run) {
        Disk& disk = disks[path];
        std::unique_ptr<LockedImage> file;
        std::uint32_t version = 0;
        for (;;) {
            disk.earlier.reset();
            file = std::make_unique<LockedImage>();
            // A file this program may not write is a write-protected disk.
            if (!file->Open(path, true, nullptr) && !file->Open(path, false, nullptr)) {
                disk.image.reset();
                run(nullptr);
                return Stored::NoDisk;
            }
            // An image of an earlier version may have been rewritten while
            // this waited for its lock: the path names the new file then.
            version = emulator::ImageVersion(*file);
            if (version == emulator::kImageVersion || !PathHoldsCurrentImage(path)) break;
        }
        if (version != emulator::kImageVersion) {
            disk.image.reset();
            disk.earlier = emulator::Controller::LoadImage(*file, path, nullptr);
            emulator::Controller* controller = disk.earlier.get();
            if (controller == nullptr) {
                run(nullptr);
                return Stored::NoDisk;
            }
            controller->SetTracing(false);
            if (!file->Writable()) controller->InjectFault({emulator::FaultKind::WriteProtected, 0, -1, false});
            const emulator::VolatileState before = controller->volatileState();
            const std::string password = controller->config().password;
            if (!run(controller)) return Stored::Yes;
            // Read-only, the volatile state stays in this command.
            if (!file->Writable()) return controller->config().password == password ? Stored::Yes : Stored::No;
            if (ReadsOnly(opcode) && controller->volatileState() == before) return Stored::Yes;
            return WriteNewImage(*controller, *file, path, nullptr) ? Stored::Yes : Stored::No;
        }
        if (disk.image == nullptr) disk.image = emulator::ImageDisk::Open(*file, path, nullptr);
        if (disk.image == nullptr || !disk.image->Begin(*file, nullptr)) {
            disk.image.reset();
            run(nullptr);
            return Stored::NoDisk;
        }
        run(&disk.image->controller());
        const bool sound = disk.image->Sound(nullptr);
        const bool stored = disk.image->End(nullptr);
        if (!sound) return Stored::NoDisk;
        return stored ? Stored::Yes : Stored::No;
    }

    // The controller of the image as its file is now, for a look at its
    // configuration; null when it is no image.
    const emulator::Controller* Look(const std::string& path) {
        const emulator::Controller* found = nullptr;
        Command(path, devcmd::kOpInquiry, [&](emulator::Controller* controller) {
            found = controller;
            return false;
        });
        return found;
    }

    // The disk whose interface path is `name`, or "".
    std::string ImageOfInterface(const std::string& name) {
        const std::vector<std::string> paths = DiskImagePaths();
        for (std::size_t k = 0; k < paths.size(); ++k) {
            const emulator::Controller* controller = Look(paths[k]);
            if (controller == nullptr) continue;
            if (SameIgnoringCase(MakeInterfacePath(controller->config(), static_cast<unsigned>(k + 1)), name)) {
                return paths[k];
            }
        }
        return std::string();
    }
};

EmulatedStack::EmulatedStack() : state_(std::make_unique<State>()) {}
EmulatedStack::~EmulatedStack() = default;

EmulatedStack& EmulatedStack::ThisProcess() {
    static EmulatedStack stack;
    return stack;
}

HDEVINFO EmulatedStack::GetClassDevs(const GUID* classGuid, DWORD flags) {
    if (classGuid == nullptr) return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    auto list = std::make_unique<InterfaceList>();
    list->interfaceClass = *classGuid;
    if (ListsDiskInterfaces(*classGuid, flags)) {
        const std::vector<std::string> paths = DiskImagePaths();
        for (std::size_t k = 0; k < paths.size(); ++k) {
            const emulator::Controller* controller = state_->Look(paths[k]);
            if (controller != nullptr) {
                list->paths.push_back(MakeInterfacePath(controller->config(), static_cast<unsigned>(k + 1)));
            }
        }
    }
    const auto value = reinterpret_cast<std::uintptr_t>(list.get());
    state_->lists.emplace(value, std::move(list));
    return reinterpret_cast<HDEVINFO>(value);
}

BOOL EmulatedStack::EnumDeviceInterfaces(HDEVINFO list, const GUID* interfaceClass, DWORD memberIndex,
                                         PSP_DEVICE_INTERFACE_DATA data) {
    const auto it = state_->lists.find(reinterpret_cast<std::uintptr_t>(list));
    if (it == state_->lists.end()) return Fail(ERROR_INVALID_HANDLE, FALSE);
    const InterfaceList& interfaces = *it->second;
    const DWORD error =
        EnumDeviceInterface(interfaces.interfaceClass, interfaces.paths.size(), interfaceClass, memberIndex, data);
    return error == ERROR_SUCCESS ? TRUE : Fail(error, FALSE);
}

BOOL EmulatedStack::GetDeviceInterfaceDetail(HDEVINFO list, PSP_DEVICE_INTERFACE_DATA data,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                             PDWORD requiredSize) {
    const auto it = state_->lists.find(reinterpret_cast<std::uintptr_t>(list));
    if (it == state_->lists.end()) return Fail(ERROR_INVALID_HANDLE, FALSE);
    const DWORD error = GetInterfaceDetail(it->second->paths, data, detail, detailSize, requiredSize);
    return error == ERROR_SUCCESS ? TRUE : Fail(error, FALSE);
}

BOOL EmulatedStack::DestroyDeviceInfoList(HDEVINFO list) {
    if (state_->lists.erase(reinterpret_cast<std::uintptr_t>(list)) == 0) return Fail(ERROR_INVALID_HANDLE, FALSE);
    return TRUE;
}

bool EmulatedStack::OpenDisk(const char* name, DWORD access, DWORD disposition, HANDLE& handle) {
    if (name == nullptr || !IsDevicePath(name)) return false;
    const std::string image = state_->ImageOfInterface(name);
    if (image.empty()) return false;
    // A device can only be opened, never created or truncated.
    if (disposition != OPEN_EXISTING) {
        handle = Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
        return true;
    }
    auto disk = std::make_unique<OpenedDisk>();
    disk->image = image;
    disk->access = access;
    const auto value = reinterpret_cast<std::uintptr_t>(disk.get());
    state_->handles.emplace(value, std::move(disk));
    handle = reinterpret_cast<HANDLE>(value);
    return true;
}

bool EmulatedStack::OwnsHandle(HANDLE handle) const {
    return state_->handles.count(reinterpret_cast<std::uintptr_t>(handle)) != 0;
}

BOOL EmulatedStack::DeviceIoControl(HANDLE device, DWORD code, LPVOID input, DWORD inputSize, LPVOID output,
                                    DWORD outputSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped) {
    const auto it = state_->handles.find(reinterpret_cast<std::uintptr_t>(device));
    if (it == state_->handles.end()) return Fail(ERROR_INVALID_HANDLE, FALSE);
    DWORD error = CheckPassThroughCall(it->second->access, code, overlapped);
    if (error != ERROR_SUCCESS) return Fail(error, FALSE);
    SCSI_PASS_THROUGH header;
    if (!ReadPassThroughHeader(input, inputSize, header) ||
        !PassThroughRecordValid(header, inputSize, output, outputSize)) {
        return Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    error = ERROR_GEN_FAILURE;  // the image is gone: the device does not answer
    const Stored stored = state_->Command(it->second->image, header.Cdb[0], [&](emulator::Controller* controller) {
        if (controller != nullptr) error = RunPassThrough(*controller, header, input, output, bytesReturned);
        return error == ERROR_SUCCESS;
    });
    if (error == ERROR_SUCCESS && stored == Stored::NoDisk) error = ERROR_GEN_FAILURE;
    if (error == ERROR_SUCCESS && stored == Stored::No) FailPassThroughAsMediumError(output);
    return error == ERROR_SUCCESS ? TRUE : Fail(error, FALSE);
}

BOOL EmulatedStack::CloseHandle(HANDLE handle) {
    if (state_->handles.erase(reinterpret_cast<std::uintptr_t>(handle)) == 0) return Fail(ERROR_INVALID_HANDLE, FALSE);
    return TRUE;
}

DWORD EmulatedStack::GetAspiSupportInfo() {
    const std::size_t disks = DiskImagePaths().size();
    const std::size_t adapters = disks == 0 ? 1 : (disks - 1) / kTargetsPerAdapter + 1;
    return AspiSupportInfo(static_cast<int>(adapters < 255 ? adapters : 255));
}

DWORD EmulatedStack::SendAspiCommand(void* srbPointer) {
    if (srbPointer == nullptr) return SS_INVALID_SRB;
    SRB_ExecSCSICmd& srb = *static_cast<SRB_ExecSCSICmd*>(srbPointer);
    if (srb.SRB_Cmd != SC_EXEC_SCSI_CMD) return srb.SRB_Status = SS_INVALID_CMD;
    if (!AspiBlockConsistent(srb)) return srb.SRB_Status = SS_INVALID_SRB;
    const AspiRequest request = TakeAspiRequest(srb);

    const std::vector<std::string> paths = DiskImagePaths();
    const DWORD adapters = GetAspiSupportInfo() & 0xFF;
    const std::size_t position = std::size_t{request.haId} * kTargetsPerAdapter + request.target;
    BYTE status = SS_NO_DEVICE;
    if (request.haId >= adapters) {
        status = CompleteAspiRequest(request, AspiTarget::NoAdapter, nullptr);
    } else if (position >= paths.size() || request.target >= kTargetsPerAdapter) {
        status = CompleteAspiRequest(request, AspiTarget::NoDevice, nullptr);
    } else {
        bool delivered = false;
        const Stored stored = state_->Command(paths[position], request.cdb[0], [&](emulator::Controller* controller) {
            status = CompleteAspiRequest(request, controller != nullptr ? AspiTarget::Present : AspiTarget::NoDevice,
                                         controller);
            // The target answered: also when its reply ended early.
            delivered = status == SS_COMP ||
                        (status == SS_ERR && (srb.SRB_HaStat == HASTAT_OK || srb.SRB_HaStat == HASTAT_DO_DU));
            return delivered;
        });
        if (delivered && stored == Stored::NoDisk) status = CompleteAspiRequest(request, AspiTarget::NoDevice, nullptr);
        if (delivered && stored == Stored::No) status = FailAspiRequestAsMediumError(request);
    }

    // The request is complete: the sender learns it as it asked. After the
    // completion routine the block is the sender's again (it may be freed).
    if ((request.flags & SRB_POSTING) != 0) {
        AspiPostProc post;
        std::memcpy(&post, &request.postProc, sizeof post);
        post(request.srb);
    } else if ((request.flags & SRB_EVENT_NOTIFY) != 0) {
        HANDLE event;
        std::memcpy(&event, &request.postProc, sizeof event);
        SetEvent(event);
    }
    return status;
}

}  // namespace devstack

extern "C" {

HDEVINFO WINAPI EmuSetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR /*Enumerator*/, HWND /*hwndParent*/,
                                        DWORD Flags) {
    return devstack::EmulatedStack::ThisProcess().GetClassDevs(ClassGuid, Flags);
}

BOOL WINAPI EmuSetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA /*DeviceInfoData*/,
                                           const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                           PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    return devstack::EmulatedStack::ThisProcess().EnumDeviceInterfaces(DeviceInfoSet, InterfaceClassGuid, MemberIndex,
                                                                      DeviceInterfaceData);
}

BOOL WINAPI EmuSetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                                PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                                DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                                PSP_DEVINFO_DATA /*DeviceInfoData*/) {
    return devstack::EmulatedStack::ThisProcess().GetDeviceInterfaceDetail(
        DeviceInfoSet, DeviceInterfaceData, DeviceInterfaceDetailData, DeviceInterfaceDetailDataSize, RequiredSize);
}

BOOL WINAPI EmuSetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    return devstack::EmulatedStack::ThisProcess().DestroyDeviceInfoList(DeviceInfoSet);
}

HANDLE WINAPI EmuCreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                             LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                             DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (devstack::EmulatedStack::ThisProcess().OpenDisk(lpFileName, dwDesiredAccess, dwCreationDisposition, handle)) {
        return handle;
    }
    return CreateFileA(lpFileName, dwDesiredAccess, dwShareMode, lpSecurityAttributes, dwCreationDisposition,
                       dwFlagsAndAttributes, hTemplateFile);
}

BOOL WINAPI EmuDeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                               LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                               LPOVERLAPPED lpOverlapped) {
    devstack::EmulatedStack& stack = devstack::EmulatedStack::ThisProcess();
    if (!stack.OwnsHandle(hDevice)) {
        return DeviceIoControl(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize,
                               lpBytesReturned, lpOverlapped);
    }
    return stack.DeviceIoControl(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize,
                                 lpBytesReturned, lpOverlapped);
}

BOOL WINAPI EmuCloseHandle(HANDLE hObject) {
    devstack::EmulatedStack& stack = devstack::EmulatedStack::ThisProcess();
    return stack.OwnsHandle(hObject) ? stack.CloseHandle(hObject) : CloseHandle(hObject);
}

DWORD ASPI_CDECL EmuGetASPI32SupportInfo(void) { return devstack::EmulatedStack::ThisProcess().GetAspiSupportInfo(); }

DWORD ASPI_CDECL EmuSendASPI32Command(void* srb) {
    return devstack::EmulatedStack::ThisProcess().SendAspiCommand(srb);
}

}  // extern "C"
