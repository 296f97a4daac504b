#include "tests/decoders/NecRedecodeReference.h"

#include "decode/SampleBuffers.h"

namespace redecode {

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

const ULONG kBitsPerByte = 8;

static_assert(REDECODE_HISTORY_SAMPLES >= REDECODE_FRAME_SAMPLES + IR_DATA_BUFFER_SAMPLES,
              "a kept frame and a whole IR data buffer must fit in the history");

// Anything that is not a space counts as a pulse, so every sample moves an attempt on.
inline bool isSpace(const IrSample& sample) {
    return sample.level == 0;
}

inline bool within(ULONG duration, ULONG low, ULONG high) {
    return duration >= low && duration <= high;
}

} // namespace redecode
using namespace redecode;

NEC_RedecodeReference::NEC_RedecodeReference(NTSTATUS* status)
    : _count(0), _p_history(nullptr), _p_read(nullptr), _p_history_end(nullptr), _p_frame(nullptr),
      _p_frame_end(nullptr), _address(0), _address_inv(0), _command(0), _command_inv(0) {
    *status = allocateSampleBuffers(&_p_history, REDECODE_HISTORY_SAMPLES, &_p_frame,
                                    REDECODE_FRAME_SAMPLES);
    _p_read = _p_history;
    _p_history_end = _p_history;
    _p_frame_end = _p_frame;
}

NEC_RedecodeReference::~NEC_RedecodeReference() {
    freeSampleBuffers(&_p_history, &_p_frame);
    _p_read = nullptr;
    _p_history_end = nullptr;
    _p_frame_end = nullptr;
}

void NEC_RedecodeReference::reset() {
    _count = 0;
    _p_read = _p_history;
    _p_history_end = _p_history;
    _p_frame_end = _p_frame;
}

void NEC_RedecodeReference::beginAttempt() {
    _address = 0;
    _address_inv = 0;
    _command = 0;
    _command_inv = 0;
    // The frame copy is not cleared: only its first _count samples are ever read, and an
    // attempt begins at nearly every sample of noise and gaps.
    _p_frame_end = _p_frame;
    _count = 0;
}

// Takes the sample under the read position into the frame copy and steps over it. A full
// frame copy fails the attempt: only a leader cut into many pieces gets there, and the
// kept frame must never outgrow the room the history has for it.
bool NEC_RedecodeReference::acceptSample() {
    if (_count >= REDECODE_FRAME_SAMPLES) {
        return false;
    }
    *_p_frame_end++ = *_p_read++;
    _count++;
    return true;
}

NEC_RedecodeReference::LeaderPulse NEC_RedecodeReference::readLeaderPulse() {
    // The terminator is a pulse, so this stops at it at the latest.
    while (isSpace(*_p_read)) {
        _p_read++;
    }
    ULONG sum = 0;
    while (!isSpace(*_p_read)) {
        // A USB packet may end inside the leader pulse or right behind it. Its pulse
        // samples so far are kept with the frame, so that the next packet continues it:
        // dropping them would lose the key press. A pulse no longer than a bit's is the
        // stop pulse of a frame or noise, not the start of a leader.
        if (isTerminator(*_p_read)) {
            return (sum > kBitPulseMaxUnits && sum <= kLeaderPulseMaxUnits) ? LeaderCut
                                                                            : LeaderFailed;
        }
        sum += _p_read->duration;
        if (!acceptSample()) {
            return LeaderFailed;
        }
    }
    return within(sum, kLeaderPulseMinUnits, kLeaderPulseMaxUnits) ? LeaderPassed : LeaderFailed;
}

bool NEC_RedecodeReference::readLeaderSpace() {
    const IrSample& sample = *_p_read;
    if (isTerminator(sample) || !isSpace(sample) ||
        !within(sample.duration, kLeaderSpaceMinUnits, kLeaderSpaceMaxUnits)) {
        return false;
    }
    return acceptSample();
}

bool NEC_RedecodeReference::readByte(ULONG* value) {
    ULONG byte = 0;
    for (ULONG bit = 0; bit < kBitsPerByte; bit++) {
        const IrSample& pulse = *_p_read;
        if (isTerminator(pulse) || isSpace(pulse) ||
            !within(pulse.duration, kBitPulseMinUnits, kBitPulseMaxUnits)) {
            return false;
        }
        if (!acceptSample()) {
            return false;
        }
        const IrSample& space = *_p_read;
        if (isTerminator(space) || !isSpace(space)) {
            return false;
        }
        if (within(space.duration, kOneSpaceMinUnits, kOneSpaceMaxUnits)) {
            byte |= 1u << bit;
        } else if (!within(space.duration, kZeroSpaceMinUnits, kZeroSpaceMaxUnits)) {
            return false;
        }
        if (!acceptSample()) {
            return false;
        }
    }
    *value = byte;
    return true;
}

// Protocols on NEC timing with more than 32 bits (air conditioners send each byte followed by
// its inverse) open with 32 bits that pass every check: a frame is one only if its stop
// pulse comes next and is followed by a space longer than any bit's, the silence of the
// end of the signal included.
NEC_RedecodeReference::FrameEnd NEC_RedecodeReference::readFrameEnd() {
    const IrSample& stop = *_p_read;
    if (isTerminator(stop)) {
        return FrameCut;
    }
    if (isSpace(stop) || !within(stop.duration, kBitPulseMinUnits, kBitPulseMaxUnits) ||
        !acceptSample()) {
        return FrameGoesOn;
    }
    const IrSample& gap = *_p_read;
    if (isTerminator(gap)) {
        return FrameCut;
    }
    return isSpace(gap) && gap.duration > kOneSpaceMaxUnits ? FrameEnded : FrameGoesOn;
}

bool NEC_RedecodeReference::decode(IrSample* data, KeyInfo* info) {
    RtlCopyMemory(_p_history_end, data, IR_DATA_BUFFER_BYTES);
    // The parser always ends its samples long before the last slot; a buffer that does not
    // must still not let the scan run past the history.
    IrSample* last = _p_history_end + IR_DATA_BUFFER_SAMPLES - 1;
    last->level = 1;
    last->duration = 0;

    _p_read = _p_history;
    // started stays false only while the latest attempt has begun a frame (its leader pulse
    // passed, or was cut by the end of the data) and has not completed: that attempt is the
    // unfinished frame to keep.
    bool started = true;
    while (!isTerminator(*_p_read)) {
        beginAttempt();
        started = true;
        LeaderPulse leader = readLeaderPulse();
        if (leader != LeaderPassed) {
            // A leader cut by the end of the data is the unfinished frame to keep.
            started = leader != LeaderCut;
            continue;
        }
        started = false;
        if (!readLeaderSpace() || !readByte(&_address) || !readByte(&_address_inv) ||
            !readByte(&_command) || !readByte(&_command_inv)) {
            continue;
        }
        // Only the command is checked against its complement; any address is answered.
        if (((~_command_inv) & 0xFF) != _command) {
            continue;
        }
        FrameEnd end = readFrameEnd();
        if (end != FrameEnded) {
            // Cut by the end of the data, the frame is kept and decided with the next data.
            started = end == FrameGoesOn;
            continue;
        }
        started = true;
        info->key = _command;
        info->valid = 1;
    }

    if (!started && _count <= REDECODE_FRAME_SAMPLES) {
        RtlCopyMemory(_p_history, _p_frame, _count * sizeof(IrSample));
        _p_history_end = _p_history + _count;
    } else {
        _p_history_end = _p_history;
    }
    return true;
}
