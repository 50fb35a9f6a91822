// emulated_bench: commands through the emulated device stack as the Windows
// emulated variant uses it: KT4790DLL's own code over the emulated stack
// (its device-stack calls redirected, winsim/devstack/redirect.h) over an
// image file. Run by scripts/bench-emulated.sh, not by ctest.
//
//   emulated_bench make IMAGE ZONES PERCENT
//       a new chip-0x30 image of ZONES zones of small blocks, PERCENT % of
//       its physical sectors written
//   emulated_bench time IMAGE SAMPLES
//       the time per VSCReadSector, VSCWriteSector and EraseBlock, each over
//       SAMPLES commands at places spread over the whole medium (the median
//       of three passes)
//   emulated_bench replay IMAGE GETS ERASES WRITES OTHERS
//       an erase and format of that many commands: GetPhyBlock for every
//       number below GETS with an EraseBlock of the block behind it (at most
//       ERASES), WRITES sector writes from logical sector 0 on, OTHERS
//       descriptor-sector reads
//   emulated_bench write IMAGE SECTORS SAMPLES
//       one WRITE(10) of SECTORS sectors, then the time per VSCReadSector in
//       the program that wrote (as `time` measures it)
//   emulated_bench reads IMAGE SAMPLES
//       the first command of a program (it takes up what another one left),
//       then the time per VSCReadSector
//   emulated_bench killed IMAGE SECTORS
//       a write of SECTORS physical sectors stopped where its sectors are in
//       place and its journal not yet cut off: the program ends there, as a
//       program killed at that point
//
// Exit code 1 when a command fails.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "devlib/aspi/aspi.h"
#include "devlib/devcmd.h"
#include "kt4790/records.h"
#include "winsim/devstack/devstack.h"
#include "winsim/devstack/emulated.h"

namespace {

using Clock = std::chrono::steady_clock;

double Microseconds(Clock::duration duration) { return std::chrono::duration<double, std::micro>(duration).count(); }

int Make(const std::string& image, unsigned zones, unsigned percent) {
    emulator::Config config;
    config.zoneCount = static_cast<std::uint8_t>(zones);
    config.deviceName = u"BENCH DISK";
    {
        emulator::Controller empty(config);
        if (!empty.SaveImage(image, nullptr)) return 1;
    }
    // In steps of 256 blocks, each one write of the image.
    const std::uint32_t perBlock = kt4790::kSmallBlockSectors;
    const std::uint32_t blocks = zones * 1024;
    const std::uint32_t filled = static_cast<std::uint32_t>(std::uint64_t{blocks} * percent / 100);
    std::uint8_t data[512], spare[16];
    std::memset(spare, 0xFF, sizeof spare);
    for (std::uint32_t first = 1; first < filled; first += 256) {
        const bool ok = devstack::ChangeImage(
            image,
            [&](emulator::Controller& controller, std::string*) {
                for (std::uint32_t block = first; block < first + 256 && block < filled; ++block) {
                    for (std::uint32_t page = 0; page < perBlock; ++page) {
                        std::memset(data, static_cast<int>(block + page), sizeof data);
                        controller.WritePhysical(block * perBlock + page, data, spare);
                    }
                }
                return true;
            },
            nullptr);
        if (!ok) return 1;
    }
    return 0;
}

// The disk of the image as the library opens it, and its physical blocks.
HANDLE OpenDisk(const std::string& image, std::uint32_t& physicalBlocks) {
    std::string path;
    {
        devstack::LockedImage file;  // let go before the stack takes the file
        if (!file.Open(image, false, nullptr)) return INVALID_HANDLE_VALUE;
        std::unique_ptr<emulator::ImageDisk> disk = emulator::ImageDisk::Open(file, image, nullptr);
        if (disk == nullptr) return INVALID_HANDLE_VALUE;
        physicalBlocks = disk->controller().physicalBlocks();
        path = devstack::MakeInterfacePath(disk->controller().config(), 1);
    }
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

// The median of three passes of `samples` VSCReadSector, in microseconds
// per command; negative when a read fails.
double ReadTime(HANDLE device, std::uint32_t physicalBlocks, unsigned samples) {
    BYTE sector[512] = {};
    std::vector<double> passes;
    for (int pass = 0; pass < 3; ++pass) {
        const Clock::time_point start = Clock::now();
        for (unsigned k = 0; k < samples; ++k) {
            const std::uint32_t block = 1 + static_cast<std::uint32_t>((k * 7919ull) % (physicalBlocks - 1));
            if (VSCReadSector(device, sector, block * 32 + 5, 0, 0) != 1) return -1;
        }
        passes.push_back(Microseconds(Clock::now() - start) / samples);
    }
    std::sort(passes.begin(), passes.end());
    return passes[1];
}

// One WRITE(10) of `sectors` sectors from logical sector 0 through the
// stack's ASPI manager (the library moves at most one sector a call).
bool WriteRun(unsigned sectors) {
    std::vector<BYTE> data(std::size_t{sectors} * 512, 0xA5);
    SRB_ExecSCSICmd srb{};
    FillExecRequest(srb, 0, 0, devcmd::Write10(0, static_cast<std::uint32_t>(data.size())), data.data(), 0, nullptr);
    return EmuSendASPI32Command(&srb) == SS_COMP;
}

// An image file whose journal is never cut off: the program ends there.
class EndsAtTheCut : public devstack::LockedImage {
public:
    bool Resize(std::uint64_t) override { std::exit(0); }
};

int Killed(const std::string& image, unsigned sectors) {
    EndsAtTheCut file;
    if (!file.Open(image, true, nullptr)) return 1;
    std::unique_ptr<emulator::ImageDisk> disk = emulator::ImageDisk::Open(file, image, nullptr);
    if (disk == nullptr || !disk->Begin(file, nullptr)) return 1;
    std::uint8_t data[512], spare[16];
    std::memset(data, 0x5A, sizeof data);
    std::memset(spare, 0xFF, sizeof spare);
    for (std::uint32_t sector = 64; sector < 64 + sectors; ++sector) disk->controller().WritePhysical(sector, data, spare);
    disk->End(nullptr);
    std::fprintf(stderr, "emulated_bench: the write was not stopped (its journal was not cut off)\n");
    return 1;
}

int Time(HANDLE device, std::uint32_t physicalBlocks, unsigned samples) {
    BYTE sector[512] = {};
    // Places spread over the medium by a fixed stride, so that every run
    // meets the same ones.
    const auto place = [&](unsigned k) { return 1 + static_cast<std::uint32_t>((k * 7919ull) % (physicalBlocks - 1)); };
    struct Row {
        const char* name;
        bool (*run)(HANDLE, std::uint32_t, BYTE*);
    };
    const Row rows[] = {
        {"VSCReadSector", [](HANDLE d, std::uint32_t block, BYTE* s) { return VSCReadSector(d, s, block * 32 + 5, 0, 0) == 1; }},
        {"VSCWriteSector",
         [](HANDLE d, std::uint32_t block, BYTE* s) { return VSCWriteSector(d, block * 32 + 5, s, 0, 0) == 1; }},
        {"EraseBlock", [](HANDLE d, std::uint32_t block, BYTE*) { return EraseBlock(d, block, 0, 0) == 1; }},
    };
    // Three passes over the same places; the median pass counts (the first
    // one also meets the file system filling holes and its cache).
    for (const Row& row : rows) {
        std::vector<double> passes;
        for (int pass = 0; pass < 3; ++pass) {
            const Clock::time_point start = Clock::now();
            for (unsigned k = 0; k < samples; ++k) {
                if (!row.run(device, place(k), sector)) {
                    std::fprintf(stderr, "emulated_bench: %s failed\n", row.name);
                    return 1;
                }
            }
            passes.push_back(Microseconds(Clock::now() - start) / samples);
        }
        std::sort(passes.begin(), passes.end());
        std::printf("%s %.2f\n", row.name, passes[1]);
    }
    return 0;
}

int Replay(HANDLE device, unsigned long gets, unsigned long erases, unsigned long writes, unsigned long others) {
    BYTE reply[512] = {};
    const Clock::time_point start = Clock::now();
    unsigned long erased = 0;
    for (unsigned long n = 0; n < gets; ++n) {
        if (GetPhyBlock(device, static_cast<DWORD>(n), reply, 4, 0, 0) != 1) return 1;
        const std::uint32_t block = kt4790::ReadBigEndian32(reply);
        if (block != 0xFFFFFFFFu && erased < erases) {
            if (EraseBlock(device, block, 0, 0) != 1) return 1;
            ++erased;
        }
    }
    BYTE sector[512];
    std::memset(sector, 0xE5, sizeof sector);
    for (unsigned long n = 0; n < writes; ++n) {
        if (VSCWriteSector(device, static_cast<DWORD>(n), sector, 1, 0) != 1) return 1;
    }
    for (unsigned long n = 0; n < others; ++n) {
        if (VSCReadSector(device, sector, 1, 0, 0) != 1) return 1;
    }
    const double us = Microseconds(Clock::now() - start);
    const unsigned long commands = gets + erased + writes + others;
    std::printf("replay: %.1f ms, %lu commands (GetPhyBlock %lu, EraseBlock %lu, writes %lu, other %lu), %.2f us each\n",
                us / 1000, commands, gets, erased, writes, others, us / static_cast<double>(commands));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 4 && args[0] == "make") {
        return Make(args[1], static_cast<unsigned>(std::stoul(args[2])), static_cast<unsigned>(std::stoul(args[3])));
    }
    if (args.size() == 3 && args[0] == "killed") return Killed(args[1], static_cast<unsigned>(std::stoul(args[2])));
    const bool time = args.size() == 3 && args[0] == "time";
    const bool replay = args.size() == 6 && args[0] == "replay";
    const bool write = args.size() == 4 && args[0] == "write";
    const bool reads = args.size() == 3 && args[0] == "reads";
    if (!time && !replay && !write && !reads) {
        std::fprintf(stderr, "usage: emulated_bench make IMAGE ZONES PERCENT | time IMAGE SAMPLES |\n"
                             "       replay IMAGE GETS ERASES WRITES OTHERS | write IMAGE SECTORS SAMPLES |\n"
                             "       reads IMAGE SAMPLES | killed IMAGE SECTORS\n");
        return 2;
    }
    // The stack's disks are the images KT4790_DISKS names.
    setenv("KT4790_DISKS", args[1].c_str(), 1);
    const Clock::time_point opened = Clock::now();
    std::uint32_t physicalBlocks = 0;
    HANDLE device = OpenDisk(args[1], physicalBlocks);
    if (device == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "emulated_bench: %s is no disk\n", args[1].c_str());
        return 1;
    }
    int result = 0;
    if (time) {
        result = Time(device, physicalBlocks, static_cast<unsigned>(std::stoul(args[2])));
    } else if (replay) {
        result = Replay(device, std::stoul(args[2]), std::stoul(args[3]), std::stoul(args[4]), std::stoul(args[5]));
    } else {
        // The device's opening ran commands already (the library's search);
        // the first one took up what the last writer left.
        const double firstMs = Microseconds(Clock::now() - opened) / 1000;
        if (write && !WriteRun(static_cast<unsigned>(std::stoul(args[2])))) result = 1;
        const double us = ReadTime(device, physicalBlocks, static_cast<unsigned>(std::stoul(args.back())));
        if (us < 0) result = 1;
        if (reads) std::printf("first %.2f\n", firstMs);
        std::printf("read %.2f\n", us);
    }
    CloseHandle(device);
    return result;
}
