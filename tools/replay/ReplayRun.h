// The replay run: the captures become the receiver's USB packets as they are read, which
// the virtual receiver sends at their times on the emulated clock under the whole driver
// (USB reads, parse thread, decoder, key translation, read-report queue), and the emulated
// HID class driver receives the reports.
#pragma once

#include "tools/replay/ReplayArgs.h"
#include "tools/replay/ReplayExplain.h"

#include <string>

namespace replay {

// Prints each capture as it begins, each NEC frame with its margins, each report as the
// class driver receives it (and each packet with --packets). Returns false with the
// reason when a capture turns out malformed, the driver could not be brought up or it
// stopped reading.
bool runThroughDriver(const Options& options, ReplayOutcome* outcome, std::string* error);

} // namespace replay
