// The packetizer: quantisation and splitting of periods, group and packet limits, the
// end-of-signal marker, response items, packet boundaries and time stamps, each checked by
// the independent reference walk (the driver's parser: RlcRoundTripTest).
#include "ReferenceWalk.h"

#include "irkit/Encoders.h"

#include <gtest/gtest.h>

using namespace irkit;
using irkittest::WalkedItem;

namespace {

WalkedItem S(bool pulse, int units) {
    return WalkedItem::sample(pulse, units);
}
const WalkedItem M = WalkedItem::marker();

std::vector<WalkedItem> itemsOf(const Timings& t, const PacketizerOptions& o = {}) {
    const std::vector<WalkedItem> walked = irkittest::walk(packetize(t, o), o.maxPacketBytes);
    EXPECT_EQ(walked, irkittest::asItems(toRlcEvents(t, o))) << "bytes and events disagree";
    return walked;
}

} // namespace

TEST(PacketizerTest, RoundsToFiftyMicrosecondUnitsAndSplitsLongPeriods) {
    struct Case {
        uint32_t us;
        std::vector<int> units;
    };
    const Case cases[] = {{1, {1}},
                          {24, {1}},
                          {74, {1}},
                          {75, {2}},
                          {560, {11}},
                          {574, {11}},
                          {575, {12}},
                          {1690, {34}},
                          {6374, {127}},
                          {6375, {127, 1}},
                          {9000, {127, 53}},
                          {12700, {127, 127}},
                          {20000, {127, 127, 127, 19}}};
    for (const Case& c : cases) {
        std::vector<WalkedItem> expected;
        for (int u : c.units) {
            expected.push_back(S(true, u));
        }
        for (int u : c.units) {
            expected.push_back(S(false, u));
        }
        expected.push_back(S(true, 1));
        expected.push_back(M);
        EXPECT_EQ(itemsOf({pulse(c.us), space(c.us), pulse(50)}), expected) << c.us << " us";
    }
}

TEST(PacketizerTest, LongSilenceEndsTheSignalAndIdleSilenceIsNotSent) {
    PacketizerOptions o;
    o.endOfSignalUs = 10000;
    const Timings t{space(5000),  pulse(500),    space(9999), pulse(500),
                    space(10000), space(300000), pulse(500),  space(700)};
    EXPECT_EQ(itemsOf(t, o), (std::vector<WalkedItem>{S(true, 10), S(false, 127), S(false, 73),
                                                      S(true, 10), M, S(true, 10), M}));
    const std::vector<RlcEvent> events = toRlcEvents(t, o);
    EXPECT_EQ(events[4].timeUs, 5000u + 500 + 9999 + 500 + 10000) << "silence reached 10 ms";
    EXPECT_EQ(events.back().timeUs, 5000u + 500 + 9999 + 500 + 310000 + 500 + 10000)
        << "the trailing space is the start of the final silence";
    EXPECT_EQ(itemsOf({pulse(500), space(10000), pulse(500)}, o),
              (std::vector<WalkedItem>{S(true, 10), M, S(true, 10), M}))
        << "a space of exactly the threshold ends the signal";

    o.endWithMarker = false;
    EXPECT_EQ(itemsOf({pulse(500), space(700)}, o),
              (std::vector<WalkedItem>{S(true, 10), S(false, 14)}));
    o.endOfSignalUs = 0;
    o.endWithMarker = true;
    EXPECT_EQ(itemsOf({pulse(500), space(200000), pulse(50)}, o).size(), 2u + 32 + 1)
        << "with no threshold a long space is sent as samples and only the end is marked";
}

TEST(PacketizerTest, ResponsesSitBetweenGroupsWhereTheyArePlaced) {
    PacketizerOptions o;
    o.responses = {{2, makeResponse(0x9F, 0x11)},
                   {0, makeResponse(0xE3, 0x81)},
                   {99, makeResponse(0xFF, 0x06)}};
    const Timings t{pulse(100), space(150), pulse(200), space(250), pulse(300)};
    const std::vector<WalkedItem> items = itemsOf(t, o);
    ASSERT_EQ(items.size(), 9u);
    EXPECT_EQ(items[0].bytes, (std::vector<uint8_t>{0xE3, 0x81}));
    EXPECT_EQ(items[1], S(true, 2));
    EXPECT_EQ(items[2], S(false, 3));
    EXPECT_EQ(items[3].bytes, (std::vector<uint8_t>{0x9F, 0x11, 1, 2, 3, 4, 5}));
    EXPECT_EQ(items[4], S(true, 4));
    EXPECT_EQ(items[7].bytes, (std::vector<uint8_t>{0xFF, 0x06, 1, 2})) << "in front of the end";
    EXPECT_EQ(items[8], M);
    EXPECT_EQ(makeResponse(0x9F, 0x42), (std::vector<uint8_t>{0x9F, 0x42}));
    EXPECT_THROW(makeResponse(0x85, 0x81), std::invalid_argument);
}

TEST(PacketizerTest, PacketBoundariesFollowLimitCutsAndSeedsWithoutChangingTheStream) {
    const Timings t = encode(Protocol::Nec, 0x04, 0x16, {2, 0, 0, false});
    const std::vector<UsbPacket> whole = packetize(t);
    const std::vector<WalkedItem> reference = irkittest::walk(whole);
    for (size_t i = 0; i + 1 < whole.size(); ++i) {
        EXPECT_EQ(whole[i].bytes.size(), 32u) << "packets are filled: " << i;
    }
    EXPECT_EQ(whole.back().timeUs, totalMicroseconds(t) + 100000);

    PacketizerOptions o;
    o.cutAfterBytes = {7, 1, 3, 0, 100000};
    const std::vector<UsbPacket> cut = packetize(t, o);
    EXPECT_EQ(cut[0].bytes.size(), 1u);
    EXPECT_EQ(cut[1].bytes.size(), 2u);
    EXPECT_EQ(cut[2].bytes.size(), 4u);
    EXPECT_EQ(cut[3].bytes.size(), 32u);
    EXPECT_EQ(irkittest::walk(cut), reference);

    o = {};
    o.randomSplitSeed = 11;
    const std::vector<UsbPacket> a = packetize(t, o);
    EXPECT_GT(a.size(), whole.size());
    EXPECT_EQ(irkittest::walk(a), reference);
    const std::vector<UsbPacket> again = packetize(t, o);
    ASSERT_EQ(again.size(), a.size());
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(again[i].bytes, a[i].bytes) << "same seed, same packets: " << i;
    }
    o.randomSplitSeed = 12;
    EXPECT_EQ(irkittest::walk(packetize(t, o)), reference);
    o.maxPacketBytes = 0;
    EXPECT_THROW(packetize(t, o), std::invalid_argument);
}

TEST(PacketizerTest, PacketTimeIsWhenItsLastByteWasKnown) {
    // +20 ends at 1000 us, -40 at 3000, the 13 ms pulse as +127 at 9350, +127 at 15700 and +6
    // at 16000; a group header is known with its last sample.
    const Timings t{pulse(1000), space(2000), pulse(13000)};
    const std::vector<RlcEvent> events = toRlcEvents(t);
    ASSERT_EQ(events.size(), 6u);
    const uint64_t eventTimes[] = {1000, 3000, 9350, 15700, 16000, 116000};
    for (size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i].timeUs, eventTimes[i]) << "event " << i;
    }
    PacketizerOptions o;
    o.cutAfterBytes = {5, 6};
    const std::vector<UsbPacket> p = packetize(t, o);
    ASSERT_EQ(p.size(), 3u);
    EXPECT_EQ(p[0].bytes, (std::vector<uint8_t>{0x84, 0x94, 0x28, 0xFF, 0xFF}));
    EXPECT_EQ(p[0].timeUs, 15700u);
    EXPECT_EQ(p[1].bytes, (std::vector<uint8_t>{0x81}));
    EXPECT_EQ(p[1].timeUs, 16000u);
    EXPECT_EQ(p[2].bytes, (std::vector<uint8_t>{0x86, 0x80}));
    EXPECT_EQ(p[2].timeUs, 116000u);
}
