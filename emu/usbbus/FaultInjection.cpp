// Fault injection of the emulated bus: scripted failures and held requests, halted
// endpoints, port states and surprise removal.
#include "emu/usbbus/BusState.h"

#include "emu/kernel/Kernel.h"

#include <algorithm>
#include <chrono>

namespace emu {
namespace usb {

std::optional<FaultRule> VirtualReceiver::State::takePositionalLocked() {
    auto positional = positionalFaults.find(internalOrdinal);
    if (positional == positionalFaults.end())
        return std::nullopt;
    FaultRule rule = positional->second;
    positionalFaults.erase(positional);
    if (rule.portAfter)
        port = *rule.portAfter;
    return rule;
}

// First rule that matches, consumed by one use.
std::optional<FaultRule> VirtualReceiver::State::takeFaultLocked(std::optional<USHORT> function,
                                                                 std::optional<UCHAR> endpoint,
                                                                 std::optional<ULONG> ioctl) {
    if (std::optional<FaultRule> positional = takePositionalLocked())
        return positional;
    for (auto it = faults.begin(); it != faults.end(); ++it) {
        FaultRule& rule = *it;
        if (ioctl) {
            if (!rule.ioControlCode || *rule.ioControlCode != *ioctl)
                continue;
        } else {
            if (rule.ioControlCode)
                continue;
            if (rule.urbFunction && (!function || *rule.urbFunction != *function))
                continue;
            if (rule.endpoint && (!endpoint || *rule.endpoint != *endpoint))
                continue;
        }
        FaultRule copy = rule;
        if (rule.portAfter)
            port = *rule.portAfter;
        if (rule.count > 0 && --rule.count == 0)
            faults.erase(it);
        return copy;
    }
    return std::nullopt;
}

Outcome VirtualReceiver::State::faultOutcome(const FaultRule& f, std::optional<ULONG> length) {
    if (f.neverComplete) {
        Outcome o;
        o.kind = Outcome::Hold;
        return o;
    }
    return Outcome::fail(f.status, f.usbdStatus, length);
}

void VirtualReceiver::injectFault(const FaultRule& rule) {
    std::lock_guard<std::mutex> guard(_state->lock);
    if (rule.count != 0)
        _state->faults.push_back(rule);
}

void VirtualReceiver::injectFaultAt(uint64_t n, const FaultRule& rule) {
    std::lock_guard<std::mutex> guard(_state->lock);
    if (n != 0)
        _state->positionalFaults[_state->internalOrdinal + n] = rule;
}

uint64_t VirtualReceiver::internalRequests() const {
    std::lock_guard<std::mutex> guard(_state->lock);
    return _state->internalOrdinal;
}

size_t VirtualReceiver::pendingPositionalFaults() const {
    std::lock_guard<std::mutex> guard(_state->lock);
    return _state->positionalFaults.size();
}

void VirtualReceiver::clearFaults() {
    std::lock_guard<std::mutex> guard(_state->lock);
    _state->faults.clear();
    _state->positionalFaults.clear();
}

void VirtualReceiver::stallEndpoint(UCHAR endpoint, NTSTATUS getStatusFailure, bool haltShown) {
    std::vector<Completion> ended;
    {
        std::lock_guard<std::mutex> guard(_state->lock);
        State::Endpoint& e = _state->endpoints[endpoint];
        e.stalled = true;
        e.getStatusFailure = getStatusFailure;
        e.haltShown = haltShown;
        _state->failOldestLocked(endpoint, USBD_STATUS_STALL_PID, ended);
    }
    _state->deliver(ended);
}

bool VirtualReceiver::isStalled(UCHAR endpoint) const {
    std::lock_guard<std::mutex> guard(_state->lock);
    auto found = _state->endpoints.find(endpoint);
    return found != _state->endpoints.end() && found->second.stalled;
}

bool VirtualReceiver::isHalted(UCHAR endpoint) const {
    std::lock_guard<std::mutex> guard(_state->lock);
    auto found = _state->endpoints.find(endpoint);
    return found != _state->endpoints.end() && found->second.halted;
}

void VirtualReceiver::transactionErrors(UCHAR endpoint, int count, USBD_STATUS status) {
    std::vector<Completion> ended;
    {
        std::lock_guard<std::mutex> guard(_state->lock);
        if (count > 0 && _state->failOldestLocked(endpoint, status, ended))
            count--;
        if (count > 0) {
            FaultRule rule;
            rule.urbFunction = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
            rule.endpoint = endpoint;
            rule.status = wireErrorStatus(status);
            rule.usbdStatus = status;
            rule.count = count;
            _state->faults.push_back(rule);
        }
    }
    _state->deliver(ended);
}

void VirtualReceiver::setPortState(PortState state) {
    std::vector<Completion> ended;
    {
        std::lock_guard<std::mutex> guard(_state->lock);
        State& s = *_state;
        if (!state.connected && s.port.connected) {
            s.failParkedLocked([](const Parked&) { return true; }, STATUS_DEVICE_NOT_CONNECTED,
                               USBD_STATUS_DEVICE_GONE, ended);
        } else if (state.connected && !state.enabled && s.port.enabled) {
            // Nothing answers the transfers under way: each one being worked on fails.
            std::vector<UCHAR> busy;
            for (const Parked& p : s.parked)
                if (p.endpoint && p.urb &&
                    std::find(busy.begin(), busy.end(), *p.endpoint) == busy.end())
                    busy.push_back(*p.endpoint);
            for (UCHAR endpoint : busy)
                s.failOldestLocked(endpoint, USBD_STATUS_DEV_NOT_RESPONDING, ended);
        }
        s.port = state;
        s.changed.notify_all();
    }
    _state->deliver(ended);
}

PortState VirtualReceiver::portState() const {
    std::lock_guard<std::mutex> guard(_state->lock);
    return _state->port;
}

void VirtualReceiver::surpriseRemove() {
    std::vector<Completion> ended;
    {
        std::lock_guard<std::mutex> guard(_state->lock);
        _state->removedFlag = true;
        _state->port = PortState{false, false};
        _state->inData.clear();
        _state->failParkedLocked([](const Parked&) { return true; }, STATUS_DEVICE_NOT_CONNECTED,
                                 USBD_STATUS_DEVICE_GONE, ended);
    }
    _state->deliver(ended);
}

bool VirtualReceiver::removed() const {
    std::lock_guard<std::mutex> guard(_state->lock);
    return _state->removedFlag;
}

size_t VirtualReceiver::heldRequests() const {
    std::lock_guard<std::mutex> guard(_state->lock);
    return static_cast<size_t>(std::count_if(_state->parked.begin(), _state->parked.end(),
                                             [](const Parked& p) { return p.held; }));
}

bool VirtualReceiver::waitForHeldRequests(size_t n, int realTimeoutMs) const {
    std::unique_lock<std::mutex> guard(_state->lock);
    return _state->changed.wait_for(guard, std::chrono::milliseconds(realTimeoutMs), [&] {
        return static_cast<size_t>(std::count_if(_state->parked.begin(), _state->parked.end(),
                                                 [](const Parked& p) { return p.held; })) >= n;
    });
}
} // namespace usb
} // namespace emu
