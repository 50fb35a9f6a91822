#include "winsim/devstack/emulated.h"

#include <winioctl.h>
#include <ntddscsi.h>

#include <algorithm>
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
#include <vector>

#include "devlib/cdb.h"
#include "winsim/devstack/devstack.h"

#ifdef _WIN32
#include <aclapi.h>
#else
#include <fcntl.h>
#include <sys/resource.h>
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

// Puts the file `from` in the place of the image `to`, so that no reader
// ever sees a half-written image: on Linux in one step. Windows replaces no
// file that is open, and the image is (this program holds it under its
// lock, others may wait for it): the image is moved aside under a name no
// other program can foresee, the new file moved into its place, and the
// image deleted, which takes it away when the last program lets it go. A
// step that fails moves the image back.
bool ReplaceFile(const std::string& from, const std::string& to) {
#ifdef _WIN32
    const std::string aside = TemporaryName(to + ".old");
    if (!MoveFileExA(to.c_str(), aside.c_str(), 0)) return false;
    if (!MoveFileExA(from.c_str(), to.c_str(), 0)) {
        MoveFileExA(aside.c_str(), to.c_str(), 0);
        return false;
    }
    DeleteFileA(aside.c_str());
    return true;
#else
    return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

// Writes an image of the current version in the place of the file `path`
// names (through symbolic links): a new temporary file beside it, with the
// owner, group and permissions of `original` (the file open at `path`), put
// in its place. A file with a second name is refused: the move would leave
// the old image under that name. A step that fails leaves no temporary file.
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
        std::string why;
        if (file.Create(name, &original, &why)) {
            temporary = name;
        } else if (!fs::exists(fs::symlink_status(name, failure))) {
            // Not a name someone took first: another name fails alike.
            if (error != nullptr) *error = path + ": " + why + "; not rewritten";
            return false;
        }
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

// The lock covers one byte far beyond any image, 2^62, in both builds:
// Windows locks keep other handles from the bytes they cover, and the bytes
// of the image stay free. Wine turns a LockFileEx into a record lock of the
// same byte of the Unix file, which the Linux build's record lock meets, so
// that a program of either build excludes the other's as its own.
constexpr std::uint64_t kLockOffset = 0x4000000000000000ull;
}  // namespace

#ifdef _WIN32

namespace {

// Where a positioned transfer (or the lock) starts.
OVERLAPPED PlaceAt(std::uint64_t offset) {
    OVERLAPPED place{};
    place.Offset = static_cast<DWORD>(offset);
    place.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return place;
}
// At most 256 MB go in one call.
DWORD PartOf(std::size_t left) { return left > 0x10000000 ? 0x10000000 : static_cast<DWORD>(left); }
// What Reserve moves at a time.
constexpr std::uint64_t kReservePiece = 1 << 20;
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
// Opens (or creates, with `security`) `path` as `disposition` says and takes
// its lock.
HANDLE OpenLocked(const std::string& path, bool writable, DWORD disposition, SECURITY_ATTRIBUTES* security,
                  std::string* error) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | (writable ? GENERIC_WRITE : 0),
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, security, disposition,
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
    file_ = OpenLocked(path, writable, OPEN_EXISTING, nullptr, error);
    writable_ = writable;
    return file_ != INVALID_HANDLE_VALUE;
}

namespace {
// The security of an open file (owner, group, who may do what) into
// `descriptor`, to be freed with LocalFree; null where the system keeps
// none (Windows 98, whose ADVAPI32 lacks the entry or only stands for it,
// so that the library loads there). False when it cannot be read.
bool SecurityOf(HANDLE file, PSECURITY_DESCRIPTOR& descriptor) {
    using Proc = DWORD(WINAPI*)(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID*, PSID*, PACL*, PACL*,
                                PSECURITY_DESCRIPTOR*);
    descriptor = nullptr;
    const HMODULE advapi = LoadLibraryA("advapi32.dll");
    if (advapi == nullptr) return true;
    const FARPROC entry = GetProcAddress(advapi, "GetSecurityInfo");
    if (entry == nullptr) {
        FreeLibrary(advapi);
        return true;
    }
    const DWORD result = reinterpret_cast<Proc>(reinterpret_cast<void*>(entry))(
        file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
        nullptr, nullptr, nullptr, nullptr, &descriptor);
    FreeLibrary(advapi);  // the descriptor is the caller's, LocalFree's to free
    return result == ERROR_SUCCESS || result == ERROR_CALL_NOT_IMPLEMENTED;
}
}  // namespace

// CREATE_NEW never opens a file that exists by that name. The security of
// `like` (owner, group, who may do what) is the new file's as it is made; a
// system that does not let this program give the file that owner refuses
// the create.
bool LockedImage::Create(const std::string& path, const LockedImage* like, std::string* error) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (like != nullptr && !SecurityOf(like->file_, descriptor)) {
        if (error != nullptr) *error = "cannot read the permissions of the image for " + path;
        return false;
    }
    SECURITY_ATTRIBUTES security{sizeof security, descriptor, FALSE};
    file_ = OpenLocked(path, true, CREATE_NEW, descriptor != nullptr ? &security : nullptr, error);
    LocalFree(descriptor);
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

// The bytes are read and written back as they are: where the file is
// sparse (under Wine on Linux) its holes get their room now, or the write
// fails for want of it; elsewhere nothing changes.
bool LockedImage::Reserve(std::uint64_t offset, std::uint64_t size) {
    std::vector<char> bytes;
    for (std::uint64_t done = 0; done < size;) {
        bytes.resize(static_cast<std::size_t>(std::min<std::uint64_t>(size - done, kReservePiece)));
        if (!ReadAt(offset + done, bytes.data(), bytes.size()) || !WriteAt(offset + done, bytes.data(), bytes.size())) {
            return false;
        }
        done += bytes.size();
    }
    return true;
}

#else

LockedImage::~LockedImage() { Close(); }

bool LockedImage::Close() {
    if (file_ < 0) return true;
    const bool closed = close(file_) == 0;  // lets the lock go
    file_ = -1;
    return closed;
}

namespace {
// A write that would make the file end beyond the file-size limit (ulimit -f)
// is refused before it is tried, as a full file system refuses it: tried,
// it would end the program (SIGXFSZ) part-way.
bool WithinSizeLimit(std::uint64_t end) {
    struct rlimit limit {};
    return getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || end <= limit.rlim_cur;
}

// "0640"
std::string OctalMode(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Takes the lock of an open file (exclusive for writing); closes it when
// that fails.
int Locked(int file, bool writable, const std::string& path, std::string* error) {
    // A lock of the open file, not of the process (F_OFD_SETLKW): two stacks
    // of one program wait for each other as two programs do, and closing
    // another descriptor of the file lets none of it go.
    struct flock lock {};
    lock.l_type = writable ? F_WRLCK : F_RDLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(kLockOffset);
    lock.l_len = 1;
    while (fcntl(file, F_OFD_SETLKW, &lock) != 0) {
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

// O_EXCL fails on any name that exists, a symbolic link included. The owner,
// group and permissions of `like` are the new file's before anything is
// written into it, whatever the umask says (the owner and group first: a
// change of owner clears set-user-ID bits); a system that does not let this
// program give the file that owner or group refuses the create.
bool LockedImage::Create(const std::string& path, const LockedImage* like, std::string* error) {
    struct stat status {};
    if (like != nullptr && fstat(like->file_, &status) != 0) {
        if (error != nullptr) *error = "cannot read the permissions of the image for " + path;
        return false;
    }
    const int file = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, like != nullptr ? S_IRUSR | S_IWUSR : 0666);
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
    if (like != nullptr &&
        (fchown(file_, status.st_uid, status.st_gid) != 0 || fchmod(file_, status.st_mode & 07777) != 0)) {
        Close();
        std::remove(path.c_str());
        if (error != nullptr) {
            *error = "cannot give a new file the owner, group and permissions of the image (" +
                     std::to_string(status.st_uid) + ":" + std::to_string(status.st_gid) + ", " +
                     OctalMode(status.st_mode) + ")";
        }
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
    if (!WithinSizeLimit(offset + size)) return false;
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

bool LockedImage::Resize(std::uint64_t size) {
    std::uint64_t now = 0;
    if (!WithinSizeLimit(size) && (!Size(now) || size > now)) return false;
    return ftruncate(file_, static_cast<off_t>(size)) == 0;
}

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
    std::unique_ptr<emulator::ImageDisk> image;     // the current version, used in place
    std::unique_ptr<emulator::Controller> earlier;  // an earlier version, read whole
    // Whether `earlier` serves the next command while the file's bytes still
    // have `earlierHash`: the file was read-only when it was read.
    bool earlierKept = false;
    std::uint64_t earlierHash = 0;
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
            file = std::make_unique<LockedImage>();
            // A file this program may not write is a write-protected disk.
            if (!file->Open(path, true, nullptr) && !file->Open(path, false, nullptr)) {
                disk = Disk();
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
            // A file this program may not write keeps the volatile state the
            // commands changed in this program, for as long as it holds the
            // image read then; any other file is read whole for each command.
            const bool readOnly = !file->Writable();
            std::uint64_t hash = 0;
            const bool hashed = readOnly && emulator::HashFile(*file, hash);
            if (!hashed || !disk.earlierKept || hash != disk.earlierHash) {
                disk.earlier = emulator::Controller::LoadImage(*file, path, nullptr);
                if (disk.earlier == nullptr) {
                    disk = Disk();
                    run(nullptr);
                    return Stored::NoDisk;
                }
                disk.earlier->SetTracing(false);
                if (readOnly) disk.earlier->InjectFault({emulator::FaultKind::WriteProtected, 0, -1, false});
            }
            disk.earlierKept = hashed;
            disk.earlierHash = hash;
            emulator::Controller* controller = disk.earlier.get();
            const emulator::VolatileState before = controller->volatileState();
            const std::string password = controller->config().password;
            if (!run(controller)) return Stored::Yes;
            if (readOnly) {
                if (controller->config().password == password) return Stored::Yes;
                disk.earlierKept = false;  // the change of password is not stored
                return Stored::No;
            }
            if (ReadsOnly(opcode) && controller->volatileState() == before) return Stored::Yes;
            return WriteNewImage(*controller, *file, path, nullptr) ? Stored::Yes : Stored::No;
        }
        disk.earlier.reset();
        disk.earlierKept = false;
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

#ifdef _WIN32
namespace {
// The application loads a device library for each operation and frees it
// after: the stack in that library keeps what lasts as long as the program
// (a volatile state kept in this program, the images as it last saw them)
// only while the library stays loaded. So the module that holds the stack
// takes a reference on itself, once, which nothing gives back.
void KeepThisModuleLoaded() {
    MEMORY_BASIC_INFORMATION module{};
    if (VirtualQuery(reinterpret_cast<const void*>(&KeepThisModuleLoaded), &module, sizeof module) == 0) return;
    const auto handle = static_cast<HMODULE>(module.AllocationBase);
    if (handle == GetModuleHandleA(nullptr)) return;  // a program is never unloaded
    char path[MAX_PATH + 1] = {};
    const DWORD length = GetModuleFileNameA(handle, path, MAX_PATH);
    if (length != 0 && length < MAX_PATH) LoadLibraryA(path);
}
}  // namespace
#endif

EmulatedStack& EmulatedStack::ThisProcess() {
#ifdef _WIN32
    static const bool kept = (KeepThisModuleLoaded(), true);
    static_cast<void>(kept);
#endif
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
