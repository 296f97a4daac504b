// Registrations HidRegisterMinidriver accepted, by driver object.
#pragma once

#include "platform/platform.h"

#include <optional>
#include <vector>

namespace emu::hid {

std::optional<HID_MINIDRIVER_REGISTRATION> registrationOf(PDRIVER_OBJECT driver);
void forgetRegistration(PDRIVER_OBJECT driver);

} // namespace emu::hid
