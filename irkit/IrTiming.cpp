#include "irkit/IrTiming.h"

#include <cmath>
#include <random>

namespace irkit {

void append(Timings& timings, IrTiming timing) {
    if (timing.microseconds == 0) {
        return;
    }
    if (!timings.empty() && timings.back().pulse == timing.pulse) {
        timings.back().microseconds += timing.microseconds;
        return;
    }
    timings.push_back(timing);
}

void append(Timings& timings, const Timings& tail) {
    for (const IrTiming& timing : tail) {
        append(timings, timing);
    }
}

Timings normalized(const Timings& timings) {
    Timings result;
    result.reserve(timings.size());
    append(result, timings);
    return result;
}

uint64_t totalMicroseconds(const Timings& timings) {
    uint64_t total = 0;
    for (const IrTiming& timing : timings) {
        total += timing.microseconds;
    }
    return total;
}

Timings distort(const Timings& timings, const Distortion& distortion) {
    // The raw engine output, not a std:: distribution, so that a seed means the same
    // sequence with every standard library.
    std::mt19937 engine(distortion.seed);
    const uint64_t span = 2ull * distortion.jitterMicroseconds + 1;
    Timings result;
    result.reserve(timings.size());
    for (const IrTiming& timing : timings) {
        double value = std::llround(timing.microseconds * distortion.scale);
        if (distortion.jitterMicroseconds != 0) {
            const int64_t offset = static_cast<int64_t>(engine() % span) -
                                   static_cast<int64_t>(distortion.jitterMicroseconds);
            value += static_cast<double>(offset);
        }
        if (value < 1) {
            value = 1;
        }
        if (value > 4294967295.0) {
            value = 4294967295.0;
        }
        result.push_back(IrTiming{timing.pulse, static_cast<uint32_t>(value)});
    }
    return result;
}

} // namespace irkit
