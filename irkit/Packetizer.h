// Turns pulse and space periods into the USB packets an MCE-style receiver sends on its IR
// data pipe.
//
// Stream format: RLC groups (header 0x81..0x84 for 1..4 samples, then one byte per sample:
// bit 7 the level, 1 for a pulse, bits 6..0 the duration in 50 us units), the
// end-of-signal marker 0x80, and response items (header 0x9F or 0xE0..0xFF, an id, data
// bytes; the id fixes the length, see responseLength).
//
// How the periods become samples (toRlcEvents):
// - neighbouring periods of one level are merged and zero-length periods dropped;
// - each period is rounded to the nearest 50 us unit (25 us rounds up); a period that
//   rounds to 0 still counts as 1 unit, since a pulse sample of 0 would read as the end of
//   a sequence and the sensor did see something;
// - a period longer than 127 units is sent as several samples of its level: 127 units
//   each, then the rest;
// - a space of at least endOfSignalUs ends the signal: the marker is sent instead of the
//   space; silence while no signal is going on (spaces before the first pulse, or behind a
//   marker) is not sent at all, so every signal starts with a pulse;
// - after the last period the marker follows if a signal is still going on and
//   endWithMarker is set (a capture is followed by silence).
//
// How samples become packets (packetize):
// - samples are packed in groups of up to 4 behind their header; a group never spans a
//   marker or a response item;
// - a packet holds at most maxPacketBytes; items may be cut at a packet boundary (the
//   driver's parser carries an unfinished item over to the next packet);
// - the marker is always the last byte of its packet (the parser ignores what follows it);
// - further boundaries come from cutAfterBytes and from randomSplitSeed.
#pragma once

#include "irkit/IrTiming.h"

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace irkit {

constexpr uint32_t kRlcUnitUs = 50;
constexpr uint8_t kRlcMaxUnits = 127;
constexpr uint8_t kRlcEndOfSignal = 0x80;
constexpr uint8_t kRlcGroupHeader = 0x80; // plus the sample count, 1..4
constexpr uint8_t kRlcMaxGroupSamples = 4;
constexpr uint8_t kRlcPulseBit = 0x80;
constexpr size_t kReceiverPacketBytes = 32;

// Byte count of a response item by its id, header and id included: 2, 3, 4 or 7 for the
// ids the receiver sends, 1 for any other id (only the header counts as the item).
size_t responseLength(uint8_t id);
// A well-formed response item: header (0x9F or 0xE0..0xFF), id, then data bytes
// 0x01, 0x02, ... up to responseLength(id). For an id outside the table the result is the
// header and the id (the id then reads as the next header).
std::vector<uint8_t> makeResponse(uint8_t header, uint8_t id);

// A response item placed in the stream in front of the samples of timing beforeTiming
// (an index into the periods given to packetize; past the end puts it behind the last
// sample, in front of the final marker). The bytes are sent as they stand, so malformed
// items can be made on purpose.
struct ResponsePlacement {
    size_t beforeTiming;
    std::vector<uint8_t> bytes;
};

struct PacketizerOptions {
    size_t maxPacketBytes = kReceiverPacketBytes; // at least 1
    // A space at least this long ends the signal; 0: no space ends it (all are sent).
    uint32_t endOfSignalUs = 100000;
    bool endWithMarker = true;
    // Byte offsets into the whole stream (all packets joined) at which a packet must end,
    // in any order; 0 and offsets past the end are ignored.
    std::vector<size_t> cutAfterBytes;
    // Nonzero: packet lengths are drawn at random from 1 to maxPacketBytes (seeded,
    // reproducible); markers still end their packets.
    uint32_t randomSplitSeed = 0;
    std::vector<ResponsePlacement> responses;
};

// One thing the receiver reports, before it is packed into bytes.
struct RlcEvent {
    enum class Kind : uint8_t { Sample, EndOfSignal, Response };
    Kind kind;
    bool pulse;                 // Sample: level
    uint8_t units;              // Sample: duration, 1..127 units of 50 us
    uint64_t timeUs;            // when the receiver knows it (end of the sample, or the
                                // moment the silence reached endOfSignalUs)
    std::vector<uint8_t> bytes; // Response: the item's bytes

    static RlcEvent sample(bool pulse, uint8_t units, uint64_t timeUs) {
        return RlcEvent{Kind::Sample, pulse, units, timeUs, {}};
    }
    static RlcEvent endOfSignal(uint64_t timeUs) {
        return RlcEvent{Kind::EndOfSignal, false, 0, timeUs, {}};
    }
    static RlcEvent response(std::vector<uint8_t> bytes, uint64_t timeUs) {
        return RlcEvent{Kind::Response, false, 0, timeUs, std::move(bytes)};
    }
};

struct UsbPacket {
    std::vector<uint8_t> bytes; // 1..maxPacketBytes
    uint64_t timeUs;            // microseconds from the start of the capture at which the
                                // receiver sends it: when its last byte was known
};

// The events of the periods, with responses in place.
std::vector<RlcEvent> toRlcEvents(const Timings& timings, const PacketizerOptions& options = {});
// The packets of the periods.
std::vector<UsbPacket> packetize(const Timings& timings, const PacketizerOptions& options = {});
// The packets of events made elsewhere (for instance edited by a test).
std::vector<UsbPacket> packetizeEvents(const std::vector<RlcEvent>& events,
                                       const PacketizerOptions& options = {});

} // namespace irkit
