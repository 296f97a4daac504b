#include "irkit/Pronto.h"

#include "irkit/Encoders.h"
#include "irkit/Packetizer.h"

#include <cctype>
#include <cmath>
#include <cstdio>

namespace irkit {

namespace {

constexpr double kProntoUnitUs = 0.241246; // the Pronto clock's period, per carrier word

bool hexWord(std::string_view word, uint32_t& value) {
    if (word.size() != 4) {
        return false;
    }
    uint64_t number = 0;
    if (!std::isxdigit(static_cast<unsigned char>(word[0])) ||
        !parseUnsigned("0x" + std::string(word), 0xFFFF, number)) {
        return false;
    }
    value = static_cast<uint32_t>(number);
    return true;
}

std::string word(uint32_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value & 0xFFFF);
    return text;
}

struct Predefined {
    uint32_t form;
    const char* protocol;
};
// Forms named here without timings.
constexpr Predefined kPredefined[] = {
    {0x5001, "RC5X (Pronto 5001)"},
    {0x6000, "RC6 (Pronto 6000)"},
    {0x6001, "RC6A (Pronto 6001)"},
    {0x900A, "NEC (Pronto 900A)"},
};

// The receiver's 50 us unit of a period.
uint64_t receiverUnits(uint64_t us) {
    const uint64_t units = (us + kRlcUnitUs / 2) / kRlcUnitUs;
    return units == 0 ? 1 : units;
}

} // namespace

uint32_t prontoMicroseconds(uint32_t count, uint32_t carrierWord) {
    return static_cast<uint32_t>(std::llround(count * (carrierWord * kProntoUnitUs)));
}

bool ProntoReader::fail(const std::string& what) {
    _error = lineError(_lines.number(), what);
    return false;
}

bool ProntoReader::next(RemoteButton& button) {
    while (_error.empty()) {
        if (!_lines.next(_line)) {
            if (_lines.tooLong()) {
                return fail("longer than " + std::to_string(kRemoteMaxLineBytes) + " bytes");
            }
            return false;
        }
        const std::string_view line = trimmedText(_line);
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::string_view name, rest;
        splitName(line, name, rest);
        const std::vector<std::string_view> words = splitWords(rest);
        std::vector<uint32_t> w(words.size());
        for (size_t i = 0; i < words.size(); ++i) {
            if (!hexWord(words[i], w[i])) {
                return fail("expected 4 hex digits in word " + std::to_string(i + 1) + ", found " +
                            quotedText(words[i]));
            }
        }
        if (w.size() < 4) {
            return fail("a Pronto code opens with 4 words (form, carrier, once and repeat "
                        "pair counts); found " +
                        std::to_string(w.size()));
        }
        button = RemoteButton{};
        button.line = _lines.number();
        button.name = name.empty() ? "code " + std::to_string(++_unnamed) : std::string(name);
        const uint32_t form = w[0], carrier = w[1], once = w[2], repeat = w[3];
        if (form == 0x5000) {
            if (once + repeat != 1 || w.size() != 6) {
                return fail("an RC5 code (5000) holds one pair of words, address and command: "
                            "expected 6 words with counts 0000 0001, found " +
                            std::to_string(w.size()) + " words and counts " + word(once) + " " +
                            word(repeat));
            }
            if (w[4] > 31 || w[5] > 127) {
                return fail("RC5 address " + word(w[4]) + " (word 5) or command " + word(w[5]) +
                            " (word 6) is above 001F or 007F");
            }
            button.protocol = "RC5 (Pronto 5000)";
            button.timings =
                rc5Frame(static_cast<uint8_t>(w[4]), static_cast<uint8_t>(w[5]), false);
            return true;
        }
        if (form != 0x0000 && form != 0x0100) {
            for (const Predefined& p : kPredefined) {
                if (p.form == form) {
                    button.protocol = p.protocol;
                    return true;
                }
            }
            return fail("form " + word(form) +
                        " (word 1) is none of 0000, 0100, 5000, 5001, 6000, 6001, 900A");
        }
        if (carrier == 0) {
            return fail("carrier word 0000 (word 2): a learned code needs its carrier's period "
                        "to time its bursts");
        }
        if (once + repeat == 0) {
            return fail("no burst pairs: words 3 and 4 (once and repeat pair counts) are 0000");
        }
        const size_t burstWords = w.size() - 4;
        const size_t expected = 2 * static_cast<size_t>(once + repeat);
        if (burstWords != expected) {
            const std::string announced = "the header announces " + std::to_string(once) +
                                          " once and " + std::to_string(repeat) +
                                          " repeat burst pairs, " + std::to_string(expected) +
                                          " words";
            return fail(burstWords % 2 != 0
                            ? "an odd count of " + std::to_string(burstWords) +
                                  " burst words (each burst is an on and an off "
                                  "word); " +
                                  announced
                            : announced + ", but " + std::to_string(burstWords) + " follow");
        }
        // With no once part, the repeat part begins right after the header.
        const size_t count = 2 * static_cast<size_t>(once != 0 ? once : repeat);
        for (size_t i = 0; i < count; ++i) {
            const uint32_t units = w[4 + i];
            if (units == 0) {
                return fail("a burst of 0000 units in word " + std::to_string(5 + i));
            }
            append(button.timings, IrTiming{i % 2 == 0, prontoMicroseconds(units, carrier)});
        }
        if (once == 0) {
            button.notes.push_back("repeat part only: played once, as a held button sends it");
        }
        return true;
    }
    return false;
}

std::string writePronto(const Timings& timings, uint32_t carrierHz, uint32_t leadOutUs) {
    const uint32_t carrier = static_cast<uint32_t>(std::lround(1e6 / (carrierHz * kProntoUnitUs)));
    const double unitUs = carrier * kProntoUnitUs;
    std::vector<uint32_t> counts;
    auto add = [&](uint64_t us) {
        const int64_t nearest = std::llround(us / unitUs);
        int64_t chosen = std::min<int64_t>(std::max<int64_t>(nearest, 1), 0xFFFF);
        for (int64_t step : {0, -1, 1, -2, 2}) {
            const int64_t c = nearest + step;
            if (c >= 1 && c <= 0xFFFF &&
                receiverUnits(prontoMicroseconds(static_cast<uint32_t>(c), carrier)) ==
                    receiverUnits(us)) {
                chosen = c;
                break;
            }
        }
        counts.push_back(static_cast<uint32_t>(chosen));
    };
    for (const IrTiming& t : timings) {
        if (counts.empty() && !t.pulse) {
            continue;
        }
        add(t.microseconds);
    }
    if (counts.size() % 2 != 0) {
        add(leadOutUs);
    }
    std::string text =
        "0000 " + word(carrier) + " " + word(static_cast<uint32_t>(counts.size() / 2)) + " 0000";
    for (uint32_t c : counts) {
        text += " " + word(c);
    }
    return text;
}

std::string writeProntoLines(const std::vector<NamedTimings>& buttons) {
    std::string text;
    for (const NamedTimings& b : buttons) {
        text += b.name + ": " + writePronto(b.timings) + "\n";
    }
    return text;
}

} // namespace irkit
