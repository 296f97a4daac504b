// Encoders from (protocol, address, command) to the pulse and space periods a remote
// control sends. The result starts with the first pulse (the idle silence before a frame is
// not part of it) and ends with the last pulse unless a trailing space is asked for.
//
// NEC: leader 9000 us pulse and 4500 us space, 32 bits least significant bit first (each a
// 560 us pulse and a 560 us space for 0 or a 1690 us space for 1), then a 560 us stop
// pulse. Standard form: address, inverted address, command, inverted command. Extended
// form: the 16-bit address low byte first, then command and inverted command. A repeat
// code is a 9000 us pulse, a 2250 us space and a 560 us pulse; frames and repeat codes
// follow each other every 108 ms (start to start).
//
// RC5: 14 Manchester bits of two 889 us halves, most significant bit first: start bit 1,
// field bit (the second start bit, the inverse of command bit 6, so commands 64 to 127 of
// RC5X clear it), toggle bit, 5 address bits, 6 command bits. A 1 is a space then a pulse,
// a 0 a pulse then a space; neighbouring halves of one level are one period (1778 us). The
// first half of the first start bit is silence and so not part of the result. Frames
// follow each other every 113778 us (start to start).
#pragma once

#include "irkit/IrTiming.h"

namespace irkit {

enum class Protocol {
    Nec,         // 8-bit address and its inverse
    NecExtended, // 16-bit address
    Rc5,         // 5-bit address, 7-bit command (RC5X)
};

constexpr uint32_t kNecLeaderPulseUs = 9000;
constexpr uint32_t kNecLeaderSpaceUs = 4500;
constexpr uint32_t kNecRepeatSpaceUs = 2250;
constexpr uint32_t kNecBitPulseUs = 560;
constexpr uint32_t kNecZeroSpaceUs = 560;
constexpr uint32_t kNecOneSpaceUs = 1690;
constexpr uint32_t kNecStopPulseUs = 560;
constexpr uint32_t kNecPeriodUs = 108000;

constexpr uint32_t kRc5HalfBitUs = 889;
constexpr uint32_t kRc5PeriodUs = 113778;

struct EncodeOptions {
    // NEC: repeat codes sent after the frame (a held button). RC5: further copies of the
    // frame (a held button repeats the whole frame with the same toggle bit).
    unsigned repeats = 0;
    // Start-to-start distance of frames and repeat codes; 0 takes the protocol's own
    // (kNecPeriodUs, kRc5PeriodUs). A period shorter than what it must hold is an error.
    uint32_t periodUs = 0;
    // Silence appended after the last pulse (for instance the release after a button);
    // 0 appends nothing.
    uint32_t trailingSpaceUs = 0;
    // RC5 toggle bit; ignored by NEC.
    bool toggle = false;
};

// Throws std::invalid_argument when a value does not fit the protocol: an NEC address
// above 0xFF (use NecExtended), an RC5 address above 31 or command above 127, an NEC
// command above 0xFF, or a period that is too short.
Timings encode(Protocol protocol, uint32_t address, uint32_t command,
               const EncodeOptions& options = {});

// One NEC frame alone (with its stop pulse, nothing after it).
Timings necFrame(uint16_t address, uint8_t command, bool extended = false);
// One NEC frame of any four bytes, sent in this order (each least significant bit first):
// what a file that names all four bytes asks for, complements or not.
Timings necFrameBytes(const uint8_t bytes[4]);
// One NEC repeat code alone.
Timings necRepeatCode();
// One RC5 frame alone, ending with its last pulse.
Timings rc5Frame(uint8_t address, uint8_t command, bool toggle);

} // namespace irkit
