// A device that falters in the middle of an erasing dialog. For each flow
// (single-disk format, partition, the three runs of the two-area format) on
// each medium, the disk holding a password, a hint and data in both areas,
// a fault is injected at every command index of the dialog's opening and of
// its Start up to the erase of the data blocks (on chip 0x13 that covers the
// save, erase and write-back of block 0), and at a sample of the rest, with
// every fault the emulated stack offers (in a sanitized build, one fault a
// command, the kinds in turn). Whatever the program then shows:
// - it shows success only over areas that fsck.fat -n accepts;
// - the area the run does not format holds what it held, byte for byte;
// - the DescriptorSector (name, hint, header and USB strings), the split and
//   the password are kept.
// A device that goes away or becomes write-protected between the erase of
// block 0 and the write of its sector 1 loses that sector whatever the
// program does: those runs are counted apart and not held to the last point.
// In the rows marked "twice" each fault takes two commands running, as a
// device that falters for a moment: a write of block 0 sent again at once
// would meet it again.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <map>
#include <set>
#include <string>

#include "app/Fchkpwd.h"
#include "app/Jutility.h"
#include "app/Pchkpwd.h"
#include "devlib/cdb.h"
#include "erase_dialogs.h"
#include "format/Dformat.h"
#include "format/Partition.h"
#include "format/Sformat.h"
#include "tests/support/fatcheck.h"

namespace apptest {
namespace {

using vcl::headless::userCheck;
using vcl::headless::userClick;
using vcl::headless::userType;

constexpr const char* kPassword = "pw";
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
constexpr std::uint32_t kSectorBytes = 512;

enum class Flow { Format, Partition, Security, Standard, Both };

const char* Name(Flow flow) {
    switch (flow) {
        case Flow::Format: return "format";
        case Flow::Partition: return "partition";
        case Flow::Security: return "security";
        case Flow::Standard: return "standard";
        case Flow::Both: return "both";
    }
    return "";
}

// One kind of fault of the table: a fault of the emulated stack and, for a
// short transfer, whether only 1 to 3 bytes come (fewer than any caller
// copies of a reply) instead of half of it.
struct FaultChoice {
    emulator::FaultKind kind;
    const char* name;
    bool fewBytes = false;
};

const FaultChoice kKinds[] = {
    {emulator::FaultKind::CheckCondition, "check condition"},
    {emulator::FaultKind::ControlCallFails, "control call fails"},
    {emulator::FaultKind::Removed, "removed"},
    {emulator::FaultKind::StatusOne, "status 1"},
    {emulator::FaultKind::ShortTransfer, "short transfer"},
    {emulator::FaultKind::ShortTransfer, "1-3 bytes", true},
    {emulator::FaultKind::WriteProtected, "write-protected"},
};

struct MediumKind {
    const char* name;
    std::uint8_t chipCode;
    bool large;
    std::uint8_t zones;
    std::uint8_t chips;
    std::uint32_t replaced[2];  // data positions taken out of use
    unsigned megabytes;         // the medium's whole megabytes
};

const MediumKind kMedia[] = {
    {"chip30-1zone", 0x30, false, 1, 1, {40, 700}, 15},
    {"chip30-2chips", 0x30, false, 2, 2, {40, 1024 + 40}, 31},
    {"chip13-2chips", 0x13, false, 2, 2, {3, 1024 + 3}, 31},
    {"chip13-window", 0x13, true, 16, 1, {3, 1500}, 250},
};

struct Row {
    MediumKind medium;
    Flow flow;
    bool twice = false;  // each fault takes two commands running
};

std::uint32_t PartitionWordOf(const std::vector<std::uint8_t>& descriptor) {
    return kt4790::ReadBigEndian16(descriptor.data() + kt4790::kPartitionWordOffset);
}

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.medium.name << "/" << Name(row.flow) << (row.twice ? "/twice" : "");
}

// The security size the partition before the run types: a small standard
// area when the security area is formatted, a small security area when the
// standard one is, so that the area kept is quick to compare.
std::string SecuritySize(const Row& row) {
    if (row.flow == Flow::Security) return std::to_string(row.medium.megabytes - 3);
    if (row.flow == Flow::Standard) return "2";
    return "5";
}

class FalteringDevice : public EraseDialogTest, public testing::WithParamInterface<Row> {
protected:
    void SetUp() override {
        EraseDialogTest::SetUp();
        char pattern[] = "/tmp/kt4790-falter-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
        EraseDialogTest::TearDown();
    }

    emulator::Config MediumConfig() const {
        const MediumKind& m = GetParam().medium;
        emulator::Config config = Medium(m.chipCode, m.large, m.zones, m.chips);
        config.deviceName = u"FALTER DISK";
        config.hint = u"the usual one";
        config.password = kPassword;
        for (const std::uint32_t position : m.replaced) {
            std::string problem;
            EXPECT_TRUE(emulator::AddReplacement(config, position, &problem)) << problem;
        }
        return config;
    }

    std::uint32_t SectorsPerBlock() const { return disk_->sectorsPerBlock(); }
    std::uint32_t PartitionWordNow() const { return PartitionWordOf(Descriptor()); }

    // Host sectors [first, first + count) as READ(10) gives them.
    std::vector<std::uint8_t> ReadArea(std::uint32_t first, std::uint32_t count) {
        std::vector<std::uint8_t> data(std::size_t{count} * kSectorBytes);
        for (std::uint32_t k = 0; k < count; ++k) {
            if (!fatcheck::ReadHost(*disk_, first + k, &data[std::size_t{k} * kSectorBytes])) data.clear();
            if (data.empty()) break;
        }
        return data;
    }
    void WritePattern(std::uint32_t sector) {
        std::vector<std::uint8_t> data(kSectorBytes);
        for (std::uint32_t i = 0; i < kSectorBytes; ++i) data[i] = static_cast<std::uint8_t>(sector * 7 + i);
        const devcmd::Command write = devcmd::Write10(sector, kSectorBytes);
        const emulator::Outcome outcome =
            disk_->Execute(write.cdb.bytes, write.cdbLength, emulator::DataDirection::Out, data.data(), kSectorBytes);
        ASSERT_TRUE(outcome.delivered && outcome.status == 0) << sector;
    }

    // The disk the runs start from, saved as an image: a new medium for the
    // single-disk format and the partition, a split one with data in both
    // areas for the two-area runs.
    void MakeTemplate() {
        Start(MediumConfig());
        const Flow flow = GetParam().flow;
        if (flow != Flow::Format && flow != Flow::Partition) {
            ASSERT_TRUE(Drive(Flow::Partition, SecuritySize(GetParam()))) << "the split before the runs";
            const std::uint32_t spb = SectorsPerBlock();
            const std::uint32_t sd = PartitionWordNow() * spb;
            const std::uint32_t end = disk_->logicalBlocks() * spb;
            for (const std::uint32_t s : {sd - 1, sd / 2 + 5, end - 1, (sd + end) / 2}) WritePattern(s);
        }
        disk_->ClearTrace();
        std::string error;
        templateFile_ = dir_ + "/template.img";
        ASSERT_TRUE(disk_->SaveImage(templateFile_, &error)) << error;
    }

    void StartFromTemplate() {
        std::string error;
        std::shared_ptr<emulator::Controller> disk = emulator::Controller::LoadImage(templateFile_, &error);
        ASSERT_TRUE(disk) << error;
        Launch(disk);
    }

    // The user's way through the flow from the utility window: the button,
    // the gate's password, then whatever dialog opened, filled in and
    // started; every question answered OK. True when a success box showed.
    bool Drive(Flow flow, const std::string& securitySize = "5") {
        startIndex_ = SIZE_MAX;
        userClick(flow == Flow::Partition ? JUtilityForm->btnPartition : JUtilityForm->btnFormat);
        for (auto [gate, edit, ok] : {std::make_tuple(static_cast<vcl::TForm*>(JFormatChkPwdForm),
                                                      JFormatChkPwdForm->edtPasswd, JFormatChkPwdForm->btnOK),
                                      std::make_tuple(static_cast<vcl::TForm*>(JPartitionChkPwdForm),
                                                      JPartitionChkPwdForm->edtPasswd, JPartitionChkPwdForm->btnOK)}) {
            if (gate->Visible() && userType(edit, kPassword)) userClick(ok);
        }
        if (JSFormatForm->Visible()) {
            userCheck(JSFormatForm->rbtnHDDBoot);
            userType(JSFormatForm->edtVolume, "FALTER");
            Press(JSFormatForm->btnStart);
        } else if (PartitionForm->Visible()) {
            userCheck(PartitionForm->rbtnZipBoot);
            userType(PartitionForm->edtSEQ, securitySize);
            Press(PartitionForm->btnStartParti);
        } else if (JDFormatForm->Visible()) {
            userCheck(flow == Flow::Security   ? JDFormatForm->rbtnMainStorage
                      : flow == Flow::Standard ? JDFormatForm->rbtnAcceStorage
                                               : JDFormatForm->rbtnBoth);
            if (flow != Flow::Security) userCheck(JDFormatForm->rbtnHDDBoot);
            if (flow != Flow::Standard) userType(JDFormatForm->edtMainVolume, "SECURE");
            if (flow != Flow::Security) userType(JDFormatForm->edtAcceVolume, "OPEN");
            Press(JDFormatForm->btnStart);
        }
        for (const Box& box : Boxes()) {
            if (box.caption == "OK" && (box.text.rfind("Format was successful", 0) == 0 ||
                                        box.text.rfind("Partition was successful", 0) == 0)) {
                return true;
            }
        }
        return false;
    }
    void Press(vcl::TButton* start) {
        startIndex_ = disk_->trace().size();
        userClick(start);
    }

    std::string dir_;
    std::string templateFile_;
    std::size_t startIndex_ = SIZE_MAX;
};

// What a fault-free run sends, and where its phases lie.
struct Reference {
    std::vector<emulator::CommandRecord> trace;
    std::size_t denseEnd = 0;            // every index before it is tried
    std::size_t lossFrom = SIZE_MAX;     // (lossFrom, lossTo]: block 0 erased, sector 1 not yet sent
    std::size_t lossTo = SIZE_MAX;
    std::uint32_t partitionWord = 0;     // the split after it
};

std::vector<std::size_t> FaultIndices(const Reference& reference) {
    std::vector<std::size_t> indices;
    for (std::size_t k = 0; k < reference.denseEnd; ++k) indices.push_back(k);
    const std::size_t rest = reference.trace.size() - reference.denseEnd;
    constexpr std::size_t kSample = 24;
    for (std::size_t i = 0; i < kSample && rest != 0; ++i) indices.push_back(reference.denseEnd + i * rest / kSample);
    if (rest > kSample) indices.push_back(reference.trace.size() - 1);
    return indices;
}

// A short transfer only concerns a command that reads; 1 to 3 bytes only
// one whose reply is not a sector, which half of it already fails.
bool Applies(const FaultChoice& choice, const emulator::CommandRecord& command) {
    if (choice.kind != emulator::FaultKind::ShortTransfer) return true;
    if (command.direction != emulator::DataDirection::In) return false;
    return !choice.fewBytes || (command.cdb[0] != devcmd::kOpVscReadSector && command.cdb[0] != devcmd::kOpRead10);
}

TEST_P(FalteringDevice, LosesNoDescriptorAndShowsNoFalseSuccess) {
    const Row row = GetParam();
    MakeTemplate();
    const std::vector<std::uint8_t> descriptor = Descriptor();
    const std::uint32_t spb = SectorsPerBlock();
    const std::uint32_t end = disk_->logicalBlocks() * spb;
    const std::uint32_t sd = PartitionWordNow() * spb;

    // The area the run keeps.
    std::uint32_t keptFirst = 0, keptCount = 0;
    if (row.flow == Flow::Security) keptCount = sd;
    if (row.flow == Flow::Standard) keptFirst = sd, keptCount = end - sd;
    const std::vector<std::uint8_t> kept = ReadArea(keptFirst, keptCount);

    // The fault-free run.
    Reference reference;
    StartFromTemplate();
    disk_->ClearTrace();
    ASSERT_TRUE(Drive(row.flow)) << "the run without a fault";
    ASSERT_NE(startIndex_, SIZE_MAX);
    reference.trace = disk_->trace();
    reference.partitionWord = PartitionWordNow();
    reference.denseEnd = reference.trace.size();
    for (std::size_t k = startIndex_; k < reference.trace.size(); ++k) {
        const emulator::CommandRecord& r = reference.trace[k];
        const std::uint32_t address = kt4790::ReadBigEndian32(&r.cdb[2]);
        if (r.cdb[0] == kEraseBlock && address == 0 && reference.lossFrom == SIZE_MAX) reference.lossFrom = k;
        if ((r.cdb[0] == kEraseBlock && address != 0) || r.cdb[0] == kGetPhyBlock) {
            reference.denseEnd = std::min(reference.denseEnd, k);
        }
    }
    // Only the writes of sectors 0 and 1 straight after the erase of block 0
    // are a window no program can close.
    if (reference.lossFrom != SIZE_MAX) reference.lossTo = reference.lossFrom + 2;
    const std::vector<std::size_t> indices = FaultIndices(reference);

    std::set<std::size_t> passedVolumes;
    std::vector<std::string> problems;
    std::map<std::string, unsigned> runs;
    unsigned successes = 0, exceptions = 0;
    for (std::size_t kindIndex = 0; kindIndex < std::size(kKinds); ++kindIndex) {
        const FaultChoice& choice = kKinds[kindIndex];
        const emulator::FaultKind kind = choice.kind;
        for (std::size_t position = 0; position < indices.size(); ++position) {
            const std::size_t k = indices[position];
            if (!Applies(choice, reference.trace[k])) continue;
            // The sanitizers look for what a run does to memory, which one
            // fault at each command shows as well as six: there each index
            // meets one kind, the kinds in turn, each still in every phase.
            if (kSanitized) {
                std::size_t turn = position % std::size(kKinds);
                if (!Applies(kKinds[turn], reference.trace[k])) turn = 0;
                if (turn != kindIndex) continue;
            }
            const std::string what = std::string(choice.name) + " at command " + std::to_string(k);
            StartFromTemplate();
            disk_->ClearTrace();
            emulator::Fault fault;
            fault.kind = kind;
            fault.afterCommands = static_cast<std::uint32_t>(k);
            if (choice.fewBytes) fault.arrives = 1 + k % 3;
            disk_->InjectFault(fault);
            if (row.twice) {
                ++fault.afterCommands;
                disk_->InjectFault(fault);
            }
            const bool success = Drive(row.flow);
            ++runs[choice.name];
            disk_->ClearFaults();
            if (disk_->removed()) disk_->Replug();
            const auto problem = [&](const std::string& text) {
                if (problems.size() < 20) problems.push_back(what + ": " + text);
            };

            const bool mayLoseSector1 =
                (kind == emulator::FaultKind::Removed || kind == emulator::FaultKind::WriteProtected) &&
                k > reference.lossFrom && k <= reference.lossTo;
            const std::vector<std::uint8_t> now = Descriptor();
            if (mayLoseSector1) {
                ++exceptions;
            } else if (!std::equal(descriptor.begin(), descriptor.begin() + kt4790::kBootFlagOffset, now.begin())) {
                problem("the DescriptorSector changed");
            } else {
                const std::uint32_t word = PartitionWordOf(now);
                const bool splitKept = word == PartitionWordOf(descriptor) ||
                                       (row.flow == Flow::Partition && word == reference.partitionWord);
                if (!splitKept) problem("the split became " + std::to_string(word));
            }
            if (disk_->config().password != kPassword) problem("the password changed");
            if (keptCount != 0 && ReadArea(keptFirst, keptCount) != kept) problem("the kept area changed");
            if (!success) continue;

            ++successes;
            const std::uint32_t word = PartitionWordOf(now) * spb;
            const bool splitNow = word != 0 && word < end;
            std::vector<std::pair<std::uint32_t, std::uint32_t>> areas;  // first sector, sectors
            if (row.flow == Flow::Format || (!splitNow && row.flow == Flow::Partition)) areas.push_back({0, end});
            if (splitNow && row.flow != Flow::Security && row.flow != Flow::Format) areas.push_back({0, word});
            if (splitNow && row.flow != Flow::Standard && row.flow != Flow::Format) areas.push_back({word, end - word});
            for (const auto& [first, count] : areas) {
                std::uint32_t start = 0;
                const std::string volume =
                    !fatcheck::VolumeStart(*disk_, first, start) || start < first || start >= first + count
                        ? "no volume at the area's start"
                        : fatcheck::CheckVolume(*disk_, start, first + count - start, dir_ + "/volume.img",
                                                &passedVolumes);
                if (!volume.empty()) problem("success shown, but area at " + std::to_string(first) + ": " + volume);
            }
        }
    }
    unsigned total = 0;
    std::printf("%s/%s%s: ", row.medium.name, Name(row.flow), row.twice ? "/twice" : "");
    for (const auto& [kind, count] : runs) {
        std::printf("%s %u, ", kind.c_str(), count);
        total += count;
    }
    std::printf("%u runs, %u shown successful, %u lost sector 1 to a device gone between the erase of block 0 and "
                "its write\n",
                total, successes, exceptions);
    for (const std::string& p : problems) ADD_FAILURE() << p;
}

std::vector<Row> Rows() {
    std::vector<Row> rows;
    for (const MediumKind& medium : kMedia) {
        for (const Flow flow : {Flow::Format, Flow::Partition, Flow::Security, Flow::Standard, Flow::Both}) {
            rows.push_back({medium, flow});
        }
    }
    // Block 0's write-back on chip 0x13, in each of the two runs that reach
    // it: the medium erase and the two-area format.
    for (const Flow flow : {Flow::Partition, Flow::Both}) rows.push_back({kMedia[2], flow, true});
    return rows;
}

INSTANTIATE_TEST_SUITE_P(EveryFlowAndMedium, FalteringDevice, testing::ValuesIn(Rows()),
                         [](const testing::TestParamInfo<Row>& param) {
                             std::string name = std::string(param.param.medium.name) + "_" + Name(param.param.flow) +
                                                (param.param.twice ? "_twice" : "");
                             for (char& c : name) {
                                 if (c == '-') c = '_';
                             }
                             return name;
                         });

}  // namespace
}  // namespace apptest
