// Files of the sandbox: drive letters, names found without regard to case,
// dispositions, sharing, read-only files and protected or full drives, the
// Windows directory and the save-file dialog.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "winsim/world.h"

namespace {

using winsim::World;

HANDLE Open(const char* name, DWORD access, DWORD disposition, DWORD share = 0) {
    return CreateFileA(name, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool Write(HANDLE file, const std::string& bytes) {
    DWORD written = 0;
    return WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

TEST(Files, WriteReadAndAppendThroughHandles) {
    World& world = World::Get();
    HANDLE file = Open("C:\\Backup\\pwd.txt", GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
    EXPECT_EQ(file, INVALID_HANDLE_VALUE);  // no such folder
    EXPECT_EQ(GetLastError(), DWORD{ERROR_PATH_NOT_FOUND});

    world.MakeDirectory("C:\\Backup");
    file = Open("C:\\Backup\\pwd.txt", GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_SUCCESS});
    EXPECT_TRUE(Write(file, "abc\r\n"));
    EXPECT_EQ(world.OpenHandleCount(winsim::HandleKind::File), 1);
    EXPECT_TRUE(CloseHandle(file));

    // Opened again under another spelling, moved to the end, appended to.
    file = Open("c:/BACKUP/Pwd.TXT", GENERIC_WRITE, OPEN_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_ALREADY_EXISTS});
    EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_END), 5u);
    EXPECT_TRUE(Write(file, "12345678\r\n"));
    char buffer[4];
    DWORD read = 0;
    EXPECT_FALSE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));  // opened for writing only
    EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED});
    CloseHandle(file);
    EXPECT_EQ(world.FileContents("C:\\backup\\PWD.txt"), std::string("abc\r\n12345678\r\n"));

    file = Open("C:\\Backup\\pwd.txt", GENERIC_READ, OPEN_EXISTING);
    DWORD high = 7;
    EXPECT_EQ(GetFileSize(file, &high), 15u);
    EXPECT_EQ(high, 0u);
    char whole[32] = {};
    ASSERT_TRUE(ReadFile(file, whole, sizeof whole, &read, nullptr));
    EXPECT_EQ(read, 15u);
    ASSERT_TRUE(ReadFile(file, whole, sizeof whole, &read, nullptr));
    EXPECT_EQ(read, 0u);  // the end of the file: success with nothing read
    EXPECT_EQ(SetFilePointer(file, -20, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_NEGATIVE_SEEK});
    CloseHandle(file);
    EXPECT_EQ(world.OpenHandleCount(), 0);
}

TEST(Files, DispositionsOnMissingAndExistingFiles) {
    World& world = World::Get();
    EXPECT_EQ(Open("C:\\IO.SYS", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_FILE_NOT_FOUND});
    world.PutFile("C:\\IO.SYS", "system");
    EXPECT_EQ(Open("C:\\io.sys", GENERIC_WRITE, CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_FILE_EXISTS});

    HANDLE file = Open("C:\\io.sys", GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_ALREADY_EXISTS});
    EXPECT_EQ(GetFileSize(file, nullptr), 0u);  // replaced
    CloseHandle(file);
    EXPECT_EQ(world.FileContents("C:\\IO.SYS"), std::string());

    EXPECT_EQ(Open("C:\\WINDOWS", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);  // a folder
    EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED});
    EXPECT_EQ(Open("C:\\bad|name", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_NAME});
}

TEST(Files, NoSharingMeansASecondOpenFails) {
    World& world = World::Get();
    world.PutFile("C:\\MSDOS.SYS", "dos");
    HANDLE source = Open("C:\\MSDOS.SYS", GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(source, INVALID_HANDLE_VALUE);
    // Copying a file onto itself must not truncate it.
    EXPECT_EQ(Open("C:\\MSDOS.SYS", GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_SHARING_VIOLATION});
    EXPECT_EQ(world.FileContents("C:\\MSDOS.SYS"), std::string("dos"));
    CloseHandle(source);

    source = Open("C:\\MSDOS.SYS", GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
    HANDLE reader = Open("C:\\MSDOS.SYS", GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
    EXPECT_NE(reader, INVALID_HANDLE_VALUE);
    CloseHandle(reader);
    CloseHandle(source);
}

TEST(Files, ProtectedDrivesFullDrivesAndReadOnlyFiles) {
    World& world = World::Get();
    EXPECT_EQ(Open("E:\\COMMAND.COM", GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_PATH_NOT_FOUND});  // no drive E:

    world.AddDrive('e');
    EXPECT_EQ(GetLogicalDrives(), 0x14u);
    world.SetDriveWriteProtected('E', true);
    EXPECT_EQ(Open("E:\\COMMAND.COM", GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_WRITE_PROTECT});
    world.SetDriveWriteProtected('E', false);

    world.SetDriveFull('E', true);
    HANDLE file = Open("E:\\COMMAND.COM", GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(Write(file, "data"));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_DISK_FULL});
    EXPECT_TRUE(Write(file, ""));  // nothing to write always succeeds
    CloseHandle(file);
    EXPECT_EQ(world.FileContents("E:\\COMMAND.COM"), std::string());

    world.PutFile("C:\\keep.txt", "old");
    world.SetFileReadOnly("C:\\KEEP.TXT", true);
    EXPECT_EQ(Open("C:\\keep.txt", GENERIC_WRITE, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED});
    EXPECT_EQ(GetFileAttributesA("C:\\keep.txt") & FILE_ATTRIBUTE_READONLY, DWORD{FILE_ATTRIBUTE_READONLY});
    file = Open("C:\\keep.txt", GENERIC_READ, OPEN_EXISTING);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);

    // A damaged file opens and tells its size; reading it fails.
    world.SetFileUnreadable("C:\\Keep.txt", true);
    file = Open("C:\\keep.txt", GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileSize(file, nullptr), 3u);
    char buffer[4];
    DWORD read = 7;
    EXPECT_FALSE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_CRC});
    EXPECT_EQ(read, 0u);
    CloseHandle(file);

    world.RemoveDrive('E');
    EXPECT_EQ(GetLogicalDrives(), 0x4u);
    EXPECT_EQ(GetFileAttributesA("E:\\COMMAND.COM"), INVALID_FILE_ATTRIBUTES);
}

TEST(Files, PathsStayInsideTheSandbox) {
    World& world = World::Get();
    const std::string root = world.SandboxRoot();
    world.PutFile("C:\\..\\..\\..\\escape.txt", "x");
    EXPECT_TRUE(world.FileExists("C:\\escape.txt"));
    HANDLE file = Open("D:\\..\\..\\C\\escape.txt", GENERIC_READ, OPEN_EXISTING);
    EXPECT_EQ(file, INVALID_HANDLE_VALUE);  // ".." stops at D:'s root, which does not exist
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(root).parent_path() / "escape.txt"));
    EXPECT_EQ(Open("\\\\server\\share\\file", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
}

TEST(Files, WindowsDirectoryAndItsBufferSizes) {
    World& world = World::Get();
    char buffer[MAX_PATH + 1];
    EXPECT_EQ(GetWindowsDirectoryA(buffer, sizeof buffer), 10u);
    EXPECT_STREQ(buffer, "C:\\WINDOWS");
    EXPECT_EQ(GetWindowsDirectoryA(buffer, 10), 11u);  // too small: the size it needs
    EXPECT_EQ(GetFileAttributesA("C:\\Windows"), DWORD{FILE_ATTRIBUTE_DIRECTORY});

    world.SetWindowsDirectory("D:\\WINNT");
    EXPECT_EQ(GetWindowsDirectoryA(buffer, sizeof buffer), 8u);
    EXPECT_EQ(GetFileAttributesA("D:\\winnt"), DWORD{FILE_ATTRIBUTE_DIRECTORY});
}

TEST(SaveDialog, ScriptedNamesAndCancel) {
    World& world = World::Get();
    char name[16] = "start";
    OPENFILENAMEA ofn;
    std::memset(&ofn, 0, sizeof ofn);
    ofn.lStructSize = sizeof ofn;
    ofn.lpstrFile = name;
    ofn.nMaxFile = sizeof name;

    EXPECT_FALSE(GetSaveFileNameA(&ofn));  // unscripted: cancelled
    EXPECT_EQ(CommDlgExtendedError(), 0u);

    world.ScriptSaveDialogAnswer("C:\\pwd.txt");
    world.ScriptSaveDialogAnswer("C:\\a\\much-too-long-name.txt");
    ASSERT_TRUE(GetSaveFileNameA(&ofn));
    EXPECT_STREQ(name, "C:\\pwd.txt");
    EXPECT_EQ(ofn.nFileOffset, 3);
    EXPECT_EQ(ofn.nFileExtension, 7);
    EXPECT_FALSE(GetSaveFileNameA(&ofn));
    EXPECT_EQ(CommDlgExtendedError(), DWORD{FNERR_BUFFERTOOSMALL});

    ASSERT_EQ(world.SaveDialogCalls().size(), 3u);
    EXPECT_EQ(world.SaveDialogCalls()[0].initialName, "start");
    EXPECT_TRUE(world.SaveDialogCalls()[1].accepted);
    EXPECT_FALSE(world.SaveDialogCalls()[2].accepted);
}

// Everything a test opened or set up is gone after a Reset.
TEST(Reset, LeavesNothingOpenOrBehind) {
    World& world = World::Get();
    world.PutFile("C:\\file.txt", "x");
    const std::string root = world.SandboxRoot();
    HANDLE file = Open("C:\\file.txt", GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CreateMutexA(nullptr, TRUE, "Held");
    CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HKEY key = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\X", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    world.CreateTopLevelWindow("C", "T", true);
    world.ScheduleAt(100, [] {});
    Sleep(50);
    MessageBoxA(nullptr, "t", "c", MB_OK);
    world.SetLogicalDrives(0xFF);

    world.Reset();
    EXPECT_EQ(world.OpenHandleCount(), 0);
    EXPECT_FALSE(std::filesystem::exists(root));
    EXPECT_FALSE(world.MutexExists("Held"));
    EXPECT_FALSE(world.RegistryKeyExists("Software"));
    EXPECT_TRUE(world.TopLevelWindows().empty());
    EXPECT_EQ(world.ScheduledActionCount(), 0u);
    EXPECT_EQ(world.Now(), 0u);
    EXPECT_TRUE(world.MessageBoxes().empty());
    EXPECT_EQ(GetLogicalDrives(), 0x4u);
    EXPECT_FALSE(CloseHandle(file));
    EXPECT_FALSE(world.FileExists("C:\\file.txt"));
}

}  // namespace
