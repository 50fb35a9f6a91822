// KT4790Mon's device search over SetupAPI and SCSI pass-through: which
// interface is taken, which device decides, and how failures and bad
// replies count.
#include "tests/monitor/monitor_test.h"

namespace {

using montest::Attach;
using montest::Disk;
using montest::Opcodes;
using montest::World;
using Codes = std::vector<std::string>;

class PassThroughSearch : public montest::MonitorTest {
protected:
    // CheckDevice, then a check that it left nothing open.
    int Check() {
        const int result = monitor::CheckDevice();
        EXPECT_EQ(World().OpenHandleCount(), 0);
        EXPECT_EQ(World().OpenDeviceListCount(), 0);
        return result;
    }
};

TEST_F(PassThroughSearch, FirstDeviceThatPassesInquiryDecides) {
    // Not a candidate: the path lacks the revision. Candidate refused by
    // INQUIRY byte 3 bit 7. Then the first taken, without a password, and a
    // second one with a password that is never asked.
    const auto foreign = Attach(Disk("secret", "XXXX"));
    emulator::Config refusing = Disk("secret");
    refusing.inquiryByte3 = 0x82;
    const auto refused = Attach(refusing);
    const auto first = Attach(Disk(""));
    const auto second = Attach(Disk("secret"));

    EXPECT_EQ(Check(), 0);
    EXPECT_TRUE(foreign->trace().empty());
    EXPECT_EQ(Opcodes(*refused), Codes{"12"});
    EXPECT_EQ(Opcodes(*first), (Codes{"12", "C2"}));
    EXPECT_TRUE(second->trace().empty());
    EXPECT_EQ(monitor::DevicePresent, 0);
}

TEST_F(PassThroughSearch, RevisionTagInThePathIsFoundWhateverItsCase) {
    struct Case {
        const char* path;
        bool candidate;
    };
    const std::vector<Case> cases = {
        {R"(\\?\usbstor#disk&ven_kt4790&prod_usb&rev_kvor#7&1&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b})", true},
        {R"(\\?\USBSTOR#DISK&VEN_KT4790&PROD_USB&REV_KVOR#7&1&0#{53F56307-B6BF-11D0-94F2-00A0C91EFB8B})", true},
        {R"(\\?\usbstor#disk&ven_kt4790&prod_usb&rev_p1.0#7&1&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b})", true},
        {R"(\\?\usbstor#disk&ven_kt4790&prod_usb&rev_kvo#7&1&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b})", false},
        {R"(\\?\usbstor#disk&ven_kt4790&prod_usb&kvor#7&1&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b})", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        World().Reset();
        monitor::DevicePresent = 0;
        const auto device = Attach(Disk("secret"), c.path);
        EXPECT_EQ(Check(), c.candidate ? 1 : 0);
        EXPECT_EQ(device->trace().empty(), !c.candidate);
    }
}

TEST_F(PassThroughSearch, AnyNonZeroPasswordStateCountsAsSet) {
    for (const int reply : {0, 1, 2, 0x80, 0xFF}) {
        SCOPED_TRACE(reply);
        World().Reset();
        emulator::Config config = Disk("");
        config.pwdExistReply = reply;
        Attach(config);
        const HANDLE device = monitor::FindDevice("Rev_KVOR");
        ASSERT_NE(device, INVALID_HANDLE_VALUE);
        EXPECT_EQ(monitor::PwdExistByte(device), reply != 0 ? 1 : 0);
        CloseHandle(device);
        EXPECT_EQ(World().OpenHandleCount(), 0);
    }
}

TEST_F(PassThroughSearch, CandidateThatCannotBeOpenedEndsTheSearch) {
    winsim::EmulatedDevice& closed = World().AddDevice(Disk("secret"));
    closed.openable = false;
    const auto later = Attach(Disk("secret"));

    EXPECT_EQ(Check(), 0);
    EXPECT_TRUE(later->trace().empty());
}

TEST_F(PassThroughSearch, FailuresCountAsNoDevice) {
    struct Case {
        const char* what;
        emulator::Fault fault;
        Codes commands;
    };
    const std::vector<Case> cases = {
        {"INQUIRY fails", {emulator::FaultKind::CheckCondition, 0, 0x12, false}, {"12"}},
        {"INQUIRY not delivered", {emulator::FaultKind::ControlCallFails, 0, 0x12, false}, {"12"}},
        {"password state fails", {emulator::FaultKind::CheckCondition, 0, 0xC2, false}, {"12", "C2"}},
        {"removed after INQUIRY", {emulator::FaultKind::Removed, 1, -1, false}, {"12", "C2"}},
        // Byte 3, whose bit 7 refuses the device, did not come.
        {"INQUIRY in 3 bytes", {emulator::FaultKind::ShortTransfer, 0, 0x12, false, -1, 3u}, {"12"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        World().Reset();
        monitor::DevicePresent = 1;  // seen at the search before
        const auto device = Attach(Disk("secret"));
        device->InjectFault(c.fault);
        EXPECT_EQ(Check(), 0);
        EXPECT_EQ(monitor::DevicePresent, 0);
        EXPECT_EQ(Opcodes(*device), c.commands);
    }
}

TEST_F(PassThroughSearch, SetupApiFailureFindsNothing) {
    Attach(Disk("secret"));
    World().SetSetupApiFails(true);
    EXPECT_EQ(monitor::FindDevice("Rev_KVOR"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Check(), 0);
}

}  // namespace
