// Image files: the whole state of one controller in one file, so that an
// emulated disk survives the process that used it.
//
// Layout, all numbers little-endian:
//   magic "KT4790EM", u32 version (3; versions 1 and 2 are read too)
//   from version 2, the volatile state: u8 failed CheckPwd in a row (0-3),
//     u8 SCSI status of the previous command (a version 1 file: both 0)
//   configuration: u8 chip code, u8 large block (0/1), u8 zone count,
//     u8 chip count, 4 bytes INQUIRY revision, u8 INQUIRY byte 3,
//     u8 write protected (0/1), u32 descriptor block,
//     u8 password length + bytes (the current password),
//     u16 name units + units, u16 hint units + units,
//     u32 unmapped count + u32 logical blocks,
//     from version 3: u32 replacement count + (u32 position, u32 block) each
//   medium: u32 sector count, then per sector (ascending sector numbers)
//     u32 sector number, 512 data bytes, 16 spare bytes
// Nothing may follow. Sectors not listed are erased.

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "emulator/controller.h"
#include "emulator/state.h"

namespace emulator {

namespace {

constexpr char kMagic[8] = {'K', 'T', '4', '7', '9', '0', 'E', 'M'};
constexpr std::uint32_t kVersion = 3;
constexpr std::uint32_t kFirstVersion = 1;        // without the volatile state
constexpr std::uint32_t kVolatileStateVersion = 2;  // without the replacements
constexpr std::uint64_t kSectorRecord = 4 + 512 + 16;
constexpr std::size_t kMaxPasswordLength = 254;

class Writer {
public:
    explicit Writer(std::ofstream& out) : out_(out) {}
    void Bytes(const void* p, std::size_t n) { out_.write(static_cast<const char*>(p), static_cast<std::streamsize>(n)); }
    void U8(std::uint8_t v) { Bytes(&v, 1); }
    void U16(std::uint16_t v) {
        const std::uint8_t b[2] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
        Bytes(b, 2);
    }
    void U32(std::uint32_t v) {
        const std::uint8_t b[4] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                                   static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
        Bytes(b, 4);
    }
    void Text(const std::u16string& text) {
        U16(static_cast<std::uint16_t>(text.size()));
        for (char16_t unit : text) U16(static_cast<std::uint16_t>(unit));
    }

private:
    std::ofstream& out_;
};

// Reads from a file of known size; every read and every count is checked
// against the bytes that remain, so a corrupted count cannot ask for more
// memory than the file could fill.
class Reader {
public:
    Reader(std::ifstream& in, std::uint64_t size) : in_(in), remaining_(size) {}
    bool ok() const { return ok_; }
    std::uint64_t remaining() const { return remaining_; }
    bool Fits(std::uint64_t count, std::uint64_t itemSize) {
        if (count * itemSize > remaining_) ok_ = false;
        return ok_;
    }
    void Bytes(void* p, std::size_t n) {
        if (!ok_ || n > remaining_ || !in_.read(static_cast<char*>(p), static_cast<std::streamsize>(n))) {
            ok_ = false;
            std::memset(p, 0, n);
            return;
        }
        remaining_ -= n;
    }
    std::uint8_t U8() {
        std::uint8_t b = 0;
        Bytes(&b, 1);
        return b;
    }
    std::uint16_t U16() {
        std::uint8_t b[2];
        Bytes(b, 2);
        return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
    }
    std::uint32_t U32() {
        std::uint8_t b[4];
        Bytes(b, 4);
        return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
               (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
    }
    bool Text(std::u16string& text) {
        const std::uint16_t units = U16();
        if (!Fits(units, 2)) return false;
        text.resize(units);
        for (char16_t& unit : text) unit = static_cast<char16_t>(U16());
        return ok_;
    }

private:
    std::ifstream& in_;
    std::uint64_t remaining_;
    bool ok_ = true;
};

bool Fail(std::string* error, const std::string& text) {
    if (error != nullptr) *error = text;
    return false;
}

}  // namespace

bool Controller::SaveImage(const std::string& path, std::string* error) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return Fail(error, "cannot write image file " + path);
    const Config& config = state_->firmware.config();
    Writer w(out);
    w.Bytes(kMagic, sizeof kMagic);
    w.U32(kVersion);
    const VolatileState volatileState = state_->firmware.volatileState();
    w.U8(volatileState.failedChecks);
    w.U8(volatileState.lastStatus);
    w.U8(config.chipCode);
    w.U8(config.largeBlock ? 1 : 0);
    w.U8(config.zoneCount);
    w.U8(config.chipCount);
    w.Bytes(config.revision.data(), config.revision.size());
    w.U8(config.inquiryByte3);
    w.U8(config.writeProtected ? 1 : 0);
    w.U32(config.descriptorBlock);
    w.U8(static_cast<std::uint8_t>(config.password.size()));  // at most 254, kept so by the firmware
    w.Bytes(config.password.data(), config.password.size());
    w.Text(config.deviceName.substr(0, 0xFFFF));
    w.Text(config.hint.substr(0, 0xFFFF));
    w.U32(static_cast<std::uint32_t>(config.unmappedBlocks.size()));
    for (std::uint32_t block : config.unmappedBlocks) w.U32(block);
    w.U32(static_cast<std::uint32_t>(config.replacements.size()));
    for (const Replacement& r : config.replacements) {
        w.U32(r.position);
        w.U32(r.block);
    }
    const auto& sectors = state_->firmware.nand().written();
    w.U32(static_cast<std::uint32_t>(sectors.size()));
    for (const auto& [number, sector] : sectors) {
        w.U32(number);
        w.Bytes(sector.data.data(), sector.data.size());
        w.Bytes(sector.spare.data(), sector.spare.size());
    }
    out.close();
    if (!out) return Fail(error, "cannot write image file " + path);
    return true;
}

std::unique_ptr<Controller> Controller::LoadImage(const std::string& path, std::string* error) {
    // Opening a FIFO or a device would block or read without end.
    std::error_code ignored;
    if (std::filesystem::exists(path, ignored) && !std::filesystem::is_regular_file(path, ignored)) {
        Fail(error, path + ": not a regular file");
        return nullptr;
    }
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        Fail(error, "cannot open image file " + path);
        return nullptr;
    }
    const std::streamoff size = in.tellg();
    in.seekg(0);
    if (size < 0 || !in) {
        Fail(error, "cannot read image file " + path);
        return nullptr;
    }
    Reader r(in, static_cast<std::uint64_t>(size));
    const auto truncated = [&] {
        Fail(error, path + ": image file is truncated");
        return nullptr;
    };
    const auto corrupt = [&](const std::string& what) {
        Fail(error, path + ": image file is corrupt (" + what + ")");
        return nullptr;
    };

    char magic[sizeof kMagic];
    r.Bytes(magic, sizeof magic);
    if (!r.ok() || std::memcmp(magic, kMagic, sizeof kMagic) != 0) {
        Fail(error, path + ": not a KT4790 emulator image");
        return nullptr;
    }
    const std::uint32_t version = r.U32();
    if (!r.ok()) return truncated();
    if (version != kVersion && version != kVolatileStateVersion && version != kFirstVersion) {
        Fail(error, path + ": image version " + std::to_string(version) + " is not supported");
        return nullptr;
    }
    VolatileState volatileState;
    if (version >= kVolatileStateVersion) {
        volatileState.failedChecks = r.U8();
        volatileState.lastStatus = r.U8();
    }

    Config config;
    config.chipCode = r.U8();
    const std::uint8_t largeBlock = r.U8();
    config.zoneCount = r.U8();
    config.chipCount = r.U8();
    r.Bytes(config.revision.data(), config.revision.size());
    config.inquiryByte3 = r.U8();
    const std::uint8_t writeProtected = r.U8();
    config.descriptorBlock = r.U32();
    const std::uint8_t passwordLength = r.U8();
    if (!r.ok()) return truncated();
    if (largeBlock > 1 || writeProtected > 1) return corrupt("flag byte other than 0 or 1");
    if (passwordLength > kMaxPasswordLength) return corrupt("password too long");
    config.largeBlock = largeBlock == 1;
    config.writeProtected = writeProtected == 1;
    char password[kMaxPasswordLength];
    r.Bytes(password, passwordLength);
    config.password.assign(password, passwordLength);
    if (!r.Text(config.deviceName) || !r.Text(config.hint)) return truncated();
    const std::uint32_t unmapped = r.U32();
    if (!r.ok() || !r.Fits(unmapped, 4)) return truncated();
    config.unmappedBlocks.resize(unmapped);
    for (std::uint32_t& block : config.unmappedBlocks) block = r.U32();
    if (version >= kVersion) {
        const std::uint32_t replacements = r.U32();
        if (!r.ok() || !r.Fits(replacements, 8)) return truncated();
        config.replacements.resize(replacements);
        for (Replacement& replacement : config.replacements) {
            replacement.position = r.U32();
            replacement.block = r.U32();
        }
    }
    const std::uint32_t sectorCount = r.U32();
    if (!r.ok() || !r.Fits(sectorCount, kSectorRecord)) return truncated();

    // The firmware is built without laying down a new medium: the file
    // holds the medium as it was.
    Config placeholder;
    placeholder.zoneCount = 0;
    std::unique_ptr<Controller> controller(new Controller(placeholder));
    controller->state_ = std::make_unique<State>(config);
    if (!controller->state_->firmware.RestoreVolatileState(volatileState)) {
        return corrupt("more failed password checks than lock the device");
    }
    Nand& nand = controller->state_->firmware.nand();
    for (const Replacement& replacement : config.replacements) {
        if (replacement.position >= nand.blocks() || replacement.block >= nand.blocks()) {
            return corrupt("replacement block beyond the medium");
        }
    }
    std::uint64_t previous = 0;
    for (std::uint32_t i = 0; i < sectorCount; ++i) {
        const std::uint32_t number = r.U32();
        Nand::Sector sector;
        r.Bytes(sector.data.data(), sector.data.size());
        r.Bytes(sector.spare.data(), sector.spare.size());
        if (!r.ok()) return truncated();
        if (number >= nand.sectors()) return corrupt("sector " + std::to_string(number) + " beyond the medium");
        if (i != 0 && number <= previous) return corrupt("sectors out of order");
        previous = number;
        nand.Write(number, sector.data.data(), sector.spare.data());
    }
    if (r.remaining() != 0) return corrupt("data after the last sector");
    return controller;
}

}  // namespace emulator
