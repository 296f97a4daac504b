#include "irkit/RlcEventStream.h"

#include <algorithm>

namespace irkit {

void RlcEventStream::add(const IrTiming& period) {
    if (period.microseconds == 0) {
        return;
    }
    if (_pendingUs != 0 && _pendingPulse == period.pulse) {
        _pendingUs += period.microseconds;
    } else {
        flush();
        _pendingPulse = period.pulse;
        _pendingUs = period.microseconds;
        _pendingStart = _position;
    }
    _position += period.microseconds;
}

void RlcEventStream::flush() {
    if (_pendingUs == 0) {
        return;
    }
    const uint64_t length = _pendingUs;
    _pendingUs = 0;
    if (_pendingPulse) {
        _active = true;
        samples(true, length);
        return;
    }
    if (!_active) {
        return; // idle: the receiver reports nothing until the next carrier
    }
    if (_endOfSignalUs != 0 && length >= _endOfSignalUs) {
        _sink(RlcEvent::endOfSignal(_pendingStart + _endOfSignalUs));
        _active = false;
        return;
    }
    samples(false, length);
}

uint64_t RlcEventStream::endPeriods(bool silenceFollows) {
    if (silenceFollows && _pendingUs != 0 && !_pendingPulse) {
        _pendingUs = 0;
        return _pendingStart;
    }
    flush();
    return _position;
}

bool RlcEventStream::endSignal(uint64_t silenceStart) {
    if (!_active) {
        return false;
    }
    _sink(RlcEvent::endOfSignal(silenceStart + _endOfSignalUs));
    _active = false;
    return true;
}

// One period as samples of at most 127 units, each stamped with the moment its duration
// was complete.
void RlcEventStream::samples(bool pulse, uint64_t lengthUs) {
    uint64_t units = (lengthUs + kRlcUnitUs / 2) / kRlcUnitUs;
    if (units == 0) {
        units = 1;
    }
    uint64_t done = 0;
    while (done < units) {
        const uint64_t piece = std::min<uint64_t>(units - done, kRlcMaxUnits);
        done += piece;
        const uint64_t end =
            done == units ? lengthUs : std::min<uint64_t>(done * kRlcUnitUs, lengthUs);
        _sink(RlcEvent::sample(pulse, static_cast<uint8_t>(piece), _pendingStart + end));
    }
}

} // namespace irkit
