// The format and partition password gates, opened as the utility window
// opens them (members given, gate shown, function buttons disabled) and
// driven as a person would, over emulated disks through the real device
// library of the build: what is shown, which dialog follows with which
// members, and that nothing stays loaded or open.
#include "app_test.h"

#include "app/Fchkpwd.h"
#include "app/Jutility.h"
#include "app/Main.h"
#include "app/Pchkpwd.h"
#include "format/Dformat.h"
#include "format/Partition.h"
#include "format/Sformat.h"

namespace apptest {
namespace {

using vcl::headless::keyboardFocus;
using vcl::headless::lastRefusal;
using vcl::headless::userClick;
using vcl::headless::userCloseBox;
using vcl::headless::userKeys;
using vcl::headless::userType;

#ifdef KT4790_ASPI
constexpr const char* kLibraryMissing = "Can't load the KT4790mDLL.";
constexpr const char* kFinder = "GetDeviceID";
constexpr const char* kCorrect = "Password Correct!";
constexpr const char* kPartitionIncorrect = "Password Incorrect.";
#else
constexpr const char* kLibraryMissing = "Can't load the KT4790DLL.";
constexpr const char* kFinder = "GetHandle";
constexpr const char* kCorrect = "Password Correct.";
constexpr const char* kPartitionIncorrect = "Password Incorrect!";
#endif

constexpr std::uint8_t kCheckPwd = 0xF0;
const Box kCorrectBox{kCorrect, "OK", MB_OK};
const Box kLoadFailedWarning = Warning("Load library failed!");
const Box kLoadFailedError = Error("Load library failed!");

enum class GateKind { Format, Partition };
void PrintTo(GateKind kind, std::ostream* out) { *out << (kind == GateKind::Format ? "Format" : "Partition"); }

// A gate's form and controls, once the program has made them.
struct GateForm {
    vcl::TForm* form;
    vcl::TEdit* edtPasswd;
    vcl::TButton* btnOK;
    vcl::TButton* hint;
    vcl::TButton* btnCANCEL;
};

GateForm FormOf(GateKind kind) {
    if (kind == GateKind::Partition) {
        TJPartitionChkPwdForm* g = JPartitionChkPwdForm;
        return {g, g->edtPasswd, g->btnOK, g->btnHint, g->btnCANCEL};
    }
    TJFormatChkPwdForm* g = JFormatChkPwdForm;
#ifdef KT4790_ASPI
    return {g, g->edtPasswd, g->btnOK, g->btnHint, g->btnCANCEL};
#else
    return {g, g->edtPasswd, g->btnOK, g->btnHINT, g->btnCANCEL};
#endif
}

Box IncorrectBox(GateKind kind) {
    return Warning(kind == GateKind::Format ? "Password Incorrect!" : kPartitionIncorrect);
}

class GateTest : public AppTest {
protected:
    // A disk named "DISK" of one small-block zone: 1000 logical blocks.
    void Add(const std::string& password, const std::u16string& hint = u"") {
        emulator::Config config;
        config.deviceName = u"DISK";
        config.password = password;
        config.hint = hint;
        disk_ = std::make_shared<emulator::Controller>(config);
        World().AddDevice(disk_);
    }

    // The utility window shown; what start-up showed and sent is cleared.
    void Start() {
        ASSERT_EQ(AppMain(), 0);
        MainForm->SetVisible(false);
        JUtilityForm->SetVisible(true);
        World().ClearMessageBoxes();
        if (disk_) disk_->ClearTrace();
    }

    // As the opener does: the gate's members, the gate shown, the
    // function buttons disabled. The partition dialog has its ZoneCount.
    static void Open(GateKind kind, const std::string& deviceName = "DISK", std::uint16_t partitionWord = 0,
                     std::uint16_t totalBlocks = 1000) {
        if (kind == GateKind::Format) {
            JFormatChkPwdForm->DeviceName = deviceName;
            JFormatChkPwdForm->PartitionWord = partitionWord;
            JFormatChkPwdForm->TotalBlocks = totalBlocks;
        } else {
            PartitionForm->ZoneCount = 1;
            JPartitionChkPwdForm->DeviceName = deviceName;
        }
        FormOf(kind).form->SetVisible(true);
        JUtilityForm->DisableAllButtons();
    }

    static void Enter(GateKind kind, const std::string& password) {
        ASSERT_TRUE(userType(FormOf(kind).edtPasswd, password)) << lastRefusal();
        ASSERT_TRUE(userClick(FormOf(kind).btnOK)) << lastRefusal();
    }

    static void ExpectUtilityWindow(bool buttonsEnabled) {
        EXPECT_TRUE(JUtilityForm->Enabled());
        for (vcl::TButton* b : {JUtilityForm->btnChangDevName, JUtilityForm->btnChangPwd, JUtilityForm->btnClearPwd,
                                JUtilityForm->btnFormat, JUtilityForm->btnSetNChkPwd, JUtilityForm->btnPartition,
                                JUtilityForm->btnCopyFile}) {
            EXPECT_EQ(b->Enabled(), buttonsEnabled) << b->Name();
        }
    }

    // No dialog behind the gates has been shown.
    static void ExpectNoDialogBehind() {
        EXPECT_FALSE(JSFormatForm->Visible());
        EXPECT_FALSE(JDFormatForm->Visible());
        EXPECT_FALSE(PartitionForm->Visible());
    }

    static void ExpectNothingLeftOpen() {
        EXPECT_EQ(World().LoadedLibraryCount(), 0);
        EXPECT_EQ(HandlesBesidesTheMutex(), 0);
    }

    int CheckPwdCount() const {
        int count = 0;
        for (const emulator::CommandRecord& r : disk_->trace()) count += r.cdb[0] == kCheckPwd;
        return count;
    }

    std::shared_ptr<emulator::Controller> disk_;
};

// =============================================================================
// What both gates do alike
// =============================================================================

class BothGatesTest : public GateTest, public testing::WithParamInterface<GateKind> {};

TEST_P(BothGatesTest, RefusalsHaveNoLimitEmptyTheEditAndKeepTheGateOpen) {
    const GateKind kind = GetParam();
    Add("right");
    Start();
    Open(kind);
    EXPECT_TRUE(FormOf(kind).edtPasswd->Focused());
    // The format gate frees the library before it answers, the partition
    // gate after.
    std::vector<int> librariesAtBox;
    World().SetMessageBoxHook([&](const winsim::MessageBoxCall&) { librariesAtBox.push_back(World().LoadedLibraryCount()); });
    // The disk stops after the third wrong password; the gate goes on asking.
    for (const char* entry : {"wrong", "RIGHT", "x", "right"}) {
        Enter(kind, entry);
        EXPECT_EQ(FormOf(kind).edtPasswd->Text(), "") << entry;
    }
    World().SetMessageBoxHook(nullptr);

    EXPECT_EQ(Boxes(), std::vector<Box>(4, IncorrectBox(kind)));
    EXPECT_EQ(librariesAtBox, std::vector<int>(4, kind == GateKind::Format ? 0 : 1));
    EXPECT_EQ(CheckPwdCount(), 4);
    EXPECT_TRUE(FormOf(kind).form->Visible());
    ExpectNoDialogBehind();
    ExpectUtilityWindow(false);
    ExpectNothingLeftOpen();
}

TEST_P(BothGatesTest, EnterActsAsOk) {
    const GateKind kind = GetParam();
    Add("secret");
    Start();
    Open(kind);
    ASSERT_TRUE(userType(FormOf(kind).edtPasswd, "nope\r")) << lastRefusal();
    EXPECT_EQ(FormOf(kind).edtPasswd->Text(), "");
    // The keys after an accepted Enter go nowhere: the gate is hidden.
    EXPECT_FALSE(userType(FormOf(kind).edtPasswd, "secret\rmore"));
    EXPECT_EQ(Boxes(), (std::vector<Box>{IncorrectBox(kind), kCorrectBox}));
    EXPECT_EQ(CheckPwdCount(), 2);
    EXPECT_FALSE(FormOf(kind).form->Visible());
    EXPECT_TRUE(kind == GateKind::Format ? JSFormatForm->Visible() : PartitionForm->Visible());
    ExpectNothingLeftOpen();
}

TEST_P(BothGatesTest, AnEmptyEditSendsCheckPwdWithLengthZero) {
    // The disk accepts only a block with byte 0 = 0 when it has no password.
    const GateKind kind = GetParam();
    Add("");
    Start();
    Open(kind);
    ASSERT_TRUE(userClick(FormOf(kind).btnOK)) << lastRefusal();
    EXPECT_EQ(Boxes(), std::vector<Box>{kCorrectBox});
    EXPECT_EQ(CheckPwdCount(), 1);
    EXPECT_FALSE(FormOf(kind).form->Visible());
    ExpectNothingLeftOpen();
}

TEST_P(BothGatesTest, CancelAndTheCloseBoxEnableTheUtilityWindowAndItsButtons) {
    const GateKind kind = GetParam();
    Add("secret");
    Start();
    for (const bool closeBox : {false, true}) {
        JUtilityForm->SetEnabled(false);
        Open(kind);
        ASSERT_TRUE(userType(FormOf(kind).edtPasswd, "sec")) << lastRefusal();
        ASSERT_TRUE(closeBox ? userCloseBox(FormOf(kind).form) : userClick(FormOf(kind).btnCANCEL)) << lastRefusal();
        EXPECT_FALSE(FormOf(kind).form->Visible()) << closeBox;
        ExpectUtilityWindow(true);
    }
    // Showing the gate again empties the edit.
    Open(kind);
    EXPECT_EQ(FormOf(kind).edtPasswd->Text(), "");
    EXPECT_TRUE(Boxes().empty());
    EXPECT_TRUE(disk_->trace().empty());
    ExpectNoDialogBehind();
}

TEST_P(BothGatesTest, HintShowsTheHintOfTheGatesDevice) {
    const GateKind kind = GetParam();
    Add("secret", u"my pet");
    Start();
    Open(kind);
    ASSERT_TRUE(userClick(FormOf(kind).hint)) << lastRefusal();
    EXPECT_EQ(Boxes(), (std::vector<Box>{{"Hint:my pet", "Password Hint", MB_OK}}));
    EXPECT_TRUE(FormOf(kind).form->Visible());
    EXPECT_EQ(CheckPwdCount(), 0);
    ExpectNothingLeftOpen();
}

TEST_P(BothGatesTest, ADeviceThatIsGoneIsNotFoundAndTheEditKeepsItsText) {
    const GateKind kind = GetParam();
    Add("secret");
    Start();
    Open(kind, "OTHER");
    Enter(kind, "secret");
    EXPECT_EQ(Boxes(), std::vector<Box>{Warning("Can't find the device, please check the device!")});
    EXPECT_EQ(FormOf(kind).edtPasswd->Text(), "secret");
    EXPECT_EQ(CheckPwdCount(), 0);
    EXPECT_TRUE(FormOf(kind).form->Visible());
    ExpectUtilityWindow(false);
    ExpectNothingLeftOpen();
}

INSTANTIATE_TEST_SUITE_P(Gates, BothGatesTest, testing::Values(GateKind::Format, GateKind::Partition),
                         [](const testing::TestParamInfo<GateKind>& p) {
                             return p.param == GateKind::Format ? "Format" : "Partition";
                         });

// A library that cannot be loaded (missing null) or lacks one procedure.
struct BindingCase {
    GateKind kind;
    const char* missing;
    Box box;
};
void PrintTo(const BindingCase& c, std::ostream* out) {
    PrintTo(c.kind, out);
    *out << " without " << (c.missing == nullptr ? "library" : c.missing);
}

class GateBindingTest : public GateTest, public testing::WithParamInterface<BindingCase> {};

TEST_P(GateBindingTest, IsReportedBeforeAnythingIsSentAndTheGateStays) {
    const BindingCase& c = GetParam();
    Add("secret");
    Start();
    if (c.missing == nullptr) {
        World().HideLibrary(kLibrary);
    } else {
        World().HideExport(kLibrary, c.missing);
    }
    Open(c.kind);
    Enter(c.kind, "secret");
    EXPECT_EQ(Boxes(), std::vector<Box>{c.box});
    EXPECT_TRUE(disk_->trace().empty());
    EXPECT_EQ(FormOf(c.kind).edtPasswd->Text(), "secret");
    EXPECT_TRUE(FormOf(c.kind).form->Visible());
    ExpectNoDialogBehind();
    ExpectNothingLeftOpen();
}

INSTANTIATE_TEST_SUITE_P(
    LibraryAndProcedures, GateBindingTest,
    testing::Values(BindingCase{GateKind::Format, nullptr, Error(kLibraryMissing)},
                    BindingCase{GateKind::Format, kFinder, kLoadFailedWarning},
                    BindingCase{GateKind::Format, "CheckPwd", kLoadFailedWarning},
                    BindingCase{GateKind::Format, "GetMediaSize", kLoadFailedError},
                    BindingCase{GateKind::Format, "VSCReadSector", kLoadFailedError},
                    BindingCase{GateKind::Partition, nullptr, Error(kLibraryMissing)},
                    BindingCase{GateKind::Partition, kFinder, kLoadFailedWarning},
                    BindingCase{GateKind::Partition, "CheckPwd", kLoadFailedWarning}));

// Where a message box interrupts the typing: at a gate (a wrong password
// and Enter), or in the partition dialog's size field (a letter). The keys
// typed straight after it, without a click, must reach the same field.
struct TypingCase {
    const char* where;
    GateKind gate;
    bool sizeField;  // past the partition gate, in the partition dialog
    const char* typed;
    const char* next;
    std::vector<Box> boxes;
    const char* textAfter;
};
void PrintTo(const TypingCase& c, std::ostream* out) { *out << c.where; }

class TypingAfterABoxTest : public GateTest, public testing::WithParamInterface<TypingCase> {};

TEST_P(TypingAfterABoxTest, TheKeysTypedNextReachTheField) {
    const TypingCase& c = GetParam();
    Add("secret");
    Start();
    Open(c.gate);
    vcl::TEdit* field = FormOf(c.gate).edtPasswd;
    if (c.sizeField) {
        Enter(c.gate, "secret");
        ASSERT_TRUE(PartitionForm->Visible());
        World().ClearMessageBoxes();
        field = PartitionForm->edtSEQ;
    }
    ASSERT_TRUE(userType(field, c.typed)) << lastRefusal();
    EXPECT_EQ(Boxes(), std::vector<Box>{c.boxes.front()});
    EXPECT_EQ(keyboardFocus(), field);
    EXPECT_TRUE(userKeys(c.next)) << lastRefusal();
    EXPECT_EQ(Boxes(), c.boxes);
    EXPECT_EQ(field->Text(), c.textAfter);
    ExpectNothingLeftOpen();
}

const Box kNumericOnly = Warning("Please only enter numeric value!");

INSTANTIATE_TEST_SUITE_P(
    GatesAndSizeField, TypingAfterABoxTest,
    testing::Values(TypingCase{"FormatGate", GateKind::Format, false, "wrong\r", "secret\r",
                               {IncorrectBox(GateKind::Format), kCorrectBox}, ""},
                    TypingCase{"PartitionGate", GateKind::Partition, false, "wrong\r", "secret\r",
                               {IncorrectBox(GateKind::Partition), kCorrectBox}, ""},
                    TypingCase{"PartitionSizeField", GateKind::Partition, true, "a", "5", {kNumericOnly}, "5"}),
    [](const testing::TestParamInfo<TypingCase>& p) { return std::string(p.param.where); });

// =============================================================================
// The dialog each gate opens
// =============================================================================

// PartitionWord and TotalBlocks as the opener gives them, and whether the
// two-area dialog follows.
struct Choice {
    std::uint16_t partitionWord;
    std::uint16_t totalBlocks;
    bool twoAreas;
};
void PrintTo(const Choice& c, std::ostream* out) { *out << c.partitionWord << " of " << c.totalBlocks; }

class FormatChoiceTest : public GateTest, public testing::WithParamInterface<Choice> {};

TEST_P(FormatChoiceTest, OpensTheDialogOfTheAreasWithTheGatesDevice) {
    const Choice& c = GetParam();
    Add("secret");
    Start();
    // Both dialogs were last opened for another device.
    JSFormatForm->DeviceName = "OLD";
    JDFormatForm->DeviceName = "OLD";
    std::vector<std::string> namesAtShow;
    for (auto* dialog : {static_cast<vcl::TForm*>(JSFormatForm), static_cast<vcl::TForm*>(JDFormatForm)}) {
        dialog->OnShow = [dialog, own = dialog->OnShow, &namesAtShow](vcl::TObject* sender) {
            namesAtShow.push_back(dialog == JSFormatForm ? JSFormatForm->DeviceName : JDFormatForm->DeviceName);
            if (own) own(sender);
        };
    }
    // The answer comes while the gate is still up.
    World().SetMessageBoxHook([](const winsim::MessageBoxCall&) { EXPECT_TRUE(JFormatChkPwdForm->Visible()); });
    Open(GateKind::Format, "disk", c.partitionWord, c.totalBlocks);
    Enter(GateKind::Format, "secret");
    World().SetMessageBoxHook(nullptr);

    EXPECT_EQ(Boxes(), std::vector<Box>{kCorrectBox});
    EXPECT_EQ(JFormatChkPwdForm->edtPasswd->Text(), "");
    EXPECT_FALSE(JFormatChkPwdForm->Visible());
    EXPECT_EQ(JDFormatForm->Visible(), c.twoAreas);
    EXPECT_EQ(JSFormatForm->Visible(), !c.twoAreas);
    EXPECT_EQ(namesAtShow, std::vector<std::string>{"disk"});
    // The other dialog is left as it was.
    EXPECT_EQ(c.twoAreas ? JSFormatForm->DeviceName : JDFormatForm->DeviceName, "OLD");
    // The format dialog enables them when it closes.
    ExpectUtilityWindow(false);
    EXPECT_EQ(CheckPwdCount(), 1);
    ExpectNothingLeftOpen();
}

INSTANTIATE_TEST_SUITE_P(Areas, FormatChoiceTest,
                         testing::Values(Choice{0, 1000, false},      // all security area
                                         Choice{1000, 1000, false},   // all standard area
                                         Choice{464, 464, false},     // 66 zones: 66,000 kept in 16 bits
                                         Choice{500, 1000, true},     // both areas
                                         Choice{1000, 464, true},     // not equal in 16 bits
                                         Choice{65535, 1000, true}));

TEST_F(GateTest, ThePartitionGateHandsItsDeviceToThePartitionDialogWithAPassword) {
    Add("secret");
    Start();
    // The partition dialog was last opened directly, for another device.
    PartitionForm->DeviceName = "OLD";
    PartitionForm->PasswordExists = 0;
    std::string nameAtShow;
    int passwordExistsAtShow = -1;
    PartitionForm->OnShow = [own = PartitionForm->OnShow, &nameAtShow, &passwordExistsAtShow](vcl::TObject* sender) {
        nameAtShow = PartitionForm->DeviceName;
        passwordExistsAtShow = PartitionForm->PasswordExists;
        if (own) own(sender);
    };
    Open(GateKind::Partition, "disk");
    Enter(GateKind::Partition, "secret");

    EXPECT_EQ(Boxes(), std::vector<Box>{kCorrectBox});
    EXPECT_FALSE(JPartitionChkPwdForm->Visible());
    EXPECT_TRUE(PartitionForm->Visible());
    EXPECT_EQ(nameAtShow, "disk");
    EXPECT_EQ(passwordExistsAtShow, 1);
    EXPECT_EQ(PartitionForm->ZoneCount, 1);
    EXPECT_FALSE(JSFormatForm->Visible() || JDFormatForm->Visible());
    // The partition dialog enables them when it closes.
    ExpectUtilityWindow(false);
    ExpectNothingLeftOpen();
}

// The partition gate's edit takes any length; a password has at most 8
// characters. Longer entries are answered as wrong without reaching the
// disk, so they neither pass for the password nor bring the disk's lock
// nearer, and no entry is written past the block's current-password field.
TEST_F(GateTest, ThePartitionGateRefusesEntriesLongerThanAPasswordWithoutSendingThem) {
    Add("secret12");
    Start();
    Open(GateKind::Partition);
    for (const std::string& entry : {std::string("secret12X"), std::string(300, 'a'), std::string("secret12secret12")}) {
        Enter(GateKind::Partition, entry);
        EXPECT_EQ(JPartitionChkPwdForm->edtPasswd->Text(), "");
    }
    EXPECT_EQ(Boxes(), std::vector<Box>(3, IncorrectBox(GateKind::Partition)));
    EXPECT_EQ(CheckPwdCount(), 0);
    EXPECT_TRUE(JPartitionChkPwdForm->Visible());
    ExpectNothingLeftOpen();

    // Three refusals, yet the disk is not locked.
    Enter(GateKind::Partition, "secret12");
    EXPECT_EQ(Boxes().back(), kCorrectBox);
    EXPECT_TRUE(PartitionForm->Visible());
    EXPECT_EQ(CheckPwdCount(), 1);
}

}  // namespace
}  // namespace apptest
