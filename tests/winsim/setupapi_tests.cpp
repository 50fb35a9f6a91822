// SetupAPI: the walk over present disk interfaces as a 32-bit caller makes
// it, with the record sizes of 32-bit Windows.
#include <windows.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "winsim/world.h"

namespace {

using winsim::World;

const GUID kDiskInterface = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
constexpr DWORD kListFlags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;

SP_DEVICE_INTERFACE_DATA InterfaceRecord() {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = 28;
    return data;
}

// The device paths of a list, read the way discovery reads them: size
// first, then the detail in a buffer of exactly that size.
std::vector<std::string> Paths(HDEVINFO list) {
    std::vector<std::string> paths;
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA data = InterfaceRecord();
        if (!SetupDiEnumDeviceInterfaces(list, nullptr, &kDiskInterface, index, &data)) {
            EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
            break;
        }
        DWORD size = 0;
        EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(list, &data, nullptr, 0, &size, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
        std::vector<char> buffer(size);
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
        detail->cbSize = 5;
        EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailA(list, &data, detail, size, nullptr, nullptr));
        paths.emplace_back(buffer.data() + 4);
        EXPECT_EQ(size, 4 + paths.back().size() + 1);
    }
    return paths;
}

std::vector<std::string> ListPaths(DWORD flags = kListFlags, const GUID& guid = kDiskInterface) {
    HDEVINFO list = SetupDiGetClassDevsA(&guid, nullptr, nullptr, flags);
    EXPECT_NE(list, INVALID_HANDLE_VALUE);
    std::vector<std::string> paths = Paths(list);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(list));
    return paths;
}

TEST(SetupApi, ListsPresentVisibleDisksInOrder) {
    World& world = World::Get();
    const std::string first = world.AddDevice(emulator::Config{}).interfacePath;
    world.AddDevice(emulator::Config{}).visibleToSetupApi = false;
    const std::string removed = world.AddDevice(emulator::Config{}).interfacePath;
    world.devices().back().controller->Remove();
    const std::string last = world.AddDevice(emulator::Config{}).interfacePath;

    EXPECT_EQ(ListPaths(), (std::vector<std::string>{first, last}));
    // Without DIGCF_PRESENT the removed disk is listed too.
    EXPECT_EQ(ListPaths(DIGCF_DEVICEINTERFACE), (std::vector<std::string>{first, removed, last}));
    EXPECT_EQ(world.OpenHandleCount(), 0);
    EXPECT_EQ(world.OpenDeviceListCount(), 0);
}

TEST(SetupApi, OtherClassesAndSetupClassesListNothing) {
    World::Get().AddDevice(emulator::Config{});
    GUID other = kDiskInterface;
    other.Data4[7] ^= 1;
    EXPECT_TRUE(ListPaths(kListFlags, other).empty());
    EXPECT_TRUE(ListPaths(DIGCF_PRESENT).empty());
}

TEST(SetupApi, RecordSizesOfSixtyFourBitCallersAreRefused) {
    World::Get().AddDevice(emulator::Config{});
    HDEVINFO list = SetupDiGetClassDevsA(&kDiskInterface, nullptr, nullptr, kListFlags);
    ASSERT_NE(list, INVALID_HANDLE_VALUE);

    SP_DEVICE_INTERFACE_DATA data = InterfaceRecord();
    data.cbSize = 32;
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(list, nullptr, &kDiskInterface, 0, &data));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);

    data = InterfaceRecord();
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(list, nullptr, &kDiskInterface, 0, &data));
    EXPECT_EQ(data.Flags, SPINT_ACTIVE);
    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailA(list, &data, nullptr, 0, &size, nullptr);
    std::vector<char> buffer(size + 8, 'x');
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());

    detail->cbSize = 8;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(list, &data, detail, size, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);

    // One byte short of the path's terminating zero: nothing is written.
    detail->cbSize = 5;
    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(list, &data, detail, size - 1, &required, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(required, size);
    EXPECT_EQ(buffer[4], 'x');

    // A size asked for with a buffer size but no buffer.
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(list, &data, nullptr, size, &required, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);

    // An interface record that this list never filled.
    SP_DEVICE_INTERFACE_DATA stranger = InterfaceRecord();
    stranger.Reserved = 7;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(list, &stranger, detail, size, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(list));
}

TEST(SetupApi, ListsAreCountedUntilDestroyed) {
    World& world = World::Get();
    HDEVINFO a = SetupDiGetClassDevsA(&kDiskInterface, nullptr, nullptr, kListFlags);
    HDEVINFO b = SetupDiGetClassDevsA(&kDiskInterface, nullptr, nullptr, kListFlags);
    EXPECT_NE(a, b);
    EXPECT_EQ(world.OpenDeviceListCount(), 2);
    EXPECT_EQ(world.OpenHandleCount(), 2);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(a));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(a));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(b)) << "a device-information list is no kernel handle";
    EXPECT_EQ(world.OpenDeviceListCount(), 1);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(b));
    EXPECT_EQ(world.OpenDeviceListCount(), 0);

    SP_DEVICE_INTERFACE_DATA data = InterfaceRecord();
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(b, nullptr, &kDiskInterface, 0, &data));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(SetupApi, FailingSetupApiMakesNoList) {
    World& world = World::Get();
    world.AddDevice(emulator::Config{});
    world.SetSetupApiFails(true);
    EXPECT_EQ(SetupDiGetClassDevsA(&kDiskInterface, nullptr, nullptr, kListFlags), INVALID_HANDLE_VALUE);
    EXPECT_EQ(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, kListFlags), INVALID_HANDLE_VALUE);
    EXPECT_EQ(world.OpenDeviceListCount(), 0);

    // A caller that goes on with the failed list finds nothing.
    SP_DEVICE_INTERFACE_DATA data = InterfaceRecord();
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(INVALID_HANDLE_VALUE, nullptr, &kDiskInterface, 0, &data));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
