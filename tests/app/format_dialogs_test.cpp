// The format and partition dialogs, opened from the utility window's
// "FORMAT" and "PARTITION" and driven as a person would over emulated disks
// through the real device library of the build; then the medium as the
// host reads it.
#include "erase_dialogs.h"

#include "app/Jutility.h"
#include "app/Main.h"
#include "format/Dformat.h"
#include "format/Partition.h"
#include "format/Sformat.h"
#include "kt4790/records.h"

namespace apptest {
namespace {

using vcl::headless::lastRefusal;
using vcl::headless::userCheck;
using vcl::headless::userClick;
using vcl::headless::userType;


class FormatDialogsTest : public AppTest {
protected:
    void AddFormatDisk(std::uint8_t chipCode, bool large, std::uint8_t zones, std::uint8_t chips) {
        emulator::Config config = Medium(chipCode, large, zones, chips);
        config.deviceName = u"FORMAT DISK";
        disk_ = std::make_shared<emulator::Controller>(config);
        World().AddDevice(disk_);
    }

    // Starts the program and shows the utility window, as a correct
    // password does.
    void StartProgram() {
        ASSERT_EQ(AppMain(), 0);
        MainForm->SetVisible(false);
        JUtilityForm->SetVisible(true);
        World().ClearMessageBoxes();
    }

    std::uint16_t PartitionWordNow() const {
        std::uint8_t sector[512];
        ReadDescriptorSector(*disk_, sector);
        return kt4790::ReadBigEndian16(sector + kt4790::kPartitionWordOffset);
    }

    // Host sector s (READ(10) through the controller's map).
    std::vector<std::uint8_t> Host(std::uint32_t s) const {
        std::vector<std::uint8_t> data(512, 0);
        const std::uint32_t spb = disk_->sectorsPerBlock();
        disk_->ReadPhysical(disk_->PhysicalBlockOf(s / spb) * spb + s % spb, data.data(), nullptr);
        return data;
    }

    std::shared_ptr<emulator::Controller> disk_;
};

// Partition a 15.6 MB medium into 5 MB of security area with the floppy
// layout, then format it again from "FORMAT": the split sends it to the
// two-area dialog; after a partition that leaves no standard area the
// single-disk dialog formats the whole medium.
TEST_F(FormatDialogsTest, PartitionThenFormat) {
    AddFormatDisk(0x30, false, 1, 1);
    StartProgram();
    ASSERT_TRUE(userClick(JUtilityForm->btnPartition)) << lastRefusal();
    ASSERT_TRUE(PartitionForm->Visible());
    EXPECT_EQ(PartitionForm->labTotalSize->Caption(), "15.6MB");
    ASSERT_TRUE(userType(PartitionForm->edtSEQ, "5")) << lastRefusal();
    EXPECT_EQ(PartitionForm->labStandardSize->Caption(), "10.6MB");
    ASSERT_TRUE(userClick(PartitionForm->btnStartParti)) << lastRefusal();
    EXPECT_EQ(Boxes(), (std::vector<Box>{kConfirm, kPartitioned}));
    EXPECT_FALSE(PartitionForm->Visible());
    EXPECT_EQ(PartitionWordNow(), 1000 - 5 * 64);
    EXPECT_EQ(Host(0)[0], 0xEB);                     // the standard area's boot sector
    EXPECT_EQ(Host((1000 - 320) * 32)[0], 0xEB);     // the security area's
    EXPECT_TRUE(JUtilityForm->btnFormat->Enabled());

    World().ClearMessageBoxes();
    ASSERT_TRUE(userClick(JUtilityForm->btnFormat)) << lastRefusal();
    EXPECT_TRUE(JDFormatForm->Visible());
    EXPECT_EQ(JDFormatForm->DeviceName, "FORMAT DISK");
    JDFormatForm->SetVisible(false);
    JUtilityForm->EnableAllButtons();

    ASSERT_TRUE(userClick(JUtilityForm->btnPartition)) << lastRefusal();
    ASSERT_TRUE(userType(PartitionForm->edtSEQ, "15")) << lastRefusal();
    EXPECT_EQ(PartitionForm->edtSEQ->Text(), "15.6");
    EXPECT_EQ(PartitionForm->labStandardSize->Caption(), "0MB");
    ASSERT_TRUE(userCheck(PartitionForm->rbtnHDDBoot)) << lastRefusal();
    World().ClearMessageBoxes();
    ASSERT_TRUE(userClick(PartitionForm->btnStartParti)) << lastRefusal();
    EXPECT_EQ(Boxes(), (std::vector<Box>{kConfirm, kPartitioned}));
    EXPECT_EQ(PartitionWordNow(), 0);

    World().ClearMessageBoxes();
    ASSERT_TRUE(userClick(JUtilityForm->btnFormat)) << lastRefusal();
    ASSERT_TRUE(JSFormatForm->Visible());
    ASSERT_TRUE(userType(JSFormatForm->edtVolume, "whole disk")) << lastRefusal();
    ASSERT_TRUE(userClick(JSFormatForm->btnStart)) << lastRefusal();
    EXPECT_EQ(Boxes(), (std::vector<Box>{kFormattedBox}));
    EXPECT_FALSE(JSFormatForm->Visible());
    EXPECT_EQ(Host(0)[0], 0xEB);  // floppy layout: the boot sector at sector 0
    EXPECT_EQ(HandlesBesidesTheMutex(), 0);
}

}  // namespace
}  // namespace apptest
