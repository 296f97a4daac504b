#include "tools/replay/ReplayFrames.h"

#include "irkit/Packetizer.h"

#include <cstdio>
#include <algorithm>
#include <cstdlib>

namespace replay {

// The decoder's windows (its sample units of 50 us, in microseconds).
const Window kLeaderPulseWindow{"leader pulse", 8750, 9250};
const Window kLeaderSpaceWindow{"leader space", 4250, 4750};
const Window kBitPulseWindow{"bit pulse", 300, 800};
const Window kZeroSpaceWindow{"0 space", 300, 800};
const Window kOneSpaceWindow{"1 space", 1450, 1950};

namespace {

constexpr Window kRepeatSpaceWindow{"repeat space", 2000, 2500};
// A space behind the stop pulse must be longer than any bit's.
constexpr uint32_t kGapAboveUs = 1950;
// Pulses from this length on are looked at as possible leaders.
constexpr uint32_t kLeaderCandidateUs = 6000;

// A period as the receiver reports it: rounded to the nearest 50 us, at least 50 us.
uint32_t reported(uint32_t microseconds) {
    uint64_t units =
        (static_cast<uint64_t>(microseconds) + irkit::kRlcUnitUs / 2) / irkit::kRlcUnitUs;
    units = units == 0 ? 1 : units;
    return static_cast<uint32_t>(std::min<uint64_t>(units * irkit::kRlcUnitUs, UINT32_MAX));
}

Measure measure(const Window& window, uint32_t microseconds, uint64_t startUs, std::string what) {
    Measure m;
    m.window = &window;
    m.us = reported(microseconds);
    m.startUs = startUs;
    m.what = std::move(what);
    const int64_t us = m.us;
    if (us < window.lowUs) {
        m.marginUs = static_cast<int32_t>(std::max<int64_t>(us - window.lowUs, INT32_MIN));
    } else if (us > window.highUs) {
        m.marginUs = static_cast<int32_t>(std::max<int64_t>(window.highUs - us, INT32_MIN));
    } else {
        m.marginUs = static_cast<int32_t>(std::min(us - window.lowUs, window.highUs - us));
    }
    return m;
}

std::string ms(int64_t microseconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f ms", microseconds / 1e3);
    return text;
}

} // namespace

std::string windowText(const Window& window) {
    char text[48];
    std::snprintf(text, sizeof text, "%.2f-%.2f ms", window.lowUs / 1e3, window.highUs / 1e3);
    return text;
}

std::string marginText(const Measure& measure) {
    return (measure.marginUs < 0 ? "-" : "+") + ms(std::abs(measure.marginUs));
}

std::string missText(const Measure& measure) {
    const bool below = measure.us < measure.window->lowUs;
    return measure.what + " " + ms(measure.us) + " is " +
           ms(-static_cast<int64_t>(measure.marginUs)) + (below ? " below" : " above") +
           " the window " + windowText(*measure.window);
}

std::string describe(const FrameVerdict& verdict) {
    char text[64];
    if (verdict.repeatCode) {
        return "NEC repeat code (a held button; it carries no command)";
    }
    std::string margins;
    if (verdict.leaderPulse.window != nullptr && verdict.leaderPulse.marginUs >= 0) {
        margins = "leader pulse " + marginText(verdict.leaderPulse);
        if (verdict.haveLeaderSpace && verdict.leaderSpace.marginUs >= 0) {
            margins += ", leader space " + marginText(verdict.leaderSpace);
        }
        if (verdict.haveWorstBit) {
            margins += ", worst bit " + marginText(verdict.worstBit) + " (" +
                       verdict.worstBit.what + " " + ms(verdict.worstBit.us) + ")";
        }
    }
    if (verdict.fits) {
        std::snprintf(text, sizeof text, "NEC frame %02x %02x %02x %02x, command 0x%02X",
                      verdict.bytes[0], verdict.bytes[1], verdict.bytes[2], verdict.bytes[3],
                      verdict.command);
        return std::string(text) + "; margins: " + margins;
    }
    std::string line = "NEC frame rejected: " + verdict.reason;
    if (!margins.empty()) {
        line += "; margins before: " + margins;
    }
    return line;
}

void FrameAnalyzer::add(const irkit::IrTiming& period, uint64_t startUs) {
    if (period.pulse && period.microseconds > _longestPulse) {
        _longestPulse = period.microseconds;
    }
    if (_periods.empty() && !(period.pulse && period.microseconds >= kLeaderCandidateUs)) {
        return;
    }
    _periods.push_back(Period{period, startUs});
    FrameVerdict verdict;
    size_t used = 0;
    while (!_periods.empty() && judge(false, verdict, used)) {
        _decided.push_back(verdict);
        verdict = FrameVerdict{};
        // Every pulse long enough to be a leader is judged, even one inside a failed frame.
        _periods.pop_front();
        while (!_periods.empty() && !(_periods.front().timing.pulse &&
                                      _periods.front().timing.microseconds >= kLeaderCandidateUs)) {
            _periods.pop_front();
        }
    }
}

void FrameAnalyzer::finish() {
    FrameVerdict verdict;
    size_t used = 0;
    while (!_periods.empty()) {
        judge(true, verdict, used);
        _decided.push_back(verdict);
        verdict = FrameVerdict{};
        _periods.pop_front();
        while (!_periods.empty() && !(_periods.front().timing.pulse &&
                                      _periods.front().timing.microseconds >= kLeaderCandidateUs)) {
            _periods.pop_front();
        }
    }
}

bool FrameAnalyzer::take(FrameVerdict& verdict) {
    if (_decided.empty()) {
        return false;
    }
    verdict = std::move(_decided.front());
    _decided.pop_front();
    return true;
}

bool FrameAnalyzer::judge(bool ended, FrameVerdict& verdict, size_t& used) {
    verdict = FrameVerdict{};
    const Period& leader = _periods[0];
    verdict.startUs = leader.startUs;
    auto endOf = [&](size_t i) { return _periods[i].startUs + _periods[i].timing.microseconds; };
    verdict.endUs = endOf(0);
    used = 1;
    verdict.leaderPulse =
        measure(kLeaderPulseWindow, leader.timing.microseconds, leader.startUs, "leader pulse");
    if (verdict.leaderPulse.marginUs < 0) {
        verdict.missed = verdict.leaderPulse;
        verdict.reason = missText(verdict.missed);
        return true;
    }
    // Waits for period i; false (undecided) while it may still come.
    auto have = [&](size_t i) { return i < _periods.size(); };
    if (!have(1)) {
        if (!ended) {
            return false;
        }
        verdict.reason = "the capture ends after the leader pulse";
        return true;
    }
    const Period& space = _periods[1];
    verdict.endUs = endOf(1);
    const Measure repeat =
        measure(kRepeatSpaceWindow, space.timing.microseconds, space.startUs, "leader space");
    if (repeat.marginUs >= 0) {
        verdict.repeatCode = true;
        return true;
    }
    verdict.leaderSpace =
        measure(kLeaderSpaceWindow, space.timing.microseconds, space.startUs, "leader space");
    verdict.haveLeaderSpace = true;
    if (verdict.leaderSpace.marginUs < 0) {
        verdict.missed = verdict.leaderSpace;
        verdict.reason = missText(verdict.missed);
        return true;
    }
    uint32_t bytes[4] = {};
    auto worse = [&](const Measure& m) {
        if (!verdict.haveWorstBit || m.marginUs < verdict.worstBit.marginUs) {
            verdict.worstBit = m;
            verdict.haveWorstBit = true;
        }
    };
    for (int bit = 0; bit < 32; bit++) {
        const size_t at = 2 + 2 * static_cast<size_t>(bit);
        char where[40];
        std::snprintf(where, sizeof where, "bit %d of byte %d", bit % 8, bit / 8);
        if (!have(at + 1)) {
            if (!ended) {
                return false;
            }
            verdict.reason = std::string("the capture ends at ") + where;
            return true;
        }
        const Period& pulse = _periods[at];
        const Period& gap = _periods[at + 1];
        verdict.endUs = endOf(at + 1);
        Measure p = measure(kBitPulseWindow, pulse.timing.microseconds, pulse.startUs,
                            std::string(where) + ": pulse");
        if (p.marginUs < 0) {
            verdict.missed = p;
            verdict.reason = missText(p);
            return true;
        }
        worse(p);
        Measure one = measure(kOneSpaceWindow, gap.timing.microseconds, gap.startUs,
                              std::string(where) + ": space");
        Measure zero = measure(kZeroSpaceWindow, gap.timing.microseconds, gap.startUs,
                               std::string(where) + ": space");
        if (one.marginUs >= 0) {
            bytes[bit / 8] |= 1u << (bit % 8);
            worse(one);
        } else if (zero.marginUs >= 0) {
            worse(zero);
        } else {
            verdict.missed = one.marginUs > zero.marginUs ? one : zero;
            verdict.reason = missText(verdict.missed) + " (it fits neither " +
                             windowText(kZeroSpaceWindow) + " for 0 nor " +
                             windowText(kOneSpaceWindow) + " for 1)";
            return true;
        }
    }
    for (int i = 0; i < 4; i++) {
        verdict.bytes[i] = static_cast<uint8_t>(bytes[i]);
    }
    verdict.command = static_cast<int>(bytes[2]);
    if (((~bytes[3]) & 0xFF) != bytes[2]) {
        char text[96];
        std::snprintf(text, sizeof text,
                      "command 0x%02X is not followed by its complement (0x%02X)", bytes[2],
                      bytes[3]);
        verdict.reason = text;
        return true;
    }
    if (!have(66)) {
        if (!ended) {
            return false;
        }
        verdict.reason = "the capture ends before the stop pulse";
        return true;
    }
    const Period& stop = _periods[66];
    verdict.endUs = endOf(66);
    Measure s = measure(kBitPulseWindow, stop.timing.microseconds, stop.startUs, "stop pulse");
    if (s.marginUs < 0) {
        verdict.missed = s;
        verdict.reason = missText(s);
        return true;
    }
    worse(s);
    if (!have(67)) {
        if (!ended) {
            return false;
        }
        verdict.fits = true; // the silence after the capture follows
        return true;
    }
    const Period& after = _periods[67];
    const uint32_t afterUs = reported(after.timing.microseconds);
    if (after.timing.pulse || afterUs <= kGapAboveUs) {
        verdict.reason =
            "the stop pulse is followed by " +
            (after.timing.pulse ? std::string("a pulse") : "a space of " + ms(afterUs)) +
            ", not by a space longer than 1.95 ms: more bits than NEC's 32";
        return true;
    }
    verdict.fits = true;
    return true;
}

} // namespace replay
