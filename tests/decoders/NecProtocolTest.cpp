// The NEC decoder on its own: frames, their end, timing windows, frames kept over buffers.
#include "tests/decoders/DecoderTestSupport.h"

using namespace dectest;

namespace {

// Every byte has both 0 and 1 bits, so both bit spaces are exercised in each.
constexpr unsigned kAddress = 0x5A;
constexpr unsigned kCommand = 0x3C;

// Index of the pulse of bit i (0..31) in a frame whose leader takes two samples.
size_t bitPulseIndex(size_t bit) {
    return 3 + 2 * bit;
}

KeyInfo decodeWhole(const Samples& samples) {
    Built<NEC_Protocol> nec;
    std::vector<ULONG> keys = feedChunks(*nec, samples, kMaxPacketSamples);
    KeyInfo info = {};
    if (!keys.empty()) {
        info.valid = 1;
        info.key = keys.back();
    }
    EXPECT_LE(keys.size(), 1u) << "one frame gives at most one key";
    return info;
}

} // namespace

TEST(NecDecodeTest, FrameOfCommand0x16ReportsIt) {
    // Address 0x00 and its inverse, then command bits 0,1,1,0,1,0,0,0 and 1,0,0,1,0,1,1,1,
    // built by hand so that the bit order does not depend on the helper.
    const int bits[32] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1,
                          0, 1, 1, 0, 1, 0, 0, 0, 1, 0, 0, 1, 0, 1, 1, 1};
    Samples frame{pulse(127), pulse(53), space(90)};
    for (int bit : bits) {
        frame.push_back(pulse(11));
        frame.push_back(space(bit ? 34 : 11));
    }
    frame.push_back(pulse(11));
    frame.push_back(space(127));
    ASSERT_EQ(frame, necFrame(0x00, 0x16)) << "the helper must build the same frame";

    Built<NEC_Protocol> nec;
    std::vector<ULONG> keys = feedChunks(*nec, frame, kMaxPacketSamples);
    EXPECT_EQ(keys, std::vector<ULONG>{0x16}) << "command 0x16 decoded exactly once";
}

TEST(NecDecodeTest, EveryCommandByteDecodesToItself) {
    Built<NEC_Protocol> nec;
    for (unsigned command = 0; command < 256; ++command) {
        std::vector<ULONG> keys = feedChunks(*nec, necFrame(command ^ 0x81, command), 30);
        EXPECT_EQ(keys, std::vector<ULONG>{command}) << "command " << command;
        EXPECT_EQ(DecoderProbe::heldSamples(*nec), 0u) << "nothing kept after a whole frame";
    }
}

TEST(NecDecodeTest, AddressIsNeitherCheckedNorReported) {
    KeyInfo info = decodeWhole(necFrame(0x12, 0x12, kCommand, ~kCommand & 0xFF));
    EXPECT_EQ(info.valid, 1) << "an address that does not match its inverse is still answered";
    EXPECT_EQ(info.key, kCommand);
}

TEST(NecDecodeTest, WrongInverseCommandKeepsNothing) {
    for (bool stopPulse : {true, false}) {
        Built<NEC_Protocol> nec;
        NecTiming timing;
        timing.stopPulse = stopPulse;
        Samples frame = necFrame(kAddress, ~kAddress & 0xFF, kCommand, kCommand, timing);
        EXPECT_TRUE(feedChunks(*nec, frame, 30).empty()) << "a bad inverse command is no key";
        EXPECT_EQ(DecoderProbe::heldSamples(*nec), 0u) << "and is not kept";
    }
}

// Each window at both ends, and one unit beyond each end.
TEST(NecDecodeTest, TimingWindowEdges) {
    struct Case {
        const char* what;
        unsigned NecTiming::*field;
        unsigned units;
        bool accepted;
    };
    const Case cases[] = {
        {"leader pulse", &NecTiming::leaderPulse, 174, false},
        {"leader pulse", &NecTiming::leaderPulse, 175, true},
        {"leader pulse", &NecTiming::leaderPulse, 185, true},
        {"leader pulse", &NecTiming::leaderPulse, 186, false},
        {"leader space", &NecTiming::leaderSpace, 84, false},
        {"leader space", &NecTiming::leaderSpace, 85, true},
        {"leader space", &NecTiming::leaderSpace, 95, true},
        {"leader space", &NecTiming::leaderSpace, 96, false},
        {"bit pulse", &NecTiming::bitPulse, 5, false},
        {"bit pulse", &NecTiming::bitPulse, 6, true},
        {"bit pulse", &NecTiming::bitPulse, 16, true},
        {"bit pulse", &NecTiming::bitPulse, 17, false},
        {"0 space", &NecTiming::zeroSpace, 5, false},
        {"0 space", &NecTiming::zeroSpace, 6, true},
        {"0 space", &NecTiming::zeroSpace, 16, true},
        {"0 space", &NecTiming::zeroSpace, 17, false},
        {"0 space", &NecTiming::zeroSpace, 28, false},
        {"1 space", &NecTiming::oneSpace, 28, false},
        {"1 space", &NecTiming::oneSpace, 29, true},
        {"1 space", &NecTiming::oneSpace, 39, true},
        {"1 space", &NecTiming::oneSpace, 40, false},
        {"1 space", &NecTiming::oneSpace, 127, false},
    };
    for (const Case& c : cases) {
        NecTiming timing;
        timing.*c.field = c.units;
        KeyInfo info = decodeWhole(necFrame(kAddress, kCommand, timing));
        EXPECT_EQ(info.valid, c.accepted ? 1 : 0)
            << c.what << " of " << c.units << " units should be "
            << (c.accepted ? "accepted" : "rejected");
        if (c.accepted) {
            EXPECT_EQ(info.key, kCommand) << c.what << " of " << c.units;
        }
    }
}

// A single bad period anywhere in the 32 bits must fail the frame: no byte goes unchecked.
TEST(NecDecodeTest, OneBadBitAnywhereFailsTheFrame) {
    for (size_t bit = 0; bit < 32; ++bit) {
        Samples badPulse = necFrame(kAddress, kCommand);
        badPulse[bitPulseIndex(bit)].duration = 17;
        EXPECT_EQ(decodeWhole(badPulse).valid, 0) << "bit " << bit << " with a 17-unit pulse";
        Samples badSpace = necFrame(kAddress, kCommand);
        badSpace[bitPulseIndex(bit) + 1].duration = 22;
        EXPECT_EQ(decodeWhole(badSpace).valid, 0) << "bit " << bit << " with a 22-unit space";
        Samples pulseForSpace = necFrame(kAddress, kCommand);
        pulseForSpace[bitPulseIndex(bit) + 1].level = 1;
        EXPECT_EQ(decodeWhole(pulseForSpace).valid, 0) << "bit " << bit << " without its space";
    }
}

// The 32 bits are a frame only when the stop pulse and a space longer than a bit's follow
// (the parser's silence for a marker included); the end may come in a later buffer.
TEST(NecDecodeTest, AFrameEndsWithItsStopPulseAndALongSpace) {
    NecTiming open;
    open.stopPulse = false;
    Samples longer = necFrame(kAddress, kCommand, open);
    appendNecByte(longer, 0x12, open);
    appendNecByte(longer, 0xED, open);
    struct Case {
        const char* what;
        Samples tail;
        bool key;
    };
    const Case cases[] = {
        {"stop pulse, silence", {pulse(11), space(127)}, true},
        {"stop pulse, 2 ms space", {pulse(11), space(40)}, true},
        {"stop pulse, 1-bit space", {pulse(11), space(39), pulse(11), space(127)}, false},
        {"stop pulse, 0-bit space", {pulse(11), space(11), pulse(11), space(127)}, false},
        {"no stop pulse", {space(127)}, false},
        {"stop pulse too long", {pulse(17), space(127)}, false},
        {"16 more bits", {}, false},
    };
    for (const Case& c : cases) {
        Samples signal = c.tail.empty() ? longer : necFrame(kAddress, kCommand, open);
        append(signal, c.tail.empty() ? Samples{pulse(11), space(127)} : c.tail);
        for (size_t cut : {60, 67, 68}) {
            Built<NEC_Protocol> nec;
            std::vector<size_t> cuts{30, cut};
            if (cut + 30 < signal.size())
                cuts.push_back(cut + 30);
            EXPECT_EQ(feedSplit(*nec, signal, cuts),
                      c.key ? std::vector<ULONG>{kCommand} : std::vector<ULONG>{})
                << c.what << ", cut before sample " << cut;
        }
    }
}

TEST(NecDecodeTest, RepeatCodesGiveNothing) {
    Built<NEC_Protocol> nec;
    Samples repeat{pulse(127), pulse(53), space(45), pulse(11)};
    EXPECT_EQ(feed(*nec, repeat).valid, 0) << "a repeat code alone is no key";
    EXPECT_EQ(DecoderProbe::heldSamples(*nec), 0u) << "a repeat code is not kept";

    Samples held = necFrame(kAddress, kCommand);
    for (int i = 0; i < 3; ++i) {
        appendPeriod(held, false, 800); // 40 ms to the repeat code
        append(held, repeat);
    }
    EXPECT_EQ(feedChunks(*nec, held, 30), std::vector<ULONG>{kCommand})
        << "a held button gives one key per full frame";
}

TEST(NecDecodeTest, NoiseBeforeAFrameIsSkipped) {
    Samples samples{pulse(3),  space(50), pulse(100), space(5),   pulse(127),
                    pulse(60), space(90), pulse(11),  space(127), space(3)};
    append(samples, necFrame(kAddress, kCommand));
    Built<NEC_Protocol> nec;
    EXPECT_EQ(feedChunks(*nec, samples, 30), std::vector<ULONG>{kCommand});
}

// A kept frame survives a buffer of nothing, is completed by the next; a leader already
// too long is not kept; reset drops what is kept.
TEST(NecHoldOverTest, WhatIsKeptAndWhatIsDropped) {
    Built<NEC_Protocol> nec;
    Samples frame = necFrame(kAddress, kCommand);
    feed(*nec, frame.data(), 30);
    ASSERT_EQ(DecoderProbe::heldSamples(*nec), 30u);
    EXPECT_EQ(feed(*nec, {}).valid, 0);
    EXPECT_EQ(DecoderProbe::heldSamples(*nec), 30u) << "an empty buffer changes nothing";
    feed(*nec, frame.data() + 30, 30);
    EXPECT_EQ(feed(*nec, frame.data() + 60, 9).key, kCommand) << "the frame still completes";

    feed(*nec, {pulse(127), pulse(59)});
    EXPECT_EQ(DecoderProbe::heldSamples(*nec), 0u) << "a leader of 186 units is not kept";
    feed(*nec, frame.data(), 30);
    nec->reset();
    EXPECT_EQ(DecoderProbe::heldSamples(*nec), 0u);
    EXPECT_TRUE(feedChunks(*nec, Samples(frame.begin() + 30, frame.end()), 30).empty())
        << "the rest of a dropped frame is no key";
}
