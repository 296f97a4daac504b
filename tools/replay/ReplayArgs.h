// The replay tool's command line.
#pragma once

#include <cstdio>

namespace replay {

struct Options {
    bool packets = false;
    bool driverLog = false;
    const char* path = nullptr;
};

void usage(FILE* out);

// Fills options from the arguments. Returns -1 to go on, otherwise the exit code (0 after
// --help, 2 after a mistake, with the message and the usage already printed).
int parseArguments(int argc, char** argv, Options* options);

} // namespace replay
