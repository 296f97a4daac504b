// LIRC mode2 captures in microseconds, read and written.
//
// Accepted text, line by line:
// - "pulse N" and "space N": one period each; "timeout N" is read as a space (it is the
//   silence that ended a signal);
// - "+N" and "-N" (a pulse and a space), several per line separated by blanks;
// - "#" starts a comment to the end of the line; blank lines are skipped;
// - lines that carry no period are skipped, and the reader says so once in its note: the
//   header that LIRC's mode2 tool prints ("Using driver ... on device ...", "Using device
//   ...", "Trying device ...", "Running as regular user ...") and ir-ctl's "carrier N".
// N is a decimal count of microseconds from 1 to 4294967295.
// Neighbouring periods of one level (a pulse following a pulse, or a timeout behind a
// space) are merged into one period, as the sensor could not have told them apart.
// Anything else is an error that names the line (1-based) and what is wrong: an unknown
// word, a missing, negative, zero, non-numeric or too large value, text after the value, or
// a line longer than kMode2MaxLineBytes. Text quoted from the input shows bytes that are not
// printable text as \xNN.
#pragma once

#include "irkit/IrTiming.h"

#include <cstddef>
#include <istream>
#include <string>
#include <string_view>

namespace irkit {

constexpr size_t kMode2MaxLineBytes = 4096;

struct Mode2Result {
    Timings timings;      // everything read (up to the error, if any)
    size_t errorLine = 0; // line of the error, 0 when there is none
    std::string error;    // "line 7: unknown word 'plse'"; empty when the text is good
    std::string note;     // "skipped 2 lines that hold no period (...)"; empty when none was
    bool ok() const { return error.empty(); }
};

// Reads periods one at a time from a stream, in memory that does not grow with the
// capture: one line and one period are held at a time.
class Mode2Reader {
public:
    explicit Mode2Reader(std::istream& in);

    // The next period, neighbours of one level merged. False at the end of the text or at
    // an error; every period before the error is delivered first.
    bool next(IrTiming& period);

    bool ok() const { return _error.empty(); }
    const std::string& error() const { return _error; }
    size_t errorLine() const { return _errorLine; }
    // Set once lines without a period were skipped; says how many and names the first.
    const std::string& note() const { return _note; }

private:
    bool readLine();
    bool parseLine(std::string_view text);
    bool signedValues(std::string_view text);
    void skipped(std::string_view text);
    void add(IrTiming period);

    std::istream& _in;
    std::string _line;
    size_t _lineNumber = 0;
    bool _ended = false;
    // Periods of the current line, merged, not yet delivered; the last may still grow.
    Timings _ready;
    size_t _readyNext = 0;
    std::string _error;
    size_t _errorLine = 0;
    std::string _problem;
    std::string _note;
    size_t _skippedLines = 0;
    std::string _firstSkipped;
};

Mode2Result parseMode2(std::string_view text);
// Reads a file; a file that cannot be opened is an error on line 0 naming the path.
Mode2Result readMode2File(const std::string& path);

// One "pulse N" or "space N" line per period.
std::string writeMode2(const Timings& timings);

} // namespace irkit
