// What surrounds the firmware: fault injection, the command trace with its
// allocation-free path, and image files.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "drive.h"

namespace {
std::atomic<long> g_allocations{0};
}

// Counts every heap allocation of the test program. GCC cannot see that the
// replaced operator delete pairs with the replaced operator new.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    ++g_allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

using emulator::Controller;
using emulator::Fault;
using emulator::FaultKind;
using emutest::Good;
using emutest::MakeConfig;
using emutest::Send;

namespace {

emulator::Outcome AskChip(Controller& c) {
    std::uint8_t reply[192];
    return Send(c, devcmd::GetChipVersion(), reply);
}

TEST(Faults, TriggersKindsAndRepeat) {
    Controller c(MakeConfig(0x30, false, 1, 1));
    c.InjectFault(Fault{FaultKind::ControlCallFails, 1, -1, false});
    EXPECT_TRUE(Good(AskChip(c)));
    EXPECT_FALSE(AskChip(c).delivered);  // the second command
    EXPECT_TRUE(Good(AskChip(c)));       // not repeated

    // A repeated opcode fault: the firmware executes nothing while it holds.
    c.InjectFault(Fault{FaultKind::CheckCondition, 0, devcmd::kOpChangePwd, true});
    kt4790::PasswordBlock block;
    block.SetNew("pw", 2);
    for (int i = 0; i < 2; ++i) EXPECT_TRUE(emutest::Refused(Send(c, devcmd::ChangePwd(), block.bytes)));
    EXPECT_TRUE(Good(AskChip(c)));
    EXPECT_TRUE(c.config().password.empty());
    c.ClearFaults();
    EXPECT_TRUE(Good(Send(c, devcmd::ChangePwd(), block.bytes)));

    c.InjectFault(Fault{FaultKind::Removed, 0, -1, false});
    EXPECT_FALSE(AskChip(c).delivered);
    EXPECT_TRUE(c.removed());
    EXPECT_FALSE(AskChip(c).delivered);
    c.Replug();
    EXPECT_TRUE(Good(AskChip(c)));

    // A short transfer: the command runs, the first half of its reply
    // arrives and the rest of the buffer stays as it was.
    c.InjectFault(Fault{FaultKind::ShortTransfer, 0, devcmd::kOpVscReadSector, false});
    std::uint8_t sector[512];
    std::memset(sector, 0xEE, sizeof sector);
    const emulator::Outcome shortRead = Send(c, devcmd::VscReadSector(1, 0, 0), sector);
    EXPECT_TRUE(Good(shortRead));
    EXPECT_EQ(shortRead.transferred, 256u);
    EXPECT_EQ(sector[256], 0xEE);
    EXPECT_EQ(sector[511], 0xEE);
    std::uint8_t whole[512];
    EXPECT_EQ(Send(c, devcmd::VscReadSector(1, 0, 0), whole).transferred, 512u);
    EXPECT_EQ(0, std::memcmp(sector, whole, 256));

    // Write protection from the second command on: that command already
    // runs on a protected medium.
    c.InjectFault(Fault{FaultKind::WriteProtected, 1, -1, false});
    EXPECT_TRUE(Good(Send(c, devcmd::EraseBlock(40, 0, 0), nullptr)));
    EXPECT_TRUE(emutest::Refused(Send(c, devcmd::EraseBlock(41, 0, 0), nullptr)));
    EXPECT_TRUE(emutest::Refused(Send(c, devcmd::VscWriteSector(40, 1, 0), whole)));
    EXPECT_TRUE(c.config().writeProtected);
}

TEST(Trace, RecordsEveryCallAndAllocatesNothingWhenReserved) {
    Controller c(MakeConfig(0x13, false, 1, 1));
    c.InjectFault(Fault{FaultKind::CheckCondition, 1000, -1, false});
    c.ReserveTrace(16);
    std::uint8_t buffer[1024];
    const long before = g_allocations.load();
    Send(c, devcmd::VscReadSector(0x01020304, 1, 0), buffer);
    Send(c, devcmd::VscReadSector(1, 1, 1), buffer);
    Send(c, devcmd::Read10(0, 1024), buffer, 1024);
    Send(c, devcmd::Inquiry(), buffer);
    Send(c, devcmd::ModeSense10(), buffer);
    Send(c, devcmd::GetPhyBlock(3, 0, 0), buffer);
    Send(c, devcmd::EraseBlock(9, 0, 0), nullptr);
    c.Remove();
    Send(c, devcmd::PwdExist(), buffer);
    EXPECT_EQ(before, g_allocations.load());

    ASSERT_EQ(8u, c.trace().size());
    const emulator::CommandRecord& read = c.trace()[0];
    const std::uint8_t cdb[6] = {0xF5, 0x80, 0x01, 0x02, 0x03, 0x04};
    EXPECT_EQ(0, std::memcmp(cdb, read.cdb.data(), 6));
    EXPECT_EQ(11, read.cdbLength);
    EXPECT_EQ(emulator::DataDirection::In, read.direction);
    EXPECT_EQ(512u, read.length);
    EXPECT_TRUE(read.delivered);
    EXPECT_EQ(2, read.status);  // beyond the medium
    EXPECT_FALSE(c.trace()[7].delivered);

    c.ClearTrace();
    c.SetTracing(false);
    AskChip(c);
    EXPECT_TRUE(c.trace().empty());
}

class Images : public ::testing::Test {
protected:
    void TearDown() override { std::remove(path_.c_str()); }
    std::vector<char> Bytes() const {
        std::ifstream in(path_, std::ios::binary);
        return std::vector<char>(std::istreambuf_iterator<char>(in), {});
    }
    void Store(const std::vector<char>& bytes) const {
        std::ofstream(path_, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    void ExpectRefused(const char* what) const {
        std::string error;
        EXPECT_EQ(nullptr, Controller::LoadImage(path_, &error)) << what;
        EXPECT_FALSE(error.empty()) << what;
        EXPECT_EQ(std::string::npos, error.find('\n')) << what;
    }
    std::string path_ = ::testing::TempDir() + "emulator_" +
                        ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".img";
};

TEST_F(Images, RoundTripKeepsConfigurationMediumPasswordAndLock) {
    emulator::Config config = MakeConfig(0x30, true, 3, 1);
    config.descriptorBlock = 2;
    config.unmappedBlocks = {7, 9};
    config.replacements = {{3, 127}, {130, 255}};
    config.password = "pw";
    Controller c(config);
    std::uint8_t data[512], spare[16];
    std::memset(data, 0x42, sizeof data);
    std::memset(spare, 0x24, sizeof spare);
    c.WritePhysical(300 * 256 + 5, data, spare);
    for (int i = 0; i < 3; ++i) Send(c, devcmd::CheckPwd(), kt4790::PasswordBlock{}.bytes);  // locks

    std::string error;
    ASSERT_TRUE(c.SaveImage(path_, &error)) << error;
    std::unique_ptr<Controller> loaded = Controller::LoadImage(path_, &error);
    ASSERT_NE(nullptr, loaded) << error;
    const emulator::Config& back = loaded->config();
    EXPECT_TRUE(back.chipCode == 0x30 && back.largeBlock && back.zoneCount == 3 && back.descriptorBlock == 2);
    EXPECT_TRUE(back.unmappedBlocks == config.unmappedBlocks && back.deviceName == config.deviceName);
    ASSERT_EQ(back.replacements.size(), 2u);
    EXPECT_TRUE(back.replacements[1].position == 130 && back.replacements[1].block == 255);
    std::uint8_t sector[528];
    loaded->ReadPhysical(300 * 256 + 5, sector, sector + 512);
    EXPECT_TRUE(sector[0] == 0x42 && sector[512] == 0x24);
    EXPECT_EQ(2u * 256 + 1, emutest::LocateDescriptor(*loaded));  // firmware blocks and descriptor kept
    kt4790::PasswordBlock block;
    block.SetCurrent("pw", 2);
    EXPECT_FALSE(Good(Send(*loaded, devcmd::CheckPwd(), block.bytes)));  // still locked: the lock is kept
    loaded->Replug();
    EXPECT_TRUE(Good(Send(*loaded, devcmd::CheckPwd(), block.bytes)));
}

TEST_F(Images, SparseOnDiskAndForeignFilesRefused) {
    Controller big(MakeConfig(0x13, true, 255, 1));
    ASSERT_TRUE(big.SaveImage(path_, nullptr));
    EXPECT_LT(Bytes().size(), 1000u);  // only the descriptor sector is stored

    std::remove(path_.c_str());
    ExpectRefused("missing");
    Store({'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'});
    ExpectRefused("foreign");
    ASSERT_TRUE(big.SaveImage(path_, nullptr));
    std::vector<char> bytes = Bytes();
    bytes[8] = 4;
    Store(bytes);
    ExpectRefused("version");
    bytes[8] = 3;
    bytes.push_back(0);
    Store(bytes);
    ExpectRefused("trailing byte");
}

// Version 1 files, made before the volatile state was kept, still load: a
// device as just plugged in. A count of failed checks that no device can
// reach is refused.
TEST_F(Images, FirstVersionLoadsUnlockedAndImpossibleLockRefused) {
    emulator::Config config = MakeConfig(0x30, false, 1, 1);
    config.password = "pw";
    Controller c(config);
    for (int i = 0; i < 3; ++i) Send(c, devcmd::CheckPwd(), kt4790::PasswordBlock{}.bytes);  // locks
    ASSERT_TRUE(c.SaveImage(path_, nullptr));
    std::vector<char> bytes = Bytes();
    ASSERT_EQ(3, bytes[12]);  // failed checks after magic and version

    // Version 1 has neither the volatile state nor the replacement count
    // (the four bytes before the sector count, which the sectors follow).
    std::vector<char> first = bytes;
    first[8] = 1;
    const std::size_t sectors = static_cast<unsigned char>(bytes[bytes.size() - 532 - 4]);  // one sector here
    ASSERT_EQ(sectors, 1u);
    first.erase(first.end() - 532 - 8, first.end() - 532 - 4);
    first.erase(first.begin() + 12, first.begin() + 14);
    Store(first);
    std::string error;
    std::unique_ptr<Controller> loaded = Controller::LoadImage(path_, &error);
    ASSERT_NE(nullptr, loaded) << error;
    kt4790::PasswordBlock block;
    block.SetCurrent("pw", 2);
    EXPECT_TRUE(Good(Send(*loaded, devcmd::CheckPwd(), block.bytes)));

    bytes[12] = 4;
    Store(bytes);
    ExpectRefused("four failed checks");
}

TEST_F(Images, TruncatedOrCorruptedFilesNeverCrash) {
    emulator::Config config = MakeConfig(0x30, false, 2, 1);
    config.password = "pw";
    config.unmappedBlocks = {1};
    Controller c(config);
    std::uint8_t data[512] = {1, 2, 3};
    c.WritePhysical(5000, data, nullptr);
    ASSERT_TRUE(c.SaveImage(path_, nullptr));
    const std::vector<char> good = Bytes();

    for (std::size_t size = 0; size < good.size(); ++size) {
        Store(std::vector<char>(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(size)));
        ExpectRefused("truncated");
    }
    // Every byte overwritten with values that make counts and flags absurd:
    // the load either refuses with an error or gives a working controller.
    for (std::size_t at = 0; at < good.size(); ++at) {
        for (char value : {'\xFF', '\x00', '\x80'}) {
            std::vector<char> bad = good;
            bad[at] = value;
            Store(bad);
            std::string error;
            std::unique_ptr<Controller> loaded = Controller::LoadImage(path_, &error);
            if (loaded == nullptr) {
                ASSERT_FALSE(error.empty());
                continue;
            }
            std::uint8_t reply[512];
            Send(*loaded, devcmd::VscReadSector(5000, 0, 0), reply);
        }
    }
}

}  // namespace
