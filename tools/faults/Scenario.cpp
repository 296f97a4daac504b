#include "tools/faults/Scenario.h"

#include "emu/kernel/Kernel.h"
#include "frame/DriverEntry.h"
#include "irkit/Encoders.h"
#include "irkit/Packetizer.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace faults {

namespace {

const std::vector<uint8_t> kKeys = {0x16, 0x54, 0x16};
constexpr size_t kReportsPerPress = 2; // the key, then its release
// Real time a press may take to come out as reports, far beyond what it needs; a press
// that does not make it by then counts as lost.
constexpr int kPressWaitMs = 400;
constexpr const char* kErrorPrefix = "ravo (error): ";

std::vector<irkit::UsbPacket> pressOf(uint8_t command) {
    irkit::Timings timings = irkit::necFrame(0x04, command);
    irkit::append(timings, irkit::space(250000));
    return irkit::packetize(timings);
}

std::string hex(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

// What every faulted run must show, whatever failed: a failure the driver does not get
// over is said in its messages; the device works again afterwards unless it is gone; and
// nothing is left behind.
std::string judge(Stack& stack, bool met, NTSTATUS up, size_t reports, const Reference& ref,
                  bool deviceGone, const std::string& where, bool keysMustSurvive = false) {
    std::string verdict;
    if (met) {
        const bool fellShort = !NT_SUCCESS(up) || reports < ref.reports;
        if (keysMustSurvive && NT_SUCCESS(up) && reports < ref.reports)
            verdict = std::to_string(reports) + " of " + std::to_string(ref.reports) +
                      " reports after one transient failure";
        else if (reports > ref.reports)
            verdict = std::to_string(reports) + " reports for " + std::to_string(ref.reports) +
                      " expected: keys nobody pressed";
        else if (fellShort && stack.errors().empty())
            verdict = "the start returned " + hex(up) + " and " + std::to_string(reports) + " of " +
                      std::to_string(ref.reports) + " reports came, without an error message";
    }
    if (verdict.empty()) {
        if (deviceGone)
            stack.unplug();
        else
            verdict = stack.restartAndPress();
    } else {
        verdict += stack.lastErrors(8);
        stack.stop();
    }
    std::string left = stack.tearDown();
    if (!verdict.empty())
        return verdict + (left.empty() ? "" : "; " + left);
    if (!left.empty())
        return left;
    if (!met)
        return "ok unreached";
    return "ok status=" + hex(up) + " reports=" + std::to_string(reports) + " where=" + where;
}

// What the nth request the driver sent to the bus was.
std::string nthRequest(const emu::usb::VirtualReceiver& receiver, uint64_t n) {
    using emu::usb::RequestKind;
    uint64_t seen = 0;
    for (const auto& r : receiver.requests()) {
        if (r.kind == RequestKind::Pnp || r.kind == RequestKind::Power ||
            r.kind == RequestKind::Other)
            continue;
        if (++seen != n)
            continue;
        if (r.kind == RequestKind::GetPortStatus)
            return "GET_PORT_STATUS";
        if (r.kind == RequestKind::ResetPort)
            return "RESET_PORT";
        switch (r.urbFunction) {
            case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
                return r.descriptorType == USB_DEVICE_DESCRIPTOR_TYPE ? "GET_DESCRIPTOR(device)"
                                                                      : "GET_DESCRIPTOR(config)";
            case URB_FUNCTION_SELECT_CONFIGURATION:
                return "SELECT_CONFIGURATION";
            case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
                return "BULK_IN(read)";
            case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
                return "GET_STATUS(endpoint)";
            case URB_FUNCTION_ABORT_PIPE:
                return "ABORT_PIPE";
            case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
                return "RESET_PIPE";
            default:
                return "URB(" + std::to_string(r.urbFunction) + ")";
        }
    }
    return "unsent";
}

} // namespace

const char* nameOf(UsbFault fault) {
    switch (fault) {
        case UsbFault::Stall:
            return "stall";
        case UsbFault::DataError:
            return "data error";
        case UsbFault::NeverCompleted:
            return "never completed";
        case UsbFault::Disconnection:
            return "disconnection";
        case UsbFault::PortDisabled:
            return "port disabled";
    }
    return "?";
}

emu::usb::FaultRule ruleFor(UsbFault fault) {
    emu::usb::FaultRule rule;
    switch (fault) {
        case UsbFault::Stall:
            rule.status = STATUS_UNSUCCESSFUL;
            rule.usbdStatus = USBD_STATUS_STALL_PID;
            break;
        case UsbFault::DataError:
            rule.status = STATUS_DEVICE_DATA_ERROR;
            rule.usbdStatus = emu::usb::kUsbdStatusCrc;
            break;
        case UsbFault::NeverCompleted:
            rule.neverComplete = true;
            break;
        case UsbFault::Disconnection:
            rule.status = STATUS_DEVICE_NOT_CONNECTED;
            rule.usbdStatus = USBD_STATUS_DEVICE_GONE;
            rule.portAfter = emu::usb::PortState{false, false};
            break;
        case UsbFault::PortDisabled:
            rule.status = STATUS_DEVICE_DATA_ERROR;
            rule.usbdStatus = USBD_STATUS_DEV_NOT_RESPONDING;
            rule.portAfter = emu::usb::PortState{false, true};
            break;
    }
    return rule;
}

Stack::Stack(const emu::usb::ReceiverDescription& receiver)
    : Stack(emu::usb::buildDescriptors(receiver)) {}

Stack::Stack(emu::usb::DescriptorBytes descriptors)
    : _receiver(std::make_unique<emu::usb::VirtualReceiver>(std::move(descriptors))),
      _mark(emu::debuglog::mark()) {
    newDriver();
}

void Stack::newDriver() {
    _hidclass.reset();
    _hidclass = std::make_unique<emu::hid::ClassDriver>(&DriverEntry);
    _loaded = _added = _started = false;
}

NTSTATUS Stack::bringUp() {
    NTSTATUS status = STATUS_SUCCESS;
    if (!_loaded) {
        status = _hidclass->load();
        if (!NT_SUCCESS(status))
            return status;
        _loaded = true;
    }
    if (!_added) {
        _added = true; // a failed AddDevice leaves the device object for the removal
        status = _hidclass->addDevice(_receiver->pdo());
        if (!NT_SUCCESS(status))
            return status;
    }
    status = _hidclass->start();
    _started = NT_SUCCESS(status);
    return status;
}

size_t Stack::press(const std::vector<uint8_t>& commands) {
    emu::hid::KeyEvents& keys = _hidclass->keys();
    const size_t before = keys.delivered();
    for (uint8_t command : commands) {
        const size_t expected = keys.delivered() + kReportsPerPress;
        for (const auto& packet : pressOf(command))
            _receiver->queueInPacket(packet.bytes);
        keys.waitForDelivered(expected, kPressWaitMs);
    }
    _receiver->waitUntilIdle(kPressWaitMs);
    return keys.delivered() - before;
}

std::string Stack::restartAndPress() {
    if (!_loaded) {
        newDriver();
    } else if (_started) {
        stop();
    } else if (_added) {
        // A failed start: Plug and Play removes the device and adds it anew.
        _hidclass->remove();
        _added = false;
    }
    NTSTATUS up = bringUp();
    if (!NT_SUCCESS(up))
        return "the start after the fault failed with " + hex(up) + ": " + _hidclass->lastError();
    if (press({0x16}) < kReportsPerPress)
        return "no key after a new start";
    return "";
}

void Stack::stop() {
    if (_started)
        _hidclass->stop();
    _started = false;
}

void Stack::unplug() {
    _receiver->surpriseRemove();
    if (_added) {
        _hidclass->surpriseRemove();
        _hidclass->remove();
        _added = _started = false;
    }
}

std::string Stack::tearDown() {
    _hidclass.reset(); // remove and unload: the verifier stops the process on a leak
    std::string left;
    if (!_receiver->waitUntilIdle() || _receiver->outstandingRequests() != 0)
        left = std::to_string(_receiver->outstandingRequests()) + " request(s) left with the bus";
    else if (emu::runningSystemThreads() != 0)
        left = "a system thread outlived its driver";
    else if (emu::liveIrps() != 0)
        left = std::to_string(emu::liveIrps()) + " IRP(s) outlived their driver";
    else if (emu::openHandles() != 0)
        left = std::to_string(emu::openHandles()) + " handle(s) outlived their driver";
    _receiver.reset();
    return left;
}

std::vector<std::string> Stack::errors() const {
    std::vector<std::string> found;
    for (const std::string& line : emu::debuglog::textSince(_mark))
        if (line.find(kErrorPrefix) != std::string::npos)
            found.push_back(line);
    return found;
}

std::string Stack::lastErrors(size_t n) const {
    std::vector<std::string> lines = errors();
    std::string text;
    for (size_t i = lines.size() > n ? lines.size() - n : 0; i < lines.size(); i++)
        text += "\n      | " + lines[i].substr(0, lines[i].find_last_not_of('\n') + 1);
    return text.empty() ? "\n      | (no error message)" : text;
}

bool Stack::said(const std::string& fragment) const {
    return emu::debuglog::contains(fragment, _mark);
}

std::string referenceRun() {
    Stack stack(emu::usb::mceReceiverModel());
    const uint64_t before = emu::pool::allocationCount();
    NTSTATUS up = stack.bringUp();
    if (!NT_SUCCESS(up))
        return "the start without a fault failed with " + hex(up);
    Reference ref;
    ref.reports = stack.press(kKeys);
    stack.stop();
    ref.allocations = emu::pool::allocationCount() - before;
    ref.requests = stack.receiver().internalRequests();
    if (ref.reports != kKeys.size() * kReportsPerPress)
        return "without a fault, " + std::to_string(ref.reports) + " reports came of " +
               std::to_string(kKeys.size() * kReportsPerPress);
    if (!stack.errors().empty())
        return "an error message without a fault: " + stack.errors().front();
    std::string left = stack.tearDown();
    if (!left.empty())
        return left;
    char figures[128];
    std::snprintf(figures, sizeof figures,
                  "ok allocations=%" PRIu64 " requests=%" PRIu64 " reports=%zu", ref.allocations,
                  ref.requests, ref.reports);
    return figures;
}

bool parseReference(const std::string& figures, Reference& ref) {
    unsigned long long allocations = 0, requests = 0;
    size_t reports = 0;
    if (std::sscanf(figures.c_str(), "allocations=%llu requests=%llu reports=%zu", &allocations,
                    &requests, &reports) != 3)
        return false;
    ref = Reference{allocations, requests, reports};
    return true;
}

std::string allocationRun(uint64_t n, const Reference& ref) {
    Stack stack(emu::usb::mceReceiverModel());
    const uint64_t before = emu::pool::allocationCount();
    emu::pool::failNthAllocation(n);
    NTSTATUS up = stack.bringUp();
    size_t reports = stack.started() ? stack.press(kKeys) : 0;
    stack.stop();
    const bool met = emu::pool::allocationCount() - before >= n;
    emu::pool::clearFaults();
    ULONG tag = 0;
    size_t bytes = 0;
    char site[64] = "none";
    if (emu::pool::lastFailure(tag, bytes))
        std::snprintf(site, sizeof site, "'%c%c%c%c'(%zu)", tag & 0xFF, (tag >> 8) & 0xFF,
                      (tag >> 16) & 0xFF, tag >> 24, bytes);
    std::replace(site, site + sizeof site, ' ', '_');
    std::string verdict = judge(stack, met, up, reports, ref, false, site);
    return verdict.rfind("ok", 0) == 0 ? verdict : std::string(site) + ": " + verdict;
}

std::string usbRun(const std::vector<uint64_t>& positions, UsbFault fault, const Reference& ref) {
    Stack stack(emu::usb::mceReceiverModel());
    for (uint64_t position : positions)
        stack.receiver().injectFaultAt(position, ruleFor(fault));
    NTSTATUS up = stack.bringUp();
    size_t reports = stack.started() ? stack.press(kKeys) : 0;
    stack.stop();
    const bool met = stack.receiver().pendingPositionalFaults() < positions.size();
    stack.receiver().clearFaults();
    std::string where;
    for (uint64_t position : positions)
        where += (where.empty() ? "" : "+") + nthRequest(stack.receiver(), position);
    // One failure the device gets over (all but an unplugging) must cost no key: the driver
    // recovers from it. Failures during the recovery itself may.
    const bool keysMustSurvive = positions.size() == 1 && fault != UsbFault::Disconnection;
    std::string verdict = judge(stack, met, up, reports, ref,
                                met && fault == UsbFault::Disconnection, where, keysMustSurvive);
    return verdict.rfind("ok", 0) == 0 ? verdict : where + ": " + verdict;
}

void prepareProcess(bool trace) {
    emu::debuglog::setEcho(trace);
    // The driver's 5 s request time-out and its stop waits pass ten times faster: long
    // enough that a busy machine's bus thread still answers in time.
    emu::clock::useRealTime(10.0);
    emu::setOsVersion(10, 0, 19045);
}

} // namespace faults
