#include "decode/NecProtocol.h"

namespace {

// Windows in sample units (50 us); both ends belong to the window.
const ULONG kLeaderPulseMinUnits = 8750 / IR_SAMPLE_UNIT_US;
const ULONG kLeaderPulseMaxUnits = 9250 / IR_SAMPLE_UNIT_US;
const ULONG kLeaderSpaceMinUnits = 4250 / IR_SAMPLE_UNIT_US;
const ULONG kLeaderSpaceMaxUnits = 4750 / IR_SAMPLE_UNIT_US;
const ULONG kBitPulseMinUnits = 300 / IR_SAMPLE_UNIT_US;
const ULONG kBitPulseMaxUnits = 800 / IR_SAMPLE_UNIT_US;
const ULONG kZeroSpaceMinUnits = 300 / IR_SAMPLE_UNIT_US;
const ULONG kZeroSpaceMaxUnits = 800 / IR_SAMPLE_UNIT_US;
const ULONG kOneSpaceMinUnits = 1450 / IR_SAMPLE_UNIT_US;
const ULONG kOneSpaceMaxUnits = 1950 / IR_SAMPLE_UNIT_US;

const UCHAR kFrameBits = 32;

// Anything that is not a space counts as a pulse, so every sample moves a frame on.
inline bool isSpace(const IrSample& sample) {
    return sample.level == 0;
}

inline bool within(ULONG duration, ULONG low, ULONG high) {
    // One unsigned comparison: a duration below low wraps past the window's width.
    return duration - low <= high - low;
}

} // namespace

NEC_Protocol::NEC_Protocol(NTSTATUS* status) : _state(Idle), _bit(0), _count(0), _sum(0), _bits(0) {
    *status = STATUS_SUCCESS;
}

NEC_Protocol::~NEC_Protocol() {}

void NEC_Protocol::reset() {
    _state = Idle;
    _bit = 0;
    _count = 0;
    _sum = 0;
    _bits = 0;
}

// One pass over the samples, each state a place in the code and the state in locals: the
// branches follow the signal instead of one jump through a table per sample. A sample on
// which the frame fails is read again from Idle, where it may begin the next frame.
bool NEC_Protocol::decode(IrSample* data, KeyInfo* info) {
    ULONG count = _count;
    ULONG sum = _sum;
    ULONG bits = _bits;
    ULONG bit = _bit;
    State state = _state;
    const IrSample* sample = data;
    // The parser always ends its samples long before the last slot; a buffer that does not
    // is read no further than the slot before it.
    const IrSample* end = data + IR_DATA_BUFFER_SAMPLES - 1;
    // The terminator is a pulse of 0 units, outside every pulse window: it is looked for only
    // where a sample is not what the frame expects.

    switch (state) {
        case LeaderPulse:
            goto leaderPulse;
        case BitPulse:
            goto bitPulse;
        case BitSpace:
            goto bitSpace;
        case StopPulse:
            goto stopPulse;
        case Gap:
            goto gap;
        default:
            break;
    }

idle:
    while (true) {
        if (sample >= end) {
            state = Idle;
            goto done;
        }
        if (!isSpace(*sample)) {
            break;
        }
        ++sample;
    }
    if (isTerminator(*sample)) {
        state = Idle;
        goto done;
    }
    count = 0;
    sum = 0;

leaderPulse:
    while (true) {
        if (sample >= end || isTerminator(*sample)) {
            // A leader pulse is kept at the end of the data only while the next data can
            // still make it one: longer than a bit's pulse (a stop pulse or noise is no
            // leader) and not already too long.
            state = sum > kBitPulseMaxUnits && sum <= kLeaderPulseMaxUnits ? LeaderPulse : Idle;
            goto done;
        }
        if (isSpace(*sample)) {
            break;
        }
        if (count >= NEC_FRAME_SAMPLES) {
            goto idle;
        }
        count++;
        sum += sample->duration;
        ++sample;
    }
    if (!within(sum, kLeaderPulseMinUnits, kLeaderPulseMaxUnits) ||
        !within(sample->duration, kLeaderSpaceMinUnits, kLeaderSpaceMaxUnits) ||
        count >= NEC_FRAME_SAMPLES) {
        goto idle;
    }
    count++;
    ++sample;
    bits = 0;
    bit = 0;

    while (true) {
    bitPulse:
        if (sample >= end) {
            state = BitPulse;
            goto done;
        }
        if (isSpace(*sample) || !within(sample->duration, kBitPulseMinUnits, kBitPulseMaxUnits) ||
            count >= NEC_FRAME_SAMPLES) {
            if (isTerminator(*sample)) {
                state = BitPulse;
                goto done;
            }
            goto idle;
        }
        count++;
        ++sample;
    bitSpace:
        if (sample >= end) {
            state = BitSpace;
            goto done;
        }
        {
            const ULONG duration = sample->duration;
            const ULONG one = within(duration, kOneSpaceMinUnits, kOneSpaceMaxUnits) ? 1 : 0;
            const bool zero = within(duration, kZeroSpaceMinUnits, kZeroSpaceMaxUnits);
            if (!isSpace(*sample) || !(one || zero) || count >= NEC_FRAME_SAMPLES) {
                if (isTerminator(*sample)) {
                    state = BitSpace;
                    goto done;
                }
                goto idle;
            }
            bits |= one << bit;
        }
        count++;
        ++sample;
        if (++bit == kFrameBits) {
            break;
        }
    }
    // Only the command is checked against its complement; any address is answered. A
    // failed check has used the sample: the next is read from Idle.
    if ((((~bits) >> 24) & 0xFF) != ((bits >> 16) & 0xFF)) {
        goto idle;
    }

stopPulse:
    // Protocols on NEC timing with more than 32 bits (air conditioners send each byte
    // followed by its inverse) open with 32 bits that pass every check: a frame is one only
    // if its stop pulse comes next and is followed by a space longer than any bit's, the
    // silence of the end of the signal included.
    if (sample >= end) {
        state = StopPulse;
        goto done;
    }
    if (isSpace(*sample) || !within(sample->duration, kBitPulseMinUnits, kBitPulseMaxUnits) ||
        count >= NEC_FRAME_SAMPLES) {
        if (isTerminator(*sample)) {
            state = StopPulse;
            goto done;
        }
        goto idle;
    }
    count++;
    ++sample;

gap:
    if (sample >= end || isTerminator(*sample)) {
        state = Gap;
        goto done;
    }
    if (isSpace(*sample) && sample->duration > kOneSpaceMaxUnits) {
        info->key = (bits >> 16) & 0xFF;
        info->valid = 1;
    }
    // Either way the gap is read again from Idle, which skips a space.
    goto idle;

done:
    _state = state;
    _count = static_cast<USHORT>(count);
    _sum = sum;
    _bits = bits;
    _bit = static_cast<UCHAR>(bit);
    return true;
}
