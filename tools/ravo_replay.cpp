// Replays an IR capture through the whole driver and prints the HID reports the HID class
// driver receives, with their time and meaning.
//
//   ravo_replay [--packets] [--driver-log] [capture.mode2]
//
// The capture (LIRC mode2 text; without an argument the built-in default capture) is cut
// into the receiver's USB packets, which the virtual receiver sends at their times; the
// driver reads them, parses, decodes and translates them, and completes the read-report
// requests that the emulated HID class driver keeps pending. When frames do not decode,
// the tool measures them against the decoder's windows and says why.
//
// Stages: ReplayArgs (command line) -> ReplayRun (capture, packets, the driver stack) ->
// ReplayExplain (report meanings, summary, frame diagnosis).
#include "tools/replay/ReplayArgs.h"
#include "tools/replay/ReplayExplain.h"
#include "tools/replay/ReplayRun.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    replay::Options options;
    int exitCode = replay::parseArguments(argc, argv, &options);
    if (exitCode >= 0) {
        return exitCode;
    }

    replay::CaptureSource source;
    std::string error;
    if (!replay::loadCapture(options.path, &source, &error)) {
        std::fprintf(stderr, "ravo_replay: %s\n", error.c_str());
        return 1;
    }
    std::printf("Capture: %s\n", source.title.c_str());
    for (const auto& note : source.notes) {
        std::printf("  %s\n", note.c_str());
    }
    const uint64_t totalUs = irkit::totalMicroseconds(source.timings);
    std::printf("  %zu periods, %.3f s\n\n", source.timings.size(), totalUs / 1e6);

    replay::ReplayOutcome outcome;
    if (!replay::runThroughDriver(options, source, &outcome, &error)) {
        std::fflush(stdout);
        std::fprintf(stderr, "ravo_replay: %s\n", error.c_str());
        return 1;
    }
    replay::printSummary(outcome, source.timings);
    return 0;
}
