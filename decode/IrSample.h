// One pulse or space as the receiver measures it, and the buffer of them that the parse
// thread hands from the packet parser to the protocol decoder.
#pragma once

#include "platform/platform.h"

struct IrSample {
    UCHAR level;    // 1 pulse (carrier present), 0 space
    UCHAR duration; // in units of 50 us; the sample (1, 0) ends a sequence
};
static_assert(sizeof(IrSample) == 2, "IrSample is two bytes");

// Microseconds in one unit of a sample's duration.
#define IR_SAMPLE_UNIT_US 50

// The IR data buffer: 80 bytes, 40 samples. One packet never yields more than 30 samples
// and the terminator.
#define IR_DATA_BUFFER_SAMPLES 40
#define IR_DATA_BUFFER_BYTES (IR_DATA_BUFFER_SAMPLES * sizeof(IrSample))

inline bool isTerminator(const IrSample& sample) {
    return sample.level == 1 && sample.duration == 0;
}
