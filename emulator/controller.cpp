#include "emulator/controller.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "emulator/state.h"
#include "kt4790/records.h"

namespace emulator {

namespace {

constexpr std::uint8_t kMaxCdbLength = 16;

}  // namespace

Controller::Controller(const Config& config) : state_(std::make_unique<State>(config)) {
    state_->firmware.FormatMedium();
}

Controller::~Controller() = default;

Outcome Controller::Execute(const std::uint8_t* cdb, std::uint8_t cdbLength, DataDirection direction,
                            std::uint8_t* data, std::uint32_t length) {
    State& s = *state_;
    // Bytes beyond the announced CDB length read as zero.
    std::uint8_t block[kMaxCdbLength] = {};
    const bool cdbUsable = cdb != nullptr && cdbLength != 0 && cdbLength <= kMaxCdbLength;
    if (cdb != nullptr) std::memcpy(block, cdb, std::min(cdbLength, kMaxCdbLength));

    Outcome outcome;
    if (s.removed) {
        outcome.delivered = false;
    } else {
        // The first armed fault whose trigger matches fires; every armed
        // fault counts the command.
        bool faulted = false;
        FaultKind kind = FaultKind::CheckCondition;
        std::uint32_t arrives = kHalfTheReply;
        for (auto it = s.faults.begin(); it != s.faults.end();) {
            const Fault& f = it->fault;
            const bool addressMatches =
                f.address < 0 || f.address == static_cast<std::int64_t>(kt4790::ReadBigEndian32(block + 2));
            const bool fires = f.opcode >= 0 ? f.opcode == block[0] && addressMatches : it->seen >= f.afterCommands;
            if (it->seen != UINT32_MAX) ++it->seen;
            if (fires && !faulted) {
                faulted = true;
                kind = it->fault.kind;
                arrives = it->fault.arrives;
                if (!it->fault.repeat) {
                    it = s.faults.erase(it);
                    continue;
                }
            }
            ++it;
        }
        const bool malformed = !cdbUsable || (data == nullptr && length != 0);
        if (faulted && kind == FaultKind::ControlCallFails) {
            outcome.delivered = false;
        } else if (faulted && kind == FaultKind::Removed) {
            s.removed = true;
            outcome.delivered = false;
        } else if (malformed || (faulted && kind == FaultKind::CheckCondition)) {
            outcome.delivered = true;
            outcome.status = kStatusCheckCondition;
        } else {
            if (faulted && kind == FaultKind::WriteProtected) s.firmware.SetWriteProtected(true);
            outcome.delivered = true;
            if (faulted && kind == FaultKind::ShortTransfer && direction == DataDirection::In) {
                // The reply is made whole, but only part of it (its first
                // half, unless the fault says how much) reaches the host;
                // the rest of the host's buffer stays untouched.
                std::vector<std::uint8_t> reply(data, data + length);
                outcome.status = s.firmware.Execute(block, direction, reply.data(), length, outcome.transferred);
                outcome.transferred =
                    arrives != kHalfTheReply ? std::min(arrives, outcome.transferred) : outcome.transferred / 2;
                std::memcpy(data, reply.data(), outcome.transferred);
            } else {
                outcome.status = s.firmware.Execute(block, direction, data, length, outcome.transferred);
            }
            if (faulted && kind == FaultKind::StatusOne && outcome.status == kStatusGood) outcome.status = 1;
            // A refused command sends no reply; what it was sent has moved.
            if (outcome.status == kStatusCheckCondition && direction == DataDirection::In) outcome.transferred = 0;
        }
    }

    if (s.tracing) {
        CommandRecord record;
        std::memcpy(record.cdb.data(), block, kMaxCdbLength);
        record.cdbLength = cdbLength;
        record.direction = direction;
        record.length = length;
        record.delivered = outcome.delivered;
        record.status = outcome.status;
        s.trace.push_back(record);
    }
    return outcome;
}

const Config& Controller::config() const { return state_->firmware.config(); }

bool Controller::removed() const { return state_->removed; }
void Controller::Remove() { state_->removed = true; }
void Controller::Replug() {
    state_->removed = false;
    state_->firmware.PowerCycle();
}

VolatileState Controller::volatileState() const { return state_->firmware.volatileState(); }

const std::vector<CommandRecord>& Controller::trace() const { return state_->trace; }
void Controller::ClearTrace() { state_->trace.clear(); }
void Controller::SetTracing(bool on) { state_->tracing = on; }
void Controller::ReserveTrace(std::size_t commands) { state_->trace.reserve(state_->trace.size() + commands); }

void Controller::InjectFault(const Fault& fault) { state_->faults.push_back(State::ArmedFault{fault, 0}); }
void Controller::ClearFaults() { state_->faults.clear(); }

std::uint32_t Controller::physicalBlocks() const { return state_->firmware.physicalBlocks(); }
std::uint32_t Controller::logicalBlocks() const { return state_->firmware.logicalBlocks(); }
std::uint32_t Controller::sectorsPerBlock() const { return state_->firmware.sectorsPerBlock(); }

void Controller::ReadPhysical(std::uint32_t sector, std::uint8_t* data512, std::uint8_t* spare16) const {
    state_->firmware.nand().Read(sector, data512, spare16);
}

void Controller::WritePhysical(std::uint32_t sector, const std::uint8_t* data512, const std::uint8_t* spare16) {
    state_->firmware.nand().Write(sector, data512, spare16);
}

std::vector<std::uint32_t> Controller::WrittenSectors() const {
    std::vector<std::uint32_t> sectors;
    for (const auto& entry : state_->firmware.nand().written()) sectors.push_back(entry.first);
    return sectors;
}

std::uint32_t Controller::PhysicalBlockOf(std::uint32_t logicalBlock) const {
    return state_->firmware.PhysicalBlockOf(logicalBlock);
}

}  // namespace emulator
