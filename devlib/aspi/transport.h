// The ASPI transport of KT4790mDLL: one request block per command, a
// completion routine of the library's own, and the two process-wide flags
// through which the sender learns the outcome. One command at a time in the
// whole process.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "devlib/aspi/aspi.h"
#include "devlib/cdb.h"

namespace aspi {

constexpr std::size_t kRequestBlockSize = 256;  // zero-filled block per command
constexpr std::uint32_t kDataAreaSize = 512;    // the request's own data buffer

// How long a sender waits for the completion routine before it gives the
// request up. Longer than any command the controller runs (the pass-through
// build's driver times a command out after 2 seconds).
constexpr DWORD kCompletionLimitMs = 5000;

// Set to 0 by a sender before it sends, to 1 by AspiPostRoutine.
extern std::atomic<std::int32_t> CommandDone;
// The outcome of the last completed request, 1 or 0; written before CommandDone.
extern std::atomic<std::int32_t> CommandOk;

// Sends `command` to `haId`/`target` and waits for its completion. The data
// phase uses a buffer of the request's own: for data out the command's
// transfer length of `data` is copied into it before sending; for data in it
// is copied to `data` when the command succeeds, and only then, with zeros
// where the controller sent nothing.
//
// The sender sleeps until the completion routine has published the outcome
// and set the library's event. One request is kept from command to command
// while the library stays loaded, so a command allocates nothing once the
// first has run.
//
// True when the request completed with an accepted operation code and SRB
// status 0 or 1, or with SS_ERR for a delivered command whose target status
// is one the pass-through build takes as success, its data phase whole or,
// for a reply that may be short (EarlyEndAnswers), ended early. False
// when it completed otherwise, when the ASPI manager refused it at once
// (RefusedAtOnce: no wait), when the request or the event could not be
// made, or when it did not complete within kCompletionLimitMs; a request
// given up belongs to the completion routine from then on and never
// touches `data`.
bool Send(BYTE haId, BYTE target, const devcmd::Command& command, BYTE* data);

}  // namespace aspi

// The completion routine named in every request block (C calling convention).
extern "C" void ASPI_CDECL AspiPostRoutine(void* srb);
