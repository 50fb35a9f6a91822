// Round trip of VSCReadSector and EraseBlock through each device library,
// winsim and the emulator.
#include <benchmark/benchmark.h>

#include "tests/devlib/devlib_test.h"

namespace {

using DllVscReadSector = int WINAPI(HANDLE, BYTE*, DWORD, int, int);
using DllEraseBlock = int WINAPI(HANDLE, DWORD, int, int);
using MdllVscReadSector = BYTE WINAPI(BYTE, BYTE, BYTE*, DWORD, int, int);
using MdllEraseBlock = BYTE WINAPI(BYTE, BYTE, DWORD, int, int);

// A World with one disk, without logs or trace, for one benchmark.
struct Bench {
    Bench() {
        devtest::World().Reset();
        device = &devtest::World().AddDevice(devtest::Disk(u"Bench"));
        device->controller->SetTracing(false);
        devtest::World().SetPassThroughLogging(false);
        devtest::World().SetAspiLogging(false);
    }
    ~Bench() { devtest::World().Reset(); }
    winsim::EmulatedDevice* device;
};

HANDLE Open(const winsim::EmulatedDevice& device) {
    return CreateFileA(device.interfacePath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, 0, nullptr);
}

void BM_Dll_VSCReadSector(benchmark::State& state) {
    Bench bench;
    devtest::Library lib("KT4790DLL");
    auto* read = lib.Bind<DllVscReadSector>("VSCReadSector");
    HANDLE h = Open(*bench.device);
    BYTE sector[512];
    for (auto _ : state) {
        if (read(h, sector, 33, 0, 0) != 1) state.SkipWithError("VSCReadSector failed");
        benchmark::DoNotOptimize(sector);
    }
    CloseHandle(h);
}

void BM_Dll_EraseBlock(benchmark::State& state) {
    Bench bench;
    devtest::Library lib("KT4790DLL");
    auto* erase = lib.Bind<DllEraseBlock>("EraseBlock");
    HANDLE h = Open(*bench.device);
    for (auto _ : state) {
        if (erase(h, 5, 0, 0) != 1) state.SkipWithError("EraseBlock failed");
    }
    CloseHandle(h);
}

void BM_Mdll_VSCReadSector(benchmark::State& state) {
    Bench bench;
    devtest::Library lib("KT4790mDLL");
    auto* read = lib.Bind<MdllVscReadSector>("VSCReadSector");
    BYTE sector[512];
    for (auto _ : state) {
        if (read(0, 0, sector, 33, 0, 0) != 1) state.SkipWithError("VSCReadSector failed");
        benchmark::DoNotOptimize(sector);
    }
}

void BM_Mdll_EraseBlock(benchmark::State& state) {
    Bench bench;
    devtest::Library lib("KT4790mDLL");
    auto* erase = lib.Bind<MdllEraseBlock>("EraseBlock");
    for (auto _ : state) {
        if (erase(0, 0, 5, 0, 0) != 1) state.SkipWithError("EraseBlock failed");
    }
}

BENCHMARK(BM_Dll_VSCReadSector);
BENCHMARK(BM_Dll_EraseBlock);
BENCHMARK(BM_Mdll_VSCReadSector)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Mdll_EraseBlock)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
