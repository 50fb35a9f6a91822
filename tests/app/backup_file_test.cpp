// The password backup dialog: shown with a new password while the utility
// window's function buttons are disabled, it appends the password as one
// line to a file chosen in the save-file dialog, or closes without a file.
#include "app_test.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/Jsavedialog.h"
#include "app/Jutility.h"
#include "app/Main.h"
#include "app/Setpwd.h"

namespace apptest {
namespace {

using vcl::headless::lastRefusal;
using vcl::headless::userClick;
using vcl::headless::userCloseBox;
using vcl::headless::userType;

const Box kOverwriteBox{"The file exists, do you want to overwrite the file?", "WARNING", MB_OKCANCEL};
constexpr const char* kFile = "C:\\backup\\pw.txt";

class BackupFileTest : public AppTest {
protected:
    void Start() {
        ASSERT_EQ(AppMain(), 0);
        MainForm->SetVisible(false);
        JUtilityForm->SetVisible(true);
        JUtilityForm->DisableAllButtons();
        World().ClearMessageBoxes();
        World().MakeDirectory("C:\\backup");
    }

    static void Open(const std::string& password) {
        JSaveDialogForm->NewPassword = password;
        JSaveDialogForm->SetVisible(true);
    }

    static void Save() { ASSERT_TRUE(userClick(JSaveDialogForm->btnSave)) << lastRefusal(); }

    static void ExpectFunctionButtons(bool enabled) {
        for (vcl::TButton* b : {JUtilityForm->btnChangDevName, JUtilityForm->btnChangPwd, JUtilityForm->btnClearPwd,
                                JUtilityForm->btnFormat, JUtilityForm->btnSetNChkPwd, JUtilityForm->btnPartition,
                                JUtilityForm->btnCopyFile}) {
            EXPECT_EQ(b->Enabled(), enabled) << b->Name();
        }
    }

    // Closed, with the buttons back and no file left open.
    static void ExpectClosed() {
        EXPECT_FALSE(JSaveDialogForm->Visible());
        ExpectFunctionButtons(true);
        EXPECT_EQ(World().OpenHandleCount(winsim::HandleKind::File), 0);
    }
};

TEST_F(BackupFileTest, TheDialogShowsItsTextAndStartsOnSave) {
    Start();
    Open("pw");
    const std::vector<std::string> expected{
        "Your password was changed successfully. Do ",
        "you want to save your new password to a backup ",
        "file in your computer for reference? ",
        "",
        "Warning:",
        "If you forgot your password, you will need to ",
        "use the power format special utility that will erase ",
        "both the password and the data inside the disk. ",
        "",
        "Your password is saved into an unencrypted text",
        "file. Please keep this file in a safe place.",
    };
    std::vector<std::string> lines;
    for (int i = 0; i < JSaveDialogForm->MoDialog->Lines().Count(); ++i) lines.push_back(JSaveDialogForm->MoDialog->Lines()[i]);
    EXPECT_EQ(lines, expected);
    EXPECT_TRUE(JSaveDialogForm->MoDialog->ReadOnly());
    EXPECT_FALSE(userType(JSaveDialogForm->MoDialog, "x"));
    EXPECT_EQ(JSaveDialogForm->MoDialog->Font().Color, vcl::clRed);
    EXPECT_EQ(JSaveDialogForm->MoDialog->Color(), vcl::clBtnFace);
    EXPECT_TRUE(JSaveDialogForm->btnSave->Focused());
    EXPECT_EQ(JSaveDialogForm->btnSave->Caption(), "Save");
    EXPECT_EQ(JSaveDialogForm->btnDontSave->Caption(), "Don't Save");
}

TEST_F(BackupFileTest, ANewFileHoldsExactlyThePasswordAndCrLf) {
    Start();
    World().ScriptSaveDialogAnswer(kFile);
    Open("12345678");
    Save();
    EXPECT_EQ(World().FileContents(kFile), std::optional<std::string>("12345678\r\n"));
    EXPECT_TRUE(Boxes().empty());
    ASSERT_EQ(World().SaveDialogCalls().size(), 1u);
    EXPECT_TRUE(World().SaveDialogCalls()[0].accepted);
    ExpectClosed();
}

TEST_F(BackupFileTest, AnEmptyPasswordWritesOnlyCrLf) {
    Start();
    World().ScriptSaveDialogAnswer(kFile);
    Open("");
    Save();
    EXPECT_EQ(World().FileContents(kFile), std::optional<std::string>("\r\n"));
    ExpectClosed();
}

TEST_F(BackupFileTest, OkToTheOverwriteQuestionAppendsAfterTheOldLines) {
    Start();
    World().ScriptSaveDialogAnswer(kFile);
    Open("first");
    Save();
    JUtilityForm->DisableAllButtons();
    World().ScriptSaveDialogAnswer(kFile);
    Open("second");
    Save();
    EXPECT_EQ(Boxes(), std::vector<Box>{kOverwriteBox});
    EXPECT_EQ(World().FileContents(kFile), std::optional<std::string>("first\r\nsecond\r\n"));
    ExpectClosed();
}

TEST_F(BackupFileTest, CancelToTheOverwriteQuestionWritesNothingAndStaysOpen) {
    Start();
    World().PutFile(kFile, "kept");
    World().ScriptSaveDialogAnswer(kFile);
    World().ScriptMessageBoxAnswer(IDCANCEL);
    Open("new");
    Save();
    EXPECT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(World().FileContents(kFile), std::optional<std::string>("kept"));
    EXPECT_TRUE(JSaveDialogForm->Visible());
    ExpectFunctionButtons(false);

    // A second try can still save.
    World().ScriptSaveDialogAnswer(kFile);
    Save();
    EXPECT_EQ(World().FileContents(kFile), std::optional<std::string>("keptnew\r\n"));
    ExpectClosed();
}

TEST_F(BackupFileTest, CancellingTheFileDialogClosesWithoutAFile) {
    Start();
    World().ScriptSaveDialogCancel();
    Open("pw");
    Save();
    EXPECT_FALSE(World().FileExists(kFile));
    EXPECT_TRUE(Boxes().empty());
    ExpectClosed();
}

TEST_F(BackupFileTest, AFileThatCannotBeWrittenIsPassedOverSilently) {
    Start();
    // A read-only file: the question, then nothing.
    World().PutFile(kFile, "ro");
    World().SetFileReadOnly(kFile, true);
    World().ScriptSaveDialogAnswer(kFile);
    Open("pw");
    Save();
    EXPECT_EQ(Boxes(), std::vector<Box>{kOverwriteBox});
    EXPECT_EQ(World().FileContents(kFile), std::optional<std::string>("ro"));
    ExpectClosed();

    // A folder that does not exist.
    World().ClearMessageBoxes();
    JUtilityForm->DisableAllButtons();
    World().ScriptSaveDialogAnswer("C:\\nowhere\\pw.txt");
    Open("pw");
    Save();
    EXPECT_TRUE(Boxes().empty());
    EXPECT_FALSE(World().FileExists("C:\\nowhere\\pw.txt"));
    ExpectClosed();

    // A folder chosen as the file: not an existing file, and it cannot be created.
    JUtilityForm->DisableAllButtons();
    World().ScriptSaveDialogAnswer("C:\\backup");
    Open("pw");
    Save();
    EXPECT_TRUE(Boxes().empty());
    ExpectClosed();
}

// `count` bytes of the backup file from `offset` on, read on the host
// without the rest (some files are sparse, past 4 GiB).
std::string BackupBytes(std::uint64_t offset, std::size_t count) {
    std::ifstream in(World().HostPath(kFile), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    std::string bytes(count, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(count));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

// Each case saves "secret": the record lands whole after the old bytes, or
// the file is as it was before Save (a new one is not left behind); the
// window closes without a message either way.
TEST_F(BackupFileTest, ASaveAppendsTheWholeRecordOrLeavesTheFileAsItWas) {
    constexpr std::uint64_t k4GiB = std::uint64_t{1} << 32;
    struct Case {
        const char* what;
        std::optional<std::string> old;   // the file before Save; none: there is none
        std::uint64_t oldLength;          // longer than `old`: zeros up to it, sparse
        std::function<void()> meanwhile;  // as Save is pressed
        std::optional<std::string> head;  // the file's first bytes after; none: no file
        std::uint64_t length;             // its length after
        std::string tail;                 // its last bytes after
    };
    const auto nothing = [] {};
    const Case cases[] = {
        {"a full drive, a new file", std::nullopt, 0, [] { World().SetDriveFull('C', true); }, std::nullopt, 0, ""},
        {"room for less than the password, an existing file", "old\r\n", 5,
         [] { World().SetDriveFreeSpace('C', 5); }, "old\r\n", 5, ""},
        {"room for the password but not CR LF, an existing file", "old\r\n", 5,
         [] { World().SetDriveFreeSpace('C', 6); }, "old\r\n", 5, ""},
        {"room for the password but not CR LF, a new file", std::nullopt, 0,
         [] { World().SetDriveFreeSpace('C', 6); }, std::nullopt, 0, ""},
        {"a file of 4 GiB and 16 bytes", "FIRSTLINE\r\n", k4GiB + 16, nothing, "FIRSTLINE\r\n", k4GiB + 24,
         "secret\r\n"},
        // Its end lies at the one offset whose low part is INVALID_SET_FILE_POINTER.
        {"a file of 4 GiB less 1 byte", "FIRSTLINE\r\n", k4GiB - 1, nothing, "FIRSTLINE\r\n", k4GiB + 7,
         "secret\r\n"},
        {"a file that appears between the look and the create", std::nullopt, 0,
         [] { World().SetFileOpenHook([](const std::string&) { World().PutFile(kFile, "theirs\r\n"); }); },
         "theirs\r\n", 8, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        World().Reset();
        SetUp();
        Start();
        if (c.old) {
            World().PutFile(kFile, *c.old);
            std::filesystem::resize_file(World().HostPath(kFile), c.oldLength);
        }
        c.meanwhile();
        World().ScriptSaveDialogAnswer(kFile);
        Open("secret");
        Save();
        EXPECT_EQ(Boxes(), c.old ? std::vector<Box>{kOverwriteBox} : std::vector<Box>{});
        ExpectClosed();
        const bool exists = World().FileExists(kFile);
        EXPECT_EQ(exists, c.head.has_value());
        if (!exists || !c.head) continue;
        EXPECT_EQ(std::filesystem::file_size(World().HostPath(kFile)), c.length);
        EXPECT_EQ(BackupBytes(0, c.head->size()), *c.head);
        EXPECT_EQ(BackupBytes(c.length - c.tail.size(), c.tail.size()), c.tail);
    }
}

TEST_F(BackupFileTest, DontSaveAndTheCloseBoxCloseWithoutAFile) {
    Start();
    Open("pw");
    ASSERT_TRUE(userClick(JSaveDialogForm->btnDontSave)) << lastRefusal();
    ExpectClosed();
    JUtilityForm->DisableAllButtons();
    Open("pw");
    ASSERT_TRUE(userCloseBox(JSaveDialogForm)) << lastRefusal();
    ExpectClosed();
    EXPECT_TRUE(World().SaveDialogCalls().empty());
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(BackupFileTest, APasswordSetOnADeviceEndsInTheBackupFile) {
    emulator::Config config;
    config.deviceName = u"DISK";
    auto disk = std::make_shared<emulator::Controller>(config);
    World().AddDevice(disk);
    Start();
    SetPwdForm->DeviceName = "DISK";
    SetPwdForm->SetVisible(true);
    ASSERT_TRUE(userType(SetPwdForm->edtPwd, "s3cret"));
    ASSERT_TRUE(userType(SetPwdForm->edtConfirmPwd, "s3cret"));
    ASSERT_TRUE(userClick(SetPwdForm->btnOK));
    ASSERT_TRUE(JSaveDialogForm->Visible());
    ExpectFunctionButtons(false);

    World().ScriptSaveDialogAnswer(kFile);
    Save();
    EXPECT_EQ(World().FileContents(kFile), std::optional<std::string>("s3cret\r\n"));
    EXPECT_EQ(disk->config().password, "s3cret");
    ExpectClosed();
    EXPECT_EQ(World().LoadedLibraryCount(), 0);
}

}  // namespace
}  // namespace apptest
