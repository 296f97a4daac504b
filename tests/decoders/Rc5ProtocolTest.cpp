// The RC5 decoder on its own: fields, half-bit windows, long samples split and their rests,
// frames kept over buffers.
#include "tests/decoders/DecoderTestSupport.h"

#include "emu/kernel/Kernel.h"
#include "transfer/PoolTag.h"

using namespace dectest;

namespace {

// Start bits 1 and 1, toggle 0, address 0, command 0x35, from the start pulse on; two
// neighbouring halves of one level are one sample of 36 units.
const Samples kFrame0x35{pulse(18), space(18), pulse(36), space(18), pulse(18), space(18),
                         pulse(18), space(18), pulse(18), space(18), pulse(18), space(18),
                         pulse(18), space(36), pulse(18), space(18), pulse(36), space(36),
                         pulse(36), space(36), pulse(18)};

std::vector<ULONG> decodeAll(const Samples& samples, size_t chunk = kMaxPacketSamples) {
    Built<RC5_Protocol> rc5;
    return feedChunks(*rc5, samples, chunk);
}

} // namespace

TEST(Rc5DecodeTest, FieldBitBecomesCommandBit6) {
    ASSERT_EQ(rc5Frame(1, 0, 0, 0x35), kFrame0x35) << "the helper must build the same frame";
    Built<RC5_Protocol> rc5;
    KeyInfo info = feed(*rc5, kFrame0x35);
    EXPECT_EQ(info.valid, 1);
    EXPECT_EQ(info.key, 0x75u) << "0x35 with bit 6 set by the field bit";
    EXPECT_EQ(info.toggle, 0u);
    EXPECT_EQ(decodeAll(rc5Frame(0, 0, 0, 0x35, 127)), std::vector<ULONG>{0x35})
        << "a second start bit of 0 leaves bit 6 clear";
}

TEST(Rc5DecodeTest, EveryFieldToggleAndCommand) {
    Built<RC5_Protocol> rc5;
    for (unsigned field = 0; field < 2; ++field)
        for (unsigned toggle = 0; toggle < 2; ++toggle)
            for (unsigned address : {0u, 21u, 31u})
                for (unsigned command = 0; command < 64; ++command) {
                    Samples frame = rc5Frame(field, toggle, address, command, 127);
                    KeyInfo info = feed(*rc5, frame);
                    EXPECT_EQ(info.valid, 1) << field << toggle << " " << address << " " << command;
                    EXPECT_EQ(info.key, command | field << 6) << "command " << command;
                    EXPECT_EQ(info.toggle, toggle) << "command " << command;
                    EXPECT_EQ(DecoderProbe::heldSamples(*rc5), 0u);
                }
}

TEST(Rc5DecodeTest, HalfBitWindowEdges) {
    struct Case {
        unsigned Rc5Timing::*field;
        unsigned units;
        bool accepted;
    };
    const Case cases[] = {
        {&Rc5Timing::half, 11, false},    {&Rc5Timing::half, 12, true},
        {&Rc5Timing::half, 24, true},     {&Rc5Timing::doubled, 25, false},
        {&Rc5Timing::doubled, 28, false}, {&Rc5Timing::doubled, 30, false},
        {&Rc5Timing::doubled, 31, true},  {&Rc5Timing::doubled, 41, true},
        {&Rc5Timing::doubled, 42, false}, {&Rc5Timing::doubled, 60, false},
    };
    for (const Case& c : cases) {
        Rc5Timing timing;
        timing.*c.field = c.units;
        std::vector<ULONG> keys = decodeAll(rc5Frame(1, 0, 0, 0x35, 0, timing));
        if (c.accepted) {
            EXPECT_EQ(keys, std::vector<ULONG>{0x75}) << c.units << " units should be accepted";
        } else {
            EXPECT_TRUE(keys.empty()) << c.units << " units should be rejected";
        }
    }
}

TEST(Rc5DecodeTest, BitWithoutLevelChangeFails) {
    Samples frame = kFrame0x35;
    // The field bit's two halves (space then pulse) become space then space.
    frame[1] = space(18);
    frame[2] = space(18);
    EXPECT_TRUE(decodeAll(frame).empty()) << "a bit must change level in its middle";
}

TEST(Rc5DecodeTest, TwoFramesInOneCallReportTheSecond) {
    Samples first = rc5Frame(1, 0, 3, 0x01, 127);
    Samples second = rc5Frame(1, 1, 3, 0x02, 127);
    Built<RC5_Protocol> rc5;
    // The first frame cut so that its end, the gap and the whole second frame share a call.
    size_t cut = first.size() - 4;
    ASSERT_LE(4 + second.size(), kMaxPacketSamples);
    EXPECT_EQ(feed(*rc5, first.data(), cut).valid, 0);
    Samples rest(first.begin() + cut, first.end());
    append(rest, second);
    KeyInfo info = feed(*rc5, rest);
    EXPECT_EQ(info.valid, 1);
    EXPECT_EQ(info.key, 0x42u) << "the last frame of a call is reported";
    EXPECT_EQ(info.toggle, 1u) << "with its own toggle";
}

TEST(Rc5HoldOverTest, ClosingSpaceHalfArrivesWithTheNextBuffer) {
    // Command 0x34 ends with a 0 bit: its last half is the silence after the frame.
    Samples frame = rc5Frame(1, 0, 1, 0x34);
    Built<RC5_Protocol> rc5;
    EXPECT_EQ(feed(*rc5, frame).valid, 0) << "the frame waits for its last half";
    EXPECT_GT(DecoderProbe::heldSamples(*rc5), 0u);
    KeyInfo info = feed(*rc5, {space(127), space(127)});
    EXPECT_EQ(info.valid, 1) << "the first half of the silence ends the frame";
    EXPECT_EQ(info.key, 0x74u);
}

// A long space where a start pulse is expected is eaten 18 units at a time, then stepped
// over; the frame behind it decodes.
TEST(Rc5LongSampleTest, LongSpaceBeforeAFrameIsUsedUp) {
    for (unsigned gap : {25u, 30u, 36u, 42u, 100u, 127u}) {
        Samples samples{pulse(5), space(gap)};
        append(samples, kFrame0x35);
        EXPECT_EQ(decodeAll(samples), std::vector<ULONG>{0x75}) << "space of " << gap;
    }
}

TEST(Rc5LongSampleTest, RejectedRestFailsTheBitAndResumesBehindIt) {
    // The long pulse joining the field bit and the toggle bit leaves a rest of 24 units:
    // the attempt fails there.
    Samples frame = kFrame0x35;
    frame[2] = pulse(42);
    Samples stream = frame;
    append(stream, {space(127)});
    append(stream, kFrame0x35);
    EXPECT_EQ(decodeAll(stream), std::vector<ULONG>{0x75})
        << "only the intact second frame decodes";
}

TEST(Rc5ConstructionTest, FailedAllocationReportsAndLeaksNothing) {
    for (uint64_t failing : {1, 2}) {
        uint64_t liveBefore = emu::pool::stats(RAVO_POOL_TAG).liveBlocks;
        emu::pool::failNthAllocation(failing);
        NTSTATUS status = STATUS_SUCCESS;
        {
            std::optional<RC5_Protocol> rc5;
            rc5.emplace(&status);
        }
        emu::pool::clearFaults();
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << failing << " failed";
        EXPECT_EQ(emu::pool::stats(RAVO_POOL_TAG).liveBlocks, liveBefore)
            << "a buffer already allocated is given back";
    }
}
