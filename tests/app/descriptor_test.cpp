// Rewriting the name or hint descriptor of a DescriptorSector in memory, as
// the name and password dialogs do before SetEString: what moves, what never
// moves, and sectors whose chain cannot be rewritten soundly.
#include "app_test.h"

#include <random>

#include "app/Descriptor.h"
#include "kt4790/records.h"

namespace apptest {
namespace {

using Sector = std::uint8_t[kt4790::kSectorSize];
using Bytes = std::vector<std::uint8_t>;

constexpr unsigned kName = kt4790::kNameDescriptorIndex;
constexpr unsigned kHint = kt4790::kHintDescriptorIndex;

Bytes Text(std::uint8_t type, const std::string& ascii) {
    Bytes d{static_cast<std::uint8_t>(2 + 2 * ascii.size()), type};
    for (char c : ascii) {
        d.push_back(static_cast<std::uint8_t>(c));
        d.push_back(0);
    }
    return d;
}

// Seven descriptors the system does not interpret (the first one at 32, the
// name at 66), then the given ones.
Bytes Chain(std::initializer_list<Bytes> tail) {
    Bytes chain{10, 1, 1, 2, 3, 4, 5, 6, 7, 8};
    for (int i = 0; i < 6; ++i) chain.insert(chain.end(), {4, 2, static_cast<std::uint8_t>(i), 0xEE});
    for (const Bytes& d : tail) chain.insert(chain.end(), d.begin(), d.end());
    return chain;
}

// Header and BootFlag/PartitionWord/ChipBlockTable filled with a pattern,
// the chain area with 0xA5 after the chain's zero byte, so that stale bytes
// show.
void Build(Sector& sector, const Bytes& chain, bool terminate = true) {
    for (std::size_t i = 0; i < kt4790::kSectorSize; ++i) sector[i] = static_cast<std::uint8_t>(0x30 + i * 7);
    std::memset(sector + 32, 0xA5, kt4790::kDescriptorChainEnd - 32);
    std::memcpy(sector + 32, chain.data(), chain.size());
    if (terminate) sector[32 + chain.size()] = 0;
}

// The chain as written: its bytes up to the zero byte that ends it, which
// must lie before byte 493 with only zero bytes after it up to 492.
Bytes WrittenChain(const Sector& sector) {
    kt4790::DescriptorRef end;
    EXPECT_EQ(kt4790::WalkDescriptorChainTo(sector, kt4790::kChainEndIndex, end), kt4790::ChainWalk::Ended);
    for (std::size_t i = end.offset; i < kt4790::kDescriptorChainEnd; ++i) EXPECT_EQ(sector[i], 0) << "byte " << i;
    return Bytes(sector + 32, sector + end.offset);
}

void ExpectOutsideTheChainUnchanged(const Sector& before, const Sector& after) {
    EXPECT_EQ(0, std::memcmp(before, after, 32));
    EXPECT_EQ(0, std::memcmp(before + 493, after + 493, 19));
}

bool Replace(Sector& sector, unsigned index, const std::string& text) {
    return ReplaceDescriptor(sector, index, text.data(), text.size());
}

struct SectorBlock {
    Sector bytes;
};

const Bytes kTail{6, 0x21, 1, 2, 3, 4};  // a descriptor after the hint

// --- the worked cases -----------------------------------------------------------

TEST(ReplaceDescriptor, AnEmptyTextGivesTheTwoBytesTwoThree) {
    Sector sector, before;
    Build(sector, Chain({Text(3, "NAME"), Text(3, "old hint"), kTail}));
    std::memcpy(before, sector, sizeof sector);
    ASSERT_TRUE(Replace(sector, kHint, ""));
    EXPECT_EQ(WrittenChain(sector), Chain({Text(3, "NAME"), {2, 3}, kTail}));
    ExpectOutsideTheChainUnchanged(before, sector);
}

TEST(ReplaceDescriptor, LongestHintAndNameGiveLengths66And34AndMoveWhatFollows) {
    const std::string hint(32, 'h');
    const std::string name = "ABCDEFGHIJKLMNOP";
    Sector sector, before;
    Build(sector, Chain({Text(3, "N"), Text(3, "H"), kTail}));
    std::memcpy(before, sector, sizeof sector);

    ASSERT_TRUE(Replace(sector, kHint, hint));
    ASSERT_TRUE(Replace(sector, kName, name));
    EXPECT_EQ(sector[66], 34);
    EXPECT_EQ(sector[66 + 34], 66);
    EXPECT_EQ(WrittenChain(sector), Chain({Text(3, name), Text(3, hint), kTail}));
    ExpectOutsideTheChainUnchanged(before, sector);

    // Shorter again: the later descriptors move back and no stale byte stays.
    ASSERT_TRUE(Replace(sector, kName, "x"));
    ASSERT_TRUE(Replace(sector, kHint, "y"));
    EXPECT_EQ(WrittenChain(sector), Chain({Text(3, "x"), Text(3, "y"), kTail}));
    ExpectOutsideTheChainUnchanged(before, sector);
}

TEST(ReplaceDescriptor, TheOldTypeByteIsReplacedByThree) {
    Sector sector;
    Build(sector, Chain({Text(9, "NAME"), Text(7, "H")}));
    ASSERT_TRUE(Replace(sector, kName, "NEW"));
    EXPECT_EQ(WrittenChain(sector), Chain({Text(3, "NEW"), Text(7, "H")}));
}

TEST(ReplaceDescriptor, AChainEndingRightBeforeTheTargetGetsItAppended) {
    Sector sector, before;
    // A chain that ends right after the name: the hint follows it.
    Build(sector, Chain({Text(3, "NAME")}));
    std::memcpy(before, sector, sizeof sector);
    ASSERT_TRUE(Replace(sector, kHint, ""));
    EXPECT_EQ(WrittenChain(sector), Chain({Text(3, "NAME"), {2, 3}}));
    ExpectOutsideTheChainUnchanged(before, sector);
    // Seven descriptors: the name is appended as the eighth.
    Build(sector, Chain({}));
    ASSERT_TRUE(Replace(sector, kName, "NEW"));
    EXPECT_EQ(WrittenChain(sector), Chain({Text(3, "NEW")}));
}

TEST(ReplaceDescriptor, TextIsConvertedFromTheAnsiCodePage) {
    World().SetAnsiCodePage(1252);
    Sector sector;
    Build(sector, Chain({Text(3, "N"), Text(3, "H")}));
    ASSERT_TRUE(Replace(sector, kHint, "\xE9\x80"));
    EXPECT_EQ(WrittenChain(sector), Chain({Text(3, "N"), {6, 3, 0xE9, 0x00, 0xAC, 0x20}}));
}

// --- sectors that cannot be rewritten soundly are refused untouched ---------------

void ExpectRefused(Sector& sector, unsigned index, const std::string& text) {
    Sector before;
    std::memcpy(before, sector, sizeof before);
    EXPECT_FALSE(Replace(sector, index, text));
    EXPECT_EQ(0, std::memcmp(before, sector, sizeof before));
}

TEST(ReplaceDescriptor, MalformedChainsAreRefused) {
    Sector sector;
    // A length byte of 1 before the target.
    Build(sector, {10, 1, 1, 2, 3, 4, 5, 6, 7, 8, 1, 2});
    ExpectRefused(sector, kHint, "x");
    // A descriptor before the target that runs past byte 492.
    Build(sector, Chain({{255, 3}, {255, 3}}));
    ExpectRefused(sector, kHint, "x");
    // A descriptor after the target that runs past byte 492.
    Build(sector, Chain({Text(3, "N"), Text(3, "H"), {250, 3}, {250, 3}}));
    ExpectRefused(sector, kName, "x");
    // No zero byte before 493: the chain fills bytes 32-492 and runs into the
    // BootFlag.
    Bytes full = Chain({Text(3, "N"), Text(3, "H")});
    const std::size_t rest = 461 - full.size();
    Bytes last{static_cast<std::uint8_t>(rest - 200), 4};
    last.resize(rest - 200, 0x22);
    Bytes filler{200, 4};
    filler.resize(200, 0x11);
    full.insert(full.end(), filler.begin(), filler.end());
    full.insert(full.end(), last.begin(), last.end());
    ASSERT_EQ(full.size(), 461u);
    Build(sector, full, false);
    ExpectRefused(sector, kName, "x");
}

TEST(ReplaceDescriptor, AChainTooShortToTakeTheTargetAtItsIndexIsRefused) {
    Sector sector;
    // Appended to seven descriptors, a hint would become the device name.
    Build(sector, Chain({}));
    ExpectRefused(sector, kHint, "hi");
    // Three descriptors: neither may become the fourth.
    Build(sector, {10, 1, 1, 2, 3, 4, 5, 6, 7, 8, 4, 2, 0, 0, 4, 2, 1, 1});
    ExpectRefused(sector, kHint, "hi");
    ExpectRefused(sector, kName, "hi");
}

TEST(ReplaceDescriptor, ARewriteThatWouldNotEndBefore493IsRefused) {
    // Later descriptors fill the chain area up to byte 490 (zero byte at 490).
    Bytes chain = Chain({Text(3, "N"), Text(3, "")});
    const std::size_t room = 490 - 32 - chain.size();
    Bytes filler{static_cast<std::uint8_t>(room / 2), 4};
    filler.resize(room / 2, 0x33);
    Bytes filler2{static_cast<std::uint8_t>(room - room / 2), 4};
    filler2.resize(room - room / 2, 0x44);
    chain.insert(chain.end(), filler.begin(), filler.end());
    chain.insert(chain.end(), filler2.begin(), filler2.end());
    Sector sector;
    Build(sector, chain);
    ASSERT_EQ(32 + chain.size(), 490u);

    // One more unit puts the zero byte at 492, the last byte it may take.
    ASSERT_TRUE(Replace(sector, kHint, "a"));
    EXPECT_EQ(WrittenChain(sector).size(), 492u - 32u);
    // Two more would put it on the BootFlag.
    ExpectRefused(sector, kHint, "abc");
}

TEST(ReplaceDescriptor, TextsBeyondALengthByteAreRefused) {
    Sector sector;
    Build(sector, {0});
    ExpectRefused(sector, 0, std::string(127, 'x'));  // 256 bytes
    EXPECT_TRUE(Replace(sector, 0, std::string(126, 'x')));
    EXPECT_EQ(sector[32], 254);
}

// Sectors of random bytes: every rewrite either is refused with the sector
// unchanged or leaves a chain that ends before byte 493, with the bytes
// outside the chain area as they were. Run under the address sanitizer, this
// is what shows an access outside the 512 bytes.
TEST(ReplaceDescriptor, RandomSectorsNeverLeaveTheBufferOrTheChainArea) {
    std::mt19937 random(4790);
    int rewritten = 0;
    for (int round = 0; round < 20000; ++round) {
        // A heap block of exactly 512 bytes, so that the sanitizer catches
        // the first byte beyond it.
        auto block = std::make_unique<SectorBlock>();
        Sector& sector = block->bytes;
        // Mostly small length bytes, so that chains reach the ninth
        // descriptor and beyond; some large ones and zeros.
        for (std::size_t i = 0; i < kt4790::kSectorSize; ++i) {
            const unsigned r = random() % 100;
            sector[i] = static_cast<std::uint8_t>(r < 5 ? 0 : r < 80 ? 2 + random() % 40 : random() % 256);
        }
        Sector before;
        std::memcpy(before, sector, sizeof before);
        const std::string text(random() % 40, 'q');
        if (Replace(sector, random() % 2 ? kName : kHint, text)) {
            ++rewritten;
            WrittenChain(sector);
            ExpectOutsideTheChainUnchanged(before, sector);
        } else {
            ASSERT_EQ(0, std::memcmp(before, sector, sizeof before));
        }
        if (testing::Test::HasFailure()) break;
    }
    // Enough of them were sound to be rewritten.
    EXPECT_GT(rewritten, 100);
}

TEST(ReplaceDescriptor, WalkToleratesOnlyZeroAsTheEnd) {
    Sector sector;
    Build(sector, Chain({Text(3, "NAME")}));
    kt4790::DescriptorRef ref;
    EXPECT_EQ(kt4790::WalkDescriptorChainTo(sector, kName, ref), kt4790::ChainWalk::Found);
    EXPECT_EQ(ref.offset, 66);
    EXPECT_EQ(kt4790::WalkDescriptorChainTo(sector, kHint, ref), kt4790::ChainWalk::Ended);
    EXPECT_EQ(ref.offset, 66 + 10);
    EXPECT_FALSE(kt4790::WalkDescriptorChain(sector, kHint, ref));
    sector[66 + 10] = 1;
    EXPECT_EQ(kt4790::WalkDescriptorChainTo(sector, kHint, ref), kt4790::ChainWalk::Malformed);
}

TEST(SwapBytes, TurnsThePartitionWordIntoItsValueAndBack) {
    Sector sector = {};
    sector[494] = 0x01;
    sector[495] = 0xF4;
    std::uint16_t word;
    std::memcpy(&word, sector + 494, 2);
    kt4790::SwapBytes(&word, 2);
    EXPECT_EQ(word, 500);
    kt4790::SwapBytes(&word, 2);
    EXPECT_EQ(0, std::memcmp(&word, sector + 494, 2));
}

}  // namespace
}  // namespace apptest
