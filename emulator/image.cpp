// Image files: the whole state of one controller in one file, so that an
// emulated disk survives the process that used it, and can be used in place
// one command at a time (ImageDisk).
//
// Version 4, all numbers little-endian:
//   header:   magic "KT4790EM", u32 version 4, u32 configuration length C,
//             then C bytes of configuration (below, without the password)
//   states:   at S = 16 + C rounded up to 512: two state records of 512
//             bytes (S and S + 512); the valid one of the higher generation
//             is the image's state. A record: u64 generation (from 1),
//             u8 failed CheckPwd in a row (0-3), u8 SCSI status of the
//             previous command, u8 password length (0-254) + 254 bytes,
//             u64 journal length, u64 journal hash, zeros, and at byte 504
//             the u64 FNV-1a hash of bytes 0-503.
//   map:      at M = S + 1024: one byte per physical sector, 1 written and
//             0 erased (a hole reads 0)
//   slots:    at D = M + sectors rounded up to 4096: 528 bytes per physical
//             sector, its 512 data bytes and 16 spare bytes
//   journal:  at E = D + sectors x 528 (the file ends at E or after the
//             last journal): u64 generation, u32 entry count, per entry
//             u32 sector, u8 1 written (512 + 16 bytes follow) or 0 erased.
// A command's write: the journal, then the other state record (generation
// + 1, naming the journal's length and hash), then the map bytes and slots;
// a journal above 64 KB is then cut off. A journal whose generation and
// hash match the valid state record is applied again by the next program
// that finds a state it did not write (the writer may have stopped
// half-way through the slots; applying it twice changes nothing); any other
// tail is a journal that never took effect or one cut short.
//
// Versions 1-3 (read, never written): magic, u32 version, from version 2
//   u8 failed CheckPwd in a row, u8 previous status; the configuration
//   with the password; u32 sector count, then per sector (ascending) u32
//   sector number, 512 data bytes, 16 spare bytes. Nothing may follow.
// Configuration: u8 chip code, u8 large block (0/1), u8 zone count,
//   u8 chip count, 4 bytes INQUIRY revision, u8 INQUIRY byte 3,
//   u8 write protected (0/1), u32 descriptor block, [versions 1-3: u8
//   password length + bytes], u16 name units + units, u16 hint units +
//   units, u32 unmapped count + u32 logical blocks, from version 3:
//   u32 replacement count + (u32 position, u32 block) each.

#include "emulator/image.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "emulator/controller.h"
#include "emulator/state.h"

namespace emulator {

namespace {

constexpr char kMagic[8] = {'K', 'T', '4', '7', '9', '0', 'E', 'M'};
constexpr std::uint32_t kFirstVersion = 1;          // without the volatile state
constexpr std::uint32_t kVolatileStateVersion = 2;  // without the replacements
constexpr std::uint32_t kReplacementsVersion = 3;   // the whole file rewritten
constexpr std::uint64_t kLegacySectorRecord = 4 + 512 + 16;
constexpr std::uint64_t kSlot = 512 + 16;
constexpr std::size_t kMaxPasswordLength = 254;
constexpr std::uint64_t kHeaderFixed = 16;  // magic, version, configuration length
constexpr std::uint64_t kStateRecord = 512;
constexpr std::size_t kStateHashAt = 504;
constexpr std::uint64_t kJournalHead = 12;
constexpr std::uint64_t kJournalEntry = 5;
constexpr std::size_t kMapChunk = 1 << 20;
constexpr std::size_t kJournalKept = 1 << 16;

std::uint64_t Hash(const void* data, std::size_t size) {
    std::uint64_t hash = 0xCBF29CE484222325ull;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * 0x100000001B3ull;
    return hash;
}

std::uint64_t RoundUp(std::uint64_t value, std::uint64_t unit) { return (value + unit - 1) / unit * unit; }

// Builds bytes in memory; they reach the file in one write.
class Writer {
public:
    std::string bytes;
    void Bytes(const void* p, std::size_t n) { bytes.append(static_cast<const char*>(p), n); }
    void U8(std::uint8_t v) { bytes.push_back(static_cast<char>(v)); }
    void U16(std::uint16_t v) {
        U8(static_cast<std::uint8_t>(v));
        U8(static_cast<std::uint8_t>(v >> 8));
    }
    void U32(std::uint32_t v) {
        U16(static_cast<std::uint16_t>(v));
        U16(static_cast<std::uint16_t>(v >> 16));
    }
    void U64(std::uint64_t v) {
        U32(static_cast<std::uint32_t>(v));
        U32(static_cast<std::uint32_t>(v >> 32));
    }
    void Text(const std::u16string& text) {
        U16(static_cast<std::uint16_t>(text.size()));
        for (char16_t unit : text) U16(static_cast<std::uint16_t>(unit));
    }
};

// Reads bytes in order from `io` up to `end`; every read and every count is
// checked against what remains, so a corrupted count cannot ask for more
// memory than the file could fill.
class Reader {
public:
    Reader(ImageIo& io, std::uint64_t offset, std::uint64_t end) : io_(&io), offset_(offset), end_(end) {}
    // Over bytes already in memory.
    explicit Reader(const std::string& bytes) : memory_(&bytes), end_(bytes.size()) {}
    bool ok() const { return ok_; }
    std::uint64_t offset() const { return offset_; }
    std::uint64_t remaining() const { return end_ - offset_; }
    bool Fits(std::uint64_t count, std::uint64_t itemSize) {
        if (count * itemSize > remaining()) ok_ = false;
        return ok_;
    }
    void Bytes(void* p, std::size_t n) {
        const bool read = ok_ && n <= remaining() &&
                          (memory_ != nullptr ? (std::memcpy(p, memory_->data() + offset_, n), true)
                                              : io_->ReadAt(offset_, p, n));
        if (!read) {
            ok_ = false;
            std::memset(p, 0, n);
            return;
        }
        offset_ += n;
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
        const std::uint32_t low = U16();
        return low | (static_cast<std::uint32_t>(U16()) << 16);
    }
    std::uint64_t U64() {
        const std::uint64_t low = U32();
        return low | (static_cast<std::uint64_t>(U32()) << 32);
    }
    bool Text(std::u16string& text) {
        const std::uint16_t units = U16();
        if (!Fits(units, 2)) return false;
        text.resize(units);
        for (char16_t& unit : text) unit = static_cast<char16_t>(U16());
        return ok_;
    }

private:
    ImageIo* io_ = nullptr;
    const std::string* memory_ = nullptr;
    std::uint64_t offset_ = 0;
    std::uint64_t end_;
    bool ok_ = true;
};

bool Fail(std::string* error, const std::string& text) {
    if (error != nullptr) *error = text;
    return false;
}

void WriteConfig(Writer& w, const Config& config, bool withPassword) {
    w.U8(config.chipCode);
    w.U8(config.largeBlock ? 1 : 0);
    w.U8(config.zoneCount);
    w.U8(config.chipCount);
    w.Bytes(config.revision.data(), config.revision.size());
    w.U8(config.inquiryByte3);
    w.U8(config.writeProtected ? 1 : 0);
    w.U32(config.descriptorBlock);
    if (withPassword) {
        w.U8(static_cast<std::uint8_t>(config.password.size()));  // at most 254, kept so by the firmware
        w.Bytes(config.password.data(), config.password.size());
    }
    w.Text(config.deviceName.substr(0, 0xFFFF));
    w.Text(config.hint.substr(0, 0xFFFF));
    w.U32(static_cast<std::uint32_t>(config.unmappedBlocks.size()));
    for (std::uint32_t block : config.unmappedBlocks) w.U32(block);
    w.U32(static_cast<std::uint32_t>(config.replacements.size()));
    for (const Replacement& r : config.replacements) {
        w.U32(r.position);
        w.U32(r.block);
    }
}

// Reads the configuration of an image of `version`; "" or why it is refused.
std::string ReadConfig(Reader& r, std::uint32_t version, Config& config) {
    config.chipCode = r.U8();
    const std::uint8_t largeBlock = r.U8();
    config.zoneCount = r.U8();
    config.chipCount = r.U8();
    r.Bytes(config.revision.data(), config.revision.size());
    config.inquiryByte3 = r.U8();
    const std::uint8_t writeProtected = r.U8();
    config.descriptorBlock = r.U32();
    if (!r.ok()) return "truncated";
    if (largeBlock > 1 || writeProtected > 1) return "corrupt (flag byte other than 0 or 1)";
    config.largeBlock = largeBlock == 1;
    config.writeProtected = writeProtected == 1;
    if (version < kImageVersion) {
        const std::uint8_t passwordLength = r.U8();
        if (passwordLength > kMaxPasswordLength) return "corrupt (password too long)";
        char password[kMaxPasswordLength];
        r.Bytes(password, passwordLength);
        config.password.assign(password, passwordLength);
    }
    if (!r.Text(config.deviceName) || !r.Text(config.hint)) return "truncated";
    const std::uint32_t unmapped = r.U32();
    if (!r.ok() || !r.Fits(unmapped, 4)) return "truncated";
    config.unmappedBlocks.resize(unmapped);
    for (std::uint32_t& block : config.unmappedBlocks) block = r.U32();
    if (version >= kReplacementsVersion) {
        const std::uint32_t replacements = r.U32();
        if (!r.ok() || !r.Fits(replacements, 8)) return "truncated";
        config.replacements.resize(replacements);
        for (Replacement& replacement : config.replacements) {
            replacement.position = r.U32();
            replacement.block = r.U32();
        }
    }
    return r.ok() ? "" : "truncated";
}

std::string Refusal(const std::string& name, const std::string& why) {
    if (why == "truncated") return name + ": image file is truncated";
    return name + ": image file is " + why;
}

}  // namespace

namespace {

// The mutable part of a version 4 image.
struct StateRecord {
    std::uint64_t generation = 0;
    VolatileState volatileState;
    std::string password;
    std::uint64_t journalLength = 0;
    std::uint64_t journalHash = 0;

    std::string Encode() const {
        Writer w;
        w.U64(generation);
        w.U8(volatileState.failedChecks);
        w.U8(volatileState.lastStatus);
        w.U8(static_cast<std::uint8_t>(password.size()));
        w.Bytes(password.data(), password.size());
        w.bytes.resize(11 + kMaxPasswordLength, '\0');
        w.U64(journalLength);
        w.U64(journalHash);
        w.bytes.resize(kStateHashAt, '\0');
        w.U64(Hash(w.bytes.data(), kStateHashAt));
        return w.bytes;
    }
    // False when the record is not one a writer finished.
    bool Decode(const std::string& bytes) {
        Reader r(bytes);
        generation = r.U64();
        volatileState.failedChecks = r.U8();
        volatileState.lastStatus = r.U8();
        const std::uint8_t length = r.U8();
        char text[kMaxPasswordLength];
        r.Bytes(text, kMaxPasswordLength);
        password.assign(text, std::min<std::size_t>(length, kMaxPasswordLength));
        journalLength = r.U64();
        journalHash = r.U64();
        Reader tail(bytes);
        std::string skipped(kStateHashAt, '\0');
        tail.Bytes(&skipped[0], kStateHashAt);
        return r.ok() && tail.U64() == Hash(bytes.data(), kStateHashAt) && generation != 0 &&
               length <= kMaxPasswordLength;
    }
};

// Where the parts of a version 4 image of `sectors` physical sectors lie
// after a configuration of `configLength` bytes.
struct Places {
    std::uint64_t states, map, slots, end;
};
Places PlacesOf(std::uint64_t configLength, std::uint64_t sectors) {
    Places p;
    p.states = RoundUp(kHeaderFixed + configLength, 512);
    p.map = p.states + 2 * kStateRecord;
    p.slots = RoundUp(p.map + sectors, 4096);
    p.end = p.slots + sectors * kSlot;
    return p;
}

std::string EncodeJournal(std::uint64_t generation, const Nand::Changes& changes) {
    Writer w;
    w.U64(generation);
    w.U32(static_cast<std::uint32_t>(changes.written.size() + changes.erased.size()));
    for (std::uint32_t sector : changes.erased) {
        w.U32(sector);
        w.U8(0);
    }
    for (const auto& [sector, content] : changes.written) {
        w.U32(sector);
        w.U8(1);
        w.Bytes(content.data.data(), content.data.size());
        w.Bytes(content.spare.data(), content.spare.size());
    }
    return w.bytes;
}

// The journal at `end` that the state record names; false when there is
// none or it is not the one (a journal that never took effect).
bool ReadJournal(ImageIo& io, std::uint64_t end, std::uint64_t sectors, std::uint64_t generation, std::uint64_t length, std::uint64_t hash,
                 std::vector<JournalEntry>& entries) {
    std::uint64_t size = 0;
    if (length < kJournalHead || !io.Size(size) || size < end || size - end < length) return false;
    std::string bytes(static_cast<std::size_t>(length), '\0');
    if (!io.ReadAt(end, &bytes[0], bytes.size()) || Hash(bytes.data(), bytes.size()) != hash) return false;
    Reader r(bytes);
    if (r.U64() != generation) return false;
    const std::uint32_t count = r.U32();
    if (!r.Fits(count, kJournalEntry)) return false;
    entries.resize(count);
    for (JournalEntry& entry : entries) {
        entry.sector = r.U32();
        entry.written = r.U8() == 1;
        if (entry.written) {
            r.Bytes(entry.content.data.data(), entry.content.data.size());
            r.Bytes(entry.content.spare.data(), entry.content.spare.size());
        }
        if (entry.sector >= sectors) return false;
    }
    return r.ok();
}

// Puts journal entries in their places: map bytes and slots, in runs of
// neighbouring sectors so that an erased block is one write.
bool ApplyJournal(ImageIo& io, std::uint64_t map, std::uint64_t slots, std::vector<JournalEntry> entries) {
    // A journal names each sector once.
    std::sort(entries.begin(), entries.end(),
              [](const JournalEntry& a, const JournalEntry& b) { return a.sector < b.sector; });
    std::string flags, contents;
    for (std::size_t first = 0; first < entries.size();) {
        std::size_t next = first;
        flags.clear();
        contents.clear();
        while (next < entries.size() && entries[next].sector == entries[first].sector + (next - first) &&
               entries[next].written == entries[first].written) {
            flags.push_back(entries[next].written ? '\1' : '\0');
            if (entries[next].written) {
                contents.append(reinterpret_cast<const char*>(entries[next].content.data.data()), 512);
                contents.append(reinterpret_cast<const char*>(entries[next].content.spare.data()), 16);
            }
            ++next;
        }
        const std::uint32_t sector = entries[first].sector;
        if (!contents.empty() && !io.WriteAt(slots + sector * kSlot, contents.data(), contents.size())) return false;
        if (!io.WriteAt(map + sector, flags.data(), flags.size())) return false;
        first = next;
    }
    return true;
}

}  // namespace

StreamImageIo::StreamImageIo(const std::string& path, std::ios::openmode mode)
    : path_(path), file_(path, mode | std::ios::binary) {}

bool StreamImageIo::ReadAt(std::uint64_t offset, void* data, std::size_t size) {
    file_.clear();
    file_.seekg(static_cast<std::streamoff>(offset));
    file_.read(static_cast<char*>(data), static_cast<std::streamsize>(size));
    return file_.good() && static_cast<std::size_t>(file_.gcount()) == size;
}

bool StreamImageIo::WriteAt(std::uint64_t offset, const void* data, std::size_t size) {
    file_.clear();
    file_.seekp(static_cast<std::streamoff>(offset));
    file_.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    return file_.good();
}

bool StreamImageIo::Size(std::uint64_t& size) {
    file_.clear();
    file_.seekg(0, std::ios::end);
    const std::streamoff end = file_.tellg();
    if (end < 0) return false;
    size = static_cast<std::uint64_t>(end);
    return true;
}

bool StreamImageIo::Resize(std::uint64_t size) {
    file_.flush();
    std::error_code error;
    std::filesystem::resize_file(path_, size, error);
    return file_.good() && !error;
}

bool StreamImageIo::Close() {
    file_.close();
    return !file_.fail();
}

std::uint32_t ImageVersion(ImageIo& io) {
    char head[12];
    if (!io.ReadAt(0, head, sizeof head) || std::memcmp(head, kMagic, sizeof kMagic) != 0) return 0;
    Reader r(io, 8, 12);
    return r.U32();
}

std::unique_ptr<Controller> Controller::Restored(const Config& config, const VolatileState& volatileState) {
    // The firmware is built without laying down a new medium: the file
    // holds the medium as it is.
    Config placeholder;
    placeholder.zoneCount = 0;
    std::unique_ptr<Controller> controller(new Controller(placeholder));
    controller->state_ = std::make_unique<State>(config);
    if (!controller->state_->firmware.RestoreVolatileState(volatileState)) return nullptr;
    return controller;
}

bool Controller::SaveImage(const std::string& path, std::string* error) const {
    StreamImageIo io(path, std::ios::in | std::ios::out | std::ios::trunc);
    if (!io.is_open() || !SaveImage(io, error) || !io.Close()) return Fail(error, "cannot write image file " + path);
    return true;
}

bool Controller::SaveImage(ImageIo& io, std::string* error) const {
    const Config& config = state_->firmware.config();
    const Nand& nand = state_->firmware.nand();
    Writer configBytes;
    WriteConfig(configBytes, config, false);
    Writer head;
    head.Bytes(kMagic, sizeof kMagic);
    head.U32(kImageVersion);
    head.U32(static_cast<std::uint32_t>(configBytes.bytes.size()));
    head.Bytes(configBytes.bytes.data(), configBytes.bytes.size());
    const Places places = PlacesOf(configBytes.bytes.size(), nand.sectors());

    StateRecord record;
    record.generation = 1;
    record.volatileState = state_->firmware.volatileState();
    record.password = config.password;
    bool ok = io.Resize(0) && io.WriteAt(0, head.bytes.data(), head.bytes.size());
    const std::string state = record.Encode();
    ok = ok && io.WriteAt(places.states, state.data(), state.size());
    // Only the map pages and slots of written sectors are written: the rest
    // of the file stays a hole where the system keeps files sparse.
    std::string page;
    std::uint64_t pageStart = 0;
    const auto flush = [&] {
        if (!page.empty()) ok = ok && io.WriteAt(places.map + pageStart, page.data(), page.size());
        page.clear();
    };
    for (const auto& [number, sector] : nand.written()) {
        const std::uint64_t start = number / 4096 * 4096;
        if (page.empty() || start != pageStart) {
            flush();
            pageStart = start;
            page.assign(static_cast<std::size_t>(std::min<std::uint64_t>(4096, nand.sectors() - start)), '\0');
        }
        page[number - start] = '\1';
        std::uint8_t slot[kSlot];
        std::memcpy(slot, sector.data.data(), 512);
        std::memcpy(slot + 512, sector.spare.data(), 16);
        ok = ok && io.WriteAt(places.slots + number * kSlot, slot, sizeof slot);
    }
    flush();
    ok = ok && io.Resize(places.end);
    return ok || Fail(error, "cannot write image file");
}

std::unique_ptr<Controller> Controller::LoadImage(const std::string& path, std::string* error) {
    // Opening a FIFO or a device would block or read without end.
    std::error_code ignored;
    if (std::filesystem::exists(path, ignored) && !std::filesystem::is_regular_file(path, ignored)) {
        Fail(error, path + ": not a regular file");
        return nullptr;
    }
    StreamImageIo io(path, std::ios::in);
    if (!io.is_open()) {
        Fail(error, "cannot open image file " + path);
        return nullptr;
    }
    return LoadImage(io, path, error);
}

std::unique_ptr<Controller> Controller::LoadImage(ImageIo& io, const std::string& name, std::string* error) {
    std::uint64_t size = 0;
    if (!io.Size(size)) {
        Fail(error, "cannot read image file " + name);
        return nullptr;
    }
    const auto refuse = [&](const std::string& why) {
        Fail(error, Refusal(name, why));
        return nullptr;
    };
    const std::uint32_t version = ImageVersion(io);
    if (version == 0) {
        Fail(error, name + ": not a KT4790 emulator image");
        return nullptr;
    }
    if (version == kImageVersion) {
        std::unique_ptr<ImageDisk> disk = ImageDisk::Open(io, name, error);
        std::string record;
        int slot = 0;
        std::vector<JournalEntry> pending;
        if (disk == nullptr || !disk->ReadState(io, record, slot, pending, error)) return nullptr;
        StateRecord state;
        state.Decode(record);
        Config config = disk->controller_->config();
        config.password = state.password;
        std::unique_ptr<Controller> controller = Restored(config, state.volatileState);
        if (controller == nullptr) return refuse("corrupt (more failed password checks than lock the device)");
        // The whole medium into memory: every sector the map marks written,
        // then what a write that stopped half-way had journalled.
        Nand& nand = controller->state_->firmware.nand();
        std::map<std::uint32_t, Nand::Sector> medium;
        std::string flags;
        for (std::uint64_t first = 0; first < nand.sectors(); first += kMapChunk) {
            flags.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kMapChunk, nand.sectors() - first)));
            if (!io.ReadAt(disk->layout_.map + first, &flags[0], flags.size())) return refuse("truncated");
            for (std::size_t k = 0; k < flags.size(); ++k) {
                if (flags[k] == '\0') continue;
                if (flags[k] != '\1') return refuse("corrupt (sector map)");
                const auto number = static_cast<std::uint32_t>(first + k);
                std::uint8_t slotBytes[kSlot];
                if (!io.ReadAt(disk->layout_.slots + std::uint64_t{number} * kSlot, slotBytes, kSlot)) {
                    return refuse("truncated");
                }
                Nand::Sector& sector = medium[number];
                std::memcpy(sector.data.data(), slotBytes, 512);
                std::memcpy(sector.spare.data(), slotBytes + 512, 16);
            }
        }
        for (const JournalEntry& entry : pending) {
            if (entry.written) medium[entry.sector] = entry.content;
            else medium.erase(entry.sector);
        }
        for (const auto& [number, sector] : medium) nand.Write(number, sector.data.data(), sector.spare.data());
        return controller;
    }
    if (version > kImageVersion) return refuse("of version " + std::to_string(version) + ", which is not supported");

    Reader r(io, 12, size);
    VolatileState volatileState;
    if (version >= kVolatileStateVersion) {
        volatileState.failedChecks = r.U8();
        volatileState.lastStatus = r.U8();
    }
    Config config;
    const std::string why = ReadConfig(r, version, config);
    if (!why.empty()) return refuse(why);
    const std::uint32_t sectorCount = r.U32();
    if (!r.ok() || !r.Fits(sectorCount, kLegacySectorRecord)) return refuse("truncated");

    std::unique_ptr<Controller> controller = Restored(config, volatileState);
    if (controller == nullptr) return refuse("corrupt (more failed password checks than lock the device)");
    Nand& nand = controller->state_->firmware.nand();
    for (const Replacement& replacement : config.replacements) {
        if (replacement.position >= nand.blocks() || replacement.block >= nand.blocks()) {
            return refuse("corrupt (replacement block beyond the medium)");
        }
    }
    std::uint64_t previous = 0;
    for (std::uint32_t i = 0; i < sectorCount; ++i) {
        const std::uint32_t number = r.U32();
        Nand::Sector sector;
        r.Bytes(sector.data.data(), sector.data.size());
        r.Bytes(sector.spare.data(), sector.spare.size());
        if (!r.ok()) return refuse("truncated");
        if (number >= nand.sectors()) return refuse("corrupt (sector " + std::to_string(number) + " beyond the medium)");
        if (i != 0 && number <= previous) return refuse("corrupt (sectors out of order)");
        previous = number;
        nand.Write(number, sector.data.data(), sector.spare.data());
    }
    if (r.remaining() != 0) return refuse("corrupt (data after the last sector)");
    return controller;
}

// --- ImageDisk ---------------------------------------------------------------------

std::unique_ptr<ImageDisk> ImageDisk::Open(ImageIo& io, const std::string& name, std::string* error) {
    std::unique_ptr<ImageDisk> disk(new ImageDisk());
    disk->name_ = name;
    if (!disk->Load(io, error)) return nullptr;
    return disk;
}

ImageDisk::~ImageDisk() = default;

// Reads header and configuration; the state follows in Begin.
bool ImageDisk::Load(ImageIo& io, std::string* error) {
    std::uint64_t size = 0;
    if (!io.Size(size)) return Fail(error, "cannot read image file " + name_);
    const std::uint32_t version = ImageVersion(io);
    if (version == 0) return Fail(error, name_ + ": not a KT4790 emulator image");
    if (version != kImageVersion) {
        return Fail(error, name_ + ": image file of version " + std::to_string(version) + ", not " +
                               std::to_string(kImageVersion));
    }
    Reader r(io, 12, size);
    const std::uint32_t configLength = r.U32();
    if (!r.ok() || !r.Fits(configLength, 1)) return Fail(error, Refusal(name_, "truncated"));
    header_.assign(static_cast<std::size_t>(kHeaderFixed + configLength), '\0');
    if (!io.ReadAt(0, &header_[0], header_.size())) return Fail(error, Refusal(name_, "truncated"));
    Reader configReader(header_);
    std::string skipped(kHeaderFixed, '\0');
    configReader.Bytes(&skipped[0], skipped.size());
    Config config;
    const std::string why = ReadConfig(configReader, kImageVersion, config);
    if (!why.empty()) return Fail(error, Refusal(name_, why));
    if (configReader.remaining() != 0) return Fail(error, Refusal(name_, "corrupt (configuration length)"));
    controller_ = Controller::Restored(config, VolatileState());
    for (const Replacement& replacement : config.replacements) {
        if (replacement.position >= controller_->physicalBlocks() || replacement.block >= controller_->physicalBlocks()) {
            return Fail(error, Refusal(name_, "corrupt (replacement block beyond the medium)"));
        }
    }
    const Places places = PlacesOf(configLength, std::uint64_t{controller_->physicalBlocks()} *
                                                     controller_->sectorsPerBlock());
    layout_ = {places.states, places.map, places.slots, places.end};
    state_.clear();
    return true;
}

bool ImageDisk::ReadState(ImageIo& io, std::string& record, int& slot, std::vector<JournalEntry>& pending,
                          std::string* error) {
    std::string records(2 * kStateRecord, '\0');
    if (!io.ReadAt(layout_.states, &records[0], records.size())) return Fail(error, Refusal(name_, "truncated"));
    StateRecord found[2];
    const bool valid[2] = {found[0].Decode(records.substr(0, kStateRecord)),
                           found[1].Decode(records.substr(kStateRecord))};
    if (!valid[0] && !valid[1]) return Fail(error, Refusal(name_, "corrupt (no valid state record)"));
    slot = !valid[0] || (valid[1] && found[1].generation > found[0].generation) ? 1 : 0;
    record = records.substr(slot * kStateRecord, kStateRecord);
    std::uint64_t size = 0;
    if (!io.Size(size) || size < layout_.end) return Fail(error, Refusal(name_, "truncated"));
    const StateRecord& state = found[slot];
    pending.clear();
    const std::uint64_t sectors = std::uint64_t{controller_->physicalBlocks()} * controller_->sectorsPerBlock();
    if (state.journalLength != 0 && size > layout_.end &&
        !ReadJournal(io, layout_.end, sectors, state.generation, state.journalLength, state.journalHash, pending)) {
        pending.clear();  // a journal that never took effect
    }
    return true;
}

bool ImageDisk::Begin(ImageIo& io, std::string* error) {
    io_ = nullptr;
    // The header first: a file replaced by another image is taken up anew.
    std::string header(header_.size(), '\0');
    if (!io.ReadAt(0, &header[0], header.size()) || header != header_) {
        if (!Load(io, error)) return false;
    }
    std::string record;
    int slot = 0;
    std::vector<JournalEntry> pending;
    if (!ReadState(io, record, slot, pending, error)) return false;
    if (record != state_ || stateSlot_ != slot) {
        // Another program wrote since: its last write may have stopped after
        // the state record. Putting its journal in place again finishes it
        // (or changes nothing, when it was finished).
        if (!pending.empty() && !ApplyJournal(io, layout_.map, layout_.slots, pending)) {
            return Fail(error, "cannot write image file " + name_);
        }
        StateRecord state;
        state.Decode(record);
        Config config = controller_->config();
        config.password = state.password;
        std::unique_ptr<Controller> controller = Controller::Restored(config, state.volatileState);
        if (controller == nullptr) {
            return Fail(error, Refusal(name_, "corrupt (more failed password checks than lock the device)"));
        }
        controller_ = std::move(controller);
        controller_->SetTracing(false);
        state_ = record;
        stateSlot_ = slot;
    }
    io_ = &io;
    controller_->state_->firmware.nand().SetStore(this);
    return true;
}

bool ImageDisk::ReadSector(std::uint32_t sector, Nand::Sector& out) {
    char flag = 0;
    if (io_ == nullptr || !io_->ReadAt(layout_.map + sector, &flag, 1) || flag != '\1') return false;
    std::uint8_t slot[kSlot];
    if (!io_->ReadAt(layout_.slots + std::uint64_t{sector} * kSlot, slot, sizeof slot)) return false;
    std::memcpy(out.data.data(), slot, 512);
    std::memcpy(out.spare.data(), slot + 512, 16);
    return true;
}

bool ImageDisk::End(std::string* error) {
    ImageIo* io = io_;
    io_ = nullptr;
    if (io == nullptr) return true;
    Firmware& firmware = controller_->state_->firmware;
    const Nand::Changes changes = firmware.nand().TakeChanges();
    firmware.nand().SetStore(nullptr);

    StateRecord previous;
    previous.Decode(state_);
    StateRecord next;
    next.generation = previous.generation + 1;
    next.volatileState = firmware.volatileState();
    next.password = firmware.config().password;
    if (changes.empty() && next.volatileState == previous.volatileState && next.password == previous.password) {
        return true;
    }
    std::string journal;
    if (!changes.empty()) {
        journal = EncodeJournal(next.generation, changes);
        next.journalLength = journal.size();
        next.journalHash = Hash(journal.data(), journal.size());
    }
    const std::string record = next.Encode();
    const int slot = 1 - stateSlot_;
    // Until the state record is written the file is as before; after it,
    // the journal makes it as after, whoever finishes the write.
    bool ok = journal.empty() || io->WriteAt(layout_.end, journal.data(), journal.size());
    ok = ok && io->WriteAt(layout_.states + slot * kStateRecord, record.data(), record.size());
    if (ok && !journal.empty()) {
        std::vector<JournalEntry> entries;
        entries.reserve(changes.written.size() + changes.erased.size());
        for (std::uint32_t sector : changes.erased) entries.push_back({sector, false, {}});
        for (const auto& [sector, content] : changes.written) entries.push_back({sector, true, content});
        ok = ApplyJournal(*io, layout_.map, layout_.slots, std::move(entries));
        // A small journal stays (cutting the file and growing it again costs
        // the file system more than the write); a large one goes.
        if (ok && journal.size() > kJournalKept) ok = io->Resize(layout_.end);
    }
    if (!ok) {
        state_.clear();  // the next Begin takes up whatever the file holds
        return Fail(error, "cannot write image file " + name_);
    }
    state_ = record;
    stateSlot_ = slot;
    return true;
}

}  // namespace emulator
