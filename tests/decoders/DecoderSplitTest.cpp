// One signal fed under every way of cutting its samples into IR data buffers of at most
// 30 samples: the decoders must give the same key wherever the buffers are cut.
#include "tests/decoders/DecoderTestSupport.h"

#include <functional>

using namespace dectest;

namespace {

// Calls visit with the cut positions of every split of size samples into count buffers
// of 1 to kMaxPacketSamples samples each.
void forEachSplit(size_t size, size_t count,
                  const std::function<void(const std::vector<size_t>&)>& visit) {
    std::vector<size_t> cuts;
    std::function<void(size_t, size_t)> next = [&](size_t from, size_t left) {
        if (left == 1) {
            if (size - from <= kMaxPacketSamples)
                visit(cuts);
            return;
        }
        for (size_t at = from + 1; at < size && at - from <= kMaxPacketSamples; ++at) {
            cuts.push_back(at);
            next(at, left - 1);
            cuts.pop_back();
        }
    };
    next(0, count);
}

std::string describe(const std::vector<size_t>& cuts) {
    std::string text = "cuts:";
    for (size_t cut : cuts)
        text += " " + std::to_string(cut);
    return text;
}

} // namespace

TEST(NecSplitTest, EverySplitIntoThreeOrFourBuffers) {
    const Samples frame = necFrame(0x04, 0x9A);
    size_t splits = 0;
    for (size_t buffers : {3, 4}) {
        forEachSplit(frame.size(), buffers, [&](const std::vector<size_t>& cuts) {
            Built<NEC_Protocol> nec;
            std::vector<ULONG> keys = feedSplit(*nec, frame, cuts);
            ASSERT_EQ(keys, std::vector<ULONG>{0x9A}) << describe(cuts);
            ++splits;
        });
    }
    // Compositions of 69 into 3 parts of 1 to 30 (253) and into 4 parts (16708).
    EXPECT_EQ(splits, 16961u) << "every split was tried";
}

TEST(NecSplitTest, EveryBufferSize) {
    const Samples frame = necFrame(0x04, 0x9A);
    for (size_t chunk = 1; chunk <= kMaxPacketSamples; ++chunk) {
        Built<NEC_Protocol> nec;
        EXPECT_EQ(feedChunks(*nec, frame, chunk), std::vector<ULONG>{0x9A})
            << "buffers of " << chunk;
    }
}

// An RC5 frame is kept from its start half on, as received (a long start sample whose
// first half was taken off in place decodes again whole), so no cut loses it. Frames of at most 17
// samples have few enough splits (2 to the 16th) to try them all.
TEST(Rc5SplitTest, EverySplit) {
    struct Case {
        Samples frame;
        ULONG key;
    };
    // One ends with a space half taken off the silence behind it, one with a pulse.
    const Case cases[] = {{rc5Frame(0, 1, 0x15, 0x2A, 127), 0x2A},
                          {rc5Frame(0, 1, 0x0A, 0x2B, 127), 0x2B}};
    for (const Case& c : cases) {
        ASSERT_LE(c.frame.size(), 17u) << "keep the split count in reach";
        size_t cutPoints = c.frame.size() - 1;
        for (uint32_t mask = 0; mask < (1u << cutPoints); ++mask) {
            std::vector<size_t> cuts;
            for (size_t bit = 0; bit < cutPoints; ++bit)
                if (mask & (1u << bit))
                    cuts.push_back(bit + 1);
            Built<RC5_Protocol> rc5;
            ASSERT_EQ(feedSplit(*rc5, c.frame, cuts), std::vector<ULONG>{c.key}) << describe(cuts);
        }
    }
}
