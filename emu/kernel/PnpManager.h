// The Plug and Play and power managers of the emulated world: they send IRP_MJ_PNP and
// IRP_MJ_POWER requests to the top of a device stack from threads of their own, at
// PASSIVE_LEVEL, one Plug and Play request at a time, each back before the next. Power
// requests of each kind (system, device) go one at a time too, but the next goes as soon
// as the previous is released: below build 6000 when the top driver has called
// PoStartNextPowerIrp for it, which may be before it is back; from build 6000 when it is back.
// A request that does not come back within a bounded real time stops the process with a
// message instead of hanging the test.
#pragma once

#include "platform/platform.h"

#include <functional>
#include <future>
#include <memory>

namespace emu {

// What came back of one request the world sent.
struct RequestOutcome {
    NTSTATUS returned = STATUS_PENDING; // what IofCallDriver gave the sender
    NTSTATUS status = STATUS_PENDING;   // IoStatus.Status when completion reached the top
    ULONG_PTR information = 0;
    bool pendingReturned = false;
};

// Sends one world request to the top of a stack from the calling thread and waits (real
// time, at most realTimeoutMs) until its completion reaches the top. setup fills the
// first stack location (and the request's buffers).
RequestOutcome sendAndWait(PDEVICE_OBJECT top,
                           const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup,
                           const char* what, int realTimeoutMs = 10000);

class PnpManager {
public:
    explicit PnpManager(PDEVICE_OBJECT top, int realTimeoutMs = 10000);
    ~PnpManager();
    PnpManager(const PnpManager&) = delete;
    PnpManager& operator=(const PnpManager&) = delete;

    // Queued to the Plug and Play thread; the future is ready when the request is back.
    std::future<RequestOutcome> sendPnp(UCHAR minorFunction);
    // Queued to the power thread.
    std::future<RequestOutcome> sendPower(UCHAR minorFunction, POWER_STATE_TYPE type, ULONG state);

    RequestOutcome pnp(UCHAR minorFunction) { return sendPnp(minorFunction).get(); }

    // Checks every Plug and Play request against what reached the device below the driver
    // (reachedBelow: how many requests of the minor function it has had so far). A function
    // driver passes every request down that it does not fail, and never fails a stop, a
    // cancel-stop, a cancel-remove, a surprise removal or a removal (Microsoft: "Passing PnP
    // IRPs Down the Device Stack", and each request's page); either broken is a verifier stop.
    void checkPassedDown(std::function<size_t(UCHAR)> reachedBelow) {
        _reachedBelow = std::move(reachedBelow);
    }
    RequestOutcome setDevicePower(DEVICE_POWER_STATE state) {
        return sendPower(IRP_MN_SET_POWER, DevicePowerState, state).get();
    }
    RequestOutcome setSystemPower(ULONG systemState) {
        return sendPower(IRP_MN_SET_POWER, SystemPowerState, systemState).get();
    }
    RequestOutcome queryPower(POWER_STATE_TYPE type, ULONG state) {
        return sendPower(IRP_MN_QUERY_POWER, type, state).get();
    }

    struct Worker;

private:
    PDEVICE_OBJECT _top;
    int _realTimeoutMs;
    std::function<size_t(UCHAR)> _reachedBelow;
    std::unique_ptr<Worker> _pnpThread;
    std::unique_ptr<Worker> _systemPowerThread;
    std::unique_ptr<Worker> _devicePowerThread;
};

} // namespace emu
