// What an IR sensor sees, as the emulated world describes it: alternating periods with and
// without carrier, in microseconds. Encoders produce it, mode2 captures are read into it
// and the packetizer turns it into the receiver's USB packets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace irkit {

struct IrTiming {
    bool pulse;            // true: carrier present; false: silence
    uint32_t microseconds; // length of the period

    bool operator==(const IrTiming& other) const {
        return pulse == other.pulse && microseconds == other.microseconds;
    }
    bool operator!=(const IrTiming& other) const { return !(*this == other); }
};

using Timings = std::vector<IrTiming>;

inline IrTiming pulse(uint32_t microseconds) {
    return IrTiming{true, microseconds};
}
inline IrTiming space(uint32_t microseconds) {
    return IrTiming{false, microseconds};
}

// Appends one period; a period of the same level as the last one is added to it, and a
// zero-length period is dropped, so a sequence built this way always alternates.
void append(Timings& timings, IrTiming timing);
// Appends every period of tail the same way.
void append(Timings& timings, const Timings& tail);

// The same sequence with neighbouring periods of one level merged and zero-length periods
// dropped.
Timings normalized(const Timings& timings);

// Sum of all periods.
uint64_t totalMicroseconds(const Timings& timings);

// Timing distortion for tests: every period is multiplied by scale, then moved by a
// uniformly drawn offset in [-jitterMicroseconds, +jitterMicroseconds]. Results are
// rounded to whole microseconds and never fall below 1 us. The same seed gives the same
// result on every run.
struct Distortion {
    double scale = 1.0;
    uint32_t jitterMicroseconds = 0;
    uint32_t seed = 1;
};

Timings distort(const Timings& timings, const Distortion& distortion);

} // namespace irkit
