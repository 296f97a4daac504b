// A lower filter between the HID class driver's functional device object and the bus PDO,
// as a vendor's USB filter or an antivirus product puts one there on Windows: it passes
// every request down untouched and records it. With it in every stack the emulated class
// driver builds, HID_DEVICE_EXTENSION.NextDeviceObject (the filter) and
// PhysicalDeviceObject (the PDO) are different devices, so a minidriver that sends its
// Plug and Play and power requests to the PDO, or its URBs to the next lower device, is
// seen in the filter's record.
#pragma once

#include "platform/platform.h"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace emu::hid {

struct FilteredRequest {
    UCHAR majorFunction;
    UCHAR minorFunction;
    ULONG powerState; // power requests: the system or device state; else 0
    POWER_STATE_TYPE powerType = SystemPowerState;
};

class LowerFilter {
public:
    // Creates the filter device and attaches it over the PDO.
    explicit LowerFilter(PDEVICE_OBJECT pdo);
    ~LowerFilter(); // detaches and deletes the filter device
    LowerFilter(const LowerFilter&) = delete;
    LowerFilter& operator=(const LowerFilter&) = delete;

    PDEVICE_OBJECT device() const { return _device; }
    std::vector<FilteredRequest> requests() const;

    // The next request that matches (for power: a device request for this state) waits at the
    // filter, pending,
    // until release() passes it on: a request still on its way down while other things
    // happen. waitForHeld blocks (real time) until one is held.
    void holdNext(UCHAR majorFunction, UCHAR minorFunction, DEVICE_POWER_STATE powerState = {});
    bool waitForHeld(int realTimeoutMs = 5000) const;
    void release();
    // The next Plug and Play request of the minor function is failed here with the status,
    // as the certification tests' filter fails a query or a start.
    void failNext(UCHAR minorFunction, NTSTATUS status);

private:
    static NTSTATUS passDown(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS forward(PIRP irp, bool held);

    PDRIVER_OBJECT _driver = nullptr;
    PDEVICE_OBJECT _device = nullptr;
    PDEVICE_OBJECT _lower = nullptr;
    mutable std::mutex _lock;
    mutable std::condition_variable _changed;
    std::vector<FilteredRequest> _requests;
    std::optional<FilteredRequest> _hold; // what the next held request must be
    PIRP _held = nullptr;
    std::optional<std::pair<UCHAR, NTSTATUS>> _fail; // minor function, status
};

} // namespace emu::hid
