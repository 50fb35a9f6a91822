// The virtual clock: Sleep, scheduled actions, events, waits on events and
// mutexes, the limits that stop a runaway program, and the ASPI requests
// with event notification that complete on the clock.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "devlib/aspi/aspi.h"
#include "winsim/world.h"

namespace {

using winsim::World;

TEST(Clock, SleepAndScheduledActionsFollowVirtualTime) {
    World& world = World::Get();
    std::vector<std::pair<int, std::uint64_t>> ran;
    world.ScheduleAt(3000, [&] { ran.push_back({2, world.Now()}); });
    world.ScheduleAt(1000, [&] { ran.push_back({1, world.Now()}); });
    world.ScheduleAt(3000, [&] { ran.push_back({3, world.Now()}); });

    const auto start = std::chrono::steady_clock::now();
    Sleep(2000);
    EXPECT_EQ(GetTickCount(), 2000u);
    ASSERT_EQ(ran.size(), 1u);
    EXPECT_EQ(ran[0], (std::pair<int, std::uint64_t>{1, 1000}));

    // An action due at the very end of a sleep has happened when it returns;
    // actions of one time run in the order they were scheduled.
    Sleep(1000);
    ASSERT_EQ(ran.size(), 3u);
    EXPECT_EQ(ran[1], (std::pair<int, std::uint64_t>{2, 3000}));
    EXPECT_EQ(ran[2], (std::pair<int, std::uint64_t>{3, 3000}));
    EXPECT_EQ(world.ScheduledActionCount(), 0u);
    // Real sleeps would have taken the 3 s slept, however fast the machine.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));

    // An action scheduled in the past runs at the next look at the clock.
    world.ScheduleAt(10, [&] { ran.push_back({4, world.Now()}); });
    Sleep(0);
    ASSERT_EQ(ran.size(), 4u);
    EXPECT_EQ(ran[3].second, 3000u);
}

TEST(Clock, TimedWaitOnAnEventEndsWhenAnActionSetsIt) {
    World& world = World::Get();
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    world.ScheduleAt(1500, [event] { SetEvent(event); });

    EXPECT_EQ(WaitForSingleObject(event, 2000), WAIT_OBJECT_0);
    EXPECT_EQ(world.Now(), 1500u);
    // Auto-reset: the wait took the signal.
    EXPECT_EQ(WaitForSingleObject(event, 2000), WAIT_TIMEOUT);
    EXPECT_EQ(world.Now(), 3500u);
    EXPECT_TRUE(CloseHandle(event));
}

TEST(Clock, ManualResetEventStaysSignalledUntilReset) {
    HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_EQ(World::Get().Now(), 0u);
    CloseHandle(event);
}

TEST(Clock, WaitsThatCouldRunForeverStopTheSimulation) {
    World& world = World::Get();
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_THROW(WaitForSingleObject(event, INFINITE), winsim::SimulationStopped);

    world.SetClockLimit(10000);
    world.ScheduleAt(5000, [] {});
    EXPECT_EQ(WaitForSingleObject(event, 8000), WAIT_TIMEOUT);
    EXPECT_THROW(Sleep(2001), winsim::SimulationStopped);
    EXPECT_EQ(world.Now(), 8000u);

    EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(0x1234), 10), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "Named"), nullptr);
    CloseHandle(event);
}

TEST(Mutexes, NamedMutexIsSharedAndSaysItExisted) {
    World& world = World::Get();
    SetLastError(ERROR_ACCESS_DENIED);  // a new mutex must clear what was left before
    HANDLE first = CreateMutexA(nullptr, TRUE, "ID_TEST");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_SUCCESS});
    EXPECT_TRUE(world.MutexOwnedHere("id_test"));

    HANDLE second = CreateMutexA(nullptr, TRUE, "id_Test");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_ALREADY_EXISTS});
    EXPECT_NE(first, second);

    EXPECT_TRUE(ReleaseMutex(second));  // one object: released through either handle
    EXPECT_FALSE(ReleaseMutex(first));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_NOT_OWNER});

    EXPECT_TRUE(CloseHandle(first));
    EXPECT_TRUE(world.MutexExists("ID_TEST"));
    EXPECT_TRUE(CloseHandle(second));
    EXPECT_FALSE(world.MutexExists("ID_TEST"));
    EXPECT_EQ(world.OpenHandleCount(), 0);

    HANDLE again = CreateMutexA(nullptr, FALSE, "ID_TEST");
    EXPECT_EQ(GetLastError(), DWORD{ERROR_SUCCESS});
    CloseHandle(again);
}

TEST(Mutexes, AnotherProcessAndRefusedNames) {
    World& world = World::Get();
    world.HoldMutexElsewhere("KT4790C");
    HANDLE held = CreateMutexA(nullptr, TRUE, "KT4790C");
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_ALREADY_EXISTS});
    EXPECT_FALSE(world.MutexOwnedHere("KT4790C"));
    CloseHandle(held);
    EXPECT_TRUE(world.MutexExists("KT4790C"));  // the other process still has it
    world.ReleaseMutexElsewhere("KT4790C");
    EXPECT_FALSE(world.MutexExists("KT4790C"));

    world.SetMutexCreateError("Locked", ERROR_ACCESS_DENIED);
    EXPECT_EQ(CreateMutexA(nullptr, TRUE, "LOCKED"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED});
    EXPECT_EQ(world.OpenHandleCount(), 0);
}

TEST(Mutexes, WaitOnAMutexHeldElsewhereEndsWhenItIsReleased) {
    World& world = World::Get();
    world.HoldMutexElsewhere("Shared");
    HANDLE mutex = CreateMutexA(nullptr, FALSE, "Shared");
    world.ScheduleAt(700, [&] { world.ReleaseMutexElsewhere("Shared"); });
    EXPECT_EQ(WaitForSingleObject(mutex, 500), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(mutex, 500), WAIT_OBJECT_0);
    EXPECT_EQ(world.Now(), 700u);
    EXPECT_TRUE(world.MutexOwnedHere("Shared"));
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(mutex);
}

// A program that tests once per 2-second pass whether a mutex exists, as a
// monitor does with its exit request, sees a hold from 10 s to 12 s once.
TEST(Mutexes, ScheduledHoldIsSeenByAPollingProgram) {
    World& world = World::Get();
    world.ScheduleAt(10000, [&] { world.HoldMutexElsewhere("ExitTest"); });
    world.ScheduleAt(12000, [&] { world.ReleaseMutexElsewhere("ExitTest"); });
    HANDLE wait = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::uint64_t seenAt = 0;
    for (int pass = 0; pass < 20 && seenAt == 0; ++pass) {
        WaitForSingleObject(wait, 2000);
        HANDLE probe = CreateMutexA(nullptr, TRUE, "ExitTest");
        if (GetLastError() != ERROR_SUCCESS) seenAt = world.Now();
        CloseHandle(probe);
    }
    EXPECT_EQ(seenAt, 10000u);
    CloseHandle(wait);
}

TEST(Mutexes, EndProcessClosesWhatTheProgramLeftOpen) {
    World& world = World::Get();
    CreateMutexA(nullptr, TRUE, "ID_KT4790CAP");
    CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Test", 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(world.OpenHandleCount(), 3);
    EXPECT_EQ(world.EndProcess(), 3);
    EXPECT_EQ(world.OpenHandleCount(), 0);
    EXPECT_FALSE(world.MutexExists("ID_KT4790CAP"));
    EXPECT_TRUE(world.RegistryKeyExists("Software\\Test"));  // the registry outlives the program
}

// ASPI requests with event notification complete on the virtual clock.
class AspiEvents : public testing::Test {
protected:
    void SetUp() override { World::Get().AddDevice(emulator::Config{}); }

    // An INQUIRY block as a monitor fills it (data in with event
    // notification), asking the 36 bytes the device answers.
    void Fill(SRB_ExecSCSICmd& srb, HANDLE event) {
        std::memset(&srb, 0, sizeof srb);
        srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
        srb.SRB_Flags = SRB_DIR_IN | SRB_EVENT_NOTIFY;
        srb.SRB_BufLen = 36;
        srb.SRB_BufPointer = buffer_;
        srb.SRB_SenseLen = 14;
        srb.SRB_CDBLen = 11;
        srb.SRB_PostProc = event;
        const BYTE cdb[] = {0x12, 0x00, 0x00, 0x00, 36};
        std::memcpy(srb.CDBByte, cdb, sizeof cdb);
    }

    BYTE buffer_[512] = {};
};

TEST_F(AspiEvents, CompletionSetsTheEventAtTheNextWait) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SRB_ExecSCSICmd srb;
    Fill(srb, event);
    EXPECT_EQ(SendASPI32Command(&srb), SS_PENDING);
    EXPECT_EQ(srb.SRB_Status, SS_PENDING);  // nothing completes behind the sender's back

    EXPECT_EQ(WaitForSingleObject(event, 100), WAIT_OBJECT_0);
    EXPECT_EQ(World::Get().Now(), 0u);
    EXPECT_EQ(srb.SRB_Status, SS_COMP);
    EXPECT_EQ(std::memcmp(buffer_ + 32, "KVOR", 4), 0);
    CloseHandle(event);
}

TEST_F(AspiEvents, DelayedCompletionOutlastsAShortWait) {
    World::Get().SetAspiCompletionDelayMs(150);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SRB_ExecSCSICmd srb;
    Fill(srb, event);
    SendASPI32Command(&srb);
    EXPECT_EQ(WaitForSingleObject(event, 100), WAIT_TIMEOUT);
    EXPECT_EQ(srb.SRB_Status, SS_PENDING);
    EXPECT_EQ(WaitForSingleObject(event, 100), WAIT_OBJECT_0);
    EXPECT_EQ(World::Get().Now(), 150u);
    EXPECT_EQ(srb.SRB_Status, SS_COMP);
    CloseHandle(event);
}

TEST_F(AspiEvents, RequestsOfAnEndedProgramNeverComplete) {
    World& world = World::Get();
    world.SetAspiCompletionDelayMs(50);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SRB_ExecSCSICmd srb;
    Fill(srb, event);
    SendASPI32Command(&srb);
    world.EndProcess();
    world.AdvanceClock(1000);
    EXPECT_EQ(srb.SRB_Status, SS_PENDING);
    EXPECT_EQ(buffer_[32], 0);

    // Never completing: the block stays as it was sent.
    world.SetAspiCompletionDelayMs(-1);
    event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Fill(srb, event);
    SendASPI32Command(&srb);
    EXPECT_EQ(WaitForSingleObject(event, 5000), WAIT_TIMEOUT);
    EXPECT_EQ(srb.SRB_Status, SS_PENDING);
    CloseHandle(event);
}

}  // namespace
