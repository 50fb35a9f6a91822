// Dynamic binding: bare library names, exports by name, hidden libraries
// and exports, and the count of loads not yet freed.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include "winsim/world.h"

namespace {

using winsim::World;

constexpr const char* kProbe = "WinsimProbe";

template <typename Proc>
Proc Bind(HMODULE module, const char* name) {
    return reinterpret_cast<Proc>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

TEST(Binding, LoadBindCallFree) {
    World& world = World::Get();
    HMODULE module = LoadLibraryA(kProbe);
    ASSERT_NE(module, nullptr) << "looked in " << world.LibraryDirectory();
    EXPECT_EQ(world.LoadedLibraryCount(), 1);

    auto answer = Bind<int (*)()>(module, "ProbeAnswer");
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);

    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(world.LoadedLibraryCount(), 0);
    EXPECT_FALSE(FreeLibrary(module));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(world.LoadedLibraryCount(), 0);
}

TEST(Binding, EveryLoadIsCountedAndStateEndsWithTheLastFree) {
    World& world = World::Get();
    HMODULE first = LoadLibraryA(kProbe);
    HMODULE second = LoadLibraryA(kProbe);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_EQ(world.LoadedLibraryCount(), 2);

    auto calls = Bind<int (*)()>(first, "ProbeCalls");
    ASSERT_NE(calls, nullptr);
    EXPECT_EQ(calls(), 1);
    EXPECT_EQ(calls(), 2);
    EXPECT_TRUE(FreeLibrary(second));
    EXPECT_EQ(world.LoadedLibraryCount(), 1);
    EXPECT_EQ(calls(), 3) << "still loaded once";
    EXPECT_TRUE(FreeLibrary(first));

    // Loaded afresh, the library starts from its initial state.
    HMODULE again = LoadLibraryA(kProbe);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(Bind<int (*)()>(again, "ProbeCalls")(), 1);
    EXPECT_TRUE(FreeLibrary(again));
    EXPECT_EQ(world.LoadedLibraryCount(), 0);
}

TEST(Binding, HiddenLibraryCannotBeLoaded) {
    World& world = World::Get();
    world.HideLibrary("winsimprobe");
    EXPECT_TRUE(world.LibraryHidden(kProbe));
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(LoadLibraryA(kProbe), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(world.LoadedLibraryCount(), 0);

    world.Reset();
    HMODULE module = LoadLibraryA(kProbe);
    EXPECT_NE(module, nullptr) << "a Reset shows the library again";
    FreeLibrary(module);
}

TEST(Binding, NamesThatAreNotBareOrNotThereFail) {
    World& world = World::Get();
    const std::string inDirectory = world.LibraryDirectory() + "/" + kProbe;
    const char* names[] = {"NoSuchLibrary", "", inDirectory.c_str(), "..\\WinsimProbe", "WinsimProbe.so"};
    for (const char* name : names) {
        SCOPED_TRACE(name);
        EXPECT_EQ(LoadLibraryA(name), nullptr);
    }
    EXPECT_EQ(LoadLibraryA(nullptr), nullptr);

    world.SetLibraryDirectory("/nonexistent");
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(LoadLibraryA(kProbe), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(world.LoadedLibraryCount(), 0);
}

TEST(Binding, OnlyTheLibrarysOwnVisibleExportsResolve) {
    World& world = World::Get();
    world.HideExport("WINSIMPROBE", "ProbeCalls");
    EXPECT_TRUE(world.ExportHidden(kProbe, "ProbeCalls"));
    EXPECT_FALSE(world.ExportHidden(kProbe, "probecalls")) << "export names keep their case";

    HMODULE module = LoadLibraryA(kProbe);
    ASSERT_NE(module, nullptr);
    const char* missing[] = {
        "ProbeCalls",    // hidden
        "probeanswer",   // another case
        "NoSuchExport",  //
        "CreateFileA",   // the probe calls it, but it is winsim's
        "malloc",        // the C library's
    };
    for (const char* name : missing) {
        SCOPED_TRACE(name);
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(GetProcAddress(module, name), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
    }
    EXPECT_EQ(GetProcAddress(module, reinterpret_cast<LPCSTR>(1)), nullptr) << "no binding by ordinal";
    EXPECT_NE(GetProcAddress(module, "ProbeAnswer"), nullptr);
    FreeLibrary(module);

    EXPECT_EQ(GetProcAddress(module, "ProbeAnswer"), nullptr) << "a freed module";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    // The names asked of loaded libraries, in order, resolved or not.
    std::vector<std::string> asked(std::begin(missing), std::end(missing));
    asked.push_back("ProbeAnswer");
    EXPECT_EQ(world.ProcNamesAsked(), asked);
    world.ClearProcNamesAsked();
    EXPECT_TRUE(world.ProcNamesAsked().empty());
}

TEST(Binding, LoadedLibrarySharesTheWorld) {
    World& world = World::Get();
    const std::string path = world.AddDevice(emulator::Config{}).interfacePath;
    HMODULE module = LoadLibraryA(kProbe);
    ASSERT_NE(module, nullptr);
    auto open = Bind<HANDLE (*)(const char*)>(module, "ProbeOpen");
    ASSERT_NE(open, nullptr);

    HANDLE device = open(path.c_str());
    EXPECT_NE(device, INVALID_HANDLE_VALUE);
    EXPECT_EQ(world.OpenHandleCount(), 1);
    EXPECT_TRUE(CloseHandle(device));
    EXPECT_EQ(world.OpenHandleCount(), 0);
    FreeLibrary(module);
}

TEST(Binding, ResetKeepsLeakedLoadsCounted) {
    World& world = World::Get();
    HMODULE module = LoadLibraryA(kProbe);
    ASSERT_NE(module, nullptr);
    world.Reset();
    EXPECT_EQ(world.LoadedLibraryCount(), 1);
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(world.LoadedLibraryCount(), 0);
}

}  // namespace
