// LIRC mode2 captures in microseconds, read and written.
//
// Accepted text, line by line:
// - "pulse N" and "space N": one period each; "timeout N" is read as a space;
// - "+N" and "-N" (a pulse and a space), several per line separated by blanks;
// - "#" starts a comment to the end of the line; blank lines are skipped.
// N is a decimal count of microseconds from 1 to 4294967295.
// Neighbouring periods of one level (a pulse following a pulse, or a timeout behind a
// space) are merged into one period, as the sensor could not have told them apart.
// Anything else is an error that names the line (1-based) and what is wrong: an unknown
// word, a missing, negative, zero, non-numeric or too large value, or text after the value.
#pragma once

#include "irkit/IrTiming.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace irkit {

struct Mode2Result {
    Timings timings;      // everything read (up to the error, if any)
    size_t errorLine = 0; // line of the error, 0 when there is none
    std::string error;    // "line 7: unknown word 'plse'"; empty when the text is good
    bool ok() const { return error.empty(); }
};

Mode2Result parseMode2(std::string_view text);
// Reads a file; a file that cannot be opened is an error on line 0 naming the path.
Mode2Result readMode2File(const std::string& path);

// One "pulse N" or "space N" line per period.
std::string writeMode2(const Timings& timings);

} // namespace irkit
