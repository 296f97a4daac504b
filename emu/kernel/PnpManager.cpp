#include "emu/kernel/PnpManager.h"

#include "emu/kernel/Kernel.h"

#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace emu {

RequestOutcome sendAndWait(PDEVICE_OBJECT top,
                           const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup,
                           const char* what, int realTimeoutMs) {
    struct Shared {
        std::mutex lock;
        std::condition_variable done;
        bool completed = false;
        RequestOutcome outcome;
    };
    auto shared = std::make_shared<Shared>();
    PIRP irp = allocateWorldIrp(top->StackSize, [shared](PIRP finished) {
        std::lock_guard<std::mutex> guard(shared->lock);
        shared->outcome.status = finished->IoStatus.Status;
        shared->outcome.information = finished->IoStatus.Information;
        shared->outcome.pendingReturned = finished->PendingReturned;
        shared->completed = true;
        IoFreeIrp(finished);
        shared->done.notify_all();
    });
    // What the managers put in a request before any driver has answered it.
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    setup(irp, firstStackLocation(irp));
    NTSTATUS returned = IofCallDriver(top, irp);
    std::unique_lock<std::mutex> hold(shared->lock);
    if (!shared->done.wait_for(hold, std::chrono::milliseconds(realTimeoutMs),
                               [&] { return shared->completed; }))
        verifierFailure("request never completed", "%s still not completed after %d ms", what,
                        realTimeoutMs);
    shared->outcome.returned = returned;
    return shared->outcome;
}

// One thread that runs the requests queued to it in order.
struct PnpManager::Worker {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::packaged_task<RequestOutcome()>> queue;
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

    std::future<RequestOutcome> post(std::function<RequestOutcome()> job) {
        std::packaged_task<RequestOutcome()> task(std::move(job));
        std::future<RequestOutcome> result = task.get_future();
        {
            std::lock_guard<std::mutex> guard(lock);
            queue.push_back(std::move(task));
        }
        changed.notify_all();
        return result;
    }

    void run() {
        for (;;) {
            std::packaged_task<RequestOutcome()> task;
            {
                std::unique_lock<std::mutex> hold(lock);
                changed.wait(hold, [this] { return stopping || !queue.empty(); });
                if (queue.empty())
                    return;
                task = std::move(queue.front());
                queue.pop_front();
            }
            if (KeGetCurrentIrql() != PASSIVE_LEVEL)
                verifierFailure("IRQL too high", "the PnP manager's thread left PASSIVE_LEVEL");
            task();
        }
    }
};

PnpManager::PnpManager(PDEVICE_OBJECT top, int realTimeoutMs)
    : _top(top), _realTimeoutMs(realTimeoutMs), _pnpThread(std::make_unique<Worker>()),
      _powerThread(std::make_unique<Worker>()) {}

PnpManager::~PnpManager() = default;

std::future<RequestOutcome> PnpManager::sendPnp(UCHAR minorFunction) {
    return _pnpThread->post([this, minorFunction] {
        char what[48];
        std::snprintf(what, sizeof what, "IRP_MJ_PNP minor 0x%02x", minorFunction);
        return sendAndWait(
            _top,
            [minorFunction](PIRP, PIO_STACK_LOCATION stack) {
                stack->MajorFunction = IRP_MJ_PNP;
                stack->MinorFunction = minorFunction;
            },
            what, _realTimeoutMs);
    });
}

std::future<RequestOutcome> PnpManager::sendPower(UCHAR minorFunction, POWER_STATE_TYPE type,
                                                  ULONG state) {
    return _powerThread->post([this, minorFunction, type, state] {
        char what[64];
        std::snprintf(what, sizeof what, "IRP_MJ_POWER minor 0x%02x type %d state %u",
                      minorFunction, type, state);
        return sendAndWait(
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
            what, _realTimeoutMs);
    });
}

} // namespace emu
