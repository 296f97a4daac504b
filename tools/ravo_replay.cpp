// Replays IR captures through the whole driver and prints the HID reports the HID class
// driver receives, with their time and meaning, and every NEC frame measured against the
// decoder's windows.
//
//   ravo_replay [--protocol nec|rc5] [--gap MS] [--svg FILE] [--packets] [--driver-log]
//               [capture.mode2 | - ...]
//   ravo_replay --remote FILE [--format F] [--html PAGE] [--protocol nec|rc5]
//
// The captures (LIRC mode2 text; without an argument the built-in default capture) are
// read as a stream, back to back with a silence between them, and cut into the receiver's
// USB packets, which the virtual receiver sends at their times; the driver reads them,
// parses, decodes and translates them, and completes the read-report requests that the
// emulated HID class driver keeps pending. Memory does not grow with the captures.
//
// Stages: ReplayArgs (command line) -> ReplayStream (periods, packets) -> ReplayRun (the
// driver stack) -> ReplayFrames (frames against the windows), ReplayExplain (report
// meanings, summary), ReplaySvg (the drawing); ReplayRemote plays every button of a remote
// file on its own (ReplayHtml: the page).
#include "tools/replay/ReplayArgs.h"
#include "tools/replay/ReplayExplain.h"
#include "tools/replay/ReplayRemote.h"
#include "tools/replay/ReplayRun.h"
#include "tools/replay/ReplayStream.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
    replay::Options options;
    int exitCode = replay::parseArguments(argc, argv, &options);
    if (exitCode >= 0) {
        return exitCode;
    }
    if (options.remotePath != nullptr) {
        return replay::runRemote(options);
    }
    // Files are checked whole before anything is replayed; standard input can only be
    // read once and is checked as it is replayed.
    size_t stdinCount = 0;
    for (const char* path : options.paths) {
        if (std::strcmp(path, "-") == 0) {
            stdinCount++;
            continue;
        }
        std::string problem = replay::checkCapture(path);
        if (!problem.empty()) {
            std::fprintf(stderr, "ravo_replay: %s\n", problem.c_str());
            return 1;
        }
    }
    if (stdinCount > 1) {
        std::fprintf(stderr, "ravo_replay: standard input ('-') can be read only once\n");
        return 2;
    }
    // A drawing that cannot be written is said before the replay, not after it.
    if (options.svgPath != nullptr && !std::ofstream(options.svgPath, std::ios::app)) {
        std::fprintf(stderr, "ravo_replay: cannot write the SVG to %s\n", options.svgPath);
        return 1;
    }
    // Standard input is read a byte at a time; unsynchronised with stdio it is fast.
    std::ios::sync_with_stdio(false);

    replay::ReplayOutcome outcome;
    std::string error;
    if (!replay::runThroughDriver(options, &outcome, &error)) {
        std::fflush(stdout);
        std::fprintf(stderr, "ravo_replay: %s\n", error.c_str());
        return 1;
    }
    replay::printSummary(outcome);
    return 0;
}
