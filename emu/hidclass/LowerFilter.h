// A lower filter between the HID class driver's functional device object and the bus PDO,
// as a vendor's USB filter or an antivirus product puts one there on Windows: it passes
// every request down untouched and records it. With it in every stack the emulated class
// driver builds, HID_DEVICE_EXTENSION.NextDeviceObject (the filter) and
// PhysicalDeviceObject (the PDO) are different devices, so a minidriver that sends its
// Plug and Play and power requests to the PDO, or its URBs to the next lower device, is
// seen in the filter's record.
#pragma once

#include "platform/platform.h"

#include <mutex>
#include <vector>

namespace emu::hid {

struct FilteredRequest {
    UCHAR majorFunction;
    UCHAR minorFunction;
    ULONG powerState; // power requests: the system or device state; else 0
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

private:
    static NTSTATUS passDown(PDEVICE_OBJECT device, PIRP irp);

    PDRIVER_OBJECT _driver = nullptr;
    PDEVICE_OBJECT _device = nullptr;
    PDEVICE_OBJECT _lower = nullptr;
    mutable std::mutex _lock;
    std::vector<FilteredRequest> _requests;
};

} // namespace emu::hid
