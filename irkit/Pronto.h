// Pronto hex codes, read and written: one code per line, words of four hex digits,
// optionally after a name and a colon ("Power: 0000 006D 0022 0002 ..."); "#" begins a
// comment line. A code opens with four words: its form, its carrier word, the number of
// burst pairs sent once and the number in the repeat part.
// - 0000 (learned, modulated) and 0100 (unmodulated): the carrier word w gives the time
//   unit, w x 0.241246 us (the carrier period: 006D is 38 kHz), and the burst pairs follow,
//   each an on and an off count of that unit, first the once part, then the repeat part.
//   One press plays the once part; a code that has only a repeat part plays it once.
// - 5000 (RC5): one pair of words, the 5-bit address and the command (64-127: the field bit
//   cleared), encoded to RC5's ideal timings.
// - other predefined forms (5001 RC5X, 6000 RC6, 6001 RC6A, ...) are handed out by name,
//   without timings.
// Errors name the line and the word (1-based).
#pragma once

#include "irkit/RemoteFile.h"

namespace irkit {

class ProntoReader : public ButtonReader {
public:
    explicit ProntoReader(std::istream& in) : _lines(in) {}
    bool next(RemoteButton& button) override;

private:
    bool fail(const std::string& what);
    LineReader _lines;
    std::string _line;
    size_t _unnamed = 0;
};

// The microseconds of count units of carrier word w, as the reader computes them.
uint32_t prontoMicroseconds(uint32_t count, uint32_t carrierWord);

// One learned code (0000) for a carrier of carrierHz, every period as the count of carrier
// periods nearest to it among those the receiver reports in the same 50 us unit, so that
// the code reads back to what the receiver made of the original. A signal that ends with
// a pulse gets leadOutUs of silence to complete its last pair.
std::string writePronto(const Timings& timings, uint32_t carrierHz = 38000,
                        uint32_t leadOutUs = 100000);
// "name: code" lines.
std::string writeProntoLines(const std::vector<NamedTimings>& buttons);

} // namespace irkit
