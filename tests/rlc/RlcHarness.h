// Drives one RLC_parse the way the parse thread does, and checks on every packet what
// the thread relies on: samples from the first slot on, ended by the terminator, never
// beyond the slots one packet can fill, and nothing read past the packet.
#pragma once

#include "decode/RlcParse.h"
#include "emu/kernel/Kernel.h"

#include <algorithm>
#include <cstdint>
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

// Most samples plus the terminator that one packet can give: 38 bytes, a header for every
// four samples.
constexpr size_t kMaxSlotsPerPacket = 31;
constexpr UCHAR kUntouched = 0xEE;
constexpr size_t kGuardSlots = 8;

class Harness {
public:
    Harness() {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        _parser.emplace(&status);
        _status = status;
    }

    RLC_parse& parser() { return *_parser; }
    NTSTATUS status() const { return _status; }
    void destroy() { _parser.reset(); }

    // Parses one packet and returns the samples in front of the last terminator written.
    Samples parse(const Bytes& packet) { return parse(packet, static_cast<ULONG>(packet.size())); }

    // The packet lives in a block of exactly its size, so that a sanitizer sees a read
    // past it; the IR data buffer carries guard slots behind its 40.
    Samples parse(const Bytes& packet, ULONG length) {
        std::vector<uint8_t> exact(packet);
        std::vector<IrSample> out(IR_DATA_BUFFER_SAMPLES + kGuardSlots,
                                  IrSample{kUntouched, kUntouched});
        EXPECT_TRUE(_parser->parse(exact.data(), out.data(), length))
            << "parse always answers true";
        size_t written = 0;
        while (written < out.size() && out[written].level != kUntouched)
            ++written;
        for (size_t i = written; i < out.size(); ++i)
            EXPECT_EQ(kUntouched, out[i].level)
                << "slot " << i << " written behind a gap: samples must be contiguous";
        EXPECT_GE(written, 1u) << "every packet ends its samples with the terminator";
        EXPECT_LE(written, kMaxSlotsPerPacket) << "one packet fills at most 31 slots";
        EXPECT_LE(_parser->carried(), static_cast<ULONG>(RLC_MAX_CARRIED_BYTES))
            << "a carried tail is at most 6 bytes";
        if (written == 0)
            return {};
        EXPECT_TRUE(isTerminator(out[written - 1])) << "the last slot written is (1, 0)";
        for (size_t i = 0; i + 1 < written; ++i)
            EXPECT_LE(out[i].level, 1) << "slot " << i << " level is 0 or 1";
        return Samples(out.begin(), out.begin() + static_cast<long>(written - 1));
    }

    // Parses packets one after the other and joins their samples.
    Samples parseAll(const std::vector<Bytes>& packets) {
        Samples all;
        for (const Bytes& p : packets) {
            Samples s = parse(p);
            all.insert(all.end(), s.begin(), s.end());
        }
        return all;
    }

private:
    std::optional<RLC_parse> _parser;
    NTSTATUS _status = STATUS_UNSUCCESSFUL;
};

// Cuts a byte stream into packets of the given size (the last one may be shorter).
inline std::vector<Bytes> cut(const Bytes& stream, size_t size) {
    std::vector<Bytes> packets;
    for (size_t at = 0; at < stream.size(); at += size) {
        size_t end = std::min(stream.size(), at + size);
        packets.emplace_back(stream.begin() + static_cast<long>(at),
                             stream.begin() + static_cast<long>(end));
    }
    return packets;
}

// The response lines the parser logged since the mark, without their prefix.
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

// Ids the receiver sends and the length of their items, header and id included.
struct ResponseId {
    uint8_t id;
    size_t length;
};
inline const std::vector<ResponseId>& responseIds() {
    static const std::vector<ResponseId> ids = {{0x81, 2}, {0xFE, 2}, {0x08, 3}, {0x14, 3},
                                                {0x17, 3}, {0x06, 4}, {0x0C, 4}, {0x15, 4},
                                                {0x16, 4}, {0x11, 7}};
    return ids;
}

} // namespace rlctest
