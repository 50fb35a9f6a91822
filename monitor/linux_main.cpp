// Entry of the Linux programs KT4790Mon and KT4790mMon: the monitor over
// winsim, in a World of its own that stands for the machine it runs on.
//
// The environment describes that machine:
//   KT4790_DISKS    emulated disks that are attached: image files (as made by
//                   `kt4790-emu create`), separated by ':'. Each is one disk
//                   interface for SetupAPI and one ASPI target (adapter 0,
//                   targets 0, 1, ... in the order given).
//   KT4790_MACHINE  a folder that the programs of one machine share: it holds
//                   one file per named mutex of the monitor that a running
//                   program holds, with that program's process id, so that a
//                   second start finds the first and can stop it. Without it
//                   each program runs alone.
// Everything else is the World's default: drive C: alone, an empty registry,
// no windows. The World's clock is held to real time, so a wait of 2 seconds
// takes 2 seconds. Each program start (WinExec) is written to standard
// output as one line: WinExec "<command line>" <show command>.
//
// Exit code: MonitorMain's (0); 2 when a disk image cannot be loaded.
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "emulator/controller.h"
#include "monitor/monitor.h"
#include "winsim/world.h"

namespace {

namespace fs = std::filesystem;
using RealClock = std::chrono::steady_clock;

// How often the machine folder is looked at, in the program's time.
constexpr std::uint64_t kTickMs = 50;

// The named mutexes that the programs of one machine share.
const char* const kSharedMutexes[] = {monitor::kMonitorMutex, monitor::kMonitorExitMutex};

bool AttachDisks(const char* list) {
    winsim::World& world = winsim::World::Get();
    std::string rest = list;
    while (!rest.empty()) {
        const std::size_t colon = rest.find(':');
        const std::string path = rest.substr(0, colon);
        rest = colon == std::string::npos ? std::string() : rest.substr(colon + 1);
        if (path.empty()) continue;
        std::string error;
        std::unique_ptr<emulator::Controller> controller = emulator::Controller::LoadImage(path, &error);
        if (controller == nullptr) {
            std::fprintf(stderr, "cannot attach %s: %s\n", path.c_str(), error.c_str());
            return false;
        }
        world.AddDevice(std::shared_ptr<emulator::Controller>(std::move(controller)));
    }
    return true;
}

bool ProcessAlive(pid_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

// The machine folder: which shared mutexes other live programs hold, and
// which this one holds.
class SharedMutexes {
public:
    explicit SharedMutexes(std::string folder) : folder_(std::move(folder)) {}

    // Publishes the mutexes this program owns and takes over those that
    // other programs hold.
    void Sync() {
        winsim::World& world = winsim::World::Get();
        for (const char* name : kSharedMutexes) {
            const fs::path file = fs::path(folder_) / name;
            pid_t holder = Holder(file);
            if (holder != 0 && holder != self_ && !ProcessAlive(holder)) {
                std::error_code ignored;
                fs::remove(file, ignored);
                holder = 0;
            }
            const bool ownedHere = world.MutexOwnedHere(name) && heldElsewhere_.count(name) == 0;
            if (ownedHere && holder == 0) {
                if (Claim(file)) holder = self_;
            } else if (!ownedHere && holder == self_) {
                std::error_code ignored;
                fs::remove(file, ignored);
                holder = 0;
            }

            const bool elsewhere = holder != 0 && holder != self_;
            if (elsewhere && heldElsewhere_.insert(name).second) world.HoldMutexElsewhere(name);
            if (!elsewhere && heldElsewhere_.erase(name) != 0) world.ReleaseMutexElsewhere(name);
        }
    }

private:
    static pid_t Holder(const fs::path& file) {
        std::ifstream in(file);
        long pid = 0;
        if (!(in >> pid)) return 0;
        return static_cast<pid_t>(pid);
    }

    // Creates the file with this program's id unless another program was first.
    bool Claim(const fs::path& file) const {
        std::FILE* out = std::fopen(file.c_str(), "wx");
        if (out == nullptr) return false;
        std::fprintf(out, "%ld\n", static_cast<long>(self_));
        std::fclose(out);
        return true;
    }

    std::string folder_;
    pid_t self_ = getpid();
    std::set<std::string> heldElsewhere_;
};

// Runs every kTickMs of the World's clock: keeps the clock to real time and
// the shared mutexes up to date.
void Tick(RealClock::time_point start, SharedMutexes* shared) {
    winsim::World& world = winsim::World::Get();
    if (shared != nullptr) shared->Sync();
    std::this_thread::sleep_until(start + std::chrono::milliseconds(world.Now()));
    world.ScheduleAt(world.Now() + kTickMs, [start, shared] { Tick(start, shared); });
}

}  // namespace

int main() {
    winsim::World& world = winsim::World::Get();
    if (const char* disks = std::getenv("KT4790_DISKS"); disks != nullptr && !AttachDisks(disks)) return 2;

    std::unique_ptr<SharedMutexes> shared;
    if (const char* folder = std::getenv("KT4790_MACHINE"); folder != nullptr && *folder != '\0') {
        shared = std::make_unique<SharedMutexes>(folder);
        shared->Sync();
    }

    world.SetWinExecHook([](const winsim::WinExecCall& call) {
        std::printf("WinExec \"%s\" %u\n", call.commandLine.c_str(), static_cast<unsigned>(call.showCommand));
        std::fflush(stdout);
    });

    const RealClock::time_point start = RealClock::now() - std::chrono::milliseconds(world.Now());
    SharedMutexes* sharedPointer = shared.get();
    world.ScheduleAt(world.Now(), [start, sharedPointer] { Tick(start, sharedPointer); });

    const int result = monitor::MonitorMain();

    world.EndProcess();
    if (shared != nullptr) shared->Sync();
    return result;
}
