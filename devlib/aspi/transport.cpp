#include "devlib/aspi/transport.h"

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace aspi {

std::atomic<std::int32_t> CommandDone{0};
std::atomic<std::int32_t> CommandOk{0};

namespace {

// One request: the block the ASPI layer sees (its first 256 bytes, laid out
// as the interface says and otherwise zero), the data buffer it names, and
// the sender's bookkeeping, which the ASPI layer never reads. The ASPI layer
// touches nothing else, so a request that completes after its sender gave up
// cannot write into memory that is no longer the request's.
struct Request {
    SRB_ExecSCSICmd srb;
    BYTE rest[kRequestBlockSize - sizeof(SRB_ExecSCSICmd)];
    BYTE data[kDataAreaSize];
    std::uint32_t sequence;  // which send this request belongs to
    BYTE* destination;       // where a successful reply goes; null for data out
    std::uint32_t replyLength;
};
static_assert(sizeof(SRB_ExecSCSICmd) <= kRequestBlockSize, "the block holds an SRB_ExecSCSICmd");
static_assert(offsetof(Request, srb) == 0, "the block starts the request");

// The sequence number of the request a sender is waiting for, 0 when none.
// Whoever swaps it from that number to 0 first decides the request's fate:
// the completion routine (the outcome is published and the reply delivered)
// or the sender giving up (the completion routine, if it still runs, only
// frees the request), so a late completion never answers for a later command.
std::atomic<std::uint32_t> InFlight{0};
std::atomic<std::uint32_t> LastSequence{0};

constexpr char kLibraryName[] = "KT4790mDLL";

std::uint32_t NextSequence() {
    std::uint32_t sequence = LastSequence.fetch_add(1) + 1;
    if (sequence == 0) sequence = LastSequence.fetch_add(1) + 1;
    return sequence;
}

bool Accepted(BYTE opcode) {
    switch (opcode) {
        case devcmd::kOpInquiry:
        case devcmd::kOpRead10:
        case devcmd::kOpWrite10:
        case devcmd::kOpReadCapacity10:
        case devcmd::kOpGetChipVersion:
        case devcmd::kOpGetMediaSize:
        case devcmd::kOpPwdExist:
        case devcmd::kOpCheckPwd:
        case devcmd::kOpChangePwd:
        case devcmd::kOpClearPwd:
        case devcmd::kOpEraseBlock:
        case devcmd::kOpVscWriteSector:
        case devcmd::kOpVscReadSector:
        case devcmd::kOpSetEString:
        case devcmd::kOpGetPhyBlock:
        case devcmd::kOpModeSense10:
            return true;
        default:
            return false;
    }
}

// Milliseconds of a real-time clock: the ASPI layer completes in real time,
// whatever stands behind it. On Windows the system tick, which every
// version has; elsewhere the standard library's steady clock.
DWORD RealTimeMs() {
#ifdef _WIN32
    return GetTickCount();
#else
    return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now().time_since_epoch())
                                  .count());
#endif
}

// A request given up may still complete, and its completion routine is code
// of this library: the library takes a reference on itself, once, so that it
// stays loaded after its caller frees it.
void KeepLibraryLoaded() {
    static std::atomic<bool> kept{false};
    if (!kept.exchange(true)) LoadLibraryA(kLibraryName);
}

// Waits until the completion routine has published the outcome of request
// `sequence`, or gives the request up after kCompletionLimitMs.
bool WaitForCompletion(std::uint32_t sequence) {
    const DWORD start = RealTimeMs();
    for (;;) {
        if (CommandDone.load(std::memory_order_acquire) == 1) return true;
        if (RealTimeMs() - start >= kCompletionLimitMs) {
            std::uint32_t expected = sequence;
            if (InFlight.compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) {
                KeepLibraryLoaded();
                return false;
            }
            // The completion routine took the request at this very moment:
            // its outcome follows at once.
            while (CommandDone.load(std::memory_order_acquire) != 1) Sleep(1);
            return true;
        }
        Sleep(1);
    }
}

}  // namespace

bool Send(BYTE haId, BYTE target, const devcmd::Command& command, BYTE* data) {
    CommandDone.store(0, std::memory_order_relaxed);
    if (command.transferLength > kDataAreaSize) return false;

    Request* request = static_cast<Request*>(std::calloc(1, sizeof(Request)));
    if (request == nullptr) return false;

    const bool in = command.direction == devcmd::Direction::In;
    SRB_ExecSCSICmd& srb = request->srb;
    FillExecRequest(srb, haId, target, command, request->data, SRB_POSTING,
                    reinterpret_cast<void*>(&AspiPostRoutine));
    if (in) {
        request->destination = data;
        request->replyLength = command.transferLength;
    } else if (command.transferLength != 0) {
        std::memcpy(request->data, data, command.transferLength);
    }

    const std::uint32_t sequence = NextSequence();
    request->sequence = sequence;
    InFlight.store(sequence, std::memory_order_release);

    // From here on the request belongs to the ASPI layer and its completion
    // routine. The immediate result is not examined: a request the layer
    // refuses at once is given up after the limit like one that never completes.
    SendASPI32Command(&request->srb);

    if (!WaitForCompletion(sequence)) return false;
    return CommandOk.load(std::memory_order_relaxed) == 1;
}

}  // namespace aspi

extern "C" void ASPI_CDECL AspiPostRoutine(void* srb) {
    using namespace aspi;
    Request* request = static_cast<Request*>(srb);
    const bool ok = Accepted(request->srb.CDBByte[0]) && devcmd::ScsiStatusOk(request->srb.SRB_Status);

    std::uint32_t expected = request->sequence;
    if (InFlight.compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) {
        // The sender is waiting, so its buffer is there to take the reply.
        if (ok && request->destination != nullptr) {
            std::memcpy(request->destination, request->data, request->replyLength);
        }
        std::free(request);
        CommandOk.store(ok ? 1 : 0, std::memory_order_relaxed);
        CommandDone.store(1, std::memory_order_release);
        return;
    }
    // The sender gave this request up: nobody waits for it any more.
    std::free(request);
}
