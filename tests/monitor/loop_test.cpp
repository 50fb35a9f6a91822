// The monitor's main loop in both builds, on the World's virtual clock:
// when the application is started, what vetoes it, how monitors stop each
// other, and what an unchanged system costs.
#include <dlfcn.h>

#include <cstring>

#include "tests/monitor/monitor_test.h"

namespace {

using montest::Attach;
using montest::Disk;
using montest::StopRequestAt;
using montest::World;

#ifdef KT4790_ASPI
constexpr char kTitle[] = "KT4790MCAP";
constexpr char kExe[] = "KT4790MCAP.exe";
constexpr std::uint64_t kStartDelayMs = 0;
constexpr std::uint64_t kSecondInstanceHoldMs = 4000;
#else
constexpr char kTitle[] = "KT4790CAP";
constexpr char kExe[] = "KT4790CAP.exe";
constexpr std::uint64_t kStartDelayMs = 3000;
constexpr std::uint64_t kSecondInstanceHoldMs = 2000;
#endif
constexpr char kSettingsKey[] = "Software\\KT4790C\\V2.0";
constexpr std::uint32_t kDrivesCD = 0x0C;  // C: and D:

// Calls of the monitor to the platform, counted on their way to winsim.
struct PlatformCalls {
    int driveReads = 0;
    std::vector<DWORD> timedWaits;  // the time-out of each wait
} calls;

template <typename Proc>
Proc* Next(const char* name) {
    void* symbol = dlsym(RTLD_NEXT, name);
    Proc* proc = nullptr;
    std::memcpy(&proc, &symbol, sizeof proc);
    return proc;
}

}  // namespace

extern "C" DWORD WINAPI GetLogicalDrives(void) {
    static auto* next = Next<DWORD WINAPI(void)>("GetLogicalDrives");
    ++calls.driveReads;
    return next();
}

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    static auto* next = Next<DWORD WINAPI(HANDLE, DWORD)>("WaitForSingleObject");
    if (milliseconds != 0) calls.timedWaits.push_back(milliseconds);
    return next(object, milliseconds);
}

namespace {

class MonitorLoop : public montest::MonitorTest {
protected:
    void SetUp() override {
        MonitorTest::SetUp();
        calls = PlatformCalls();
        World().SetWinExecHook([this](const winsim::WinExecCall&) { startTimes.push_back(World().Now()); });
    }

    // Runs the monitor to its end; checks that it returned 0 and left
    // nothing open or existing behind it.
    void Run() {
        ASSERT_EQ(monitor::MonitorMain(), 0);
        endedAt = World().Now();
        EXPECT_EQ(World().OpenHandleCount(), 0);
        EXPECT_FALSE(World().MutexExists(monitor::kMonitorMutex));
    }

    // Starts of the application, each checked for its exact command.
    std::vector<std::uint64_t> Starts() const {
        for (const winsim::WinExecCall& call : World().WinExecCalls()) {
            EXPECT_EQ(call.commandLine, kExe);
            EXPECT_EQ(call.showCommand, 1u);  // SW_SHOWNORMAL
        }
        return startTimes;
    }

    static void ChangeDrivesAt(std::uint64_t atMs, std::uint32_t mask) {
        World().ScheduleAt(atMs, [mask] { World().SetLogicalDrives(mask); });
    }

    std::vector<std::uint64_t> startTimes;
    std::uint64_t endedAt = 0;
};

using Times = std::vector<std::uint64_t>;

TEST_F(MonitorLoop, FirstPassStartsTheApplicationForAnAttachedDevice) {
    Attach(Disk("secret"));
    StopRequestAt(20500, 2000);
    Run();

    EXPECT_EQ(Starts(), Times{2000 + kStartDelayMs});
    // The settings key did not exist: the monitor made it with "Pop" = 1.
    EXPECT_EQ(World().GetRegistryDword(kSettingsKey, "Pop"), std::optional<std::uint32_t>(1));
    // Passes end every 2 seconds after the first; the first test inside the
    // stop request ends the monitor.
    EXPECT_EQ(endedAt, kStartDelayMs == 0 ? 22000u : 21000u);
}

TEST_F(MonitorLoop, StartsOnlyWhenTheDeviceIsSeenAfterASearchThatDidNotSeeIt) {
    const auto device = Attach(Disk("secret"));
    // Another drive: searched, the device is still there, no new start.
    ChangeDrivesAt(10500, kDrivesCD);
    // The device goes: nothing happens until the drives change.
    World().ScheduleAt(15500, [device] { device->Remove(); });
    ChangeDrivesAt(20500, 0x04);
    // Back again at the next change.
    World().ScheduleAt(30500, [device] {
        device->Replug();
        World().SetLogicalDrives(kDrivesCD);
    });
    StopRequestAt(40500, 4000);
    Run();

#ifdef KT4790_ASPI
    EXPECT_EQ(Starts(), (Times{2000, 34000}));
#else
    EXPECT_EQ(Starts(), (Times{5000, 36000}));
#endif
}

TEST_F(MonitorLoop, PopSettingDecidesWhetherTheApplicationStarts) {
    struct Case {
        const char* what;
        bool keyExists;
        std::optional<winsim::RegistryValue> pop;
        bool starts;
    };
    const std::vector<Case> cases = {
        {"Pop 1", true, winsim::RegistryValue{REG_DWORD, {1, 0, 0, 0}}, true},
        {"Pop 0", true, winsim::RegistryValue{REG_DWORD, {0, 0, 0, 0}}, false},
        {"Pop 2", true, winsim::RegistryValue{REG_DWORD, {2, 0, 0, 0}}, false},
        {"Pop missing under the key: the value stays 1", true, std::nullopt, true},
        {"Pop as the text \"1\": its bytes read 0x31", true, winsim::RegistryValue{REG_SZ, {'1', 0}}, false},
        {"Pop as 4 binary bytes 01 00 00 00", true, winsim::RegistryValue{REG_BINARY, {1, 0, 0, 0}}, true},
        {"Pop of 8 bytes does not fit: the value stays 1", true,
         winsim::RegistryValue{REG_BINARY, {0, 0, 0, 0, 0, 0, 0, 0}}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        World().Reset();
        SetUp();
        startTimes.clear();
        Attach(Disk("secret"));
        World().CreateRegistryKey(kSettingsKey);
        if (c.pop) World().SetRegistryValue(kSettingsKey, "Pop", *c.pop);
        StopRequestAt(8500, 2000);
        Run();

        EXPECT_EQ(Starts().size(), c.starts ? 1u : 0u);
        // An existing key gets no default.
        const std::optional<winsim::RegistryValue> after = World().GetRegistryValue(kSettingsKey, "Pop");
        ASSERT_EQ(after.has_value(), c.pop.has_value());
        if (after) {
            EXPECT_EQ(after->data, c.pop->data);
        }
    }
}

TEST_F(MonitorLoop, PopSetLaterDoesNotStartForADeviceThatStayed) {
    const auto device = Attach(Disk("secret"));
    World().SetRegistryDword(kSettingsKey, "Pop", 0);
    World().ScheduleAt(10500, [] {
        World().SetRegistryDword(kSettingsKey, "Pop", 1);
        World().SetLogicalDrives(kDrivesCD);
    });
    // Unplugged and plugged in again: now it starts.
    World().ScheduleAt(20500, [device] {
        device->Remove();
        World().SetLogicalDrives(0x04);
    });
    World().ScheduleAt(30500, [device] {
        device->Replug();
        World().SetLogicalDrives(kDrivesCD);
    });
    StopRequestAt(40500, 4000);
    Run();

    ASSERT_EQ(Starts().size(), 1u);
    EXPECT_GT(Starts()[0], 30500u);
}

TEST_F(MonitorLoop, SettingsKeyThatCannotBeOpenedOrCreatedStartsNothing) {
    Attach(Disk("secret"));
    World().DenyRegistryCreate(kSettingsKey);
    StopRequestAt(8500, 2000);
    Run();

    EXPECT_FALSE(World().RegistryKeyExists(kSettingsKey));
    EXPECT_TRUE(Starts().empty());
    EXPECT_EQ(monitor::DevicePresent, 1);
}

TEST_F(MonitorLoop, DeviceWithoutPasswordOrOfAnotherRevisionStartsNothing) {
    const auto plain = Attach(Disk(""));
    const auto other = Attach(Disk("secret", "XXXX"));
    ChangeDrivesAt(6500, kDrivesCD);
    StopRequestAt(12500, 4000);
    Run();

    EXPECT_TRUE(Starts().empty());
    EXPECT_EQ(monitor::DevicePresent, 0);
    // Both drive-mask changes searched (the first pass is one).
    EXPECT_FALSE(plain->trace().empty());
}

TEST_F(MonitorLoop, OpenApplicationWindowVetoesTheStart) {
    Attach(Disk("secret"));
    const std::uintptr_t window = World().CreateTopLevelWindow("TApplication", kTitle, false);
    // The application ends; then the drives change with the device still attached.
    World().ScheduleAt(10500, [window] {
        World().DestroyTopLevelWindow(window);
        World().SetLogicalDrives(kDrivesCD);
    });
    StopRequestAt(20500, 4000);
    Run();

#ifdef KT4790_ASPI
    // KT4790mMon searched in the first pass although the window was open:
    // the device counts as seen, so no rising edge follows.
    EXPECT_TRUE(Starts().empty());
#else
    // KT4790Mon left the device alone while the window was open and keeps
    // nothing from then: after the window, the device is new to it.
    EXPECT_EQ(Starts(), Times{14000 + kStartDelayMs});
#endif
}

TEST_F(MonitorLoop, ApplicationStartedAndClosedIsNotStartedAgainWhileTheDeviceStays) {
    const auto device = Attach(Disk("secret"));
    std::uintptr_t window = 0;
    World().SetWinExecHook([this, &window](const winsim::WinExecCall&) {
        startTimes.push_back(World().Now());
        window = World().CreateTopLevelWindow("TApplication", kTitle, false);
    });
    // While the application is open, the drives change.
    World().ScheduleAt(10400, [device] { device->ClearTrace(); });
    ChangeDrivesAt(10500, kDrivesCD);
    World().ScheduleAt(16500, [device] {
        // KT4790Mon skipped that search; KT4790mMon made it.
#ifdef KT4790_ASPI
        EXPECT_FALSE(device->trace().empty());
#else
        EXPECT_TRUE(device->trace().empty());
#endif
    });
    // The application ends, then the drives change again.
    World().ScheduleAt(17500, [&window] { World().DestroyTopLevelWindow(window); });
    ChangeDrivesAt(20500, 0x04);
    StopRequestAt(30500, 4000);
    Run();

    EXPECT_EQ(Starts().size(), 1u);
    EXPECT_EQ(monitor::DevicePresent, 1);
}

TEST_F(MonitorLoop, SecondStartHoldsTheStopRequestAndEnds) {
    for (const bool heldElsewhere : {true, false}) {
        SCOPED_TRACE(heldElsewhere ? "another monitor runs" : "the monitor mutex cannot be made");
        World().Reset();
        SetUp();
        Attach(Disk("secret"));
        if (heldElsewhere) {
            World().HoldMutexElsewhere(monitor::kMonitorMutex);
        } else {
            World().SetMutexCreateError(monitor::kMonitorMutex, ERROR_ACCESS_DENIED);
        }
        bool heldDuringWait = false;
        World().ScheduleAt(kSecondInstanceHoldMs - 1, [&heldDuringWait] {
            heldDuringWait = World().MutexOwnedHere(monitor::kMonitorExitMutex);
        });

        ASSERT_EQ(monitor::MonitorMain(), 0);
        EXPECT_EQ(World().Now(), kSecondInstanceHoldMs);
        EXPECT_TRUE(heldDuringWait);
        EXPECT_FALSE(World().MutexExists(monitor::kMonitorExitMutex));
        EXPECT_EQ(World().OpenHandleCount(), 0);
        // Nothing else: no default setting, no drive read, no device command.
        EXPECT_FALSE(World().RegistryKeyExists(kSettingsKey));
        EXPECT_EQ(calls.driveReads, 0);
        EXPECT_TRUE(World().PassThroughLog().empty());
        EXPECT_TRUE(World().AspiLog().empty());
    }
}

TEST_F(MonitorLoop, RunningMonitorEndsOnlyWhenAnEndOfPassTestFallsInsideTheRequest) {
    // Passes end at 2, 4, 6 ... seconds (no device). A request from 2.5 s
    // to 3.5 s falls between two tests and is missed; the next one, from
    // 6.5 s to 8.5 s, holds the test at 8 s.
    StopRequestAt(2500, 1000);
    StopRequestAt(6500, 2000);
    Run();
    EXPECT_EQ(endedAt, 8000u);
}

TEST_F(MonitorLoop, UnchangedSystemCostsOneDriveReadAndOneWaitPerPass) {
    const auto device = Attach(Disk("secret"));
    World().ScheduleAt(10000, [device] {
        device->ClearTrace();
        World().ClearLogs();
        calls = PlatformCalls();
    });
    constexpr std::uint64_t kHourMs = 3600 * 1000;
    StopRequestAt(10000 + kHourMs + 500, 4000);
    Run();

    EXPECT_EQ(Starts().size(), 1u);  // the first pass
    // An hour of passes without a single device command.
    EXPECT_TRUE(device->trace().empty());
    EXPECT_TRUE(World().PassThroughLog().empty());
    EXPECT_TRUE(World().AspiLog().empty());
    // One drive read and one 2-second wait per pass, and nothing else that waits.
    EXPECT_GE(calls.driveReads, 1800);
    EXPECT_EQ(static_cast<std::size_t>(calls.driveReads), calls.timedWaits.size());
    for (const DWORD wait : calls.timedWaits) ASSERT_EQ(wait, 2000u);
    const std::uint64_t waited = 2000u * calls.timedWaits.size();
    EXPECT_LE(waited, endedAt - 10000 + 2000);
    EXPECT_GE(waited + 2000, endedAt - 10000);
}

}  // namespace
