// What the device-library tests share: the library loaded by its bare name
// and bound by procedure name as the applications do, emulated disks in the
// World, and readable views of what the controller and the transports saw.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

#include "emulator/controller.h"
#include "winsim/world.h"

namespace devtest {

// A device library loaded by LoadLibraryA and freed when the object goes.
class Library {
public:
    explicit Library(const char* bareName) : module_(LoadLibraryA(bareName)) {}
    ~Library() {
        if (module_ != nullptr) FreeLibrary(module_);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    bool loaded() const { return module_ != nullptr; }

    template <typename Proc>
    Proc* Bind(const char* name) const {
        const FARPROC proc = GetProcAddress(module_, name);
        Proc* typed = nullptr;
        static_assert(sizeof typed == sizeof proc, "procedure pointers have one size");
        std::memcpy(&typed, &proc, sizeof proc);
        return typed;
    }

private:
    HMODULE module_;
};

// Binds an export by its plain name with the type devcmd.h declares for it.
#define DEVLIB_BIND(library, name) (library).Bind<decltype(::name)>(#name)

inline winsim::World& World() { return winsim::World::Get(); }

// A disk of one zone with the given name.
inline emulator::Config Disk(const std::u16string& name, std::uint8_t chipCode = 0x30, bool largeBlock = false,
                             std::uint32_t descriptorBlock = 0) {
    emulator::Config config;
    config.chipCode = chipCode;
    config.largeBlock = largeBlock;
    config.deviceName = name;
    config.descriptorBlock = descriptorBlock;
    return config;
}

inline emulator::Config WithRevision(emulator::Config config, const char (&revision)[5]) {
    for (std::size_t i = 0; i < 4; ++i) config.revision[i] = revision[i];
    return config;
}

// The commands a controller received, one line each: the operation code,
// and for the flash commands the option byte and the address,
// e.g. "C0", "F5 40 33" (spare of sector 33), "F5 80 1". Taken under the
// World's lock: ASPI completions run on a thread of their own.
inline std::vector<std::string> Trace(const emulator::Controller& controller) {
    std::lock_guard<std::recursive_mutex> lock(World().mutex());
    std::vector<std::string> lines;
    for (const emulator::CommandRecord& r : controller.trace()) {
        char line[32];
        const std::uint8_t op = r.cdb[0];
        if (op == 0xF3 || op == 0xF4 || op == 0xF5 || op == 0xF9) {
            const unsigned long address = (static_cast<unsigned long>(r.cdb[2]) << 24) |
                                          (static_cast<unsigned long>(r.cdb[3]) << 16) |
                                          (static_cast<unsigned long>(r.cdb[4]) << 8) | r.cdb[5];
            std::snprintf(line, sizeof line, "%02X %02X %lu", op, r.cdb[1], address);
        } else {
            std::snprintf(line, sizeof line, "%02X", op);
        }
        lines.emplace_back(line);
    }
    return lines;
}

using Bytes = std::vector<std::uint8_t>;

// Whether bytes [from, to) of `buffer` all hold `value` (none when from >= to).
inline bool AllAre(const BYTE* buffer, std::size_t from, std::size_t to, BYTE value) {
    for (std::size_t k = from; k < to; ++k) {
        if (buffer[k] != value) return false;
    }
    return true;
}

// One call of a library export while the device answers one command with
// only part of its reply, and what the call must make of it.
struct ShortReplyRow {
    std::string what;
    int opcode;             // the command whose reply comes short
    std::uint32_t arrives;  // bytes of its reply that arrive
    std::function<int(BYTE*)> call;
    int result;
    std::size_t copied;  // bytes of the buffer the call writes when it succeeds
    Bytes expected;      // the first bytes copied
};

// Runs the row into a buffer pre-filled with 0xAA: the result, the reply's
// bytes, zeros where the device sent nothing, and nothing past the copy.
inline void RunShortReplyRow(emulator::Controller& controller, const ShortReplyRow& row) {
    SCOPED_TRACE(row.what);
    controller.ClearFaults();
    emulator::Fault fault;
    fault.kind = emulator::FaultKind::ShortTransfer;
    fault.opcode = row.opcode;
    fault.arrives = row.arrives;
    controller.InjectFault(fault);
    BYTE buffer[520];
    std::memset(buffer, 0xAA, sizeof buffer);
    EXPECT_EQ(row.call(buffer), row.result);
    ASSERT_EQ(controller.trace().back().cdb[0], row.opcode);
    EXPECT_EQ(controller.trace().back().status, emulator::kStatusGood);  // the device answered
    EXPECT_EQ(Bytes(buffer, buffer + row.expected.size()), row.expected);
    EXPECT_TRUE(AllAre(buffer, row.arrives, row.copied, 0));
    EXPECT_TRUE(AllAre(buffer, row.copied, sizeof buffer, 0xAA));
}

// The UTF-16LE bytes of an ASCII text.
inline Bytes Utf16(const char* text) {
    Bytes bytes;
    for (; *text != '\0'; ++text) {
        bytes.push_back(static_cast<std::uint8_t>(*text));
        bytes.push_back(0);
    }
    return bytes;
}

// A descriptor sector whose chain holds descriptors of the given lengths,
// each of type 3 with a body of 'a' bytes, then a zero length byte when room
// is left. Lengths that leave the sector are written as far as it goes.
inline std::array<std::uint8_t, 512> ChainSector(std::initializer_list<unsigned> lengths) {
    std::array<std::uint8_t, 512> sector{};
    unsigned offset = 32;
    for (unsigned length : lengths) {
        if (offset >= 512) break;
        sector[offset] = static_cast<std::uint8_t>(length);
        if (offset + 1 < 512) sector[offset + 1] = 3;
        for (unsigned i = 2; i < length && offset + i < 512; ++i) sector[offset + i] = 'a';
        offset += length;
    }
    return sector;
}

// Makes `controller` answer every vendor query with only the first `bytes`
// bytes of its reply, as a device may whose replies are that short.
inline void AnswerQueriesIn(emulator::Controller& controller, std::uint32_t bytes) {
    for (int opcode : {0xC0, 0xC1, 0xC2, 0xF7, 0xF9}) {
        emulator::Fault fault;
        fault.kind = emulator::FaultKind::ShortTransfer;
        fault.opcode = opcode;
        fault.repeat = true;
        fault.arrives = bytes;
        controller.InjectFault(fault);
    }
}

// Replaces the descriptor sector of a disk made with Disk() (sector 1 of
// physical block 0 on both chips); its spare area stays as it was.
inline void StoreDescriptorSector(emulator::Controller& controller, const std::array<std::uint8_t, 512>& sector) {
    controller.WritePhysical(1, sector.data(), nullptr);
}

// The writable texts the search exports upper-case in place, and the
// caller-owned name table of GetAllDeviceName, as the applications pass them.
struct SearchArguments {
    char filterText[64] = {};
    char nameText[64] = {};
    Bytes table;
    BYTE counter = 0;

    void SetTexts(const char* filter, const char* name = "") {
        std::snprintf(filterText, sizeof filterText, "%s", filter);
        std::snprintf(nameText, sizeof nameText, "%s", name);
    }
    // A table of six 33-byte entries pre-filled with 0xEE, and the capacity 6.
    void ResetTable() {
        table.assign(6 * 33, 0xEE);
        counter = 6;
    }
    Bytes Entry(unsigned k) const {
        const std::uint8_t* entry = table.data() + 33 * k;
        return Bytes(entry + 1, entry + 1 + entry[0]);
    }
};

}  // namespace devtest
