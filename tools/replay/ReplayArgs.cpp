#include "tools/replay/ReplayArgs.h"

#include <cstring>

namespace replay {

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: ravo_replay [--packets] [--driver-log] [capture.mode2]\n"
                 "  Replays a LIRC mode2 capture (pulse/space lines in microseconds) through\n"
                 "  the whole driver: the virtual receiver sends the capture's USB packets at\n"
                 "  their times, the driver reads, parses, decodes and translates them, and the\n"
                 "  emulated HID class driver prints every report it receives with its time\n"
                 "  and meaning. Without a file it replays the built-in default capture.\n"
                 "  --packets     also print every USB packet and what it gave\n"
                 "  --driver-log  also print the driver's debug messages\n");
}

int parseArguments(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--packets") == 0) {
            options->packets = true;
        } else if (std::strcmp(argv[i], "--driver-log") == 0) {
            options->driverLog = true;
        } else if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            usage(stdout);
            return 0;
        } else if (argv[i][0] == '-' && argv[i][1] != 0) {
            std::fprintf(stderr, "ravo_replay: unknown option %s\n", argv[i]);
            usage(stderr);
            return 2;
        } else if (options->path != nullptr) {
            std::fprintf(stderr, "ravo_replay: one capture at a time\n");
            usage(stderr);
            return 2;
        } else {
            options->path = argv[i];
        }
    }
    return -1;
}

} // namespace replay
