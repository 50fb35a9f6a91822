// The KT4790 controller in its place: a NAND model with the controller's
// vendor command set and the standard SCSI commands the suite sends.
//
// Portable C++ only (no Win32): it stands behind winsim on Linux and behind
// the emulated device stack of the Windows demonstration build.
// The firmware behaviour chosen where the host side does not fix it is
// written down in emulator/README.md.
//
// Threads: a Controller has no lock of its own. Execute may run on another
// thread than the one that set the controller up (the ASPI layer's
// completion thread in winsim), but winsim serialises every call into the
// controllers of one World under the World's mutex; any other user must do
// the same.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace emulator {

class ImageIo;

enum class DataDirection : std::uint8_t { None, In, Out };

// A data block the firmware took out of use, and the replacement block of
// the same chip that holds its data since (emulator/README.md).
struct Replacement {
    std::uint32_t position = 0;  // physical block of the data position
    std::uint32_t block = 0;     // the replacement block
};

struct Config {
    std::uint8_t chipCode = 0x30;
    bool largeBlock = false;
    std::uint8_t zoneCount = 1;
    std::uint8_t chipCount = 1;
    std::array<char, 4> revision{{'K', 'V', 'O', 'R'}};  // INQUIRY bytes 32-35
    std::uint8_t inquiryByte3 = 0x02;                     // bit 7 set: discovery refuses the device
    bool writeProtected = false;
    std::string password;              // empty: none set
    std::u16string deviceName;         // NameDescriptor body
    std::u16string hint;               // HintDescriptor body
    std::uint32_t descriptorBlock = 0; // chip 0x30: physical block whose sector 1 holds the descriptor sector
    std::vector<std::uint32_t> unmappedBlocks;  // logical blocks with no physical block
    std::vector<Replacement> replacements;
    // 0-255: PwdExist answers this byte 0 whatever the password (a firmware
    // reporting some other state); -1: 1 with a password, 0 without.
    // Not kept in image files.
    int pwdExistReply = -1;
};

// One command as the controller saw it.
struct CommandRecord {
    std::array<std::uint8_t, 16> cdb{};
    std::uint8_t cdbLength = 0;
    DataDirection direction = DataDirection::None;
    std::uint32_t length = 0;
    bool delivered = true;
    std::uint8_t status = 0;
};

enum class FaultKind : std::uint8_t {
    ControlCallFails,  // the request never reaches the device (DeviceIoControl fails, ASPI error)
    CheckCondition,    // the command completes with SCSI status 2
    StatusOne,         // the command runs as usual but completes with SCSI status 1
    Removed,           // the device is gone from now on, until Replug()
    ShortTransfer,     // a data-in command runs, but only part of its reply arrives (Fault::arrives)
    WriteProtected,    // the medium is write-protected from this command on (it runs protected)
};

// Fault::arrives of a short transfer that brings the first half of the reply.
constexpr std::uint32_t kHalfTheReply = 0xFFFFFFFF;

// A fault fires on the first command that matches its trigger: either the
// (afterCommands + 1)-th command counted from when it was injected, or the
// first command with the given operation code (and, when `address` is set,
// with that value in CDB bytes 2-5: one block of EraseBlock, one sector).
// It then stays armed only if `repeat` is set.
struct Fault {
    FaultKind kind = FaultKind::CheckCondition;
    std::uint32_t afterCommands = 0;  // used when opcode < 0
    int opcode = -1;                  // 0..255: trigger on this operation code
    bool repeat = false;
    std::int64_t address = -1;        // 0..0xFFFFFFFF: with opcode, only this address
    std::uint32_t arrives = kHalfTheReply;  // ShortTransfer: bytes of the reply that arrive
};

// What the controller keeps only while it is plugged in: the failed
// CheckPwd in a row (three lock the password commands) and the status
// SenseCommand reports. A replug clears it.
struct VolatileState {
    std::uint8_t failedChecks = 0;
    std::uint8_t lastStatus = 0;
    bool operator==(const VolatileState& other) const {
        return failedChecks == other.failedChecks && lastStatus == other.lastStatus;
    }
    bool operator!=(const VolatileState& other) const { return !(*this == other); }
};

struct Outcome {
    bool delivered = false;   // false: the control call itself failed
    std::uint8_t status = 0;  // SCSI status when delivered
    std::uint32_t transferred = 0;  // bytes of the data phase that moved, when delivered
};

constexpr std::uint8_t kStatusGood = 0;
constexpr std::uint8_t kStatusCheckCondition = 2;

// Why no controller would carry this medium (a zone count that is not a
// multiple of the chip count, a replacement outside its chip, ...), or
// empty when one could. The Controller itself takes any configuration, as
// a device may report anything; kt4790-emu creates only media that pass.
std::string MediumProblem(const Config& config);

// Replaces the data position `position` with the first replacement block of
// its chip (chip 0x30: of its zone) that no replacement uses yet. False,
// with the reason, when the block is no data position, is replaced already,
// or its chip has no free replacement block left.
bool AddReplacement(Config& config, std::uint32_t position, std::string* problem);

class Controller {
public:
    explicit Controller(const Config& config);
    ~Controller();
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    // Executes one command. `data` holds `length` bytes: read from for Out,
    // written to for In (only the bytes the command answers are written;
    // the rest stays as the caller left it). Never reads or writes past
    // `length`, whatever the CDB asks for. A malformed request (no usable
    // CDB, or a length without data) completes with check condition before
    // any fault but a failed control call or a removal can run it.
    Outcome Execute(const std::uint8_t* cdb, std::uint8_t cdbLength, DataDirection direction,
                    std::uint8_t* data, std::uint32_t length);

    const Config& config() const;

    // Device presence: a removed device answers nothing until replugged.
    // Replugging also resets the state a real power cycle resets (the
    // password-attempt lock).
    bool removed() const;
    void Remove();
    void Replug();
    VolatileState volatileState() const;

    // Command trace.
    const std::vector<CommandRecord>& trace() const;
    void ClearTrace();
    void SetTracing(bool on);
    void ReserveTrace(std::size_t commands);  // so tracing allocates nothing per command

    void InjectFault(const Fault& fault);
    void ClearFaults();

    // Direct NAND access for tests and tools (physical sector numbers).
    std::uint32_t physicalBlocks() const;
    std::uint32_t logicalBlocks() const;
    std::uint32_t sectorsPerBlock() const;
    void ReadPhysical(std::uint32_t sector, std::uint8_t* data512, std::uint8_t* spare16) const;
    void WritePhysical(std::uint32_t sector, const std::uint8_t* data512, const std::uint8_t* spare16);
    std::uint32_t PhysicalBlockOf(std::uint32_t logicalBlock) const;  // kNone when unmapped
    // Every sector written since its block was last erased, ascending.
    std::vector<std::uint32_t> WrittenSectors() const;
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

    // Image files: the whole state (configuration, NAND contents, password,
    // volatile state). Saving writes a new file of the current version;
    // loading reads every version. Through `io`: a file the caller opened
    // (and locked); `name` names it in errors.
    bool SaveImage(const std::string& path, std::string* error) const;
    static std::unique_ptr<Controller> LoadImage(const std::string& path, std::string* error);
    bool SaveImage(ImageIo& io, std::string* error) const;
    static std::unique_ptr<Controller> LoadImage(ImageIo& io, const std::string& name, std::string* error);

private:
    friend class ImageDisk;  // runs a controller against an image file in place
    // A controller of `config` whose medium is left erased (an image fills
    // it), in the given volatile state; null when no firmware reaches it.
    static std::unique_ptr<Controller> Restored(const Config& config, const VolatileState& volatileState);

    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace emulator
