// The monitor's device search: is a device of the controller attached, and
// does it report a set password? KT4790Mon asks over SetupAPI and SCSI
// pass-through, KT4790mMon over ASPI with event notification. Unlike the
// device library, the monitor does not read the device name: any matching
// device counts.
#include "monitor/monitor.h"

#include <cctype>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "devlib/cdb.h"
#include "kt4790/records.h"

#ifdef KT4790_ASPI
#include "devlib/aspi/aspi.h"
#else
#include <setupapi.h>

#include "devlib/passthrough/interfaces.h"
#include "devlib/passthrough/passthrough.h"
#endif

namespace monitor {

namespace {

#ifdef KT4790_ASPI

// ---------------------------------------------------------------- ASPI

constexpr std::size_t kRequestBlockSize = 256;  // zero-filled block per request
constexpr std::size_t kSearchBufferSize = 512;
constexpr unsigned kTargetsPerAdapter = 8;
constexpr char kFallbackRevision[] = "P1.0";

// How long a pending request is waited for. The ASPI layer may write the
// block, its buffer and its event until the request completes, so none of
// them is released or reused before; a request still pending after this
// long is given up, counts as failed and stays with the ASPI layer. The
// limit is well above the 2 seconds in which the controller's driver times
// a command out.
constexpr DWORD kCompletionLimitMs = 5000;

// One event-notified request: the block the ASPI layer sees (the first 256
// bytes, zero but for the fields set), the event named in it and the data
// buffer it points to.
struct AspiRequest {
    SRB_ExecSCSICmd srb;
    BYTE blockRest[kRequestBlockSize - sizeof(SRB_ExecSCSICmd)];
    HANDLE done;
    BYTE data[kSearchBufferSize];
    AspiRequest* nextGivenUp;
};
static_assert(sizeof(SRB_ExecSCSICmd) <= kRequestBlockSize, "the block holds an SRB_ExecSCSICmd");
static_assert(offsetof(AspiRequest, srb) == 0, "the block starts the request");

// Requests given up while still pending, kept until their event shows that
// the ASPI layer has finished with them.
AspiRequest* givenUp = nullptr;

void Release(AspiRequest* request) {
    CloseHandle(request->done);
    std::free(request);
}

void ReleaseFinishedRequests() {
    AspiRequest** link = &givenUp;
    while (*link != nullptr) {
        AspiRequest* request = *link;
        if (WaitForSingleObject(request->done, 0) == WAIT_OBJECT_0) {
            *link = request->nextGivenUp;
            Release(request);
        } else {
            link = &request->nextGivenUp;
        }
    }
}

enum class Outcome { Completed, Failed, Pending };

// Runs one request to `haId`/`target` with `buffer` as its data buffer
// (the command's transfer length of it, at most 512 bytes): Completed when
// it completed with SS_COMP, or at a target that reported good status with
// a data phase that ended early, for a reply that may be short (INQUIRY's
// is); Failed when it completed otherwise or could not be sent, Pending
// when it did not complete within the limit (then `buffer` is left as it
// was).
Outcome RunRequest(BYTE haId, BYTE target, const devcmd::Command& command, BYTE* buffer) {
    ReleaseFinishedRequests();
    if (command.transferLength > kSearchBufferSize) return Outcome::Failed;

    auto* request = static_cast<AspiRequest*>(std::calloc(1, sizeof(AspiRequest)));
    if (request == nullptr) return Outcome::Failed;
    request->done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (request->done == nullptr) {
        std::free(request);
        return Outcome::Failed;
    }

    // The layer writes only what the device answers, into the zeroed data
    // buffer: a reply that ended early reads as zero where it sent nothing,
    // never as what the caller's buffer held (the sector just read, say).
    SRB_ExecSCSICmd& srb = request->srb;
    FillExecRequest(srb, haId, target, command, request->data, SRB_EVENT_NOTIFY, request->done);

    ResetEvent(request->done);
    // The status the call returns is the block's status at its return; once
    // it is SS_PENDING the block is the ASPI layer's until the event is set.
    if (SendASPI32Command(&request->srb) == SS_PENDING) {
        if (WaitForSingleObject(request->done, kCompletionLimitMs) != WAIT_OBJECT_0) {
            request->nextGivenUp = givenUp;
            givenUp = request;
            return Outcome::Pending;
        }
        ResetEvent(request->done);
    }

    constexpr BYTE kTargetGood = 0;
    const bool completed = srb.SRB_Status == SS_COMP ||
                           (DataPhaseEndedEarly(srb) && srb.SRB_TargStat == kTargetGood && EarlyEndAnswers(command));
    std::memcpy(buffer, request->data, command.transferLength);
    Release(request);
    return completed ? Outcome::Completed : Outcome::Failed;
}

// A vendor read of sector 0, whose result is ignored, then INQUIRY.
// A target that leaves the read pending is passed over.
bool MonitorInquiry(BYTE haId, BYTE target, BYTE* buffer) {
    if (RunRequest(haId, target, devcmd::VscReadSector(0, 1, 0), buffer) == Outcome::Pending) return false;
    return RunRequest(haId, target, devcmd::Inquiry(), buffer) == Outcome::Completed;
}

// INQUIRY bytes 32-35 as text: a zero byte adds nothing; trailing blanks go.
void RevisionText(const BYTE* inquiry, char (&text)[kt4790::kInquiryRevisionLength + 1]) {
    std::size_t length = 0;
    for (std::size_t k = 0; k < kt4790::kInquiryRevisionLength; ++k) {
        const BYTE c = inquiry[kt4790::kInquiryRevisionOffset + k];
        if (c != 0) text[length++] = static_cast<char>(c);
    }
    while (length > 0 && text[length - 1] == ' ') --length;
    text[length] = '\0';
}

bool SameIgnoringCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (std::toupper(static_cast<unsigned char>(*a)) != std::toupper(static_cast<unsigned char>(*b))) {
            return false;
        }
    }
    return *a == *b;
}

#else

// ------------------------------------------------------- SetupAPI and pass-through

constexpr char kFallbackRevision[] = "REV_P1.0";
constexpr std::size_t kPathRoom = 512;  // a longer device path is no candidate

std::string UpperCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// INQUIRY succeeds, brings byte 3 (devcmd::ReplyCovers), and its bit 7 is clear.
bool InquiryPasses(HANDLE device) {
    const devcmd::Command inquiry = devcmd::Inquiry();
    passthrough::PassThroughRecord record;
    const passthrough::Outcome outcome = passthrough::Send(device, inquiry, record);
    return outcome.ok() && devcmd::ReplyCovers(inquiry, outcome.transferred, devcmd::kShortestSelfSizedReply) &&
           kt4790::InquiryAccepts(record.data);
}

HANDLE SearchList(HDEVINFO list, const char* revision) {
    const std::string wanted = UpperCase(revision);
    char path[kPathRoom];
    for (DWORD index = 0;; ++index) {
        const passthrough::InterfaceRead read = passthrough::ReadInterfacePath(list, index, path, sizeof path);
        if (read == passthrough::InterfaceRead::End) break;
        if (read != passthrough::InterfaceRead::Path) continue;
        const std::string text = UpperCase(std::string("Interface: ") + path);
        if (text.find(wanted) == std::string::npos && text.find(kFallbackRevision) == std::string::npos) continue;

        const HANDLE device = passthrough::OpenDevice(path);
        if (device == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
        if (InquiryPasses(device)) return device;
        CloseHandle(device);
    }
    return INVALID_HANDLE_VALUE;
}

#endif

}  // namespace

#ifdef KT4790_ASPI

int ScanAspi(const char* revision) {
    BYTE buffer[kSearchBufferSize];
    bool found = false;
    const unsigned adapters = GetASPI32SupportInfo() & 0xFF;
    for (unsigned ha = 0; ha < adapters; ++ha) {
        for (unsigned t = 0; t < kTargetsPerAdapter; ++t) {
            const BYTE haId = static_cast<BYTE>(ha);
            const BYTE target = static_cast<BYTE>(t);
            std::memset(buffer, 0, sizeof buffer);
            if (!MonitorInquiry(haId, target, buffer)) continue;

            char text[kt4790::kInquiryRevisionLength + 1];
            RevisionText(buffer, text);
            if (!SameIgnoringCase(text, revision) && !SameIgnoringCase(text, kFallbackRevision)) continue;

            if (RunRequest(haId, target, devcmd::PwdExist(), buffer) == Outcome::Completed && buffer[0] == 1) {
                found = true;
            }
        }
    }
    return found ? 1 : 0;
}

#else

HANDLE FindDevice(const char* revision) {
    const HDEVINFO list = passthrough::OpenDiskInterfaceList();
    if (list == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
    HANDLE device = INVALID_HANDLE_VALUE;
    try {
        device = SearchList(list, revision);
    } catch (const std::bad_alloc&) {
        // No device handle is open while the texts are built.
        device = INVALID_HANDLE_VALUE;
    }
    SetupDiDestroyDeviceInfoList(list);
    return device;
}

int PwdExistByte(HANDLE device) {
    passthrough::PassThroughRecord record;
    return passthrough::Send(device, devcmd::PwdExist(), record).ok() && record.data[0] != 0 ? 1 : 0;
}

#endif

}  // namespace monitor
