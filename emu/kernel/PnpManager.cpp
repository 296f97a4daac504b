#include "emu/kernel/PnpManager.h"

#include "emu/kernel/Internal.h"

#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace emu {

namespace {

// One world request on its way: its outcome once completion reached the top, and for
// power below build 6000 whether the top device has released the next request.
struct InFlight {
    std::mutex lock;
    std::condition_variable changed;
    bool completed = false;
    bool released = false;
    RequestOutcome outcome;

    // Waits (real time) for the condition; a request that never gets there stops the run.
    void waitFor(const std::function<bool()>& done, const char* what, const char* state,
                 int realTimeoutMs) {
        std::unique_lock<std::mutex> hold(lock);
        if (!changed.wait_for(hold, std::chrono::milliseconds(realTimeoutMs), done))
            verifierFailure("request never completed", "%s still not %s after %d ms", what, state,
                            realTimeoutMs);
    }
};

// Sends a world request to the top of the stack from the calling thread. A power request
// goes with PoCallDriver, as the power manager sends it.
std::shared_ptr<InFlight> send(PDEVICE_OBJECT top,
                               const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup,
                               bool sequenced) {
    auto shared = std::make_shared<InFlight>();
    PIRP irp = allocateWorldIrp(top->StackSize, [shared](PIRP finished) {
        std::lock_guard<std::mutex> guard(shared->lock);
        shared->outcome.status = finished->IoStatus.Status;
        shared->outcome.information = finished->IoStatus.Information;
        shared->outcome.pendingReturned = finished->PendingReturned;
        shared->completed = true;
        IoFreeIrp(finished);
        shared->changed.notify_all();
    });
    // What the managers put in a request before any driver has answered it.
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = firstStackLocation(irp);
    setup(irp, stack);
    bool power = stack->MajorFunction == IRP_MJ_POWER;
    if (sequenced)
        onStartNextPowerIrp(irp, [shared] {
            std::lock_guard<std::mutex> guard(shared->lock);
            shared->released = true;
            shared->changed.notify_all();
        });
    NTSTATUS returned = power ? PoCallDriver(top, irp) : IofCallDriver(top, irp);
    std::lock_guard<std::mutex> guard(shared->lock);
    shared->outcome.returned = returned;
    return shared;
}

bool mustNotFail(UCHAR minor) {
    return minor == IRP_MN_STOP_DEVICE || minor == IRP_MN_CANCEL_STOP_DEVICE ||
           minor == IRP_MN_CANCEL_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL ||
           minor == IRP_MN_REMOVE_DEVICE;
}

} // namespace

RequestOutcome sendAndWait(PDEVICE_OBJECT top,
                           const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup,
                           const char* what, int realTimeoutMs) {
    std::shared_ptr<InFlight> request = send(top, setup, false);
    request->waitFor([&] { return request->completed; }, what, "completed", realTimeoutMs);
    std::lock_guard<std::mutex> guard(request->lock);
    return request->outcome;
}

// One thread that runs the jobs queued to it in order.
struct PnpManager::Worker {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::function<void()>> queue;
    bool stopping = false;
    std::thread thread;

    Worker() : thread([this] { run(); }) {}
    ~Worker() {
        {
            std::lock_guard<std::mutex> guard(lock);
            stopping = true;
        }
        changed.notify_all();
        thread.join();
    }

    void post(std::function<void()> job) {
        {
            std::lock_guard<std::mutex> guard(lock);
            queue.push_back(std::move(job));
        }
        changed.notify_all();
    }

    void run() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> hold(lock);
                changed.wait(hold, [this] { return stopping || !queue.empty(); });
                if (queue.empty())
                    return;
                job = std::move(queue.front());
                queue.pop_front();
            }
            if (KeGetCurrentIrql() != PASSIVE_LEVEL)
                verifierFailure("IRQL too high", "the PnP manager's thread left PASSIVE_LEVEL");
            job();
        }
    }
};

PnpManager::PnpManager(PDEVICE_OBJECT top, int realTimeoutMs)
    : _top(top), _realTimeoutMs(realTimeoutMs), _pnpThread(std::make_unique<Worker>()),
      _systemPowerThread(std::make_unique<Worker>()),
      _devicePowerThread(std::make_unique<Worker>()) {}

PnpManager::~PnpManager() = default;

std::future<RequestOutcome> PnpManager::sendPnp(UCHAR minorFunction) {
    auto promise = std::make_shared<std::promise<RequestOutcome>>();
    _pnpThread->post([this, minorFunction, promise] {
        char what[48];
        std::snprintf(what, sizeof what, "IRP_MJ_PNP minor 0x%02x", minorFunction);
        const size_t before = _reachedBelow ? _reachedBelow(minorFunction) : 0;
        RequestOutcome outcome = sendAndWait(
            _top,
            [minorFunction](PIRP, PIO_STACK_LOCATION stack) {
                stack->MajorFunction = IRP_MJ_PNP;
                stack->MinorFunction = minorFunction;
            },
            what, _realTimeoutMs);
        if (_reachedBelow) {
            if (mustNotFail(minorFunction) && !NT_SUCCESS(outcome.status))
                verifierFailure("Plug and Play request failed that must not fail",
                                "%s completed with 0x%08X", what,
                                static_cast<unsigned>(outcome.status));
            if (NT_SUCCESS(outcome.status) && _reachedBelow(minorFunction) == before)
                verifierFailure("Plug and Play request not passed down",
                                "%s succeeded without reaching the driver below", what);
        }
        promise->set_value(outcome);
    });
    return promise->get_future();
}

// Each kind (system, device) has a thread of its own, which sends the next request of the
// kind once the previous one is released: below build 6000 as soon as the top device has
// called PoStartNextPowerIrp for it (it may still be on its way down), from build 6000
// once it has come back. The caller's future is ready when the request has come back.
std::future<RequestOutcome> PnpManager::sendPower(UCHAR minorFunction, POWER_STATE_TYPE type,
                                                  ULONG state) {
    auto promise = std::make_shared<std::promise<RequestOutcome>>();
    Worker& kind = type == SystemPowerState ? *_systemPowerThread : *_devicePowerThread;
    kind.post([this, minorFunction, type, state, promise] {
        auto what = std::make_shared<std::string>();
        char text[64];
        std::snprintf(text, sizeof text, "IRP_MJ_POWER minor 0x%02x type %d state %u",
                      minorFunction, type, state);
        *what = text;
        const bool sequenced = powerSequencing();
        std::shared_ptr<InFlight> request = send(
            _top,
            [=](PIRP, PIO_STACK_LOCATION stack) {
                stack->MajorFunction = IRP_MJ_POWER;
                stack->MinorFunction = minorFunction;
                stack->Parameters.Power.Type = type;
                if (type == DevicePowerState)
                    stack->Parameters.Power.State.DeviceState =
                        static_cast<DEVICE_POWER_STATE>(state);
                else
                    stack->Parameters.Power.State.SystemState =
                        static_cast<SYSTEM_POWER_STATE>(state);
            },
            sequenced);
        request->waitFor([&] { return request->completed || (sequenced && request->released); },
                         what->c_str(), sequenced ? "released" : "completed", _realTimeoutMs);
        const int timeoutMs = _realTimeoutMs;
        auto finish = [request, promise, what, timeoutMs] {
            request->waitFor([&] { return request->completed; }, what->c_str(), "completed",
                             timeoutMs);
            std::lock_guard<std::mutex> guard(request->lock);
            promise->set_value(request->outcome);
        };
        bool completed;
        {
            std::lock_guard<std::mutex> guard(request->lock);
            completed = request->completed;
        }
        if (completed)
            finish();
        else
            std::thread(finish).detach(); // the next request of the kind may go meanwhile
    });
    return promise->get_future();
}

} // namespace emu
