// The change-password and clear-password dialogs, opened as the utility
// window opens them (its function buttons disabled, DeviceName given, the
// dialog shown) and driven as a person would, over emulated disks through
// the real device library of the build: what is shown, what the disk holds
// afterwards, and that nothing stays loaded or open.
#include "app_test.h"
#include "trace.h"

#include "app/Chgpwd.h"
#include "app/Clearpwd.h"
#include "app/Jsavedialog.h"
#include "app/Jutility.h"
#include "kt4790/records.h"

namespace apptest {
namespace {

using vcl::headless::lastRefusal;
using vcl::headless::userClick;
using vcl::headless::userCloseBox;
using vcl::headless::userType;

#ifdef KT4790_ASPI
constexpr const char* kLibraryMissing = "Can't load the KT4790mDLL.";
constexpr const char* kFinder = "GetDeviceID";
constexpr const char* kChangeRefused = "Password incorrect! Please reenter the password.";
constexpr const char* kClearRefused = "Password Incorrect! Please reenter the password.";
#else
constexpr const char* kLibraryMissing = "Can't load the KT4790DLL.";
constexpr const char* kFinder = "GetHandle";
constexpr const char* kChangeRefused = "Password Incorrect! Please reenter the password.";
constexpr const char* kClearRefused = "Password incorrect! Please reenter the password.";
#endif

constexpr std::uint8_t kGetChipVersion = 0xC0;
constexpr std::uint8_t kGetMediaSize = 0xC1;
constexpr std::uint8_t kCheckPwd = 0xF0;
constexpr std::uint8_t kChangePwd = 0xF1;
constexpr std::uint8_t kSetEString = 0xF8;

const Box kConfirmBox{"Are you sure you want to change the password? Click OK to change.", "WARNING", MB_OKCANCEL};
const Box kChangedBox{"Password was changed successfully.", "OK", MB_OK};
const Box kClearedBox{"Password was cleared successfully.", "OK", MB_OK};
const Box kMismatchBox = Warning("Password Incorrect! Please reenter the password.");
const Box kNotFoundBox = Warning("Can't find the device, please check the device!");
const Box kHintKeyBox = Warning("Please enter alphabet or numeric!");

const Geometry kGeometries[] = {
    {"Chip13", 0x13, true, 0},
    {"Chip30Small", 0x30, false, 0},
    {"Chip30LargeBlock32", 0x30, true, 32},
};

// What the dialog's hint rewrite sends: the chip code, the media size for
// chip 0x30 only, the bounded search, then SetEString.
std::vector<Sent> HintRewrite(const Geometry& g) {
    std::vector<Sent> sent{Query(kGetChipVersion)};
    if (g.chipCode == 0x13) {
        sent.push_back({kVscRead, 1, 0x80});
    } else {
        sent.push_back(Query(kGetMediaSize));
        const std::uint32_t step = g.largeBlock ? 256 : 32;
        for (std::uint32_t block = 0; block <= g.descriptorBlock; ++block) sent.push_back({kVscRead, block * step + 1, 0x40});
        sent.push_back({kVscRead, g.descriptorBlock * step + 1, 0});
    }
    sent.push_back(Query(kSetEString));
    return sent;
}

class PasswordDialogTest : public AppTest {
protected:
    void AddDisk(const std::string& password, const std::u16string& hint, const Geometry& g = kGeometries[1],
                 bool writeProtected = false) {
        emulator::Config config;
        config.deviceName = u"DISK";
        config.password = password;
        config.hint = hint;
        config.chipCode = g.chipCode;
        config.largeBlock = g.largeBlock;
        config.descriptorBlock = g.descriptorBlock;
        config.writeProtected = writeProtected;
        disk_ = std::make_shared<emulator::Controller>(config);
        World().AddDevice(disk_);
    }

    // Starts the program and opens `dialog` (the form's global, which
    // start-up sets) as the utility window's opener does; what start-up
    // showed and sent is cleared.
    template <class Form>
    void Open(Form*& dialog, const std::string& name) {
        ASSERT_EQ(AppMain(), 0);
        JUtilityForm->DisableAllButtons();
        dialog->DeviceName = name;
        dialog->SetVisible(true);
        World().ClearMessageBoxes();
        if (disk_) disk_->ClearTrace();
    }

    // A new system and program, as each test starts with.
    void Fresh() {
        vcl::headless::resetApplication();
        ClearFormGlobals();
        disk_.reset();
        World().Reset();
        World().SetWindowsVersion(SupportedVersion());
    }

    void Type(vcl::TWinControl* edit, const std::string& keys) { ASSERT_TRUE(userType(edit, keys)) << lastRefusal(); }
    void Click(vcl::TControl* button) { ASSERT_TRUE(userClick(button)) << lastRefusal(); }

    static bool UtilityButtonsEnabled() {
        const bool enabled = JUtilityForm->btnChangPwd->Enabled();
        for (vcl::TButton* button : {JUtilityForm->btnSetNChkPwd, JUtilityForm->btnClearPwd,
                                     JUtilityForm->btnChangDevName, JUtilityForm->btnFormat,
                                     JUtilityForm->btnPartition, JUtilityForm->btnCopyFile}) {
            EXPECT_EQ(button->Enabled(), enabled) << button->Name();
        }
        return enabled;
    }

    // The commands from the dialog's last GetChipVersion on: the search of
    // GetHandle / GetDeviceID comes before it.
    std::vector<Sent> SentFromChipQuery() const {
        const auto& trace = disk_->trace();
        std::size_t start = trace.size();
        for (std::size_t i = 0; i < trace.size(); ++i) {
            if (trace[i].cdb[0] == kGetChipVersion) start = i;
        }
        std::vector<Sent> sent;
        for (std::size_t i = start; i < trace.size(); ++i) {
            const auto& r = trace[i];
            sent.push_back(r.cdb[0] == kVscRead ? Sent{kVscRead, kt4790::ReadBigEndian32(&r.cdb[2]), r.cdb[1]}
                                                : Query(r.cdb[0]));
        }
        return sent;
    }

    int Count(std::uint8_t opcode) const {
        int count = 0;
        for (const emulator::CommandRecord& r : disk_->trace()) count += r.cdb[0] == opcode;
        return count;
    }

    // Whether the disk takes `password` now, asked of the disk itself.
    bool DiskAccepts(const std::string& password) const {
        kt4790::PasswordBlock block;
        block.SetCurrent(password.data(), password.size());
        std::uint8_t cdb[16] = {kCheckPwd};
        return disk_->Execute(cdb, sizeof cdb, emulator::DataDirection::Out, block.bytes, sizeof block.bytes).status ==
               emulator::kStatusGood;
    }

    void ReadSector(std::uint8_t (&data)[512]) const { ReadDescriptorSector(*disk_, data); }
    void WriteSector(const std::uint8_t (&data)[512]) { WriteDescriptorSector(*disk_, data); }

    // The hint the disk holds, as ASCII (one unit per character).
    std::string DiskHint() const {
        std::uint8_t data[512];
        ReadSector(data);
        kt4790::DescriptorRef hint;
        if (!kt4790::WalkDescriptorChain(data, kt4790::kHintDescriptorIndex, hint)) return "<no hint descriptor>";
        std::string text;
        for (std::size_t i = 2; i + 1 < hint.length; i += 2) text += static_cast<char>(data[hint.offset + i]);
        return text;
    }

    static void ExpectNothingLeftOpen() {
        EXPECT_EQ(World().LoadedLibraryCount(), 0);
        EXPECT_EQ(HandlesBesidesTheMutex(), 0);
    }

    std::shared_ptr<emulator::Controller> disk_;
};

// --- change password -------------------------------------------------------------------------

class ChangePasswordTest : public PasswordDialogTest {
protected:
    void OpenChange(const std::string& name = "DISK") { Open(ChgPwdForm, name); }
    void Fill(const std::string& oldPwd, const std::string& newPwd, const std::string& confirm,
              const std::string& hint) {
        Type(ChgPwdForm->edtOldPwd, oldPwd);
        Type(ChgPwdForm->edtNewPwd, newPwd);
        Type(ChgPwdForm->edtConfirmPwd, confirm);
        Type(ChgPwdForm->edtNewPwdHint, hint);
    }
};

class ChangePasswordGeometryTest : public ChangePasswordTest, public testing::WithParamInterface<Geometry> {};

TEST_P(ChangePasswordGeometryTest, HintThenPasswordAreReplacedAndTheBackupDialogFollows) {
    const Geometry g = GetParam();
    AddDisk("abc", u"old hint", g);
    OpenChange();
    // Old and new halves of the block are independent: 3 and 8 characters.
    Fill("abc", "New45678", "New45678", "my hint 2");
    Click(ChgPwdForm->btnChgPwdOK);

    EXPECT_EQ(Boxes(), (std::vector<Box>{kConfirmBox, kChangedBox}));
    std::vector<Sent> expected = HintRewrite(g);
    expected.push_back(Query(kChangePwd));
    EXPECT_EQ(SentFromChipQuery(), expected);
    EXPECT_EQ(DiskHint(), "my hint 2");
    EXPECT_TRUE(DiskAccepts("New45678"));

    EXPECT_FALSE(ChgPwdForm->Visible());
    EXPECT_TRUE(JSaveDialogForm->Visible());
    EXPECT_EQ(JSaveDialogForm->NewPassword, "New45678");
    // The backup dialog enables the buttons when it goes.
    EXPECT_FALSE(UtilityButtonsEnabled());
    ExpectNothingLeftOpen();
}

INSTANTIATE_TEST_SUITE_P(Geometries, ChangePasswordGeometryTest, testing::ValuesIn(kGeometries),
                         [](const testing::TestParamInfo<Geometry>& param) { return std::string(param.param.name); });

TEST_F(ChangePasswordTest, CancelInTheConfirmationOrDifferingNewPasswordsSendNothing) {
    AddDisk("abc", u"old hint");
    OpenChange();
    Fill("abc", "secret", "secret", "h");
    World().ScriptMessageBoxAnswer(IDCANCEL);
    Click(ChgPwdForm->btnChgPwdOK);
    EXPECT_EQ(Boxes(), std::vector<Box>{kConfirmBox});
    EXPECT_EQ(ChgPwdForm->edtNewPwd->Text(), "secret");

    // The comparison is case-sensitive; the old password is not compared.
    World().ClearMessageBoxes();
    ChgPwdForm->SetVisible(false);
    ChgPwdForm->SetVisible(true);
    Fill("whatever", "secret", "SECRET", "h");
    Click(ChgPwdForm->btnChgPwdOK);
    EXPECT_EQ(Boxes(), (std::vector<Box>{kConfirmBox, kMismatchBox}));
    EXPECT_EQ(ChgPwdForm->edtOldPwd->Text(), "whatever");
    EXPECT_EQ(ChgPwdForm->edtNewPwd->Text(), "");
    EXPECT_EQ(ChgPwdForm->edtConfirmPwd->Text(), "");
    EXPECT_EQ(ChgPwdForm->edtNewPwdHint->Text(), "h");

    EXPECT_TRUE(disk_->trace().empty());
    EXPECT_TRUE(ChgPwdForm->Visible());
    EXPECT_EQ(DiskHint(), "old hint");
    EXPECT_TRUE(DiskAccepts("abc"));
    ExpectNothingLeftOpen();
}

TEST_F(ChangePasswordTest, RefusedOldPasswordLeavesTheNewHintAndKeepsTheDialogForAnotherTry) {
    AddDisk("abc", u"old hint");
    OpenChange();
    Fill("abd", "xyz", "xyz", "new hint");
    Click(ChgPwdForm->btnChgPwdOK);

    EXPECT_EQ(Boxes(), (std::vector<Box>{kConfirmBox, Warning(kChangeRefused)}));
    EXPECT_EQ(DiskHint(), "new hint");
    EXPECT_EQ(ChgPwdForm->edtOldPwd->Text(), "");
    EXPECT_EQ(ChgPwdForm->edtNewPwd->Text(), "");
    EXPECT_EQ(ChgPwdForm->edtConfirmPwd->Text(), "");
    EXPECT_EQ(ChgPwdForm->edtNewPwdHint->Text(), "new hint");
    EXPECT_TRUE(ChgPwdForm->Visible());
    EXPECT_FALSE(JSaveDialogForm->Visible());
    EXPECT_FALSE(UtilityButtonsEnabled());
    ExpectNothingLeftOpen();

    // The second try writes the hint again and changes the password.
    World().ClearMessageBoxes();
    disk_->ClearTrace();
    Type(ChgPwdForm->edtOldPwd, "abc");
    Type(ChgPwdForm->edtNewPwd, "xyz");
    Type(ChgPwdForm->edtConfirmPwd, "xyz");
    Click(ChgPwdForm->btnChgPwdOK);
    EXPECT_EQ(Boxes(), (std::vector<Box>{kConfirmBox, kChangedBox}));
    EXPECT_EQ(Count(kSetEString), 1);
    EXPECT_TRUE(DiskAccepts("xyz"));
    ExpectNothingLeftOpen();
}

TEST_F(ChangePasswordTest, EmptyNewPasswordAndHintClearBoth) {
    AddDisk("abc", u"old hint");
    OpenChange();
    Fill("abc", "", "", "");
    Click(ChgPwdForm->btnChgPwdOK);

    EXPECT_EQ(Boxes(), (std::vector<Box>{kConfirmBox, kChangedBox}));
    EXPECT_TRUE(DiskAccepts(""));
    EXPECT_EQ(DiskHint(), "");
    EXPECT_EQ(JSaveDialogForm->NewPassword, "");
    EXPECT_TRUE(JSaveDialogForm->Visible());
}

TEST_F(ChangePasswordTest, HintEditTakesOnlyLettersDigitsBlankAndEditingKeys) {
    AddDisk("abc", u"");
    OpenChange();
    Type(ChgPwdForm->edtNewPwdHint, "ab-c d\r9\b8");
    EXPECT_EQ(ChgPwdForm->edtNewPwdHint->Text(), "abc d8");
    EXPECT_EQ(Boxes(), (std::vector<Box>{kHintKeyBox, kHintKeyBox}));

    // The password edits take anything.
    World().ClearMessageBoxes();
    Type(ChgPwdForm->edtOldPwd, "a-b!");
    EXPECT_EQ(ChgPwdForm->edtOldPwd->Text(), "a-b!");
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(ChangePasswordTest, FailedHintWriteSendsNoPasswordCommand) {
    AddDisk("abc", u"old hint", kGeometries[1], /*writeProtected=*/true);
    OpenChange();
    Fill("abc", "xyz", "xyz", "new hint");
    Click(ChgPwdForm->btnChgPwdOK);

    EXPECT_EQ(Boxes(), (std::vector<Box>{kConfirmBox, kNotFoundBox}));
    EXPECT_EQ(Count(kSetEString), 1);
    EXPECT_EQ(Count(kChangePwd), 0);
    EXPECT_TRUE(DiskAccepts("abc"));
    EXPECT_EQ(DiskHint(), "old hint");
    EXPECT_TRUE(ChgPwdForm->Visible());
    ExpectNothingLeftOpen();
}

TEST_F(ChangePasswordTest, NoDescriptorSectorWithinBlock32LeavesTheDeviceUnchanged) {
    AddDisk("abc", u"old hint", {"Chip30SmallBlock33", 0x30, false, 33});
    OpenChange();
    Fill("abc", "xyz", "xyz", "new hint");
    Click(ChgPwdForm->btnChgPwdOK);

    EXPECT_EQ(Boxes(), (std::vector<Box>{kConfirmBox, kNotFoundBox}));
    // The dialog's own search reads 33 spare areas; the device search of
    // the library before it has no such limit.
    std::vector<Sent> expected{Query(kGetChipVersion), Query(kGetMediaSize)};
    for (std::uint32_t block = 0; block < 33; ++block) expected.push_back({kVscRead, block * 32 + 1, 0x40});
    EXPECT_EQ(SentFromChipQuery(), expected);
    EXPECT_EQ(Count(kSetEString), 0);
    EXPECT_EQ(Count(kChangePwd), 0);
    EXPECT_TRUE(DiskAccepts("abc"));
    ExpectNothingLeftOpen();
}

// The binding messages themselves are pinned per operation in the binding
// tests; here: each failure ends the press before anything reaches the disk
// beyond the device search.
TEST_F(ChangePasswordTest, MissingLibraryProcedureOrDeviceEndThePressWithTheirMessages) {
    struct Case {
        const char* hiddenLibrary;
        const char* hiddenProc;
        const char* deviceName;
        Box box;
    };
    for (const Case& c : {Case{kLibrary, nullptr, "DISK", Error(kLibraryMissing)},
                          Case{nullptr, "ChangePwd", "DISK", kNotFoundBox},
                          Case{nullptr, nullptr, "OTHER", kNotFoundBox}}) {
        SCOPED_TRACE(c.box.text + " " + c.deviceName);
        Fresh();
        AddDisk("abc", u"old hint");
        if (c.hiddenLibrary != nullptr) World().HideLibrary(c.hiddenLibrary);
        if (c.hiddenProc != nullptr) World().HideExport(kLibrary, c.hiddenProc);
        OpenChange(c.deviceName);
        Fill("abc", "xyz", "xyz", "h");
        Click(ChgPwdForm->btnChgPwdOK);
        EXPECT_EQ(Boxes(), (std::vector<Box>{kConfirmBox, c.box}));
        EXPECT_EQ(Count(kSetEString) + Count(kChangePwd), 0);
        EXPECT_TRUE(ChgPwdForm->Visible());
        ExpectNothingLeftOpen();
    }
}

// --- clear password --------------------------------------------------------------------------

class ClearPasswordTest : public PasswordDialogTest {
protected:
    void OpenClear(const std::string& name = "DISK") { Open(ClearPasswdForm, name); }
};

class ClearPasswordGeometryTest : public ClearPasswordTest, public testing::WithParamInterface<Geometry> {};

TEST_P(ClearPasswordGeometryTest, PasswordThenHintAreClearedAndTheRestOfTheSectorKept) {
    const Geometry g = GetParam();
    AddDisk("abc", u"old hint", g);
    // A descriptor after the hint, and the words behind the chain.
    std::uint8_t sector[512];
    ReadSector(sector);
    kt4790::DescriptorRef hint;
    ASSERT_TRUE(kt4790::WalkDescriptorChain(sector, kt4790::kHintDescriptorIndex, hint));
    const std::size_t after = hint.offset + hint.length;
    const std::uint8_t extra[] = {6, 3, 'x', 0, 'y', 0};
    std::memcpy(sector + after, extra, sizeof extra);
    for (std::size_t i = 493; i < 512; ++i) sector[i] = static_cast<std::uint8_t>(i);
    WriteSector(sector);

    OpenClear();
    Type(ClearPasswdForm->edtPasswd, "abc");
    Click(ClearPasswdForm->btnOK);

    EXPECT_EQ(Boxes(), std::vector<Box>{kClearedBox});
    std::vector<Sent> expected = HintRewrite(g);
    EXPECT_EQ(SentFromChipQuery(), expected);
    EXPECT_TRUE(DiskAccepts(""));

    std::uint8_t now[512];
    ReadSector(now);
    std::uint8_t expectedSector[512];
    std::memcpy(expectedSector, sector, sizeof sector);
    expectedSector[hint.offset] = 2;
    expectedSector[hint.offset + 1] = 3;
    std::memcpy(expectedSector + hint.offset + 2, extra, sizeof extra);
    std::memset(expectedSector + hint.offset + 2 + sizeof extra, 0, 493 - (hint.offset + 2 + sizeof extra));
    EXPECT_EQ(std::vector<std::uint8_t>(now, now + 512), std::vector<std::uint8_t>(expectedSector, expectedSector + 512));

    EXPECT_FALSE(ClearPasswdForm->Visible());
    EXPECT_TRUE(UtilityButtonsEnabled());
    ExpectNothingLeftOpen();
}

INSTANTIATE_TEST_SUITE_P(Geometries, ClearPasswordGeometryTest, testing::ValuesIn(kGeometries),
                         [](const testing::TestParamInfo<Geometry>& param) { return std::string(param.param.name); });

TEST_F(ClearPasswordTest, WrongPasswordsEmptyTheEditWithoutLimit) {
    AddDisk("abc", u"old hint");
    OpenClear();
    for (int attempt = 0; attempt < 4; ++attempt) {
        Type(ClearPasswdForm->edtPasswd, "abd");
        Click(ClearPasswdForm->btnOK);
        EXPECT_EQ(ClearPasswdForm->edtPasswd->Text(), "");
    }
    EXPECT_EQ(Boxes(), std::vector<Box>(4, Warning(kClearRefused)));
    EXPECT_EQ(Count(kChangePwd), 4);
    EXPECT_EQ(Count(kSetEString), 0);
    EXPECT_TRUE(ClearPasswdForm->Visible());
    EXPECT_FALSE(UtilityButtonsEnabled());
    ExpectNothingLeftOpen();

    World().ClearMessageBoxes();
    Type(ClearPasswdForm->edtPasswd, "abc");
    Click(ClearPasswdForm->btnOK);
    EXPECT_EQ(Boxes(), std::vector<Box>{kClearedBox});
    EXPECT_TRUE(DiskAccepts(""));
    EXPECT_EQ(DiskHint(), "");
}

TEST_F(ClearPasswordTest, EmptyEditStillSendsTheClear) {
    AddDisk("", u"left over");
    OpenClear();
    Click(ClearPasswdForm->btnOK);
    EXPECT_EQ(Count(kChangePwd), 1);
    EXPECT_EQ(Boxes(), std::vector<Box>{kClearedBox});
    EXPECT_EQ(DiskHint(), "");
}

TEST_F(ClearPasswordTest, FailedHintRewriteAfterTheClearShowsASecondBox) {
    // Write protection stops SetEString, not the password commands.
    AddDisk("abc", u"old hint", kGeometries[1], /*writeProtected=*/true);
    OpenClear();
    Type(ClearPasswdForm->edtPasswd, "abc");
    Click(ClearPasswdForm->btnOK);

    EXPECT_EQ(Boxes(), (std::vector<Box>{kClearedBox, kNotFoundBox}));
    EXPECT_TRUE(DiskAccepts(""));
    EXPECT_EQ(DiskHint(), "old hint");
#ifdef KT4790_ASPI
    EXPECT_TRUE(ClearPasswdForm->Visible());
    EXPECT_FALSE(UtilityButtonsEnabled());
#else
    EXPECT_FALSE(ClearPasswdForm->Visible());
    EXPECT_TRUE(UtilityButtonsEnabled());
#endif
    ExpectNothingLeftOpen();
}

TEST_F(ClearPasswordTest, EnterInThePasswordEditActsAsOkOnlyInTheAspiBuild) {
    AddDisk("abc", u"old hint");
    OpenClear();
    Type(ClearPasswdForm->edtPasswd, "abc\r");
#ifdef KT4790_ASPI
    EXPECT_EQ(Boxes(), std::vector<Box>{kClearedBox});
    EXPECT_TRUE(DiskAccepts(""));
    EXPECT_FALSE(ClearPasswdForm->Visible());
#else
    EXPECT_TRUE(Boxes().empty());
    EXPECT_TRUE(disk_->trace().empty());
    EXPECT_EQ(ClearPasswdForm->edtPasswd->Text(), "abc");
    EXPECT_TRUE(ClearPasswdForm->Visible());
#endif
    ExpectNothingLeftOpen();
}

TEST_F(ClearPasswordTest, HintButtonShowsTheHintAndWritesNothing) {
    AddDisk("abc", u"old hint");
    OpenClear();
    Click(ClearPasswdForm->btnHint);
    EXPECT_EQ(Boxes(), (std::vector<Box>{{"Hint:old hint", "Password Hint", MB_OK}}));
    EXPECT_EQ(Count(kSetEString), 0);
    EXPECT_EQ(Count(kChangePwd), 0);
    EXPECT_TRUE(ClearPasswdForm->Visible());
    ExpectNothingLeftOpen();
}

TEST_F(ClearPasswordTest, MissingLibraryProcedureOrDeviceLeaveTheDialogOpen) {
    struct Case {
        const char* hiddenLibrary;
        const char* hiddenProc;
        const char* deviceName;
        Box box;
    };
    for (const Case& c : {Case{kLibrary, nullptr, "DISK", Error(kLibraryMissing)},
                          Case{nullptr, "VSCReadSector", "DISK", kNotFoundBox},
                          Case{nullptr, nullptr, "OTHER", kNotFoundBox}}) {
        SCOPED_TRACE(c.box.text + " " + c.deviceName);
        Fresh();
        AddDisk("abc", u"old hint");
        if (c.hiddenLibrary != nullptr) World().HideLibrary(c.hiddenLibrary);
        if (c.hiddenProc != nullptr) World().HideExport(kLibrary, c.hiddenProc);
        OpenClear(c.deviceName);
        Type(ClearPasswdForm->edtPasswd, "abc");
        Click(ClearPasswdForm->btnOK);
        EXPECT_EQ(Boxes(), std::vector<Box>{c.box});
        EXPECT_EQ(Count(kChangePwd), 0);
        EXPECT_TRUE(DiskAccepts("abc"));
        EXPECT_TRUE(ClearPasswdForm->Visible());
        EXPECT_FALSE(UtilityButtonsEnabled());
        ExpectNothingLeftOpen();
    }
}

// --- leaving either dialog -------------------------------------------------------------------

TEST_F(PasswordDialogTest, CancelAndTheCloseBoxEnableTheUtilityButtonsAgain) {
    AddDisk("abc", u"old hint");
    ASSERT_EQ(AppMain(), 0);
    disk_->ClearTrace();
    struct Way {
        vcl::TForm* dialog;
        vcl::TEdit* firstEdit;
        vcl::TButton* cancel;
    };
    for (const Way& way : {Way{ChgPwdForm, ChgPwdForm->edtOldPwd, ChgPwdForm->btnChgPwdCancel},
                           Way{ClearPasswdForm, ClearPasswdForm->edtPasswd, ClearPasswdForm->btnCancel}}) {
        for (const bool closeBox : {false, true}) {
            SCOPED_TRACE(way.dialog->Name() + (closeBox ? " close box" : " cancel"));
            JUtilityForm->DisableAllButtons();
            way.dialog->SetVisible(true);
            // Showing empties the edits and puts the focus in the first.
            EXPECT_EQ(way.firstEdit->Text(), "");
            EXPECT_TRUE(way.firstEdit->Focused());
            Type(way.firstEdit, "abc");
            if (closeBox) {
                ASSERT_TRUE(userCloseBox(way.dialog)) << lastRefusal();
            } else {
                Click(way.cancel);
            }
            EXPECT_FALSE(way.dialog->Visible());
            EXPECT_TRUE(UtilityButtonsEnabled());
        }
    }
    EXPECT_EQ(disk_->trace().size(), 0u);
    EXPECT_TRUE(DiskAccepts("abc"));
}

}  // namespace
}  // namespace apptest
