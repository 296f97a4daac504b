// Streams of items cut into packets every possible way: the samples and the logged
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

uint8_t pick(std::mt19937& rng, const std::vector<uint8_t>& from) {
    return from[std::uniform_int_distribution<size_t>(0, from.size() - 1)(rng)];
}

// Items of every kind but the marker, whose effect depends on the packet it lands in.
Stream randomStream(std::mt19937& rng, size_t items) {
    std::vector<uint8_t> skipped, responseHeaders = {0x9F}, unknownIds;
    for (int b = 0; b < 256; ++b) {
        bool header = b == 0x80 || (b >= 0x81 && b <= 0x84) || b == 0x9F || b >= 0xE0;
        if (!header)
            skipped.push_back(static_cast<uint8_t>(b));
        if (b >= 0xE0)
            responseHeaders.push_back(static_cast<uint8_t>(b));
    }
    for (uint8_t b : skipped) {
        bool known = false;
        for (const ResponseId& r : responseIds())
            known = known || r.id == b;
        if (!known)
            unknownIds.push_back(b);
    }
    std::uniform_int_distribution<int> kind(0, 9), byte(0, 255), count(1, 4);
    auto sampleByte = [&] {
        int b;
        do {
            b = byte(rng);
        } while (b == 0x80); // a pulse of 0 reads as the end of the sequence
        return static_cast<uint8_t>(b);
    };
    auto group = [&](Stream& s, int n) {
        s.bytes.push_back(static_cast<uint8_t>(0x80 + n));
        for (int i = 0; i < n; ++i) {
            uint8_t b = sampleByte();
            s.bytes.push_back(b);
            s.samples.push_back(IrSample{static_cast<UCHAR>(b >> 7), static_cast<UCHAR>(b & 0x7F)});
        }
    };
    Stream s;
    for (size_t i = 0; i < items; ++i) {
        int k = kind(rng);
        if (k < 5) {
            group(s, count(rng));
        } else if (k < 7) {
            uint8_t header = pick(rng, responseHeaders);
            const ResponseId& r = responseIds()[std::uniform_int_distribution<size_t>(0, 9)(rng)];
            s.bytes.insert(s.bytes.end(), {header, r.id});
            for (size_t d = 2; d < r.length; ++d)
                s.bytes.push_back(static_cast<uint8_t>(byte(rng)));
            s.responses.push_back(responseLine(header, r.id));
        } else if (k < 8) {
            s.bytes.push_back(pick(rng, skipped));
        } else if (k < 9) {
            // A header whose id is unknown, then a byte that is no header either.
            s.bytes.insert(s.bytes.end(), {pick(rng, responseHeaders), pick(rng, unknownIds)});
        } else {
            // A header whose "id" is a group header outside the id table.
            s.bytes.push_back(pick(rng, responseHeaders));
            group(s, count(rng) % 3 + 2);
        }
    }
    return s;
}

class RlcStreamTest : public ::testing::Test {
protected:
    void check(const Stream& s, const std::vector<Bytes>& packets, const std::string& how) {
        Harness rlc;
        ASSERT_EQ(STATUS_SUCCESS, rlc.status());
        rlc.parser().isKeyReleased();
        uint64_t mark = emu::debuglog::mark();
        EXPECT_EQ(s.samples, rlc.parseAll(packets)) << how;
        EXPECT_EQ(s.responses, responsesLogged(mark)) << how << ": every response once, in order";
        EXPECT_EQ(0u, rlc.parser().carried()) << how << ": the stream ends with a whole item";
        EXPECT_FALSE(rlc.parser().isKeyReleased()) << how << ": no marker in the stream";
    }
};

TEST_F(RlcStreamTest, AStreamCutIntoPacketsOfEverySizeGivesTheSameSamples) {
    for (unsigned seed = 1; seed <= 40; ++seed) {
        std::mt19937 rng(seed);
        Stream s = randomStream(rng, 60);
        for (size_t size = 1; size <= 32; ++size)
            check(s, cut(s.bytes, size),
                  "seed " + std::to_string(seed) + ", packets of " + std::to_string(size));
        // And packets of mixed lengths, so that tails meet packets of every size.
        std::vector<Bytes> mixed;
        std::uniform_int_distribution<size_t> size(1, 32);
        for (size_t at = 0; at < s.bytes.size();) {
            size_t end = std::min(s.bytes.size(), at + size(rng));
            mixed.emplace_back(s.bytes.begin() + static_cast<long>(at),
                               s.bytes.begin() + static_cast<long>(end));
            at = end;
        }
        check(s, mixed, "seed " + std::to_string(seed) + ", mixed lengths");
    }
}

TEST_F(RlcStreamTest, AShortStreamParsedWholeOrCutAnywhereGivesTheSameSamples) {
    int streams = 0;
    for (unsigned seed = 100; seed < 400; ++seed) {
        std::mt19937 rng(seed);
        Stream s = randomStream(rng, 8);
        if (s.bytes.size() > 32)
            continue;
        ++streams;
        check(s, {s.bytes}, "seed " + std::to_string(seed) + " whole");
        for (size_t at = 1; at < s.bytes.size(); ++at) {
            Bytes a(s.bytes.begin(), s.bytes.begin() + static_cast<long>(at));
            Bytes b(s.bytes.begin() + static_cast<long>(at), s.bytes.end());
            check(s, {a, b}, "seed " + std::to_string(seed) + " cut after " + std::to_string(at));
        }
    }
    EXPECT_GE(streams, 100) << "most short streams fit one packet";
}

} // namespace
