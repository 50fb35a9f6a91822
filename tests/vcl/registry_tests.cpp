// TRegistry over the system's registry: the framework's errors, word for word.
#include "fixture.h"

namespace vcltest {
namespace {

const char* const kKey = "Software\\KT4790C\\V2.0";

class RegistryTest : public FrameworkTest {
protected:
    void SetUp() override {
        FrameworkTest::SetUp();
        world().CreateRegistryKey(kKey);
    }
    // Opens the key as the application does: full access, not created.
    TRegistry* Open() {
        auto* registry = new TRegistry();
        registry->SetRootKey(HKEY_LOCAL_MACHINE);
        if (!registry->OpenKey(kKey, false)) {
            delete registry;
            return nullptr;
        }
        return registry;
    }
    std::string ReadError() {
        std::unique_ptr<TRegistry> registry(Open());
        try {
            registry->ReadInteger("Pop");
        } catch (const ERegistryException& error) {
            return error.Message();
        }
        return "no error";
    }
};

TEST_F(RegistryTest, ReadsAndWritesAnInteger) {
    world().SetRegistryDword(kKey, "Pop", 7);
    std::unique_ptr<TRegistry> registry(Open());
    ASSERT_NE(registry, nullptr);
    EXPECT_EQ(registry->ReadInteger("Pop"), 7);
    registry->WriteInteger("Pop", 1);
    EXPECT_EQ(world().GetRegistryDword(kKey, "Pop"), 1u);
}

TEST_F(RegistryTest, AMissingValueFailsToGetData) {
    EXPECT_EQ(ReadError(), "Failed to get data for 'Pop'");
}

TEST_F(RegistryTest, AValueOfAnotherTypeHasAnInvalidDataType) {
    world().SetRegistryValue(kKey, "Pop", winsim::RegistryValue{REG_SZ, {'1', 0}});
    EXPECT_EQ(ReadError(), "Invalid data type for 'Pop'");
    // Also when it is too long to fit an integer.
    world().SetRegistryValue(kKey, "Pop", winsim::RegistryValue{REG_BINARY, std::vector<std::uint8_t>(16, 1)});
    EXPECT_EQ(ReadError(), "Invalid data type for 'Pop'");
}

TEST_F(RegistryTest, AnOverlongIntegerFailsToGetDataRatherThanOverflow) {
    world().SetRegistryValue(kKey, "Pop", winsim::RegistryValue{REG_DWORD, std::vector<std::uint8_t>(8, 0xAB)});
    EXPECT_EQ(ReadError(), "Failed to get data for 'Pop'");
}

TEST_F(RegistryTest, AMissingKeyIsNotCreatedWhenOpeningWithoutCreation) {
    world().DeleteRegistryKey(kKey);
    EXPECT_EQ(Open(), nullptr);
    EXPECT_FALSE(world().RegistryKeyExists(kKey));

    TRegistry registry;
    registry.SetRootKey(HKEY_LOCAL_MACHINE);
    EXPECT_TRUE(registry.OpenKey(kKey, true));
    EXPECT_TRUE(world().RegistryKeyExists(kKey));
}

TEST_F(RegistryTest, AKeyWithoutFullAccessDoesNotOpenWithFullAccess) {
    world().DenyRegistryFullAccess(kKey);
    EXPECT_EQ(Open(), nullptr);
    TRegistry reader(KEY_READ);
    reader.SetRootKey(HKEY_LOCAL_MACHINE);
    EXPECT_TRUE(reader.OpenKey(kKey, false));
}

TEST_F(RegistryTest, AFailedWriteIsReported) {
    world().SetRegistryDword(kKey, "Pop", 0);
    TRegistry reader(KEY_READ);
    reader.SetRootKey(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reader.OpenKey(kKey, false));
    try {
        reader.WriteInteger("Pop", 1);
        FAIL() << "no error";
    } catch (const ERegistryException& error) {
        EXPECT_EQ(error.Message(), "Failed to set data for 'Pop'");
    }
    EXPECT_EQ(world().GetRegistryDword(kKey, "Pop"), 0u);
}

TEST_F(RegistryTest, TheKeyIsClosedWhenTheObjectGoesAndWhenAnotherOpens) {
    world().CreateRegistryKey("Software\\Other");
    {
        std::unique_ptr<TRegistry> registry(Open());
        ASSERT_NE(registry, nullptr);
        EXPECT_EQ(world().OpenHandleCount(winsim::HandleKind::RegistryKey), 1);
        EXPECT_TRUE(registry->OpenKey("\\Software\\Other", false));
        EXPECT_EQ(world().OpenHandleCount(winsim::HandleKind::RegistryKey), 1);
    }
    EXPECT_EQ(world().OpenHandleCount(winsim::HandleKind::RegistryKey), 0);
}

}  // namespace
}  // namespace vcltest
