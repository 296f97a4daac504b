// The minidriver's part of every device extension, which the HID class driver allocates
// with the size the registration declares and hands over through MiniDeviceExtension.
#pragma once

#include "platform/platform.h"

class Device;

struct MinidriverExtension {
    Device* _p_device;           // null until add-device created it and after removal
    IO_REMOVE_LOCK _remove_lock; // held while a PnP, power or system-control request is dispatched
    KSPIN_LOCK _cancel_lock;     // held by the read-report cancel routine around the unlink
};
static_assert(sizeof(MinidriverExtension) == 136, "the registration declares 136 bytes");

// The minidriver extension of a functional device object the HID class driver created.
inline MinidriverExtension* minidriverExtension(PDEVICE_OBJECT fdo) {
    auto* hid = static_cast<PHID_DEVICE_EXTENSION>(fdo->DeviceExtension);
    return static_cast<MinidriverExtension*>(hid->MiniDeviceExtension);
}
