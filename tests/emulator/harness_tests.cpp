// What surrounds the firmware: fault injection, the command trace with its
// allocation-free path, and image files.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "drive.h"
#include "emulator/image.h"

namespace {
std::atomic<long> g_allocations{0};
// A larger single allocation fails: what a crafted count would make a load ask for.
std::atomic<std::size_t> g_allocationLimit{SIZE_MAX};
}

// Counts every heap allocation of the test program. GCC cannot see that the
// replaced operator delete pairs with the replaced operator new.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    ++g_allocations;
    if (size > g_allocationLimit) throw std::bad_alloc();
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
    std::vector<char> Bytes(std::size_t most = SIZE_MAX) const {
        std::ifstream in(path_, std::ios::binary);
        std::vector<char> bytes;
        for (std::istreambuf_iterator<char> it(in), end; it != end && bytes.size() < most; ++it) bytes.push_back(*it);
        return bytes;
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
std::vector<char> EarlierImage(std::uint32_t version, std::uint8_t failedChecks = 3, std::uint32_t replacements = 1) {
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
        u32(replacements);
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

// --- version 4 images made by hand (the layout at the top of image.cpp) ---

std::uint64_t Fnv(const char* bytes, std::size_t size) {
    std::uint64_t hash = 0xCBF29CE484222325ull;
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ static_cast<std::uint8_t>(bytes[i])) * 0x100000001B3ull;
    return hash;
}
void PutLe(std::vector<char>& bytes, std::size_t at, std::uint64_t value, int size) {
    if (bytes.size() < at + size) bytes.resize(at + size);
    for (int k = 0; k < size; ++k) bytes[at + k] = static_cast<char>(value >> (8 * k));
}
// Where the state records and the journal of an image of `sectors` sectors lie.
std::size_t StatesOf(const std::vector<char>& bytes) {
    std::uint32_t configLength = 0;
    for (int k = 3; k >= 0; --k) configLength = configLength << 8 | static_cast<std::uint8_t>(bytes[12 + k]);
    return (16 + configLength + 511) / 512 * 512;
}
std::size_t JournalOf(const std::vector<char>& bytes, std::size_t sectors) {
    return (StatesOf(bytes) + 1024 + sectors + 4095) / 4096 * 4096 + sectors * 528;
}
// State record 0 rewritten as a writer would write it.
void SetRecord(std::vector<char>& bytes, std::uint64_t generation, std::uint8_t failedChecks,
               std::uint64_t journalLength, std::uint64_t journalHash) {
    const std::size_t at = StatesOf(bytes);
    PutLe(bytes, at, generation, 8);
    bytes[at + 8] = static_cast<char>(failedChecks);
    PutLe(bytes, at + 11 + 254, journalLength, 8);
    PutLe(bytes, at + 11 + 254 + 8, journalHash, 8);
    PutLe(bytes, at + 504, Fnv(bytes.data() + at, 504), 8);
}
// A journal of `entries` (sector, written) after the slots, named by a
// record of generation 1 with its hash made to match.
void AddJournal(std::vector<char>& bytes, std::size_t sectors, const std::vector<std::pair<std::uint32_t, bool>>& entries,
                std::uint32_t count, std::uint8_t failedChecks = 0) {
    std::vector<char> journal;
    PutLe(journal, 0, 1, 8);
    PutLe(journal, 8, count, 4);
    for (const auto& [sector, written] : entries) {
        PutLe(journal, journal.size(), sector, 4);
        journal.push_back(written ? '\1' : '\0');
        if (written) journal.resize(journal.size() + 528, '\x5A');
    }
    bytes.resize(JournalOf(bytes, sectors));
    bytes.insert(bytes.end(), journal.begin(), journal.end());
    SetRecord(bytes, 1, failedChecks, journal.size(), Fnv(journal.data(), journal.size()));
}

// Images made to attack the loader: each is refused with a one-line reason,
// before anything beyond what its medium needs is allocated and before
// anything is written to it (sparse files, a few KB on disk).
TEST_F(Images, CraftedCountsAndStatesRefusedBeforeAnyAllocationOrWrite) {
    Controller small(MakeConfig(0x30, false, 0, 1));  // one block of 32 sectors
    ASSERT_TRUE(small.SaveImage(path_, nullptr));
    const std::vector<char> good = Bytes();
    constexpr std::size_t kSectors = 32;
    std::vector<std::pair<std::uint32_t, bool>> many;
    for (std::uint32_t k = 0; k < 40000; ++k) many.push_back({k % kSectors, false});
    struct Row {
        const char* what;
        std::function<void(std::vector<char>&)> craft;
        std::uint64_t sparseSize;  // the file's size, its end a hole
        const char* says;
    };
    const Row rows[] = {
        {"version 3, 0x10000000 replacements", [](std::vector<char>& b) { b = EarlierImage(3, 0, 0x10000000); },
         2200ull << 20, "more replacements"},
        {"configuration length 0x20000000", [](std::vector<char>& b) { PutLe(b, 12, 0x20000000, 4); }, 600ull << 20,
         "configuration length"},
        {"journal of more entries than sectors", [&](std::vector<char>& b) { AddJournal(b, kSectors, many, 40000); }, 0,
         "corrupt (journal"},
        {"journal out of order", [](std::vector<char>& b) { AddJournal(b, kSectors, {{5, false}, {3, false}}, 2); }, 0,
         "corrupt (journal)"},
        {"journal pending, state of 4 failed checks",
         [](std::vector<char>& b) { AddJournal(b, kSectors, {{20, true}}, 1, 4); }, 0, "failed password checks"},
        {"generation 2^64-1", [](std::vector<char>& b) { SetRecord(b, UINT64_MAX, 0, 0, 0); }, 0, "generation"},
    };
    for (const Row& row : rows) {
        std::vector<char> bytes = good;
        row.craft(bytes);
        Store(bytes);
        if (row.sparseSize != 0) std::filesystem::resize_file(path_, row.sparseSize);
        EXPECT_LT(Allocated(path_), 1u << 20) << row.what;
        const std::uintmax_t size = std::filesystem::file_size(path_);
        std::string error;
        g_allocationLimit = 1 << 20;
        EXPECT_EQ(nullptr, Controller::LoadImage(path_, &error)) << row.what;
        {
            emulator::StreamImageIo io(path_, std::ios::in | std::ios::out);
            std::unique_ptr<emulator::ImageDisk> disk = emulator::ImageDisk::Open(io, path_, nullptr);
            EXPECT_TRUE(disk == nullptr || !disk->Begin(io, nullptr)) << row.what;
        }
        g_allocationLimit = SIZE_MAX;
        EXPECT_NE(std::string::npos, error.find(row.says)) << row.what << ": " << error;
        EXPECT_EQ(std::string::npos, error.find('\n')) << row.what;
        EXPECT_EQ(size, std::filesystem::file_size(path_)) << row.what << ": written to";
        bytes.resize(std::min<std::size_t>(bytes.size(), 1 << 20));
        EXPECT_EQ(bytes, Bytes(bytes.size())) << row.what << ": written to";
    }
}

// A file whose `failing`-th write (a resize counts as one) is half done and
// fails: the writes after it fail too (a program killed in the middle of
// writing its image), or go on (a file system full for a moment).
class FailingIo : public emulator::StreamImageIo {
public:
    FailingIo(const std::string& path, int failing, bool recovers)
        : StreamImageIo(path, std::ios::in | std::ios::out), failing_(failing), recovers_(recovers) {}
    bool WriteAt(std::uint64_t offset, const void* data, std::size_t size) override {
        if (Fails()) {
            if (writes_ == failing_) StreamImageIo::WriteAt(offset, data, size / 2);
            return false;
        }
        return StreamImageIo::WriteAt(offset, data, size);
    }
    bool Resize(std::uint64_t size) override { return !Fails() && StreamImageIo::Resize(size); }
    bool failed() const { return writes_ >= failing_ && failing_ != 0; }
    int writes() const { return writes_; }

private:
    bool Fails() {
        ++writes_;
        return failing_ != 0 && (writes_ == failing_ || (writes_ > failing_ && !recovers_));
    }
    int failing_;
    bool recovers_;
    int writes_ = 0;
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

// One command's writes cut short at every write in turn: the image loads
// with the state after the command when End reported it stored, else with
// the state before (and no tail). A program that goes on after the failure
// still has its disk; the next user of the file finishes the write, and a
// write that was finished is never put in place again.
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
        for (bool recovers : {false, true}) {
            const std::string cut = "cut at write " + std::to_string(writes) + (recovers ? ", recovering" : "");
            Store(before);
            bool stored = false;
            {
                FailingIo io(path_, writes, recovers);
                std::unique_ptr<emulator::ImageDisk> disk = emulator::ImageDisk::Open(io, path_, nullptr);
                ASSERT_NE(nullptr, disk);
                ASSERT_TRUE(disk->Begin(io, nullptr));
                change(disk->controller());
                stored = disk->End(nullptr);
                finished = !io.failed();
                if (recovers && !stored) {
                    EXPECT_EQ(before.size(), std::filesystem::file_size(path_)) << cut;
                }
                // The program goes on: the file is still its disk.
                ASSERT_TRUE(disk->Begin(io, nullptr)) << cut;
                ASSERT_TRUE(disk->End(nullptr)) << cut;
            }
            std::string error;
            std::unique_ptr<Controller> loaded = Controller::LoadImage(path_, &error);
            ASSERT_NE(nullptr, loaded) << cut << ": " << error;
            const std::string state = Contents(*loaded);
            EXPECT_EQ(stored ? stateAfter : stateBefore, state) << cut;

            // The next program takes the file up: the state stays what it
            // was, and a finished write is not written again.
            {
                FailingIo io(path_, 0, true);
                std::unique_ptr<emulator::ImageDisk> disk = emulator::ImageDisk::Open(io, path_, nullptr);
                ASSERT_NE(nullptr, disk);
                ASSERT_TRUE(disk->Begin(io, nullptr));
                ASSERT_TRUE(disk->End(nullptr));
                if (finished) {
                    EXPECT_EQ(0, io.writes()) << cut;
                }
            }
            loaded = Controller::LoadImage(path_, &error);
            ASSERT_NE(nullptr, loaded) << error;
            EXPECT_EQ(state, Contents(*loaded)) << "taken up after a " << cut;
        }
    }
    EXPECT_TRUE(finished);
}

}  // namespace
