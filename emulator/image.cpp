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
//             u32 sector, u8 1 written (512 + 16 bytes follow) or 0 erased;
//             the erased sectors first, then the written ones, each part
//             ascending, so a journal names at most every sector once.
// A command's write: the journal, room for the sectors' places, the other
// state record (generation + 1, naming the journal's length and hash), the
// map bytes and slots; then the journal is marked as in place: its
// generation overwritten with 0, or, above 64 KB, the journal cut off.
// A journal whose generation and hash match the valid state record is not
// in place yet (its writer stopped after the state record): the next program
// that takes the file up puts it in place and marks it, or reads through it
// when it cannot write. Any other tail is a journal in place, one that never
// took effect, or one cut short.
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
//
// Every count is checked against what the medium can hold before anything
// is allocated or read for it: unmapped and replaced blocks against its
// blocks, sectors and journal entries against its sectors.

#include "emulator/image.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "emulator/controller.h"
#include "emulator/state.h"
#include "kt4790/records.h"

namespace emulator {

namespace {

constexpr char kMagic[8] = {'K', 'T', '4', '7', '9', '0', 'E', 'M'};
constexpr std::uint32_t kVolatileStateVersion = 2;  // without the replacements
constexpr std::uint32_t kReplacementsVersion = 3;   // the whole file rewritten
constexpr std::uint64_t kLegacySectorRecord = 4 + 512 + 16;
constexpr std::uint64_t kSlot = 512 + 16;
constexpr std::size_t kMaxPasswordLength = 254;
constexpr std::uint64_t kHeaderFixed = 16;  // magic, version, configuration length
constexpr std::uint64_t kStateRecord = 512;
constexpr std::size_t kStateHashAt = 504;
constexpr std::uint64_t kJournalHead = 12;
constexpr std::uint64_t kErasedEntry = 4 + 1;
constexpr std::uint64_t kWrittenEntry = 4 + 1 + kSlot;
constexpr std::uint64_t kJournalKept = 1 << 16;
constexpr std::size_t kMapChunk = 1 << 20;
constexpr std::size_t kPiece = 1 << 20;      // the most bytes one write of a long run moves
constexpr std::size_t kReadAhead = 1 << 16;  // bytes a Reader takes from the file at once
constexpr std::uint64_t kFnvBasis = 0xCBF29CE484222325ull;

std::uint64_t Hash(const void* data, std::size_t size, std::uint64_t hash = kFnvBasis) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * 0x100000001B3ull;
    return hash;
}

std::uint64_t RoundUp(std::uint64_t value, std::uint64_t unit) { return (value + unit - 1) / unit * unit; }

// The longest journal of a medium of `sectors` sectors: every one written.
std::uint64_t JournalCap(std::uint64_t sectors) { return kJournalHead + sectors * kWrittenEntry; }

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

// Reads bytes in order from `io` up to `end` (at most the file's size),
// taking them from the file a piece at a time; every read and every count is
// checked against what remains.
class Reader {
public:
    Reader(ImageIo& io, std::uint64_t offset, std::uint64_t end)
        : io_(&io), offset_(offset), end_(end), bufferAt_(offset) {}
    // Over bytes already in memory.
    explicit Reader(const std::string& bytes) : memory_(&bytes), end_(bytes.size()) {}
    // Every byte taken from the file goes into hash() from now on.
    void HashAll() { hashing_ = true; }
    std::uint64_t hash() const { return hash_; }
    bool ok() const { return ok_; }
    std::uint64_t offset() const { return offset_; }
    std::uint64_t remaining() const { return end_ - offset_; }
    bool Fits(std::uint64_t count, std::uint64_t itemSize) {
        if (count * itemSize > remaining()) ok_ = false;
        return ok_;
    }
    void Bytes(void* p, std::size_t n) {
        if (!ok_ || n > remaining()) {
            ok_ = false;
            std::memset(p, 0, n);
            return;
        }
        if (memory_ != nullptr) {
            std::memcpy(p, memory_->data() + offset_, n);
            offset_ += n;
            return;
        }
        for (auto* out = static_cast<char*>(p); n != 0;) {
            if (offset_ == bufferAt_ + buffer_.size() && !Refill()) {
                ok_ = false;
                std::memset(p, 0, n);
                return;
            }
            const std::size_t take = std::min<std::size_t>(n, bufferAt_ + buffer_.size() - offset_);
            std::memcpy(out, buffer_.data() + (offset_ - bufferAt_), take);
            out += take;
            n -= take;
            offset_ += take;
        }
    }
    // Passes over `n` bytes (hashing them when asked to).
    void Skip(std::uint64_t n) {
        char scratch[512];
        while (ok_ && n != 0) {
            const std::size_t part = static_cast<std::size_t>(std::min<std::uint64_t>(n, sizeof scratch));
            Bytes(scratch, part);
            n -= part;
        }
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
    bool Refill() {
        bufferAt_ = offset_;
        buffer_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kReadAhead, end_ - offset_)));
        if (!io_->ReadAt(offset_, &buffer_[0], buffer_.size())) return false;
        if (hashing_) hash_ = Hash(buffer_.data(), buffer_.size(), hash_);
        return true;
    }

    ImageIo* io_ = nullptr;
    const std::string* memory_ = nullptr;
    std::uint64_t offset_ = 0;
    std::uint64_t end_;
    std::string buffer_;  // the file's bytes from bufferAt_ on
    std::uint64_t bufferAt_ = 0;
    bool hashing_ = false;
    std::uint64_t hash_ = kFnvBasis;
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
// The counts are bounded by the medium the configuration's first bytes
// describe before anything is read for them.
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
    const std::uint32_t blocks = NandBlocks(config);
    if (version < kImageVersion) {
        const std::uint8_t passwordLength = r.U8();
        if (passwordLength > kMaxPasswordLength) return "corrupt (password too long)";
        char password[kMaxPasswordLength];
        r.Bytes(password, passwordLength);
        config.password.assign(password, passwordLength);
    }
    if (!r.Text(config.deviceName) || !r.Text(config.hint)) return "truncated";
    const std::uint32_t unmapped = r.U32();
    if (!r.ok()) return "truncated";
    if (unmapped > blocks) return "corrupt (more unmapped blocks than the medium has)";
    if (!r.Fits(unmapped, 4)) return "truncated";
    config.unmappedBlocks.resize(unmapped);
    for (std::uint32_t& block : config.unmappedBlocks) block = r.U32();
    if (version >= kReplacementsVersion) {
        const std::uint32_t replacements = r.U32();
        if (!r.ok()) return "truncated";
        if (replacements > blocks) return "corrupt (more replacements than the medium has blocks)";
        if (!r.Fits(replacements, 8)) return "truncated";
        config.replacements.resize(replacements);
        for (Replacement& replacement : config.replacements) {
            replacement.position = r.U32();
            replacement.block = r.U32();
            if (r.ok() && (replacement.position >= blocks || replacement.block >= blocks)) {
                return "corrupt (replacement block beyond the medium)";
            }
        }
    }
    return r.ok() ? "" : "truncated";
}

std::string Refusal(const std::string& name, const std::string& why) {
    if (why == "truncated") return name + ": image file is truncated";
    return name + ": image file is " + why;
}

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
        tail.Skip(kStateHashAt);
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

// Writes a journal at `at` a piece at a time, hashing what it writes.
bool WriteJournal(ImageIo& io, std::uint64_t at, std::uint64_t generation, const Nand::Changes& changes,
                  std::uint64_t& length, std::uint64_t& hash) {
    Writer w;
    std::uint64_t offset = at;
    hash = kFnvBasis;
    bool ok = true;
    const auto flush = [&] {
        hash = Hash(w.bytes.data(), w.bytes.size(), hash);
        ok = ok && io.WriteAt(offset, w.bytes.data(), w.bytes.size());
        offset += w.bytes.size();
        w.bytes.clear();
    };
    w.U64(generation);
    w.U32(static_cast<std::uint32_t>(changes.written.size() + changes.erased.size()));
    for (std::uint32_t sector : changes.erased) {
        w.U32(sector);
        w.U8(0);
        if (w.bytes.size() >= kPiece) flush();
    }
    for (const auto& [sector, content] : changes.written) {
        w.U32(sector);
        w.U8(1);
        w.Bytes(content.data.data(), content.data.size());
        w.Bytes(content.spare.data(), content.spare.size());
        if (w.bytes.size() >= kPiece) flush();
    }
    flush();
    length = offset - at;
    return ok;
}

// Marks the journal at `at` as in place, so that no later program puts it in
// place again: a long one is cut off; a short one stays (cutting the file and
// growing it again costs the file system more than a write) with its
// generation overwritten. A mark that fails costs the next program one more
// putting in place, which changes nothing.
void MarkInPlace(ImageIo& io, std::uint64_t at, std::uint64_t length) {
    if (length > kJournalKept) {
        io.Resize(at);
        return;
    }
    const char none[8] = {};
    io.WriteAt(at, none, sizeof none);
}

// Puts sectors in their places (or, reserving, makes room for them) in runs
// of neighbours: one write of slots and one of map bytes per run. Sectors
// come ascending, the erased ones first.
class Placer {
public:
    Placer(ImageIo& io, std::uint64_t map, std::uint64_t slots, bool reserve)
        : io_(io), map_(map), slots_(slots), reserve_(reserve) {}
    void Erased(std::uint32_t sector) { Add(sector, false); }
    void Written(std::uint32_t sector, const std::uint8_t* data512, const std::uint8_t* spare16) {
        Add(sector, true);
        if (reserve_) return;
        contents_.append(reinterpret_cast<const char*>(data512), 512);
        contents_.append(reinterpret_cast<const char*>(spare16), 16);
    }
    bool Finish() {
        Flush();
        return ok_;
    }

private:
    void Add(std::uint32_t sector, bool written) {
        if (count_ != 0 && (sector != first_ + count_ || written != written_ || count_ * kSlot >= kPiece)) Flush();
        if (count_ == 0) {
            first_ = sector;
            written_ = written;
        }
        ++count_;
    }
    void Flush() {
        if (count_ == 0) return;
        const std::uint64_t slots = slots_ + std::uint64_t{first_} * kSlot;
        const std::uint64_t map = map_ + first_;
        if (!ok_) {
        } else if (reserve_) {
            ok_ = (!written_ || io_.Reserve(slots, count_ * kSlot)) && io_.Reserve(map, count_);
        } else {
            const std::string flags(count_, written_ ? '\1' : '\0');
            ok_ = (!written_ || io_.WriteAt(slots, contents_.data(), contents_.size())) &&
                  io_.WriteAt(map, flags.data(), flags.size());
        }
        count_ = 0;
        contents_.clear();
    }

    ImageIo& io_;
    std::uint64_t map_, slots_;
    bool reserve_;
    std::uint32_t first_ = 0;
    std::uint64_t count_ = 0;
    bool written_ = false;
    std::string contents_;
    bool ok_ = true;
};

// Puts a command's changes in place, or reserves room for them.
bool Place(ImageIo& io, std::uint64_t map, std::uint64_t slots, const Nand::Changes& changes, bool reserve) {
    Placer placer(io, map, slots, reserve);
    for (std::uint32_t sector : changes.erased) placer.Erased(sector);
    for (const auto& [sector, content] : changes.written) placer.Written(sector, content.data.data(), content.spare.data());
    return placer.Finish();
}

}  // namespace

StreamImageIo::StreamImageIo(const std::string& path, std::ios::openmode mode)
    : path_(path), mode_(mode), file_(path, mode | std::ios::binary) {}

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

bool HashFile(ImageIo& io, std::uint64_t& hash) {
    std::uint64_t size = 0;
    if (!io.Size(size)) return false;
    Reader r(io, 0, size);
    r.HashAll();
    r.Skip(size);
    hash = r.hash();
    return r.ok();
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
        // The disk reads the file as the device stack does; the whole medium
        // comes into memory: every sector the map marks written, and what a
        // journal not yet in place changed.
        std::unique_ptr<ImageDisk> disk = ImageDisk::Open(io, name, error);
        if (disk == nullptr || !disk->Begin(io, error)) return nullptr;
        Config config = disk->config_;
        config.password = disk->controller_->config().password;
        std::unique_ptr<Controller> controller = Restored(config, disk->controller_->volatileState());
        Nand& nand = controller->state_->firmware.nand();
        Nand::Sector sector;
        std::string flags;
        for (std::uint64_t first = 0; first < nand.sectors(); first += kMapChunk) {
            flags.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kMapChunk, nand.sectors() - first)));
            if (!io.ReadAt(disk->layout_.map + first, &flags[0], flags.size())) return refuse("truncated");
            for (std::size_t k = 0; k < flags.size(); ++k) {
                const auto number = static_cast<std::uint32_t>(first + k);
                if (flags[k] != '\0' && disk->ReadSector(number, sector)) {
                    nand.Write(number, sector.data.data(), sector.spare.data());
                }
            }
        }
        for (std::uint32_t number : disk->pending_.writtenSectors) {
            if (disk->ReadSector(number, sector)) nand.Write(number, sector.data.data(), sector.spare.data());
        }
        if (!disk->Sound(error)) return nullptr;
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
    std::unique_ptr<Controller> controller = Restored(config, volatileState);
    if (controller == nullptr) return refuse("corrupt (more failed password checks than lock the device)");
    Nand& nand = controller->state_->firmware.nand();
    const std::uint32_t sectorCount = r.U32();
    if (!r.ok()) return refuse("truncated");
    if (sectorCount > nand.sectors()) return refuse("corrupt (more sectors than the medium has)");
    if (!r.Fits(sectorCount, kLegacySectorRecord)) return refuse("truncated");
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
    state_.clear();
    pending_ = Pending();
    std::uint64_t size = 0;
    if (!io.Size(size)) return Fail(error, "cannot read image file " + name_);
    const std::uint32_t version = ImageVersion(io);
    if (version == 0) return Fail(error, name_ + ": not a KT4790 emulator image");
    if (version != kImageVersion) {
        return Fail(error, name_ + ": image file of version " + std::to_string(version) + ", not " +
                               std::to_string(kImageVersion));
    }
    Reader r(io, 12, std::min(size, kHeaderFixed));
    const std::uint64_t configLength = r.U32();
    if (!r.ok()) return Fail(error, Refusal(name_, "truncated"));
    // The configuration is read as its counts say, then must fill its length.
    Reader configReader(io, kHeaderFixed, std::min(size, kHeaderFixed + configLength));
    Config config;
    const std::string why = ReadConfig(configReader, kImageVersion, config);
    if (!why.empty()) return Fail(error, Refusal(name_, why));
    if (configReader.offset() != kHeaderFixed + configLength) {
        return Fail(error, Refusal(name_, "corrupt (configuration length)"));
    }
    header_.assign(static_cast<std::size_t>(kHeaderFixed + configLength), '\0');
    if (!io.ReadAt(0, &header_[0], header_.size())) return Fail(error, Refusal(name_, "truncated"));
    config_ = config;
    controller_ = Controller::Restored(config, VolatileState());
    sectors_ = std::uint64_t{controller_->physicalBlocks()} * controller_->sectorsPerBlock();
    const Places places = PlacesOf(configLength, sectors_);
    layout_ = {places.states, places.map, places.slots, places.end};
    if (size < layout_.end) return Fail(error, Refusal(name_, "truncated"));
    return true;
}

// The journal a state record names, when it is not in place yet; false when
// the record names one that no writer of this medium could have written.
bool ImageDisk::ReadPending(ImageIo& io, std::uint64_t generation, std::uint64_t length, std::uint64_t hash,
                            Pending& pending, std::string* error) {
    pending = Pending();
    if (length == 0) return true;
    if (length < kJournalHead || length > JournalCap(sectors_)) return Fail(error, Refusal(name_, "corrupt (journal length)"));
    std::uint64_t size = 0;
    if (!io.Size(size)) return Fail(error, "cannot read image file " + name_);
    if (size < layout_.end || size - layout_.end < length) return true;  // cut off: in place
    char head[kJournalHead];
    if (!io.ReadAt(layout_.end, head, sizeof head)) return Fail(error, "cannot read image file " + name_);
    const std::string headBytes(head, sizeof head);
    Reader h(headBytes);
    if (h.U64() != generation) return true;  // marked as in place, or another write's journal
    const std::uint64_t count = h.U32();
    if (count > sectors_ || length < kJournalHead + count * kErasedEntry ||
        length > kJournalHead + count * kWrittenEntry) {
        return Fail(error, Refusal(name_, "corrupt (journal)"));
    }
    // Read through to its end, hashing: entries out of order or beyond the
    // medium in a journal whose hash matches are a corrupt image; a journal
    // whose hash does not match never took effect.
    Reader r(io, layout_.end, layout_.end + length);
    r.HashAll();
    r.Skip(kJournalHead);
    bool wellFormed = true;
    for (std::uint64_t k = 0; k < count && wellFormed && r.ok(); ++k) {
        if (r.remaining() < kErasedEntry) {
            wellFormed = false;
            break;
        }
        const std::uint32_t sector = r.U32();
        const std::uint8_t flag = r.U8();
        std::vector<std::uint32_t>& part = flag == 1 ? pending.writtenSectors : pending.erasedSectors;
        if (flag == 1 && part.empty()) pending.written = r.offset() - kErasedEntry;
        wellFormed = sector < sectors_ && flag <= 1 && (flag == 1 || pending.writtenSectors.empty()) &&
                     (part.empty() || part.back() < sector) && (flag == 0 || r.remaining() >= kSlot);
        part.push_back(sector);
        if (wellFormed && flag == 1) r.Skip(kSlot);
    }
    wellFormed = wellFormed && r.remaining() == 0;
    r.Skip(r.remaining());
    if (!r.ok()) return Fail(error, "cannot read image file " + name_);
    if (r.hash() != hash) {
        pending = Pending();
        return true;
    }
    if (!wellFormed) return Fail(error, Refusal(name_, "corrupt (journal)"));
    pending.length = length;
    return true;
}

// Puts the pending journal in place and marks it; false when a write fails
// (the journal stays pending and is read through).
bool ImageDisk::FinishPending(ImageIo& io) {
    Placer placer(io, layout_.map, layout_.slots, false);
    for (std::uint32_t sector : pending_.erasedSectors) placer.Erased(sector);
    const std::vector<std::uint32_t>& written = pending_.writtenSectors;
    std::string entries;
    for (std::size_t first = 0; first < written.size(); first += kPiece / kWrittenEntry) {
        const std::size_t count = std::min<std::size_t>(kPiece / kWrittenEntry, written.size() - first);
        entries.resize(count * kWrittenEntry);
        if (!io.ReadAt(pending_.written + first * kWrittenEntry, &entries[0], entries.size())) return false;
        for (std::size_t k = 0; k < count; ++k) {
            const auto* slot = reinterpret_cast<const std::uint8_t*>(entries.data() + k * kWrittenEntry + kErasedEntry);
            placer.Written(written[first + k], slot, slot + 512);
        }
    }
    if (!placer.Finish()) return false;
    MarkInPlace(io, layout_.end, pending_.length);
    pending_ = Pending();
    return true;
}

bool ImageDisk::Begin(ImageIo& io, std::string* error) {
    io_ = nullptr;
    damage_.clear();
    // The header and both state records in one read; a file given another
    // image is taken up anew.
    std::string head(static_cast<std::size_t>(layout_.states + 2 * kStateRecord), '\0');
    if (!io.ReadAt(0, &head[0], head.size()) || head.compare(0, header_.size(), header_) != 0) {
        if (!Load(io, error)) return false;
        head.assign(static_cast<std::size_t>(layout_.states + 2 * kStateRecord), '\0');
        if (!io.ReadAt(0, &head[0], head.size())) return Fail(error, Refusal(name_, "truncated"));
    }
    StateRecord found[2];
    const std::string records[2] = {head.substr(layout_.states, kStateRecord),
                                    head.substr(layout_.states + kStateRecord, kStateRecord)};
    const bool valid[2] = {found[0].Decode(records[0]), found[1].Decode(records[1])};
    if (!valid[0] && !valid[1]) return Fail(error, Refusal(name_, "corrupt (no valid state record)"));
    const int slot = !valid[0] || (valid[1] && found[1].generation > found[0].generation) ? 1 : 0;
    const StateRecord& state = found[slot];
    const bool writable = io.Writable();
    if (records[slot] != state_ || slot != stateSlot_ || writable != writable_) {
        // Another program wrote since (or this one does not know the state):
        // the record and its journal are judged before anything is written.
        if (state.generation == UINT64_MAX) return Fail(error, Refusal(name_, "corrupt (no generation after the state's)"));
        Config config = config_;
        config.password = state.password;
        if (!writable) config.writeProtected = true;
        std::unique_ptr<Controller> controller = Controller::Restored(config, state.volatileState);
        if (controller == nullptr) {
            return Fail(error, Refusal(name_, "corrupt (more failed password checks than lock the device)"));
        }
        Pending pending;
        if (!ReadPending(io, state.generation, state.journalLength, state.journalHash, pending, error)) return false;
        controller_ = std::move(controller);
        controller_->SetTracing(false);
        state_ = records[slot];
        stateSlot_ = slot;
        writable_ = writable;
        pending_ = std::move(pending);
    }
    // The last writer stopped after its state record: its write is finished
    // here, or read through while the file takes no write.
    if (pending_.length != 0 && writable_) FinishPending(io);
    io_ = &io;
    controller_->state_->firmware.nand().SetStore(this);
    return true;
}

bool ImageDisk::ReadSector(std::uint32_t sector, Nand::Sector& out) {
    if (io_ == nullptr) return false;
    std::uint8_t slot[kSlot];
    bool read = false;
    const std::vector<std::uint32_t>& written = pending_.writtenSectors;
    const auto entry = std::lower_bound(written.begin(), written.end(), sector);
    if (entry != written.end() && *entry == sector) {
        read = io_->ReadAt(pending_.written + static_cast<std::uint64_t>(entry - written.begin()) * kWrittenEntry +
                               kErasedEntry,
                           slot, sizeof slot);
    } else if (std::binary_search(pending_.erasedSectors.begin(), pending_.erasedSectors.end(), sector)) {
        return false;
    } else {
        char flag = 0;
        if (!io_->ReadAt(layout_.map + sector, &flag, 1)) {
            damage_ = "cannot read image file " + name_;
            return false;
        }
        if (flag == '\0') return false;
        if (flag != '\1') {
            damage_ = Refusal(name_, "corrupt (sector map)");
            return false;
        }
        read = io_->ReadAt(layout_.slots + std::uint64_t{sector} * kSlot, slot, sizeof slot);
    }
    if (!read) {
        damage_ = "cannot read image file " + name_;
        return false;
    }
    std::memcpy(out.data.data(), slot, 512);
    std::memcpy(out.spare.data(), slot + 512, 16);
    return true;
}

bool ImageDisk::Sound(std::string* error) const { return damage_.empty() || Fail(error, damage_); }

bool ImageDisk::End(std::string* error) {
    ImageIo* io = io_;
    io_ = nullptr;
    if (io == nullptr) return true;
    Firmware& firmware = controller_->state_->firmware;
    const Nand::Changes changes = firmware.nand().TakeChanges();
    firmware.nand().SetStore(nullptr);
    if (!damage_.empty()) {
        state_.clear();
        return Fail(error, damage_);
    }

    StateRecord previous;
    previous.Decode(state_);
    StateRecord next;
    next.generation = previous.generation + 1;
    next.volatileState = firmware.volatileState();
    next.password = firmware.config().password;
    const bool mediumKept = changes.empty() && next.password == previous.password;
    if (mediumKept && next.volatileState == previous.volatileState) return true;
    if (next.generation == 0) {
        state_.clear();
        return Fail(error, Refusal(name_, "corrupt (no generation after the state's)"));
    }
    if (!writable_ || pending_.length != 0) {
        // The file takes no write now: a volatile state stays in this program.
        if (mediumKept) return true;
        state_.clear();
        return Fail(error, writable_ ? "cannot write image file " + name_ + " (its last write is not finished)"
                                     : "cannot write image file " + name_ + " (opened read-only)");
    }
    // Until the state record names it, the journal is a tail that never took
    // effect, cut off when a step fails (the journal before it is in place).
    const auto notStored = [&] {
        if (!changes.empty()) io->Resize(layout_.end);
        state_.clear();
        return Fail(error, "cannot write image file " + name_);
    };
    if (!changes.empty() &&
        (!WriteJournal(*io, layout_.end, next.generation, changes, next.journalLength, next.journalHash) ||
         !Place(*io, layout_.map, layout_.slots, changes, true))) {
        return notStored();
    }
    const std::string record = next.Encode();
    const int slot = 1 - stateSlot_;
    // A record cut short fails its hash: the other one is the state.
    if (!io->WriteAt(layout_.states + slot * kStateRecord, record.data(), record.size())) return notStored();
    // Stored: whoever puts the journal in place makes the file the state after.
    if (!changes.empty()) {
        if (!Place(*io, layout_.map, layout_.slots, changes, false)) {
            state_.clear();  // the next Begin finishes it, or reads through it
            return true;
        }
        MarkInPlace(*io, layout_.end, next.journalLength);
    }
    state_ = record;
    stateSlot_ = slot;
    return true;
}

}  // namespace emulator
