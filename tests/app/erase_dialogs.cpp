#include "erase_dialogs.h"

#include "app/Jutility.h"
#include "app/Main.h"

namespace apptest {

void EraseDialogTest::Start(const emulator::Config& config) {
    auto disk = std::make_shared<emulator::Controller>(config);
    std::uint8_t sector[512];
    ReadDescriptorSector(*disk, sector);
    sector[kt4790::kBootFlagOffset] = 1;
    WriteDescriptorSector(*disk, sector);
    Launch(disk);
}

void EraseDialogTest::Launch(std::shared_ptr<emulator::Controller> disk) {
    vcl::headless::resetApplication();
    ClearFormGlobals();
    World().Reset();
    World().SetWindowsVersion(SupportedVersion());
    disk_ = std::move(disk);
    World().AddDevice(disk_);
    ASSERT_EQ(AppMain(), 0);
    MainForm->SetVisible(false);
    JUtilityForm->SetVisible(true);
}

std::size_t EraseDialogTest::Count(std::uint8_t opcode, std::int64_t address) const {
    std::size_t count = 0;
    for (const emulator::CommandRecord& r : disk_->trace()) {
        count += r.cdb[0] == opcode && (address < 0 || kt4790::ReadBigEndian32(&r.cdb[2]) == address);
    }
    return count;
}

std::vector<std::uint8_t> EraseDialogTest::Descriptor() const {
    std::uint8_t sector[512];
    ReadDescriptorSector(*disk_, sector);
    return {sector, sector + 512};
}

void EraseDialogTest::ExpectOpenAndIdle(const vcl::TForm* dialog, const vcl::TButton* start,
                                        const vcl::TButton* close) {
    EXPECT_TRUE(dialog->Visible());
    EXPECT_TRUE(start->Enabled());
    EXPECT_TRUE(close->Enabled());
    EXPECT_FALSE(JUtilityForm->btnFormat->Enabled());
}

void EraseDialogTest::ExpectClosed(const vcl::TForm* dialog, const vcl::TButton* start, const vcl::TButton* close) {
    EXPECT_FALSE(dialog->Visible());
    EXPECT_TRUE(start->Enabled());
    EXPECT_TRUE(close->Enabled());
    EXPECT_TRUE(JUtilityForm->Enabled());
    EXPECT_TRUE(JUtilityForm->btnFormat->Enabled());
    EXPECT_TRUE(JUtilityForm->btnPartition->Enabled());
}

}  // namespace apptest
