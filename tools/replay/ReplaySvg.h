// The replay drawn as SVG: the IR waveform on a time axis cut into rows (rows of nothing
// but silence are folded), each decoded frame marked with its bytes, each rejected frame
// with the window it missed and by how much, and the HID reports at the moments they were
// sent. The drawing keeps only the first kSvgMaxUs of the replay, so that its memory and
// size stay bounded; what lies beyond is named in the drawing and by the tool.
#pragma once

#include "irkit/IrTiming.h"
#include "tools/replay/ReplayFrames.h"

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace replay {

constexpr uint64_t kSvgMaxUs = 60000000; // one minute
constexpr uint64_t kSvgRowUs = 250000;

class SvgPlot {
public:
    void period(const irkit::IrTiming& period, uint64_t startUs);
    void frame(const FrameVerdict& verdict);
    void report(uint64_t timeUs, const std::string& meaning, bool release);
    void capture(uint64_t startUs, const std::string& title);

    // Writes the drawing of [0, endUs) (at most kSvgMaxUs); false with the reason when the
    // file cannot be written.
    bool write(const char* path, uint64_t endUs, std::string* error) const;
    bool cut() const { return _cut; }

private:
    bool keep(uint64_t timeUs);

    struct Mark {
        uint64_t timeUs;
        std::string text;
        bool release;
    };
    std::vector<std::pair<uint64_t, uint64_t>> _pulses; // start, end
    std::vector<FrameVerdict> _frames;
    std::vector<Mark> _reports;
    std::vector<Mark> _captures;
    std::set<uint64_t> _rows; // rows that hold something
    bool _cut = false;
};

} // namespace replay
