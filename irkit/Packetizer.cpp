#include "irkit/Packetizer.h"

#include "irkit/RlcEventStream.h"

#include <algorithm>
#include <random>
#include <set>
#include <stdexcept>

namespace irkit {

size_t responseLength(uint8_t id) {
    switch (id) {
        case 0x81:
        case 0xFE:
            return 2;
        case 0x08:
        case 0x14:
        case 0x17:
            return 3;
        case 0x06:
        case 0x0C:
        case 0x15:
        case 0x16:
            return 4;
        case 0x11:
            return 7;
        default:
            return 1;
    }
}

std::vector<uint8_t> makeResponse(uint8_t header, uint8_t id) {
    if (header != 0x9F && header < 0xE0) {
        throw std::invalid_argument("a response header is 0x9F or 0xE0..0xFF");
    }
    std::vector<uint8_t> bytes{header, id};
    const size_t length = responseLength(id);
    for (size_t i = 2; i < length; ++i) {
        bytes.push_back(static_cast<uint8_t>(i - 1));
    }
    return bytes;
}

namespace {

// The periods' events with the responses placed between them.
std::vector<RlcEvent> buildEvents(const Timings& timings, const PacketizerOptions& options) {
    std::vector<RlcEvent> events;
    RlcEventStream stream(options.endOfSignalUs,
                          [&events](const RlcEvent& event) { events.push_back(event); });
    std::vector<const ResponsePlacement*> responses;
    for (const ResponsePlacement& placement : options.responses) {
        responses.push_back(&placement);
    }
    std::stable_sort(responses.begin(), responses.end(),
                     [](const ResponsePlacement* a, const ResponsePlacement* b) {
                         return a->beforeTiming < b->beforeTiming;
                     });
    auto nextResponse = responses.begin();

    for (size_t i = 0; i < timings.size(); ++i) {
        if (nextResponse != responses.end() && (*nextResponse)->beforeTiming <= i) {
            // A response sits between two periods: the one before it is complete.
            stream.flush();
            while (nextResponse != responses.end() && (*nextResponse)->beforeTiming <= i) {
                events.push_back(RlcEvent::response((*nextResponse)->bytes, stream.position()));
                ++nextResponse;
            }
        }
        stream.add(timings[i]);
    }

    // Silence follows the capture: a trailing space becomes the start of that silence.
    const uint64_t silenceStart =
        stream.endPeriods(options.endWithMarker && options.endOfSignalUs != 0);
    while (nextResponse != responses.end()) {
        events.push_back(RlcEvent::response((*nextResponse)->bytes, silenceStart));
        ++nextResponse;
    }
    if (options.endWithMarker) {
        stream.endSignal(silenceStart);
    }
    return events;
}

struct StreamByte {
    uint8_t value;
    uint64_t timeUs;
    bool endsPacket; // the marker: nothing may follow it in its packet
};

std::vector<StreamByte> serialize(const std::vector<RlcEvent>& events) {
    std::vector<StreamByte> stream;
    stream.reserve(events.size() * 2);
    size_t i = 0;
    while (i < events.size()) {
        const RlcEvent& event = events[i];
        if (event.kind == RlcEvent::Kind::EndOfSignal) {
            stream.push_back(StreamByte{kRlcEndOfSignal, event.timeUs, true});
            ++i;
            continue;
        }
        if (event.kind == RlcEvent::Kind::Response) {
            for (uint8_t value : event.bytes) {
                stream.push_back(StreamByte{value, event.timeUs, false});
            }
            ++i;
            continue;
        }
        size_t count = 0;
        while (count < kRlcMaxGroupSamples && i + count < events.size() &&
               events[i + count].kind == RlcEvent::Kind::Sample) {
            ++count;
        }
        // The header is known once the group's last sample is.
        stream.push_back(StreamByte{static_cast<uint8_t>(kRlcGroupHeader + count),
                                    events[i + count - 1].timeUs, false});
        for (size_t k = 0; k < count; ++k) {
            const RlcEvent& sample = events[i + k];
            if (sample.units > kRlcMaxUnits) {
                throw std::invalid_argument("a sample holds at most 127 units");
            }
            stream.push_back(
                StreamByte{static_cast<uint8_t>((sample.pulse ? kRlcPulseBit : 0) | sample.units),
                           sample.timeUs, false});
        }
        i += count;
    }
    return stream;
}

} // namespace

std::vector<RlcEvent> toRlcEvents(const Timings& timings, const PacketizerOptions& options) {
    return buildEvents(timings, options);
}

std::vector<UsbPacket> packetizeEvents(const std::vector<RlcEvent>& events,
                                       const PacketizerOptions& options) {
    if (options.maxPacketBytes == 0) {
        throw std::invalid_argument("maxPacketBytes must be at least 1");
    }
    const std::vector<StreamByte> stream = serialize(events);
    const std::set<size_t> cuts(options.cutAfterBytes.begin(), options.cutAfterBytes.end());
    std::mt19937 engine(options.randomSplitSeed);
    auto drawLimit = [&]() -> size_t {
        if (options.randomSplitSeed == 0) {
            return options.maxPacketBytes;
        }
        return 1 + engine() % options.maxPacketBytes;
    };

    std::vector<UsbPacket> packets;
    UsbPacket current{{}, 0};
    size_t limit = drawLimit();
    for (size_t offset = 0; offset < stream.size(); ++offset) {
        const StreamByte& byte = stream[offset];
        current.bytes.push_back(byte.value);
        current.timeUs = std::max(current.timeUs, byte.timeUs);
        if (byte.endsPacket || current.bytes.size() >= limit || cuts.count(offset + 1) != 0) {
            packets.push_back(std::move(current));
            current = UsbPacket{{}, packets.back().timeUs};
            limit = drawLimit();
        }
    }
    if (!current.bytes.empty()) {
        packets.push_back(std::move(current));
    }
    return packets;
}

std::vector<UsbPacket> packetize(const Timings& timings, const PacketizerOptions& options) {
    return packetizeEvents(toRlcEvents(timings, options), options);
}

} // namespace irkit
