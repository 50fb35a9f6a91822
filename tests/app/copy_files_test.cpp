// "COPY SYSTEM FILES" and its dialog, driven as a person would: the platform
// test of the utility window, the drives of the machine, and the copy of
// the system files from the Windows directory (and, in KT4790MCAP, from C:)
// onto the root of the drive picked. The machine's drives are folders of
// winsim's sandbox.
#include "app_test.h"

#include <cctype>
#include <filesystem>
#include <functional>
#include <optional>

#include "app/Jutility.h"
#include "app/Main.h"
#include "format/Copyfile.h"

namespace apptest {
namespace {

using vcl::headless::canReach;
using vcl::headless::lastRefusal;
using vcl::headless::userClick;
using vcl::headless::userCloseBox;
using vcl::headless::userSelect;

#ifdef KT4790_ASPI
constexpr int kBuild = 1;
constexpr const char* kSourceFailed = "Copy of system files was not complete. Check the device drive and try again.";
constexpr const char* kDestinationFailed = "Can't copy system files. Check the device drive or reformat the drive.";
#else
constexpr int kBuild = 0;
constexpr const char* kSourceFailed = "The installation of system is not complete.";
constexpr const char* kDestinationFailed = "Can't copy system files, please check the device!";
#endif
const Box kOnlyOn98 = Warning("You can only copy system files under WIN98 or ME.");
const Box kFinished{"Copying system files finished.", "OK", MB_OK};

// The files each build copies, in order; KT4790CAP copies the first two.
const char* const kFiles[] = {"COMMAND.COM", "IO.SYS", "MSDOS.SYS"};
constexpr std::size_t kFileCount[] = {2, 3};

// Where a system file comes from: the Windows directory's COMMAND\EBD, or
// the root of C: for MSDOS.SYS.
std::string SourceOf(const std::string& file) {
    if (file == "MSDOS.SYS") return "C:\\MSDOS.SYS";
    return World().WindowsDirectory() + "\\COMMAND\\EBD\\" + file;
}

// Contents with bytes of every kind, different for each file.
std::string StandIn(const std::string& file) {
    std::string bytes;
    for (int i = 0; i < 3000; ++i) bytes.push_back(static_cast<char>((i * 7 + file.size()) & 0xFF));
    return file + bytes;
}

void PutSources() {
    for (const char* file : kFiles) World().PutFile(SourceOf(file), StandIn(file));
}

// The stand-in of a source made `size` bytes long without writing them.
void Enlarge(const std::string& file, std::uintmax_t size) {
    std::filesystem::resize_file(World().HostPath(SourceOf(file)), size);
}

class CopyFilesTest : public AppTest {
protected:
    void Restart() {
        vcl::headless::resetApplication();
        ClearFormGlobals();
        World().Reset();
        World().SetWindowsVersion(SupportedVersion());
    }

    // The utility window as a correct password leaves it; what start-up
    // showed is cleared.
    static void Start() {
        ASSERT_EQ(AppMain(), 0);
        MainForm->SetVisible(false);
        JUtilityForm->SetVisible(true);
        World().ClearMessageBoxes();
    }

    // "COPY SYSTEM FILES". In KT4790CAP the button lies below the visible
    // part of its group box, so no click reaches it; the keyboard does (Tab
    // to it, then Space), for which the driver has no action: its click is
    // run as that key runs it, on the enabled button of the enabled window.
    static void PressCopySystemFiles() {
#ifdef KT4790_ASPI
        ASSERT_TRUE(userClick(JUtilityForm->btnCopyFile)) << lastRefusal();
#else
        ASSERT_FALSE(canReach(JUtilityForm->btnCopyFile));
        ASSERT_TRUE(JUtilityForm->Visible() && JUtilityForm->Enabled() && JUtilityForm->btnCopyFile->Enabled());
        vcl::Application->RunHandler([] { JUtilityForm->btnCopyFile->Click(); });
#endif
    }

    static void Press(vcl::TButton* button) { ASSERT_TRUE(userClick(button)) << lastRefusal(); }

    static void PickDrive(char letter) {
        vcl::TDriveComboBox* drives = CopyFileForm->DriveComboBox1;
        const int index = drives->Items().IndexOf(std::string(1, static_cast<char>(std::tolower(letter))) + ":");
        ASSERT_TRUE(userSelect(drives, index)) << lastRefusal();
        ASSERT_EQ(drives->Drive(), letter);
    }

    // The dialog open, the utility window disabled as a whole and its
    // buttons left as they were.
    static void ExpectOpen() {
        EXPECT_TRUE(CopyFileForm->Visible());
        EXPECT_FALSE(JUtilityForm->Enabled());
        EXPECT_TRUE(JUtilityForm->btnFormat->Enabled());
        EXPECT_TRUE(JUtilityForm->btnCopyFile->Enabled());
    }

    static void ExpectClosed() {
        EXPECT_FALSE(CopyFileForm->Visible());
        EXPECT_TRUE(JUtilityForm->Enabled());
        EXPECT_TRUE(canReach(JUtilityForm->btnRefresh));
    }
};

// --- the opener ---------------------------------------------------------------------------

TEST_F(CopyFilesTest, OnlyTheWindows98FamilyOrAnUnreadableVersionOpensTheDialog) {
    struct Case {
        const char* what;
        winsim::WindowsVersion version;
        winsim::VersionFailure failure;
        bool opens;
    };
    const Case cases[] = {
        {"Windows 98", Version(4, 10), winsim::VersionFailure::None, true},
        {"Windows ME", Version(4, 90), winsim::VersionFailure::None, true},
        {"Windows 2000", Version(5, 0), winsim::VersionFailure::None, false},
        {"Windows XP", Version(5, 1), winsim::VersionFailure::None, false},
        {"no version record at all", Version(5, 1), winsim::VersionFailure::BothRecords, true},
        {"the plain record only", Version(5, 1), winsim::VersionFailure::ExtendedRecord, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Restart();
        Start();
        // The system as the button finds it; the program started on its own.
        World().SetWindowsVersion(c.version);
        World().SetVersionFailure(c.failure);

        PressCopySystemFiles();
        if (c.opens) {
            EXPECT_EQ(Boxes(), std::vector<Box>{});
            ExpectOpen();
        } else {
            EXPECT_EQ(Boxes(), std::vector<Box>{kOnlyOn98});
            ExpectClosed();
        }
        EXPECT_EQ(HandlesBesidesTheMutex(), 0);
    }
}

TEST_F(CopyFilesTest, TheDialogListsTheDrivesAndGivesTheWindowBackWhenItGoes) {
    World().AddDrive('E');
    World().AddDrive('z');
    PutSources();
    Start();
    World().SetWindowsVersion(Version(4, 10));

    PressCopySystemFiles();
    ExpectOpen();
    const vcl::TDriveComboBox* drives = CopyFileForm->DriveComboBox1;
    EXPECT_EQ(drives->Items().Text(), "c:\r\ne:\r\nz:\r\n");
    EXPECT_EQ(drives->Drive(), 'C');  // the current drive
    EXPECT_EQ(CopyFileForm->Top(), (768 - CopyFileForm->Height()) / 2);
    EXPECT_EQ(CopyFileForm->Left(), (1024 - CopyFileForm->Width()) / 2);
    EXPECT_FALSE(userClick(JUtilityForm->btnRefresh));  // the whole window is off

    Press(CopyFileForm->btnCancel);
    ExpectClosed();
    PressCopySystemFiles();
    ASSERT_TRUE(userCloseBox(CopyFileForm)) << lastRefusal();
    ExpectClosed();

    // OK leaves the dialog open, and copies again when pressed again.
    PressCopySystemFiles();
    PickDrive('Z');
    Press(CopyFileForm->btnOk);
    Press(CopyFileForm->btnOk);
    EXPECT_EQ(Boxes(), (std::vector<Box>{kFinished, kFinished}));
    ExpectOpen();
    EXPECT_EQ(World().FileContents("Z:\\IO.SYS"), StandIn("IO.SYS"));
    EXPECT_EQ(HandlesBesidesTheMutex(), 0);
}

// --- the copy -------------------------------------------------------------------------------

enum class Outcome { Finished, SourceFailed, DestinationFailed, SystemError };

Box BoxOf(Outcome outcome) {
    switch (outcome) {
        case Outcome::Finished: return kFinished;
        case Outcome::SourceFailed: return Warning(kSourceFailed);
        case Outcome::DestinationFailed: return Warning(kDestinationFailed);
        case Outcome::SystemError: return Error("System Error!");
    }
    return {};
}

// Each case starts from the three stand-ins in their folders and a drive E:
// with nothing on it, and picks a drive. What the destination then holds,
// one character per file of the build, in order: '+' a copy of the source,
// '-' what it held before (nothing, or an older file), '0' an empty file.
TEST_F(CopyFilesTest, EachFileIsCopiedWholeOrTheCopyStopsThereWithTheBuildsMessage) {
    const std::string longFolder = "C:" + [] {
        std::string folders;
        for (int i = 0; i < 30; ++i) folders += "\\FOLDER" + std::to_string(10 + i);
        return folders;
    }();
    struct Case {
        const char* what;
        std::function<void()> machine;    // before the program starts
        std::function<void()> meanwhile;  // while the dialog is open
        char drive;                       // picked; 0: none can be
        Outcome outcome[2];               // KT4790CAP, KT4790MCAP
        const char* files[2];
    };
    const auto nothing = [] {};
    const Case cases[] = {
        {"all there", nothing, nothing, 'E', {Outcome::Finished, Outcome::Finished}, {"++", "+++"}},
        {"IO.SYS missing", [] { std::filesystem::remove(World().HostPath(SourceOf("IO.SYS"))); }, nothing, 'E',
         {Outcome::SourceFailed, Outcome::SourceFailed}, {"+-", "+--"}},
        {"MSDOS.SYS missing", [] { std::filesystem::remove(World().HostPath(SourceOf("MSDOS.SYS"))); }, nothing, 'E',
         {Outcome::Finished, Outcome::SourceFailed}, {"++", "++-"}},
        {"older copies are replaced",
         [] {
             for (const char* file : kFiles) World().PutFile(std::string("E:\\") + file, "old");
         },
         nothing, 'E', {Outcome::Finished, Outcome::Finished}, {"++", "+++"}},
        {"an empty IO.SYS", [] { World().PutFile(SourceOf("IO.SYS"), ""); }, nothing, 'E',
         {Outcome::Finished, Outcome::Finished}, {"++", "+++"}},
        {"IO.SYS unreadable, an older copy kept",
         [] {
             World().PutFile("E:\\IO.SYS", "old");
             World().SetFileUnreadable(SourceOf("IO.SYS"), true);
         },
         nothing, 'E', {Outcome::SourceFailed, Outcome::SourceFailed}, {"+-", "+--"}},
        {"IO.SYS of 4 GiB and 1 byte", [] { Enlarge("IO.SYS", (std::uintmax_t{1} << 32) + 1); }, nothing, 'E',
         {Outcome::SourceFailed, Outcome::SourceFailed}, {"+-", "+--"}},
        {"IO.SYS of 4 GiB less 1 byte", [] { Enlarge("IO.SYS", (std::uintmax_t{1} << 32) - 1); }, nothing, 'E',
         {Outcome::SourceFailed, Outcome::SourceFailed}, {"+-", "+--"}},
        // KT4790CAP opens its sources for writing as well.
        {"a read-only IO.SYS", [] { World().SetFileReadOnly(SourceOf("IO.SYS"), true); }, nothing, 'E',
         {Outcome::SourceFailed, Outcome::Finished}, {"+-", "+++"}},
        {"a write-protected drive", [] { World().SetDriveWriteProtected('E', true); }, nothing, 'E',
         {Outcome::DestinationFailed, Outcome::DestinationFailed}, {"--", "---"}},
        {"a full drive", [] { World().SetDriveFull('E', true); }, nothing, 'E',
         {Outcome::DestinationFailed, Outcome::DestinationFailed}, {"0-", "0--"}},
        {"the drive went after it was listed", nothing, [] { World().RemoveDrive('E'); }, 'E',
         {Outcome::DestinationFailed, Outcome::DestinationFailed}, {"--", "---"}},
        {"no drive to pick", [] { World().SetLogicalDrives(0); }, nothing, 0,
         {Outcome::DestinationFailed, Outcome::DestinationFailed}, {"", ""}},
        // MSDOS.SYS comes from C: even where Windows lies elsewhere.
        {"Windows on D:",
         [] {
             World().SetWindowsDirectory("D:\\WIN98");
             World().PutFile(SourceOf("COMMAND.COM"), "COMMAND.COM of D:");
             World().PutFile(SourceOf("IO.SYS"), "IO.SYS of D:");
         },
         nothing, 'E', {Outcome::Finished, Outcome::Finished}, {"++", "+++"}},
        // MSDOS.SYS onto itself: it stays as it was.
        {"drive C: picked", nothing, nothing, 'C', {Outcome::Finished, Outcome::DestinationFailed}, {"++", "++-"}},
        {"the version unreadable", nothing,
         [] { World().SetVersionFailure(winsim::VersionFailure::BothRecords); }, 'E',
         {Outcome::Finished, Outcome::SystemError}, {"++", "++-"}},
        {"a Windows directory longer than 260 characters", [&] { World().SetWindowsDirectory(longFolder); },
         nothing, 'E', {Outcome::SourceFailed, Outcome::SourceFailed}, {"--", "---"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Restart();
        PutSources();
        World().AddDrive('E');
        c.machine();
        Start();
        // KT4790CAP opens the dialog where the platform reads as Windows 98.
        World().SetWindowsVersion(Version(4, 10));
        PressCopySystemFiles();
        if (c.drive != 0) PickDrive(c.drive);
        const std::string destination = std::string(1, c.drive) + ":\\";
        std::vector<std::optional<std::string>> before;
        for (std::size_t i = 0; c.drive != 0 && i < kFileCount[kBuild]; ++i) {
            before.push_back(World().FileContents(destination + kFiles[i]));
        }
        c.meanwhile();

        Press(CopyFileForm->btnOk);
        EXPECT_EQ(Boxes(), std::vector<Box>{BoxOf(c.outcome[kBuild])});
        ExpectOpen();
        EXPECT_EQ(HandlesBesidesTheMutex(), 0);
        const std::string files = c.files[kBuild];
        ASSERT_EQ(files.size(), before.size());
        for (std::size_t i = 0; i < files.size(); ++i) {
            SCOPED_TRACE(kFiles[i]);
            const std::optional<std::string> now = World().FileContents(destination + kFiles[i]);
            if (files[i] == '+') {
                EXPECT_EQ(now, World().FileContents(SourceOf(kFiles[i])));
            } else if (files[i] == '0') {
                EXPECT_EQ(now, std::string());
            } else {
                EXPECT_EQ(now, before[i]);
            }
        }
    }
}

}  // namespace
}  // namespace apptest
