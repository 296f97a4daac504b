#include "irkit/Mode2.h"

#include "irkit/QuotedText.h"

#include <cctype>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

namespace irkit {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> result;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && isBlank(line[i])) {
            ++i;
        }
        const size_t start = i;
        while (i < line.size() && !isBlank(line[i])) {
            ++i;
        }
        if (i > start) {
            result.push_back(line.substr(start, i - start));
        }
    }
    return result;
}

std::string quoted(std::string_view text) {
    return quotedText(text, 64);
}

// Reads a duration; on failure returns false and says why in problem.
bool readValue(std::string_view text, uint32_t& value, std::string& problem) {
    if (text.empty()) {
        problem = "missing value";
        return false;
    }
    if (text[0] == '-') {
        problem = "negative value " + quoted(text);
        return false;
    }
    uint64_t number = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            problem = "non-numeric value " + quoted(text);
            return false;
        }
        number = number * 10 + static_cast<uint64_t>(c - '0');
        if (number > 0xFFFFFFFFull) {
            problem = "value " + quoted(text) + " is too large";
            return false;
        }
    }
    if (number == 0) {
        problem = "zero duration";
        return false;
    }
    value = static_cast<uint32_t>(number);
    return true;
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Lines that LIRC's mode2 and ir-ctl print around the periods.
bool holdsNoPeriod(std::string_view line, std::string_view first) {
    return first == "carrier" || startsWith(line, "Using driver ") ||
           startsWith(line, "Using device") || startsWith(line, "Trying device") ||
           startsWith(line, "Running as regular user");
}

std::string_view trimmed(std::string_view text) {
    size_t begin = 0;
    while (begin < text.size() && isBlank(text[begin])) {
        ++begin;
    }
    size_t end = text.size();
    while (end > begin && isBlank(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

} // namespace

Mode2Reader::Mode2Reader(std::istream& in) : _in(in) {}

bool Mode2Reader::next(IrTiming& period) {
    while (true) {
        // The last period of the line may still grow with the next line; the ones before
        // it are done.
        if (_readyNext + 1 < _ready.size() || (_ended && _readyNext < _ready.size())) {
            period = _ready[_readyNext++];
            return true;
        }
        if (_ended) {
            return false;
        }
        if (_readyNext > 0) {
            _ready.erase(_ready.begin(), _ready.begin() + static_cast<long>(_readyNext));
            _readyNext = 0;
        }
        if (!readLine()) {
            _ended = true;
        }
    }
}

void Mode2Reader::add(IrTiming period) {
    append(_ready, period);
}

// Reads and parses one line; false at the end of the text or at an error.
bool Mode2Reader::readLine() {
    std::streambuf* buffer = _in.rdbuf();
    if (buffer == nullptr) {
        return false;
    }
    _line.clear();
    bool any = false;
    bool tooLong = false;
    while (true) {
        const int c = buffer->sbumpc();
        if (c == std::char_traits<char>::eof()) {
            break;
        }
        any = true;
        if (c == '\n') {
            break;
        }
        if (_line.size() < kMode2MaxLineBytes) {
            _line += static_cast<char>(c);
        } else {
            tooLong = true;
        }
    }
    if (!any) {
        return false;
    }
    ++_lineNumber;
    if (tooLong) {
        _problem = "longer than " + std::to_string(kMode2MaxLineBytes) + " characters";
    } else if (parseLine(_line)) {
        return true;
    }
    _errorLine = _lineNumber;
    _error = "line " + std::to_string(_lineNumber) + ": " + _problem;
    return false;
}

void Mode2Reader::skipped(std::string_view text) {
    if (_skippedLines++ == 0) {
        _firstSkipped = "line " + std::to_string(_lineNumber) + " " + quoted(text);
    }
    _note = "skipped " + std::to_string(_skippedLines) +
            (_skippedLines == 1 ? " line that holds" : " lines that hold") +
            " no period (header or carrier; first: " + _firstSkipped + ")";
}

bool Mode2Reader::parseLine(std::string_view text) {
    const size_t hash = text.find('#');
    if (hash != std::string_view::npos) {
        text = text.substr(0, hash);
    }
    const std::vector<std::string_view> items = words(text);
    if (items.empty()) {
        return true;
    }
    const std::string_view first = items[0];
    if (first[0] == '+' || first[0] == '-') {
        return signedValues(text);
    }
    if (holdsNoPeriod(trimmed(text), first)) {
        skipped(trimmed(text));
        return true;
    }
    bool isPulse;
    if (first == "pulse") {
        isPulse = true;
    } else if (first == "space" || first == "timeout") {
        isPulse = false;
    } else {
        _problem = "unknown word " + quoted(first);
        return false;
    }
    if (items.size() < 2) {
        _problem = "missing value after " + quoted(first);
        return false;
    }
    uint32_t value = 0;
    if (!readValue(items[1], value, _problem)) {
        _problem += " after " + quoted(first);
        return false;
    }
    if (items.size() > 2) {
        _problem = "unexpected " + quoted(items[2]) + " after the value";
        return false;
    }
    add(IrTiming{isPulse, value});
    return true;
}

bool Mode2Reader::signedValues(std::string_view text) {
    for (std::string_view item : words(text)) {
        if (item[0] != '+' && item[0] != '-') {
            _problem = "expected +N or -N, found " + quoted(item);
            return false;
        }
        uint32_t value = 0;
        if (!readValue(item.substr(1), value, _problem)) {
            _problem += " in " + quoted(item);
            return false;
        }
        add(IrTiming{item[0] == '+', value});
    }
    return true;
}

namespace {

Mode2Result readAll(std::istream& in) {
    Mode2Reader reader(in);
    Mode2Result result;
    IrTiming period{};
    while (reader.next(period)) {
        result.timings.push_back(period);
    }
    result.error = reader.error();
    result.errorLine = reader.errorLine();
    result.note = reader.note();
    return result;
}

} // namespace

Mode2Result parseMode2(std::string_view text) {
    std::istringstream in{std::string(text)};
    return readAll(in);
}

Mode2Result readMode2File(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        Mode2Result result;
        result.error = "cannot open '" + path + "'";
        return result;
    }
    Mode2Result result = readAll(file);
    if (!result.ok()) {
        result.error = path + ": " + result.error;
    }
    return result;
}

std::string writeMode2(const Timings& timings) {
    std::string text;
    text.reserve(timings.size() * 12);
    for (const IrTiming& timing : timings) {
        text += timing.pulse ? "pulse " : "space ";
        text += std::to_string(timing.microseconds);
        text += '\n';
    }
    return text;
}

} // namespace irkit
