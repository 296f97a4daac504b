// The replay tool's command line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

namespace replay {

enum class Protocol { Nec, Rc5 };

struct Options {
    bool packets = false;
    bool driverLog = false;
    Protocol protocol = Protocol::Nec;
    uint32_t gapUs = 150000; // silence between two captures played back to back
    const char* svgPath = nullptr;
    const char* remotePath = nullptr; // --remote: every button of a remote file on its own
    const char* format = nullptr;     // --format: the remote file's format, not detected
    const char* htmlPath = nullptr;   // --html: the remote's verdicts as a page
    std::vector<const char*> paths;   // "-" is standard input; none: the built-in capture
};

void usage(FILE* out);

// Fills options from the arguments. Returns -1 to go on, otherwise the exit code (0 after
// --help, 2 after a mistake, with the message and the usage already printed).
int parseArguments(int argc, char** argv, Options* options);

} // namespace replay
