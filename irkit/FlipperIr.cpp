#include "irkit/FlipperIr.h"

#include "irkit/Encoders.h"

#include <cctype>
#include <cstdio>
#include <strings.h>

namespace irkit {

namespace {

bool sameName(std::string_view a, const char* b) {
    return a.size() == std::char_traits<char>::length(b) && strncasecmp(a.data(), b, a.size()) == 0;
}

// "04 00 00 00": four hex bytes, least significant first.
bool fourBytes(std::string_view text, uint32_t& value) {
    const std::vector<std::string_view> words = splitWords(text);
    if (words.size() != 4) {
        return false;
    }
    value = 0;
    for (size_t i = 0; i < 4; ++i) {
        uint64_t byte = 0;
        if (words[i].size() != 2 || !std::isxdigit(static_cast<unsigned char>(words[i][0])) ||
            !parseUnsigned("0x" + std::string(words[i]), 0xFF, byte)) {
            return false;
        }
        value |= static_cast<uint32_t>(byte) << (8 * i);
    }
    return true;
}

std::string hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

} // namespace

bool FlipperIrReader::fail(const std::string& what) {
    _error = lineError(_lines.number(), what);
    _ended = true;
    return false;
}

bool FlipperIrReader::next(RemoteButton& button) {
    while (!_ended) {
        if (!_lines.next(_line)) {
            _ended = true;
            if (_lines.tooLong()) {
                return fail("longer than " + std::to_string(kRemoteMaxLineBytes) + " bytes");
            }
            if (_header < 2) {
                _error = lineError(_lines.number(), "the file ends before its 'Filetype:' and "
                                                    "'Version:' lines");
                return false;
            }
            return _block.open && finish(button);
        }
        const std::string_view line = trimmedText(_line);
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            return fail("expected 'key: value', found " + quotedText(line));
        }
        const std::string_view key = trimmedText(line.substr(0, colon));
        const std::string_view value = trimmedText(line.substr(colon + 1));
        if (_header == 0) {
            if (key != "Filetype" || (value != "IR signals file" && value != "IR library file")) {
                return fail("expected 'Filetype: IR signals file', found " + quotedText(line));
            }
            _header = 1;
            continue;
        }
        if (_header == 1) {
            uint64_t version = 0;
            if (key != "Version" || !parseUnsigned(value, 1000, version)) {
                return fail("expected 'Version: 1', found " + quotedText(line));
            }
            _header = 2;
            continue;
        }
        if (key == "name") {
            const bool had = _block.open;
            RemoteButton finished;
            if (had && !finish(finished)) {
                return false;
            }
            _block = Block{};
            _block.open = true;
            _block.button.name = std::string(value);
            _block.button.line = _lines.number();
            if (value.empty()) {
                return fail("a signal without a name");
            }
            if (had) {
                button = std::move(finished);
                return true;
            }
            continue;
        }
        if (!_block.open) {
            return fail("expected 'name:' to begin a signal, found " + quotedText(line));
        }
        if (!field(key, value)) {
            return false;
        }
    }
    return false;
}

bool FlipperIrReader::field(std::string_view key, std::string_view value) {
    if (key == "type") {
        if (value != "raw" && value != "parsed") {
            return fail("expected 'type: raw' or 'type: parsed', found " + quotedText(value));
        }
        _block.type = std::string(value);
    } else if (key == "protocol") {
        _block.protocol = std::string(value);
        _block.protocolLine = _lines.number();
    } else if (key == "address" || key == "command") {
        const bool address = key == "address";
        if (!fourBytes(value, address ? _block.address : _block.command)) {
            return fail(std::string("expected four hex bytes after '") + std::string(key) +
                        ":' (as '04 00 00 00'), found " + quotedText(value));
        }
        (address ? _block.haveAddress : _block.haveCommand) = true;
        (address ? _block.addressLine : _block.commandLine) = _lines.number();
    } else if (key == "frequency" || key == "duty_cycle") {
        // The receiver demodulates whatever carrier it is given; only the periods matter.
    } else if (key == "data") {
        if (_block.type != "raw") {
            return fail("'data:' belongs to a raw signal ('type: raw' before it)");
        }
        const std::vector<std::string_view> words = splitWords(value);
        for (size_t i = 0; i < words.size(); ++i) {
            uint64_t us = 0;
            if (!parseUnsigned(words[i], 0xFFFFFFFF, us) || us == 0) {
                return fail("expected a duration of 1 to 4294967295 us in value " +
                            std::to_string(i + 1) + " of 'data:', found " + quotedText(words[i]));
            }
            if (_block.button.timings.size() >= kRemoteMaxPeriods) {
                return fail("more than " + std::to_string(kRemoteMaxPeriods) +
                            " periods in one signal");
            }
            append(_block.button.timings,
                   IrTiming{_block.values++ % 2 == 0, static_cast<uint32_t>(us)});
        }
    } else {
        return fail("unknown key " + quotedText(key) +
                    " (expected name, type, frequency, duty_cycle, data, protocol, address or "
                    "command)");
    }
    return true;
}

// The signal read so far, checked whole.
bool FlipperIrReader::finish(RemoteButton& button) {
    Block& b = _block;
    b.open = false;
    auto missing = [&](const char* what) {
        _error = lineError(b.button.line, "signal '" + b.button.name + "' has no '" + what +
                                              ":' (expected before the next 'name:' or the end)");
        _ended = true;
        return false;
    };
    if (b.type.empty()) {
        return missing("type");
    }
    if (b.type == "raw") {
        if (b.button.timings.empty()) {
            return missing("data");
        }
        button = std::move(b.button);
        return true;
    }
    if (b.protocol.empty()) {
        return missing("protocol");
    }
    if (!b.haveAddress) {
        return missing("address");
    }
    if (!b.haveCommand) {
        return missing("command");
    }
    button = std::move(b.button);
    button.protocol = b.protocol;
    // A value too large for its protocol is an error on its line.
    auto fits = [&](uint32_t value, uint32_t limit, size_t line, const char* what) {
        if (value <= limit) {
            return true;
        }
        _error =
            lineError(line, b.protocol + " " + what + " " + hex(value) + " is above " + hex(limit));
        _ended = true;
        return false;
    };
    const std::string_view protocol = b.protocol;
    if (sameName(protocol, "NEC")) {
        if (!fits(b.address, 0xFF, b.addressLine, "address") ||
            !fits(b.command, 0xFF, b.commandLine, "command")) {
            return false;
        }
        button.timings =
            necFrame(static_cast<uint16_t>(b.address), static_cast<uint8_t>(b.command));
    } else if (sameName(protocol, "NECext")) {
        if (!fits(b.address, 0xFFFF, b.addressLine, "address") ||
            !fits(b.command, 0xFFFF, b.commandLine, "command")) {
            return false;
        }
        const uint8_t bytes[4] = {
            static_cast<uint8_t>(b.address), static_cast<uint8_t>(b.address >> 8),
            static_cast<uint8_t>(b.command), static_cast<uint8_t>(b.command >> 8)};
        button.timings = necFrameBytes(bytes);
    } else if (sameName(protocol, "RC5") || sameName(protocol, "RC5X")) {
        const bool extended = sameName(protocol, "RC5X");
        if (!fits(b.address, 31, b.addressLine, "address") ||
            !fits(b.command, extended ? 127 : 63, b.commandLine, "command")) {
            return false;
        }
        button.timings = rc5Frame(static_cast<uint8_t>(b.address),
                                  static_cast<uint8_t>(b.command | (extended ? 0x40 : 0)), false);
    }
    return true;
}

std::string writeFlipperIr(const std::vector<NamedTimings>& buttons) {
    std::string text = "Filetype: IR signals file\nVersion: 1\n";
    for (const NamedTimings& b : buttons) {
        text += "#\nname: " + b.name + "\ntype: raw\nfrequency: 38000\nduty_cycle: 0.330000\ndata:";
        bool any = false;
        for (const IrTiming& t : b.timings) {
            if (!any && !t.pulse) {
                continue;
            }
            any = true;
            text += " " + std::to_string(t.microseconds);
        }
        text += "\n";
    }
    return text;
}

} // namespace irkit
