// KT4790mMon's device search over ASPI with event notification: every
// adapter and target, the revision text compared whole, the password state
// equal to 1, and requests that complete late or never.
#include <cstring>
#include <optional>

#include "devlib/aspi/aspi.h"
#include "tests/monitor/monitor_test.h"

namespace {

using montest::Attach;
using montest::Disk;
using montest::Opcodes;
using montest::World;
using Codes = std::vector<std::string>;

class AspiSearch : public montest::MonitorTest {
protected:
    // ScanAspi, then a check that it left nothing open.
    int Scan(const char* revision = "KVOR") {
        const int result = monitor::ScanAspi(revision);
        EXPECT_EQ(World().OpenHandleCount(), 0);
        return result;
    }

    static std::vector<std::string> Requests() {
        std::vector<std::string> codes;
        for (const winsim::AspiCall& call : World().AspiLog()) {
            char code[16];
            std::snprintf(code, sizeof code, "%u:%u %02X", call.haId, call.target, call.cdb[0]);
            codes.emplace_back(code);
        }
        return codes;
    }
};

TEST_F(AspiSearch, EveryTargetIsAskedWithTheThreeRequests) {
    const auto device = Attach(Disk("secret"));  // adapter 0, target 0
    EXPECT_EQ(Scan(), 1);

    Codes expected = {"0:0 F5", "0:0 12", "0:0 C2"};
    for (int target = 1; target < 8; ++target) {
        for (const char* op : {"F5", "12"}) expected.push_back("0:" + std::to_string(target) + " " + op);
    }
    EXPECT_EQ(Requests(), expected);
    EXPECT_EQ(Opcodes(*device), (Codes{"F5", "12", "C2"}));

    for (const winsim::AspiCall& call : World().AspiLog()) {
        SCOPED_TRACE(static_cast<int>(call.cdb[0]));
        EXPECT_EQ(call.cmd, 2);
        EXPECT_EQ(call.flags, 0x48);  // data in, event notification
        EXPECT_EQ(call.lun, 0);
        EXPECT_EQ(call.senseLen, 14);
        EXPECT_TRUE(call.bufferNonNull);
        switch (call.cdb[0]) {
            case 0xF5:  // vendor read of sector 0 with Flag80
                EXPECT_EQ(call.cdbLen, 6);
                EXPECT_EQ(call.bufLen, 512u);
                EXPECT_EQ(call.cdb[1], 0x80);
                EXPECT_EQ(call.cdb[5], 0);
                break;
            case 0x12:
                EXPECT_EQ(call.cdbLen, 11);
                EXPECT_EQ(call.bufLen, 192u);
                EXPECT_EQ(call.cdb[4], 0xC0);
                break;
            default:
                EXPECT_EQ(call.cdb[0], 0xC2);
                EXPECT_EQ(call.cdbLen, 6);
                EXPECT_EQ(call.bufLen, 512u);
        }
    }
}

TEST_F(AspiSearch, AnyDeviceWithAPasswordOnAnyAdapterCounts) {
    World().SetAspiAdapterCount(2);
    const auto plain = Attach(Disk(""));
    winsim::EmulatedDevice& protectedDisk = World().AddDevice(Disk("secret"));
    protectedDisk.hostAdapter = 1;
    protectedDisk.target = 7;
    // INQUIRY byte 3 bit 7 plays no part here.
    emulator::Config refusing = Disk("");
    refusing.inquiryByte3 = 0x82;
    const auto third = Attach(refusing);

    EXPECT_EQ(Scan(), 1);
    EXPECT_EQ(World().AspiLog().size(), 2u * 8 * 2 + 3);
    EXPECT_EQ(Opcodes(*plain), (Codes{"F5", "12", "C2"}));
    EXPECT_EQ(Opcodes(*third), (Codes{"F5", "12", "C2"}));
    EXPECT_EQ(Opcodes(*protectedDisk.controller), (Codes{"F5", "12", "C2"}));
}

TEST_F(AspiSearch, RevisionTextIsTrimmedAndComparedWhole) {
    struct Case {
        std::array<char, 4> inquiry;
        const char* wanted;
        bool matches;
        std::optional<std::uint32_t> inquiryArrives = std::nullopt;  // INQUIRY's bytes that come; none: all
    };
    const std::vector<Case> cases = {
        {{'K', 'V', 'O', 'R'}, "KVOR", true},
        {{'k', 'v', 'o', 'r'}, "KVOR", true},
        {{'K', 'V', 'O', 'R'}, "kvor", true},
        {{'P', '1', '.', '0'}, "KVOR", true},
        {{'p', '1', '.', '0'}, "KVOR", true},
        {{'K', 'V', 'O', ' '}, "KVO", true},   // trailing blanks go
        {{'K', 'V', 'O', ' '}, "KVOR", false},
        {{' ', 'K', 'V', 'O'}, "KVO", false},  // leading ones stay
        {{'K', 'V', 0, 'O'}, "KVO", true},     // a zero byte adds nothing
        {{'X', 'K', 'V', 'O'}, "KVO", false},  // the whole text, not a part of it
        {{'K', 'V', 'O', 'X'}, "KVOR", false},
        {{0, 0, 0, 0}, "KVOR", false},
        {{' ', ' ', ' ', ' '}, "P1.0", false},
        // The revision did not come; the sector read before INQUIRY holds
        // "KVOR" where it would stand, and is no revision.
        {{'A', 'B', 'C', 'D'}, "KVOR", false, 32},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.inquiry.data(), 4) + " / " + c.wanted);
        World().Reset();
        emulator::Config config = Disk("secret");
        config.revision = c.inquiry;
        const auto device = Attach(config);
        if (c.inquiryArrives) {
            BYTE sector[512] = {};
            std::memcpy(sector + 32, "KVOR", 4);
            const devcmd::Command write = devcmd::Write10(0, sizeof sector);
            ASSERT_EQ(device->Execute(write.cdb.bytes, write.cdbLength, emulator::DataDirection::Out, sector,
                                      sizeof sector).status, 0);
            device->ClearTrace();
            emulator::Fault cut{emulator::FaultKind::ShortTransfer, 0, 0x12, false, -1, *c.inquiryArrives};
            device->InjectFault(cut);
        }
        EXPECT_EQ(Scan(c.wanted), c.matches ? 1 : 0);
        EXPECT_EQ(Opcodes(*device).size(), c.matches ? 3u : 2u);
    }
}

TEST_F(AspiSearch, OnlyPasswordStateOneCounts) {
    for (const int reply : {0, 1, 2, 0x81, 0xFF}) {
        SCOPED_TRACE(reply);
        World().Reset();
        emulator::Config config = Disk("secret");
        config.pwdExistReply = reply;
        Attach(config);
        EXPECT_EQ(Scan(), reply == 1 ? 1 : 0);
    }
}

TEST_F(AspiSearch, FailedRequestsCountAsNoDeviceForTheirTargetOnly) {
    struct Case {
        const char* what;
        emulator::Fault fault;
        int found;
    };
    const std::vector<Case> cases = {
        {"vendor read fails: ignored", {emulator::FaultKind::CheckCondition, 0, 0xF5, true}, 1},
        {"INQUIRY fails", {emulator::FaultKind::CheckCondition, 0, 0x12, true}, 0},
        {"INQUIRY not delivered", {emulator::FaultKind::ControlCallFails, 0, 0x12, true}, 0},
        {"password state fails", {emulator::FaultKind::CheckCondition, 0, 0xC2, true}, 0},
        {"removed after the vendor read", {emulator::FaultKind::Removed, 1, -1, false}, 0},
        {"removed after INQUIRY", {emulator::FaultKind::Removed, 2, -1, false}, 0},
        // The manager counts nothing of an underrun: the 1 came, but the
        // reply cannot show it.
        {"password state in 1 byte", {emulator::FaultKind::ShortTransfer, 0, 0xC2, true, -1, 1u}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        World().Reset();
        const auto device = Attach(Disk("secret"));
        device->InjectFault(c.fault);
        EXPECT_EQ(Scan(), c.found);

        // The search goes on past such a target.
        World().Reset();
        const auto failing = Attach(Disk("secret"));
        failing->InjectFault(c.fault);
        const auto next = Attach(Disk("secret"));
        EXPECT_EQ(Scan(), 1);
        EXPECT_EQ(Opcodes(*next), (Codes{"F5", "12", "C2"}));
    }
}

TEST_F(AspiSearch, NoAspiLayerOrNoAdaptersFindsNothing) {
    Attach(Disk("secret"));
    World().SetAspiAdapterCount(0);
    EXPECT_EQ(Scan(), 0);
    EXPECT_TRUE(World().AspiLog().empty());
}

TEST_F(AspiSearch, RequestRefusedAtOnceFailsItsTargetWithoutAWait) {
    Attach(Disk("secret"));
    World().SetAspiRefusal(SS_ASPI_IS_BUSY);
    EXPECT_EQ(Scan(), 0);
    EXPECT_EQ(World().Now(), 0u);
    EXPECT_EQ(Requests().size(), 8u * 2);  // the vendor read and INQUIRY of every target
}

TEST_F(AspiSearch, RequestSlowerThanAFirstWaitIsAwaited) {
    Attach(Disk("secret"));
    World().SetAspiCompletionDelayMs(300);
    EXPECT_EQ(Scan(), 1);
    EXPECT_EQ(World().Now(), 300u * (3 + 7 * 2));
}

TEST_F(AspiSearch, RequestThatNeverCompletesFailsItsTargetAndStaysWithTheLayer) {
    const auto device = Attach(Disk("secret"));
    World().SetAspiCompletionDelayMs(-1);
    EXPECT_EQ(monitor::ScanAspi("KVOR"), 0);

    // Each target's vendor read was given up after 5 seconds, and nothing
    // more was sent to that target.
    Codes expected;
    for (int target = 0; target < 8; ++target) expected.push_back("0:" + std::to_string(target) + " F5");
    EXPECT_EQ(Requests(), expected);
    EXPECT_EQ(World().Now(), 8u * 5000);
    // The ASPI layer may still set their events: they stay open.
    EXPECT_EQ(World().OpenHandleCount(winsim::HandleKind::Event), 8);
    EXPECT_EQ(World().OpenHandleCount(), 8);
}

TEST_F(AspiSearch, RequestGivenUpIsReleasedOnceItHasCompleted) {
    Attach(Disk("secret"));
    World().SetAspiCompletionDelayMs(6000);
    EXPECT_EQ(monitor::ScanAspi("KVOR"), 0);
    // Each request completed one second after it was given up, into a block
    // that was still there; each search request first releases those that
    // have completed. The last two are still held: one completed during the
    // last wait, the other has not completed yet.
    EXPECT_EQ(World().OpenHandleCount(winsim::HandleKind::Event), 2);

    // The last completion comes, and the next search releases both.
    World().AdvanceClock(6000);
    World().SetAspiCompletionDelayMs(0);
    EXPECT_EQ(Scan(), 1);
}

}  // namespace
