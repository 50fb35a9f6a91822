// What the tests of the erasing dialogs (single-disk format, partition,
// two-area format) share: the vendor commands they look for in a disk's
// trace, the messages both builds show, the media, and a fixture that starts
// the program with one emulated disk and the utility window up.
#pragma once

#include "app_test.h"
#include "stand_ins.h"
#include "trace.h"

namespace apptest {

constexpr std::uint8_t kModeSense = 0x5A;
constexpr std::uint8_t kChip = 0xC0;
constexpr std::uint8_t kMedia = 0xC1;
constexpr std::uint8_t kEraseBlock = 0xF3;
constexpr std::uint8_t kVscWrite = 0xF4;
constexpr std::uint8_t kSetEString = 0xF8;
constexpr std::uint8_t kGetPhyBlock = 0xF9;

#ifdef KT4790_ASPI
constexpr bool kAspi = true;
constexpr const char* kFormatted = "Format was successful. You need to unplug and replug the device!";
constexpr const char* kFormatFailed = "Format Failed!";
constexpr const char* kLibraryMissing = "Can't load the KT4790mDLL.";
#else
constexpr bool kAspi = false;
constexpr const char* kFormatted = "Format was successful. You need to unplug and replug the device.";
constexpr const char* kFormatFailed = "Format Failed!!";
constexpr const char* kLibraryMissing = "Can't load the KT4790DLL.";
#endif

// WriteProtect's MODE SENSE(10): page code 0x3F in byte 2.
inline const Sent kWriteProtectSent{kModeSense, 0x3F000000, 0};

inline const Box kConfirm{"This will erase all data inside the disk. Do you want to continue?", "WARNING", MB_OKCANCEL};
inline const Box kFormattedBox{kFormatted, "OK", MB_OK};
inline const Box kPartitioned{"Partition was successful. You need to unplug and replug the device!", "OK", MB_OK};
inline const Box kFormatFailedBox = Warning(kFormatFailed);
inline const Box kUpdate = Warning("Please update the program!");
inline const Box kNotFound = Warning("Can't find the device, please check the device!");
inline const Box kWriteProtected = Warning("This USB Flash Disk is write protected!");

// A command with its address and option bits, whatever its operation code.
inline Sent Command(const emulator::CommandRecord& r) {
    return {r.cdb[0], kt4790::ReadBigEndian32(&r.cdb[2]), r.cdb[1]};
}

inline emulator::Config Medium(std::uint8_t chipCode, bool large, std::uint8_t zones, std::uint8_t chips = 1) {
    emulator::Config config;
    config.deviceName = u"DISK";
    config.chipCode = chipCode;
    config.largeBlock = large;
    config.zoneCount = zones;
    config.chipCount = chips;
    return config;
}

// Arms `fault` when the Start handler asks for WriteProtect, through a
// stand-in that answers 0 (not protected): so only the handler's own
// commands meet it.
struct WritableThenFault {
    static inline emulator::Controller* disk = nullptr;
    static inline emulator::Fault fault;
#ifdef KT4790_ASPI
    static int WINAPI WriteProtect(BYTE, BYTE) {
#else
    static int WINAPI WriteProtect(HANDLE) {
#endif
        disk->InjectFault(fault);
        return 0;
    }
    static void Arm(emulator::Controller& target, const emulator::Fault& armed) {
        disk = &target;
        fault = armed;
        World().ReplaceExport(kLibrary, "WriteProtect", AsExport(&WriteProtect));
    }
};

class EraseDialogTest : public AppTest {
protected:
    // A fresh program and World with one disk, its DescriptorSector's
    // BootFlag set (so a layout that clears it shows), the utility window up.
    void Start(const emulator::Config& config);
    // The same with a disk as it is.
    void Launch(std::shared_ptr<emulator::Controller> disk);

    static void Press(vcl::TButton* button) {
        ASSERT_TRUE(vcl::headless::userClick(button)) << vcl::headless::lastRefusal();
    }

    // Commands of an operation code (at one address) since the last clear.
    std::size_t Count(std::uint8_t opcode, std::int64_t address = -1) const;

    std::vector<std::uint8_t> Descriptor() const;

    // A dialog as a failure exit that keeps it leaves it.
    static void ExpectOpenAndIdle(const vcl::TForm* dialog, const vcl::TButton* start, const vcl::TButton* close);
    // The dialog gone and the utility window usable again.
    static void ExpectClosed(const vcl::TForm* dialog, const vcl::TButton* start, const vcl::TButton* close);
    static void ExpectNothingLeftOpen() {
        EXPECT_EQ(World().LoadedLibraryCount(), 0);
        EXPECT_EQ(HandlesBesidesTheMutex(), 0);
    }

    std::shared_ptr<emulator::Controller> disk_;
};

}  // namespace apptest
