// HidRegisterMinidriver as the HID class driver implements it for the emulated world: the
// checks it makes on the registration record, and the record of every driver that
// registered (or was refused, and why).
#pragma once

#include "platform/platform.h"

#include <optional>
#include <string>

#ifndef STATUS_REVISION_MISMATCH
#define STATUS_REVISION_MISMATCH ((NTSTATUS)0xC0000059L)
#endif

namespace emu::hid {

struct Registration {
    PDRIVER_OBJECT driver = nullptr;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::string refusal; // empty when the registration was accepted
    HID_MINIDRIVER_REGISTRATION record{};
};

// What the class driver expects of the next registration beyond its own rules: the
// minidriver extension size the device stacks will be built with. Set by whoever loads
// the driver, before DriverEntry runs.
void expectDeviceExtensionSize(ULONG bytes);

// The last registration attempt of a driver object, accepted or not.
std::optional<Registration> registrationOf(PDRIVER_OBJECT driver);
void forgetRegistration(PDRIVER_OBJECT driver);

} // namespace emu::hid
