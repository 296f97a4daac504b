#include "irkit/Encoders.h"

#include <stdexcept>
#include <string>

namespace irkit {

namespace {

void necByte(Timings& timings, uint8_t value) {
    for (int bit = 0; bit < 8; ++bit) {
        append(timings, pulse(kNecBitPulseUs));
        append(timings, space((value >> bit) & 1 ? kNecOneSpaceUs : kNecZeroSpaceUs));
    }
}

// RC5 bit as two halves; the caller merges neighbouring halves of one level.
void rc5Bit(Timings& timings, bool one) {
    append(timings, IrTiming{!one, kRc5HalfBitUs});
    append(timings, IrTiming{one, kRc5HalfBitUs});
}

void requireAtMost(uint32_t value, uint32_t limit, const char* what) {
    if (value > limit) {
        throw std::invalid_argument(std::string(what) + " " + std::to_string(value) + " is above " +
                                    std::to_string(limit));
    }
}

// Appends the space that fills the rest of a period behind a burst of the given length.
void fillPeriod(Timings& timings, uint64_t burstUs, uint32_t periodUs) {
    if (periodUs <= burstUs) {
        throw std::invalid_argument("period of " + std::to_string(periodUs) +
                                    " us does not leave a gap behind a burst of " +
                                    std::to_string(burstUs) + " us");
    }
    append(timings, space(static_cast<uint32_t>(periodUs - burstUs)));
}

} // namespace

Timings necFrameBytes(const uint8_t bytes[4]) {
    Timings timings;
    timings.reserve(68);
    append(timings, pulse(kNecLeaderPulseUs));
    append(timings, space(kNecLeaderSpaceUs));
    for (int i = 0; i < 4; ++i) {
        necByte(timings, bytes[i]);
    }
    append(timings, pulse(kNecStopPulseUs));
    return timings;
}

Timings necFrame(uint16_t address, uint8_t command, bool extended) {
    const uint8_t bytes[4] = {
        static_cast<uint8_t>(address & 0xFF),
        static_cast<uint8_t>(extended ? address >> 8 : ~address & 0xFF),
        command,
        static_cast<uint8_t>(~command),
    };
    return necFrameBytes(bytes);
}

Timings necRepeatCode() {
    return Timings{pulse(kNecLeaderPulseUs), space(kNecRepeatSpaceUs), pulse(kNecStopPulseUs)};
}

Timings rc5Frame(uint8_t address, uint8_t command, bool toggle) {
    Timings timings;
    timings.reserve(28);
    // The first half of the first start bit is the idle silence before the frame.
    append(timings, pulse(kRc5HalfBitUs));
    rc5Bit(timings, (command & 0x40) == 0);
    rc5Bit(timings, toggle);
    for (int bit = 4; bit >= 0; --bit) {
        rc5Bit(timings, (address >> bit) & 1);
    }
    for (int bit = 5; bit >= 0; --bit) {
        rc5Bit(timings, (command >> bit) & 1);
    }
    // A final 0 bit ends with a space half, which is the silence after the frame.
    if (!timings.back().pulse) {
        timings.pop_back();
    }
    return timings;
}

Timings encode(Protocol protocol, uint32_t address, uint32_t command,
               const EncodeOptions& options) {
    Timings frame;
    Timings follower; // what a held button sends after the frame
    uint32_t period = options.periodUs;
    switch (protocol) {
        case Protocol::Nec:
        case Protocol::NecExtended:
            requireAtMost(address, protocol == Protocol::Nec ? 0xFF : 0xFFFF, "NEC address");
            requireAtMost(command, 0xFF, "NEC command");
            frame = necFrame(static_cast<uint16_t>(address), static_cast<uint8_t>(command),
                             protocol == Protocol::NecExtended);
            follower = necRepeatCode();
            if (period == 0) {
                period = kNecPeriodUs;
            }
            break;
        case Protocol::Rc5:
            requireAtMost(address, 31, "RC5 address");
            requireAtMost(command, 127, "RC5 command");
            frame = rc5Frame(static_cast<uint8_t>(address), static_cast<uint8_t>(command),
                             options.toggle);
            follower = frame;
            if (period == 0) {
                period = kRc5PeriodUs;
            }
            break;
        default:
            throw std::invalid_argument("unknown protocol");
    }

    Timings timings = frame;
    uint64_t burst = totalMicroseconds(frame);
    for (unsigned i = 0; i < options.repeats; ++i) {
        fillPeriod(timings, burst, period);
        append(timings, follower);
        burst = totalMicroseconds(follower);
    }
    append(timings, space(options.trailingSpaceUs));
    return timings;
}

} // namespace irkit
