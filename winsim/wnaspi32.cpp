// WNASPI32 stand-in: the ASPI manager over the World's devices. Portable C++.
//
// A request with a completion routine (SRB_POSTING) completes on a thread
// of its own after the completion delay in real milliseconds, as an ASPI
// layer's completion runs outside the sender's thread.
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

#include <chrono>
#include <cstring>

#include "devlib/aspi/aspi.h"
#include "winsim/internals.h"

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

using devstack::AspiRequest;

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

// The completion of one request: waits out the World's delay unless a
// Reset abandons it first, executes it, then posts it.
void Complete(winsim::World& world, winsim::AspiWorker* worker, AspiRequest request, unsigned generation, int delayMs) {
    winsim::World::Internals& internals = world.internals();
    bool abandoned = false;
    {
        std::unique_lock<std::mutex> lock(internals.aspiMutex);
        abandoned = internals.aspiWake.wait_for(lock, std::chrono::milliseconds(delayMs), [&] {
            return internals.aspiGeneration != generation;
        });
    }
    if (!abandoned) {
        Execute(world, request);
        if ((request.flags & SRB_POSTING) != 0) {
            AspiPostProc post;
            std::memcpy(&post, &request.postProc, sizeof post);
            post(request.srb);
        }
    }
    {
        Lock lock(world.mutex());
        --internals.aspiPostingOutstanding;
    }
    std::lock_guard<std::mutex> lock(internals.aspiMutex);
    worker->finished = true;
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
    std::vector<std::unique_ptr<AspiWorker>> workers;
    {
        std::lock_guard<std::mutex> lock(internals.aspiMutex);
        ++internals.aspiGeneration;
        workers.swap(internals.aspiWorkers);
    }
    internals.aspiWake.notify_all();
    for (auto& worker : workers) worker->thread.join();
}

}  // namespace winsim

extern "C" {

DWORD ASPI_CDECL GetASPI32SupportInfo(void) {
    return devstack::AspiSupportInfo(winsim::World::Get().AspiAdapterCount());
}

DWORD ASPI_CDECL SendASPI32Command(void* srbPointer) {
    if (srbPointer == nullptr) return devstack::SS_INVALID_SRB;
    SRB_ExecSCSICmd& srb = *static_cast<SRB_ExecSCSICmd*>(srbPointer);
    winsim::World& world = winsim::World::Get();
    winsim::World::Internals& internals = world.internals();

    AspiRequest request;
    int delayMs = 0;
    {
        Lock lock(world.mutex());
        LogRequest(internals, srb);
        if (srb.SRB_Cmd != SC_EXEC_SCSI_CMD) return srb.SRB_Status = devstack::SS_INVALID_CMD;
        if (!devstack::AspiBlockConsistent(srb)) return srb.SRB_Status = devstack::SS_INVALID_SRB;

        request = devstack::TakeAspiRequest(srb);
        srb.SRB_Status = SS_PENDING;
        delayMs = world.AspiCompletionDelayMs();
        if ((request.flags & SRB_EVENT_NOTIFY) != 0) {
            if (delayMs >= 0) ScheduleEventCompletion(world, request, delayMs);
            return SS_PENDING;
        }
        // The sender polls for this completion, which runs on a real thread.
        ++internals.aspiPostingOutstanding;
    }
    // A request that never completes stays pending; its block is not touched again.
    if (delayMs < 0) return SS_PENDING;

    std::lock_guard<std::mutex> lock(internals.aspiMutex);
    auto& workers = internals.aspiWorkers;
    for (auto it = workers.begin(); it != workers.end();) {
        if ((*it)->finished) {
            (*it)->thread.join();
            it = workers.erase(it);
        } else {
            ++it;
        }
    }
    workers.push_back(std::make_unique<winsim::AspiWorker>());
    winsim::AspiWorker* worker = workers.back().get();
    worker->thread = std::thread(Complete, std::ref(world), worker, request, internals.aspiGeneration, delayMs);
    return SS_PENDING;
}

}  // extern "C"
