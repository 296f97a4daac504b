// One life of the receiver under the whole driver, for the fault sweep and the hostile
// devices: load, add, start, a few keys, stop, remove, unload, through the emulated HID
// class driver and bus, with whatever fault is armed.
#pragma once

#include "emu/hidclass/ClassDriver.h"
#include "emu/usbbus/VirtualReceiver.h"
#include "platform/platform.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace faults {

enum class UsbFault { Stall, DataError, NeverCompleted, Disconnection, PortDisabled };
constexpr UsbFault kUsbFaults[] = {UsbFault::Stall, UsbFault::DataError, UsbFault::NeverCompleted,
                                   UsbFault::Disconnection, UsbFault::PortDisabled};
const char* nameOf(UsbFault fault);
emu::usb::FaultRule ruleFor(UsbFault fault);

// The driver stack over one virtual receiver, and what happened to it so far.
class Stack {
public:
    explicit Stack(const emu::usb::ReceiverDescription& receiver);
    explicit Stack(emu::usb::DescriptorBytes descriptors);
    Stack(const Stack&) = delete;
    Stack& operator=(const Stack&) = delete;

    emu::usb::VirtualReceiver& receiver() { return *_receiver; }
    emu::hid::ClassDriver& hidclass() { return *_hidclass; }

    // Load (once), add, start: the first failing status, or STATUS_SUCCESS.
    NTSTATUS bringUp();
    bool started() const { return _started; }
    // Presses the buttons one after the other; reports delivered while it did.
    size_t press(const std::vector<uint8_t>& commands);
    // The device again after a fault: stop and start, or, after a failed start or add, a
    // new device stack, or after a failed load a new driver. Then one key must arrive.
    std::string restartAndPress();
    // Stop (when started) and the end of the device.
    void stop();
    void unplug(); // the device is pulled out: surprise removal, then remove
    // Remove and unload (the verifier checks pool and requests), then what must be gone.
    std::string tearDown();
    // The driver's error messages since the stack was built.
    std::vector<std::string> errors() const;
    bool said(const std::string& fragment) const;
    // The driver's last error messages, indented, for a report of what went wrong.
    std::string lastErrors(size_t n) const;

private:
    void newDriver();

    std::unique_ptr<emu::usb::VirtualReceiver> _receiver;
    std::unique_ptr<emu::hid::ClassDriver> _hidclass;
    uint64_t _mark;
    bool _loaded = false;
    bool _added = false;
    bool _started = false;
    bool _removed = false;
};

// Figures of the run without a fault, which faulted runs are held against.
struct Reference {
    uint64_t allocations = 0; // allocations (pool and IRPs) from load to the first stop
    uint64_t requests = 0;    // internal requests the bus got over the same span
    size_t reports = 0;       // reports delivered by the keys
};

// Runs the scenario without a fault; "ok allocations=N requests=N reports=N".
std::string referenceRun();
bool parseReference(const std::string& figures, Reference& reference);

// The scenario with the nth allocation failing; "" or what went wrong.
std::string allocationRun(uint64_t n, const Reference& reference);
// The scenario with the requests at these positions failing as the fault does.
std::string usbRun(const std::vector<uint64_t>& positions, UsbFault fault,
                   const Reference& reference);

// Prepares a process (and so the children it forks) for scenarios: the clock, and the
// driver's messages on standard error or not.
void prepareProcess(bool trace);

} // namespace faults
