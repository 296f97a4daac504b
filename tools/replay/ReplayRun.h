// The replay run: the captures become the receiver's USB packets as they are read, which
// the virtual receiver sends at their times on the emulated clock under the whole driver
// (USB reads, parse thread, decoder, key translation, read-report queue), and the emulated
// HID class driver receives the reports.
#pragma once

#include "tools/replay/ReplayArgs.h"
#include "tools/replay/ReplayExplain.h"
#include "tools/replay/ReplayFrames.h"

#include <string>
#include <vector>

namespace replay {

// Prints each capture as it begins, each NEC frame with its margins, each report as the
// class driver receives it (and each packet with --packets). Returns false with the
// reason when a capture turns out malformed, the driver could not be brought up or it
// stopped reading.
bool runThroughDriver(const Options& options, ReplayOutcome* outcome, std::string* error);

class PeriodSource;

// What one quiet run gave, for a verdict on it: kept whole, as a run of one button is short.
struct RunRecord {
    bool drawSvg = false;
    std::vector<PrintedReport> reports; // releases included
    std::vector<FrameVerdict> verdicts; // NEC only
    std::vector<uint32_t> decoded;      // the commands the decoder completed, in order
    std::string svg;                    // the drawing, when drawSvg
};

// The same run on a source of its own. With a record it prints nothing and fills the
// record instead (options.svgPath is then not drawn).
bool runThroughDriver(const Options& options, PeriodSource& source, ReplayOutcome* outcome,
                      std::string* error, RunRecord* record);

} // namespace replay
