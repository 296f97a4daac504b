// The packet parser on hand-made packets, one row per corner of the format: groups, cut
// items, responses, skipped bytes, the end-of-signal marker and oversized lengths; then
// its pool memory and a failed creation.
#include "tests/rlc/RlcHarness.h"

#include "platform/Diagnostics.h"
#include "transfer/PoolTag.h"

using namespace rlctest;

namespace {

// Packets fed one after the other to a fresh parser, and what the last one must give.
struct PacketCase {
    const char* name;
    std::vector<Bytes> before; // fed first, their samples ignored
    Bytes packet;
    Samples samples;
    ULONG carried;
    bool released;
    ULONG length = 0; // the length claimed, when not the packet's size
};

Samples many(IrSample (*kind)(int), int from, int count) {
    Samples out;
    for (int i = 0; i < count; ++i)
        out.push_back(kind(from + i));
    return out;
}

Bytes groups(uint8_t level, int from, int count) { // count samples in groups of four
    Bytes out;
    for (int i = 0; i < count; ++i) {
        if (i % 4 == 0)
            out.push_back(0x84);
        out.push_back(static_cast<uint8_t>(level | (from + i)));
    }
    return out;
}

template <class T> std::vector<T> join(std::vector<T> a, const std::vector<T>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// clang-format off
const PacketCase kCases[] = {
    {"GroupLevelsComeFromBitSeven", {}, {0x84, 0x00, 0xFF, 0x7F, 0x81},
     {space(0), pulse(127), space(127), pulse(1)}, 0, false},
    {"CutGroupWaitsForTheNextPacket", {}, {0x84, 0xB4, 0x35}, {}, 3, false},
    {"CutGroupIsCompletedThenTheMarkerReleases", {{0x84, 0xB4, 0x35}}, {0x5A, 0x8B, 0x80},
     {pulse(52), space(53), space(90), pulse(11), space(RLC_SILENCE_UNITS)}, 0, true},
    {"LeadingMarkerReleasesAndDropsTheRest", {}, {0x80, 0x81, 0x05}, {space(RLC_SILENCE_UNITS)}, 0,
     true},
    {"NothingBehindAMarkerIsCarried", {}, {0x81, 0x05, 0x80, 0x84, 0x01},
     {space(5), space(RLC_SILENCE_UNITS)}, 0, true},
    {"APacketAfterAMarkerStartsAfresh", {{0x80, 0x84}}, {0x02, 0x03, 0x04, 0x81, 0x07},
     {space(7)}, 0, false},
    {"SampleByte0x80InAGroupIsAPulseOfZero", {}, {0x83, 0x85, 0x80, 0x10},
     {pulse(5), pulse(0), space(16)}, 0, false},
    {"UnknownResponseIdCostsOnlyItsHeader", {}, {0xE5, 0x84, 0x01, 0x82, 0x03, 0x84},
     {space(1), pulse(2), space(3), pulse(4)}, 0, false},
    {"ResponseHeaderAloneWaitsForItsId", {}, {0x9F}, {}, 1, false},
    {"SevenByteResponseWaitsWhole", {{0x9F}}, {0x11, 0x01, 0x02, 0x03, 0x04}, {}, 6, false},
    {"ResponseCompletedThenAGroup", {{0x9F}, {0x11, 0x01, 0x02, 0x03, 0x04}}, {0x05, 0x81, 0x0A},
     {space(10)}, 0, false},
    // 4 carried bytes and 32 new ones: seven groups of four, the most one call can give.
    {"CarriedTailAndAFullPacketFitTheSlots", {{0x84, 0x01, 0x02, 0x03}},
     join(join(Bytes{0x04}, groups(0x80, 10, 24)), Bytes{0x84}),
     join(Samples{space(1), space(2), space(3), space(4)}, many(pulse, 10, 24)), 1, false},
    // Bytes past 32 are not parsed, and the group cut at byte 32 goes on in lost bytes.
    {"LengthAbove32ParsesThe32BytesAndCarriesNothing", {},
     join(groups(0, 1, 24), Bytes{0x83, 0x11, 0x12, 0x13, 0x81, 0x05, 0x81, 0x06, 0x81, 0x07}),
     many(space, 1, 24), 0, false},
    {"HugeClaimedLengthReadsNoMoreThan32Bytes", {}, join(groups(0, 1, 24), Bytes{0x83, 0x11}),
     many(space, 1, 24), 0, false, 0xFFFFFFFFu},
};
// clang-format on

class RlcPacketTest : public ::testing::TestWithParam<PacketCase> {};

TEST_P(RlcPacketTest, SamplesCarryAndRelease) {
    const PacketCase& c = GetParam();
    Harness rlc;
    ASSERT_EQ(STATUS_SUCCESS, rlc.status());
    ASSERT_TRUE(rlc.parser().isKeyReleased()) << "a new parser reports one release";
    for (const Bytes& packet : c.before)
        rlc.parse(packet);
    rlc.parser().isKeyReleased();
    uint64_t mark = emu::debuglog::mark();
    EXPECT_EQ(c.samples, rlc.parse(c.packet, c.length ? c.length : ULONG(c.packet.size())));
    EXPECT_EQ(c.carried, rlc.parser().carried());
    EXPECT_EQ(c.released, rlc.parser().isKeyReleased());
    EXPECT_FALSE(rlc.parser().isKeyReleased()) << "one marker, one release";
    bool oversized = c.length > 32 || c.packet.size() > 32;
    EXPECT_EQ(oversized, emu::debuglog::contains("only the first 32 parsed", mark));
    if (c.carried == 0) {
        EXPECT_EQ(Samples{space(9)}, rlc.parse({0x81, 0x09})) << "the parser goes on cleanly";
    }
}

INSTANTIATE_TEST_SUITE_P(Packets, RlcPacketTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<PacketCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(RlcParseTest, BytesThatAreNoItemHeaderAreSkippedOneAtATimeAndLogNothing) {
    Harness rlc;
    uint64_t mark = emu::debuglog::mark();
    for (int b = 0; b < 256; ++b) {
        bool header = b == 0x80 || (b >= 0x81 && b <= 0x84) || b == 0x9F || b >= 0xE0;
        if (header)
            continue;
        // A byte taken as a group header would swallow the group behind it.
        EXPECT_EQ(Samples{space(5)}, rlc.parse({static_cast<uint8_t>(b), 0x81, 0x05}))
            << "byte 0x" << std::hex << b << " is skipped alone";
        EXPECT_EQ(0u, rlc.parser().carried()) << "byte 0x" << std::hex << b;
    }
    EXPECT_TRUE(responsesLogged(mark).empty());
}

TEST(RlcParseTest, ResetForgetsTheCarriedTailAndArmsOneRelease) {
    Harness rlc;
    rlc.parser().isKeyReleased();
    rlc.parse({0x84, 0x01});
    ASSERT_EQ(2u, rlc.parser().carried());
    rlc.parser().reset();
    EXPECT_EQ(0u, rlc.parser().carried());
    EXPECT_TRUE(rlc.parser().isKeyReleased()) << "the first query after reset is a release";
    EXPECT_FALSE(rlc.parser().isKeyReleased());
    EXPECT_EQ(Samples{space(3)}, rlc.parse({0x02, 0x81, 0x03}))
        << "the forgotten group does not take the new bytes";
}

TEST(RlcParseTest, OneFortyByteBlockForLifeAndNoAllocationPerPacket) {
    emu::PoolTagStats before = emu::pool::stats(RAVO_POOL_TAG);
    {
        Harness rlc;
        ASSERT_EQ(STATUS_SUCCESS, rlc.status());
        emu::PoolTagStats during = emu::pool::stats(RAVO_POOL_TAG);
        EXPECT_EQ(before.liveBlocks + 1, during.liveBlocks) << "one work buffer";
        EXPECT_EQ(before.liveBytes + 40, during.liveBytes) << "of 40 bytes";
        uint64_t allocations = emu::pool::allocationCount();
        LONG level = DebugLevel;
        DebugLevel = -1; // keeps the response messages out of the log
        const Bytes packets[] = {
            {0x84, 0x01, 0x82, 0x03}, {0x84, 0x9F, 0x14}, {0x9F, 0x11, 0}, {0, 0, 0, 0x80}, {0xFF}};
        for (int i = 0; i < 5000; ++i)
            rlc.parse(packets[i % 5]);
        DebugLevel = level;
        EXPECT_EQ(allocations, emu::pool::allocationCount()) << "no allocation per packet";
    }
    EXPECT_EQ(before.liveBytes, emu::pool::stats(RAVO_POOL_TAG).liveBytes) << "freed";
}

TEST(RlcParseTest, FailedWorkBufferIsReportedAndTheObjectStaysHarmless) {
    uint64_t mark = emu::debuglog::mark();
    emu::PoolTagStats before = emu::pool::stats(RAVO_POOL_TAG);
    emu::pool::failNthAllocation(1);
    std::optional<Harness> rlc;
    rlc.emplace();
    emu::pool::clearFaults();
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, rlc->status());
    EXPECT_TRUE(
        emu::debuglog::contains("ravo (error): FAIL: generic replacement new [] size 28", mark))
        << "the array form reports the 40 bytes in hex";
    EXPECT_EQ(Samples{}, rlc->parse({0x81, 0x05})) << "a parser without a buffer reads nothing";
    rlc.reset();
    EXPECT_EQ(before.liveBlocks, emu::pool::stats(RAVO_POOL_TAG).liveBlocks);
}

} // namespace
