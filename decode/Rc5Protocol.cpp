#include "decode/Rc5Protocol.h"

#include "decode/SampleBuffers.h"

namespace {

// Half-bit windows in sample units (50 us); both ends belong to the window. A sample
// shorter than a half is noise; one longer than a half holds two halves of one level.
const ULONG kHalfMinUnits = 600 / IR_SAMPLE_UNIT_US;
const ULONG kHalfMaxUnits = 1200 / IR_SAMPLE_UNIT_US;
// What taking the first half off a long sample leaves must itself be a plausible half.
const UCHAR kTakenHalfUnits = 900 / IR_SAMPLE_UNIT_US;
const ULONG kRestMinUnits = 650 / IR_SAMPLE_UNIT_US;
const ULONG kRestMaxUnits = 1150 / IR_SAMPLE_UNIT_US;

const ULONG kFieldBitPosition = 6;
const ULONG kAddressBits = 5;
const ULONG kCommandBits = 6;

static_assert(RC5_HISTORY_SAMPLES >= RC5_FRAME_SAMPLES + IR_DATA_BUFFER_SAMPLES,
              "a kept frame and a whole IR data buffer must fit in the history");
static_assert(kHalfMaxUnits + 1 > kTakenHalfUnits,
              "a long sample must still hold something once a half is taken off");

inline UCHAR levelOf(const IrSample& sample) {
    return sample.level != 0 ? 1 : 0;
}

} // namespace

RC5_Protocol::RC5_Protocol(NTSTATUS* status)
    : _count(0), _phase(1), _p_history(nullptr), _p_read(nullptr), _p_history_end(nullptr),
      _p_frame(nullptr), _p_frame_end(nullptr), _start(0), _field(0), _toggle(0), _address(0),
      _command(0) {
    *status = allocateSampleBuffers(&_p_history, RC5_HISTORY_SAMPLES, &_p_frame, RC5_FRAME_SAMPLES);
    _p_read = _p_history;
    _p_history_end = _p_history;
    _p_frame_end = _p_frame;
}

RC5_Protocol::~RC5_Protocol() {
    freeSampleBuffers(&_p_history, &_p_frame);
    _p_read = nullptr;
    _p_history_end = nullptr;
    _p_frame_end = nullptr;
}

void RC5_Protocol::reset() {
    _phase = 1;
    _count = 0;
    _p_read = _p_history;
    _p_history_end = _p_history;
    _p_frame_end = _p_frame;
}

void RC5_Protocol::beginAttempt() {
    _start = 0;
    _field = 0;
    _toggle = 0;
    _address = 0;
    _command = 0;
    RtlZeroMemory(_p_frame, RC5_FRAME_SAMPLES * sizeof(IrSample));
    _p_frame_end = _p_frame;
    _count = 0;
    _phase = 1;
}

bool RC5_Protocol::readHalfBit(UCHAR* level) {
    IrSample* sample = _p_read;
    if (isTerminator(*sample)) {
        return false;
    }
    if (_phase == 1) {
        // An attempt reads at most 27 halves, so this holds; should it ever not, the half
        // is refused rather than written past the frame copy.
        if (_count >= RC5_FRAME_SAMPLES) {
            return false;
        }
        // The copy keeps the sample as it was before any split, for a kept frame.
        *_p_frame_end++ = *sample;
        _count++;
        if (sample->duration < kHalfMinUnits) {
            _p_read++;
            return false;
        }
        *level = levelOf(*sample);
        if (sample->duration <= kHalfMaxUnits) {
            _p_read++;
            return true;
        }
        // Two halves in one sample: take the first off in place and stay on the rest.
        _phase = 0;
        sample->duration = (UCHAR)(sample->duration - kTakenHalfUnits);
        return true;
    }

    _phase = 1;
    _p_read++;
    if (sample->duration >= kRestMinUnits && sample->duration <= kRestMaxUnits) {
        *level = levelOf(*sample);
        return true;
    }
    sample->duration = (UCHAR)(sample->duration + kTakenHalfUnits);
    return false;
}

// The first half of the first start bit is the idle space before the frame; what is read
// here is its second half, a pulse.
bool RC5_Protocol::checkStartBit() {
    UCHAR level = 0;
    if (!readHalfBit(&level) || level != 1) {
        return false;
    }
    _start = 1;
    return true;
}

bool RC5_Protocol::readBits(ULONG count, ULONG* value) {
    ULONG bits = 0;
    for (ULONG k = 1; k <= count; k++) {
        UCHAR first = 0;
        UCHAR second = 0;
        if (!readHalfBit(&first) || !readHalfBit(&second)) {
            return false;
        }
        // Manchester: a bit always changes level in its middle.
        if (first == second) {
            return false;
        }
        bits |= (ULONG)second << (count - k);
    }
    *value = bits;
    return true;
}

bool RC5_Protocol::decode(IrSample* data, KeyInfo* info) {
    bool started = true;
    _phase = 1;
    RtlCopyMemory(_p_history_end, data, IR_DATA_BUFFER_BYTES);
    // The parser always ends its samples long before the last slot; a buffer that does not
    // must still not let the scan run past the history.
    IrSample* last = _p_history_end + IR_DATA_BUFFER_SAMPLES - 1;
    last->level = 1;
    last->duration = 0;
    _p_read = _p_history;

    while (!isTerminator(*_p_read)) {
        beginAttempt();
        started = true;
        if (!checkStartBit()) {
            continue;
        }
        started = false;
        if (!readBits(1, &_field) || !readBits(1, &_toggle) || !readBits(kAddressBits, &_address) ||
            !readBits(kCommandBits, &_command)) {
            continue;
        }
        // The field bit as received extends the command to 7 bits (RC5 extended).
        _command |= _field << kFieldBitPosition;
        started = true;
        info->toggle = _toggle;
        info->key = _command;
        info->valid = 1;
    }

    if (!started && _count <= RC5_FRAME_SAMPLES) {
        RtlCopyMemory(_p_history, _p_frame, _count * sizeof(IrSample));
        _p_history_end = _p_history + _count;
    } else {
        _p_history_end = _p_history;
    }
    return true;
}
