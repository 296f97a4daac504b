#include "irkit/LircdConf.h"

#include <algorithm>
#include <cstdio>

namespace irkit {

namespace {

// Flags that change what one press sends and are modelled, or change only repeats.
constexpr const char* kModelledFlags[] = {"SPACE_ENC",   "RAW_CODES",   "CONST_LENGTH", "REVERSE",
                                          "NO_HEAD_REP", "NO_FOOT_REP", "REPEAT_HEADER"};
constexpr const char* kOtherEncodings[] = {"RC5",      "SHIFT_ENC", "RC6", "RCMM",   "SPACE_FIRST",
                                           "GOLDSTAR", "GRUNDIG",   "BO",  "SERIAL", "XMP"};
// Parameters of one number (or a name) that do not change one press's frame.
constexpr const char* kQuietParameters[] = {
    "eps",        "aeps",        "frequency",       "duty_cycle",      "repeat_gap",
    "driver",     "manual_sort", "suppress_repeat", "min_code_repeat", "ignore_mask",
    "repeat_mask"};
// Parameters that change the frame in ways the reader does not model.
constexpr const char* kNotModelled[] = {"foot", "rc6_mask",    "three", "two",
                                        "four", "serial_mode", "baud"};

template <size_t N> bool among(std::string_view word, const char* const (&list)[N]) {
    for (const char* item : list) {
        if (word == item) {
            return true;
        }
    }
    return false;
}

std::string hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

} // namespace

bool LircdConfReader::fail(const std::string& what) {
    _error = lineError(_lines.number(), what);
    return false;
}

bool LircdConfReader::next(RemoteButton& button) {
    while (_error.empty()) {
        if (!_lines.next(_line)) {
            if (_lines.tooLong()) {
                return fail("longer than " + std::to_string(kRemoteMaxLineBytes) + " bytes");
            }
            if (_state != State::Top) {
                return fail("the file ends inside remote '" + _remote.name + "' (expected 'end " +
                            (_state == State::Codes      ? "codes"
                             : _state == State::RawCodes ? "raw_codes"
                                                         : "remote") +
                            "')");
            }
            return false;
        }
        std::string_view text = _line;
        const size_t hash = text.find('#');
        if (hash != std::string_view::npos) {
            text = text.substr(0, hash);
        }
        const std::vector<std::string_view> w = splitWords(text);
        if (w.empty()) {
            continue;
        }
        const bool pairOf = w.size() == 2;
        switch (_state) {
            case State::Top:
                if (!(pairOf && w[0] == "begin" && w[1] == "remote")) {
                    return fail("expected 'begin remote', found " + quotedText(trimmedText(text)));
                }
                _remote = Remote{};
                _remote.line = _lines.number();
                _state = State::Remote;
                break;
            case State::Remote:
                if (pairOf && w[0] == "end" && w[1] == "remote") {
                    _state = State::Top;
                } else if (pairOf && w[0] == "begin" && w[1] == "codes") {
                    if (_remote.encoding.empty() &&
                        (_remote.bits == 0 || !_remote.one.given || !_remote.zero.given)) {
                        return fail("remote '" + _remote.name +
                                    "' lists codes without 'bits', 'one' and 'zero' to send "
                                    "them with");
                    }
                    _state = State::Codes;
                } else if (pairOf && w[0] == "begin" && w[1] == "raw_codes") {
                    _state = State::RawCodes;
                } else if (!parameter(w)) {
                    return false;
                }
                break;
            case State::Codes:
                if (pairOf && w[0] == "end" && w[1] == "codes") {
                    _state = State::Remote;
                    break;
                }
                return code(w, button);
            case State::RawCodes: {
                const bool end = pairOf && w[0] == "end" && w[1] == "raw_codes";
                if (end || w[0] == "name") {
                    const bool had = _rawOpen;
                    RemoteButton finished = std::move(_raw);
                    _raw = RemoteButton{};
                    _rawOpen = !end;
                    _rawValues = 0;
                    if (end) {
                        _state = State::Remote;
                    } else if (w.size() != 2) {
                        return fail("expected 'name BUTTON', found " +
                                    quotedText(trimmedText(text)));
                    } else {
                        _raw.name = _remote.name + "/" + std::string(w[1]);
                        _raw.line = _lines.number();
                        _raw.notes = _remote.notes;
                    }
                    if (had) {
                        if (finished.timings.empty()) {
                            _error = lineError(finished.line,
                                               "raw code '" + finished.name + "' has no periods");
                            return false;
                        }
                        button = std::move(finished);
                        return true;
                    }
                    break;
                }
                if (!_rawOpen) {
                    return fail("expected 'name BUTTON' before the periods, found " +
                                quotedText(w[0]));
                }
                for (size_t i = 0; i < w.size(); ++i) {
                    uint64_t us = 0;
                    if (!parseUnsigned(w[i], 0xFFFFFFFF, us) || us == 0) {
                        return fail("expected a duration of 1 to 4294967295 us in word " +
                                    std::to_string(i + 1) + ", found " + quotedText(w[i]));
                    }
                    if (_raw.timings.size() >= kRemoteMaxPeriods) {
                        return fail("more than " + std::to_string(kRemoteMaxPeriods) +
                                    " periods in one raw code");
                    }
                    append(_raw.timings,
                           IrTiming{_rawValues++ % 2 == 0, static_cast<uint32_t>(us)});
                }
                break;
            }
        }
    }
    return false;
}

bool LircdConfReader::parameter(const std::vector<std::string_view>& w) {
    const std::string key(w[0]);
    const std::string where = " (line " + std::to_string(_lines.number()) + ")";
    if (key == "name") {
        if (w.size() != 2) {
            return fail("expected 'name REMOTE', found " + std::to_string(w.size() - 1) +
                        " words after 'name'");
        }
        _remote.name = std::string(w[1]);
        return true;
    }
    if (key == "flags") {
        std::string flags;
        for (size_t i = 1; i < w.size(); ++i) {
            flags += std::string(w[i]);
        }
        size_t start = 0;
        while (start <= flags.size()) {
            size_t bar = flags.find('|', start);
            bar = bar == std::string::npos ? flags.size() : bar;
            const std::string flag = flags.substr(start, bar - start);
            start = bar + 1;
            if (among(flag, kOtherEncodings)) {
                _remote.encoding = flag;
            } else if (flag == "REVERSE") {
                _remote.reverse = true;
            } else if (!among(flag, kModelledFlags)) {
                return fail("unknown flag " + quotedText(flag));
            }
        }
        return true;
    }
    if (among(key, kNotModelled)) {
        _remote.notes.push_back("'" + key + "'" + where +
                                " is not modelled: the frame is sent without it");
        return true;
    }
    if (among(key, kQuietParameters)) {
        return true;
    }
    std::vector<uint64_t> values;
    for (size_t i = 1; i < w.size(); ++i) {
        uint64_t value = 0;
        if (!parseUnsigned(w[i], UINT64_MAX, value)) {
            return fail("expected a number after " + quotedText(key) + ", found " +
                        quotedText(w[i]));
        }
        values.push_back(value);
    }
    const size_t wanted = key == "header" || key == "one" || key == "zero" || key == "pre" ||
                                  key == "post" || key == "repeat"
                              ? 2
                          : key == "gap" ? values.size()
                                         : 1;
    if (values.size() != wanted || values.empty()) {
        return fail("expected " + std::to_string(wanted == 0 ? 1 : wanted) + " number(s) after " +
                    quotedText(key) + ", found " + std::to_string(values.size()));
    }
    auto us = [&](uint64_t value) {
        return static_cast<uint32_t>(std::min<uint64_t>(value, UINT32_MAX));
    };
    Pair pair{us(values[0]), values.size() > 1 ? us(values[1]) : 0, true};
    if (key == "bits" || key == "pre_data_bits" || key == "post_data_bits") {
        if (values[0] > 64) {
            return fail(quotedText(key) + " " + std::to_string(values[0]) + " is above 64");
        }
        (key == "bits"            ? _remote.bits
         : key == "pre_data_bits" ? _remote.preBits
                                  : _remote.postBits) = values[0];
    } else if (key == "pre_data" || key == "post_data") {
        (key == "pre_data" ? _remote.pre : _remote.post) = values[0];
    } else if (key == "header" || key == "one" || key == "zero" || key == "pre" || key == "post") {
        (key == "header" ? _remote.header
         : key == "one"  ? _remote.one
         : key == "zero" ? _remote.zero
         : key == "pre"  ? _remote.preP
                         : _remote.postP) = pair;
    } else if (key == "plead" || key == "ptrail" || key == "gap") {
        (key == "plead"    ? _remote.plead
         : key == "ptrail" ? _remote.ptrail
                           : _remote.gap) = pair.pulse;
    } else if (key == "toggle_bit_mask" || key == "toggle_bit" || key == "toggle_mask") {
        if (values[0] != 0) {
            _remote.notes.push_back("'" + key + " " + hex(values[0]) + "'" + where +
                                    ": toggle bits sent as written, as a first press sends them");
        }
    } else if (key == "min_repeat") {
        if (values[0] != 0) {
            _remote.notes.push_back("'min_repeat " + std::to_string(values[0]) + "'" + where +
                                    ": irsend adds repeats; one frame is played");
        }
    } else if (key != "repeat") {
        _remote.notes.push_back("'" + key + "'" + where +
                                " is not a parameter this reader knows; passed over");
    }
    return true;
}

Timings LircdConfReader::encode(uint64_t value) const {
    const Remote& r = _remote;
    Timings t;
    auto bits = [&](uint64_t v, uint64_t count) {
        for (uint64_t k = 0; k < count; ++k) {
            const uint64_t bit = r.reverse ? k : count - 1 - k;
            const Pair& p = (v >> bit) & 1 ? r.one : r.zero;
            append(t, pulse(p.pulse));
            append(t, space(p.space));
        }
    };
    auto pair = [&](const Pair& p) {
        if (p.given) {
            append(t, pulse(p.pulse));
            append(t, space(p.space));
        }
    };
    pair(r.header);
    append(t, pulse(r.plead));
    bits(r.pre, r.preBits);
    pair(r.preP);
    bits(value, r.bits);
    pair(r.postP);
    bits(r.post, r.postBits);
    append(t, pulse(r.ptrail));
    while (!t.empty() && !t.front().pulse) {
        t.erase(t.begin());
    }
    return t;
}

bool LircdConfReader::code(const std::vector<std::string_view>& w, RemoteButton& button) {
    if (w.size() < 2) {
        return fail("expected a button name and its code, found " + quotedText(w[0]) + " alone");
    }
    button = RemoteButton{};
    button.name = _remote.name + "/" + std::string(w[0]);
    button.line = _lines.number();
    button.notes = _remote.notes;
    if (!_remote.encoding.empty()) {
        button.protocol = _remote.encoding + " (a lircd.conf encoding this reader does not model)";
        return true;
    }
    for (size_t i = 1; i < w.size(); ++i) {
        uint64_t value = 0;
        if (!parseUnsigned(w[i], UINT64_MAX, value)) {
            return fail("expected a code (0x... or decimal) in word " + std::to_string(i + 1) +
                        ", found " + quotedText(w[i]));
        }
        if (_remote.bits < 64 && (value >> _remote.bits) != 0) {
            return fail("code " + hex(value) + " does not fit the remote's " +
                        std::to_string(_remote.bits) + " bits");
        }
        if (i > 1) {
            append(button.timings, space(_remote.gap != 0 ? _remote.gap : 100000));
        }
        append(button.timings, encode(value));
    }
    if (w.size() > 2) {
        button.notes.push_back(std::to_string(w.size() - 1) + " codes, sent one after another");
    }
    return true;
}

std::string writeLircdConf(const std::string& remoteName,
                           const std::vector<NamedTimings>& buttons) {
    std::string text = "begin remote\n  name  " + remoteName +
                       "\n  flags RAW_CODES\n  eps   30\n  aeps  100\n  gap   100000\n"
                       "  begin raw_codes\n";
    for (const NamedTimings& b : buttons) {
        text += "    name " + b.name + "\n";
        size_t column = 0;
        bool any = false;
        for (const IrTiming& t : b.timings) {
            if (!any && !t.pulse) {
                continue; // a raw code starts with its first pulse
            }
            any = true;
            text += (column == 0 ? "      " : " ") + std::to_string(t.microseconds);
            if (++column == 6) {
                text += "\n";
                column = 0;
            }
        }
        if (column != 0) {
            text += "\n";
        }
    }
    return text + "  end raw_codes\nend remote\n";
}

} // namespace irkit
