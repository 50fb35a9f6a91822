#include "devlib/aspi/transport.h"

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
    bool earlyEndUsable;     // whether a data phase that ended early still answers
};
static_assert(sizeof(SRB_ExecSCSICmd) <= kRequestBlockSize, "the block holds an SRB_ExecSCSICmd");
static_assert(offsetof(Request, srb) == 0, "the block starts the request");

// The sequence number of the request a sender is waiting for, 0 when none.
// Whoever swaps it from that number to 0 first decides the request's fate:
// the completion routine (the outcome is published, the reply delivered and
// the request stays the library's for the next command) or the sender giving
// up (the completion routine, if it still runs, only frees the request), so
// a late completion never answers for a later command.
std::atomic<std::uint32_t> InFlight{0};
std::atomic<std::uint32_t> LastSequence{0};

constexpr char kLibraryName[] = "KT4790mDLL";

// Completion routines between their first and their last statement. The
// sender wakes as soon as the routine has set the event, and its caller may
// free the library at once: the library's code must stay until the routine
// has left it.
std::atomic<int> RoutinesRunning{0};

// How long an unloading library waits at most for a routine to leave (a
// routine of a thread the system has ended never does).
constexpr DWORD kRoutineExitLimitMs = 1000;

void WaitForRoutinesToLeave() {
    for (DWORD waited = 0; RoutinesRunning.load(std::memory_order_acquire) != 0 && waited < kRoutineExitLimitMs;
         ++waited) {
        Sleep(1);
    }
}

// What one loading of the library keeps from command to command: the
// request for the next command, and the event the completion routine sets
// once it has published an outcome (auto-reset: the wait it ends takes the
// signal). Both are made by the first command and given back when the
// library is freed. A request given up is no longer kept: it belongs to its
// completion routine, and the next command makes a new one.
struct Kept {
    Request* request = nullptr;
    HANDLE completed = nullptr;

    Kept() = default;
    Kept(const Kept&) = delete;
    Kept& operator=(const Kept&) = delete;
    ~Kept() {
        WaitForRoutinesToLeave();
        std::free(request);
        if (completed != nullptr) CloseHandle(completed);
    }
};
Kept kept;

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

// Whether a finished request counts as done. The ASPI manager reports every
// target status but good as SS_ERR; a command the device delivered and
// completed with a status the pass-through build takes as success (1) has
// taken effect, and counts as it does there. So does a reply whose data
// phase ended early, when the command's caller can use it.
bool Succeeded(const Request& request) {
    const SRB_ExecSCSICmd& srb = request.srb;
    if (!Accepted(srb.CDBByte[0])) return false;
    if (devcmd::ScsiStatusOk(srb.SRB_Status)) return true;
    if (srb.SRB_Status != SS_ERR || !devcmd::ScsiStatusOk(srb.SRB_TargStat)) return false;
    return srb.SRB_HaStat == HASTAT_OK || (DataPhaseEndedEarly(srb) && request.earlyEndUsable);
}

// The request and the event for the next command: those kept, or new ones.
// Null when either cannot be made.
Request* TakeRequest() {
    if (kept.request == nullptr) kept.request = static_cast<Request*>(std::malloc(sizeof(Request)));
    if (kept.request == nullptr) return nullptr;
    // The event starts each command cleared. When it cannot be reset the
    // handle is no longer valid (closed behind the library's back): a new
    // event takes its place.
    if (kept.completed == nullptr || !ResetEvent(kept.completed)) {
        kept.completed = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }
    if (kept.completed == nullptr) return nullptr;
    std::memset(kept.request, 0, sizeof(Request));
    return kept.request;
}

// A request given up may still complete, and its completion routine is code
// of this library: the library takes a reference on itself, once, so that it
// stays loaded after its caller frees it.
void KeepLibraryLoaded() {
    static std::atomic<bool> keptLoaded{false};
    if (!keptLoaded.exchange(true)) LoadLibraryA(kLibraryName);
}

// Waits until the completion routine has published the outcome of request
// `sequence`, or gives the request up after kCompletionLimitMs.
bool WaitForCompletion(std::uint32_t sequence) {
    if (WaitForSingleObject(kept.completed, kCompletionLimitMs) == WAIT_OBJECT_0) return true;
    std::uint32_t expected = sequence;
    if (InFlight.compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) {
        kept.request = nullptr;  // its completion routine frees it, if it ever runs
        KeepLibraryLoaded();
        return false;
    }
    // The completion routine took the request at this very moment: its
    // outcome and the event follow at once.
    WaitForSingleObject(kept.completed, INFINITE);
    return true;
}

}  // namespace

bool Send(BYTE haId, BYTE target, const devcmd::Command& command, BYTE* data) {
    CommandDone.store(0, std::memory_order_relaxed);
    if (command.transferLength > kDataAreaSize) return false;

    Request* request = TakeRequest();
    if (request == nullptr) return false;

    const bool in = command.direction == devcmd::Direction::In;
    SRB_ExecSCSICmd& srb = request->srb;
    FillExecRequest(srb, haId, target, command, request->data, SRB_POSTING,
                    reinterpret_cast<void*>(&AspiPostRoutine));
    if (in) {
        // The whole transfer goes to `data`; what the controller did not
        // send reads as zero, as the request starts zeroed.
        request->destination = data;
        request->replyLength = command.transferLength;
        request->earlyEndUsable = EarlyEndAnswers(command);
    } else if (command.transferLength != 0) {
        std::memcpy(request->data, data, command.transferLength);
    }

    const std::uint32_t sequence = NextSequence();
    request->sequence = sequence;
    InFlight.store(sequence, std::memory_order_release);

    // From here on the request belongs to the ASPI layer and its completion
    // routine, unless the layer refuses it at once: then no completion
    // follows and the request is the sender's again. A refusal whose
    // completion routine ran all the same (the routine took the request)
    // is a completion like any other.
    const DWORD immediate = SendASPI32Command(&request->srb);
    if (RefusedAtOnce(immediate)) {
        std::uint32_t expected = sequence;
        if (InFlight.compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) return false;
    }

    if (!WaitForCompletion(sequence)) return false;
    return CommandOk.load(std::memory_order_relaxed) == 1;
}

}  // namespace aspi

extern "C" void ASPI_CDECL AspiPostRoutine(void* srb) {
    using namespace aspi;
    RoutinesRunning.fetch_add(1, std::memory_order_acq_rel);
    Request* request = static_cast<Request*>(srb);
    const bool ok = Succeeded(*request);

    std::uint32_t expected = request->sequence;
    if (InFlight.compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) {
        // The sender is waiting, so its buffer is there to take the reply.
        // The request stays the library's, for the next command.
        if (ok && request->destination != nullptr) {
            std::memcpy(request->destination, request->data, request->replyLength);
        }
        CommandOk.store(ok ? 1 : 0, std::memory_order_relaxed);
        CommandDone.store(1, std::memory_order_release);
        SetEvent(kept.completed);
    } else {
        // The sender gave this request up: nobody waits for it any more.
        std::free(request);
    }
    RoutinesRunning.fetch_sub(1, std::memory_order_acq_rel);
}
