// Drives one RLC_parse the way the parse thread does, and checks on every packet what
// the thread relies on: samples from the first slot on, ended by the terminator, never
// beyond the slots one packet can fill, and nothing read past the packet.
#pragma once

#include "decode/RlcParse.h"
#include "emu/kernel/Kernel.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

inline bool operator==(const IrSample& a, const IrSample& b) {
    return a.level == b.level && a.duration == b.duration;
}

inline void PrintTo(const IrSample& s, std::ostream* os) {
    *os << "(" << int(s.level) << ", " << int(s.duration) << ")";
}

namespace rlctest {

using Bytes = std::vector<uint8_t>;
using Samples = std::vector<IrSample>;

inline IrSample pulse(int units) {
    return IrSample{1, static_cast<UCHAR>(units)};
}
inline IrSample space(int units) {
    return IrSample{0, static_cast<UCHAR>(units)};
}

class Harness {
public:
    Harness() { _parser.emplace(&_status); }
    RLC_parse& parser() { return *_parser; }
    NTSTATUS status() const { return _status; }

    // Parses one packet and returns the samples in front of the terminator. The packet
    // lives in a block of exactly its size, so that a sanitizer sees a read past it; the
    // IR data buffer carries guard slots behind its 40.
    Samples parse(const Bytes& packet, ULONG length = 0) {
        constexpr UCHAR kUntouched = 0xEE;
        std::vector<uint8_t> exact(packet);
        std::vector<IrSample> out(IR_DATA_BUFFER_SAMPLES + 8, IrSample{kUntouched, kUntouched});
        EXPECT_TRUE(_parser->parse(exact.data(), out.data(),
                                   length ? length : static_cast<ULONG>(packet.size())));
        size_t written = 0;
        while (written < out.size() && out[written].level != kUntouched)
            ++written;
        for (size_t i = written; i < out.size(); ++i)
            EXPECT_EQ(kUntouched, out[i].level) << "slot " << i << " written behind a gap";
        // 38 bytes at most (32 and a carried 6) give 28 samples; then the terminator.
        EXPECT_LE(written, 31u) << "one packet fills at most 31 slots";
        EXPECT_LE(_parser->carried(), static_cast<ULONG>(RLC_MAX_CARRIED_BYTES));
        if (written == 0 || !isTerminator(out[written - 1])) {
            ADD_FAILURE() << "the samples must end with the terminator (1, 0)";
            return {};
        }
        return Samples(out.begin(), out.begin() + static_cast<long>(written - 1));
    }

private:
    NTSTATUS _status = STATUS_UNSUCCESSFUL;
    std::optional<RLC_parse> _parser;
};

// The response lines the parser logged since the mark.
inline std::vector<std::string> responsesLogged(uint64_t mark) {
    std::vector<std::string> found;
    for (const std::string& line : emu::debuglog::textSince(mark))
        if (line.find("response type is") != std::string::npos)
            found.push_back(line);
    return found;
}

inline std::string responseLine(uint8_t type, uint8_t id) {
    char text[64];
    snprintf(text, sizeof(text), "ravo: response type is %x,id is %x", type, id);
    return text;
}

} // namespace rlctest
