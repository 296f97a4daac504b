// Receiver packets written as text, one packet per line, for tools and tests.
//
// Accepted text, line by line:
// - hex bytes separated by blanks and/or commas: "84 B4 35", "0x84,0xB4, 0x35";
// - runs of digits without separators, two per byte: "84b435" (an odd count is an error);
// - a "0x" prefix takes one or two digits: one byte;
// - "#" starts a comment to the end of the line; blank lines are skipped.
// Every packet holds 1 to 32 bytes. Anything else is an error that names the line
// (1-based) and what is wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace irkit {

constexpr size_t kHexPacketMaxBytes = 32;

struct HexPacket {
    size_t line; // where it was written, 1-based
    std::vector<uint8_t> bytes;
};

struct HexPacketsResult {
    std::vector<HexPacket> packets; // everything read (up to the error, if any)
    size_t errorLine = 0;           // line of the error, 0 when there is none
    std::string error;              // what is wrong, without the line: "'0xZZ' is not a hex byte"
    bool ok() const { return error.empty(); }
};

HexPacketsResult parseHexPackets(std::string_view text);
// Reads a file; a file that cannot be opened is an error on line 0 naming the path.
HexPacketsResult readHexPacketsFile(const std::string& path);

// "84 B4 35": the bytes as parseHexPackets reads them back.
std::string formatHexBytes(const std::vector<uint8_t>& bytes);

} // namespace irkit
