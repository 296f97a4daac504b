// Captures for the test bus of the Windows run, made on the host with the IR toolkit:
//
//   wine_capture packets [capture.mode2]   the receiver's packets of a capture (without a
//                                          file, the built-in one) as the bus plays them:
//                                          "<ms> <hex bytes>" per line
//   wine_capture hex PACKETS.txt           hex packets as written for the packet tools, one
//                                          line each, 10 ms apart
//   wine_capture nec ADDRESS CMD...        a mode2 capture of one NEC frame per command,
//                                          each followed by 300 ms of silence
#include "irkit/DefaultCapture.h"
#include "irkit/Encoders.h"
#include "irkit/HexPackets.h"
#include "irkit/Mode2.h"
#include "irkit/Packetizer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "packets") == 0) {
        irkit::Timings timings = irkit::defaultCapture();
        if (argc >= 3) {
            irkit::Mode2Result read = irkit::readMode2File(argv[2]);
            if (!read.ok()) {
                std::fprintf(stderr, "%s: %s\n", argv[2], read.error.c_str());
                return 1;
            }
            timings = read.timings;
        }
        // The receiver's view, as the replay tool takes it: 32-byte packets, a silence of
        // 100 ms or more ends a signal.
        for (const irkit::UsbPacket& packet : irkit::packetize(timings))
            std::printf("%llu %s\n", static_cast<unsigned long long>(packet.timeUs / 1000),
                        irkit::formatHexBytes(packet.bytes).c_str());
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "hex") == 0) {
        irkit::HexPacketsResult read = irkit::readHexPacketsFile(argv[2]);
        if (!read.ok()) {
            std::fprintf(stderr, "%s:%zu: %s\n", argv[2], read.errorLine, read.error.c_str());
            return 1;
        }
        unsigned ms = 0;
        for (const irkit::HexPacket& packet : read.packets)
            std::printf("%u %s\n", ms += 10, irkit::formatHexBytes(packet.bytes).c_str());
        return 0;
    }
    if (argc >= 4 && std::strcmp(argv[1], "nec") == 0) {
        auto address = static_cast<uint16_t>(std::strtoul(argv[2], nullptr, 0));
        irkit::Timings timings;
        for (int i = 3; i < argc; ++i) {
            irkit::append(
                timings,
                irkit::necFrame(address, static_cast<uint8_t>(std::strtoul(argv[i], nullptr, 0))));
            irkit::append(timings, irkit::space(300000));
        }
        std::fputs(irkit::writeMode2(timings).c_str(), stdout);
        return 0;
    }
    std::fprintf(
        stderr,
        "usage: wine_capture packets [capture.mode2] | hex PACKETS.txt | nec ADDRESS CMD...\n");
    return 2;
}
