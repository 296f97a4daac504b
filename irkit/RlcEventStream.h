// Periods in, the receiver's events out as soon as each is known, in constant memory:
// neighbouring periods of one level are merged and zero-length ones dropped, each period
// is rounded to 50 us units (at least 1) and cut into samples of at most 127 units, a
// space of at least endOfSignalUs becomes the end-of-signal marker, and silence outside a
// signal is not sent. packetize builds on it, and so does the replay tool's streaming
// packetizer.
#pragma once

#include "irkit/IrTiming.h"
#include "irkit/Packetizer.h"

#include <cstdint>
#include <functional>

namespace irkit {

class RlcEventStream {
public:
    using Sink = std::function<void(const RlcEvent&)>;
    // endOfSignalUs 0: no space ends a signal.
    RlcEventStream(uint32_t endOfSignalUs, Sink sink)
        : _endOfSignalUs(endOfSignalUs), _sink(std::move(sink)) {}

    void add(const IrTiming& period);
    // Completes the period still being merged: something (a response) comes between it and
    // the next one.
    void flush();
    // The periods have ended. With silenceFollows a trailing space is where the silence
    // after them starts, not a sample. Returns where that silence starts.
    uint64_t endPeriods(bool silenceFollows);
    // The marker the silence makes when a signal is going on; whether there was one.
    bool endSignal(uint64_t silenceStart);
    // The end of the periods added so far.
    uint64_t position() const { return _position; }

private:
    void samples(bool pulse, uint64_t lengthUs);

    uint32_t _endOfSignalUs;
    Sink _sink;
    uint64_t _position = 0; // start of the next period
    bool _active = false;   // a signal is going on: samples were sent since the last marker
    bool _pendingPulse = false;
    uint64_t _pendingUs = 0; // merged period not yet turned into events
    uint64_t _pendingStart = 0;
};

} // namespace irkit
