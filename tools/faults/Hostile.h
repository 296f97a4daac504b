// Receivers that do not behave: descriptors that lie about their lengths, counts, endpoint
// types and sizes; packets no receiver should send; answers that come too late; a device
// that vanishes in the middle of a request. Each case says what the driver must make of it.
#pragma once

#include "tools/faults/Scenario.h"

#include <functional>
#include <string>
#include <vector>

namespace faults {

enum class Expect {
    Refused, // the start fails, and an error message says why
    Works,   // the device works: a key pressed after the misbehaviour arrives whole
    Inert,   // the start succeeds but no IR can be read, and an error message says why
    Gone,    // the device vanished: an error message, then removal ends it cleanly
};

struct HostileCase {
    std::string name;
    std::function<emu::usb::DescriptorBytes()> device;
    // Before the start: faults armed on the bus (late answers, a device that vanishes).
    std::function<void(Stack&)> before;
    // While the start runs, on another thread: the device vanishing in the middle of it.
    std::function<void(Stack&)> duringStart;
    // After a start: what the device sends or does. For Gone cases it ends in a vanishing.
    std::function<void(Stack&)> after;
    Expect expect = Expect::Works;
    std::string message;      // a fragment the driver's messages must hold; empty: any error
    size_t reportsDuring = 0; // reports that after() itself must bring: its keys, whole
};

const std::vector<HostileCase>& hostileReceivers();
// "" or "ok <what happened>" when the driver did what the case expects; otherwise why not.
std::string hostileRun(const HostileCase& hostile);

} // namespace faults
