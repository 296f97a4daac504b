// Fault injection of the emulated bus: scripted failures and held requests, halted
// endpoints, port states and surprise removal.
#include "emu/usbbus/BusState.h"

#include "emu/kernel/Kernel.h"

#include <algorithm>
#include <chrono>

namespace emu {
namespace usb {

// First rule that matches, consumed by one use.
std::optional<FaultRule> VirtualReceiver::State::takeFaultLocked(std::optional<USHORT> function,
                                                                 std::optional<UCHAR> endpoint,
                                                                 std::optional<ULONG> ioctl) {
    auto positional = positionalFaults.find(internalOrdinal);
    if (positional != positionalFaults.end()) {
        FaultRule rule = positional->second;
        positionalFaults.erase(positional);
        if (rule.portAfter)
            port = *rule.portAfter;
        return rule;
    }
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

void VirtualReceiver::stallEndpoint(UCHAR endpoint, NTSTATUS getStatusFailure) {
    std::vector<Completion> ended;
    {
        std::lock_guard<std::mutex> guard(_state->lock);
        _state->stalls[endpoint] = getStatusFailure;
        _state->failParkedLocked(
            [endpoint](const Parked& p) { return !p.held && p.urb && p.endpoint == endpoint; },
            STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, ended);
    }
    _state->deliver(ended);
}

bool VirtualReceiver::isStalled(UCHAR endpoint) const {
    std::lock_guard<std::mutex> guard(_state->lock);
    return _state->stalls.count(endpoint) != 0;
}

void VirtualReceiver::setPortState(PortState state) {
    std::lock_guard<std::mutex> guard(_state->lock);
    _state->port = state;
    _state->changed.notify_all();
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
