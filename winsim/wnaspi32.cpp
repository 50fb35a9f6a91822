// WNASPI32 stand-in: the ASPI manager over the World's devices. Portable C++.
//
// A request the manager cannot take (an invalid command code or block, or
// the refusal set by World::SetAspiRefusal) is refused at once:
// SendASPI32Command returns the status, which it also writes into the
// block, and no completion follows. Every other request is taken:
// SendASPI32Command returns SS_PENDING and the completion comes later.
//
// A request with a completion routine (SRB_POSTING) completes on the
// manager's one worker thread after the completion delay in real
// milliseconds, as an ASPI layer's completion runs outside the sender's
// thread: the worker runs the command, writes its outcome into the block
// and calls the routine. Without a delay, and with no earlier completion
// still to come, the device answers at once: the manager runs the command
// and calls the routine before SendASPI32Command returns SS_PENDING, as a
// completion may overtake the sender on a real system. A sender must be
// ready for its routine at any time after it sent the block.
//
// A request with event notification (SRB_EVENT_NOTIFY) completes on the
// World's virtual clock instead, single-threaded and deterministic: it is
// an action scheduled at the time of sending plus the completion delay (in
// virtual milliseconds), which runs the command, writes its outcome into
// the block and sets the event named in SRB_PostProc. Even with no delay
// SendASPI32Command returns SS_PENDING and leaves the block pending: the
// completion runs at the sender's next Sleep or wait (WaitForSingleObject
// on the event), as soon as the clock is looked at again. A negative delay
// means it never completes. A Reset, or the end of the sending program
// (World::EndProcess), drops the completions still scheduled.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "devlib/aspi/aspi.h"
#include "winsim/internals.h"

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

using devstack::AspiRequest;
using Clock = std::chrono::steady_clock;

void LogRequest(winsim::World::Internals& internals, const SRB_ExecSCSICmd& srb) {
    if (!internals.aspiLogging) return;
    winsim::AspiCall call;
    call.cmd = srb.SRB_Cmd;
    call.haId = srb.SRB_HaId;
    call.flags = srb.SRB_Flags;
    call.target = srb.SRB_Target;
    call.lun = srb.SRB_Lun;
    call.bufLen = srb.SRB_BufLen;
    call.bufferNonNull = srb.SRB_BufPointer != nullptr;
    call.senseLen = srb.SRB_SenseLen;
    call.cdbLen = srb.SRB_CDBLen;
    std::memcpy(call.cdb.data(), srb.CDBByte, sizeof srb.CDBByte);
    internals.aspiLog.push_back(call);
}

// Runs the request on the addressed device and writes its outcome into the block.
void Execute(winsim::World& world, const AspiRequest& request) {
    Lock lock(world.mutex());
    const winsim::EmulatedDevice* device = world.FindDevice(request.haId, request.target);
    devstack::AspiTarget where = devstack::AspiTarget::Present;
    if (request.haId >= world.AspiAdapterCount()) {
        where = devstack::AspiTarget::NoAdapter;
    } else if (device == nullptr || !device->visibleToAspi ||
               !winsim::DeviceAttached(world.internals(), device->controller.get())) {
        where = devstack::AspiTarget::NoDevice;
    }
    devstack::CompleteAspiRequest(request, where, device != nullptr ? device->controller.get() : nullptr);
}

// Room for this many requests waiting at once before the queue grows, so
// that sending allocates nothing.
constexpr std::size_t kQueueRoom = 64;

// Orders the queue's heap: the request due first on top.
bool DueLater(const winsim::AspiCompletion& a, const winsim::AspiCompletion& b) {
    return a.due != b.due ? a.due > b.due : a.order > b.order;
}

// The worker: completes each queued request when it falls due, one after
// the other, until StopAspiRequests ends it.
void CompleteRequests(winsim::World& world) {
    winsim::World::Internals& internals = world.internals();
    std::unique_lock<std::mutex> lock(internals.aspiMutex);
    auto& queue = internals.aspiQueue;
    for (;;) {
        if (internals.aspiStopping) return;
        if (queue.empty()) {
            internals.aspiWake.wait(lock);
            continue;
        }
        if (Clock::now() < queue.front().due) {
            internals.aspiWake.wait_until(lock, queue.front().due);
            continue;
        }
        std::pop_heap(queue.begin(), queue.end(), DueLater);
        const AspiRequest request = queue.back().request;
        queue.pop_back();
        lock.unlock();

        Execute(world, request);
        AspiPostProc post;
        std::memcpy(&post, &request.postProc, sizeof post);
        post(request.srb);
        {
            Lock worldLock(world.mutex());
            --internals.aspiPostingOutstanding;
            internals.realTimeWake.notify_all();
        }
        lock.lock();
    }
}

// Queues the completion of a request with a completion routine, starting
// the worker when it is not running.
void QueuePostingCompletion(winsim::World& world, const AspiRequest& request, int delayMs) {
    winsim::World::Internals& internals = world.internals();
    {
        std::lock_guard<std::mutex> lock(internals.aspiMutex);
        if (!internals.aspiWorker.joinable()) {
            internals.aspiQueue.reserve(kQueueRoom);
            internals.aspiWorker = std::thread(CompleteRequests, std::ref(world));
        }
        internals.aspiQueue.push_back({Clock::now() + std::chrono::milliseconds(delayMs), internals.aspiOrder++, request});
        std::push_heap(internals.aspiQueue.begin(), internals.aspiQueue.end(), DueLater);
    }
    internals.aspiWake.notify_one();
}

// Schedules the completion of an event-notified request on the virtual clock.
void ScheduleEventCompletion(winsim::World& world, const AspiRequest& request, int delayMs) {
    winsim::World::Internals& internals = world.internals();
    const unsigned generation = internals.processGeneration;
    world.ScheduleAt(internals.now + static_cast<std::uint64_t>(delayMs), [&world, request, generation] {
        Lock lock(world.mutex());
        if (world.internals().processGeneration != generation) return;
        Execute(world, request);
        HANDLE event;
        std::memcpy(&event, &request.postProc, sizeof event);
        winsim::SignalEvent(world.internals(), event);
    });
}

}  // namespace

namespace winsim {

void StopAspiRequests(World::Internals& internals) {
    {
        std::lock_guard<std::mutex> lock(internals.aspiMutex);
        internals.aspiStopping = true;
        internals.aspiQueue.clear();
    }
    internals.aspiWake.notify_all();
    if (internals.aspiWorker.joinable()) internals.aspiWorker.join();
    std::lock_guard<std::mutex> lock(internals.aspiMutex);
    internals.aspiStopping = false;
}

}  // namespace winsim

extern "C" {

DWORD ASPI_CDECL GetASPI32SupportInfo(void) {
    return devstack::AspiSupportInfo(winsim::World::Get().AspiAdapterCount());
}

DWORD ASPI_CDECL SendASPI32Command(void* srbPointer) {
    if (srbPointer == nullptr) return SS_INVALID_SRB;
    SRB_ExecSCSICmd& srb = *static_cast<SRB_ExecSCSICmd*>(srbPointer);
    winsim::World& world = winsim::World::Get();
    winsim::World::Internals& internals = world.internals();

    AspiRequest request;
    int delayMs = 0;
    bool completedHere = false;
    {
        Lock lock(world.mutex());
        LogRequest(internals, srb);
        if (srb.SRB_Cmd != SC_EXEC_SCSI_CMD) return srb.SRB_Status = SS_INVALID_CMD;
        if (!devstack::AspiBlockConsistent(srb)) return srb.SRB_Status = SS_INVALID_SRB;
        if (internals.aspiRefusal != 0) return srb.SRB_Status = internals.aspiRefusal;

        request = devstack::TakeAspiRequest(srb);
        srb.SRB_Status = SS_PENDING;
        delayMs = world.AspiCompletionDelayMs();
        if ((request.flags & SRB_EVENT_NOTIFY) != 0) {
            if (delayMs >= 0) ScheduleEventCompletion(world, request, delayMs);
            return SS_PENDING;
        }
        completedHere = delayMs == 0 && internals.aspiPostingOutstanding == 0;
        if (completedHere) {
            Execute(world, request);
        } else {
            // Its completion runs on the worker thread, in real time.
            ++internals.aspiPostingOutstanding;
        }
    }
    if (completedHere) {
        // Completed at once: the routine runs here, outside the World's lock,
        // as the worker runs it.
        AspiPostProc post;
        std::memcpy(&post, &request.postProc, sizeof post);
        post(request.srb);
        return SS_PENDING;
    }
    // A request that never completes stays pending; its block is not touched again.
    if (delayMs >= 0) QueuePostingCompletion(world, request, delayMs);
    return SS_PENDING;
}

}  // extern "C"
