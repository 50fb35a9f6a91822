// Device handles: which paths open, and that every handle is counted until
// it is closed.
#include <windows.h>

#include <gtest/gtest.h>

#include <thread>

#include "winsim/world.h"

namespace {

using winsim::World;

HANDLE OpenDevice(const std::string& path, DWORD access = GENERIC_READ | GENERIC_WRITE,
                  DWORD disposition = OPEN_EXISTING) {
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition, 0, nullptr);
}

TEST(DeviceHandles, OpenAndCloseAreCounted) {
    const std::string path = World::Get().AddDevice(emulator::Config{}).interfacePath;

    HANDLE first = OpenDevice(path);
    HANDLE second = OpenDevice(path);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    EXPECT_NE(first, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(World::Get().OpenHandleCount(), 2);

    EXPECT_TRUE(CloseHandle(first));
    EXPECT_EQ(World::Get().OpenHandleCount(), 1);
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(CloseHandle(first));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(CloseHandle(second));
    EXPECT_EQ(World::Get().OpenHandleCount(), 0);
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
}

TEST(DeviceHandles, PathMatchesWithoutRegardToCase) {
    World::Get().AddDevice(emulator::Config{}, "\\\\?\\usbstor#disk&rev_kvor#1#{guid}");
    HANDLE device = OpenDevice("\\\\?\\USBSTOR#DISK&REV_KVOR#1#{GUID}");
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(device));
}

TEST(DeviceHandles, RefusedOpensLeaveNothingOpen) {
    World& world = World::Get();
    winsim::EmulatedDevice& locked = world.AddDevice(emulator::Config{}, "\\\\?\\locked");
    locked.openable = false;
    world.AddDevice(emulator::Config{}, "\\\\?\\gone").controller->Remove();
    world.AddDevice(emulator::Config{}, "\\\\?\\present");

    struct Case {
        const char* path;
        DWORD disposition;
        DWORD error;
    };
    const Case cases[] = {
        {"\\\\?\\missing", OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
        {"\\\\?\\gone", OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
        {"\\\\?\\locked", OPEN_EXISTING, ERROR_ACCESS_DENIED},
        {"\\\\?\\present", 2 /* create always */, ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(OpenDevice(c.path, GENERIC_READ | GENERIC_WRITE, c.disposition), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), c.error);
    }
    EXPECT_EQ(CreateFileA(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(world.OpenHandleCount(), 0);
}

TEST(DeviceHandles, ResetForgetsOpenHandles) {
    const std::string path = World::Get().AddDevice(emulator::Config{}).interfacePath;
    HANDLE device = OpenDevice(path);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    World::Get().Reset();
    EXPECT_EQ(World::Get().OpenHandleCount(), 0);
    EXPECT_FALSE(CloseHandle(device));
}

TEST(LastError, BelongsToEachThread) {
    SetLastError(ERROR_GEN_FAILURE);
    DWORD seenThere = 1;
    std::thread other([&] {
        seenThere = GetLastError();
        SetLastError(ERROR_NO_MORE_ITEMS);
    });
    other.join();
    EXPECT_EQ(seenThere, ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
}

TEST(Devices, InterfacePathCarriesRevisionAndAspiAddressesFillUp) {
    World& world = World::Get();
    emulator::Config fallback;
    fallback.revision = {{'P', '1', '.', '0'}};
    const winsim::EmulatedDevice first = world.AddDevice(emulator::Config{});
    const winsim::EmulatedDevice second = world.AddDevice(fallback);
    EXPECT_NE(first.interfacePath.find("&rev_kvor#"), std::string::npos) << first.interfacePath;
    EXPECT_NE(second.interfacePath.find("&rev_p1.0#"), std::string::npos) << second.interfacePath;
    EXPECT_NE(first.interfacePath, second.interfacePath);
    EXPECT_EQ(world.FindDevice(second.interfacePath)->controller, second.controller);

    EXPECT_EQ(first.hostAdapter, 0);
    EXPECT_EQ(first.target, 0);
    EXPECT_EQ(second.target, 1);
    for (int i = 2; i < 8; ++i) world.AddDevice(emulator::Config{});
    const winsim::EmulatedDevice ninth = world.AddDevice(emulator::Config{});
    EXPECT_EQ(ninth.hostAdapter, 1);
    EXPECT_EQ(ninth.target, 0);
    EXPECT_EQ(world.AspiAdapterCount(), 2);
}

}  // namespace
