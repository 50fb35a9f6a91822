// What surrounds the firmware: fault injection, the command trace with its
// allocation-free path, and image files.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "drive.h"
#include "emulator/image.h"

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
    // Half of INQUIRY's own 36 bytes; or as many bytes as the fault says.
    c.InjectFault(Fault{FaultKind::ShortTransfer, 0, devcmd::kOpInquiry, false});
    EXPECT_EQ(Send(c, devcmd::Inquiry(), whole).transferred, 18u);
    Fault sixteen{FaultKind::ShortTransfer, 0, devcmd::kOpGetChipVersion, false};
    sixteen.arrives = 16;
    c.InjectFault(sixteen);
    EXPECT_EQ(Send(c, devcmd::GetChipVersion(), whole).transferred, 16u);

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

// Bytes the file system holds for a file: holes take none.
std::uint64_t Allocated(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? static_cast<std::uint64_t>(status.st_blocks) * 512 : 0;
}

TEST_F(Images, SparseOnDiskAndForeignFilesRefused) {
    Controller big(MakeConfig(0x13, true, 255, 1));  // 4.4 GB of sector slots
    ASSERT_TRUE(big.SaveImage(path_, nullptr));
    EXPECT_LT(Allocated(path_), 64u * 1024);  // header, state, and the descriptor sector's map page and slot
    ASSERT_NE(nullptr, Controller::LoadImage(path_, nullptr));

    const std::uintmax_t size = std::filesystem::file_size(path_);
    std::filesystem::resize_file(path_, size - 1);
    ExpectRefused("one byte short");
    std::remove(path_.c_str());
    ExpectRefused("missing");
    Store({'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'});
    ExpectRefused("foreign");
    Controller small(MakeConfig(0x30, false, 1, 1));
    ASSERT_TRUE(small.SaveImage(path_, nullptr));
    std::vector<char> bytes = Bytes();
    bytes[8] = 5;
    Store(bytes);
    ExpectRefused("version");
}

// An image as versions 1 to 3 wrote it (nothing writes them any more): chip
// 0x30, one zone, password "pw" locked by three failed checks, from version
// 3 one replaced block, and sector 5000.
std::vector<char> EarlierImage(std::uint32_t version, std::uint8_t failedChecks = 3) {
    std::vector<char> b;
    const auto u8 = [&](unsigned v) { b.push_back(static_cast<char>(v)); };
    const auto u32 = [&](std::uint32_t v) {
        for (int k = 0; k < 4; ++k) u8((v >> (8 * k)) & 0xFF);
    };
    for (char c : std::string("KT4790EM")) b.push_back(c);
    u32(version);
    if (version >= 2) {
        u8(failedChecks);
        u8(0);
    }
    for (unsigned v : {0x30u, 0u, 1u, 1u, unsigned{'K'}, unsigned{'V'}, unsigned{'O'}, unsigned{'R'}, 2u, 0u}) u8(v);
    u32(0);  // descriptor block
    for (unsigned v : {2u, unsigned{'p'}, unsigned{'w'}, 2u, 0u, unsigned{'A'}, 0u, unsigned{'B'}, 0u, 0u, 0u}) u8(v);
    u32(0);  // unmapped blocks
    if (version >= 3) {
        u32(1);
        u32(5);
        u32(1000);
    }
    u32(1);
    u32(5000);
    for (int k = 0; k < 512; ++k) u8(0x42);
    for (int k = 0; k < 16; ++k) u8(0x24);
    return b;
}

// The earlier versions load (version 1 as a device just plugged in), and a
// count of failed checks that no device reaches is refused.
TEST_F(Images, EarlierVersionsLoadAndImpossibleLockRefused) {
    kt4790::PasswordBlock block;
    block.SetCurrent("pw", 2);
    for (std::uint32_t version : {1u, 2u, 3u}) {
        Store(EarlierImage(version));
        std::string error;
        std::unique_ptr<Controller> loaded = Controller::LoadImage(path_, &error);
        ASSERT_NE(nullptr, loaded) << version << ": " << error;
        EXPECT_EQ(u"AB", loaded->config().deviceName) << version;
        EXPECT_EQ(version >= 3 ? 1u : 0u, loaded->config().replacements.size()) << version;
        std::uint8_t data[512], spare[16];
        loaded->ReadPhysical(5000, data, spare);
        EXPECT_TRUE(data[511] == 0x42 && spare[15] == 0x24) << version;
        EXPECT_EQ(version == 1, Good(Send(*loaded, devcmd::CheckPwd(), block.bytes))) << version;  // the lock kept
        // Saved again, in the current version, it is the same disk.
        ASSERT_TRUE(loaded->SaveImage(path_, &error)) << error;
        std::unique_ptr<Controller> again = Controller::LoadImage(path_, &error);
        ASSERT_NE(nullptr, again) << error;
        EXPECT_EQ(loaded->WrittenSectors(), again->WrittenSectors());
        EXPECT_EQ(loaded->volatileState(), again->volatileState());
    }
    Store(EarlierImage(3, 4));
    ExpectRefused("four failed checks");
    std::vector<char> trailing = EarlierImage(3);
    trailing.push_back(0);
    Store(trailing);
    ExpectRefused("trailing byte");
}

TEST_F(Images, TruncatedOrCorruptedFilesNeverCrash) {
    // Zone count 0: the system block alone, so that the file is small.
    emulator::Config config = MakeConfig(0x30, false, 0, 1);
    config.password = "pw";
    config.unmappedBlocks = {1};
    config.replacements = {{3, 7}};
    Controller c(config);
    std::uint8_t data[512] = {1, 2, 3};
    c.WritePhysical(20, data, nullptr);
    ASSERT_TRUE(c.SaveImage(path_, nullptr));
    const std::vector<char> good = Bytes();
    ASSERT_LT(good.size(), 32u * 1024);
    const std::size_t head = 1600;  // header, configuration, state records and the map

    for (std::size_t size = 0; size < good.size(); size += size < head ? 1 : 97) {
        Store(std::vector<char>(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(size)));
        ExpectRefused("truncated");
    }
    // Every byte of the head overwritten with values that make counts and
    // flags absurd: the load either refuses with an error or gives a
    // working controller.
    for (std::size_t at = 0; at < head; ++at) {
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
            Send(*loaded, devcmd::VscReadSector(20, 0, 0), reply);
        }
    }
}

// A file whose writes stop for good after `writes` of them, the last one
// half done: a program killed in the middle of writing its image.
class DyingIo : public emulator::StreamImageIo {
public:
    DyingIo(const std::string& path, int writes)
        : StreamImageIo(path, std::ios::in | std::ios::out), writesLeft_(writes) {}
    bool WriteAt(std::uint64_t offset, const void* data, std::size_t size) override {
        if (writesLeft_ == 0 || --writesLeft_ == 0) {
            if (!died_) StreamImageIo::WriteAt(offset, data, size / 2);
            died_ = true;
            return false;
        }
        return StreamImageIo::WriteAt(offset, data, size);
    }
    bool Resize(std::uint64_t size) override {
        if (writesLeft_ == 0) died_ = true;
        if (died_) return false;
        --writesLeft_;
        return StreamImageIo::Resize(size);
    }
    bool died() const { return died_; }

private:
    int writesLeft_;
    bool died_ = false;
};

// Everything a loaded image holds that a command can change.
std::string Contents(Controller& c) {
    std::string out;
    for (std::uint32_t sector : c.WrittenSectors()) {
        std::uint8_t bytes[528];
        c.ReadPhysical(sector, bytes, bytes + 512);
        out += std::to_string(sector) + ":" + std::string(reinterpret_cast<char*>(bytes), sizeof bytes);
    }
    kt4790::PasswordBlock block;
    block.SetCurrent("new", 3);
    out += Good(Send(c, devcmd::CheckPwd(), block.bytes)) ? "new" : "pw";
    return out;
}

// One command's writes cut short after every write in turn: the image loads
// with the state before or after the command, and the next user of the
// file finishes or forgets the write for good.
TEST_F(Images, WriteCutShortLeavesTheStateBeforeOrAfter) {
    emulator::Config config = MakeConfig(0x30, false, 1, 1);
    config.password = "pw";
    Controller original(config);
    std::uint8_t data[512];
    std::memset(data, 0x33, sizeof data);
    for (std::uint32_t sector = 64; sector < 96; ++sector) original.WritePhysical(sector, data, nullptr);
    ASSERT_TRUE(original.SaveImage(path_, nullptr));
    const std::vector<char> before = Bytes();

    // The command's changes: a sector written, a block erased and one of its
    // sectors written again, the password changed, a failed read's status.
    const auto change = [](Controller& c) {
        std::uint8_t sector[512];
        std::memset(sector, 0x11, sizeof sector);
        EXPECT_TRUE(Good(Send(c, devcmd::VscWriteSector(5000, 0, 0), sector)));
        EXPECT_TRUE(Good(Send(c, devcmd::EraseBlock(2, 0, 0), nullptr, 0)));
        EXPECT_TRUE(Good(Send(c, devcmd::VscWriteSector(70, 0, 0), sector)));
        kt4790::PasswordBlock block;
        block.SetCurrent("pw", 2);
        block.SetNew("new", 3);
        EXPECT_TRUE(Good(Send(c, devcmd::ChangePwd(), block.bytes)));
    };
    std::unique_ptr<Controller> expected = Controller::LoadImage(path_, nullptr);
    const std::string stateBefore = Contents(*expected);
    expected = Controller::LoadImage(path_, nullptr);
    change(*expected);
    const std::string stateAfter = Contents(*expected);
    ASSERT_NE(stateBefore, stateAfter);

    bool finished = false;
    for (int writes = 1; !finished && writes < 100; ++writes) {
        Store(before);
        {
            DyingIo io(path_, writes);
            std::unique_ptr<emulator::ImageDisk> disk = emulator::ImageDisk::Open(io, path_, nullptr);
            ASSERT_NE(nullptr, disk);
            ASSERT_TRUE(disk->Begin(io, nullptr));
            change(disk->controller());
            finished = disk->End(nullptr);
            EXPECT_EQ(finished, !io.died()) << writes;
        }
        std::string error;
        std::unique_ptr<Controller> loaded = Controller::LoadImage(path_, &error);
        ASSERT_NE(nullptr, loaded) << writes << ": " << error;
        const std::string state = Contents(*loaded);
        EXPECT_TRUE(state == stateBefore || state == stateAfter) << "cut after " << writes << " writes";
        if (finished) {
            EXPECT_EQ(stateAfter, state);
        }

        // The next program takes the file up: the state stays what it was.
        {
            emulator::StreamImageIo io(path_, std::ios::in | std::ios::out);
            std::unique_ptr<emulator::ImageDisk> disk = emulator::ImageDisk::Open(io, path_, nullptr);
            ASSERT_NE(nullptr, disk);
            ASSERT_TRUE(disk->Begin(io, nullptr));
            ASSERT_TRUE(disk->End(nullptr));
        }
        loaded = Controller::LoadImage(path_, &error);
        ASSERT_NE(nullptr, loaded) << error;
        EXPECT_EQ(state, Contents(*loaded)) << "taken up after a cut after " << writes << " writes";
    }
    EXPECT_TRUE(finished);
}

}  // namespace
