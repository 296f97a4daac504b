// Remote-control code files as people keep and share them, read one button at a time:
// Flipper Zero .ir files (FlipperIr.h), Pronto hex (Pronto.h), Broadlink packets
// (Broadlink.h), LIRC remote definitions (LircdConf.h), and a LIRC mode2 capture as a
// remote of one button. Each reader hands out buttons whose periods are what one press of
// the button sends, the same periods the mode2 reader gives for a capture, so whatever
// plays a capture plays a button.
//
// Memory stays bounded whatever the file: a line (or a JSON string) of at most
// kRemoteMaxLineBytes and one button of at most kRemoteMaxPeriods periods are held at a time.
// A reader stops at the first thing it cannot read and names where (its line, and a word
// or byte offset where that says more) and what it expected; every button before it has
// been handed out, none after it.
#pragma once

#include "irkit/IrTiming.h"
#include "irkit/QuotedText.h"

#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace irkit {

constexpr size_t kRemoteMaxLineBytes = 1 << 20;
constexpr size_t kRemoteMaxPeriods = 1 << 16;

enum class RemoteFormat { Mode2, Flipper, Pronto, Broadlink, LircdConf };

// "mode2", "flipper", "pronto", "broadlink", "lircd"; formatByName reads them back.
const char* formatName(RemoteFormat format);
std::optional<RemoteFormat> formatByName(std::string_view name);

struct RemoteButton {
    std::string name;
    size_t line = 0; // where the button begins in the file, 1-based
    // What one press sends, starting with a pulse. Empty when the file names a protocol
    // that the toolkit does not encode (protocol says which).
    Timings timings;
    // The protocol as the file names it ("NEC", "RC5 (Pronto 5000)", "SIRC"); empty when
    // the file holds the timings themselves.
    std::string protocol;
    std::vector<std::string> notes; // what the reader did that a reader of the file should know
};

class ButtonReader {
public:
    virtual ~ButtonReader() = default;
    // The next button; false at the end of the file or at an error.
    virtual bool next(RemoteButton& button) = 0;
    bool ok() const { return _error.empty(); }
    // "line 7: expected 4 hex digits in word 5, found 'X1'"; empty while the file is good.
    const std::string& error() const { return _error; }

protected:
    std::string _error;
};

// The format of a file from its first bytes (comments, blank lines and a byte-order mark
// skipped); nullopt with the reason in *why when the text fits none of them.
std::optional<RemoteFormat> detectFormat(std::string_view head, std::string* why);
// How many bytes detectFormat wants to see.
constexpr size_t kDetectBytes = 4096;

std::unique_ptr<ButtonReader> makeButtonReader(RemoteFormat format, std::istream& in);

// A button's name and what it sends, for the writers.
struct NamedTimings {
    std::string name;
    Timings timings;
};

// ---------------------------------------------------------------------------------------
// Shared by the readers.

// Lines of at most kRemoteMaxLineBytes, CR LF or LF ended, without the line end.
class LineReader {
public:
    explicit LineReader(std::istream& in) : _in(in) {}
    // False at the end of the text, or at a line that is too long (tooLong() then).
    bool next(std::string& line);
    size_t number() const { return _number; }
    bool tooLong() const { return _tooLong; }

private:
    std::istream& _in;
    size_t _number = 0;
    bool _tooLong = false;
};

std::string_view trimmedText(std::string_view text);
// Blank-separated words.
std::vector<std::string_view> splitWords(std::string_view text);
// A whole unsigned number: decimal, or hexadecimal with 0x; false when it is not one or
// is above limit.
bool parseUnsigned(std::string_view text, uint64_t limit, uint64_t& value);
// Splits "Power: rest" into a name and the rest; no name (empty) when the text before
// the first colon is empty or "b64".
void splitName(std::string_view line, std::string_view& name, std::string_view& rest);
// "line 12: " + what.
std::string lineError(size_t line, const std::string& what);

} // namespace irkit
