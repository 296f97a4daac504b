// The replay drawn as SVG: the IR waveform on a time axis cut into rows of at most
// kSvgRowUs, each row beginning where a signal (or a report in the silence) does, so that
// a frame and the reports it gives share a row and silences fold into one line; each
// decoded frame is marked with its bytes, each rejected frame with the window it missed
// and by how much, and the HID reports at the moments they were sent. The drawing keeps
// only the first kSvgMaxUs of the replay and at most kSvgMaxPulses pulses, so that its
// memory and size stay bounded; what lies beyond is named in the drawing and by the tool.
#pragma once

#include "irkit/IrTiming.h"
#include "tools/replay/ReplayFrames.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace replay {

// Text as XML or HTML character data: markup characters escaped and control characters shown
// as '?'. Bytes beyond ASCII become '?' too unless keepNonAscii: a drawing written as a file
// of its own must stay well-formed whatever a path holds; a page declared UTF-8 shows them.
std::string markupText(const std::string& text, bool keepNonAscii = false);

constexpr uint64_t kSvgMaxUs = 60000000; // one minute
constexpr uint64_t kSvgRowUs = 250000;
constexpr size_t kSvgMaxPulses = 200000;

class SvgPlot {
public:
    void period(const irkit::IrTiming& period, uint64_t startUs);
    void frame(const FrameVerdict& verdict);
    void report(uint64_t timeUs, const std::string& meaning, bool release);
    void capture(uint64_t startUs, const std::string& title);

    // Writes the drawing of [0, endUs) (at most kSvgMaxUs); false with the reason when the
    // file cannot be written.
    bool write(const char* path, uint64_t endUs, std::string* error) const;
    // The drawing as SVG text, without the XML declaration (as a page embeds it).
    std::string render(uint64_t endUs) const;
    bool cut() const { return _cut; }

private:
    // False past the end of the drawing; otherwise makes sure a row holds the time.
    bool keep(uint64_t timeUs);
    // The row that holds the time: its start and end.
    std::map<uint64_t, uint64_t>::const_iterator rowOf(uint64_t timeUs) const;

    struct Mark {
        uint64_t timeUs;
        std::string text;
        bool release;
    };
    std::vector<std::pair<uint64_t, uint64_t>> _pulses; // start, end
    std::vector<FrameVerdict> _frames;
    std::vector<Mark> _reports;
    std::vector<Mark> _captures;
    std::map<uint64_t, uint64_t> _rows; // start, end
    bool _cut = false;
    bool _anyPulse = false;
    uint64_t _lastPulseEndUs = 0;
};

} // namespace replay
