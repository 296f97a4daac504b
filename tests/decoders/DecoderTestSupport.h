// Sample sequences as the packet parser would write them, the buffers the parse thread
// hands a decoder, and a look at what a decoder keeps between calls.
#pragma once

#include "decode/NecProtocol.h"
#include "decode/Rc5Protocol.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <optional>
#include <ostream>
#include <vector>

inline bool operator==(const IrSample& a, const IrSample& b) {
    return a.level == b.level && a.duration == b.duration;
}

inline void PrintTo(const IrSample& sample, std::ostream* os) {
    *os << (sample.level ? "pulse " : "space ") << int(sample.duration);
}

// Reads what the decoders hold between calls; they name it their friend.
struct DecoderProbe {
    // The samples of the frame kept between calls; none while the decoder is between frames.
    static size_t heldSamples(const NEC_Protocol& decoder) {
        return decoder._state == NEC_Protocol::Idle ? 0 : decoder._count;
    }
    static size_t heldSamples(const RC5_Protocol& decoder) {
        return static_cast<size_t>(decoder._p_history_end - decoder._p_history);
    }
    static size_t frameSamples(const NEC_Protocol& decoder) { return decoder._count; }
    static size_t frameSamples(const RC5_Protocol& decoder) {
        return static_cast<size_t>(decoder._p_frame_end - decoder._p_frame);
    }
};

namespace dectest {

using Samples = std::vector<IrSample>;

// What one packet can hold after parsing: 30 samples and the terminator.
constexpr size_t kMaxPacketSamples = 30;

inline IrSample pulse(unsigned units) {
    return IrSample{1, static_cast<UCHAR>(units)};
}
inline IrSample space(unsigned units) {
    return IrSample{0, static_cast<UCHAR>(units)};
}

// A period the way the receiver reports it: pieces of 127 units, then the rest.
inline void appendPeriod(Samples& samples, bool isPulse, unsigned units) {
    while (units > 0) {
        unsigned piece = units > 127 ? 127 : units;
        samples.push_back(isPulse ? pulse(piece) : space(piece));
        units -= piece;
    }
}

inline void append(Samples& samples, const Samples& tail) {
    samples.insert(samples.end(), tail.begin(), tail.end());
}

struct NecTiming {
    unsigned leaderPulse = 180; // 9 ms
    unsigned leaderSpace = 90;  // 4.5 ms
    unsigned bitPulse = 11;     // 560 us
    unsigned zeroSpace = 11;    // 560 us
    unsigned oneSpace = 34;     // 1.69 ms
    bool stopPulse = true;      // the 560 us pulse after the last bit
    unsigned silence = 127;     // the space behind the stop pulse (the parser's for a marker)
};

inline void appendNecByte(Samples& samples, unsigned byte, const NecTiming& timing) {
    for (int bit = 0; bit < 8; ++bit) {
        samples.push_back(pulse(timing.bitPulse));
        samples.push_back(space((byte >> bit) & 1 ? timing.oneSpace : timing.zeroSpace));
    }
}

inline Samples necFrame(unsigned address, unsigned addressInv, unsigned command,
                        unsigned commandInv, const NecTiming& timing = NecTiming()) {
    Samples samples;
    appendPeriod(samples, true, timing.leaderPulse);
    samples.push_back(space(timing.leaderSpace));
    appendNecByte(samples, address, timing);
    appendNecByte(samples, addressInv, timing);
    appendNecByte(samples, command, timing);
    appendNecByte(samples, commandInv, timing);
    if (timing.stopPulse) {
        samples.push_back(pulse(timing.bitPulse));
        if (timing.silence > 0)
            samples.push_back(space(timing.silence));
    }
    return samples;
}

inline Samples necFrame(unsigned address, unsigned command, const NecTiming& timing = NecTiming()) {
    return necFrame(address, ~address & 0xFF, command, ~command & 0xFF, timing);
}

// RC5 halves: single (one half in a sample) and double (two neighbouring halves of one
// level in one sample), in units.
struct Rc5Timing {
    unsigned half = 18;    // 889 us
    unsigned doubled = 36; // 1778 us
};

// Levels of the 27 halves from the start pulse on (the idle space before it being the
// first half of the first start bit): 1 pulse, 0 space.
inline std::vector<int> rc5Halves(unsigned field, unsigned toggle, unsigned address,
                                  unsigned command) {
    std::vector<int> bits;
    bits.push_back(field & 1);
    bits.push_back(toggle & 1);
    for (int i = 4; i >= 0; --i)
        bits.push_back((address >> i) & 1);
    for (int i = 5; i >= 0; --i)
        bits.push_back((command >> i) & 1);
    std::vector<int> halves{1};
    for (int bit : bits) {
        halves.push_back(bit ? 0 : 1);
        halves.push_back(bit ? 1 : 0);
    }
    return halves;
}

// The frame from its start pulse on; a last half that is a space is left to the silence
// after the frame unless trailingSpace is given (units of silence after the last pulse).
inline Samples rc5Frame(unsigned field, unsigned toggle, unsigned address, unsigned command,
                        unsigned trailingSpace = 0, const Rc5Timing& timing = Rc5Timing()) {
    std::vector<int> halves = rc5Halves(field, toggle, address, command);
    Samples samples;
    size_t i = 0;
    while (i < halves.size()) {
        // Manchester never has more than two equal halves in a row.
        size_t run = i + 1 < halves.size() && halves[i + 1] == halves[i] ? 2 : 1;
        unsigned units = run == 2 ? timing.doubled : timing.half;
        bool last = i + run == halves.size();
        if (halves[i] == 1) {
            samples.push_back(pulse(units));
            if (last && trailingSpace > 0)
                appendPeriod(samples, false, trailingSpace);
        } else if (!last) {
            samples.push_back(space(units));
        } else if (trailingSpace > 0) {
            // A closing space half merges with the silence behind the frame.
            appendPeriod(samples, false, units + trailingSpace);
        }
        i += run;
    }
    return samples;
}

// One IR data buffer as the parse thread hands it over: zeroed, the samples, then the
// terminator. Returns what the decoder reported.
inline KeyInfo feed(IR_Protocol& decoder, const IrSample* samples, size_t count) {
    EXPECT_LT(count, static_cast<size_t>(IR_DATA_BUFFER_SAMPLES))
        << "a buffer needs room for its terminator";
    IrSample buffer[IR_DATA_BUFFER_SAMPLES] = {};
    for (size_t i = 0; i < count && i + 1 < IR_DATA_BUFFER_SAMPLES; ++i)
        buffer[i] = samples[i];
    buffer[count < IR_DATA_BUFFER_SAMPLES ? count : IR_DATA_BUFFER_SAMPLES - 1] = IrSample{1, 0};
    KeyInfo info = {};
    EXPECT_TRUE(decoder.decode(buffer, &info)) << "decode always answers true";
    return info;
}

inline KeyInfo feed(IR_Protocol& decoder, const Samples& samples) {
    return feed(decoder, samples.data(), samples.size());
}

// Feeds the sequence cut before each of the given positions (ascending, inside the
// sequence) and returns the keys reported, one per call that reported one.
inline std::vector<ULONG> feedSplit(IR_Protocol& decoder, const Samples& samples,
                                    const std::vector<size_t>& cuts) {
    std::vector<ULONG> keys;
    size_t begin = 0;
    for (size_t i = 0; i <= cuts.size(); ++i) {
        size_t end = i < cuts.size() ? cuts[i] : samples.size();
        KeyInfo info = feed(decoder, samples.data() + begin, end - begin);
        if (info.valid)
            keys.push_back(info.key);
        begin = end;
    }
    return keys;
}

// Feeds the sequence in buffers of at most chunk samples.
inline std::vector<ULONG> feedChunks(IR_Protocol& decoder, const Samples& samples, size_t chunk) {
    std::vector<size_t> cuts;
    for (size_t at = chunk; at < samples.size(); at += chunk)
        cuts.push_back(at);
    return feedSplit(decoder, samples, cuts);
}

// Decoders built in place, in the driver's pool, as the driver builds them.
template <typename Decoder> struct Built {
    std::optional<Decoder> decoder;
    Built() {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        decoder.emplace(&status);
        EXPECT_EQ(status, STATUS_SUCCESS) << "the decoder's buffers should be allocated";
    }
    Decoder& operator*() { return *decoder; }
    Decoder* operator->() { return &*decoder; }
};

} // namespace dectest
