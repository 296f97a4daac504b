// The packet parser on hand-made packets: the format's corner cases, cut items, responses,
// the end-of-signal marker, oversized lengths and its use of pool memory.
#include "tests/rlc/RlcHarness.h"

#include "platform/Diagnostics.h"
#include "transfer/PoolTag.h"

using namespace rlctest;

namespace {

class RlcParseTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(STATUS_SUCCESS, rlc.status()) << "the parser is created";
        // Creation arms one release; most cases look only at what packets do.
        ASSERT_TRUE(rlc.parser().isKeyReleased()) << "a new parser reports one release";
        mark = emu::debuglog::mark();
    }
    void TearDown() override { emu::pool::clearFaults(); }

    Harness rlc;
    uint64_t mark = 0;
};

TEST_F(RlcParseTest, AGroupGivesItsSamplesAndLevelsComeFromBitSeven) {
    EXPECT_EQ((Samples{pulse(31), space(20)}), rlc.parse({0x82, 0x9F, 0x14}));
    EXPECT_EQ((Samples{space(0), pulse(127), space(127), pulse(1)}),
              rlc.parse({0x84, 0x00, 0xFF, 0x7F, 0x81}));
    EXPECT_EQ(0u, rlc.parser().carried()) << "complete groups leave nothing behind";
    EXPECT_FALSE(rlc.parser().isKeyReleased()) << "no marker, no release";
}

TEST_F(RlcParseTest, AGroupCutByThePacketEndIsCompletedByTheNextPacket) {
    EXPECT_EQ(Samples{}, rlc.parse({0x84, 0xB4, 0x35})) << "a cut group gives nothing yet";
    EXPECT_EQ(3u, rlc.parser().carried()) << "the header and both samples wait";
    EXPECT_FALSE(rlc.parser().isKeyReleased());

    EXPECT_EQ((Samples{pulse(52), space(53), space(90), pulse(11), space(RLC_SILENCE_UNITS)}),
              rlc.parse({0x5A, 0x8B, 0x80}))
        << "the marker is handed on as the longest space";
    EXPECT_EQ(0u, rlc.parser().carried());
    EXPECT_TRUE(rlc.parser().isKeyReleased()) << "the marker behind the group is a release";
    EXPECT_FALSE(rlc.parser().isKeyReleased()) << "one marker, one release";
}

TEST_F(RlcParseTest, TheMarkerEndsThePacketAndDropsWhatFollows) {
    EXPECT_EQ(Samples{space(RLC_SILENCE_UNITS)}, rlc.parse({0x80, 0x81, 0x05}));
    EXPECT_TRUE(rlc.parser().isKeyReleased()) << "a leading marker is a release";
    EXPECT_EQ(0u, rlc.parser().carried());

    // Behind a marker even an item that would be cut is dropped, not carried.
    EXPECT_EQ((Samples{space(5), space(RLC_SILENCE_UNITS)}),
              rlc.parse({0x81, 0x05, 0x80, 0x84, 0x01}));
    EXPECT_TRUE(rlc.parser().isKeyReleased());
    EXPECT_EQ(0u, rlc.parser().carried()) << "nothing behind the marker is kept";
    EXPECT_EQ(Samples{space(7)}, rlc.parse({0x02, 0x03, 0x04, 0x81, 0x07}))
        << "the next packet starts afresh: its leading bytes are no samples";
}

TEST_F(RlcParseTest, ASampleByte0x80InsideAGroupIsAPulseOfZero) {
    EXPECT_EQ((Samples{pulse(5), pulse(0), space(16)}), rlc.parse({0x83, 0x85, 0x80, 0x10}))
        << "the byte is written as (1, 0) where the decoders stop reading";
    EXPECT_FALSE(rlc.parser().isKeyReleased());
}

TEST_F(RlcParseTest, BytesThatAreNoItemHeaderAreSkippedOneAtATime) {
    for (int b = 0; b < 256; ++b) {
        bool header = b == 0x80 || (b >= 0x81 && b <= 0x84) || b == 0x9F || b >= 0xE0;
        if (header)
            continue;
        // A byte taken as a group header would swallow the group behind it.
        EXPECT_EQ(Samples{space(5)}, rlc.parse({static_cast<uint8_t>(b), 0x81, 0x05}))
            << "byte 0x" << std::hex << b << " is skipped alone";
        EXPECT_EQ(0u, rlc.parser().carried()) << "byte 0x" << std::hex << b;
    }
    EXPECT_TRUE(responsesLogged(mark).empty()) << "skipped bytes log nothing";
    EXPECT_FALSE(rlc.parser().isKeyReleased());
}

TEST_F(RlcParseTest, AResponseWithAnUnknownIdCostsOnlyItsHeader) {
    std::vector<uint8_t> headers = {0x9F};
    for (int h = 0xE0; h <= 0xFF; ++h)
        headers.push_back(static_cast<uint8_t>(h));
    for (uint8_t h : headers) {
        EXPECT_EQ((Samples{space(1), pulse(2), space(3), pulse(4)}),
                  rlc.parse({h, 0x84, 0x01, 0x82, 0x03, 0x84}))
            << "behind header 0x" << std::hex << int(h) << " id 0x84 starts a group";
    }
    EXPECT_TRUE(responsesLogged(mark).empty()) << "an unknown id is not logged";
}

TEST_F(RlcParseTest, EveryResponseIsDroppedAndLoggedOnceWhereverThePacketCutsIt) {
    std::vector<uint8_t> headers = {0x9F, 0xE0, 0xF3, 0xFF};
    for (uint8_t header : headers) {
        for (const ResponseId& r : responseIds()) {
            // Data bytes that read as groups, should they be taken for items.
            Bytes item = {header, r.id};
            for (size_t i = 2; i < r.length; ++i)
                item.push_back(i % 2 ? 0x85 : 0x81);
            Bytes stream = {0x81, 0x0A};
            stream.insert(stream.end(), item.begin(), item.end());
            stream.insert(stream.end(), {0x81, 0x8B});
            for (size_t at = 1; at < stream.size(); ++at) {
                uint64_t here = emu::debuglog::mark();
                Bytes first(stream.begin(), stream.begin() + static_cast<long>(at));
                Bytes second(stream.begin() + static_cast<long>(at), stream.end());
                EXPECT_EQ((Samples{space(10), pulse(11)}), rlc.parseAll({first, second}))
                    << "header 0x" << std::hex << int(header) << " id 0x" << int(r.id)
                    << " cut after byte " << std::dec << at;
                EXPECT_EQ(std::vector<std::string>{responseLine(header, r.id)},
                          responsesLogged(here))
                    << "logged exactly once: header 0x" << std::hex << int(header) << " id 0x"
                    << int(r.id) << " cut after byte " << std::dec << at;
                EXPECT_EQ(0u, rlc.parser().carried());
            }
        }
    }
}

TEST_F(RlcParseTest, AResponseIsLoggedOnlyWhenItsLastByteHasArrived) {
    EXPECT_EQ(Samples{}, rlc.parse({0x9F}));
    EXPECT_EQ(1u, rlc.parser().carried()) << "a header alone waits for its id";
    EXPECT_EQ(Samples{}, rlc.parse({0x11, 0x01, 0x02, 0x03, 0x04}));
    EXPECT_EQ(6u, rlc.parser().carried()) << "id 0x11 needs 7 bytes";
    EXPECT_TRUE(responsesLogged(mark).empty()) << "nothing logged before the item is whole";
    EXPECT_EQ(Samples{space(10)}, rlc.parse({0x05, 0x81, 0x0A}));
    EXPECT_EQ(std::vector<std::string>{responseLine(0x9F, 0x11)}, responsesLogged(mark));
}

TEST_F(RlcParseTest, ACarriedTailAndAFullPacketFitTheSlots) {
    // 4 carried bytes and 32 new ones: seven groups of four, the most one call can give.
    EXPECT_EQ(Samples{}, rlc.parse({0x84, 0x01, 0x02, 0x03}));
    Bytes full = {0x04};
    Samples expected = {space(1), space(2), space(3), space(4)};
    for (int g = 0; g < 6; ++g) {
        full.push_back(0x84);
        for (int s = 0; s < 4; ++s) {
            uint8_t b = static_cast<uint8_t>(0x80 | (10 + g * 4 + s));
            full.push_back(b);
            expected.push_back(pulse(b & 0x7F));
        }
    }
    full.push_back(0x84);
    ASSERT_EQ(32u, full.size());
    EXPECT_EQ(expected, rlc.parse(full));
    EXPECT_EQ(1u, rlc.parser().carried()) << "the last header waits for its samples";
}

TEST_F(RlcParseTest, ResetForgetsTheCarriedTailAndArmsOneRelease) {
    rlc.parse({0x84, 0x01});
    ASSERT_EQ(2u, rlc.parser().carried());
    rlc.parser().reset();
    EXPECT_EQ(0u, rlc.parser().carried());
    EXPECT_TRUE(rlc.parser().isKeyReleased()) << "the first query after reset is a release";
    EXPECT_FALSE(rlc.parser().isKeyReleased()) << "and the second is not";
    EXPECT_EQ(Samples{space(3)}, rlc.parse({0x02, 0x81, 0x03}))
        << "the forgotten group does not take the new bytes";
}

TEST_F(RlcParseTest, ALengthAbove32ParsesTheFirst32BytesAndCarriesNothing) {
    Bytes packet;
    Samples expected;
    for (int g = 0; g < 6; ++g) {
        packet.push_back(0x84);
        for (int s = 0; s < 4; ++s) {
            packet.push_back(static_cast<uint8_t>(g * 4 + s + 1));
            expected.push_back(space(g * 4 + s + 1));
        }
    }
    packet.insert(packet.end(), {0x83, 0x11});                                     // cut at byte 32
    packet.insert(packet.end(), {0x12, 0x13, 0x81, 0x05, 0x81, 0x06, 0x81, 0x07}); // beyond
    ASSERT_EQ(40u, packet.size());

    EXPECT_EQ(expected, rlc.parse(packet)) << "bytes past 32 are not parsed";
    EXPECT_TRUE(emu::debuglog::contains("packet of 40 bytes, only the first 32 parsed", mark))
        << "the oversized packet is reported";
    EXPECT_EQ(0u, rlc.parser().carried()) << "the group cut at byte 32 goes on in lost bytes";
    EXPECT_EQ(Samples{space(9)}, rlc.parse({0x81, 0x09}));

    // A huge claimed length reads no more than 32 bytes of a 32-byte packet.
    Bytes first32(packet.begin(), packet.begin() + 32);
    EXPECT_EQ(expected, rlc.parse(first32, 0xFFFFFFFFu));
    EXPECT_EQ(0u, rlc.parser().carried());
    // The work buffer's guard is checked when it is freed.
    rlc.destroy();
}

TEST_F(RlcParseTest, ParsingTakesNoPoolMemory) {
    std::vector<Bytes> packets = {{0x84, 0x01, 0x82, 0x03}, {0x84, 0x9F, 0x14},
                                  {0x9F, 0x11, 0x00, 0x00}, {0x00, 0x00, 0x00, 0x80},
                                  {0x81, 0x05, 0x80},       {0xFF}};
    emu::PoolTagStats before = emu::pool::stats(RAVO_POOL_TAG);
    uint64_t allocations = emu::pool::allocationCount();
    LONG level = DebugLevel;
    DebugLevel = -1; // keeps the response messages out of the log
    for (int i = 0; i < 5000; ++i)
        rlc.parse(packets[i % packets.size()]);
    DebugLevel = level;
    EXPECT_EQ(allocations, emu::pool::allocationCount()) << "no allocation per packet";
    EXPECT_EQ(before.liveBlocks, emu::pool::stats(RAVO_POOL_TAG).liveBlocks);
}

TEST(RlcParseLifetimeTest, CreationTakesOne40ByteBlockAndDestructionGivesItBack) {
    emu::PoolTagStats before = emu::pool::stats(RAVO_POOL_TAG);
    {
        Harness rlc;
        ASSERT_EQ(STATUS_SUCCESS, rlc.status());
        emu::PoolTagStats during = emu::pool::stats(RAVO_POOL_TAG);
        EXPECT_EQ(before.liveBlocks + 1, during.liveBlocks) << "one work buffer";
        EXPECT_EQ(before.liveBytes + 40, during.liveBytes) << "of 40 bytes";
    }
    emu::PoolTagStats after = emu::pool::stats(RAVO_POOL_TAG);
    EXPECT_EQ(before.liveBlocks, after.liveBlocks) << "the work buffer is freed";
    EXPECT_EQ(before.liveBytes, after.liveBytes);
}

TEST(RlcParseLifetimeTest, AFailedWorkBufferIsReportedAndTheObjectStaysHarmless) {
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
    EXPECT_EQ(before.failedAllocations + 1, emu::pool::stats(RAVO_POOL_TAG).failedAllocations);

    EXPECT_EQ(Samples{}, rlc->parse({0x81, 0x05})) << "a parser without a buffer reads nothing";
    rlc.reset();
    EXPECT_EQ(before.liveBlocks, emu::pool::stats(RAVO_POOL_TAG).liveBlocks);
}

} // namespace
