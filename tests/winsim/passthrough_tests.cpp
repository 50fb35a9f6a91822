// The disk class driver's pass-through request: the checks it makes on the
// record before anything reaches the device, and how the command's outcome
// comes back.
#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "winsim/world.h"

namespace {

using winsim::World;

// A request record as a caller lays it out: header, sense area at 48, data at 80.
struct Record {
    SCSI_PASS_THROUGH header;
    BYTE filler[4];
    BYTE sense[32];
    BYTE data[512];
};
static_assert(sizeof(Record) == 592, "the record is 592 bytes");

constexpr BYTE kFill = 0xA5;

Record Inquiry() {
    Record r;
    std::memset(&r, 0, sizeof r);
    std::memset(r.data, kFill, sizeof r.data);
    r.header.Length = sizeof(SCSI_PASS_THROUGH);
    r.header.TargetId = 1;
    r.header.CdbLength = 11;
    r.header.SenseInfoLength = 32;
    r.header.DataIn = SCSI_IOCTL_DATA_IN;
    r.header.DataTransferLength = 192;
    r.header.TimeOutValue = 2;
    r.header.DataBufferOffset = 80;
    r.header.SenseInfoOffset = 48;
    const BYTE cdb[] = {0x12, 0x00, 0x00, 0x00, 0xC0};
    std::memcpy(r.header.Cdb, cdb, sizeof cdb);
    return r;
}

// A vendor password check: 512 bytes out.
Record CheckPwd() {
    Record r = Inquiry();
    r.header.DataIn = SCSI_IOCTL_DATA_OUT;
    r.header.DataTransferLength = 512;
    std::memset(r.header.Cdb, 0, sizeof r.header.Cdb);
    r.header.Cdb[0] = 0xF0;
    return r;
}

class PassThrough : public testing::Test {
protected:
    void SetUp() override {
        device_ = &World::Get().AddDevice(emulator::Config{});
        handle_ = CreateFileA(device_->interfacePath.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(handle_, INVALID_HANDLE_VALUE);
    }
    void TearDown() override { CloseHandle(handle_); }

    BOOL Send(Record& r, DWORD inputSize, DWORD outputSize) {
        DWORD returned = 0;
        return DeviceIoControl(handle_, IOCTL_SCSI_PASS_THROUGH, &r, inputSize, &r, outputSize, &returned, nullptr);
    }
    emulator::Controller& controller() { return *device_->controller; }

    winsim::EmulatedDevice* device_ = nullptr;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

TEST_F(PassThrough, DataInReachesTheDeviceAndStatusComesBack) {
    Record r = Inquiry();
    r.header.ScsiStatus = 0x77;
    ASSERT_TRUE(Send(r, 44, 80 + 192));
    EXPECT_EQ(r.header.ScsiStatus, 0);
    EXPECT_EQ(std::memcmp(r.data + 32, "KVOR", 4), 0);
    EXPECT_EQ(r.data[192], kFill) << "nothing written past the transfer";

    ASSERT_EQ(controller().trace().size(), 1u);
    const emulator::CommandRecord& command = controller().trace()[0];
    EXPECT_EQ(command.cdb[0], 0x12);
    EXPECT_EQ(command.cdbLength, 11);
    EXPECT_EQ(command.direction, emulator::DataDirection::In);
    EXPECT_EQ(command.length, 192u);
}

TEST_F(PassThrough, DataOutAndNoDataReachTheDevice) {
    // The device judges the bytes it was sent: a wrong password, then the right one.
    emulator::Config config;
    config.password = "abc";
    device_ = &World::Get().AddDevice(config);
    CloseHandle(handle_);
    handle_ = CreateFileA(device_->interfacePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          0, nullptr);
    ASSERT_NE(handle_, INVALID_HANDLE_VALUE);
    Record pwd = CheckPwd();
    std::memset(pwd.data, 0, sizeof pwd.data);
    pwd.data[0] = 3;
    std::memcpy(pwd.data + 1, "abd", 3);
    ASSERT_TRUE(Send(pwd, 592, 592));
    EXPECT_EQ(pwd.header.ScsiStatus, emulator::kStatusCheckCondition);
    pwd.data[3] = 'c';
    ASSERT_TRUE(Send(pwd, 592, 592));
    EXPECT_EQ(pwd.header.ScsiStatus, 0);

    // An erase moves no data: direction out, length 0, output of 80.
    Record erase = CheckPwd();
    erase.header.DataTransferLength = 0;
    erase.header.Cdb[0] = 0xF3;
    ASSERT_TRUE(Send(erase, 592, 80));

    ASSERT_EQ(controller().trace().size(), 3u);
    EXPECT_EQ(controller().trace()[0].direction, emulator::DataDirection::Out);
    EXPECT_EQ(controller().trace()[0].length, 512u);
    EXPECT_EQ(controller().trace()[2].cdb[0], 0xF3);
    EXPECT_EQ(controller().trace()[2].length, 0u);
}

TEST_F(PassThrough, TransferMayEndExactlyAtTheBufferEnd) {
    Record in = Inquiry();
    in.header.DataTransferLength = 512;
    EXPECT_TRUE(Send(in, 44, 592));
    Record out = CheckPwd();
    EXPECT_TRUE(Send(out, 592, 80));
}

TEST_F(PassThrough, MalformedRecordsNeverReachTheDevice) {
    struct Case {
        const char* what;
        std::function<void(Record&)> change;
        DWORD inputSize;
        DWORD outputSize;
    };
    const Case cases[] = {
        {"header length", [](Record& r) { r.header.Length = 40; }, 44, 272},
        {"header length of a 64-bit record", [](Record& r) { r.header.Length = 56; }, 44, 272},
        {"input shorter than the header", [](Record&) {}, 43, 272},
        {"output shorter than the header", [](Record& r) { r.header.DataTransferLength = 0; }, 44, 43},
        {"no CDB", [](Record& r) { r.header.CdbLength = 0; }, 44, 272},
        {"CDB longer than 16", [](Record& r) { r.header.CdbLength = 17; }, 44, 272},
        {"data in beyond the output", [](Record&) {}, 44, 271},
        {"data out beyond the input", [](Record& r) { r = CheckPwd(); }, 591, 592},
        {"data overlapping the header", [](Record& r) { r.header.DataBufferOffset = 40; }, 44, 272},
        {"offset wrapping around", [](Record& r) { r.header.DataBufferOffset = 0xFFFFFFF0u; }, 44, 272},
        {"unknown direction", [](Record& r) { r.header.DataIn = 3; }, 44, 272},
        {"data with unspecified direction", [](Record& r) { r.header.DataIn = SCSI_IOCTL_DATA_UNSPECIFIED; }, 44,
         272},
        {"sense beyond the output", [](Record& r) { r.header.SenseInfoOffset = 250; }, 44, 272},
        {"sense overlapping the header", [](Record& r) { r.header.SenseInfoOffset = 16; }, 44, 272},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Record r = Inquiry();
        c.change(r);
        const Record before = r;
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(Send(r, c.inputSize, c.outputSize));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(std::memcmp(&r, &before, sizeof r), 0) << "record changed";
    }
    EXPECT_TRUE(controller().trace().empty());
}

TEST_F(PassThrough, RequestsOutsideThePassThroughAreRefused) {
    Record r = Inquiry();
    DWORD returned = 0;
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(DeviceIoControl(handle_, 0x2D1400 /* a storage query */, &r, 44, &r, 272, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);

    // Only synchronous requests.
    alignas(8) BYTE overlapped[32] = {};
    EXPECT_FALSE(DeviceIoControl(handle_, IOCTL_SCSI_PASS_THROUGH, &r, 44, &r, 272, &returned,
                                 reinterpret_cast<LPOVERLAPPED>(overlapped)));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    EXPECT_FALSE(DeviceIoControl(nullptr, IOCTL_SCSI_PASS_THROUGH, &r, 44, &r, 272, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    // The pass-through needs read and write access to the device.
    HANDLE readOnly = CreateFileA(device_->interfacePath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(readOnly, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(DeviceIoControl(readOnly, IOCTL_SCSI_PASS_THROUGH, &r, 44, &r, 272, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(readOnly);

    EXPECT_TRUE(controller().trace().empty());
}

TEST_F(PassThrough, TargetStatusIsDeliveredAndAFailedCallTouchesNothing) {
    controller().InjectFault({emulator::FaultKind::CheckCondition, 0, -1, false});
    Record r = Inquiry();
    ASSERT_TRUE(Send(r, 44, 272));
    EXPECT_EQ(r.header.ScsiStatus, emulator::kStatusCheckCondition);

    controller().InjectFault({emulator::FaultKind::ControlCallFails, 0, -1, false});
    r = Inquiry();
    r.header.ScsiStatus = 0x77;
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(Send(r, 44, 272));
    EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
    EXPECT_EQ(r.header.ScsiStatus, 0x77);
    EXPECT_EQ(r.data[0], kFill);
}

TEST_F(PassThrough, RemovedDeviceFailsTheCall) {
    controller().Remove();
    Record r = Inquiry();
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(Send(r, 44, 272));
    EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);

    // A device taken out of the machine altogether fails the same way.
    controller().Replug();
    World::Get().devices().clear();
    EXPECT_FALSE(Send(r, 44, 272));
    EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
}

TEST_F(PassThrough, LogKeepsEachCallAsReceived) {
    World& world = World::Get();
    world.ReserveLogs(4);
    Record r = Inquiry();
    ASSERT_TRUE(Send(r, 44, 272));
    Record bad = Inquiry();
    bad.header.CdbLength = 0;
    EXPECT_FALSE(Send(bad, 44, 272));

    ASSERT_EQ(world.PassThroughLog().size(), 2u);
    const winsim::PassThroughCall& call = world.PassThroughLog()[0];
    EXPECT_EQ(call.inputSize, 44u);
    EXPECT_EQ(call.outputSize, 272u);
    SCSI_PASS_THROUGH logged;
    std::memcpy(&logged, call.header.data(), sizeof logged);
    EXPECT_EQ(logged.ScsiStatus, 0);
    EXPECT_EQ(logged.CdbLength, 11);
    EXPECT_EQ(logged.SenseInfoLength, 32);
    EXPECT_EQ(logged.TimeOutValue, 2u);
    EXPECT_EQ(logged.DataBufferOffset, 80u);
    EXPECT_EQ(logged.SenseInfoOffset, 48u);
    EXPECT_EQ(logged.Cdb[4], 0xC0);
    EXPECT_EQ(world.PassThroughLog()[1].header[6], 0) << "refused calls are logged too";

    world.SetPassThroughLogging(false);
    ASSERT_TRUE(Send(r, 44, 272));
    EXPECT_EQ(world.PassThroughLog().size(), 2u);
    world.ClearLogs();
    EXPECT_TRUE(world.PassThroughLog().empty());
}

}  // namespace
