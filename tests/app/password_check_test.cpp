// The password check of the main window, driven as a person would: pick a
// device, type, press "OK" or Enter, "CANCEL". The disks are emulated and
// reached through the real device library of the build.
#include "app_test.h"

#include "app/Jutility.h"
#include "app/Main.h"

namespace apptest {
namespace {

using vcl::headless::lastRefusal;
using vcl::headless::userClick;
using vcl::headless::userSelect;
using vcl::headless::userType;

constexpr const char* kUtilityCaption = "USB Flash Disk Utility Menu";

#ifdef KT4790_ASPI
constexpr const char* kCorrect = "Password Correct!";
constexpr const char* kThirdFailure =
    "Password Failed 3 Times!!,The device has been stopped, please unplug and replug the device.";
constexpr const char* kLibraryMissing = "Can't load the KT4790mDLL.";
constexpr const char* kFinder = "GetDeviceID";
#else
constexpr const char* kCorrect = "Password Correct.";
constexpr const char* kThirdFailure =
    "3 Times Password Incorrect! If the device never has not passed the check-password at present, the device will "
    "stop. Please unplug and replug the device.";
constexpr const char* kLibraryMissing = "Can't load the KT4790DLL!";
constexpr const char* kFinder = "GetHandle";
#endif

const Box kCorrectBox{kCorrect, "OK", MB_OK};
const Box kIncorrectBox = Warning("Password Incorrect!");
const Box kNotFoundBox = Warning("Can't find the device, please check the device!");
const Box kSelectBox = Warning("Please select the device!");

std::shared_ptr<emulator::Controller> AddDiskWithPassword(const std::u16string& name, const std::string& password) {
    emulator::Config config;
    config.deviceName = name;
    config.password = password;
    auto controller = std::make_shared<emulator::Controller>(config);
    World().AddDevice(controller);
    return controller;
}

// The CheckPwd commands a disk received.
int CheckCommands(const emulator::Controller& disk) {
    int count = 0;
    for (const emulator::CommandRecord& r : disk.trace()) {
        if (r.cdb[0] != 0xF0) continue;
        EXPECT_EQ(r.direction, emulator::DataDirection::Out);
        EXPECT_EQ(r.length, 512u);
        ++count;
    }
    return count;
}

class PasswordCheckTest : public AppTest {
protected:
    // Starts the program; what start-up showed is cleared.
    void Start() {
        ASSERT_EQ(AppMain(), 0);
        ASSERT_TRUE(MainForm->Visible());
        World().ClearMessageBoxes();
    }

    // Types the password and presses "OK".
    void Check(const std::string& password) {
        ASSERT_TRUE(userType(MainForm->edtPwd, password)) << lastRefusal();
        ASSERT_TRUE(userClick(MainForm->btnOk)) << lastRefusal();
    }

    // Nothing of a device operation outlives its handler.
    static void ExpectNothingLeftOpen() {
        EXPECT_EQ(World().LoadedLibraryCount(), 0);
        EXPECT_EQ(HandlesBesidesTheMutex(), 0);
    }
};

// --- a correct password ------------------------------------------------------------

TEST_F(PasswordCheckTest, CorrectPasswordOpensTheUtilityWindowAndHidesThisOne) {
    auto disk = AddDiskWithPassword(u"DISK", "secret");
    Start();
    int devicesOpenDuringBox = -1;
    World().SetMessageBoxHook([&](const winsim::MessageBoxCall&) {
        devicesOpenDuringBox = World().OpenHandleCount(winsim::HandleKind::Device);
    });
    Check("secret");

    EXPECT_EQ(Boxes(), std::vector<Box>{kCorrectBox});
    // The device was let go before the box came up.
    EXPECT_EQ(devicesOpenDuringBox, 0);
    EXPECT_EQ(VisibleWindows(), std::vector<std::string>{kUtilityCaption});
    EXPECT_FALSE(MainForm->Visible());
    EXPECT_TRUE(JUtilityForm->Visible());
    EXPECT_EQ(MainForm->edtPwd->Text(), "");
    EXPECT_EQ(FailedAttempts, 0);
    EXPECT_EQ(CheckCommands(*disk), 1);
    EXPECT_FALSE(vcl::headless::programEnded());
    ExpectNothingLeftOpen();
}

TEST_F(PasswordCheckTest, TheBlockCarriesTheTypedLengthAndText) {
    // The disk accepts only a block whose byte 0 is the password's length
    // and whose text follows it.
    auto none = AddDiskWithPassword(u"NONE", "");
    auto full = AddDiskWithPassword(u"FULL", "12345678");
    Start();

    // An empty password is a block whose byte 0 is 0.
    Check("");
    EXPECT_EQ(Boxes(), std::vector<Box>{kCorrectBox});

    World().ClearMessageBoxes();
    JUtilityForm->SetVisible(false);
    MainForm->SetVisible(true);
    ASSERT_TRUE(userSelect(MainForm->cboxDeviceList, 1));
    Check("1234567");  // one short: refused
    // The edit takes 8 characters; the ninth is not typed.
    EXPECT_FALSE(userType(MainForm->edtPwd, "123456789"));
    ASSERT_TRUE(userClick(MainForm->btnOk));
    EXPECT_EQ(Boxes(), (std::vector<Box>{kIncorrectBox, kCorrectBox}));
    EXPECT_EQ(CheckCommands(*none), 1);
    EXPECT_EQ(CheckCommands(*full), 2);
}

// --- wrong passwords -------------------------------------------------------------------

TEST_F(PasswordCheckTest, ThirdWrongPasswordInARowEndsTheProgramWhicheverDevice) {
    auto first = AddDiskWithPassword(u"FIRST", "one");
    auto second = AddDiskWithPassword(u"SECOND", "two");
    Start();

    Check("two");
    EXPECT_EQ(Boxes(), std::vector<Box>{kIncorrectBox});
    EXPECT_EQ(FailedAttempts, 1);
    EXPECT_EQ(MainForm->edtPwd->Text(), "");
    EXPECT_TRUE(MainForm->Visible());
    ExpectNothingLeftOpen();

    Check("ONE");
    EXPECT_EQ(FailedAttempts, 2);
    EXPECT_FALSE(vcl::headless::programEnded());

    ASSERT_TRUE(userSelect(MainForm->cboxDeviceList, 1));
    Check("one");
    EXPECT_EQ(Boxes(), (std::vector<Box>{kIncorrectBox, kIncorrectBox, Warning(kThirdFailure)}));
    EXPECT_TRUE(vcl::headless::programEnded());
    EXPECT_TRUE(World().NotifyIcons().empty());
    EXPECT_TRUE(VisibleWindows().empty());
    EXPECT_EQ(CheckCommands(*first), 2);
    EXPECT_EQ(CheckCommands(*second), 1);
    ExpectNothingLeftOpen();
}

TEST_F(PasswordCheckTest, ACorrectPasswordStartsTheCountAgain) {
    AddDiskWithPassword(u"DISK", "right");
    Start();
    Check("wrong");
    Check("wrong");
    Check("right");
    EXPECT_EQ(FailedAttempts, 0);

    // Back from the utility window, as the icon brings the password check back.
    JUtilityForm->SetVisible(false);
    MainForm->SetVisible(true);
    World().ClearMessageBoxes();
    Check("wrong");
    Check("wrong");
    EXPECT_EQ(Boxes(), (std::vector<Box>{kIncorrectBox, kIncorrectBox}));
    EXPECT_FALSE(vcl::headless::programEnded());
}

TEST_F(PasswordCheckTest, ShowingTheWindowAgainStartsTheCountAgain) {
    AddDiskWithPassword(u"DISK", "right");
    Start();
    Check("wrong");
    Check("wrong");
    MainForm->SetVisible(false);
    MainForm->SetVisible(true);
    Check("wrong");
    Check("wrong");
    EXPECT_EQ(FailedAttempts, 2);
    EXPECT_FALSE(vcl::headless::programEnded());
    Check("wrong");
    EXPECT_TRUE(vcl::headless::programEnded());
}

// --- nothing checked ----------------------------------------------------------------------

TEST_F(PasswordCheckTest, WithoutASelectedDeviceNothingIsLoaded) {
    Start();
    Check("secret");
    EXPECT_EQ(Boxes(), std::vector<Box>{kSelectBox});
    EXPECT_EQ(MainForm->edtPwd->Text(), "secret");
    EXPECT_EQ(FailedAttempts, 0);
    // The style was dropped all the same.
    EXPECT_EQ(MainForm->FormStyle(), vcl::fsNormal);
    ExpectNothingLeftOpen();
}

TEST_F(PasswordCheckTest, DeviceUnpluggedSinceTheListingIsNotFound) {
    auto disk = AddDiskWithPassword(u"DISK", "secret");
    Start();
    FailedAttempts = 1;
    disk->Remove();
    disk->ClearTrace();
    Check("secret");
    EXPECT_EQ(Boxes(), std::vector<Box>{kNotFoundBox});
    EXPECT_EQ(MainForm->edtPwd->Text(), "secret");
    EXPECT_EQ(FailedAttempts, 1);
    EXPECT_TRUE(MainForm->Visible());
    EXPECT_EQ(CheckCommands(*disk), 0);
    ExpectNothingLeftOpen();
}

// The library hidden (nullptr), or one of the two procedures in their
// binding order: the finder, then CheckPwd.
class MissingBindingTest : public PasswordCheckTest, public testing::WithParamInterface<const char*> {};

TEST_P(MissingBindingTest, IsReportedAndNothingIsSent) {
    auto disk = AddDiskWithPassword(u"DISK", "secret");
    Start();
    disk->ClearTrace();
    FailedAttempts = 1;
    if (GetParam() == nullptr) {
        World().HideLibrary(kLibrary);
    } else {
        World().HideExport(kLibrary, GetParam());
    }
    Check("secret");
    EXPECT_EQ(Boxes(), std::vector<Box>{GetParam() == nullptr ? Error(kLibraryMissing)
                                                                : Warning("Load library failed!")});
    EXPECT_TRUE(disk->trace().empty());
    EXPECT_EQ(MainForm->edtPwd->Text(), "secret");
    EXPECT_EQ(FailedAttempts, 1);
    EXPECT_TRUE(MainForm->Visible());
    ExpectNothingLeftOpen();
}

INSTANTIATE_TEST_SUITE_P(LibraryFinderCheckPwd, MissingBindingTest, testing::Values(nullptr, kFinder, "CheckPwd"));

// --- Enter --------------------------------------------------------------------------------

TEST_F(PasswordCheckTest, EnterChecksOnceLikeOk) {
    auto disk = AddDiskWithPassword(u"DISK", "secret");
    Start();
    ASSERT_TRUE(userType(MainForm->edtPwd, "wrong\r")) << lastRefusal();
    EXPECT_EQ(Boxes(), std::vector<Box>{kIncorrectBox});
    EXPECT_EQ(FailedAttempts, 1);
    EXPECT_EQ(MainForm->edtPwd->Text(), "");
    EXPECT_EQ(CheckCommands(*disk), 1);

    // The keys after Enter go nowhere once the window is hidden.
    EXPECT_FALSE(userType(MainForm->edtPwd, "secret\rmore"));
    EXPECT_EQ(Boxes(), (std::vector<Box>{kIncorrectBox, kCorrectBox}));
    EXPECT_TRUE(JUtilityForm->Visible());
    EXPECT_FALSE(MainForm->Visible());
    EXPECT_EQ(MainForm->edtPwd->Text(), "");
    ExpectNothingLeftOpen();
}

// --- the window's style and the icon -------------------------------------------------------

std::vector<std::uint32_t> Operations(std::size_t from) {
    std::vector<std::uint32_t> operations;
    const auto& calls = World().NotifyIconCalls();
    for (std::size_t i = from; i < calls.size(); ++i) operations.push_back(calls[i].message);
    return operations;
}

TEST_F(PasswordCheckTest, FirstOkDropsStayOnTopAndRegistersTheIconWithTheNewWindow) {
    AddDiskWithPassword(u"DISK", "secret");
    Start();
    ASSERT_EQ(MainForm->FormStyle(), vcl::fsStayOnTop);
    const auto before = reinterpret_cast<std::uintptr_t>(MainForm->Handle());
    const std::size_t atStart = World().NotifyIconCalls().size();

    Check("wrong");
    EXPECT_EQ(MainForm->FormStyle(), vcl::fsNormal);
    const auto after = reinterpret_cast<std::uintptr_t>(MainForm->Handle());
    ASSERT_NE(after, before);
    const auto& calls = World().NotifyIconCalls();
    ASSERT_EQ(Operations(atStart), (std::vector<std::uint32_t>{NIM_DELETE, NIM_ADD, NIM_MODIFY}));
    EXPECT_EQ(calls[atStart].data.window, before);
    EXPECT_EQ(calls[atStart + 1].data.window, after);
    EXPECT_EQ(calls[atStart + 2].data.window, after);
    for (std::size_t i = atStart; i < calls.size(); ++i) EXPECT_TRUE(calls[i].succeeded) << i;
    ASSERT_EQ(World().NotifyIcons().size(), 1u);
    EXPECT_EQ(World().NotifyIcons()[0].window, after);
    EXPECT_EQ(World().NotifyIcons()[0].tip, "SECURITY");
    EXPECT_EQ(vcl::headless::findForm(MainForm->Handle()), MainForm);
    EXPECT_TRUE(MainForm->Visible());

    // From then on: the add fails on the icon that is there, the update holds.
    const std::size_t second = calls.size();
    Check("wrong");
    ASSERT_EQ(Operations(second), (std::vector<std::uint32_t>{NIM_ADD, NIM_MODIFY}));
    EXPECT_FALSE(calls[second].succeeded);
    EXPECT_TRUE(calls[second + 1].succeeded);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(MainForm->Handle()), after);
    EXPECT_EQ(World().NotifyIcons().size(), 1u);
}

TEST_F(PasswordCheckTest, EnterDropsStayOnTopOnceAndTheCheckRegistersTheIconAgain) {
    AddDiskWithPassword(u"DISK", "secret");
    Start();
    const std::size_t atStart = World().NotifyIconCalls().size();
    ASSERT_TRUE(userType(MainForm->edtPwd, "x\r"));
    EXPECT_EQ(Operations(atStart),
              (std::vector<std::uint32_t>{NIM_DELETE, NIM_ADD, NIM_MODIFY, NIM_ADD, NIM_MODIFY}));
    EXPECT_EQ(MainForm->FormStyle(), vcl::fsNormal);
    ASSERT_EQ(World().NotifyIcons().size(), 1u);
    EXPECT_EQ(World().NotifyIcons()[0].window, reinterpret_cast<std::uintptr_t>(MainForm->Handle()));
}

TEST_F(PasswordCheckTest, WithoutTheIconFromStartUpTheFirstOkAddsIt) {
    // A missing "Pop" interrupts the window's creation before the icon.
    World().CreateRegistryKey(kSettingsKey);
    Start();
    ASSERT_TRUE(World().NotifyIconCalls().empty());
    Check("");
    EXPECT_EQ(Operations(0), (std::vector<std::uint32_t>{NIM_DELETE, NIM_ADD, NIM_MODIFY}));
    EXPECT_FALSE(World().NotifyIconCalls()[0].succeeded);
    ASSERT_EQ(World().NotifyIcons().size(), 1u);
    EXPECT_EQ(World().NotifyIcons()[0].tip, "SECURITY");
    EXPECT_EQ(Boxes(), std::vector<Box>{kSelectBox});
}

TEST_F(PasswordCheckTest, CancelRemovesTheIconAndEndsTheProgram) {
    auto disk = AddDiskWithPassword(u"DISK", "secret");
    Start();
    disk->ClearTrace();
    const std::size_t atStart = World().NotifyIconCalls().size();
    ASSERT_TRUE(userType(MainForm->edtPwd, "secret"));
    ASSERT_TRUE(userClick(MainForm->btnCancel)) << lastRefusal();
    EXPECT_TRUE(vcl::headless::programEnded());
    // Its own delete, then the one of the window's destruction, which finds nothing.
    ASSERT_GE(World().NotifyIconCalls().size(), atStart + 2);
    EXPECT_EQ(World().NotifyIconCalls()[atStart].message, static_cast<std::uint32_t>(NIM_DELETE));
    EXPECT_TRUE(World().NotifyIconCalls()[atStart].succeeded);
    EXPECT_EQ(World().NotifyIconCalls().back().message, static_cast<std::uint32_t>(NIM_DELETE));
    EXPECT_FALSE(World().NotifyIconCalls().back().succeeded);
    EXPECT_TRUE(World().NotifyIcons().empty());
    EXPECT_TRUE(Boxes().empty());
    EXPECT_TRUE(disk->trace().empty());
    EXPECT_TRUE(VisibleWindows().empty());
    ExpectNothingLeftOpen();
}

}  // namespace
}  // namespace apptest
