// kt4790-emu: creates and inspects emulated KT4790 disks (image files) and
// lists them as the applications see them.
//
//   kt4790-emu create IMAGE [options]   a new image (see Usage below)
//   kt4790-emu show IMAGE               configuration and descriptor sector
//   kt4790-emu replug IMAGE             unplugs and plugs the disk in again
//   kt4790-emu list IMAGE...            the device lists of both libraries
//   kt4790-emu export IMAGE OUTPUT      the medium as the host reads it, as a
//                                       raw image (or one area of it)
//   kt4790-emu import IMAGE INPUT       a raw image written into the medium
//                                       (or one area of it), as the host writes
//
// Every error is one line on stderr and a non-zero exit: 2 for a bad command
// line, 1 for anything else (a missing, truncated or foreign image, a library
// that cannot be loaded).
//
// `create`, `show`, `replug`, `export` and `import` are portable: they talk to the controller with the
// commands the libraries send, through emulator::Controller::Execute. `list`
// needs the simulated machine (winsim) and so exists on Linux only.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "devlib/cdb.h"
#include "kt4790/records.h"
#include "winsim/devstack/emulated.h"
// <windows.h> names a function of its own LoadImage (a macro): the
// controller's image loader must keep its name.
#undef LoadImage
#include "emulator/controller.h"

#ifndef _WIN32
#include <unistd.h>
#include <windows.h>

#include "winsim/world.h"
#endif

namespace {

// ---------------------------------------------------------------------------
// Errors
// ---------------------------------------------------------------------------

// A failure of the operation itself (exit 1).
class Failure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A command line the tool cannot take (exit 2).
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------------------
// Command line
// ---------------------------------------------------------------------------

struct KnownOption {
    const char* name;  // with the leading "--"
    bool takesValue;
};

struct ParsedArgs {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;  // flags map to ""

    bool Has(const std::string& name) const { return options.count(name) != 0; }
};

ParsedArgs ParseArgs(const std::vector<std::string>& args, const std::vector<KnownOption>& known) {
    ParsedArgs parsed;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
            parsed.positional.push_back(arg);
            continue;
        }
        const KnownOption* match = nullptr;
        for (const KnownOption& candidate : known) {
            if (arg == candidate.name) match = &candidate;
        }
        if (match == nullptr) throw UsageError("unknown option " + arg);
        if (parsed.Has(arg)) throw UsageError("option " + arg + " given twice");
        if (match->takesValue) {
            if (i + 1 >= args.size()) throw UsageError("option " + arg + " needs a value");
            parsed.options[arg] = args[++i];
        } else {
            parsed.options[arg] = "";
        }
    }
    return parsed;
}

// A whole decimal or 0x-prefixed hexadecimal number within [low, high].
unsigned long ParseNumber(const std::string& option, const std::string& text, unsigned long low,
                          unsigned long high) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    bool ok = !digits.empty() && digits.size() <= 10;
    for (char c : digits) {
        const bool digit = c >= '0' && c <= '9';
        const bool hexDigit = (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!digit && !(hex && hexDigit)) ok = false;
    }
    const unsigned long long value = ok ? std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10) : 0;
    if (!ok || value < low || value > high) {
        throw UsageError(option + " takes a number from " + std::to_string(low) + " to " + std::to_string(high) +
                         ", not \"" + text + "\"");
    }
    return static_cast<unsigned long>(value);
}

// ---------------------------------------------------------------------------
// Text: the device stores names and hints in UTF-16LE; the terminal is UTF-8.
// ---------------------------------------------------------------------------

void AppendUtf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// Converts `length` bytes of UTF-16LE; a zero unit ends the text, an odd
// last byte is ignored, an unpaired surrogate becomes U+FFFD.
std::string Utf16LeToText(const std::uint8_t* bytes, std::size_t length) {
    std::string out;
    const std::size_t units = length / 2;
    for (std::size_t i = 0; i < units; ++i) {
        const std::uint32_t unit = bytes[2 * i] | (static_cast<std::uint32_t>(bytes[2 * i + 1]) << 8);
        if (unit == 0) break;
        if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < units) {
            const std::uint32_t low = bytes[2 * i + 2] | (static_cast<std::uint32_t>(bytes[2 * i + 3]) << 8);
            if (low >= 0xDC00 && low < 0xE000) {
                AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        AppendUtf8(out, unit >= 0xD800 && unit < 0xE000 ? 0xFFFD : unit);
    }
    return out;
}

// Decodes UTF-8 strictly (no overlong forms, no surrogates) into UTF-16.
std::u16string TextToUtf16(const std::string& option, const std::string& text) {
    std::u16string out;
    const auto bad = [&]() { return UsageError(option + " is not valid UTF-8 text"); };
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        std::uint32_t code;
        std::size_t extra;
        if (lead < 0x80) {
            code = lead;
            extra = 0;
        } else if (lead >= 0xC2 && lead < 0xE0) {
            code = lead & 0x1F;
            extra = 1;
        } else if (lead >= 0xE0 && lead < 0xF0) {
            code = lead & 0x0F;
            extra = 2;
        } else if (lead >= 0xF0 && lead < 0xF5) {
            code = lead & 0x07;
            extra = 3;
        } else {
            throw bad();
        }
        if (i + extra >= text.size()) throw bad();
        for (std::size_t k = 1; k <= extra; ++k) {
            const unsigned char c = static_cast<unsigned char>(text[i + k]);
            if ((c & 0xC0) != 0x80) throw bad();
            code = (code << 6) | (c & 0x3F);
        }
        const std::uint32_t minimum[] = {0, 0x80, 0x800, 0x10000};
        if (code < minimum[extra] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) throw bad();
        if (code >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(code);
        }
        i += extra + 1;
    }
    return out;
}

#ifndef _WIN32
// Blanks trimmed from both ends, as the applications show names.
std::string TrimBlanks(const std::string& text) {
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}
#endif

std::string Hex(unsigned value) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out = "0x";
    out += digits[(value >> 4) & 0xF];
    out += digits[value & 0xF];
    return out;
}

// ---------------------------------------------------------------------------
// Images
// ---------------------------------------------------------------------------

// An image error names the image once, whether or not the emulator's message does.
Failure ImageFailure(const std::string& path, const std::string& error, const char* fallback) {
    if (error.empty()) return Failure(path + ": " + fallback);
    if (error.find(path) != std::string::npos) return Failure(error);
    return Failure(path + ": " + error);
}

// The disk, looked at in place under the image's shared lock: only the
// header, the state and the sectors asked for are read.
std::unique_ptr<devstack::ImageView> OpenImage(const std::string& path) {
    std::string error;
    auto view = std::make_unique<devstack::ImageView>();
    if (!view->Open(path, &error)) throw ImageFailure(path, error, "cannot be loaded");
    return view;
}

// After reads: a sector the file could not give makes the image unusable.
void CheckSound(const devstack::ImageView& view, const std::string& path) {
    std::string error;
    if (!view.Sound(&error)) throw ImageFailure(path, error, "cannot be read");
}

// Sends one command the way the pass-through library encodes it. `data`
// holds `capacity` bytes; a command that would move more is not sent.
bool Send(emulator::Controller& controller, const devcmd::Command& command, std::uint8_t* data,
          std::uint32_t capacity) {
    if (command.transferLength > capacity) return false;
    emulator::DataDirection direction = emulator::DataDirection::None;
    if (command.transferLength != 0) {
        direction = command.direction == devcmd::Direction::In ? emulator::DataDirection::In
                                                                : emulator::DataDirection::Out;
    }
    const emulator::Outcome outcome =
        controller.Execute(command.cdb.bytes, command.cdbLength, direction, data, command.transferLength);
    return outcome.delivered && devcmd::ScsiStatusOk(outcome.status);
}

struct DescriptorLocation {
    bool found = false;
    std::uint32_t sector = 0;  // the address VSCReadSector is given
    std::uint32_t block = 0;   // chip 0x30: the block whose spare area was valid
    std::string problem;       // when not found
};

// Finds and reads the descriptor sector as the device libraries do: sector 1
// with Flag80 on chip 0x13; on chip 0x30 sector 1 of the first block whose
// spare area is valid. The search stops at the medium's last physical block.
DescriptorLocation ReadDescriptorSector(emulator::Controller& controller,
                                        std::uint8_t (&sector)[kt4790::kSectorSize]) {
    DescriptorLocation location;
    std::uint8_t reply[kt4790::kSectorSize] = {};
    if (!Send(controller, devcmd::GetChipVersion(), reply, sizeof reply)) {
        location.problem = "GetChipVersion failed";
        return location;
    }
    if (reply[0] == kt4790::kChipCode13) {
        location.sector = 1;
        location.found = Send(controller, devcmd::VscReadSector(1, 1, 0), sector, sizeof sector);
        if (!location.found) location.problem = "reading sector 1 failed";
        return location;
    }
    if (reply[0] != kt4790::kChipCode30) {
        location.problem = "unknown chip code " + Hex(reply[0]);
        return location;
    }
    std::uint8_t media[kt4790::kSectorSize] = {};
    if (!Send(controller, devcmd::GetMediaSize(), media, sizeof media)) {
        location.problem = "GetMediaSize failed";
        return location;
    }
    const std::uint32_t step = kt4790::SectorsPerBlock(kt4790::ParseMediaSizeReply(media).largeBlock);
    for (std::uint32_t block = 0; block < controller.physicalBlocks(); ++block) {
        std::uint8_t spare[kt4790::kSpareSize] = {};
        if (!Send(controller, devcmd::VscReadSector(block * step + 1, 0, 1), spare, sizeof spare)) {
            location.problem = "reading a spare area failed at block " + std::to_string(block);
            return location;
        }
        if (kt4790::IsValidSpare(spare)) {
            location.block = block;
            location.sector = block * step + 1;
            location.found = Send(controller, devcmd::VscReadSector(location.sector, 0, 0), sector, sizeof sector);
            if (!location.found) location.problem = "reading sector " + std::to_string(location.sector) + " failed";
            return location;
        }
    }
    location.problem = "no block with a valid spare area";
    return location;
}

// The name descriptor's text, quoted.
std::string NameText(const std::uint8_t (&sector)[kt4790::kSectorSize]) {
    kt4790::DescriptorRef ref;
    if (!kt4790::WalkDescriptorChain(sector, kt4790::kNameDescriptorIndex, ref)) return "(malformed descriptor chain)";
    return "\"" + Utf16LeToText(sector + ref.offset + 2, ref.length - 2u) + "\"";
}

// The hint descriptor's text, quoted; a length of 2 or less, or a chain that
// ends before it, means no hint.
std::string HintText(const std::uint8_t (&sector)[kt4790::kSectorSize]) {
    kt4790::DescriptorRef ref;
    if (!kt4790::WalkDescriptorChain(sector, kt4790::kHintDescriptorIndex, ref) || ref.length <= 2) return "(none)";
    return "\"" + Utf16LeToText(sector + ref.offset + 2, ref.length - 2u) + "\"";
}

// ---------------------------------------------------------------------------
// create
// ---------------------------------------------------------------------------

constexpr std::size_t kMaxNameUnits = kt4790::kMaxNameBytes / 2;  // 16 characters
constexpr std::size_t kMaxHintUnits = 32;
constexpr std::size_t kMaxPasswordLength = 8;

int RunCreate(const std::vector<std::string>& args) {
    const ParsedArgs parsed = ParseArgs(args, {{"--chip", true},
                                               {"--large", false},
                                               {"--zones", true},
                                               {"--chips", true},
                                               {"--revision", true},
                                               {"--name", true},
                                               {"--password", true},
                                               {"--hint", true},
                                               {"--descriptor-block", true},
                                               {"--write-protected", false},
                                               {"--inquiry-byte3", true},
                                               {"--replace", true}});
    if (parsed.positional.size() != 1) throw UsageError("create takes one IMAGE");
    const std::string& path = parsed.positional[0];

    emulator::Config config;
    std::string nameText = "DEMO DISK";
    config.deviceName = u"DEMO DISK";
    if (parsed.Has("--chip")) {
        const unsigned long chip = ParseNumber("--chip", parsed.options.at("--chip"), 0, 0xFF);
        if (chip != kt4790::kChipCode13 && chip != kt4790::kChipCode30) throw UsageError("--chip is 0x13 or 0x30");
        config.chipCode = static_cast<std::uint8_t>(chip);
    }
    config.largeBlock = parsed.Has("--large");
    if (parsed.Has("--zones")) {
        config.zoneCount = static_cast<std::uint8_t>(ParseNumber("--zones", parsed.options.at("--zones"), 1, 255));
    }
    if (parsed.Has("--chips")) {
        config.chipCount = static_cast<std::uint8_t>(
            ParseNumber("--chips", parsed.options.at("--chips"), 1, kt4790::kChipBlockTableSlots));
    }
    if (parsed.Has("--revision")) {
        const std::string& revision = parsed.options.at("--revision");
        if (revision.empty() || revision.size() > config.revision.size()) {
            throw UsageError("--revision takes 1 to 4 characters");
        }
        for (char c : revision) {
            if (c < 0x20 || c > 0x7E) throw UsageError("--revision takes printable ASCII characters");
        }
        config.revision.fill(' ');  // INQUIRY text fields are padded with blanks
        std::memcpy(config.revision.data(), revision.data(), revision.size());
    }
    if (parsed.Has("--name")) {
        nameText = parsed.options.at("--name");
        config.deviceName = TextToUtf16("--name", nameText);
        if (config.deviceName.size() > kMaxNameUnits) throw UsageError("--name takes at most 16 characters");
    }
    if (parsed.Has("--hint")) {
        config.hint = TextToUtf16("--hint", parsed.options.at("--hint"));
        if (config.hint.size() > kMaxHintUnits) throw UsageError("--hint takes at most 32 characters");
    }
    if (parsed.Has("--password")) {
        config.password = parsed.options.at("--password");
        if (config.password.size() > kMaxPasswordLength) throw UsageError("--password takes at most 8 characters");
    }
    config.writeProtected = parsed.Has("--write-protected");
    if (parsed.Has("--inquiry-byte3")) {
        config.inquiryByte3 =
            static_cast<std::uint8_t>(ParseNumber("--inquiry-byte3", parsed.options.at("--inquiry-byte3"), 0, 0xFF));
    }
    if (parsed.Has("--descriptor-block")) {
        if (config.chipCode != kt4790::kChipCode30) throw UsageError("--descriptor-block applies to chip 0x30 only");
        config.descriptorBlock = static_cast<std::uint32_t>(
            ParseNumber("--descriptor-block", parsed.options.at("--descriptor-block"), 0, 0xFFFFFFFFul));
    }

    const std::string problem = emulator::MediumProblem(config);
    if (!problem.empty()) throw UsageError("no controller has this medium: " + problem);
    if (parsed.Has("--replace")) {
        // Comma-separated block positions, each given the next free
        // replacement block of its chip.
        std::string list = parsed.options.at("--replace");
        for (std::size_t start = 0; start <= list.size();) {
            const std::size_t comma = std::min(list.find(',', start), list.size());
            const auto position = static_cast<std::uint32_t>(
                ParseNumber("--replace", list.substr(start, comma - start), 0, 0xFFFFFFFFul));
            std::string why;
            if (!emulator::AddReplacement(config, position, &why)) throw UsageError("--replace: " + why);
            start = comma + 1;
        }
    }

    std::error_code ignored;
    if (std::filesystem::exists(path, ignored)) throw Failure(path + ": already exists; not overwritten");

    emulator::Controller controller(config);
    std::string error;
    devstack::LockedImage file;
    if (!file.Create(path, nullptr, &error)) throw ImageFailure(path, error, "cannot be written");
    if (!controller.SaveImage(file, &error) || !file.Close()) {
        file.Close();
        std::filesystem::remove(path, ignored);
        throw ImageFailure(path, error, "cannot be written");
    }
    std::cout << "created " << path << ": chip " << Hex(config.chipCode) << ", "
              << (config.largeBlock ? "large" : "small") << " blocks, " << unsigned{config.zoneCount} << " zone(s), "
              << unsigned{config.chipCount} << " chip(s), name \"" << nameText << "\"\n";
    return 0;
}

// ---------------------------------------------------------------------------
// show
// ---------------------------------------------------------------------------

int RunShow(const std::vector<std::string>& args) {
    const ParsedArgs parsed = ParseArgs(args, {});
    if (parsed.positional.size() != 1) throw UsageError("show takes one IMAGE");
    const std::string& path = parsed.positional[0];
    const std::unique_ptr<devstack::ImageView> view = OpenImage(path);
    emulator::Controller& controller = view->controller();
    const emulator::Config& config = view->config();
    std::uint8_t reply[kt4790::kSectorSize] = {};
    const bool pwdKnown = Send(controller, devcmd::PwdExist(), reply, sizeof reply);
    std::uint8_t sector[kt4790::kSectorSize] = {};
    const DescriptorLocation location = ReadDescriptorSector(controller, sector);
    CheckSound(*view, path);

    std::string revision(config.revision.data(), config.revision.size());
    std::cout << "image:             " << path << "\n"
              << "chip code:         " << Hex(config.chipCode) << "\n"
              << "blocks:            " << (config.largeBlock ? "large" : "small") << ", "
              << controller.sectorsPerBlock() << " sectors each\n"
              << "zones:             " << unsigned{config.zoneCount} << "\n"
              << "chips:             " << unsigned{config.chipCount} << "\n"
              << "physical blocks:   " << controller.physicalBlocks() << "\n"
              << "logical blocks:    " << controller.logicalBlocks() << "\n"
              << "revision:          \"" << revision << "\"\n"
              << "inquiry byte 3:    " << Hex(config.inquiryByte3) << "\n"
              << "write protected:   " << (config.writeProtected ? "yes" : "no") << "\n"
              << "replaced blocks:   ";
    if (config.replacements.empty()) std::cout << "(none)";
    for (std::size_t i = 0; i < config.replacements.size(); ++i) {
        std::cout << (i == 0 ? "" : ", ") << config.replacements[i].position << " by " << config.replacements[i].block;
    }
    std::cout << "\n";
    std::cout << "password:          " << (!pwdKnown ? "(PwdExist failed)" : reply[0] == 1 ? "set" : "none") << "\n";
    if (!location.found) {
        std::cout << "descriptor sector: not found (" << location.problem << ")\n";
        return 0;
    }
    std::cout << "descriptor sector: " << location.sector;
    if (config.chipCode == kt4790::kChipCode30) std::cout << " (block " << location.block << ")";
    std::cout << "\n"
              << "device name:       " << NameText(sector) << "\n"
              << "hint:              " << HintText(sector) << "\n"
              << "standard area:     " << kt4790::PartitionWord(sector) << " logical blocks\n";
    return 0;
}

// ---------------------------------------------------------------------------
// replug
// ---------------------------------------------------------------------------

// Clears what the controller keeps only while plugged in (the password
// lock after three wrong CheckPwd), as pulling the disk out and putting it
// back does. The image is changed in one step, under its lock, so that a
// program using the disk at the same time sees it before or after.
int RunReplug(const std::vector<std::string>& args) {
    const ParsedArgs parsed = ParseArgs(args, {});
    if (parsed.positional.size() != 1) throw UsageError("replug takes one IMAGE");
    const std::string& path = parsed.positional[0];
    bool locked = false;
    std::string error;
    const bool changed = devstack::ChangeImage(
        path,
        [&](emulator::Controller& controller, std::string*) {
            locked = controller.volatileState().failedChecks != 0;
            controller.Replug();
            return true;
        },
        &error);
    if (!changed) throw ImageFailure(path, error, "cannot be written");
    std::cout << "replugged " << path << (locked ? ": failed password checks cleared\n" : "\n");
    return 0;
}

// ---------------------------------------------------------------------------
// export and import
// ---------------------------------------------------------------------------

// Logical blocks of an area, in the host's numbering.
struct BlockRange {
    std::uint32_t first = 0;
    std::uint32_t count = 0;
};

// The standard area is logical blocks 0 .. PartitionWord - 1, the security
// area the rest. A PartitionWord of 0, or one that covers the whole medium
// (or claims more), means one area over the whole medium.
BlockRange AreaBlocks(emulator::Controller& controller, const std::string& path, const std::string& area) {
    const std::uint32_t logical = controller.logicalBlocks();
    if (area.empty()) return {0, logical};
    if (area != "standard" && area != "security") throw UsageError("--area is standard or security");
    std::uint8_t sector[kt4790::kSectorSize] = {};
    const DescriptorLocation location = ReadDescriptorSector(controller, sector);
    if (!location.found) throw Failure(path + ": no descriptor sector (" + location.problem + ")");
    const std::uint32_t standard = kt4790::PartitionWord(sector);
    const bool split = standard != 0 && standard < logical;
    if (area == "standard") return {0, split ? standard : logical};
    if (!split) {
        throw Failure(path + ": no security area (standard area " + std::to_string(standard) + " of " +
                      std::to_string(logical) + " logical blocks)");
    }
    return {standard, logical - standard};
}

// export and import move the medium in runs of 32 sectors: both block sizes
// hold whole runs, so a run never spans two blocks and a refused one lies in
// one block.
constexpr std::uint32_t kRun = kt4790::kSmallBlockSectors;

// What export and import work on: IMAGE's controller and the area of its
// medium that --area names, and the raw image file (OUTPUT or INPUT).
struct AreaTransfer {
    std::string image;
    std::string file;
    std::unique_ptr<devstack::ImageView> view;  // under the image's shared lock while it lives
    BlockRange range;
    std::uint64_t firstSector = 0;  // logical
    std::uint64_t sectors = 0;

    // "N sectors, logical blocks A-B"
    std::string Summary() const {
        return std::to_string(sectors) + " sectors, logical blocks " + std::to_string(range.first) + "-" +
               std::to_string(range.count == 0 ? range.first : range.first + range.count - 1);
    }
};

AreaTransfer OpenArea(const std::vector<std::string>& args, const char* usage) {
    const ParsedArgs parsed = ParseArgs(args, {{"--area", true}});
    if (parsed.positional.size() != 2) throw UsageError(usage);
    AreaTransfer area;
    area.image = parsed.positional[0];
    area.file = parsed.positional[1];
    area.view = OpenImage(area.image);
    emulator::Controller& controller = area.view->controller();
    controller.SetTracing(false);
    area.range = AreaBlocks(controller, area.image, parsed.Has("--area") ? parsed.options.at("--area") : "");
    CheckSound(*area.view, area.image);
    area.firstSector = std::uint64_t{area.range.first} * controller.sectorsPerBlock();
    area.sectors = std::uint64_t{area.range.count} * controller.sectorsPerBlock();
    return area;
}

bool AllZero(const std::vector<std::uint8_t>& bytes) {
    for (std::uint8_t b : bytes) {
        if (b != 0) return false;
    }
    return true;
}

int RunExport(const std::vector<std::string>& args) {
    const AreaTransfer area = OpenArea(args, "export takes IMAGE and OUTPUT");
    const std::string& path = area.image;
    const std::string& output = area.file;

    std::error_code ignored;
    if (std::filesystem::exists(output, ignored)) throw Failure(output + ": already exists; not overwritten");
    std::ofstream file(output, std::ios::binary);
    if (!file) throw Failure(output + ": cannot be written");

    // Runs of zeros are left as holes, so a large, mostly empty medium stays
    // small on disk.
    std::vector<std::uint8_t> run(kRun * kt4790::kSectorSize);
    for (std::uint64_t done = 0; done < area.sectors; done += kRun) {
        const auto lba = static_cast<std::uint32_t>(area.firstSector + done);
        std::fill(run.begin(), run.end(), 0);
        if (!Send(area.view->controller(), devcmd::Read10(lba, static_cast<std::uint32_t>(run.size())), run.data(),
                  static_cast<std::uint32_t>(run.size()))) {
            throw Failure(path + ": READ(10) of sector " + std::to_string(lba) + " failed");
        }
        CheckSound(*area.view, path);
        if (AllZero(run)) continue;
        file.seekp(static_cast<std::streamoff>(done * kt4790::kSectorSize));
        file.write(reinterpret_cast<const char*>(run.data()), static_cast<std::streamsize>(run.size()));
    }
    file.close();
    if (!file) throw Failure(output + ": cannot be written");
    std::filesystem::resize_file(output, area.sectors * kt4790::kSectorSize, ignored);
    if (ignored) throw Failure(output + ": cannot be written (" + ignored.message() + ")");
    std::cout << "exported " << path << " to " << output << ": " << area.Summary() << "\n";
    return 0;
}

// The reverse of export: INPUT, a raw image of exactly the area's size, is
// written with WRITE(10) through the controller's map. The image file is
// changed, in one step, only when every run was written, so a refused input
// or a failed write leaves it as it was.
int RunImport(const std::vector<std::string>& args) {
    AreaTransfer area = OpenArea(args, "import takes IMAGE and INPUT");
    area.view.reset();  // the change takes the image's lock for itself
    const std::string& path = area.image;
    const std::string& input = area.file;
    const std::uint64_t sectors = area.sectors;

    // Only a regular file is opened: a FIFO would wait for a writer, a device
    // could read without end.
    std::error_code status;
    const std::filesystem::file_status kind = std::filesystem::status(input, status);
    if (!std::filesystem::exists(kind)) throw Failure(input + ": cannot be read (no such file)");
    if (!std::filesystem::is_regular_file(kind)) throw Failure(input + ": not a regular file");
    const std::uintmax_t size = std::filesystem::file_size(input, status);
    if (status) throw Failure(input + ": cannot be read (" + status.message() + ")");
    if (size != sectors * kt4790::kSectorSize) {
        throw Failure(input + ": " + std::to_string(size) + " bytes, but the area holds " +
                      std::to_string(sectors * kt4790::kSectorSize) + " bytes (" + std::to_string(sectors) +
                      " sectors)");
    }
    std::ifstream file(input, std::ios::binary);
    if (!file) throw Failure(input + ": cannot be read");

    std::string error;
    const bool changed = devstack::ChangeImage(
        path,
        [&](emulator::Controller& controller, std::string*) {
            std::vector<std::uint8_t> run(kRun * kt4790::kSectorSize);
            for (std::uint64_t done = 0; done < sectors; done += kRun) {
                const auto lba = static_cast<std::uint32_t>(area.firstSector + done);
                // A file that shrinks while it is read ends early.
                if (!file.read(reinterpret_cast<char*>(run.data()), static_cast<std::streamsize>(run.size()))) {
                    throw Failure(input + ": cannot be read at byte " + std::to_string(done * kt4790::kSectorSize));
                }
                if (!Send(controller, devcmd::Write10(lba, static_cast<std::uint32_t>(run.size())), run.data(),
                          static_cast<std::uint32_t>(run.size()))) {
                    throw Failure(path + ": WRITE(10) of sector " + std::to_string(lba) + " failed; image not changed");
                }
            }
            return true;
        },
        &error);
    if (!changed) throw ImageFailure(path, error, "cannot be written");
    std::cout << "imported " << input << " to " << path << ": " << area.Summary() << "\n";
    return 0;
}

// ---------------------------------------------------------------------------
// list
// ---------------------------------------------------------------------------

#ifndef _WIN32

// Where this program lies: LoadLibraryA looks for the libraries beside it,
// as Windows looks in the application's directory.
std::string ProgramDirectory() {
    std::vector<char> buffer(4096);
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (length <= 0) throw Failure("cannot find the program's own directory");
    return std::filesystem::path(std::string(buffer.data(), static_cast<std::size_t>(length))).parent_path().string();
}

// One build of the library: its bare name and the RevisionFilter its
// application passes.
struct LibraryBuild {
    const char* libraryName;
    const char* revisionFilter;
    bool resultInByte;  // KT4790mDLL returns its result in a byte
};

// Lists the devices through one library, as the applications do. Returns
// false when the library or its export cannot be had.
bool ListThrough(const LibraryBuild& build) {
    const std::string title = std::string(build.libraryName) + " (filter \"" + build.revisionFilter + "\")";
    HMODULE library = LoadLibraryA(build.libraryName);
    if (library == nullptr) {
        std::cout << title << ": cannot be loaded (LoadLibraryA failed)\n";
        return false;
    }
    FARPROC proc = GetProcAddress(library, "GetAllDeviceName");
    if (proc == nullptr) {
        std::cout << title << ": has no export GetAllDeviceName\n";
        FreeLibrary(library);
        return false;
    }

    // The library upper-cases the filter in place: hand it a copy it may write.
    char filter[kt4790::kSectorSize] = {};
    std::strncpy(filter, build.revisionFilter, sizeof filter - 1);
    kt4790::DeviceNameEntry table[kt4790::kDeviceNameTableCapacity] = {};
    BYTE counter = kt4790::kDeviceNameTableCapacity;
    BYTE* tableBytes = reinterpret_cast<BYTE*>(table);
    int result;
    if (build.resultInByte) {
        using Proc = BYTE(WINAPI*)(char*, BYTE*, BYTE*);
        result = reinterpret_cast<Proc>(reinterpret_cast<void*>(proc))(filter, tableBytes, &counter);
    } else {
        using Proc = int(WINAPI*)(char*, BYTE*, BYTE*);
        result = reinterpret_cast<Proc>(reinterpret_cast<void*>(proc))(filter, tableBytes, &counter);
    }
    FreeLibrary(library);

    // Whatever the library says, read no entry beyond the table and no name
    // beyond its entry.
    const unsigned filled = counter < kt4790::kDeviceNameTableCapacity ? counter : kt4790::kDeviceNameTableCapacity;
    std::cout << title << ": GetAllDeviceName returned " << result << ", ";
    if (filled == 0) {
        std::cout << "no device found\n";
        return true;
    }
    std::cout << filled << (filled == 1 ? " device\n" : " devices\n");
    for (unsigned k = 0; k < filled; ++k) {
        const std::size_t length = table[k].length < kt4790::kMaxNameBytes ? table[k].length : kt4790::kMaxNameBytes;
        std::cout << "  " << (k + 1) << ". \"" << TrimBlanks(Utf16LeToText(table[k].name, length)) << "\"\n";
    }
    return true;
}

int RunList(const std::vector<std::string>& args) {
    const ParsedArgs parsed = ParseArgs(args, {});
    if (parsed.positional.empty()) throw UsageError("list takes one or more IMAGEs");

    // Each controller reads its image in place while the list runs.
    std::vector<std::shared_ptr<emulator::Controller>> controllers;
    std::vector<std::shared_ptr<devstack::ImageView>> views;
    for (const std::string& path : parsed.positional) {
        std::shared_ptr<devstack::ImageView> view = OpenImage(path);
        views.push_back(view);
        controllers.emplace_back(view, &view->controller());
    }

    winsim::World& world = winsim::World::Get();
    world.SetLibraryDirectory(ProgramDirectory());
    constexpr std::size_t kTargetsPerAdapter = 8;
    for (std::size_t i = 0; i < controllers.size(); ++i) {
        winsim::EmulatedDevice& device = world.AddDevice(controllers[i]);
        device.hostAdapter = static_cast<std::uint8_t>(i / kTargetsPerAdapter);
        device.target = static_cast<std::uint8_t>(i % kTargetsPerAdapter);
        std::cout << "attached " << parsed.positional[i] << ": ASPI " << unsigned{device.hostAdapter} << ":"
                  << unsigned{device.target} << ", " << device.interfacePath << "\n";
    }

    const LibraryBuild builds[] = {
        {"KT4790DLL", "Rev_KVOR", false},
        {"KT4790mDLL", "KVOR", true},
    };
    bool allLoaded = true;
    for (const LibraryBuild& build : builds) allLoaded = ListThrough(build) && allLoaded;
    for (std::size_t i = 0; i < views.size(); ++i) CheckSound(*views[i], parsed.positional[i]);
    return allLoaded ? 0 : 1;
}

#endif

// ---------------------------------------------------------------------------
// Subcommands
// ---------------------------------------------------------------------------

int RunHelp(const std::vector<std::string>& args);

struct Subcommand {
    const char* name;
    const char* usage;
    int (*run)(const std::vector<std::string>& args);
};

const Subcommand kSubcommands[] = {
    {"create",
     "create IMAGE [--chip 0x13|0x30] [--large] [--zones N] [--chips N] [--revision TEXT]\n"
     "         [--name TEXT] [--password TEXT] [--hint TEXT] [--descriptor-block N]\n"
     "         [--write-protected] [--inquiry-byte3 N] [--replace BLOCK[,BLOCK...]]\n"
     "    a new emulated disk (defaults: chip 0x30, small blocks, 1 zone, 1 chip,\n"
     "    revision KVOR, name \"DEMO DISK\", no password, no hint); --replace gives each\n"
     "    data block the next free replacement block of its chip",
     RunCreate},
    {"show", "show IMAGE\n    its configuration, descriptor sector, device name, hint and password state", RunShow},
    {"replug",
     "replug IMAGE\n    unplugs the disk and plugs it in again: clears the lock after wrong passwords",
     RunReplug},
    {"export",
     "export IMAGE OUTPUT [--area standard|security]\n"
     "    the medium as the host reads it (READ(10)), as a raw image file; with --area\n"
     "    only that area, as the descriptor sector's PartitionWord divides the medium",
     RunExport},
    {"import",
     "import IMAGE INPUT [--area standard|security]\n"
     "    writes the raw image file INPUT into the medium as the host writes it\n"
     "    (WRITE(10)); with --area only into that area. INPUT must be exactly the\n"
     "    size of the medium or area",
     RunImport},
#ifndef _WIN32
    {"list",
     "list IMAGE...\n    attaches the images and lists them through KT4790DLL and KT4790mDLL, as the\n"
     "    applications do",
     RunList},
#endif
    {"help", "help\n    this text", RunHelp},
};

int RunHelp(const std::vector<std::string>& args) {
    if (!args.empty()) throw UsageError("help takes no arguments");
    std::cout << "usage: kt4790-emu SUBCOMMAND ...\n";
    for (const Subcommand& subcommand : kSubcommands) std::cout << "  kt4790-emu " << subcommand.usage << "\n";
    return 0;
}

int Run(int argc, char** argv) {
    if (argc < 2) throw UsageError("no subcommand given");
    std::string name = argv[1];
    if (name == "--help" || name == "-h") name = "help";
    const std::vector<std::string> args(argv + 2, argv + argc);
    for (const Subcommand& subcommand : kSubcommands) {
        if (name == subcommand.name) return subcommand.run(args);
    }
    throw UsageError("unknown subcommand \"" + name + "\"");
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const UsageError& e) {
        std::cerr << "kt4790-emu: " << e.what() << " (kt4790-emu help lists the usage)\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "kt4790-emu: " << e.what() << "\n";
        return 1;
    }
}
