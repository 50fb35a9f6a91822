// devlib_bench: the round trip of a command through each device library,
// winsim and the emulator, KT4790DLL and KT4790mDLL in one run. For every
// operation it times each sample on its own and prints the median (and the
// mean) of each library and the ratio of KT4790mDLL to KT4790DLL. Run by
// hand, not by ctest; exit code 1 when a sample failed.
//
// One more operation is one more entry of Operations(): how a sample is made
// from each loaded library, and how many samples to take.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <numeric>
#include <vector>

#include "tests/devlib/devlib_test.h"

namespace {

using Clock = std::chrono::steady_clock;

// One sample of an operation: true when it succeeded.
using Sample = std::function<bool()>;

// KT4790DLL loaded as the applications load it, with the disk opened.
struct DllTarget {
    explicit DllTarget(const winsim::EmulatedDevice& disk)
        : device(CreateFileA(disk.interfacePath.c_str(), GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr)) {}
    ~DllTarget() { CloseHandle(device); }
    DllTarget(const DllTarget&) = delete;
    DllTarget& operator=(const DllTarget&) = delete;

    devtest::Library lib{"KT4790DLL"};
    HANDLE device;
};

// KT4790mDLL loaded as the applications load it, with the disk's address.
struct MdllTarget {
    explicit MdllTarget(const winsim::EmulatedDevice& disk) : haId(disk.hostAdapter), target(disk.target) {}

    devtest::Library lib{"KT4790mDLL"};
    BYTE haId;
    BYTE target;
};

// One measured operation: the sample each library's side makes from its
// loaded library, and how many samples are timed.
struct Operation {
    const char* name;
    std::function<Sample(const DllTarget&)> dll;
    std::function<Sample(const MdllTarget&)> mdll;
    std::size_t samples;
};

constexpr std::size_t kCommandSamples = 10000;
constexpr std::size_t kWarmUpSamples = 100;

using DllVscReadSector = int WINAPI(HANDLE, BYTE*, DWORD, int, int);
using DllEraseBlock = int WINAPI(HANDLE, DWORD, int, int);
using MdllVscReadSector = BYTE WINAPI(BYTE, BYTE, BYTE*, DWORD, int, int);
using MdllEraseBlock = BYTE WINAPI(BYTE, BYTE, DWORD, int, int);

std::vector<Operation> Operations() {
    return {
        {"VSCReadSector",
         [](const DllTarget& t) -> Sample {
             auto* read = t.lib.Bind<DllVscReadSector>("VSCReadSector");
             const HANDLE device = t.device;
             return [read, device] {
                 BYTE sector[512];
                 return read(device, sector, 33, 0, 0) == 1;
             };
         },
         [](const MdllTarget& t) -> Sample {
             auto* read = t.lib.Bind<MdllVscReadSector>("VSCReadSector");
             const BYTE haId = t.haId;
             const BYTE target = t.target;
             return [read, haId, target] {
                 BYTE sector[512];
                 return read(haId, target, sector, 33, 0, 0) == 1;
             };
         },
         kCommandSamples},
        {"EraseBlock",
         [](const DllTarget& t) -> Sample {
             auto* erase = t.lib.Bind<DllEraseBlock>("EraseBlock");
             const HANDLE device = t.device;
             return [erase, device] { return erase(device, 5, 0, 0) == 1; };
         },
         [](const MdllTarget& t) -> Sample {
             auto* erase = t.lib.Bind<MdllEraseBlock>("EraseBlock");
             const BYTE haId = t.haId;
             const BYTE target = t.target;
             return [erase, haId, target] { return erase(haId, target, 5, 0, 0) == 1; };
         },
         kCommandSamples},
    };
}

struct Timing {
    double medianUs = 0;
    double meanUs = 0;
    std::size_t failed = 0;
};

// Times `samples` runs of `sample`, each on its own, after a few untimed ones.
Timing Measure(const Sample& sample, std::size_t samples) {
    Timing timing;
    for (std::size_t i = 0; i < std::min(samples, kWarmUpSamples); ++i) sample();
    std::vector<double> us;
    us.reserve(samples);
    for (std::size_t i = 0; i < samples; ++i) {
        const Clock::time_point start = Clock::now();
        const bool ok = sample();
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        if (!ok) ++timing.failed;
    }
    timing.meanUs = std::accumulate(us.begin(), us.end(), 0.0) / static_cast<double>(us.size());
    std::nth_element(us.begin(), us.begin() + static_cast<std::ptrdiff_t>(us.size() / 2), us.end());
    timing.medianUs = us[us.size() / 2];
    return timing;
}

// A World with one disk, without logs or trace, for one operation.
winsim::EmulatedDevice& FreshDisk() {
    winsim::World& world = devtest::World();
    world.Reset();
    winsim::EmulatedDevice& disk = world.AddDevice(devtest::Disk(u"Bench"));
    disk.controller->SetTracing(false);
    world.SetPassThroughLogging(false);
    world.SetAspiLogging(false);
    return disk;
}

}  // namespace

int main() {
    std::printf("%-16s %8s %16s %16s %12s %12s %10s\n", "operation", "samples", "KT4790DLL med", "KT4790mDLL med",
                "DLL mean", "mDLL mean", "mDLL/DLL");
    std::size_t failed = 0;
    for (const Operation& operation : Operations()) {
        const winsim::EmulatedDevice& disk = FreshDisk();
        Timing dll;
        {
            DllTarget target(disk);
            dll = Measure(operation.dll(target), operation.samples);
        }
        Timing mdll;
        {
            MdllTarget target(disk);
            mdll = Measure(operation.mdll(target), operation.samples);
        }
        std::printf("%-16s %8zu %13.3f us %13.3f us %9.3f us %9.3f us %10.1f\n", operation.name, operation.samples,
                    dll.medianUs, mdll.medianUs, dll.meanUs, mdll.meanUs, mdll.medianUs / dll.medianUs);
        if (dll.failed + mdll.failed != 0) {
            std::printf("  failed samples: KT4790DLL %zu, KT4790mDLL %zu\n", dll.failed, mdll.failed);
        }
        failed += dll.failed + mdll.failed;
    }
    devtest::World().Reset();
    return failed == 0 ? 0 : 1;
}
