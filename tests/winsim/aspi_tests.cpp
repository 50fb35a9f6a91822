// ASPI: the adapter count, request blocks completing on another thread,
// the completion delay and the requests that never complete.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "devlib/aspi/aspi.h"
#include "winsim/world.h"

namespace {

using winsim::World;
using Clock = std::chrono::steady_clock;

constexpr BYTE kInvalidHostAdapter = 0x81;
constexpr BYTE kNoDevice = 0x82;
constexpr BYTE kInvalidBlock = 0xE0;
constexpr BYTE kInvalidCommand = 0x80;

// What the completion routine saw.
struct Completions {
    std::mutex mutex;
    std::condition_variable done;
    int count = 0;
    void* block = nullptr;
    BYTE status = 0xEE;
    std::thread::id thread;
    HANDLE event = nullptr;  // set by the routine when there is one
};
Completions completions;

void PostRoutine(void* srb) {
    std::lock_guard<std::mutex> lock(completions.mutex);
    ++completions.count;
    completions.block = srb;
    completions.status = static_cast<SRB_ExecSCSICmd*>(srb)->SRB_Status;
    completions.thread = std::this_thread::get_id();
    if (completions.event != nullptr) SetEvent(completions.event);
    completions.done.notify_all();
}

bool WaitForCompletions(int count, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(completions.mutex);
    return completions.done.wait_for(lock, limit, [&] { return completions.count >= count; });
}

class Aspi : public testing::Test {
protected:
    void SetUp() override {
        std::lock_guard<std::mutex> lock(completions.mutex);
        completions.count = 0;
        completions.block = nullptr;
        completions.status = 0xEE;
        completions.thread = std::thread::id();
        completions.event = nullptr;
    }

    // An INQUIRY block as the library fills it (posting, data in), asking
    // `length` bytes: by default the 36 the device answers, so that the
    // request completes with SS_COMP.
    SRB_ExecSCSICmd Inquiry(BYTE haId, BYTE target, BYTE length = 36) {
        SRB_ExecSCSICmd srb;
        std::memset(&srb, 0, sizeof srb);
        srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
        srb.SRB_HaId = haId;
        srb.SRB_Flags = SRB_DIR_IN | SRB_POSTING;
        srb.SRB_Target = target;
        srb.SRB_BufLen = length;
        srb.SRB_BufPointer = buffer_;
        srb.SRB_SenseLen = 14;
        srb.SRB_CDBLen = 11;
        srb.SRB_PostProc = reinterpret_cast<void*>(&PostRoutine);
        const BYTE cdb[] = {0x12, 0x00, 0x00, 0x00, length};
        std::memcpy(srb.CDBByte, cdb, sizeof cdb);
        return srb;
    }

    BYTE buffer_[512] = {};
};

TEST_F(Aspi, SupportInfoCountsAdapters) {
    World& world = World::Get();
    EXPECT_EQ(GetASPI32SupportInfo() & 0xFFFF, (DWORD{SS_COMP} << 8) | 1);
    winsim::EmulatedDevice& device = world.AddDevice(emulator::Config{});
    device.hostAdapter = 2;
    EXPECT_EQ(GetASPI32SupportInfo() & 0xFF, 3u);
    world.SetAspiAdapterCount(5);
    EXPECT_EQ(GetASPI32SupportInfo() & 0xFF, 5u);
    world.SetAspiAdapterCount(0);
    EXPECT_EQ(GetASPI32SupportInfo() & 0xFF, 0u);
    EXPECT_NE((GetASPI32SupportInfo() >> 8) & 0xFF, DWORD{SS_COMP});
    world.SetAspiAdapterCount(-1);
    EXPECT_EQ(GetASPI32SupportInfo() & 0xFF, 3u);
}

// A device that answers at once completes the request before
// SendASPI32Command returns; one that takes time completes it on the
// manager's own thread.
TEST_F(Aspi, RequestCompletesAtOnceOrOnAnotherThread) {
    World::Get().AddDevice(emulator::Config{});
    for (int delayMs : {0, 1}) {
        SCOPED_TRACE(delayMs);
        World::Get().SetAspiCompletionDelayMs(delayMs);
        SetUp();  // a fresh record of the routine
        SRB_ExecSCSICmd srb = Inquiry(0, 0);
        EXPECT_EQ(SendASPI32Command(&srb), SS_PENDING);
        if (delayMs == 0) {
            EXPECT_EQ(srb.SRB_Status, SS_COMP);  // the routine has run already
        }
        ASSERT_TRUE(WaitForCompletions(1, std::chrono::seconds(5)));

        EXPECT_EQ(completions.block, &srb);
        EXPECT_EQ(completions.status, SS_COMP);
        if (delayMs == 0) {
            EXPECT_EQ(completions.thread, std::this_thread::get_id());
        } else {
            EXPECT_NE(completions.thread, std::this_thread::get_id());
        }
        EXPECT_EQ(srb.SRB_TargStat, 0);
        EXPECT_EQ(std::memcmp(buffer_ + 32, "KVOR", 4), 0);
    }
}

TEST_F(Aspi, DelayHoldsTheCompletionBack) {
    World::Get().AddDevice(emulator::Config{});
    World::Get().SetAspiCompletionDelayMs(150);
    SRB_ExecSCSICmd srb = Inquiry(0, 0);
    const auto start = Clock::now();
    EXPECT_EQ(SendASPI32Command(&srb), SS_PENDING);
    ASSERT_TRUE(WaitForCompletions(1, std::chrono::seconds(5)));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(150));
    EXPECT_EQ(completions.status, SS_COMP);
}

TEST_F(Aspi, NegativeDelayNeverCompletesNorTouchesTheBlock) {
    winsim::EmulatedDevice& device = World::Get().AddDevice(emulator::Config{});
    World::Get().SetAspiCompletionDelayMs(-1);
    SRB_ExecSCSICmd srb = Inquiry(0, 0);
    srb.SRB_HaStat = 0x5A;
    EXPECT_EQ(SendASPI32Command(&srb), SS_PENDING);
    EXPECT_FALSE(WaitForCompletions(1, std::chrono::milliseconds(200)));
    EXPECT_EQ(srb.SRB_Status, SS_PENDING);
    EXPECT_EQ(srb.SRB_HaStat, 0x5A);
    EXPECT_EQ(buffer_[32], 0);
    EXPECT_TRUE(device.controller->trace().empty());
}

TEST_F(Aspi, ResetAbandonsWaitingRequests) {
    World::Get().AddDevice(emulator::Config{});
    World::Get().SetAspiCompletionDelayMs(60000);
    SRB_ExecSCSICmd srb = Inquiry(0, 0);
    EXPECT_EQ(SendASPI32Command(&srb), SS_PENDING);
    const auto start = Clock::now();
    World::Get().Reset();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(60));  // it did not wait for the completion
    EXPECT_FALSE(WaitForCompletions(1, std::chrono::milliseconds(100)));
    EXPECT_EQ(srb.SRB_Status, SS_PENDING);
}

TEST_F(Aspi, OutcomesOfDeliveredAndUndeliveredRequests) {
    World& world = World::Get();
    winsim::EmulatedDevice& device = world.AddDevice(emulator::Config{});
    const std::shared_ptr<emulator::Controller> controller = device.controller;
    world.AddDevice(emulator::Config{}).visibleToAspi = false;  // target 1

    struct Case {
        const char* what;
        BYTE haId;
        BYTE target;
        BYTE length;  // asked of INQUIRY, whose reply is 36 bytes
        emulator::FaultKind fault;
        bool inject;
        BYTE status;
        BYTE hostStatus;
        BYTE targetStatus;
    };
    constexpr BYTE kSelectionTimeout = 0x11;
    const Case cases[] = {
        {"reply shorter than asked", 0, 0, 192, {}, false, SS_ERR, HASTAT_DO_DU, 0},
        {"short transfer", 0, 0, 36, emulator::FaultKind::ShortTransfer, true, SS_ERR, HASTAT_DO_DU, 0},
        {"check condition", 0, 0, 36, emulator::FaultKind::CheckCondition, true, SS_ERR, HASTAT_OK, 2},
        {"control call fails", 0, 0, 36, emulator::FaultKind::ControlCallFails, true, SS_ERR, kSelectionTimeout, 0},
        {"empty target", 0, 5, 36, {}, false, kNoDevice, HASTAT_OK, 0},
        {"hidden from ASPI", 0, 1, 36, {}, false, kNoDevice, HASTAT_OK, 0},
        {"no such adapter", 3, 0, 36, {}, false, kInvalidHostAdapter, HASTAT_OK, 0},
    };
    int expected = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.inject) controller->InjectFault({c.fault, 0, -1, false});
        SRB_ExecSCSICmd srb = Inquiry(c.haId, c.target, c.length);
        EXPECT_EQ(SendASPI32Command(&srb), SS_PENDING);
        ASSERT_TRUE(WaitForCompletions(++expected, std::chrono::seconds(5)));
        EXPECT_EQ(srb.SRB_Status, c.status);
        EXPECT_EQ(srb.SRB_HaStat, c.hostStatus);
        EXPECT_EQ(srb.SRB_TargStat, c.targetStatus);
    }

    controller->Remove();
    SRB_ExecSCSICmd srb = Inquiry(0, 0);
    SendASPI32Command(&srb);
    ASSERT_TRUE(WaitForCompletions(++expected, std::chrono::seconds(5)));
    EXPECT_EQ(srb.SRB_Status, kNoDevice);
}

TEST_F(Aspi, InconsistentBlocksAreRefusedAtOnce) {
    World::Get().AddDevice(emulator::Config{});
    struct Case {
        const char* what;
        void (*change)(SRB_ExecSCSICmd&);
        BYTE status;
    };
    const Case cases[] = {
        {"not an execute command", [](SRB_ExecSCSICmd& s) { s.SRB_Cmd = 0; }, kInvalidCommand},
        {"no CDB", [](SRB_ExecSCSICmd& s) { s.SRB_CDBLen = 0; }, kInvalidBlock},
        {"CDB longer than 16", [](SRB_ExecSCSICmd& s) { s.SRB_CDBLen = 17; }, kInvalidBlock},
        {"both directions", [](SRB_ExecSCSICmd& s) { s.SRB_Flags |= SRB_DIR_OUT; }, kInvalidBlock},
        {"data without direction", [](SRB_ExecSCSICmd& s) { s.SRB_Flags = SRB_POSTING; }, kInvalidBlock},
        {"data without buffer", [](SRB_ExecSCSICmd& s) { s.SRB_BufPointer = nullptr; }, kInvalidBlock},
        {"posting without routine", [](SRB_ExecSCSICmd& s) { s.SRB_PostProc = nullptr; }, kInvalidBlock},
        {"posting and event", [](SRB_ExecSCSICmd& s) { s.SRB_Flags |= SRB_EVENT_NOTIFY; }, kInvalidBlock},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SRB_ExecSCSICmd srb = Inquiry(0, 0);
        c.change(srb);
        EXPECT_EQ(SendASPI32Command(&srb), c.status);
        EXPECT_EQ(srb.SRB_Status, c.status);
    }
    EXPECT_EQ(SendASPI32Command(nullptr), kInvalidBlock);
    EXPECT_FALSE(WaitForCompletions(1, std::chrono::milliseconds(100)));
    EXPECT_TRUE(World::Get().devices()[0].controller->trace().empty());
}

TEST_F(Aspi, ABusyManagerRefusesAtOnceWithoutCompletion) {
    World& world = World::Get();
    world.AddDevice(emulator::Config{});
    world.SetAspiRefusal(SS_ASPI_IS_BUSY);
    SRB_ExecSCSICmd posted = Inquiry(0, 0);
    EXPECT_EQ(SendASPI32Command(&posted), SS_ASPI_IS_BUSY);
    EXPECT_EQ(posted.SRB_Status, SS_ASPI_IS_BUSY);

    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SRB_ExecSCSICmd notifying = Inquiry(0, 0);
    notifying.SRB_Flags = SRB_DIR_IN | SRB_EVENT_NOTIFY;
    notifying.SRB_PostProc = event;
    EXPECT_EQ(SendASPI32Command(&notifying), SS_ASPI_IS_BUSY);
    EXPECT_EQ(WaitForSingleObject(event, 1000), WAIT_TIMEOUT);
    EXPECT_FALSE(WaitForCompletions(1, std::chrono::milliseconds(100)));
    EXPECT_TRUE(world.devices()[0].controller->trace().empty());
    EXPECT_EQ(buffer_[32], 0);

    world.SetAspiRefusal(0);
    EXPECT_EQ(SendASPI32Command(&posted), SS_PENDING);
    EXPECT_TRUE(WaitForCompletions(1, std::chrono::seconds(5)));
    CloseHandle(event);
}

TEST_F(Aspi, AWaitLastsInRealTimeWhileACompletionIsOutstanding) {
    // The completion routine sets an event on the worker thread after 300
    // real milliseconds; a wait for it meanwhile passes real time, and the
    // virtual clock follows, running the actions that fall due.
    World& world = World::Get();
    world.AddDevice(emulator::Config{});
    world.SetAspiCompletionDelayMs(300);
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    completions.event = event;
    bool actionRan = false;
    world.ScheduleAt(100, [&] { actionRan = true; });

    SRB_ExecSCSICmd srb = Inquiry(0, 0);
    const auto start = Clock::now();
    EXPECT_EQ(SendASPI32Command(&srb), SS_PENDING);
    EXPECT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));  // the completion ended it, not the limit
    EXPECT_EQ(srb.SRB_Status, SS_COMP);
    EXPECT_TRUE(actionRan);
    EXPECT_GE(world.Now(), 100u);
    EXPECT_LT(world.Now(), 5000u);

    // Nothing outstanding: waits are virtual again.
    ASSERT_TRUE(WaitForCompletions(1, std::chrono::seconds(5)));
    const std::uint64_t before = world.Now();
    const auto virtualStart = Clock::now();
    EXPECT_EQ(WaitForSingleObject(event, 5000), WAIT_TIMEOUT);
    EXPECT_EQ(world.Now(), before + 5000);
    EXPECT_LT(Clock::now() - virtualStart, std::chrono::seconds(5));  // a real wait would take the 5 s
    CloseHandle(event);
}

TEST_F(Aspi, LogKeepsEachBlockAsReceived) {
    World& world = World::Get();
    world.AddDevice(emulator::Config{});
    SRB_ExecSCSICmd srb = Inquiry(0, 0);
    SendASPI32Command(&srb);
    ASSERT_TRUE(WaitForCompletions(1, std::chrono::seconds(5)));
    SRB_ExecSCSICmd bad = Inquiry(0, 3);
    bad.SRB_CDBLen = 0;
    SendASPI32Command(&bad);

    ASSERT_EQ(world.AspiLog().size(), 2u);
    const winsim::AspiCall& call = world.AspiLog()[0];
    EXPECT_EQ(call.cmd, SC_EXEC_SCSI_CMD);
    EXPECT_EQ(call.flags, 0x09);
    EXPECT_EQ(call.bufLen, 36u);
    EXPECT_TRUE(call.bufferNonNull);
    EXPECT_EQ(call.senseLen, 14);
    EXPECT_EQ(call.cdbLen, 11);
    EXPECT_EQ(call.cdb[4], 36);
    EXPECT_EQ(world.AspiLog()[1].target, 3);

    world.SetAspiLogging(false);
    SendASPI32Command(&bad);
    EXPECT_EQ(world.AspiLog().size(), 2u);
}

}  // namespace
