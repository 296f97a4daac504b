// NEC frames measured against the decoder's windows as the periods stream past: every
// frame with how far its leader pulse, leader space and worst bit lie from the edges of
// their windows, every rejected frame with the window it missed and by how much.
#pragma once

#include "irkit/IrTiming.h"

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace replay {

// A window of the NEC decoder, in microseconds as the receiver reports them (rounded to
// 50 us); both ends belong to it.
struct Window {
    const char* name;
    uint32_t lowUs, highUs;
};
extern const Window kLeaderPulseWindow, kLeaderSpaceWindow, kBitPulseWindow, kZeroSpaceWindow,
    kOneSpaceWindow;

// Where one period lies against a window: margin > 0 inside by that much from the nearer
// edge, < 0 outside by that much.
struct Measure {
    const Window* window = nullptr;
    uint32_t us = 0;      // the period as the receiver reports it
    uint64_t startUs = 0; // when the period began
    int32_t marginUs = 0;
    std::string what; // "leader pulse", "bit 3 of byte 1: space" ...
};

struct FrameVerdict {
    uint64_t startUs = 0; // leader pulse start
    uint64_t endUs = 0;   // end of the last period looked at
    bool fits = false;    // the decoder takes it
    bool repeatCode = false;
    uint8_t bytes[4] = {};
    int command = -1; // once all 32 bits were read
    Measure leaderPulse, leaderSpace, worstBit;
    bool haveLeaderSpace = false, haveWorstBit = false;
    Measure missed; // the window that rejected it (window null: no window, see reason)
    std::string reason;
};

std::string windowText(const Window& window);
std::string marginText(const Measure& measure);
// "leader space 5.00 ms is 0.25 ms above the window 4.25-4.75 ms"
std::string missText(const Measure& measure);
std::string describe(const FrameVerdict& verdict);

// Takes the periods in order; hands out verdicts once they are decided. Holds at most one
// frame's periods.
class FrameAnalyzer {
public:
    void add(const irkit::IrTiming& period, uint64_t startUs);
    void finish();
    bool take(FrameVerdict& verdict); // the oldest decided verdict

    // The longest pulse so far (to tell a capture of another protocol).
    uint32_t longestPulseUs() const { return _longestPulse; }

private:
    struct Period {
        irkit::IrTiming timing;
        uint64_t startUs;
    };
    // Decides the frame that starts at _periods[0]; false while more periods are needed.
    bool judge(bool ended, FrameVerdict& verdict, size_t& used);

    std::deque<Period> _periods; // from a possible leader on
    std::deque<FrameVerdict> _decided;
    uint32_t _longestPulse = 0;
};

} // namespace replay
