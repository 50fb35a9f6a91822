// The Windows version, the registry, the drive mask and WinExec.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

#include "winsim/world.h"

namespace {

using winsim::World;

constexpr char kSettings[] = "Software\\KT4790C\\V2.0";

TEST(Version, BothRecordSizesAndTheirFailures) {
    World& world = World::Get();
    OSVERSIONINFOEXA ex{};
    ex.dwOSVersionInfoSize = sizeof ex;
    ASSERT_TRUE(GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&ex)));
    EXPECT_EQ(ex.dwMajorVersion, 5u);
    EXPECT_EQ(ex.dwMinorVersion, 1u);
    EXPECT_EQ(ex.dwPlatformId, DWORD{VER_PLATFORM_WIN32_NT});

    winsim::WindowsVersion me;
    me.major = 4;
    me.minor = 90;
    me.build = 3000;
    me.platformId = VER_PLATFORM_WIN32_WINDOWS;
    me.servicePack = " ";
    world.SetWindowsVersion(me);
    world.SetVersionFailure(winsim::VersionFailure::ExtendedRecord);
    EXPECT_FALSE(GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&ex)));
    OSVERSIONINFOA plain{};
    plain.dwOSVersionInfoSize = sizeof plain;
    ASSERT_TRUE(GetVersionExA(&plain));
    EXPECT_EQ(plain.dwMajorVersion, 4u);
    EXPECT_EQ(plain.dwMinorVersion, 90u);
    EXPECT_EQ(plain.dwPlatformId, DWORD{VER_PLATFORM_WIN32_WINDOWS});
    EXPECT_STREQ(plain.szCSDVersion, " ");

    world.SetVersionFailure(winsim::VersionFailure::BothRecords);
    EXPECT_FALSE(GetVersionExA(&plain));
    world.SetVersionFailure(winsim::VersionFailure::None);
    plain.dwOSVersionInfoSize = 100;  // no record of that size
    EXPECT_FALSE(GetVersionExA(&plain));
}

class Registry : public testing::Test {
protected:
    HKEY Open(const char* path, REGSAM rights, LSTATUS expected = ERROR_SUCCESS) {
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, rights, &key), expected);
        return key;
    }
    LSTATUS Create(const char* path, REGSAM rights, HKEY& key, DWORD* disposition = nullptr) {
        return RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE, rights, nullptr, &key,
                               disposition);
    }
};

TEST_F(Registry, CreateWriteReadAndCountHandles) {
    World& world = World::Get();
    Open(kSettings, KEY_QUERY_VALUE, ERROR_FILE_NOT_FOUND);

    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(Create(kSettings, KEY_SET_VALUE, key, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD{REG_CREATED_NEW_KEY});
    const DWORD one = 1;
    ASSERT_EQ(RegSetValueExA(key, "Pop", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4), ERROR_SUCCESS);
    EXPECT_EQ(world.OpenHandleCount(winsim::HandleKind::RegistryKey), 1);
    // Opened for setting only: reading needs its own right.
    DWORD value = 0;
    DWORD size = sizeof value;
    EXPECT_EQ(RegQueryValueExA(key, "Pop", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);

    EXPECT_EQ(world.GetRegistryDword("software\\kt4790c\\v2.0", "POP"), 1u);
    EXPECT_TRUE(world.RegistryKeyExists("Software\\KT4790C"));

    ASSERT_EQ(Create("SOFTWARE\\kt4790c\\V2.0", KEY_ALL_ACCESS, key, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD{REG_OPENED_EXISTING_KEY});
    DWORD type = 0;
    size = sizeof value;
    ASSERT_EQ(RegQueryValueExA(key, "pop", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD{REG_DWORD});
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
              ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
    EXPECT_EQ(world.OpenHandleCount(), 0);
}

TEST_F(Registry, QueryNeverWritesPastTheCallersBuffer) {
    World& world = World::Get();
    winsim::RegistryValue text;
    text.type = REG_SZ;
    text.data = {'1', '2', '3', '4', '5', '6', 0};
    world.SetRegistryValue(kSettings, "Pop", text);
    HKEY key = Open(kSettings, KEY_READ);

    BYTE buffer[8];
    std::memset(buffer, 0xEE, sizeof buffer);
    DWORD size = 4;
    DWORD type = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Pop", nullptr, &type, buffer, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 7u);
    EXPECT_EQ(buffer[0], 0xEE);
    EXPECT_EQ(type, DWORD{REG_SZ});
    size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Pop", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 7u);

    // A 2-byte value read into a 4-byte integer fills only its first bytes.
    text.data = {'7', 0};
    world.SetRegistryValue(kSettings, "Pop", text);
    DWORD value = 0xAAAAAAAA;
    size = sizeof value;
    EXPECT_EQ(RegQueryValueExA(key, "Pop", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 2u);
    EXPECT_EQ(value, 0xAAAA0037u);
    RegCloseKey(key);
}

TEST_F(Registry, KeysWithRestrictedRights) {
    World& world = World::Get();
    world.SetRegistryDword(kSettings, "Pop", 0);
    world.DenyRegistryFullAccess(kSettings);
    Open(kSettings, KEY_ALL_ACCESS, ERROR_ACCESS_DENIED);
    HKEY key = nullptr;
    EXPECT_EQ(Create(kSettings, KEY_WRITE, key), ERROR_ACCESS_DENIED);
    key = Open(kSettings, KEY_READ);
    ASSERT_NE(key, nullptr);
    const DWORD one = 1;
    EXPECT_EQ(RegSetValueExA(key, "Pop", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4), ERROR_ACCESS_DENIED);
    EXPECT_EQ(world.GetRegistryDword(kSettings, "Pop"), 0u);
    RegCloseKey(key);

    world.DenyRegistryCreate("Software\\Other");
    EXPECT_EQ(Create("Software\\Other\\V2.0", KEY_ALL_ACCESS, key), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(world.RegistryKeyExists("Software\\Other"));
    EXPECT_EQ(world.OpenHandleCount(), 0);
}

TEST_F(Registry, SubkeysOfAnOpenKeyAndDeletedKeys) {
    World& world = World::Get();
    world.SetRegistryDword(kSettings, "Pop", 5);
    HKEY software = Open("Software", KEY_READ);
    HKEY settings = nullptr;
    ASSERT_EQ(RegOpenKeyExA(software, "KT4790C\\V2.0", 0, KEY_READ, &settings), ERROR_SUCCESS);
    world.DeleteRegistryKey("Software\\KT4790C");
    DWORD value = 0;
    DWORD size = sizeof value;
    EXPECT_EQ(RegQueryValueExA(settings, "Pop", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
              ERROR_KEY_DELETED);
    EXPECT_TRUE(world.RegistryKeyExists("Software"));
    RegCloseKey(settings);
    RegCloseKey(software);
}

TEST(Drives, MaskIsSettableAndSchedulable) {
    World& world = World::Get();
    EXPECT_EQ(GetLogicalDrives(), 0x4u);
    world.ScheduleAt(6000, [&] { world.SetLogicalDrives(0x4 | 0x10); });
    Sleep(5999);
    EXPECT_EQ(GetLogicalDrives(), 0x4u);
    Sleep(1);
    EXPECT_EQ(GetLogicalDrives(), 0x14u);
}

TEST(WinExec, RecordsStartsAndCanFail) {
    World& world = World::Get();
    int hookRuns = 0;
    world.SetWinExecHook([&](const winsim::WinExecCall& call) {
        ++hookRuns;
        world.CreateTopLevelWindow("TApplication", call.commandLine.substr(0, 9), false);
    });
    EXPECT_GT(WinExec("KT4790CAP.exe", SW_SHOWNORMAL), 31u);
    EXPECT_NE(FindWindowA(nullptr, "KT4790CAP"), nullptr);

    world.SetWinExecResult(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(WinExec("Missing.exe", SW_SHOWNORMAL), 2u);
    EXPECT_EQ(hookRuns, 1);  // a failed start starts nothing
    ASSERT_EQ(world.WinExecCalls().size(), 2u);
    EXPECT_EQ(world.WinExecCalls()[0].commandLine, "KT4790CAP.exe");
    EXPECT_EQ(world.WinExecCalls()[0].showCommand, 1u);
    EXPECT_EQ(world.WinExecCalls()[1].result, 2u);
}

}  // namespace
