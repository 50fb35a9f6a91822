// KT4790mDLL's wait for the completion routine: bounded, and a request given
// up must neither be freed under the ASPI layer, nor write to its caller's
// buffer, nor be mistaken for the command that follows it when it completes
// late.
#include <chrono>

#include "devlib/aspi/aspi.h"
#include "devlib/devcmd.h"
#include "tests/devlib/devlib_test.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define DEVTEST_LEAK_CHECK_OFF() __lsan_disable()
#define DEVTEST_LEAK_CHECK_ON() __lsan_enable()
#else
#define DEVTEST_LEAK_CHECK_OFF() (void)0
#define DEVTEST_LEAK_CHECK_ON() (void)0
#endif

namespace {

using devtest::World;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class AspiCompletion : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(lib.loaded());
        emulator::Config config = devtest::Disk(u"My Disk 1");
        config.password = "abc";
        device = &World().AddDevice(config);
    }

    devtest::Library lib{"KT4790mDLL"};
    winsim::EmulatedDevice* device = nullptr;
    decltype(::CheckPwd)* checkPwd = DEVLIB_BIND(lib, CheckPwd);
    decltype(::EraseBlock)* eraseBlock = DEVLIB_BIND(lib, EraseBlock);
    decltype(::PwdExist)* pwdExist = DEVLIB_BIND(lib, PwdExist);
    decltype(::VSCReadSector)* vscReadSector = DEVLIB_BIND(lib, VSCReadSector);
    decltype(::WriteProtect)* writeProtect = DEVLIB_BIND(lib, WriteProtect);
};

TEST_F(AspiCompletion, ARequestThatNeverCompletesFailsAfterTheLimit) {
    World().SetAspiCompletionDelayMs(-1);
    // The abandoned requests stay allocated for an ASPI layer that may still
    // complete them; here it never does.
    DEVTEST_LEAK_CHECK_OFF();
    const Clock::time_point start = Clock::now();
    const BYTE erased = eraseBlock(0, 0, 3, 0, 0);
    const double erasedAfter = SecondsSince(start);
    const int protect = writeProtect(0, 0);
    DEVTEST_LEAK_CHECK_ON();
    EXPECT_EQ(erased, 0);
    EXPECT_EQ(protect, -1);
    EXPECT_GE(erasedAfter, 4.9);
    EXPECT_LT(erasedAfter, 9.9);  // one limit, not two
    EXPECT_TRUE(device->controller->trace().empty());

    // The next command is not disturbed.
    World().SetAspiCompletionDelayMs(0);
    BYTE reply[512] = {};
    EXPECT_EQ(pwdExist(0, 0, reply), 1);
    EXPECT_EQ(reply[0], 1);
}

TEST_F(AspiCompletion, ALateCompletionNeitherWritesNorAnswersForTheNextCommand) {
    // The read completes (successfully) after 6 s, when its sender has given
    // it up and the next command, a wrong password, is waiting for its own
    // completion, due at 6.5 s.
    std::uint8_t content[512];
    std::memset(content, 0x3C, sizeof content);
    device->controller->WritePhysical(40, content, nullptr);
    BYTE buffer[512];
    std::memset(buffer, 0xAA, sizeof buffer);

    World().SetAspiCompletionDelayMs(6000);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(vscReadSector(0, 0, buffer, 40, 0, 0), 0);
    EXPECT_GE(SecondsSince(start), 4.9);

    World().SetAspiCompletionDelayMs(1500);
    BYTE wrong[512] = {};
    wrong[0] = 3;
    std::memcpy(wrong + 1, "abd", 3);
    EXPECT_EQ(checkPwd(0, 0, wrong), 0);
    EXPECT_GE(SecondsSince(start), 6.4);

    // The late read did run on the device, and its reply went nowhere.
    const auto trace = devtest::Trace(*device->controller);
    ASSERT_EQ(trace.size(), 2u);
    EXPECT_EQ(trace[0], "F5 00 40");
    EXPECT_EQ(trace[1].substr(0, 2), "F0");
    for (BYTE b : buffer) ASSERT_EQ(b, 0xAA);

    World().SetAspiCompletionDelayMs(0);
    BYTE right[512] = {};
    right[0] = 3;
    std::memcpy(right + 1, "abc", 3);
    EXPECT_EQ(checkPwd(0, 0, right), 1);
}

TEST(AspiLateCompletion, AnAbandonedRequestKeepsTheLibraryLoaded) {
    // The application frees the library right after the failed command; the
    // completion routine that runs later is the library's code.
    World().AddDevice(devtest::Disk(u"Disk"));
    World().SetAspiCompletionDelayMs(5600);
    {
        devtest::Library lib("KT4790mDLL");
        ASSERT_TRUE(lib.loaded());
        EXPECT_EQ(DEVLIB_BIND(lib, EraseBlock)(0, 0, 3, 0, 0), 0);
    }
    EXPECT_EQ(World().LoadedLibraryCount(), 1);  // held by the library itself
    Sleep(1500);  // the completion runs meanwhile
    EXPECT_EQ(devtest::Trace(*World().devices()[0].controller), std::vector<std::string>({"F3 00 3"}));

    World().SetAspiCompletionDelayMs(0);
    devtest::Library again("KT4790mDLL");
    BYTE reply[512] = {};
    EXPECT_EQ(DEVLIB_BIND(again, PwdExist)(0, 0, reply), 1);
}

TEST_F(AspiCompletion, ARequestRefusedAtOnceFailsAtOnce) {
    // The ASPI manager refuses the requests when they are sent: no completion
    // follows, so nothing is waited for and the caller's buffer is untouched.
    World().SetAspiRefusal(SS_ASPI_IS_BUSY);
    BYTE buffer[512];
    std::memset(buffer, 0xAA, sizeof buffer);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(vscReadSector(0, 0, buffer, 40, 0, 0), 0);
    EXPECT_EQ(pwdExist(0, 0, buffer), 0);
    EXPECT_EQ(eraseBlock(0, 0, 3, 0, 0), 0);
    EXPECT_EQ(writeProtect(0, 0), -1);
    EXPECT_LT(SecondsSince(start), 4.9);  // none waited for the limit
    EXPECT_EQ(World().Now(), 0u);
    for (BYTE b : buffer) ASSERT_EQ(b, 0xAA);
    EXPECT_EQ(World().AspiLog().size(), 4u);
    EXPECT_TRUE(device->controller->trace().empty());

    // The manager takes requests again: so does the library.
    World().SetAspiRefusal(0);
    EXPECT_EQ(pwdExist(0, 0, buffer), 1);
    EXPECT_EQ(buffer[0], 1);
}

TEST_F(AspiCompletion, ASlowCompletionWithinTheLimitCounts) {
    World().SetAspiCompletionDelayMs(1200);
    EXPECT_EQ(writeProtect(0, 0), 0);
    BYTE reply[512] = {};
    EXPECT_EQ(pwdExist(0, 0, reply), 1);
    EXPECT_EQ(reply[0], 1);
}

}  // namespace
