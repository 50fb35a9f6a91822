// The check-password and set-password dialogs, opened as the utility window
// opens them (device name given, function buttons disabled, dialog shown)
// and driven as a person would, over emulated disks reached through the
// real device library of the build.
#include "app_test.h"
#include "trace.h"

#include "app/Chkpwd.h"
#include "app/Jsavedialog.h"
#include "app/Jutility.h"
#include "app/Main.h"
#include "app/Setpwd.h"
#include "kt4790/records.h"

namespace apptest {
namespace {

using vcl::headless::lastRefusal;
using vcl::headless::userClick;
using vcl::headless::userCloseBox;
using vcl::headless::userType;

constexpr std::uint8_t kCheckPwd = 0xF0;
constexpr std::uint8_t kChangePwd = 0xF1;
constexpr std::uint8_t kSetEString = 0xF8;
constexpr std::uint8_t kGetChipVersion = 0xC0;
constexpr std::uint8_t kGetMediaSize = 0xC1;

#ifdef KT4790_ASPI
constexpr const char* kFinder = "GetDeviceID";
constexpr const char* kLibraryMissing = "Can't load the KT4790mDLL.";
constexpr const char* kCheckProcMissing = "Load library failed!";
constexpr const char* kCheckNotFound = "Can't find the device, please check the device!";
constexpr const char* kSetProcMissing = "Load library failed!";
constexpr const char* kSetNotFound = "Can't find the device. Please check the device!";
constexpr const char* kCorrect = "Password Correct!";
constexpr const char* kStopped = "Password Failed 3 Times! The device has been stopped. Please unplug and replug the device.";
constexpr const char* kSetFailed = "Set Password Failed!";
#else
constexpr const char* kFinder = "GetHandle";
constexpr const char* kLibraryMissing = "Can't load the KT4790DLL.";
constexpr const char* kCheckProcMissing = "Can't find the device, please check the device!";
constexpr const char* kCheckNotFound = "Please check the device!";
constexpr const char* kSetProcMissing = "Can't find the device, please check the device!";
constexpr const char* kSetNotFound = "Can't find the device, please check the device!";
constexpr const char* kCorrect = "Password Correct.";
constexpr const char* kStopped =
    "3 Times Password Incorrect! If the device never has not passed the check-password at present, the device will "
    "stop. Please unplug and replug the device.";
constexpr const char* kSetFailed = "Set password failed!";
#endif

const Box kCorrectBox{kCorrect, "OK", MB_OK};
const Box kIncorrectBox = Warning("Password Incorrect!");
const Box kConfirmBox{"Are you sure you want to set the password? Click OK to set.", "WARNING", MB_OKCANCEL};
const Box kSetBox{"Password was set successfully.", "OK", MB_OK};
const Box kMismatchBox = Warning("Password Incorrect! Please reenter the password.");
const Box kNotFoundBox = Warning("Can't find the device, please check the device!");
const Box kHintKeyBox = Warning("Please enter alphabet or numeric!");

class DialogTest : public AppTest {
protected:
    // A disk named "DISK".
    std::shared_ptr<emulator::Controller> Add(const std::string& password = "", const std::u16string& hint = u"",
                                              std::uint8_t chipCode = 0x30, bool largeBlock = false,
                                              std::uint32_t descriptorBlock = 0) {
        emulator::Config config;
        config.deviceName = u"DISK";
        config.password = password;
        config.hint = hint;
        config.chipCode = chipCode;
        config.largeBlock = largeBlock;
        config.descriptorBlock = descriptorBlock;
        disk_ = std::make_shared<emulator::Controller>(config);
        World().AddDevice(disk_);
        return disk_;
    }

    // The program as the utility window leaves it when it opens a dialog:
    // the utility window shown with its function buttons disabled. What
    // start-up showed and sent is cleared.
    void Start() {
        ASSERT_EQ(AppMain(), 0);
        MainForm->SetVisible(false);
        JUtilityForm->SetVisible(true);
        JUtilityForm->DisableAllButtons();
        World().ClearMessageBoxes();
        if (disk_) disk_->ClearTrace();
    }

    template <class Form>
    static void Open(Form* form, const std::string& deviceName = "DISK") {
        form->DeviceName = deviceName;
        form->SetVisible(true);
    }

    static void ExpectFunctionButtons(bool enabled) {
        for (vcl::TButton* b : {JUtilityForm->btnChangDevName, JUtilityForm->btnChangPwd, JUtilityForm->btnClearPwd,
                                JUtilityForm->btnFormat, JUtilityForm->btnSetNChkPwd, JUtilityForm->btnPartition,
                                JUtilityForm->btnCopyFile}) {
            EXPECT_EQ(b->Enabled(), enabled) << b->Name();
        }
    }

    static void ExpectNothingLeftOpen() {
        EXPECT_EQ(World().LoadedLibraryCount(), 0);
        EXPECT_EQ(HandlesBesidesTheMutex(), 0);
    }

    int Count(std::uint8_t opcode) const {
        int count = 0;
        for (const emulator::CommandRecord& r : disk_->trace()) count += r.cdb[0] == opcode;
        return count;
    }
    // Position of the last command with `opcode` in the trace, or -1.
    int Last(std::uint8_t opcode) const {
        const auto& trace = disk_->trace();
        for (std::size_t i = trace.size(); i > 0; --i) {
            if (trace[i - 1].cdb[0] == opcode) return static_cast<int>(i - 1);
        }
        return -1;
    }

    // The descriptor sector as the disk keeps it.
    void ReadSector(std::uint8_t (&data)[512]) const { ReadDescriptorSector(*disk_, data); }
    void WriteSector(const std::uint8_t (&data)[512]) { WriteDescriptorSector(*disk_, data); }
    // The hint the disk holds, as ASCII; "<none>" when the chain has no ninth descriptor.
    std::string StoredHint() const {
        std::uint8_t sector[512];
        ReadSector(sector);
        kt4790::DescriptorRef hint;
        if (!kt4790::WalkDescriptorChain(sector, kt4790::kHintDescriptorIndex, hint)) return "<none>";
        std::string text;
        for (unsigned i = 2; i + 1 < hint.length; i += 2) {
            EXPECT_EQ(sector[hint.offset + i + 1], 0);
            text.push_back(static_cast<char>(sector[hint.offset + i]));
        }
        return text;
    }

    std::shared_ptr<emulator::Controller> disk_;
};

// =============================================================================
// Check password
// =============================================================================

class CheckPasswordTest : public DialogTest {
protected:
    void Check(const std::string& password) {
        ASSERT_TRUE(userType(ChkPwdForm->edtPwd, password)) << lastRefusal();
        ASSERT_TRUE(userClick(ChkPwdForm->btnOk)) << lastRefusal();
    }
};

TEST_F(CheckPasswordTest, ACorrectPasswordClosesTheDialogAndEnablesTheButtons) {
    // Eight characters: the disk accepts only a block with the length in
    // byte 0 and exactly that text after it.
    Add("12345678");
    Start();
    Open(ChkPwdForm);
    EXPECT_TRUE(ChkPwdForm->edtPwd->Focused());
    Check("12345678");

    EXPECT_EQ(Boxes(), std::vector<Box>{kCorrectBox});
    EXPECT_FALSE(ChkPwdForm->Visible());
    ExpectFunctionButtons(true);
    EXPECT_EQ(ChkPwdFailCount, 0);
    EXPECT_EQ(Count(kCheckPwd), 1);
    EXPECT_EQ(Count(kChangePwd) + Count(kSetEString), 0);
    ExpectNothingLeftOpen();
}

TEST_F(CheckPasswordTest, AnEmptyEditChecksAnEmptyPassword) {
    Add("");
    Start();
    Open(ChkPwdForm);
    ASSERT_TRUE(userClick(ChkPwdForm->btnOk));
    EXPECT_EQ(Boxes(), std::vector<Box>{kCorrectBox});
}

TEST_F(CheckPasswordTest, WrongPasswordsChooseTheMessageButNeverCloseTheDialog) {
    Add("right");
    Start();
    Open(ChkPwdForm);
    Check("wrong");
    EXPECT_EQ(ChkPwdForm->edtPwd->Text(), "");
    EXPECT_EQ(ChkPwdFailCount, 1);
    Check("RIGHT");
    Check("wrong");
    // The device refuses from now on, until replugged; the dialog goes on asking.
    Check("right");
    EXPECT_EQ(Boxes(), (std::vector<Box>{kIncorrectBox, kIncorrectBox, Warning(kStopped), Warning(kStopped)}));
    EXPECT_EQ(ChkPwdFailCount, 4);
    EXPECT_TRUE(ChkPwdForm->Visible());
    ExpectFunctionButtons(false);
    EXPECT_EQ(Count(kCheckPwd), 4);
    ExpectNothingLeftOpen();
}

TEST_F(CheckPasswordTest, ACorrectPasswordOrShowingTheDialogAgainStartsTheCountAgain) {
    Add("right");
    Start();
    Open(ChkPwdForm);
    Check("wrong");
    Check("wrong");
    Check("right");
    EXPECT_EQ(ChkPwdFailCount, 0);

    JUtilityForm->DisableAllButtons();
    Open(ChkPwdForm);
    World().ClearMessageBoxes();
    Check("wrong");
    Check("wrong");
    ASSERT_TRUE(userClick(ChkPwdForm->btnCancel));
    EXPECT_FALSE(ChkPwdForm->Visible());
    ExpectFunctionButtons(true);

    // The edit is cleared on showing, whatever it held.
    ChkPwdForm->edtPwd->SetText("left over");
    Open(ChkPwdForm);
    EXPECT_EQ(ChkPwdFailCount, 0);
    EXPECT_EQ(ChkPwdForm->edtPwd->Text(), "");
    Check("wrong");
    EXPECT_EQ(Boxes(), (std::vector<Box>{kIncorrectBox, kIncorrectBox, kIncorrectBox}));
}

TEST_F(CheckPasswordTest, EnterChecksLikeOk) {
    Add("secret");
    Start();
    Open(ChkPwdForm);
    ASSERT_TRUE(userType(ChkPwdForm->edtPwd, "nope\r")) << lastRefusal();
    EXPECT_EQ(Boxes(), std::vector<Box>{kIncorrectBox});
    EXPECT_EQ(ChkPwdForm->edtPwd->Text(), "");
    // The keys after a correct Enter go nowhere: the dialog is hidden.
    EXPECT_FALSE(userType(ChkPwdForm->edtPwd, "secret\rmore"));
    EXPECT_EQ(Boxes(), (std::vector<Box>{kIncorrectBox, kCorrectBox}));
    EXPECT_FALSE(ChkPwdForm->Visible());
    EXPECT_EQ(Count(kCheckPwd), 2);
}

TEST_F(CheckPasswordTest, TheCloseBoxEnablesTheButtons) {
    Add("secret");
    Start();
    Open(ChkPwdForm);
    ASSERT_TRUE(userCloseBox(ChkPwdForm)) << lastRefusal();
    EXPECT_FALSE(ChkPwdForm->Visible());
    ExpectFunctionButtons(true);
    EXPECT_TRUE(Boxes().empty());
    EXPECT_TRUE(disk_->trace().empty());
}

TEST_F(CheckPasswordTest, HintShowsTheHintOfTheDialogsDevice) {
    Add("secret", u"my pet");
    Start();
    Open(ChkPwdForm);
    ASSERT_TRUE(userClick(ChkPwdForm->btnHint)) << lastRefusal();
    EXPECT_EQ(Boxes(), (std::vector<Box>{{"Hint:my pet", "Password Hint", MB_OK}}));
    EXPECT_TRUE(ChkPwdForm->Visible());
    EXPECT_EQ(Count(kCheckPwd), 0);
    ExpectNothingLeftOpen();
}

TEST_F(CheckPasswordTest, ADeviceThatIsGoneIsNotFoundAndTheEditKeepsItsText) {
    Add("secret");
    Start();
    Open(ChkPwdForm, "OTHER");
    Check("secret");
    EXPECT_EQ(Boxes(), std::vector<Box>{Warning(kCheckNotFound)});
    EXPECT_EQ(ChkPwdForm->edtPwd->Text(), "secret");
    EXPECT_EQ(ChkPwdFailCount, 0);
    EXPECT_TRUE(ChkPwdForm->Visible());
    EXPECT_EQ(Count(kCheckPwd), 0);
    ExpectNothingLeftOpen();
}

class CheckBindingTest : public CheckPasswordTest, public testing::WithParamInterface<const char*> {};

TEST_P(CheckBindingTest, IsReportedAndNothingIsSent) {
    Add("secret");
    Start();
    if (GetParam() == nullptr) {
        World().HideLibrary(kLibrary);
    } else {
        World().HideExport(kLibrary, GetParam());
    }
    Open(ChkPwdForm);
    Check("secret");
    EXPECT_EQ(Boxes(), std::vector<Box>{GetParam() == nullptr ? Error(kLibraryMissing) : Warning(kCheckProcMissing)});
    EXPECT_TRUE(disk_->trace().empty());
    EXPECT_EQ(ChkPwdForm->edtPwd->Text(), "secret");
    EXPECT_TRUE(ChkPwdForm->Visible());
    ExpectFunctionButtons(false);
    ExpectNothingLeftOpen();
}

INSTANTIATE_TEST_SUITE_P(LibraryFinderCheckPwd, CheckBindingTest, testing::Values(nullptr, kFinder, "CheckPwd"));

// =============================================================================
// Set password
// =============================================================================

class SetPasswordTest : public DialogTest {
protected:
    void Fill(const std::string& password, const std::string& confirmation, const std::string& hint) {
        ASSERT_TRUE(userType(SetPwdForm->edtPwd, password)) << lastRefusal();
        ASSERT_TRUE(userType(SetPwdForm->edtConfirmPwd, confirmation)) << lastRefusal();
        ASSERT_TRUE(userType(SetPwdForm->edtPwdHint, hint)) << lastRefusal();
    }
    void PressOk() { ASSERT_TRUE(userClick(SetPwdForm->btnOK)) << lastRefusal(); }
};

struct Generation {
    const char* name;
    std::uint8_t chipCode;
    bool largeBlock;
    std::uint32_t descriptorBlock;
};
void PrintTo(const Generation& g, std::ostream* out) { *out << g.name; }
class SetPasswordGenerationTest : public SetPasswordTest, public testing::WithParamInterface<Generation> {};

TEST_P(SetPasswordGenerationTest, WritesTheHintThenSetsThePasswordAndOffersTheBackup) {
    const Generation g = GetParam();
    Add("", u"old hint", g.chipCode, g.largeBlock, g.descriptorBlock);
    Start();
    Open(SetPwdForm);
    Fill("abc", "abc", "New hint 7");
    PressOk();

    EXPECT_EQ(Boxes(), (std::vector<Box>{kConfirmBox, kSetBox}));
    EXPECT_EQ(disk_->config().password, "abc");
    EXPECT_EQ(StoredHint(), "New hint 7");
    EXPECT_EQ(Count(kSetEString), 1);
    EXPECT_EQ(Count(kChangePwd), 1);
    EXPECT_LT(Last(kSetEString), Last(kChangePwd));
    // After its GetChipVersion the dialog asks the media size on chip 0x30 only.
    int mediaSizeAfterChip = 0;
    for (std::size_t i = static_cast<std::size_t>(Last(kGetChipVersion)); i < disk_->trace().size(); ++i) {
        mediaSizeAfterChip += disk_->trace()[i].cdb[0] == kGetMediaSize;
    }
    EXPECT_EQ(mediaSizeAfterChip, g.chipCode == 0x30 ? 1 : 0);
    EXPECT_FALSE(SetPwdForm->Visible());
    EXPECT_TRUE(JSaveDialogForm->Visible());
    EXPECT_EQ(JSaveDialogForm->NewPassword, "abc");
    // The backup dialog enables them when it goes away.
    ExpectFunctionButtons(false);
    ExpectNothingLeftOpen();
}

INSTANTIATE_TEST_SUITE_P(Chips, SetPasswordGenerationTest,
                         testing::Values(Generation{"Chip13", 0x13, false, 0}, Generation{"Chip30", 0x30, false, 3},
                                         Generation{"Chip30LargeBlock", 0x30, true, 32}),
                         [](const testing::TestParamInfo<Generation>& p) { return std::string(p.param.name); });

TEST_F(SetPasswordTest, AnEmptyPasswordAndHintAreSentAsEmpty) {
    Add("", u"old");
    Start();
    Open(SetPwdForm);
    PressOk();
    EXPECT_EQ(Boxes(), (std::vector<Box>{kConfirmBox, kSetBox}));
    EXPECT_EQ(disk_->config().password, "");
    EXPECT_EQ(StoredHint(), "");
    EXPECT_EQ(JSaveDialogForm->NewPassword, "");
}

TEST_F(SetPasswordTest, CancelInTheQuestionChangesNothing) {
    Add();
    Start();
    Open(SetPwdForm);
    Fill("abc", "abc", "hint");
    World().ScriptMessageBoxAnswer(IDCANCEL);
    PressOk();
    EXPECT_EQ(Boxes().size(), 1u);
    EXPECT_TRUE(disk_->trace().empty());
    EXPECT_TRUE(SetPwdForm->Visible());
    EXPECT_EQ(SetPwdForm->edtPwd->Text(), "abc");
    ExpectNothingLeftOpen();
}

TEST_F(SetPasswordTest, PasswordsDifferingInCaseClearOnlyThePasswordEdits) {
    Add();
    Start();
    Open(SetPwdForm);
    Fill("abc", "ABC", "hint");
    PressOk();
    EXPECT_EQ(Boxes(), (std::vector<Box>{kConfirmBox, kMismatchBox}));
    EXPECT_EQ(SetPwdForm->edtPwd->Text(), "");
    EXPECT_EQ(SetPwdForm->edtConfirmPwd->Text(), "");
    EXPECT_EQ(SetPwdForm->edtPwdHint->Text(), "hint");
    EXPECT_TRUE(SetPwdForm->Visible());
    EXPECT_TRUE(disk_->trace().empty());
    ExpectNothingLeftOpen();

    // Showing the dialog again clears the hint too.
    SetPwdForm->SetVisible(false);
    Open(SetPwdForm);
    EXPECT_EQ(SetPwdForm->edtPwdHint->Text(), "");
}

TEST_F(SetPasswordTest, HintKeysOtherThanLettersDigitsAndBlanksAreDroppedWithAWarning) {
    Add();
    Start();
    Open(SetPwdForm);
    ASSERT_TRUE(userType(SetPwdForm->edtPwdHint, "a1 Z!x\r-y\bq\x7f")) << lastRefusal();
    // Backspace took the y; DEL passes the filter and is not inserted by the edit.
    EXPECT_EQ(SetPwdForm->edtPwdHint->Text(), "a1 Zxq");
    EXPECT_EQ(Boxes(), (std::vector<Box>{kHintKeyBox, kHintKeyBox, kHintKeyBox}));
    // The password edits take any key.
    ASSERT_TRUE(userType(SetPwdForm->edtPwd, "!-*"));
    EXPECT_EQ(SetPwdForm->edtPwd->Text(), "!-*");
    EXPECT_EQ(Boxes().size(), 3u);
}

TEST_F(SetPasswordTest, ARefusedPasswordCommandLeavesTheNewHintAndClosesTheDialog) {
    // A disk that has a password refuses a block whose byte 0 is 0.
    Add("set", u"old");
    Start();
    Open(SetPwdForm);
    Fill("new", "new", "new hint");
    PressOk();
    EXPECT_EQ(Boxes(), (std::vector<Box>{kConfirmBox, Warning(kSetFailed)}));
    EXPECT_EQ(disk_->config().password, "set");
    EXPECT_EQ(StoredHint(), "new hint");
    EXPECT_FALSE(SetPwdForm->Visible());
    EXPECT_FALSE(JSaveDialogForm->Visible());
    ExpectFunctionButtons(true);
    ExpectNothingLeftOpen();
}

TEST_F(SetPasswordTest, AFailedHintWriteSendsNoPasswordCommand) {
    Add("", u"old");
    Start();
    emulator::Fault fault;
    fault.kind = emulator::FaultKind::CheckCondition;
    fault.opcode = kSetEString;
    disk_->InjectFault(fault);
    Open(SetPwdForm);
    Fill("abc", "abc", "new");
    PressOk();
    EXPECT_EQ(Boxes(), (std::vector<Box>{kConfirmBox, kNotFoundBox}));
    EXPECT_EQ(Count(kChangePwd), 0);
    EXPECT_EQ(disk_->config().password, "");
    EXPECT_EQ(StoredHint(), "old");
    EXPECT_TRUE(SetPwdForm->Visible());
    ExpectFunctionButtons(false);
    ExpectNothingLeftOpen();
}

TEST_F(SetPasswordTest, ThirtyTwoCharacterHintMovesTheLaterDescriptorsAndKeepsTheTail) {
    Add("", u"old");
    // A tenth descriptor after the hint, and marks in bytes 493-511.
    std::uint8_t sector[512];
    ReadSector(sector);
    kt4790::DescriptorRef hint;
    ASSERT_TRUE(kt4790::WalkDescriptorChain(sector, kt4790::kHintDescriptorIndex, hint));
    const std::size_t tenth = hint.offset + hint.length;
    const std::uint8_t extra[] = {6, 0x21, 0xA1, 0xA2, 0xA3, 0xA4};
    std::memcpy(sector + tenth, extra, sizeof extra);
    sector[tenth + sizeof extra] = 0;
    for (std::size_t i = 493; i < 512; ++i) sector[i] = static_cast<std::uint8_t>(i);
    WriteSector(sector);
    Start();

    const std::string text = "ABCDEFGHIJKLMNOPQRSTUVWXYZ 01234";
    ASSERT_EQ(text.size(), 32u);
    Open(SetPwdForm);
    Fill("pw", "pw", text);
    PressOk();
    ASSERT_EQ(Boxes(), (std::vector<Box>{kConfirmBox, kSetBox}));

    std::uint8_t after[512];
    ReadSector(after);
    EXPECT_EQ(0, std::memcmp(after, sector, hint.offset));  // header and the eight descriptors before
    EXPECT_EQ(after[hint.offset], 66);
    EXPECT_EQ(after[hint.offset + 1], 3);
    EXPECT_EQ(StoredHint(), text);
    EXPECT_EQ(0, std::memcmp(after + hint.offset + 66, extra, sizeof extra));
    for (std::size_t i = hint.offset + 66 + sizeof extra; i < 493; ++i) EXPECT_EQ(after[i], 0) << i;
    for (std::size_t i = 493; i < 512; ++i) EXPECT_EQ(after[i], static_cast<std::uint8_t>(i)) << i;
}

// A sector whose chain cannot take the new hint is not written, and no
// password is set: `tail` is put after the hint descriptor.
class UnfitChainTest : public SetPasswordTest, public testing::WithParamInterface<std::vector<std::uint8_t>> {};

TEST_P(UnfitChainTest, IsNotWrittenAndNoPasswordIsSet) {
    Add("", u"old");
    std::uint8_t sector[512];
    ReadSector(sector);
    kt4790::DescriptorRef hint;
    ASSERT_TRUE(kt4790::WalkDescriptorChain(sector, kt4790::kHintDescriptorIndex, hint));
    const std::vector<std::uint8_t>& tail = GetParam();
    ASSERT_LE(hint.offset + hint.length + tail.size(), 493u);
    std::memcpy(sector + hint.offset + hint.length, tail.data(), tail.size());
    WriteSector(sector);
    Start();
    Open(SetPwdForm);
    Fill("abc", "abc", "ABCDEFGHIJKLMNOPQRSTUVWXYZ 01234");
    PressOk();
    EXPECT_EQ(Boxes(), (std::vector<Box>{kConfirmBox, kNotFoundBox}));
    EXPECT_EQ(Count(kSetEString) + Count(kChangePwd), 0);
    std::uint8_t after[512];
    ReadSector(after);
    EXPECT_EQ(0, std::memcmp(after, sector, sizeof sector));
    EXPECT_TRUE(SetPwdForm->Visible());
    ExpectNothingLeftOpen();
}

std::vector<std::uint8_t> LongChain() {
    // Descriptors of 40 bytes up to byte 480 or so: a 32-character hint in
    // place of "old" would push the chain past byte 492.
    std::vector<std::uint8_t> tail;
    for (int i = 0; i < 7; ++i) {
        tail.push_back(40);
        tail.push_back(0x21);
        tail.insert(tail.end(), 38, static_cast<std::uint8_t>(i + 1));
    }
    tail.push_back(0);
    return tail;
}

INSTANTIATE_TEST_SUITE_P(Chains, UnfitChainTest,
                         testing::Values(std::vector<std::uint8_t>{1, 0x21, 0}, LongChain()));

TEST_F(SetPasswordTest, ADescriptorSectorBeyondTheSearchLimitIsNotFound) {
    Add("", u"old", 0x30, false, 33);
    Start();
    Open(SetPwdForm);
    Fill("abc", "abc", "new");
    PressOk();
    EXPECT_EQ(Boxes(), (std::vector<Box>{kConfirmBox, kNotFoundBox}));
    EXPECT_EQ(Count(kSetEString) + Count(kChangePwd), 0);
    EXPECT_TRUE(SetPwdForm->Visible());
    ExpectNothingLeftOpen();
}

TEST_F(SetPasswordTest, CancelAndTheCloseBoxEnableTheButtons) {
    Add();
    Start();
    Open(SetPwdForm);
    ASSERT_TRUE(userClick(SetPwdForm->btnCANCEL));
    EXPECT_FALSE(SetPwdForm->Visible());
    ExpectFunctionButtons(true);

    JUtilityForm->DisableAllButtons();
    Open(SetPwdForm);
    ASSERT_TRUE(userCloseBox(SetPwdForm));
    EXPECT_FALSE(SetPwdForm->Visible());
    ExpectFunctionButtons(true);
    EXPECT_TRUE(Boxes().empty());
    EXPECT_TRUE(disk_->trace().empty());
}

TEST_F(SetPasswordTest, ADeviceThatIsGoneIsNotFound) {
    Add();
    Start();
    Open(SetPwdForm, "OTHER");
    Fill("abc", "abc", "");
    PressOk();
    EXPECT_EQ(Boxes(), (std::vector<Box>{kConfirmBox, Warning(kSetNotFound)}));
    EXPECT_EQ(Count(kSetEString) + Count(kChangePwd), 0);
    EXPECT_TRUE(SetPwdForm->Visible());
    ExpectNothingLeftOpen();
}

class SetBindingTest : public SetPasswordTest, public testing::WithParamInterface<const char*> {};

TEST_P(SetBindingTest, IsReportedAndNothingIsSent) {
    Add();
    Start();
    if (GetParam() == nullptr) {
        World().HideLibrary(kLibrary);
    } else {
        World().HideExport(kLibrary, GetParam());
    }
    Open(SetPwdForm);
    Fill("abc", "abc", "");
    PressOk();
    EXPECT_EQ(Boxes(),
              (std::vector<Box>{kConfirmBox, GetParam() == nullptr ? Error(kLibraryMissing) : Warning(kSetProcMissing)}));
    EXPECT_TRUE(disk_->trace().empty());
    EXPECT_TRUE(SetPwdForm->Visible());
    ExpectNothingLeftOpen();
}

INSTANTIATE_TEST_SUITE_P(LibraryAndProcedures, SetBindingTest,
                         testing::Values(nullptr, kFinder, "ChangePwd", "GetChipVersion", "SetEString", "GetMediaSize",
                                         "VSCReadSector"));

}  // namespace
}  // namespace apptest
