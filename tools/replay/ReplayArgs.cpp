#include "tools/replay/ReplayArgs.h"

#include <cstdlib>
#include <cstring>

namespace replay {

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: ravo_replay [options] [capture.mode2 ...]\n"
                 "       ravo_replay --remote FILE [--format F] [--html PAGE] [--protocol P]\n"
                 "  Replays LIRC mode2 captures (pulse/space lines in microseconds) through the\n"
                 "  whole driver: the virtual receiver sends the captures' USB packets at their\n"
                 "  times, the driver reads, parses, decodes and translates them, and the\n"
                 "  emulated HID class driver prints every report it receives with its time and\n"
                 "  meaning; every NEC frame is shown with how far its periods lie inside (or\n"
                 "  outside) the decoder's windows. Several captures play back to back; '-' reads\n"
                 "  standard input. Without a file it replays the built-in default capture.\n"
                 "  --protocol nec|rc5  the decoder the driver runs (default nec, as the driver\n"
                 "                      creates it)\n"
                 "  --gap MS            silence added between two captures (default 150)\n"
                 "  --svg FILE          draw the waveform, the frames and the reports as SVG\n"
                 "  --packets           also print every USB packet and what it gave\n"
                 "  --driver-log        also print the driver's debug messages\n"
                 "  --remote FILE       will this remote work? every button of a remote file\n"
                 "                      (Flipper .ir, Pronto hex, Broadlink packets or code\n"
                 "                      file, lircd.conf, or a mode2 capture as one button)\n"
                 "                      pressed once through a fresh driver, and what the\n"
                 "                      host gets from each\n"
                 "  --format F          the remote file's format: flipper, pronto, broadlink,\n"
                 "                      lircd or mode2 (default: told by its content)\n"
                 "  --html PAGE         with --remote: also write the verdicts, and each\n"
                 "                      button's waveform, as one self-contained HTML page\n");
}

namespace {

int mistake(const char* text, const char* what) {
    std::fprintf(stderr, "ravo_replay: %s%s\n", text, what);
    usage(stderr);
    return 2;
}

} // namespace

int parseArguments(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(arg, "--packets") == 0) {
            options->packets = true;
        } else if (std::strcmp(arg, "--driver-log") == 0) {
            options->driverLog = true;
        } else if (std::strcmp(arg, "--protocol") == 0) {
            if (!hasValue) {
                return mistake("--protocol needs nec or rc5", "");
            }
            const char* name = argv[++i];
            if (std::strcmp(name, "nec") == 0) {
                options->protocol = Protocol::Nec;
            } else if (std::strcmp(name, "rc5") == 0) {
                options->protocol = Protocol::Rc5;
            } else {
                return mistake("unknown protocol ", name);
            }
        } else if (std::strcmp(arg, "--gap") == 0) {
            if (!hasValue) {
                return mistake("--gap needs milliseconds", "");
            }
            const char* text = argv[++i];
            char* end = nullptr;
            const unsigned long ms = std::strtoul(text, &end, 10);
            if (*text < '0' || *text > '9' || *end != 0 || ms > 3600000) {
                return mistake("--gap takes 0 to 3600000 milliseconds, not ", text);
            }
            options->gapUs = static_cast<uint32_t>(ms * 1000);
        } else if (std::strcmp(arg, "--svg") == 0) {
            if (!hasValue) {
                return mistake("--svg needs a file name", "");
            }
            options->svgPath = argv[++i];
        } else if (std::strcmp(arg, "--remote") == 0 || std::strcmp(arg, "--format") == 0 ||
                   std::strcmp(arg, "--html") == 0) {
            if (!hasValue) {
                return mistake(arg, " needs a value");
            }
            const char*& slot = arg[2] == 'r'   ? options->remotePath
                                : arg[2] == 'f' ? options->format
                                                : options->htmlPath;
            slot = argv[++i];
        } else if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
            usage(stdout);
            return 0;
        } else if (arg[0] == '-' && arg[1] != 0) {
            return mistake("unknown option ", arg);
        } else {
            options->paths.push_back(arg);
        }
    }
    if (options->remotePath == nullptr && (options->format != nullptr || options->htmlPath)) {
        return mistake("--format and --html go with --remote", "");
    }
    if (options->remotePath != nullptr && (!options->paths.empty() || options->svgPath)) {
        return mistake("--remote takes no capture and no --svg (the page draws each button)", "");
    }
    return -1;
}

} // namespace replay
