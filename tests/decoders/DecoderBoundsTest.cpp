// Signals built to overrun the decoders' frame copies and histories: leaders cut into many
// pieces kept over several buffers, buffers without a terminator, and random noise. Run
// under the asan build too; the plain build's pool guards catch an overrun when the
// decoder frees its buffers.
#include "tests/decoders/DecoderTestSupport.h"

using namespace dectest;

namespace {

template <typename Decoder> void expectWithinBounds(Decoder& decoder, size_t frameSlots, int call) {
    EXPECT_LE(DecoderProbe::frameSamples(decoder), frameSlots)
        << "call " << call << ": the frame copy holds " << frameSlots << " samples";
    EXPECT_LE(DecoderProbe::heldSamples(decoder), frameSlots)
        << "call " << call << ": a kept frame plus a whole buffer must fit the history";
}

// A leader of count pulse samples that add up to 180 units.
Samples piecewiseLeader(size_t count) {
    Samples leader;
    unsigned left = 180;
    for (size_t i = 0; i < count; ++i) {
        unsigned piece = left / static_cast<unsigned>(count - i);
        leader.push_back(pulse(piece));
        left -= piece;
    }
    return leader;
}

Samples necFrameWithLeader(size_t leaderSamples, unsigned command) {
    Samples frame = piecewiseLeader(leaderSamples);
    Samples rest = necFrame(0x04, command);
    frame.insert(frame.end(), rest.begin() + 2, rest.end());
    return frame;
}

void feedRawBuffer(IR_Protocol& decoder, const IrSample (&buffer)[IR_DATA_BUFFER_SAMPLES]) {
    IrSample copy[IR_DATA_BUFFER_SAMPLES];
    std::copy(std::begin(buffer), std::end(buffer), copy);
    KeyInfo info = {};
    EXPECT_TRUE(decoder.decode(copy, &info));
}

} // namespace

// 3 leader samples, a leader space and 64 bit samples fill the 68 slots exactly; one more
// leader sample cannot be taken.
TEST(NecBoundsTest, FrameCopyEdge) {
    Built<NEC_Protocol> nec;
    EXPECT_EQ(feedChunks(*nec, necFrameWithLeader(3, 0x51), 30), std::vector<ULONG>{0x51})
        << "a frame of 68 samples decodes";
    EXPECT_TRUE(feedChunks(*nec, necFrameWithLeader(4, 0x52), 30).empty())
        << "a frame of 69 samples fails rather than overrun the frame copy";
    expectWithinBounds(*nec, NEC_FRAME_SAMPLES, 0);
    EXPECT_EQ(feedChunks(*nec, necFrame(0x04, 0x53), 30), std::vector<ULONG>{0x53});
}

// The parser always ends a buffer with the terminator; a decoder handed one without must
// still stop inside its history.
TEST(DecoderBoundsTest, BufferWithoutTerminator) {
    IrSample noTerminator[IR_DATA_BUFFER_SAMPLES];
    for (size_t i = 0; i < IR_DATA_BUFFER_SAMPLES; ++i)
        noTerminator[i] = i % 2 ? space(i % 4 == 1 ? 11 : 34) : pulse(11);

    Built<NEC_Protocol> nec;
    Samples frame = necFrame(0x04, 0x10);
    feed(*nec, frame.data(), 30);
    feed(*nec, frame.data() + 30, 30);
    ASSERT_EQ(DecoderProbe::heldSamples(*nec), 60u) << "a large kept frame in front";
    feedRawBuffer(*nec, noTerminator);
    expectWithinBounds(*nec, NEC_FRAME_SAMPLES, 1);
    EXPECT_EQ(feedChunks(*nec, necFrame(0x04, 0x11), 30), std::vector<ULONG>{0x11});

    Built<RC5_Protocol> rc5;
    Samples rc5frame = rc5Frame(1, 0, 1, 0x3F);
    feed(*rc5, rc5frame.data(), rc5frame.size() - 1);
    feedRawBuffer(*rc5, noTerminator);
    expectWithinBounds(*rc5, RC5_FRAME_SAMPLES, 1);
    EXPECT_EQ(feedChunks(*rc5, rc5Frame(1, 0, 1, 0x05, 127), 30), std::vector<ULONG>{0x45});
}

// Endless valid halves in full buffers: every attempt reads as far as a frame can go.
TEST(Rc5BoundsTest, EndlessHalvesInFullBuffers) {
    Built<RC5_Protocol> rc5;
    Samples halves;
    for (size_t i = 0; i < 400; ++i)
        halves.push_back(i % 2 ? space(i % 7 ? 18 : 36) : pulse(i % 5 ? 18 : 36));
    int call = 0;
    for (size_t at = 0; at + IR_DATA_BUFFER_SAMPLES - 1 <= halves.size(); at += 13) {
        feed(*rc5, halves.data() + at, IR_DATA_BUFFER_SAMPLES - 1);
        expectWithinBounds(*rc5, RC5_FRAME_SAMPLES, ++call);
    }
}
