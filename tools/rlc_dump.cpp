// rlc_dump: runs receiver packets written as hex text through the driver's packet parser
// and shows, packet by packet, the samples it gives, the end-of-signal markers it notices,
// what it carries to the next packet and what it logs.
//
//   rlc_dump [FILE|-]   one packet per line ("84 B4 35", "84b435", "0x84,0xB4"; '#' comments)
//
// Without FILE an NEC frame (address 0x00, command 0x16) cut into three packets is shown.
// Malformed input is reported as FILE:LINE: what is wrong, and nothing else is printed.
#include "decode/RlcParse.h"
#include "emu/kernel/Kernel.h"
#include "irkit/HexPackets.h"

#include <cstdio>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>

namespace {

const char kDefaultPackets[] =
    "# NEC frame, address 0x00, command 0x16: leader, 32 bits, stop pulse, then the marker.\n"
    "84 FF B5 5A 8B 84 0B 8B 0B 8B 84 0B 8B 0B 8B 84 0B 8B 0B 8B 84 0B 8B 0B 8B 84 22 8B 22 8B "
    "84 22\n"
    "8B 22 8B 84 22 8B 22 8B 84 22 8B 22 8B 84 0B 8B 22 8B 84 22 8B 0B 8B 84 22 8B 0B 8B 84 0B "
    "8B 0B\n"
    "8B 84 22 8B 0B 8B 84 0B 8B 22 8B 84 0B 8B 22 8B 84 22 8B 22 8B 80\n";

// What parse leaves in slots it did not write, so that the samples can be told from the
// terminator behind them even where a sample reads (1, 0) itself.
constexpr UCHAR kUnwritten = 0xEE;

int usage() {
    std::cerr << "usage: rlc_dump [FILE|-]\n"
                 "  FILE: receiver packets, one per line, as hex bytes; '-' reads standard "
                 "input;\n"
                 "  none: a built-in NEC frame\n";
    return 2;
}

bool dump(const std::vector<irkit::HexPacket>& packets) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::optional<RLC_parse> parser;
    parser.emplace(&status);
    if (status != STATUS_SUCCESS) {
        std::cerr << "rlc_dump: the parser could not be created\n";
        return false;
    }
    // Creation arms one release report; only markers in the input should show.
    parser->isKeyReleased();

    size_t number = 0;
    for (const irkit::HexPacket& packet : packets) {
        ++number;
        std::printf("packet %zu (line %zu, %zu bytes): %s\n", number, packet.line,
                    packet.bytes.size(), irkit::formatHexBytes(packet.bytes).c_str());
        IrSample out[IR_DATA_BUFFER_SAMPLES];
        for (IrSample& s : out)
            s = IrSample{kUnwritten, kUnwritten};
        uint64_t mark = emu::debuglog::mark();
        parser->parse(packet.bytes.data(), out, static_cast<ULONG>(packet.bytes.size()));
        size_t written = 0;
        while (written < IR_DATA_BUFFER_SAMPLES && out[written].level != kUnwritten)
            ++written;
        for (const std::string& line : emu::debuglog::textSince(mark))
            std::printf("  log: %s\n", line.c_str());
        // The last slot written is the terminator.
        for (size_t i = 0; i + 1 < written; ++i) {
            const IrSample& s = out[i];
            std::printf("  %s %5uus  (level %u, %u units)%s\n", s.level ? "pulse" : "space",
                        unsigned(s.duration) * IR_SAMPLE_UNIT_US, unsigned(s.level),
                        unsigned(s.duration),
                        isTerminator(s) ? "  <- reads as the end of the sequence" : "");
        }
        if (written <= 1)
            std::printf("  no complete sample\n");
        if (parser->isKeyReleased())
            std::printf("  end of signal\n");
        if (parser->carried() != 0)
            std::printf("  %u bytes carried to the next packet\n", unsigned(parser->carried()));
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 2)
        return usage();
    std::string name = argc == 2 ? argv[1] : "<built-in>";
    if (name == "-h" || name == "--help")
        return usage();

    irkit::HexPacketsResult input;
    if (argc < 2) {
        input = irkit::parseHexPackets(kDefaultPackets);
    } else if (name == "-") {
        name = "<stdin>";
        std::string text((std::istreambuf_iterator<char>(std::cin)),
                         std::istreambuf_iterator<char>());
        input = irkit::parseHexPackets(text);
    } else {
        input = irkit::readHexPacketsFile(name);
    }
    // The whole input is checked before anything is shown.
    if (!input.ok()) {
        if (input.errorLine == 0)
            std::cerr << "rlc_dump: " << input.error << "\n";
        else
            std::cerr << name << ":" << input.errorLine << ": " << input.error << "\n";
        return 1;
    }
    if (input.packets.empty()) {
        std::cerr << name << ": no packets in the input\n";
        return 1;
    }
    return dump(input.packets) ? 0 : 1;
}
