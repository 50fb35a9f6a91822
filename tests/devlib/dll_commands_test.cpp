// KT4790DLL's commands through winsim's pass-through call and the emulator:
// the exact request record of every command, and what reaches the caller.
#include <functional>
#include <memory>

#include "devlib/devcmd.h"
#include "tests/devlib/devlib_test.h"

namespace {

using devtest::Bytes;
using devtest::World;

class DllCommands : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(lib.loaded());
        device = &World().AddDevice(devtest::Disk(u"My Disk 1"));
        handle = CreateFileA(device->interfacePath.c_str(), GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    }
    void TearDown() override { CloseHandle(handle); }

    emulator::Controller& controller() { return *device->controller; }
    void Fail(emulator::FaultKind kind, int opcode) {
        emulator::Fault fault;
        fault.kind = kind;
        fault.opcode = opcode;
        fault.repeat = true;
        controller().InjectFault(fault);
    }

    devtest::Library lib{"KT4790DLL"};
    winsim::EmulatedDevice* device = nullptr;
    HANDLE handle = INVALID_HANDLE_VALUE;

    decltype(::CheckPwd)* checkPwd = DEVLIB_BIND(lib, CheckPwd);
    decltype(::ChangePwd)* changePwd = DEVLIB_BIND(lib, ChangePwd);
    decltype(::ClearPwd)* clearPwd = DEVLIB_BIND(lib, ClearPwd);
    decltype(::SetEString)* setEString = DEVLIB_BIND(lib, SetEString);
    decltype(::EraseBlock)* eraseBlock = DEVLIB_BIND(lib, EraseBlock);
    decltype(::VSCWriteSector)* vscWriteSector = DEVLIB_BIND(lib, VSCWriteSector);
    decltype(::VSCReadSector)* vscReadSector = DEVLIB_BIND(lib, VSCReadSector);
    decltype(::GetPhyBlock)* getPhyBlock = DEVLIB_BIND(lib, GetPhyBlock);
    decltype(::GetChipVersion)* getChipVersion = DEVLIB_BIND(lib, GetChipVersion);
    decltype(::GetMediaSize)* getMediaSize = DEVLIB_BIND(lib, GetMediaSize);
    decltype(::PwdExist)* pwdExist = DEVLIB_BIND(lib, PwdExist);
    decltype(::SenseCommand)* senseCommand = DEVLIB_BIND(lib, SenseCommand);
    decltype(::WriteProtect)* writeProtect = DEVLIB_BIND(lib, WriteProtect);
    decltype(::InquiryCommand)* inquiryCommand = DEVLIB_BIND(lib, InquiryCommand);
    decltype(::GetCapacity)* getCapacity = DEVLIB_BIND(lib, GetCapacity);
    decltype(::ReadSector)* readSector = DEVLIB_BIND(lib, ReadSector);
    decltype(::WriteSector)* writeSector = DEVLIB_BIND(lib, WriteSector);
};

struct Expected {
    const char* what;
    std::function<void()> call;
    std::uint8_t dataIn;
    std::uint32_t transfer;
    Bytes cdb;
    std::uint32_t inputSize;
    std::uint32_t outputSize;
};

std::uint32_t Le32(const std::array<std::uint8_t, 44>& h, std::size_t at) {
    return h[at] | (h[at + 1] << 8) | (h[at + 2] << 16) | (static_cast<std::uint32_t>(h[at + 3]) << 24);
}

TEST_F(DllCommands, EveryCommandSendsOneExactRequestRecord) {
    BYTE buffer[512] = {};
    DWORD block = 0x00000010;
    DWORD count = 0;
    const std::vector<Expected> table = {
        {"CheckPwd", [&] { checkPwd(handle, buffer); }, 0, 512, {0xF0, 0x00, 0x02, 0x00}, 592, 592},
        {"ChangePwd", [&] { changePwd(handle, buffer); }, 0, 512, {0xF1, 0x00, 0x02, 0x00}, 592, 592},
        {"ClearPwd", [&] { clearPwd(handle, buffer); }, 0, 512, {0xF2, 0x00, 0x02, 0x00}, 592, 592},
        {"SetEString", [&] { setEString(handle, buffer); }, 0, 512, {0xF8, 0x00, 0x00, 0x00}, 592, 592},
        {"EraseBlock", [&] { eraseBlock(handle, 0x01020304, 0, 1); }, 0, 0, {0xF3, 0x02, 0x01, 0x02, 0x03, 0x04},
         592, 80},
        {"EraseBlock Flag01", [&] { eraseBlock(handle, 7, 5, 0); }, 0, 0, {0xF3, 0x01, 0, 0, 0, 7}, 592, 80},
        {"VSCWriteSector", [&] { vscWriteSector(handle, 0x01020304, buffer, 1, 0); }, 0, 512,
         {0xF4, 0x80, 0x01, 0x02, 0x03, 0x04}, 592, 592},
        {"VSCWriteSector spare", [&] { vscWriteSector(handle, 7, buffer, 0, 1); }, 0, 16, {0xF4, 0x40, 0, 0, 0, 7},
         592, 96},
        {"VSCReadSector", [&] { vscReadSector(handle, buffer, 0xA1B2C3D4, 0, 0); }, 1, 512,
         {0xF5, 0x00, 0xA1, 0xB2, 0xC3, 0xD4}, 44, 592},
        {"VSCReadSector spare", [&] { vscReadSector(handle, buffer, 0x01020304, 1, 1); }, 1, 16,
         {0xF5, 0xC0, 0x01, 0x02, 0x03, 0x04}, 44, 96},
        {"GetPhyBlock", [&] { getPhyBlock(handle, 0x0A0B0C0D, buffer, 4, 1, 1); }, 1, 192,
         {0xF9, 0x81, 0x0A, 0x0B, 0x0C, 0x0D}, 44, 272},
        {"GetChipVersion", [&] { getChipVersion(handle, buffer, 4); }, 1, 192, {0xC0}, 44, 272},
        {"GetMediaSize", [&] { getMediaSize(handle, buffer, 4); }, 1, 192, {0xC1}, 44, 272},
        {"PwdExist", [&] { pwdExist(handle, buffer, 4); }, 1, 192, {0xC2}, 44, 272},
        {"SenseCommand", [&] { senseCommand(handle, buffer, 4); }, 1, 192, {0xF7}, 44, 272},
        {"WriteProtect", [&] { writeProtect(handle); }, 1, 512, {0x5A, 0x00, 0x3F, 0, 0, 0, 0, 0, 0xFF}, 592, 592},
        {"InquiryCommand", [&] { inquiryCommand(handle, buffer); }, 1, 192, {0x12, 0, 0, 0, 0xC0}, 44, 272},
        {"GetCapacity", [&] { getCapacity(handle, &count); }, 1, 192, {0x25}, 44, 272},
        {"ReadSector", [&] { readSector(handle, &block, buffer, 512); }, 1, 512,
         {0x28, 0, 0, 0, 0, 0x10, 0, 0, 0x01}, 44, 592},
        {"ReadSector 256", [&] { readSector(handle, &block, buffer, 256); }, 1, 256,
         {0x28, 0, 0, 0, 0, 0x10, 0, 0, 0x00}, 44, 336},
        {"WriteSector", [&] { writeSector(handle, &block, buffer, 512); }, 0, 512,
         {0x2A, 0, 0, 0, 0, 0x10, 0, 0, 0x01}, 592, 592},
    };
    for (const Expected& e : table) {
        SCOPED_TRACE(e.what);
        World().ClearLogs();
        e.call();
        const auto& log = World().PassThroughLog();
        ASSERT_EQ(log.size(), 1u);
        const auto& h = log[0].header;
        EXPECT_EQ(h[0] | (h[1] << 8), 44);  // Length
        EXPECT_EQ(h[2], 0);                 // ScsiStatus
        EXPECT_EQ(h[3], 0);                 // PathId
        EXPECT_EQ(h[4], 1);                 // TargetId
        EXPECT_EQ(h[5], 0);                 // Lun
        EXPECT_EQ(h[6], 11);                // CdbLength
        EXPECT_EQ(h[7], 32);                // SenseInfoLength
        EXPECT_EQ(h[8], e.dataIn);
        EXPECT_EQ(h[9] | h[10] | h[11], 0);
        EXPECT_EQ(Le32(h, 12), e.transfer);  // DataTransferLength
        EXPECT_EQ(Le32(h, 16), 2u);          // TimeOutValue
        EXPECT_EQ(Le32(h, 20), 80u);         // DataBufferOffset
        EXPECT_EQ(Le32(h, 24), 48u);         // SenseInfoOffset
        Bytes cdb(h.begin() + 28, h.end());
        Bytes expectedCdb = e.cdb;
        expectedCdb.resize(16, 0);
        EXPECT_EQ(cdb, expectedCdb);
        EXPECT_EQ(log[0].inputSize, e.inputSize);
        EXPECT_EQ(log[0].outputSize, e.outputSize);
    }
}

TEST_F(DllCommands, DataOutReachesTheDeviceWithTheTransferLength) {
    BYTE sector[512];
    for (int i = 0; i < 512; ++i) sector[i] = static_cast<BYTE>(i * 7);
    ASSERT_EQ(vscWriteSector(handle, 70, sector, 0, 0), 1);
    std::uint8_t stored[512];
    std::uint8_t spare[16];
    controller().ReadPhysical(70, stored, spare);
    EXPECT_EQ(0, std::memcmp(stored, sector, 512));

    // With SpareFlag only the first 16 bytes go, into the spare area.
    BYTE spareOut[512];
    std::memset(spareOut, 0x5C, sizeof spareOut);
    for (int i = 0; i < 16; ++i) spareOut[i] = static_cast<BYTE>(0xA0 + i);
    ASSERT_EQ(vscWriteSector(handle, 70, spareOut, 0, 1), 1);
    controller().ReadPhysical(70, stored, spare);
    EXPECT_EQ(0, std::memcmp(spare, spareOut, 16));
    EXPECT_EQ(0, std::memcmp(stored, sector, 512));  // the data stays

    // EraseBlock erases the whole block: no data moves.
    ASSERT_EQ(eraseBlock(handle, 70 / 32, 0, 0), 1);
    controller().ReadPhysical(70, stored, spare);
    EXPECT_EQ(stored[0], 0xFF);
    EXPECT_EQ(stored[511], 0xFF);
}

TEST_F(DllCommands, PasswordBlockDecidesCheckPwd) {
    World().devices().clear();
    emulator::Config config = devtest::Disk(u"Locked");
    config.password = "abc";
    device = &World().AddDevice(config);
    CloseHandle(handle);
    handle = CreateFileA(device->interfacePath.c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);

    BYTE block[512] = {};
    block[0] = 3;
    std::memcpy(block + 1, "abd", 3);
    EXPECT_EQ(checkPwd(handle, block), 0);
    std::memcpy(block + 1, "abc", 3);
    EXPECT_EQ(checkPwd(handle, block), 1);

    BYTE exists[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    ASSERT_EQ(pwdExist(handle, exists, 1), 1);
    EXPECT_EQ(exists[0], 1);
    EXPECT_EQ(exists[1], 0xEE);  // one byte asked, one byte copied
}

TEST_F(DllCommands, ReadsCopyExactlyTheirLengthOnSuccess) {
    std::uint8_t content[512];
    std::uint8_t spare[16];
    for (int i = 0; i < 512; ++i) content[i] = static_cast<std::uint8_t>(255 - i);
    for (int i = 0; i < 16; ++i) spare[i] = static_cast<std::uint8_t>(0x10 + i);
    controller().WritePhysical(40, content, spare);

    BYTE buffer[600];
    std::memset(buffer, 0xAA, sizeof buffer);
    ASSERT_EQ(vscReadSector(handle, buffer, 40, 0, 0), 1);
    EXPECT_EQ(0, std::memcmp(buffer, content, 512));
    EXPECT_EQ(buffer[512], 0xAA);

    std::memset(buffer, 0xAA, sizeof buffer);
    ASSERT_EQ(vscReadSector(handle, buffer, 40, 0, 1), 1);
    EXPECT_EQ(0, std::memcmp(buffer, spare, 16));
    EXPECT_EQ(buffer[16], 0xAA);

    // The chip code reply is 192 bytes; the caller's length decides how many
    // are copied, and what the controller did not send reads as zero.
    std::memset(buffer, 0xAA, sizeof buffer);
    ASSERT_EQ(getChipVersion(handle, buffer, 512), 1);
    EXPECT_EQ(buffer[0], 0x30);
    EXPECT_EQ(buffer[200], 0);
    EXPECT_EQ(buffer[511], 0);
    EXPECT_EQ(buffer[512], 0xAA);

    std::memset(buffer, 0xAA, sizeof buffer);
    ASSERT_EQ(inquiryCommand(handle, buffer), 1);
    EXPECT_EQ(0, std::memcmp(buffer + 32, "KVOR", 4));
    EXPECT_EQ(buffer[191], 0);
    EXPECT_EQ(buffer[192], 0xAA);

    std::memset(buffer, 0xAA, sizeof buffer);
    ASSERT_EQ(getPhyBlock(handle, 0, buffer, 4, 0, 0), 1);
    EXPECT_EQ(buffer[0] | buffer[1] | buffer[2], 0);
    EXPECT_EQ(buffer[3], 1);  // logical block 0 lies in physical block 1, after the descriptor block
    EXPECT_EQ(buffer[4], 0xAA);
}

TEST_F(DllCommands, MediaSizeLengthCountsOnlyItsLowByte) {
    BYTE buffer[8];
    std::memset(buffer, 0xAA, sizeof buffer);
    EXPECT_EQ(getMediaSize(handle, buffer, 0), 1);
    EXPECT_EQ(buffer[0], 0xAA);  // length 0 copies nothing

    // A caller on 32-bit Windows pushes the whole 32-bit value 260; the
    // library reads the byte argument, 260 modulo 256 = 4.
    using WideGetMediaSize = int WINAPI(HANDLE, BYTE*, DWORD);
    auto* wide = lib.Bind<WideGetMediaSize>("GetMediaSize");
    ASSERT_EQ(wide(handle, buffer, 260), 1);
    EXPECT_EQ(buffer[0], 0);     // not LargeBlock
    EXPECT_EQ(buffer[1], 1);     // ZoneCount
    EXPECT_EQ(buffer[2], 1);     // ChipCount
    EXPECT_EQ(buffer[3], 0);
    EXPECT_EQ(buffer[4], 0xAA);  // the fifth byte is not copied
}

TEST_F(DllCommands, AFailedCommandLeavesTheCallersBufferAlone) {
    for (const auto kind : {emulator::FaultKind::CheckCondition, emulator::FaultKind::ControlCallFails}) {
        SCOPED_TRACE(kind == emulator::FaultKind::CheckCondition ? "status 2" : "control call fails");
        controller().ClearFaults();
        for (int op : {0xF5, 0xC0, 0xC1, 0xC2, 0xF7, 0xF9, 0x12, 0x28}) Fail(kind, op);

        BYTE buffer[512];
        std::memset(buffer, 0xAA, sizeof buffer);
        DWORD block = 0;
        EXPECT_EQ(vscReadSector(handle, buffer, 1, 0, 0), 0);
        EXPECT_EQ(vscReadSector(handle, buffer, 1, 0, 1), 0);
        EXPECT_EQ(getChipVersion(handle, buffer, 4), 0);
        EXPECT_EQ(getMediaSize(handle, buffer, 4), 0);
        EXPECT_EQ(pwdExist(handle, buffer, 4), 0);
        EXPECT_EQ(senseCommand(handle, buffer, 4), 0);
        EXPECT_EQ(getPhyBlock(handle, 0, buffer, 4, 0, 0), 0);
        EXPECT_EQ(inquiryCommand(handle, buffer), 0);
        EXPECT_EQ(readSector(handle, &block, buffer, 512), 0);
        for (BYTE b : buffer) ASSERT_EQ(b, 0xAA);
    }
}

// A reply the driver reports short (its DataTransferLength) fails only when
// it brought less than the caller copies: the whole sector or spare area of
// a read, the caller's length of a query. INQUIRY's reply says its own
// length; what the controller did not send reads as zero in the copy. A
// failed call leaves the buffer alone; none writes past what it copies.
TEST_F(DllCommands, AShortReplyFailsOnlyShortOfWhatTheCallerCopies) {
    DWORD block = 0;
    std::vector<devtest::ShortReplyRow> rows = {
        {"chip code in 16 bytes, 4 copied", 0xC0, 16, [&](BYTE* b) { return getChipVersion(handle, b, 4); }, 1, 4,
         {0x30, 0, 0, 0}},
        {"media size in 16 bytes, 4 copied", 0xC1, 16, [&](BYTE* b) { return getMediaSize(handle, b, 4); }, 1, 4,
         {0, 1, 1, 0}},
        {"password state in 16 bytes, 1 copied", 0xC2, 16, [&](BYTE* b) { return pwdExist(handle, b, 1); }, 1, 1,
         {0}},
        {"physical block in 16 bytes, 4 copied", 0xF9, 16,
         [&](BYTE* b) { return getPhyBlock(handle, 0, b, 4, 0, 0); }, 1, 4, {0, 0, 0, 1}},
        {"status in 16 bytes, 4 copied", 0xF7, 16, [&](BYTE* b) { return senseCommand(handle, b, 4); }, 1, 4,
         {0, 0, 0, 0}},
        {"chip code in 16 bytes, 17 copied", 0xC0, 16, [&](BYTE* b) { return getChipVersion(handle, b, 17); }, 0,
         0, {}},
        {"chip code in 191 bytes, 512 copied", 0xC0, 191, [&](BYTE* b) { return getChipVersion(handle, b, 512); },
         0, 0, {}},
        {"half a sector", 0xF5, 256, [&](BYTE* b) { return vscReadSector(handle, b, 1, 0, 0); }, 0, 0, {}},
        {"half a spare area", 0xF5, 8, [&](BYTE* b) { return vscReadSector(handle, b, 1, 0, 1); }, 0, 0, {}},
        {"half a READ(10)", 0x28, 256, [&](BYTE* b) { return readSector(handle, &block, b, 512); }, 0, 0, {}},
        // The revision at 32-35 did not come and reads as zero.
        {"INQUIRY in 18 of its 36 bytes", 0x12, 18, [&](BYTE* b) { return inquiryCommand(handle, b); }, 1, 192,
         {0x00, 0x80, 0x02, 0x02, 31}},
    };
    // Replies that end before the 4 bytes read of them fail: those of the
    // queries copying 4, INQUIRY's and MODE SENSE's (byte 3), and READ
    // CAPACITY's, whose count is made of them.
    const auto capacity = [&](BYTE* b) {
        DWORD count = 0;
        const int result = getCapacity(handle, &count);
        if (result != 0) std::memcpy(b, &count, sizeof count);
        return result;
    };
    const struct {
        const char* what;
        int opcode;
        std::function<int(BYTE*)> call;
        int failure;
    } needFour[] = {
        {"chip code", 0xC0, [&](BYTE* b) { return getChipVersion(handle, b, 4); }, 0},
        {"media size", 0xC1, [&](BYTE* b) { return getMediaSize(handle, b, 4); }, 0},
        {"password state", 0xC2, [&](BYTE* b) { return pwdExist(handle, b, 4); }, 0},
        {"physical block", 0xF9, [&](BYTE* b) { return getPhyBlock(handle, 0, b, 4, 0, 0); }, 0},
        {"status", 0xF7, [&](BYTE* b) { return senseCommand(handle, b, 4); }, 0},
        {"INQUIRY", 0x12, [&](BYTE* b) { return inquiryCommand(handle, b); }, 0},
        {"MODE SENSE", 0x5A, [&](BYTE*) { return writeProtect(handle); }, -1},
        {"capacity", 0x25, capacity, 0},
    };
    for (const auto& query : needFour) {
        for (std::uint32_t arrives = 0; arrives < 4; ++arrives) {
            rows.push_back({std::string(query.what) + " in " + std::to_string(arrives) + " bytes", query.opcode,
                            arrives, query.call, query.failure, 0, {}});
        }
    }
    for (const devtest::ShortReplyRow& row : rows) devtest::RunShortReplyRow(controller(), row);
}

TEST_F(DllCommands, StatusOneCountsAsSuccess) {
    Fail(emulator::FaultKind::StatusOne, 0xC0);
    BYTE buffer[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    EXPECT_EQ(getChipVersion(handle, buffer, 4), 1);
    EXPECT_EQ(buffer[0], 0x30);  // the reply is handed over as on status 0
    EXPECT_EQ(device->controller->trace().back().status, 1);
}

TEST_F(DllCommands, WriteCommandsReportFailures) {
    BYTE buffer[512] = {};
    DWORD block = 0;
    Fail(emulator::FaultKind::CheckCondition, -1);  // every command from now on
    EXPECT_EQ(checkPwd(handle, buffer), 0);
    EXPECT_EQ(changePwd(handle, buffer), 0);
    EXPECT_EQ(clearPwd(handle, buffer), 0);
    EXPECT_EQ(setEString(handle, buffer), 0);
    EXPECT_EQ(eraseBlock(handle, 1, 0, 0), 0);
    EXPECT_EQ(vscWriteSector(handle, 33, buffer, 0, 0), 0);
    EXPECT_EQ(writeSector(handle, &block, buffer, 512), 0);

    // A closed handle fails at the control call.
    CloseHandle(handle);
    EXPECT_EQ(checkPwd(handle, buffer), 0);
    handle = INVALID_HANDLE_VALUE;
}

TEST_F(DllCommands, WriteProtectReturnsTheBitOrMinusOne) {
    EXPECT_EQ(writeProtect(handle), 0);

    World().devices().clear();
    emulator::Config config = devtest::Disk(u"RO");
    config.writeProtected = true;
    device = &World().AddDevice(config);
    CloseHandle(handle);
    handle = CreateFileA(device->interfacePath.c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(writeProtect(handle), 1);

    Fail(emulator::FaultKind::CheckCondition, 0x5A);
    EXPECT_EQ(writeProtect(handle), -1);
    controller().ClearFaults();
    Fail(emulator::FaultKind::ControlCallFails, 0x5A);
    EXPECT_EQ(writeProtect(handle), -1);
}

TEST_F(DllCommands, GetCapacityNeedsOnlyDelivery) {
    DWORD count = 0;
    ASSERT_EQ(getCapacity(handle, &count), 1);
    EXPECT_EQ(count, 32000u);  // one zone: 1000 blocks of 32 sectors; reply 00 00 7C FF

    // Status 2 still counts as delivered, but brings no reply to count.
    Fail(emulator::FaultKind::CheckCondition, 0x25);
    count = 77;
    EXPECT_EQ(getCapacity(handle, &count), 0);
    EXPECT_EQ(count, 77u);
    controller().ClearFaults();
    Fail(emulator::FaultKind::StatusOne, 0x25);
    EXPECT_EQ(getCapacity(handle, &count), 1);
    EXPECT_EQ(count, 32000u);

    controller().ClearFaults();
    Fail(emulator::FaultKind::ControlCallFails, 0x25);
    count = 77;
    EXPECT_EQ(getCapacity(handle, &count), 0);
    EXPECT_EQ(count, 77u);
}

TEST_F(DllCommands, LengthsBeyondTheDataAreaAreRefusedBeforeSending) {
    std::vector<BYTE> buffer(2048, 0xAA);
    DWORD block = 0;
    World().ClearLogs();
    EXPECT_EQ(getChipVersion(handle, buffer.data(), 513), 0);
    EXPECT_EQ(senseCommand(handle, buffer.data(), 0x80000000u), 0);
    EXPECT_EQ(readSector(handle, &block, buffer.data(), 1024), 0);
    EXPECT_EQ(writeSector(handle, &block, buffer.data(), 513), 0);
    EXPECT_TRUE(World().PassThroughLog().empty());
    EXPECT_TRUE(controller().trace().empty());
    for (BYTE b : buffer) ASSERT_EQ(b, 0xAA);

    // 512, the whole data area, is inside the interface.
    EXPECT_EQ(senseCommand(handle, buffer.data(), 512), 1);
    EXPECT_EQ(buffer[512], 0xAA);
}

}  // namespace
