#include "irkit/Broadlink.h"

#include "irkit/Packetizer.h"

#include <cctype>
#include <cmath>
#include <cstdio>

namespace irkit {

namespace {

constexpr uint8_t kTypeIr = 0x26;
constexpr uint8_t kTypeRf433 = 0xB2;
constexpr uint8_t kTypeRf315 = 0xD7;
constexpr double kTickUs = 1e6 / 32768;
constexpr uint32_t kTrailerTicks = 0x0D05;
constexpr size_t kMostJsonDepth = 64;

std::string byteText(uint8_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    if (c == '+' || c == '-') {
        return 62;
    }
    if (c == '/' || c == '_') {
        return 63;
    }
    return -1;
}

bool isHexText(std::string_view text) {
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ' ') {
            return false;
        }
    }
    return true;
}

// The packet's bytes from its text; false with the reason.
bool packetBytes(std::string_view text, std::vector<uint8_t>& bytes, std::string* problem) {
    text = trimmedText(text);
    if (startsWith(text, "b64:")) {
        text.remove_prefix(4);
    }
    bytes.clear();
    if (isHexText(text)) {
        std::string digits;
        for (char c : text) {
            if (c != ' ') {
                digits += c;
            }
        }
        if (digits.size() % 2 != 0) {
            *problem = "an odd count of " + std::to_string(digits.size()) +
                       " hex digits: expected two per byte";
            return false;
        }
        for (size_t i = 0; i < digits.size(); i += 2) {
            bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
        }
        return true;
    }
    uint32_t bits = 0;
    int have = 0;
    size_t padding = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '=') {
            ++padding;
            continue;
        }
        const int value = base64Value(c);
        if (value < 0 || padding != 0) {
            *problem = "character " + std::to_string(i + 1) + " " + quotedText(text.substr(i, 1)) +
                       " is not base64 (nor is the text hex digits)";
            return false;
        }
        bits = (bits << 6) | static_cast<uint32_t>(value);
        have += 6;
        if (have >= 8) {
            have -= 8;
            bytes.push_back(static_cast<uint8_t>(bits >> have));
        }
    }
    return true;
}

// Whether a JSON string holds a packet (rather than a name or a description).
bool looksLikePacket(std::string_view text) {
    if (startsWith(text, "b64:")) {
        return true;
    }
    if (text.size() < 8) {
        return false;
    }
    if (isHexText(text)) {
        const std::string head(text.substr(0, 2));
        return head == "26" || head == "b2" || head == "B2" || head == "d7" || head == "D7";
    }
    return startsWith(text, "Jg") || startsWith(text, "sg") || startsWith(text, "1w");
}

uint64_t receiverUnits(uint64_t us) {
    const uint64_t units = (us + kRlcUnitUs / 2) / kRlcUnitUs;
    return units == 0 ? 1 : units;
}

uint32_t ticksToUs(uint32_t ticks) {
    return static_cast<uint32_t>(std::llround(ticks * kTickUs));
}

} // namespace

bool parseBroadlinkPacket(std::string_view text, RemoteButton& button, std::string* problem) {
    std::vector<uint8_t> p;
    if (!packetBytes(text, p, problem)) {
        return false;
    }
    if (p.size() < 4) {
        *problem = "a packet of " + std::to_string(p.size()) +
                   " bytes: expected at least its 4 header bytes (type, repeat count, length)";
        return false;
    }
    if (p[0] == kTypeRf433 || p[0] == kTypeRf315) {
        button.protocol = p[0] == kTypeRf433 ? "433 MHz radio (Broadlink type 0xB2)"
                                             : "315 MHz radio (Broadlink type 0xD7)";
        return true;
    }
    if (p[0] != kTypeIr) {
        *problem = "byte 0: type " + byteText(p[0]) + " is not infrared (0x26) nor radio";
        return false;
    }
    const size_t declared = p[2] | static_cast<size_t>(p[3]) << 8;
    const size_t end = 4 + declared;
    if (end > p.size()) {
        *problem = "cut short: bytes 2-3 declare " + std::to_string(declared) +
                   " bytes of durations, but the packet ends after " +
                   std::to_string(p.size() - 4) + " (at byte " + std::to_string(p.size()) + ")";
        return false;
    }
    Timings once;
    bool pulse = true;
    size_t i = 4;
    while (i < end) {
        uint32_t ticks = p[i];
        if (end - i == 2 && p[i] == 0x0D && p[i + 1] == 0x05) {
            i = end; // the trailer
            break;
        }
        if (ticks == 0) {
            if (end - i < 3) {
                *problem = "byte " + std::to_string(i) +
                           ": a long duration (0x00) needs two more bytes inside the declared "
                           "length, which ends at byte " +
                           std::to_string(end);
                return false;
            }
            ticks = static_cast<uint32_t>(p[i + 1]) << 8 | p[i + 2];
            if (ticks == 0) {
                *problem = "byte " + std::to_string(i) + ": a long duration of 0 ticks";
                return false;
            }
            i += 3;
        } else {
            ++i;
        }
        once.push_back(IrTiming{pulse, ticksToUs(ticks)});
        pulse = !pulse;
    }
    if (end + 2 <= p.size() && p[end] == 0x0D && p[end + 1] == 0x05) {
        i += 2;
    }
    for (; i < p.size(); ++i) {
        if (p[i] != 0) {
            *problem = "byte " + std::to_string(i) + ": " + byteText(p[i]) + " after the " +
                       std::to_string(declared) +
                       " bytes of durations that bytes 2-3 declare: the declared length is "
                       "shorter than the data";
            return false;
        }
    }
    if (once.empty()) {
        *problem = "no durations: bytes 2-3 declare " + std::to_string(declared) + " bytes";
        return false;
    }
    const size_t copies = static_cast<size_t>(p[1]) + 1;
    if (copies * once.size() > kRemoteMaxPeriods) {
        *problem = "byte 1: " + std::to_string(copies) + " copies of " +
                   std::to_string(once.size()) + " periods are more than " +
                   std::to_string(kRemoteMaxPeriods);
        return false;
    }
    button.timings.clear();
    for (size_t copy = 0; copy < copies; ++copy) {
        if (copy > 0 && once.back().pulse) {
            append(button.timings, space(ticksToUs(kTrailerTicks)));
        }
        append(button.timings, once);
    }
    if (copies > 1) {
        button.notes.push_back("repeat count " + std::to_string(copies - 1) + ": sent " +
                               std::to_string(copies) + " times");
    }
    return true;
}

// ---------------------------------------------------------------------------------------

bool BroadlinkReader::next(RemoteButton& button) {
    if (!_error.empty()) {
        return false;
    }
    if (_mode == 0) {
        // The first line that holds anything tells JSON from lines.
        while (_lines.next(_line)) {
            const std::string_view line = trimmedText(_line);
            if (line.empty() || line[0] == '#') {
                continue;
            }
            if (line[0] == '{' || line[0] == '[') {
                _mode = 2;
                _jsonLine = _lines.number();
                _line = std::string(line) + "\n";
                _pushed = 0;
                return nextJson(button);
            }
            _mode = 1;
            _pendingLine = true;
            return nextLine(button);
        }
        if (_lines.tooLong()) {
            _error = lineError(_lines.number(),
                               "longer than " + std::to_string(kRemoteMaxLineBytes) + " bytes");
        }
        return false;
    }
    return _mode == 1 ? nextLine(button) : nextJson(button);
}

bool BroadlinkReader::nextLine(RemoteButton& button) {
    while (_pendingLine || _lines.next(_line)) {
        _pendingLine = false;
        const std::string_view line = trimmedText(_line);
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::string_view name, rest;
        splitName(line, name, rest);
        button = RemoteButton{};
        button.line = _lines.number();
        button.name = name.empty() ? "code " + std::to_string(++_unnamed) : std::string(name);
        std::string problem;
        if (!parseBroadlinkPacket(rest, button, &problem)) {
            _error = lineError(_lines.number(), problem);
            return false;
        }
        return true;
    }
    if (_lines.tooLong()) {
        _error = lineError(_lines.number(),
                           "longer than " + std::to_string(kRemoteMaxLineBytes) + " bytes");
    }
    return false;
}

int BroadlinkReader::get() {
    int c;
    if (_ahead != -2) {
        c = _ahead;
        _ahead = -2;
        return c;
    }
    if (_pushed < _line.size()) {
        c = static_cast<unsigned char>(_line[_pushed++]);
    } else {
        c = _in.rdbuf() != nullptr ? _in.rdbuf()->sbumpc() : -1;
        c = c == std::char_traits<char>::eof() ? -1 : c;
    }
    if (c == '\n') {
        ++_jsonLine;
    }
    return c;
}

int BroadlinkReader::peek() {
    int c;
    do {
        c = get();
    } while (c == ' ' || c == '\t' || c == '\r' || c == '\n');
    _ahead = c;
    return c;
}

bool BroadlinkReader::jsonFail(const std::string& what) {
    _error = lineError(_jsonLine, what);
    return false;
}

// After the opening quote.
bool BroadlinkReader::readString(std::string& text) {
    text.clear();
    while (true) {
        int c = get();
        if (c < 0) {
            return jsonFail("the text ends inside a string");
        }
        if (c == '"') {
            return true;
        }
        if (c < 0x20) {
            return jsonFail("a control character " + byteText(static_cast<uint8_t>(c)) +
                            " inside a string");
        }
        if (c == '\\') {
            c = get();
            switch (c) {
                case 'n':
                    c = '\n';
                    break;
                case 't':
                    c = '\t';
                    break;
                case 'r':
                    c = '\r';
                    break;
                case 'b':
                    c = '\b';
                    break;
                case 'f':
                    c = '\f';
                    break;
                case 'u': {
                    uint32_t code = 0;
                    for (int k = 0; k < 4; ++k) {
                        const int h = get();
                        if (h < 0 || !std::isxdigit(h)) {
                            return jsonFail("expected 4 hex digits after \\u");
                        }
                        code = code * 16 + static_cast<uint32_t>(std::isdigit(h)
                                                                     ? h - '0'
                                                                     : std::tolower(h) - 'a' + 10);
                    }
                    c = code < 0x80 ? static_cast<int>(code) : '?';
                    break;
                }
                case '"':
                case '\\':
                case '/':
                    break;
                default:
                    return jsonFail("unknown escape in a string");
            }
        }
        if (text.size() >= kRemoteMaxLineBytes) {
            return jsonFail("a string longer than " + std::to_string(kRemoteMaxLineBytes) +
                            " bytes");
        }
        text += static_cast<char>(c);
    }
}

std::string BroadlinkReader::path() const {
    std::string name;
    for (size_t i = 0; i < _stack.size(); ++i) {
        const Level& level = _stack[i];
        std::string part = level.object ? level.key : std::to_string(level.index + 1);
        if (i == 0 && _stack.size() > 1 && level.object && (part == "commands" || part == "data")) {
            continue;
        }
        name += (name.empty() ? "" : "/") + part;
    }
    return name;
}

bool BroadlinkReader::nextJson(RemoteButton& button) {
    std::string text;
    auto closed = [&]() {
        _stack.pop_back();
        _expect = _stack.empty() ? Expect::End : Expect::CommaOrEnd;
    };
    while (_error.empty()) {
        const int c = peek();
        const std::string found =
            c < 0 ? "the end of the text" : quotedText(std::string(1, static_cast<char>(c)));
        switch (_expect) {
            case Expect::End:
                if (c >= 0) {
                    return jsonFail("text after the end of the JSON value: " + found);
                }
                return false;
            case Expect::KeyOrEnd:
            case Expect::Key:
                if (c == '}' && _expect == Expect::KeyOrEnd) {
                    get();
                    closed();
                    break;
                }
                if (c != '"') {
                    return jsonFail("expected a key in quotes, found " + found);
                }
                get();
                if (!readString(_stack.back().key)) {
                    return false;
                }
                _expect = Expect::Colon;
                break;
            case Expect::Colon:
                if (c != ':') {
                    return jsonFail("expected ':' after the key " + quotedText(_stack.back().key) +
                                    ", found " + found);
                }
                get();
                _expect = Expect::Value;
                break;
            case Expect::CommaOrEnd: {
                Level& top = _stack.back();
                get();
                if (c == ',') {
                    _expect = top.object ? Expect::Key : Expect::Value;
                    top.index += top.object ? 0 : 1;
                } else if (c == (top.object ? '}' : ']')) {
                    closed();
                } else {
                    return jsonFail(std::string("expected ',' or '") + (top.object ? '}' : ']') +
                                    "', found " + found);
                }
                break;
            }
            case Expect::ValueOrEnd:
            case Expect::Value:
                if (c == ']' && _expect == Expect::ValueOrEnd) {
                    get();
                    closed();
                    break;
                }
                if (c == '{' || c == '[') {
                    if (_stack.size() >= kMostJsonDepth) {
                        return jsonFail("nested deeper than " + std::to_string(kMostJsonDepth));
                    }
                    get();
                    _stack.push_back(Level{c == '{', "", 0});
                    _expect = c == '{' ? Expect::KeyOrEnd : Expect::ValueOrEnd;
                    break;
                }
                _expect = _stack.empty() ? Expect::End : Expect::CommaOrEnd;
                if (c == '"') {
                    const size_t line = _jsonLine;
                    get();
                    if (!readString(text)) {
                        return false;
                    }
                    if (!looksLikePacket(text)) {
                        break;
                    }
                    button = RemoteButton{};
                    button.line = line;
                    button.name = path();
                    if (button.name.empty()) {
                        button.name = "code " + std::to_string(++_unnamed);
                    }
                    std::string problem;
                    if (!parseBroadlinkPacket(text, button, &problem)) {
                        _error = lineError(line, "'" + button.name + "': " + problem);
                        return false;
                    }
                    return true;
                }
                // A number, true, false or null: passed over.
                text.clear();
                while (c >= 0) {
                    const int k = peek();
                    if (!(std::isalnum(k) || k == '-' || k == '+' || k == '.')) {
                        break;
                    }
                    text += static_cast<char>(get());
                }
                if (text.empty() ||
                    !(text == "true" || text == "false" || text == "null" ||
                      std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '-')) {
                    return jsonFail("expected a value (string, number, object, array, true, "
                                    "false or null), found " +
                                    (text.empty() ? found : quotedText(text)));
                }
                break;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------------------

std::string writeBroadlink(const Timings& timings, bool base64) {
    std::vector<uint8_t> p = {kTypeIr, 0, 0, 0};
    auto add = [&](uint64_t us) {
        const int64_t nearest = std::llround(us / kTickUs);
        int64_t chosen = std::min<int64_t>(std::max<int64_t>(nearest, 1), 0xFFFF);
        for (int64_t step : {0, -1, 1, -2, 2}) {
            const int64_t t = nearest + step;
            if (t >= 1 && t <= 0xFFFF &&
                receiverUnits(ticksToUs(static_cast<uint32_t>(t))) == receiverUnits(us)) {
                chosen = t;
                break;
            }
        }
        if (chosen < 256) {
            p.push_back(static_cast<uint8_t>(chosen));
        } else {
            p.push_back(0);
            p.push_back(static_cast<uint8_t>(chosen >> 8));
            p.push_back(static_cast<uint8_t>(chosen));
        }
    };
    bool any = false;
    bool lastPulse = false;
    for (const IrTiming& t : timings) {
        if (!any && !t.pulse) {
            continue;
        }
        any = true;
        add(t.microseconds);
        lastPulse = t.pulse;
    }
    if (lastPulse) {
        add(ticksToUs(kTrailerTicks));
    }
    const size_t declared = p.size() - 4;
    p[2] = static_cast<uint8_t>(declared);
    p[3] = static_cast<uint8_t>(declared >> 8);
    std::string text;
    if (!base64) {
        char byte[4];
        for (uint8_t b : p) {
            std::snprintf(byte, sizeof byte, "%02x", b);
            text += byte;
        }
        return text;
    }
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (size_t i = 0; i < p.size(); i += 3) {
        const uint32_t chunk = static_cast<uint32_t>(p[i]) << 16 |
                               (i + 1 < p.size() ? p[i + 1] << 8 : 0) |
                               (i + 2 < p.size() ? p[i + 2] : 0);
        text += kAlphabet[chunk >> 18 & 63];
        text += kAlphabet[chunk >> 12 & 63];
        text += i + 1 < p.size() ? kAlphabet[chunk >> 6 & 63] : '=';
        text += i + 2 < p.size() ? kAlphabet[chunk & 63] : '=';
    }
    return text;
}

std::string writeBroadlinkLines(const std::vector<NamedTimings>& buttons, bool base64) {
    std::string text;
    for (const NamedTimings& b : buttons) {
        text += b.name + ": " + writeBroadlink(b.timings, base64) + "\n";
    }
    return text;
}

} // namespace irkit
