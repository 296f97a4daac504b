// The replay run: the capture becomes the receiver's USB packets, which the virtual
// receiver sends at their times on the emulated clock under the whole driver (USB reads,
// parse thread, decoder, key translation, read-report queue), and the emulated HID class
// driver receives the reports.
#pragma once

#include "irkit/Encoders.h"
#include "tools/replay/ReplayArgs.h"
#include "tools/replay/ReplayExplain.h"

#include <string>
#include <vector>

namespace replay {

struct CaptureSource {
    std::string title;
    std::vector<std::string> notes;
    irkit::Timings timings;
};

// The file's timings, or the built-in default capture when path is null.
bool loadCapture(const char* path, CaptureSource* source, std::string* error);

// Prints each report as the class driver receives it (and each packet with --packets).
// Returns false with the reason when the driver could not be brought up or stopped
// reading.
bool runThroughDriver(const Options& options, const CaptureSource& source, ReplayOutcome* outcome,
                      std::string* error);

} // namespace replay
