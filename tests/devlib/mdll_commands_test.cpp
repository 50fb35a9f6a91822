// KT4790mDLL's commands through winsim's ASPI layer and the emulator: the
// request block of every command and the outcome of its completion.
#include <functional>

#include "devlib/devcmd.h"
#include "tests/devlib/devlib_test.h"

namespace {

using devtest::Bytes;
using devtest::World;

class MdllCommands : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(lib.loaded());
        device = &World().AddDevice(devtest::Disk(u"My Disk 1"));
        device->hostAdapter = 1;
        device->target = 5;
    }

    emulator::Controller& controller() { return *device->controller; }
    void Fail(emulator::FaultKind kind, int opcode) {
        emulator::Fault fault;
        fault.kind = kind;
        fault.opcode = opcode;
        fault.repeat = true;
        controller().InjectFault(fault);
    }

    devtest::Library lib{"KT4790mDLL"};
    winsim::EmulatedDevice* device = nullptr;
    const BYTE ha = 1;
    const BYTE target = 5;

    decltype(::CheckPwd)* checkPwd = DEVLIB_BIND(lib, CheckPwd);
    decltype(::ChangePwd)* changePwd = DEVLIB_BIND(lib, ChangePwd);
    decltype(::SetEString)* setEString = DEVLIB_BIND(lib, SetEString);
    decltype(::EraseBlock)* eraseBlock = DEVLIB_BIND(lib, EraseBlock);
    decltype(::VSCWriteSector)* vscWriteSector = DEVLIB_BIND(lib, VSCWriteSector);
    decltype(::VSCReadSector)* vscReadSector = DEVLIB_BIND(lib, VSCReadSector);
    decltype(::GetPhyBlock)* getPhyBlock = DEVLIB_BIND(lib, GetPhyBlock);
    decltype(::GetChipVersion)* getChipVersion = DEVLIB_BIND(lib, GetChipVersion);
    decltype(::GetMediaSize)* getMediaSize = DEVLIB_BIND(lib, GetMediaSize);
    decltype(::PwdExist)* pwdExist = DEVLIB_BIND(lib, PwdExist);
    decltype(::WriteProtect)* writeProtect = DEVLIB_BIND(lib, WriteProtect);
};

struct Expected {
    const char* what;
    std::function<void()> call;
    std::uint8_t flags;
    std::uint32_t bufLen;
    std::uint8_t cdbLen;
    Bytes cdb;
};

TEST_F(MdllCommands, EveryCommandSendsOneExactRequestBlock) {
    BYTE buffer[512] = {};
    const std::vector<Expected> table = {
        {"CheckPwd", [&] { checkPwd(ha, target, buffer); }, 0x11, 512, 6, {0xF0, 0x00, 0x20, 0x00}},
        {"ChangePwd", [&] { changePwd(ha, target, buffer); }, 0x11, 512, 6, {0xF1, 0x00, 0x20, 0x00}},
        {"SetEString", [&] { setEString(ha, target, buffer); }, 0x11, 512, 6, {0xF8, 0x00, 0x00, 0x00}},
        {"EraseBlock", [&] { eraseBlock(ha, target, 0x01020304, 0, 1); }, 0x11, 0, 6,
         {0xF3, 0x02, 0x01, 0x02, 0x03, 0x04}},
        {"VSCWriteSector", [&] { vscWriteSector(ha, target, 0x01020304, buffer, 1, 0); }, 0x11, 512, 6,
         {0xF4, 0x80, 0x01, 0x02, 0x03, 0x04}},
        // Only the low byte of Flag80 and SpareFlag counts: 0x100 is clear.
        {"VSCWriteSector spare", [&] { vscWriteSector(ha, target, 9, buffer, 0x100, 0x201); }, 0x11, 16, 6,
         {0xF4, 0x40, 0, 0, 0, 9}},
        {"VSCReadSector", [&] { vscReadSector(ha, target, buffer, 0xA1B2C3D4, 0x200, 0); }, 0x09, 512, 6,
         {0xF5, 0x00, 0xA1, 0xB2, 0xC3, 0xD4}},
        {"VSCReadSector spare", [&] { vscReadSector(ha, target, buffer, 0x01020304, 1, 1); }, 0x09, 16, 6,
         {0xF5, 0xC0, 0x01, 0x02, 0x03, 0x04}},
        {"GetPhyBlock", [&] { getPhyBlock(ha, target, 0x0A0B0C0D, buffer, 1, 1); }, 0x09, 512, 6,
         {0xF9, 0x81, 0x0A, 0x0B, 0x0C, 0x0D}},
        {"GetChipVersion", [&] { getChipVersion(ha, target, buffer); }, 0x09, 512, 6, {0xC0}},
        {"GetMediaSize", [&] { getMediaSize(ha, target, buffer); }, 0x09, 512, 6, {0xC1}},
        {"PwdExist", [&] { pwdExist(ha, target, buffer); }, 0x09, 512, 6, {0xC2}},
        {"WriteProtect", [&] { writeProtect(ha, target); }, 0x09, 512, 11, {0x5A, 0x00, 0x3F, 0, 0, 0, 0, 0, 0xFF}},
    };
    for (const Expected& e : table) {
        SCOPED_TRACE(e.what);
        World().ClearLogs();
        e.call();
        const auto& log = World().AspiLog();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].cmd, 2);
        EXPECT_EQ(log[0].haId, ha);
        EXPECT_EQ(log[0].target, target);
        EXPECT_EQ(log[0].lun, 0);
        EXPECT_EQ(log[0].flags, e.flags);
        EXPECT_EQ(log[0].bufLen, e.bufLen);
        EXPECT_TRUE(log[0].bufferNonNull);  // EraseBlock too
        EXPECT_EQ(log[0].senseLen, 14);
        EXPECT_EQ(log[0].cdbLen, e.cdbLen);
        Bytes cdb(log[0].cdb.begin(), log[0].cdb.end());
        Bytes expectedCdb = e.cdb;
        expectedCdb.resize(16, 0);
        EXPECT_EQ(cdb, expectedCdb);
    }
}

TEST_F(MdllCommands, RepliesFillExactlyTheirLength) {
    std::uint8_t content[512];
    std::uint8_t spare[16];
    for (int i = 0; i < 512; ++i) content[i] = static_cast<std::uint8_t>(i * 3);
    for (int i = 0; i < 16; ++i) spare[i] = static_cast<std::uint8_t>(0xC0 + i);
    controller().WritePhysical(64, content, spare);

    BYTE buffer[520];
    std::memset(buffer, 0xAA, sizeof buffer);
    ASSERT_EQ(vscReadSector(ha, target, buffer, 64, 0, 0), 1);
    EXPECT_EQ(0, std::memcmp(buffer, content, 512));
    EXPECT_EQ(buffer[512], 0xAA);

    std::memset(buffer, 0xAA, sizeof buffer);
    ASSERT_EQ(vscReadSector(ha, target, buffer, 64, 0, 1), 1);
    EXPECT_EQ(0, std::memcmp(buffer, spare, 16));
    EXPECT_EQ(buffer[16], 0xAA);

    ASSERT_EQ(getChipVersion(ha, target, buffer), 1);
    EXPECT_EQ(buffer[0], 0x30);
    ASSERT_EQ(getMediaSize(ha, target, buffer), 1);
    EXPECT_EQ(buffer[1], 1);  // ZoneCount
}

TEST_F(MdllCommands, WritesReachTheDevice) {
    BYTE sector[512];
    for (int i = 0; i < 512; ++i) sector[i] = static_cast<BYTE>(i + 1);
    ASSERT_EQ(vscWriteSector(ha, target, 100, sector, 0, 0), 1);
    std::uint8_t stored[512];
    controller().ReadPhysical(100, stored, nullptr);
    EXPECT_EQ(0, std::memcmp(stored, sector, 512));

    ASSERT_EQ(eraseBlock(ha, target, 100 / 32, 0, 0), 1);
    controller().ReadPhysical(100, stored, nullptr);
    EXPECT_EQ(stored[0], 0xFF);
}

TEST_F(MdllCommands, CompletionStatusDecidesTheResult) {
    // The emulator's good status completes with SRB status 1 (SS_COMP);
    // status 2 completes with SRB status 4 (SS_ERR).
    BYTE block[512] = {};
    EXPECT_EQ(checkPwd(ha, target, block), 1);
    Fail(emulator::FaultKind::CheckCondition, -1);
    BYTE buffer[512];
    std::memset(buffer, 0xAA, sizeof buffer);
    EXPECT_EQ(checkPwd(ha, target, block), 0);
    EXPECT_EQ(changePwd(ha, target, block), 0);
    EXPECT_EQ(setEString(ha, target, block), 0);
    EXPECT_EQ(eraseBlock(ha, target, 1, 0, 0), 0);
    EXPECT_EQ(vscWriteSector(ha, target, 33, buffer, 0, 0), 0);
    EXPECT_EQ(vscReadSector(ha, target, buffer, 33, 0, 0), 0);
    EXPECT_EQ(getPhyBlock(ha, target, 0, buffer, 0, 0), 0);
    EXPECT_EQ(getChipVersion(ha, target, buffer), 0);
    EXPECT_EQ(getMediaSize(ha, target, buffer), 0);
    EXPECT_EQ(pwdExist(ha, target, buffer), 0);
    for (BYTE b : buffer) ASSERT_EQ(b, 0xAA);  // failed replies do not reach the caller

    // A target without a device fails too.
    controller().ClearFaults();
    EXPECT_EQ(pwdExist(ha, 6, buffer), 0);
    EXPECT_EQ(pwdExist(ha, target, buffer), 1);
}

// A reply that ends early completes as an underrun of the host adapter,
// which does not say how much came. A sector or spare-area read and every
// vendor query then fail, the buffer untouched: the bytes that never came
// would read as zero, a block number of 0 for GetPhyBlock.
TEST_F(MdllCommands, AnUnderrunFailsAReadAndAQuery) {
    std::vector<devtest::ShortReplyRow> rows = {
        {"half a sector", 0xF5, 256, [&](BYTE* b) { return vscReadSector(ha, target, b, 1, 0, 0); }, 0, 0, {}},
        {"half a spare area", 0xF5, 8, [&](BYTE* b) { return vscReadSector(ha, target, b, 1, 0, 1); }, 0, 0, {}},
    };
    const struct {
        const char* what;
        int opcode;
        std::function<int(BYTE*)> call;
    } queries[] = {
        {"chip code", 0xC0, [&](BYTE* b) { return getChipVersion(ha, target, b); }},
        {"media size", 0xC1, [&](BYTE* b) { return getMediaSize(ha, target, b); }},
        {"password state", 0xC2, [&](BYTE* b) { return pwdExist(ha, target, b); }},
        {"physical block", 0xF9, [&](BYTE* b) { return getPhyBlock(ha, target, 0, b, 0, 0); }},
    };
    for (const auto& query : queries) {
        for (const std::uint32_t arrives : {0u, 1u, 2u, 3u, 16u}) {
            rows.push_back({std::string(query.what) + " in " + std::to_string(arrives) + " bytes", query.opcode,
                            arrives, query.call, 0, 0, {}});
        }
    }
    for (const devtest::ShortReplyRow& row : rows) devtest::RunShortReplyRow(controller(), row);
}

TEST_F(MdllCommands, StatusOneTakesEffectAndCountsAsSuccess) {
    // The ASPI manager completes a command whose target status is 1 with
    // SS_ERR; the command ran, and counts as it does in KT4790DLL.
    Fail(emulator::FaultKind::StatusOne, 0xF1);
    Fail(emulator::FaultKind::StatusOne, 0xC0);
    BYTE block[512] = {};
    block[256] = 3;
    std::memcpy(block + 257, "new", 3);
    EXPECT_EQ(changePwd(ha, target, block), 1);
    EXPECT_EQ(controller().trace().back().status, 1);
    BYTE check[512] = {};
    check[0] = 3;
    std::memcpy(check + 1, "new", 3);
    EXPECT_EQ(checkPwd(ha, target, check), 1);  // the new password holds

    BYTE buffer[512] = {};
    EXPECT_EQ(getChipVersion(ha, target, buffer), 1);
    EXPECT_EQ(controller().trace().back().status, 1);
    EXPECT_EQ(buffer[0], 0x30);  // the reply is handed over as on status 0
}

TEST_F(MdllCommands, WriteProtectReturnsTheBitOrMinusOne) {
    EXPECT_EQ(writeProtect(ha, target), 0);
    World().devices().clear();
    emulator::Config config = devtest::Disk(u"RO");
    config.writeProtected = true;
    device = &World().AddDevice(config);
    device->hostAdapter = ha;
    device->target = target;
    EXPECT_EQ(writeProtect(ha, target), 1);
    Fail(emulator::FaultKind::CheckCondition, 0x5A);
    EXPECT_EQ(writeProtect(ha, target), -1);
    EXPECT_EQ(writeProtect(ha, 7), -1);
}

}  // namespace
