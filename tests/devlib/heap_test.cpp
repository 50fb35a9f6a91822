// Heap use of the device libraries: a command allocates nothing, in either
// build (an ASPI command once the library has made the request it keeps);
// an ASPI command whose request cannot be allocated fails without sending
// anything, and so does a search without its work buffer.
//
// Allocations are seen on the test's own thread: in the plain build through
// a malloc family of this program's own (the loaded libraries bind to it),
// in the sanitizer build through the sanitizer's allocation hooks.
#include <cstdlib>
#include <functional>

#include "kt4790/records.h"
#include "tests/devlib/devlib_test.h"

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer runtime's allocation hooks (GCC ships no header for them).
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*onMalloc)(const volatile void*, std::size_t),
                                                         void (*onFree)(const volatile void*));
#define DEVTEST_CAN_FAIL_ALLOCATIONS 0
#else
#define DEVTEST_CAN_FAIL_ALLOCATIONS 1
#endif

namespace heap {

// Per thread, so the ASPI layer's completion threads do not count.
thread_local bool watching = false;
thread_local long allocations = 0;  // successful allocations while watching
thread_local long releases = 0;     // frees of non-null pointers while watching
thread_local int failAt = 0;        // the failAt-th allocation from now fails (0: none)

// Whether this allocation is the one to fail.
bool FailNow() {
    if (failAt == 0) return false;
    return --failAt == 0;
}

void Watch() {
    watching = true;
    allocations = 0;
    releases = 0;
}
void Unwatch() { watching = false; }

}  // namespace heap

#if DEVTEST_CAN_FAIL_ALLOCATIONS

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void __libc_free(void* pointer);

void* malloc(std::size_t size) {
    if (heap::watching && heap::FailNow()) return nullptr;
    void* p = __libc_malloc(size);
    if (heap::watching && p != nullptr) ++heap::allocations;
    return p;
}
void* calloc(std::size_t count, std::size_t size) {
    if (heap::watching && heap::FailNow()) return nullptr;
    void* p = __libc_calloc(count, size);
    if (heap::watching && p != nullptr) ++heap::allocations;
    return p;
}
void* realloc(void* pointer, std::size_t size) {
    void* p = __libc_realloc(pointer, size);
    if (heap::watching && p != nullptr && pointer == nullptr) ++heap::allocations;
    return p;
}
void free(void* pointer) {
    if (heap::watching && pointer != nullptr) ++heap::releases;
    __libc_free(pointer);
}
}  // extern "C"

#else

namespace heap {
void OnMalloc(const volatile void*, std::size_t) {
    if (watching) ++allocations;
}
void OnFree(const volatile void* pointer) {
    if (watching && pointer != nullptr) ++releases;
}
const int installed = __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree);
}  // namespace heap

#endif

namespace {

using devtest::World;

// Signatures of the exports used here, one per build.
using DllVscReadSector = int WINAPI(HANDLE, BYTE*, DWORD, int, int);
using DllVscWriteSector = int WINAPI(HANDLE, DWORD, BYTE*, int, int);
using DllCheckPwd = int WINAPI(HANDLE, BYTE*);
using DllGetChipVersion = int WINAPI(HANDLE, BYTE*, DWORD);
using DllWriteProtect = int WINAPI(HANDLE);
using DllGetCapacity = int WINAPI(HANDLE, DWORD*);
using DllInquiryCommand = int WINAPI(HANDLE, BYTE*);
using MdllVscReadSector = BYTE WINAPI(BYTE, BYTE, BYTE*, DWORD, int, int);
using MdllVscWriteSector = BYTE WINAPI(BYTE, BYTE, DWORD, BYTE*, int, int);
using MdllCheckPwd = BYTE WINAPI(BYTE, BYTE, BYTE*);
using MdllGetChipVersion = BYTE WINAPI(BYTE, BYTE, BYTE*);
using MdllEraseBlock = BYTE WINAPI(BYTE, BYTE, DWORD, int, int);
using MdllWriteProtect = int WINAPI(BYTE, BYTE);
using MdllPwdExist = BYTE WINAPI(BYTE, BYTE, BYTE*);
using MdllGetAllDeviceName = BYTE WINAPI(char*, BYTE*, BYTE*);
using MdllGetDeviceID = BYTE WINAPI(BYTE*, BYTE*, char*, char*);

// One command of a library, with the result it must give.
struct Step {
    const char* what;
    std::function<int()> call;
    int expected;
};

// Each step, once to settle (lazy binding, what a library makes at its first
// command), then again watched: it must allocate nothing.
void ExpectNoAllocation(const std::vector<Step>& steps) {
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        ASSERT_EQ(step.call(), step.expected);
        heap::Watch();
        const int result = step.call();
        heap::Unwatch();
        EXPECT_EQ(result, step.expected);
        EXPECT_EQ(heap::allocations, 0);
    }
}

// A disk whose password is "pw". Nothing of the stand-ins may allocate per
// command either: the transport logs and the trace are off. (The ASPI
// layer's completions run on a thread of their own, which is not watched;
// what the sender's thread does of them is.)
winsim::EmulatedDevice& QuietDisk() {
    emulator::Config config = devtest::Disk(u"Disk");
    config.password = "pw";
    winsim::EmulatedDevice& device = World().AddDevice(config);
    World().SetPassThroughLogging(false);
    World().SetAspiLogging(false);
    device.controller->SetTracing(false);
    return device;
}

// The PasswordBlock of the disk's password.
kt4790::PasswordBlock DiskPassword() {
    kt4790::PasswordBlock block;
    block.SetCurrent("pw", 2);
    return block;
}

TEST(Heap, PassThroughCommandsAllocateNothing) {
    devtest::Library lib("KT4790DLL");
    ASSERT_TRUE(lib.loaded());
    winsim::EmulatedDevice& device = QuietDisk();
    HANDLE h = CreateFileA(device.interfacePath.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);

    auto* read = lib.Bind<DllVscReadSector>("VSCReadSector");
    auto* write = lib.Bind<DllVscWriteSector>("VSCWriteSector");
    auto* check = lib.Bind<DllCheckPwd>("CheckPwd");
    auto* chip = lib.Bind<DllGetChipVersion>("GetChipVersion");
    auto* protect = lib.Bind<DllWriteProtect>("WriteProtect");
    auto* capacity = lib.Bind<DllGetCapacity>("GetCapacity");
    auto* inquiry = lib.Bind<DllInquiryCommand>("InquiryCommand");

    BYTE sector[512] = {};
    kt4790::PasswordBlock password = DiskPassword();
    BYTE* block = password.bytes;
    DWORD count = 0;
    ASSERT_EQ(write(h, 40, sector, 0, 0), 1);  // the sector exists from now on

    ExpectNoAllocation({
        {"VSCReadSector", [&] { return read(h, sector, 40, 0, 0); }, 1},
        {"VSCWriteSector", [&] { return write(h, 40, sector, 0, 0); }, 1},
        {"CheckPwd", [&] { return check(h, block); }, 1},
        {"GetChipVersion", [&] { return chip(h, sector, 4); }, 1},
        {"WriteProtect", [&] { return protect(h); }, 0},
        {"GetCapacity", [&] { return capacity(h, &count); }, 1},
        {"InquiryCommand", [&] { return inquiry(h, sector); }, 1},
    });
    CloseHandle(h);
}

TEST(Heap, AspiCommandsAllocateNothing) {
    devtest::Library lib("KT4790mDLL");
    ASSERT_TRUE(lib.loaded());
    QuietDisk();

    auto* read = lib.Bind<MdllVscReadSector>("VSCReadSector");
    auto* write = lib.Bind<MdllVscWriteSector>("VSCWriteSector");
    auto* check = lib.Bind<MdllCheckPwd>("CheckPwd");
    auto* chip = lib.Bind<MdllGetChipVersion>("GetChipVersion");
    auto* erase = lib.Bind<MdllEraseBlock>("EraseBlock");
    auto* protect = lib.Bind<MdllWriteProtect>("WriteProtect");
    auto* pwdExist = lib.Bind<MdllPwdExist>("PwdExist");

    BYTE sector[512] = {};
    kt4790::PasswordBlock password = DiskPassword();
    BYTE* block = password.bytes;
    ExpectNoAllocation({
        {"VSCWriteSector", [&] { return int{write(0, 0, 40, sector, 0, 0)}; }, 1},
        {"VSCReadSector", [&] { return int{read(0, 0, sector, 40, 0, 0)}; }, 1},
        {"CheckPwd", [&] { return int{check(0, 0, block)}; }, 1},
        {"GetChipVersion", [&] { return int{chip(0, 0, sector)}; }, 1},
        {"EraseBlock", [&] { return int{erase(0, 0, 1, 0, 0)}; }, 1},
        {"WriteProtect", [&] { return protect(0, 0); }, 0},
        {"PwdExist", [&] { return int{pwdExist(0, 0, sector)}; }, 1},
    });
}

#if DEVTEST_CAN_FAIL_ALLOCATIONS

class AspiAllocation : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(lib.loaded());
        device = &World().AddDevice(devtest::Disk(u"Disk"));
    }
    // Runs `call` with its n-th allocation failing; checks that nothing was
    // sent and that what was allocated was given back.
    template <typename Call>
    void WithFailedAllocation(int n, Call call) {
        SCOPED_TRACE(n);
        World().ClearLogs();
        heap::Watch();
        heap::failAt = n;
        call();
        heap::failAt = 0;
        heap::Unwatch();
        EXPECT_TRUE(World().AspiLog().empty());
        EXPECT_EQ(heap::allocations, heap::releases);
    }

    devtest::Library lib{"KT4790mDLL"};
    winsim::EmulatedDevice* device = nullptr;
};

TEST_F(AspiAllocation, AFailedAllocationFailsTheCommandBeforeSending) {
    auto* erase = lib.Bind<MdllEraseBlock>("EraseBlock");
    auto* protect = lib.Bind<MdllWriteProtect>("WriteProtect");
    auto* pwdExist = lib.Bind<MdllPwdExist>("PwdExist");
    BYTE reply[512] = {};

    // The request (block and data buffer) is each command's one allocation.
    WithFailedAllocation(1, [&] { EXPECT_EQ(erase(0, 0, 1, 0, 0), 0); });
    WithFailedAllocation(1, [&] { EXPECT_EQ(protect(0, 0), -1); });
    WithFailedAllocation(1, [&] { EXPECT_EQ(pwdExist(0, 0, reply), 0); });

    // And with memory the same commands succeed.
    EXPECT_EQ(erase(0, 0, 1, 0, 0), 1);
    EXPECT_EQ(protect(0, 0), 0);
    EXPECT_EQ(pwdExist(0, 0, reply), 1);
}

TEST_F(AspiAllocation, DiscoveryWithoutItsWorkBufferFindsNothing) {
    auto* getAll = lib.Bind<MdllGetAllDeviceName>("GetAllDeviceName");
    auto* getId = lib.Bind<MdllGetDeviceID>("GetDeviceID");
    char filter[] = "KVOR";
    char name[] = "DISK";
    BYTE table[6 * 33] = {};
    BYTE counter = 6;
    WithFailedAllocation(1, [&] { EXPECT_EQ(getAll(filter, table, &counter), 0); });
    EXPECT_EQ(counter, 0);
    BYTE ha = 0xEE;
    BYTE target = 0xEE;
    WithFailedAllocation(1, [&] { EXPECT_EQ(getId(&ha, &target, filter, name), 0); });

    counter = 6;
    EXPECT_EQ(getAll(filter, table, &counter), 1);
    EXPECT_EQ(counter, 1);
    EXPECT_EQ(getId(&ha, &target, filter, name), 1);
}

#endif

}  // namespace
