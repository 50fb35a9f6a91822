// Passwords, write protection, the replies of the queries and standard
// commands, and requests that do not fit their command.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "drive.h"

using emulator::Controller;
using emulator::DataDirection;
using emutest::Good;
using emutest::MakeConfig;
using emutest::Refused;
using emutest::Send;

namespace {

bool Password(Controller& c, const devcmd::Command& command, const std::string& current,
              const std::string& next = "") {
    kt4790::PasswordBlock block;
    block.SetCurrent(current.data(), current.size());
    block.SetNew(next.data(), next.size());
    return Good(Send(c, command, block.bytes));
}

int PwdExist(Controller& c) {
    std::uint8_t reply[192] = {};
    EXPECT_TRUE(Good(Send(c, devcmd::PwdExist(), reply)));
    return reply[0];
}

TEST(Passwords, SetCheckChangeAndClear) {
    Controller c(MakeConfig(0x30, false, 1, 1));
    EXPECT_EQ(0, PwdExist(c));
    EXPECT_TRUE(Password(c, devcmd::CheckPwd(), ""));  // none set: length 0 passes
    EXPECT_TRUE(Password(c, devcmd::ChangePwd(), "", "abcd"));
    EXPECT_EQ(1, PwdExist(c));
    EXPECT_FALSE(Password(c, devcmd::CheckPwd(), "abc"));
    EXPECT_FALSE(Password(c, devcmd::CheckPwd(), "abcde"));
    EXPECT_TRUE(Password(c, devcmd::CheckPwd(), "abcd"));

    EXPECT_FALSE(Password(c, devcmd::ChangePwd(), "abce", "x"));
    EXPECT_TRUE(Password(c, devcmd::ChangePwd(), "abcd", std::string(254, 'p')));
    EXPECT_FALSE(Password(c, devcmd::ClearPwd(), "abcd"));
    EXPECT_TRUE(Password(c, devcmd::ClearPwd(), std::string(254, 'p')));
    EXPECT_EQ(0, PwdExist(c));
    EXPECT_TRUE(Password(c, devcmd::ChangePwd(), "", "q"));
    EXPECT_TRUE(Password(c, devcmd::ChangePwd(), "q", ""));  // a new length of 0 clears
    EXPECT_EQ(0, PwdExist(c));

    kt4790::PasswordBlock block;
    block.bytes[kt4790::kPwdNewLength] = 255;  // no room for the text's zero byte
    EXPECT_TRUE(Refused(Send(c, devcmd::ChangePwd(), block.bytes)));
    EXPECT_EQ(0, PwdExist(c));
}

TEST(Passwords, ThreeFailedChecksInARowLockUntilReplug) {
    emulator::Config config = MakeConfig(0x30, false, 1, 1);
    config.password = "secret";
    Controller c(config);
    EXPECT_FALSE(Password(c, devcmd::CheckPwd(), "a"));
    EXPECT_FALSE(Password(c, devcmd::CheckPwd(), "b"));
    EXPECT_FALSE(Password(c, devcmd::ChangePwd(), "c", "d"));  // does not count
    EXPECT_TRUE(Password(c, devcmd::CheckPwd(), "secret"));
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(Password(c, devcmd::CheckPwd(), "x"));

    EXPECT_FALSE(Password(c, devcmd::CheckPwd(), "secret"));
    EXPECT_FALSE(Password(c, devcmd::ChangePwd(), "secret", ""));
    EXPECT_FALSE(Password(c, devcmd::ClearPwd(), "secret"));
    EXPECT_EQ(1, PwdExist(c));  // the other commands go on
    c.Remove();
    c.Replug();
    EXPECT_TRUE(Password(c, devcmd::CheckPwd(), "secret"));
}

TEST(WriteProtection, RefusesEveryWriteAndReportsTheBit) {
    for (bool protectedMedium : {false, true}) {
        emulator::Config config = MakeConfig(0x13, false, 1, 1);
        config.writeProtected = protectedMedium;
        Controller c(config);
        std::uint8_t header[512];
        std::memset(header, 0xEE, sizeof header);
        const emulator::Outcome modeSense = Send(c, devcmd::ModeSense10(), header);
        ASSERT_TRUE(Good(modeSense));
        EXPECT_EQ(protectedMedium ? 0x80 : 0x00, header[3]);
        EXPECT_EQ(0xEE, header[8]);  // an 8-byte header and nothing more
        EXPECT_EQ(8u, modeSense.transferred);  // so the data phase ends there

        std::uint8_t sector[512] = {};
        EXPECT_EQ(!protectedMedium, Good(Send(c, devcmd::VscWriteSector(40, 1, 0), sector)));
        EXPECT_EQ(!protectedMedium, Good(Send(c, devcmd::EraseBlock(0, 0, 0), nullptr)));
        EXPECT_EQ(!protectedMedium, Good(Send(c, devcmd::SetEString(), sector)));
        EXPECT_EQ(!protectedMedium, Good(Send(c, devcmd::Write10(0, 512), sector)));
        c.ReadPhysical(1, sector, nullptr);
        EXPECT_EQ(protectedMedium, emutest::NameOf(sector, kt4790::kNameDescriptorIndex) == u"My Disk 1");
    }
}

TEST(Replies, InquiryCapacityAndVendorQueries) {
    emulator::Config config = MakeConfig(0x13, true, 8, 0x24);
    config.revision = {{'P', '1', '.', '0'}};
    config.inquiryByte3 = 0x82;
    Controller c(config);
    std::uint8_t data[512];
    std::memset(data, 0xEE, sizeof data);
    // INQUIRY answers its additional length + 5 bytes, 36, and its data
    // phase ends there; a smaller allocation length cuts it.
    const emulator::Outcome inquiryReply = Send(c, devcmd::Inquiry(), data);
    ASSERT_TRUE(Good(inquiryReply));
    EXPECT_EQ(36u, inquiryReply.transferred);
    EXPECT_EQ(36, data[4] + 5);
    EXPECT_EQ(0x00, data[0]);
    EXPECT_EQ(0x80, data[1]);
    EXPECT_EQ(0x82, data[3]);
    EXPECT_EQ("P1.0", std::string(reinterpret_cast<char*>(data + 32), 4));
    EXPECT_EQ(0xEE, data[36]);
    devcmd::Command inquiry = devcmd::Inquiry();
    inquiry.cdb.bytes[4] = 20;  // allocation length below the reply
    std::memset(data, 0xEE, sizeof data);
    EXPECT_EQ(20u, Send(c, inquiry, data).transferred);
    EXPECT_EQ(0xEE, data[20]);

    ASSERT_TRUE(Good(Send(c, devcmd::ReadCapacity10(), data)));
    EXPECT_EQ(1000u * 256 - 1, kt4790::ReadBigEndian32(data));
    EXPECT_EQ(512u, kt4790::ReadBigEndian32(data + 4));

    std::memset(data, 0xEE, sizeof data);
    const emulator::Outcome mediaSize = Send(c, devcmd::GetMediaSize(), data, 512);  // as the ASPI build asks
    ASSERT_TRUE(Good(mediaSize));
    EXPECT_EQ(512u, mediaSize.transferred);  // the whole transfer, past the 192-byte reply
    EXPECT_EQ(1, data[0]);
    EXPECT_EQ(8, data[1]);
    EXPECT_EQ(0x24, data[2]);
    EXPECT_EQ(0, data[191]);
    EXPECT_EQ(0xEE, data[192]);
    std::memset(data, 0xEE, sizeof data);
    const devcmd::Command chip = devcmd::GetChipVersion();
    ASSERT_TRUE(Good(c.Execute(chip.cdb.bytes, 6, DataDirection::In, data, 4)));  // 6 CDB bytes, as over ASPI
    EXPECT_EQ(0x13, data[0]);
    EXPECT_EQ(0xEE, data[4]);

    // SenseCommand reports the status of the command before it.
    EXPECT_TRUE(Refused(Send(c, devcmd::VscReadSector(0xFFFFFF00, 0, 0), data)));
    ASSERT_TRUE(Good(Send(c, devcmd::SenseCommand(), data)));
    EXPECT_EQ(2, data[0]);
}

TEST(MalformedRequests, AreRefusedWithoutTouchingTheBuffer) {
    Controller c(MakeConfig(0x30, false, 1, 1));
    std::uint8_t buffer[512];
    std::memset(buffer, 0xEE, sizeof buffer);
    const devcmd::Command read = devcmd::VscReadSector(1, 0, 0);
    EXPECT_TRUE(Refused(c.Execute(read.cdb.bytes, 11, DataDirection::Out, buffer, 512)));
    EXPECT_TRUE(Refused(c.Execute(read.cdb.bytes, 11, DataDirection::In, buffer, 511)));
    EXPECT_TRUE(Refused(c.Execute(read.cdb.bytes, 11, DataDirection::In, nullptr, 512)));
    EXPECT_TRUE(Refused(c.Execute(read.cdb.bytes, 0, DataDirection::In, buffer, 512)));
    EXPECT_TRUE(Refused(c.Execute(read.cdb.bytes, 17, DataDirection::In, buffer, 512)));
    EXPECT_TRUE(Refused(c.Execute(nullptr, 11, DataDirection::In, buffer, 512)));
    const std::uint8_t unknown[11] = {0xF6};
    EXPECT_TRUE(Refused(c.Execute(unknown, 11, DataDirection::In, buffer, 512)));
    for (std::uint8_t b : buffer) ASSERT_EQ(0xEE, b);

    // A fault that lets the command run still finds the request malformed
    // first: no data, or no CDB, reaches the firmware.
    const std::uint8_t changePwd[6] = {devcmd::kOpChangePwd};
    for (const auto kind : {emulator::FaultKind::StatusOne, emulator::FaultKind::ShortTransfer,
                            emulator::FaultKind::WriteProtected}) {
        c.InjectFault(emulator::Fault{kind, 0, -1, false});
        EXPECT_TRUE(Refused(c.Execute(changePwd, 6, DataDirection::Out, nullptr, 512)));
        c.InjectFault(emulator::Fault{kind, 0, -1, false});
        EXPECT_TRUE(Refused(c.Execute(nullptr, 6, DataDirection::In, buffer, 512)));
    }
    for (std::uint8_t b : buffer) ASSERT_EQ(0xEE, b);
    EXPECT_TRUE(c.config().password.empty());

    // Writes to the descriptor sector with the wrong direction or too little data.
    const devcmd::Command write = devcmd::VscWriteSector(1, 0, 0);
    EXPECT_TRUE(Refused(c.Execute(write.cdb.bytes, 11, DataDirection::In, buffer, 512)));
    EXPECT_TRUE(Refused(c.Execute(write.cdb.bytes, 11, DataDirection::Out, buffer, 100)));
    EXPECT_TRUE(Refused(Send(c, devcmd::SetEString(), buffer, 511)));
    EXPECT_TRUE(Refused(Send(c, devcmd::CheckPwd(), buffer, 256)));
    c.ReadPhysical(1, buffer, nullptr);
    EXPECT_EQ(u"My Disk 1", emutest::NameOf(buffer, kt4790::kNameDescriptorIndex));
}

}  // namespace
