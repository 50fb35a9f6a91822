#include <windows.h>
#include <setupapi.h>
#include <ntddscsi.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "devlib/aspi/aspi.h"
#include "devlib/cdb.h"
#include "devlib/passthrough/passthrough.h"
#include "kt4790/records.h"
#include "winsim/devstack/devstack.h"
#include "winsim/devstack/emulated.h"
#include "winsim/world.h"

namespace {

namespace fs = std::filesystem;
using devstack::EmulatedStack;

class EmulatedStackTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::path(::testing::TempDir()) /
                  ("devstack_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(folder_);
        fs::create_directories(folder_);
    }
    void TearDown() override {
        unsetenv("KT4790_DISKS");
        fs::remove_all(folder_);
    }

    std::string Image(const std::string& name, const emulator::Config& config = emulator::Config()) {
        const std::string path = (folder_ / name).string();
        emulator::Controller controller(config);
        EXPECT_TRUE(controller.SaveImage(path, nullptr));
        return path;
    }
    std::string Path(const std::string& name) const { return (folder_ / name).string(); }

    static void UseDisks(const std::vector<std::string>& paths) {
        std::string list;
        for (const std::string& path : paths) list += (list.empty() ? "" : ":") + path;
        setenv("KT4790_DISKS", list.c_str(), 1);
    }

    fs::path folder_;
};

// The interface paths a stack lists, through SetupAPI as the library walks it.
std::vector<std::string> ListInterfaces(EmulatedStack& stack) {
    std::vector<std::string> paths;
    HDEVINFO list = stack.GetClassDevs(&devstack::kDiskInterfaceClass, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!stack.EnumDeviceInterfaces(list, &devstack::kDiskInterfaceClass, index, &data)) break;
        DWORD required = 0;
        EXPECT_FALSE(stack.GetDeviceInterfaceDetail(list, &data, nullptr, 0, &required));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
        std::vector<char> room(required);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(room.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        EXPECT_TRUE(stack.GetDeviceInterfaceDetail(list, &data, detail, required, nullptr));
        paths.emplace_back(detail->DevicePath);
    }
    EXPECT_TRUE(stack.DestroyDeviceInfoList(list));
    return paths;
}

HANDLE Open(EmulatedStack& stack, const std::string& path) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(stack.OpenDisk(path.c_str(), GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, handle)) << path;
    return handle;
}

// One command over pass-through, in the record the library sends; `data`
// holds the transfer (read into for data in, sent for data out).
passthrough::Outcome Send(EmulatedStack& stack, HANDLE device, const devcmd::Command& command, std::uint8_t* data) {
    passthrough::PassThroughRecord record;
    std::memset(&record, 0, sizeof record);
    SCSI_PASS_THROUGH& h = record.header;
    h.Length = sizeof(SCSI_PASS_THROUGH);
    h.CdbLength = command.cdbLength;
    h.DataIn = command.direction == devcmd::Direction::In ? passthrough::kDataIn : passthrough::kDataOut;
    h.DataTransferLength = command.transferLength;
    h.DataBufferOffset = offsetof(passthrough::PassThroughRecord, data);
    std::memcpy(h.Cdb, command.cdb.bytes, sizeof h.Cdb);
    if (command.direction == devcmd::Direction::Out) std::memcpy(record.data, data, command.transferLength);
    DWORD returned = 0;
    passthrough::Outcome outcome;
    outcome.delivered = stack.DeviceIoControl(device, IOCTL_SCSI_PASS_THROUGH, &record, passthrough::InputSize(command),
                                              &record, passthrough::OutputSize(command), &returned, nullptr) != 0;
    outcome.scsiStatus = record.header.ScsiStatus;
    if (outcome.delivered && command.direction == devcmd::Direction::In) {
        std::memcpy(data, record.data, command.transferLength);
    }
    return outcome;
}

bool CheckPassword(EmulatedStack& stack, HANDLE device, const char* password) {
    kt4790::PasswordBlock block;
    block.SetCurrent(password, static_cast<std::uint8_t>(std::strlen(password)));
    return Send(stack, device, devcmd::CheckPwd(), block.bytes).ok();
}

// --- listing ---------------------------------------------------------------

TEST_F(EmulatedStackTest, ListsTheImagesOfTheDiskListAndNoBadFile) {
    emulator::Config other;
    other.revision = {'P', '1', '.', '0'};
    const std::string good = Image("good.img");
    const std::string second = Image("second.img", other);
    std::ofstream(Path("foreign.img")) << "not an image at all";
    {
        std::ifstream in(good, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
        std::ofstream(Path("cut.img"), std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size() / 2));
    }
    UseDisks({good, Path("missing.img"), Path("cut.img"), Path("foreign.img"), second});

    EmulatedStack stack;
    const std::vector<std::string> paths = ListInterfaces(stack);
    ASSERT_EQ(2u, paths.size());
    // The serial number is the position in the list, so a disk keeps its path.
    EXPECT_EQ(devstack::MakeInterfacePath(emulator::Config(), 1), paths[0]);
    EXPECT_EQ(devstack::MakeInterfacePath(other, 5), paths[1]);
    EXPECT_NE(std::string::npos, paths[1].find("&rev_p1.0#000000000005&0#"));

    // A setup class, not interfaces: nothing.
    HDEVINFO list = stack.GetClassDevs(&devstack::kDiskInterfaceClass, DIGCF_PRESENT);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    EXPECT_FALSE(stack.EnumDeviceInterfaces(list, &devstack::kDiskInterfaceClass, 0, &data));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
    EXPECT_TRUE(stack.DestroyDeviceInfoList(list));
    EXPECT_FALSE(stack.DestroyDeviceInfoList(list));

    // ASPI: one adapter; targets are positions, bad files answer "no device".
    EXPECT_EQ(0x0101u, stack.GetAspiSupportInfo());
    const BYTE expected[] = {SS_COMP, devstack::SS_NO_DEVICE, devstack::SS_NO_DEVICE, devstack::SS_NO_DEVICE,
                             SS_COMP, devstack::SS_NO_DEVICE};
    for (BYTE target = 0; target < 6; ++target) {
        SRB_ExecSCSICmd srb{};
        BYTE reply[kt4790::kSectorSize] = {};
        FillExecRequest(srb, 0, target, devcmd::GetChipVersion(), reply, 0, nullptr);
        EXPECT_EQ(expected[target], stack.SendAspiCommand(&srb)) << int{target};
        EXPECT_EQ(expected[target], srb.SRB_Status) << int{target};
    }
    SRB_ExecSCSICmd srb{};
    BYTE reply[kt4790::kSectorSize] = {};
    FillExecRequest(srb, 1, 0, devcmd::Inquiry(), reply, 0, nullptr);
    EXPECT_EQ(devstack::SS_INVALID_HA, stack.SendAspiCommand(&srb));
}

TEST_F(EmulatedStackTest, DefaultDiskIsTheImageBesideTheProgram) {
    unsetenv("KT4790_DISKS");
    const std::vector<std::string> paths = devstack::DiskImagePaths();
    ASSERT_EQ(1u, paths.size());
    EXPECT_EQ(fs::read_symlink("/proc/self/exe").parent_path() / "kt4790-disk.img", fs::path(paths[0]));

    setenv("KT4790_DISKS", "", 1);
    EXPECT_TRUE(devstack::DiskImagePaths().empty());
    EmulatedStack stack;
    EXPECT_TRUE(ListInterfaces(stack).empty());
    EXPECT_EQ(0x0101u, stack.GetAspiSupportInfo());
}

// --- commands and their state ----------------------------------------------------

TEST_F(EmulatedStackTest, PassThroughCommandsReachTheImageAndOtherProgramsSeeTheirEffect) {
    const std::string image = Image("disk.img");
    UseDisks({image});
    EmulatedStack monitor;
    EmulatedStack application;
    const std::string path = ListInterfaces(application).at(0);

    HANDLE device = Open(application, path);
    std::uint8_t inquiry[kt4790::kSectorSize] = {};
    ASSERT_TRUE(Send(application, device, devcmd::Inquiry(), inquiry).ok());
    EXPECT_EQ(0, std::memcmp(inquiry + kt4790::kInquiryRevisionOffset, "KVOR", 4));

    // The monitor reads the sector first, so it holds the image as it was.
    HANDLE watcher = Open(monitor, path);
    std::uint8_t sector[kt4790::kSectorSize] = {};
    ASSERT_TRUE(Send(monitor, watcher, devcmd::VscReadSector(5000, 0, 0), sector).ok());
    EXPECT_EQ(0xFF, sector[0]);

    std::uint8_t written[kt4790::kSectorSize];
    std::memset(written, 0x5A, sizeof written);
    ASSERT_TRUE(Send(application, device, devcmd::VscWriteSector(5000, 0, 0), written).ok());
    EXPECT_TRUE(application.CloseHandle(device));

    ASSERT_TRUE(Send(monitor, watcher, devcmd::VscReadSector(5000, 0, 0), sector).ok());
    EXPECT_EQ(0, std::memcmp(written, sector, sizeof sector));
    EXPECT_TRUE(monitor.CloseHandle(watcher));

    // The image file itself holds the sector, and no temporary file is left.
    std::unique_ptr<emulator::Controller> saved = emulator::Controller::LoadImage(image, nullptr);
    ASSERT_NE(nullptr, saved);
    std::uint8_t data[512], spare[16];
    saved->ReadPhysical(5000, data, spare);
    EXPECT_EQ(0x5A, data[511]);
    EXPECT_EQ(1, std::distance(fs::directory_iterator(folder_), fs::directory_iterator()));
}

TEST_F(EmulatedStackTest, PasswordLockOutlivesTheProgramUntilReplug) {
    emulator::Config config;
    config.password = "secret";
    const std::string image = Image("locked.img", config);
    UseDisks({image});
    {
        EmulatedStack first;
        HANDLE device = Open(first, ListInterfaces(first).at(0));
        for (int attempt = 0; attempt < 3; ++attempt) EXPECT_FALSE(CheckPassword(first, device, "wrong"));
        first.CloseHandle(device);
    }
    EmulatedStack second;
    HANDLE device = Open(second, ListInterfaces(second).at(0));
    EXPECT_FALSE(CheckPassword(second, device, "secret"));  // still locked

    ASSERT_TRUE(devstack::ChangeImage(
        image,
        [](emulator::Controller& controller, std::string*) {
            EXPECT_EQ(3, controller.volatileState().failedChecks);
            controller.Replug();
            return true;
        },
        nullptr));

    EXPECT_TRUE(CheckPassword(second, device, "secret"));
    second.CloseHandle(device);
}

// SenseCommand reports the previous command's status, whichever program sent it.
TEST_F(EmulatedStackTest, StatusOfAFailedReadReachesTheNextProgram) {
    UseDisks({Image("disk.img")});
    EmulatedStack reader;
    HANDLE device = Open(reader, ListInterfaces(reader).at(0));
    std::uint8_t reply[kt4790::kSectorSize] = {};
    EXPECT_FALSE(Send(reader, device, devcmd::VscReadSector(0x7FFFFFFF, 0, 0), reply).ok());  // beyond the medium
    reader.CloseHandle(device);

    EmulatedStack next;
    device = Open(next, ListInterfaces(next).at(0));
    ASSERT_TRUE(Send(next, device, devcmd::SenseCommand(), reply).ok());
    EXPECT_EQ(emulator::kStatusCheckCondition, reply[0]);
    next.CloseHandle(device);
}

TEST_F(EmulatedStackTest, DiskWhoseImageGoesBadStopsAnsweringWithoutCrash) {
    const std::string image = Image("disk.img");
    UseDisks({image});
    EmulatedStack stack;
    HANDLE device = Open(stack, ListInterfaces(stack).at(0));
    std::uint8_t reply[kt4790::kSectorSize] = {};
    ASSERT_TRUE(Send(stack, device, devcmd::GetChipVersion(), reply).ok());

    // A map byte other than 0 or 1 (the map follows the header and the two
    // state records): a command that reads that sector finds no disk, as the
    // loader refuses the file.
    {
        std::fstream file(image, std::ios::in | std::ios::out | std::ios::binary);
        unsigned char length[4] = {};
        file.seekg(12);
        file.read(reinterpret_cast<char*>(length), sizeof length);
        const std::uint32_t configLength = length[0] | length[1] << 8 | length[2] << 16 | length[3] << 24;
        file.seekp((16 + configLength + 511) / 512 * 512 + 1024 + 1);
        file.put('\x02');  // sector 1, the descriptor sector
    }
    std::uint8_t sector[kt4790::kSectorSize] = {};
    EXPECT_FALSE(Send(stack, device, devcmd::VscReadSector(1, 0, 0), sector).delivered);
    EXPECT_EQ(static_cast<DWORD>(ERROR_GEN_FAILURE), GetLastError());
    EXPECT_EQ(nullptr, emulator::Controller::LoadImage(image, nullptr));

    std::ofstream(image, std::ios::trunc) << "KT4790EM";  // cut short
    const passthrough::Outcome outcome = Send(stack, device, devcmd::GetChipVersion(), reply);
    EXPECT_FALSE(outcome.delivered);
    EXPECT_EQ(static_cast<DWORD>(ERROR_GEN_FAILURE), GetLastError());
    EXPECT_TRUE(ListInterfaces(stack).empty());
    EXPECT_TRUE(stack.CloseHandle(device));
    EXPECT_FALSE(stack.CloseHandle(device));
}

TEST_F(EmulatedStackTest, MalformedRequestsAreRefusedBeforeTheDevice) {
    UseDisks({Image("disk.img")});
    EmulatedStack stack;
    const std::string path = ListInterfaces(stack).at(0);
    HANDLE handle = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(stack.OpenDisk(path.c_str(), GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS, handle));
    EXPECT_EQ(INVALID_HANDLE_VALUE, handle);
    EXPECT_FALSE(stack.OpenDisk("\\\\?\\usbstor#disk&ven_other#1&0#{x}", GENERIC_READ, OPEN_EXISTING, handle));
    EXPECT_FALSE(stack.OpenDisk("C:\\file.txt", GENERIC_READ, OPEN_EXISTING, handle));

    HANDLE readOnly = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(stack.OpenDisk(path.c_str(), GENERIC_READ, OPEN_EXISTING, readOnly));
    std::uint8_t reply[kt4790::kSectorSize] = {};
    EXPECT_FALSE(Send(stack, readOnly, devcmd::GetChipVersion(), reply).delivered);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());

    // A header whose data would run past the output buffer.
    HANDLE device = Open(stack, path);
    passthrough::PassThroughRecord record{};
    record.header.Length = sizeof(SCSI_PASS_THROUGH);
    record.header.CdbLength = 10;
    record.header.DataIn = SCSI_IOCTL_DATA_IN;
    record.header.DataTransferLength = 512;
    record.header.DataBufferOffset = sizeof record;
    EXPECT_FALSE(stack.DeviceIoControl(device, IOCTL_SCSI_PASS_THROUGH, &record, sizeof record, &record, sizeof record,
                                       nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    stack.CloseHandle(readOnly);
    stack.CloseHandle(device);
}

// --- image files: in place, shared, earlier versions ------------------------------

// The first data byte of a physical sector, read through a stack; -1 when the read fails.
int FirstByte(EmulatedStack& stack, HANDLE device, std::uint32_t sector) {
    std::uint8_t data[kt4790::kSectorSize] = {};
    return Send(stack, device, devcmd::VscReadSector(sector, 0, 0), data).ok() ? data[0] : -1;
}

bool WriteFilled(EmulatedStack& stack, HANDLE device, std::uint32_t sector, std::uint8_t value) {
    std::uint8_t data[kt4790::kSectorSize];
    std::memset(data, value, sizeof data);
    return Send(stack, device, devcmd::VscWriteSector(sector, 0, 0), data).ok();
}

// Polls for up to ten seconds.
template <typename Done>
bool WaitFor(Done done) {
    for (int k = 0; k < 1000; ++k) {
        if (done()) return true;
        usleep(10000);
    }
    return false;
}

// Two programs, each in a process of its own: each sees what the other
// wrote, erased and locked.
TEST_F(EmulatedStackTest, TwoProcessesSeeEachOthersChanges) {
    emulator::Config config;
    config.password = "secret";
    UseDisks({Image("disk.img", config)});
    const pid_t other = fork();
    ASSERT_GE(other, 0);
    if (other == 0) {
        EmulatedStack stack;
        HANDLE device = Open(stack, ListInterfaces(stack).at(0));
        std::uint8_t none[1] = {};
        const bool ok = WriteFilled(stack, device, 5000, 0x11) &&
                        WaitFor([&] { return FirstByte(stack, device, 5001) == 0x22; }) &&
                        Send(stack, device, devcmd::EraseBlock(5000 / 32, 0, 0), none).ok() &&
                        !CheckPassword(stack, device, "wrong") && WriteFilled(stack, device, 5002, 0x33);
        _exit(ok ? 0 : 1);
    }
    EmulatedStack stack;
    HANDLE device = Open(stack, ListInterfaces(stack).at(0));
    EXPECT_TRUE(WaitFor([&] { return FirstByte(stack, device, 5000) == 0x11; }));
    EXPECT_TRUE(WriteFilled(stack, device, 5001, 0x22));
    EXPECT_TRUE(WaitFor([&] { return FirstByte(stack, device, 5002) == 0x33; }));
    EXPECT_EQ(0xFF, FirstByte(stack, device, 5000));  // the other erased its block
    int status = 0;
    ASSERT_EQ(other, waitpid(other, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // The other's failed password check counts here: two more lock the disk.
    EXPECT_FALSE(CheckPassword(stack, device, "wrong"));
    EXPECT_FALSE(CheckPassword(stack, device, "wrong"));
    EXPECT_FALSE(CheckPassword(stack, device, "secret"));
    stack.CloseHandle(device);
}

// A program killed at any moment while it writes 32 sectors in one command
// leaves an image that loads, with all 32 sectors of one command. The writer
// reports every command it finished through a pipe and runs at most kAhead
// commands beyond the reports the test has taken note of; the test kills it
// after a number of commands that differs from round to round, so the kills
// meet different commands whatever the machine's speed.
TEST_F(EmulatedStackTest, ProcessKilledWhileWritingLeavesAnImageThatLoads) {
    const std::string image = Image("disk.img");
    UseDisks({image});
    constexpr std::uint32_t kRun = 32 * kt4790::kSectorSize;
    constexpr int kAhead = 3;
    std::set<int> seen;
    for (int round = 0; round < 12; ++round) {
        const int target = 1 + round * (kAhead + 2);
        int reports[2], notes[2];
        ASSERT_EQ(0, pipe(reports));
        ASSERT_EQ(0, pipe(notes));
        const pid_t writer = fork();
        ASSERT_GE(writer, 0);
        if (writer == 0) {
            close(reports[0]);
            close(notes[1]);
            EmulatedStack stack;
            std::vector<BYTE> run(kRun);
            int noted = 0;
            for (int k = 1; k < 256; ++k) {
                for (char note; noted < k - kAhead; ++noted) {
                    if (read(notes[0], &note, 1) != 1) _exit(2);
                }
                std::fill(run.begin(), run.end(), static_cast<BYTE>(k));
                SRB_ExecSCSICmd srb{};
                FillExecRequest(srb, 0, 0, devcmd::Write10(0, kRun), run.data(), 0, nullptr);
                const char report = static_cast<char>(k);
                if (stack.SendAspiCommand(&srb) != SS_COMP || write(reports[1], &report, 1) != 1) _exit(1);
            }
            _exit(3);
        }
        close(reports[1]);
        close(notes[0]);
        char report = 0;
        for (int finished = 1; read(reports[0], &report, 1) == 1 && report == static_cast<char>(finished); ++finished) {
            if (finished == target) {
                kill(writer, SIGKILL);
                break;
            }
            EXPECT_EQ(1, write(notes[1], &report, 1));
        }
        close(reports[0]);
        close(notes[1]);
        int status = 0;
        ASSERT_EQ(writer, waitpid(writer, &status, 0));
        ASSERT_TRUE(WIFSIGNALED(status)) << "round " << round << ": the writer ended by itself, status " << status;

        std::string error;
        std::unique_ptr<emulator::Controller> loaded = emulator::Controller::LoadImage(image, &error);
        ASSERT_NE(nullptr, loaded) << "round " << round << ": " << error;
        std::vector<std::uint8_t> back(kRun);
        const devcmd::Command read10 = devcmd::Read10(0, kRun);
        ASSERT_EQ(emulator::kStatusGood,
                  loaded->Execute(read10.cdb.bytes, read10.cdbLength, emulator::DataDirection::In, back.data(), kRun)
                      .status);
        EXPECT_EQ(std::vector<std::uint8_t>(kRun, back[0]), back) << "round " << round;
        // Command `target` had finished; the writer was at most kAhead - 1 further.
        EXPECT_TRUE(back[0] >= target && back[0] < target + kAhead) << "round " << round << ": " << int{back[0]};
        seen.insert(back[0]);
    }
    EXPECT_GT(seen.size(), 6u);  // the kills met the writer at different commands
}

// An image of version 1: chip 0x30, 1 zone, 1 chip, KVOR, descriptor block 0,
// no password, name, hint, unmapped block or sector.
std::string EarlierImage(const std::string& path) {
    const char bytes[] = "KT4790EM\x01\0\0\0"
                         "\x30\0\x01\x01KVOR\x02\0\0\0\0\0"
                         "\0\0\0\0\0\0\0\0\0\0\0\0\0";
    std::ofstream(path, std::ios::binary).write(bytes, sizeof bytes - 1);
    return path;
}

std::vector<char> FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

// A command whose effect the file does not take completes with check
// condition and medium-error sense data, and leaves the image as it was;
// a file this program may not write is a write-protected disk whose reads
// go on, and whose lock after three failed password checks holds in this
// program. The writer runs in a process of its own: under a file-size limit
// (with SIGXFSZ ignored, or as a user has it, where a write that is tried
// past the limit ends the program), or (as root, who writes any file) as
// nobody.
TEST_F(EmulatedStackTest, CommandTheFileDoesNotTakeFailsAndLeavesTheImage) {
    enum Limit { kNoLimit, kLimitIgnored, kLimitAsUsers };
    struct Row {
        const char* what;
        bool earlier;     // an image of version 1, written anew by its first change
        bool secondName;  // a hard link beside it
        Limit sizeLimit;  // a limit of the image's size and `room` bytes more
        std::size_t room;
        bool readOnly;    // mode 0444: write protection, not a medium error
    };
    const Row rows[] = {
        {"version 4 past a file-size limit", false, false, kLimitIgnored, 0, false},
        {"version 1 past a file-size limit", true, false, kLimitIgnored, 0, false},
        {"version 4 past a file-size limit, SIGXFSZ as users have it", false, false, kLimitAsUsers, 4096, false},
        {"version 1 past a file-size limit, SIGXFSZ as users have it", true, false, kLimitAsUsers, 0, false},
        {"version 1 with a second name", true, true, kNoLimit, 0, false},
        {"version 4 read-only", false, false, kNoLimit, 0, true},
        {"version 1 read-only", true, false, kNoLimit, 0, true},
    };
    constexpr std::uint32_t kRun = 32 * kt4790::kSectorSize;
    for (const Row& row : rows) {
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        const std::string image = row.earlier ? EarlierImage(Path("disk.img")) : Image("disk.img");
        if (row.secondName) fs::create_hard_link(image, Path("other.img"));
        if (row.readOnly) fs::permissions(image, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
        UseDisks({image});
        const std::vector<char> before = FileBytes(image);
        const pid_t writer = fork();
        ASSERT_GE(writer, 0);
        if (writer == 0) {
            if (row.sizeLimit != kNoLimit) {
                if (row.sizeLimit == kLimitIgnored) signal(SIGXFSZ, SIG_IGN);
                const rlimit limit{before.size() + row.room, before.size() + row.room};
                if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(64);
            }
            if (row.readOnly && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(65);
            EmulatedStack stack;
            int failures = 0;
            std::vector<BYTE> run(kRun, 0x5A);
            SRB_ExecSCSICmd write{};
            FillExecRequest(write, 0, 0, devcmd::Write10(0, kRun), run.data(), 0, nullptr);
            if (stack.SendAspiCommand(&write) != SS_ERR || write.SRB_HaStat != HASTAT_OK ||
                write.SRB_TargStat != emulator::kStatusCheckCondition) {
                failures |= 1;
            }
            if (!row.readOnly && (write.SenseArea[2] != 3 || write.SenseArea[12] != 0x0C)) failures |= 2;
            SRB_ExecSCSICmd read{};
            FillExecRequest(read, 0, 0, devcmd::Read10(0, kRun), run.data(), 0, nullptr);
            if (stack.SendAspiCommand(&read) != SS_COMP || run != std::vector<BYTE>(kRun, 0xFF)) failures |= 4;
            BYTE mode[kt4790::kSectorSize] = {};
            SRB_ExecSCSICmd sense{};
            FillExecRequest(sense, 0, 0, devcmd::ModeSense10(), mode, 0, nullptr);
            // MODE SENSE answers its 8 bytes of the 512 asked: an underrun.
            const bool sensed = stack.SendAspiCommand(&sense) == SS_COMP || DataPhaseEndedEarly(sense);
            if (!sensed || ((mode[3] & 0x80) != 0) != row.readOnly) failures |= 8;
            if (row.readOnly) {
                // No password: three checks of another fail, and lock out the right one.
                kt4790::PasswordBlock wrong;
                wrong.SetCurrent("wrong", 5);
                for (int attempt = 0; attempt < 4; ++attempt) {
                    kt4790::PasswordBlock block = attempt < 3 ? wrong : kt4790::PasswordBlock();
                    SRB_ExecSCSICmd check{};
                    FillExecRequest(check, 0, 0, devcmd::CheckPwd(), block.bytes, 0, nullptr);
                    if (stack.SendAspiCommand(&check) != SS_ERR) failures |= 16;
                }
            }
            _exit(failures);
        }
        int status = 0;
        ASSERT_EQ(writer, waitpid(writer, &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << row.what << ": failed checks " << WEXITSTATUS(status) << ", ended by signal "
            << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        EXPECT_EQ(before, FileBytes(image)) << row.what;
        EXPECT_EQ(row.secondName ? 2 : 1, std::distance(fs::directory_iterator(folder_), fs::directory_iterator()))
            << row.what << ": a temporary file is left";
    }
}

// An image of version 1 is a disk; reading it leaves the file as it was,
// and the first change writes it anew in the current version.
TEST_F(EmulatedStackTest, EarlierImageIsWrittenAnewByItsFirstChange) {
    const std::string image = EarlierImage(Path("old.img"));
    const std::uintmax_t size = fs::file_size(image);
    UseDisks({image});
    EmulatedStack stack;
    HANDLE device = Open(stack, ListInterfaces(stack).at(0));
    EXPECT_EQ(0xFF, FirstByte(stack, device, 5000));
    EXPECT_EQ(size, fs::file_size(image));
    EXPECT_TRUE(WriteFilled(stack, device, 5000, 0x5A));
    EXPECT_EQ(0x5A, FirstByte(stack, device, 5000));
    std::ifstream in(image, std::ios::binary);
    char head[12] = {};
    in.read(head, sizeof head);
    EXPECT_EQ(static_cast<char>(emulator::kImageVersion), head[8]);
    std::unique_ptr<emulator::Controller> loaded = emulator::Controller::LoadImage(image, nullptr);
    ASSERT_NE(nullptr, loaded);
    std::uint8_t data[512], spare[16];
    loaded->ReadPhysical(5000, data, spare);
    EXPECT_EQ(0x5A, data[0]);
    stack.CloseHandle(device);
}

// The new file an upgrade writes is created exclusively, never through a
// link planted at its name, and has the image's permissions before anything
// is written into it (it will hold the password).
TEST_F(EmulatedStackTest, NewImageFileIsCreatedExclusivelyWithTheImagesPermissions) {
    enum Planted { kNothing, kLinkToFile, kLinkToNoFile };
    struct Row {
        const char* what;
        Planted planted;  // at the new file's name
        fs::perms mode;   // of the image
    };
    const Row rows[] = {
        {"a symbolic link to a file at its name", kLinkToFile, fs::perms::owner_read | fs::perms::owner_write},
        {"a symbolic link to no file at its name", kLinkToNoFile, fs::perms::owner_read | fs::perms::owner_write},
        {"an image of mode 0640", kNothing, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read},
    };
    for (const Row& row : rows) {
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        const std::string image = Image("disk.img");
        fs::permissions(image, row.mode);
        const std::string name = Path("disk.img.new.tmp");
        const std::string victim = Path("victim");
        if (row.planted == kLinkToFile) std::ofstream(victim) << "victim";
        if (row.planted != kNothing) fs::create_symlink(victim, name);

        devstack::LockedImage original;
        ASSERT_TRUE(original.Open(image, true, nullptr)) << row.what;
        devstack::LockedImage created;
        std::string error;
        const bool made = created.Create(name, &original, &error);
        EXPECT_EQ(row.planted == kNothing, made) << row.what << ": " << error;
        if (made) {
            struct stat status {};
            ASSERT_EQ(0, stat(name.c_str(), &status)) << row.what;
            EXPECT_EQ(0, status.st_size) << row.what;
            EXPECT_EQ(static_cast<mode_t>(row.mode), status.st_mode & 07777) << row.what;
        } else {
            EXPECT_TRUE(fs::is_symlink(name)) << row.what << ": the link is gone";
            EXPECT_EQ(row.planted == kLinkToFile, fs::exists(victim)) << row.what;
            if (row.planted == kLinkToFile) {
                std::ifstream in(victim);
                EXPECT_EQ("victim", std::string(std::istreambuf_iterator<char>(in), {})) << row.what;
            }
        }
    }
}

// --- ASPI completion ------------------------------------------------------------

int postedCalls = 0;
BYTE postedStatus = 0;
void ASPI_CDECL Posted(void* srb) {
    ++postedCalls;
    postedStatus = static_cast<SRB_ExecSCSICmd*>(srb)->SRB_Status;
}

TEST_F(EmulatedStackTest, AspiRequestsCompleteBeforeTheCallReturns) {
    UseDisks({Image("disk.img")});
    EmulatedStack stack;
    BYTE reply[kt4790::kSectorSize] = {};

    postedCalls = 0;
    SRB_ExecSCSICmd posting{};
    FillExecRequest(posting, 0, 0, devcmd::GetChipVersion(), reply, SRB_POSTING, reinterpret_cast<void*>(&Posted));
    EXPECT_EQ(SS_COMP, stack.SendAspiCommand(&posting));
    EXPECT_EQ(1, postedCalls);
    EXPECT_EQ(SS_COMP, postedStatus);
    EXPECT_EQ(0x30, reply[0]);

    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SRB_ExecSCSICmd notifying{};
    FillExecRequest(notifying, 0, 1, devcmd::GetChipVersion(), reply, SRB_EVENT_NOTIFY, event);
    EXPECT_EQ(devstack::SS_NO_DEVICE, stack.SendAspiCommand(&notifying));  // no disk at target 1
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(event, 0));
    ResetEvent(event);

    // A failed command completes too, with the target's status.
    SRB_ExecSCSICmd failing{};
    kt4790::PasswordBlock block;
    block.SetCurrent("x", 1);
    FillExecRequest(failing, 0, 0, devcmd::CheckPwd(), block.bytes, SRB_EVENT_NOTIFY, event);
    EXPECT_EQ(SS_ERR, stack.SendAspiCommand(&failing));
    EXPECT_EQ(emulator::kStatusCheckCondition, failing.SRB_TargStat);
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(event, 0));
    ResetEvent(event);

    // A block the layer cannot run is refused and never completes.
    SRB_ExecSCSICmd inconsistent{};
    FillExecRequest(inconsistent, 0, 0, devcmd::GetChipVersion(), reply, SRB_EVENT_NOTIFY | SRB_POSTING, event);
    EXPECT_EQ(devstack::SS_INVALID_SRB, stack.SendAspiCommand(&inconsistent));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(event, 0));
    EXPECT_EQ(1, postedCalls);
    EXPECT_EQ(devstack::SS_INVALID_SRB, stack.SendAspiCommand(nullptr));
    CloseHandle(event);
}

// --- the names the emulated variant calls -------------------------------------------

TEST_F(EmulatedStackTest, EmuFunctionsLeaveWhatIsNoEmulatedDiskToTheSystem) {
    UseDisks({Image("disk.img")});
    winsim::World& world = winsim::World::Get();
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    const int before = world.OpenHandleCount();
    EXPECT_TRUE(EmuCloseHandle(event));
    EXPECT_EQ(before - 1, world.OpenHandleCount());

    // No device of the World has this path: the system's CreateFileA says so.
    EXPECT_EQ(INVALID_HANDLE_VALUE, EmuCreateFileA("\\\\.\\PhysicalDrive0", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                                   0, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());

    HDEVINFO list = EmuSetupDiGetClassDevsA(&devstack::kDiskInterfaceClass, nullptr, nullptr,
                                            DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    ASSERT_TRUE(EmuSetupDiEnumDeviceInterfaces(list, nullptr, &devstack::kDiskInterfaceClass, 0, &data));
    char room[512];
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(room);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    ASSERT_TRUE(EmuSetupDiGetDeviceInterfaceDetailA(list, &data, detail, sizeof room, nullptr, nullptr));
    EXPECT_TRUE(EmuSetupDiDestroyDeviceInfoList(list));
    HANDLE device = EmuCreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                   nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, device);
    EXPECT_EQ(0, world.OpenHandleCount());  // not a handle of the World
    EXPECT_TRUE(EmuCloseHandle(device));
    EXPECT_EQ(0x0101u, EmuGetASPI32SupportInfo());
}

}  // namespace
