#include "irkit/RemoteFile.h"

#include "irkit/Broadlink.h"
#include "irkit/FlipperIr.h"
#include "irkit/LircdConf.h"
#include "irkit/Mode2.h"
#include "irkit/Pronto.h"

#include <cctype>

namespace irkit {

namespace {

struct FormatName {
    RemoteFormat format;
    const char* name;
};
constexpr FormatName kFormatNames[] = {
    {RemoteFormat::Mode2, "mode2"},     {RemoteFormat::Flipper, "flipper"},
    {RemoteFormat::Pronto, "pronto"},   {RemoteFormat::Broadlink, "broadlink"},
    {RemoteFormat::LircdConf, "lircd"},
};

bool isHexWord(std::string_view word) {
    if (word.size() != 4) {
        return false;
    }
    for (char c : word) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// A capture read as a remote of one button, "capture".
class Mode2ButtonReader : public ButtonReader {
public:
    explicit Mode2ButtonReader(std::istream& in) : _reader(in) {}
    bool next(RemoteButton& button) override {
        if (_done) {
            return false;
        }
        _done = true;
        button = RemoteButton{};
        button.name = "capture";
        button.line = 1;
        IrTiming period{};
        while (_reader.next(period)) {
            if (button.timings.empty() && !period.pulse) {
                continue;
            }
            if (button.timings.size() >= kRemoteMaxPeriods) {
                _error = "more than " + std::to_string(kRemoteMaxPeriods) +
                         " periods: too long for one button (replay it as a capture)";
                return false;
            }
            append(button.timings, period);
        }
        if (!_reader.ok()) {
            _error = _reader.error();
            return false;
        }
        if (!_reader.note().empty()) {
            button.notes.push_back(_reader.note());
        }
        return true;
    }

private:
    Mode2Reader _reader;
    bool _done = false;
};

} // namespace

const char* formatName(RemoteFormat format) {
    for (const FormatName& entry : kFormatNames) {
        if (entry.format == format) {
            return entry.name;
        }
    }
    return "?";
}

std::optional<RemoteFormat> formatByName(std::string_view name) {
    for (const FormatName& entry : kFormatNames) {
        if (name == entry.name) {
            return entry.format;
        }
    }
    return std::nullopt;
}

std::optional<RemoteFormat> detectFormat(std::string_view head, std::string* why) {
    if (startsWith(head, "\xEF\xBB\xBF")) {
        head.remove_prefix(3);
    }
    size_t lineNumber = 0;
    while (!head.empty()) {
        const size_t end = head.find('\n');
        std::string_view line = trimmedText(head.substr(0, end));
        head = end == std::string_view::npos ? std::string_view() : head.substr(end + 1);
        ++lineNumber;
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (startsWith(line, "Filetype:")) {
            return RemoteFormat::Flipper;
        }
        const std::vector<std::string_view> words = splitWords(line);
        if (words.size() >= 2 && words[0] == "begin" && words[1] == "remote") {
            return RemoteFormat::LircdConf;
        }
        if (line[0] == '{' || line[0] == '[') {
            return RemoteFormat::Broadlink;
        }
        if (words[0] == "pulse" || words[0] == "space" ||
            ((words[0][0] == '+' || words[0][0] == '-') && words[0].size() > 1 &&
             std::isdigit(static_cast<unsigned char>(words[0][1]))) ||
            startsWith(line, "Using driver") || startsWith(line, "Using device")) {
            return RemoteFormat::Mode2;
        }
        std::string_view name, rest;
        splitName(line, name, rest);
        const std::vector<std::string_view> code = splitWords(rest);
        if (code.size() >= 2 && isHexWord(code[0]) && isHexWord(code[1])) {
            return RemoteFormat::Pronto;
        }
        rest = trimmedText(rest);
        if (startsWith(rest, "b64:") || startsWith(rest, "Jg") || startsWith(rest, "26 00") ||
            startsWith(rest, "2600")) {
            return RemoteFormat::Broadlink;
        }
        *why = lineError(lineNumber, quotedText(line) +
                                         " is none of the formats read here (a Flipper .ir file, "
                                         "Pronto hex, a Broadlink packet or code file, a "
                                         "lircd.conf, a mode2 capture)");
        return std::nullopt;
    }
    *why = "no code in the file (only blank or comment lines)";
    return std::nullopt;
}

std::unique_ptr<ButtonReader> makeButtonReader(RemoteFormat format, std::istream& in) {
    switch (format) {
        case RemoteFormat::Flipper:
            return std::make_unique<FlipperIrReader>(in);
        case RemoteFormat::Pronto:
            return std::make_unique<ProntoReader>(in);
        case RemoteFormat::Broadlink:
            return std::make_unique<BroadlinkReader>(in);
        case RemoteFormat::LircdConf:
            return std::make_unique<LircdConfReader>(in);
        case RemoteFormat::Mode2:
            break;
    }
    return std::make_unique<Mode2ButtonReader>(in);
}

// ---------------------------------------------------------------------------------------

bool LineReader::next(std::string& line) {
    line.clear();
    std::streambuf* buffer = _in.rdbuf();
    if (buffer == nullptr || _tooLong) {
        return false;
    }
    bool any = false;
    while (true) {
        const int c = buffer->sbumpc();
        if (c == std::char_traits<char>::eof() || c == '\n') {
            any = any || c == '\n';
            break;
        }
        any = true;
        if (line.size() >= kRemoteMaxLineBytes) {
            ++_number;
            _tooLong = true;
            return false;
        }
        line += static_cast<char>(c);
    }
    if (!any) {
        return false;
    }
    ++_number;
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return true;
}

std::string_view trimmedText(std::string_view text) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::vector<std::string_view> splitWords(std::string_view text) {
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) {
            ++i;
        }
        const size_t start = i;
        while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i]))) {
            ++i;
        }
        if (i > start) {
            words.push_back(text.substr(start, i - start));
        }
    }
    return words;
}

bool parseUnsigned(std::string_view text, uint64_t limit, uint64_t& value) {
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) {
        return false;
    }
    uint64_t number = 0;
    for (char c : text) {
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (base == 16 && std::isxdigit(static_cast<unsigned char>(c))) {
            digit = static_cast<unsigned>(std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
        } else {
            return false;
        }
        if (digit > limit || number > (limit - digit) / base) {
            return false;
        }
        number = number * base + digit;
    }
    value = number;
    return true;
}

void splitName(std::string_view line, std::string_view& name, std::string_view& rest) {
    const size_t colon = line.find(':');
    name =
        colon == std::string_view::npos ? std::string_view() : trimmedText(line.substr(0, colon));
    if (name.empty() || name == "b64") {
        name = std::string_view();
        rest = line;
        return;
    }
    rest = line.substr(colon + 1);
}

std::string lineError(size_t line, const std::string& what) {
    return "line " + std::to_string(line) + ": " + what;
}

} // namespace irkit
