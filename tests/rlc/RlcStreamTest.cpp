// Random item streams cut into packets every possible way: the samples and the logged
// responses must not depend on where the packets end.
#include "tests/rlc/RlcHarness.h"

#include <random>

using namespace rlctest;

namespace {

struct Stream {
    Bytes bytes;
    Samples samples;
    std::vector<std::string> responses;
};

// Groups, responses of every id with every header, skipped bytes and unknown ids; no
// marker, whose effect depends on the packet it lands in.
Stream randomStream(std::mt19937& rng, size_t items) {
    const std::pair<uint8_t, size_t> ids[] = {{0x81, 2}, {0xFE, 2}, {0x08, 3}, {0x14, 3},
                                              {0x17, 3}, {0x06, 4}, {0x0C, 4}, {0x15, 4},
                                              {0x16, 4}, {0x11, 7}};
    auto any = [&](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(rng);
    };
    auto responseHeader = [&] { return uint8_t(any(0, 32) == 32 ? 0x9F : any(0xE0, 0xFF)); };
    auto skipped = [&] { return uint8_t(any(0x20, 0x7F)); }; // no header, no known id
    Stream s;
    for (size_t i = 0; i < items; ++i) {
        int kind = any(0, 9);
        if (kind < 6) {
            int n = any(1, 4);
            s.bytes.push_back(static_cast<uint8_t>(0x80 + n));
            for (int k = 0; k < n; ++k) {
                uint8_t b = static_cast<uint8_t>(any(0, 255));
                if (b == 0x80) // a pulse of 0 reads as the end of the sequence
                    b = 0x81;
                s.bytes.push_back(b);
                s.samples.push_back(IrSample{UCHAR(b >> 7), UCHAR(b & 0x7F)});
            }
        } else if (kind < 8) {
            const auto& id = ids[any(0, 9)];
            uint8_t header = responseHeader();
            s.bytes.insert(s.bytes.end(), {header, id.first});
            for (size_t d = 2; d < id.second; ++d)
                s.bytes.push_back(static_cast<uint8_t>(any(0, 255)));
            s.responses.push_back(responseLine(header, id.first));
        } else if (kind < 9) {
            s.bytes.push_back(skipped());
        } else {
            s.bytes.insert(s.bytes.end(), {responseHeader(), skipped()});
        }
    }
    return s;
}

TEST(RlcStreamTest, AStreamCutIntoPacketsOfAnySizeGivesTheSameSamplesAndResponses) {
    for (unsigned seed = 1; seed <= 40; ++seed) {
        std::mt19937 rng(seed);
        Stream s = randomStream(rng, 60);
        for (size_t size = 0; size <= 32; ++size) { // 0: packets of mixed random lengths
            Harness rlc;
            rlc.parser().isKeyReleased();
            uint64_t mark = emu::debuglog::mark();
            Samples samples;
            for (size_t at = 0; at < s.bytes.size();) {
                size_t step = size ? size : std::uniform_int_distribution<size_t>(1, 32)(rng);
                size_t end = std::min(s.bytes.size(), at + step);
                Samples part =
                    rlc.parse(Bytes(s.bytes.begin() + long(at), s.bytes.begin() + long(end)));
                samples.insert(samples.end(), part.begin(), part.end());
                at = end;
            }
            std::string how =
                "seed " + std::to_string(seed) + ", packets of " + std::to_string(size);
            EXPECT_EQ(s.samples, samples) << how;
            EXPECT_EQ(s.responses, responsesLogged(mark)) << how << ": every response once";
            EXPECT_EQ(0u, rlc.parser().carried()) << how << ": the stream ends with a whole item";
            EXPECT_FALSE(rlc.parser().isKeyReleased()) << how << ": no marker in the stream";
        }
    }
}

} // namespace
