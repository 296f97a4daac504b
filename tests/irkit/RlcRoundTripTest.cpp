// Encode, packetize, then the driver's packet parser: the samples it hands the decoder
// must be exactly the quantised periods, with one release per end-of-signal marker and one
// log line per response, however the stream is cut into packets.
#include "ReferenceWalk.h"

#include "decode/RlcParse.h"
#include "emu/kernel/Kernel.h"
#include "irkit/DefaultCapture.h"
#include "irkit/Encoders.h"
#include "irkit/Mode2.h"
#include "tests/support/CaptureManifest.h"

#include <gtest/gtest.h>

using namespace irkit;
using irkittest::WalkedItem;

namespace {

// What the parse thread would see: samples of every packet, 'M' where a release is reported.
// The driver image has no RTTI, so UBSan's vptr check (which needs it) is off for the one
// function that touches the driver object.
__attribute__((no_sanitize("vptr"))) std::vector<WalkedItem>
throughParser(const std::vector<UsbPacket>& packets) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    RLC_parse parser(&status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    parser.reset();
    EXPECT_TRUE(parser.isKeyReleased()) << "a reset parser reports one release";
    std::vector<WalkedItem> items;
    for (const UsbPacket& packet : packets) {
        IrSample out[IR_DATA_BUFFER_SAMPLES] = {};
        parser.parse(packet.bytes.data(), out, static_cast<ULONG>(packet.bytes.size()));
        size_t i = 0;
        for (; i < IR_DATA_BUFFER_SAMPLES && !isTerminator(out[i]); ++i) {
            items.push_back(WalkedItem::sample(out[i].level == 1, out[i].duration));
        }
        EXPECT_LT(i, size_t(IR_DATA_BUFFER_SAMPLES)) << "samples end with the terminator";
        if (parser.isKeyReleased()) {
            // The marker reaches the decoders as the longest space, behind the samples.
            EXPECT_TRUE(i > 0 && out[i - 1].level == 0 && out[i - 1].duration == RLC_SILENCE_UNITS);
            items.pop_back();
            items.push_back(WalkedItem::marker());
        }
    }
    return items;
}

std::vector<WalkedItem> withoutResponses(std::vector<WalkedItem> items) {
    items.erase(std::remove_if(items.begin(), items.end(),
                               [](const WalkedItem& item) { return item.kind == 'R'; }),
                items.end());
    return items;
}

Timings mixedSignal() {
    Timings t = defaultCapture();
    append(t, space(300000));
    EncodeOptions rc5;
    rc5.repeats = 2;
    rc5.toggle = true;
    append(t, distort(encode(Protocol::Rc5, 20, 0x5A, rc5), {0.97, 60, 3}));
    append(t, space(120000));
    EncodeOptions nec;
    nec.repeats = 3;
    append(t, distort(encode(Protocol::NecExtended, 0xBEEF, 0x4B, nec), {1.02, 30, 4}));
    return t;
}

} // namespace

TEST(RlcRoundTripTest, ParserSamplesEqualQuantisedPeriodsForEveryPacketSplit) {
    const Timings t = mixedSignal();
    PacketizerOptions o;
    o.responses = {{0, makeResponse(0x9F, 0x11)},
                   {40, makeResponse(0xE0, 0x14)},
                   {41, makeResponse(0xFF, 0xFE)},
                   {500, makeResponse(0xE7, 0x0C)}};
    const std::vector<WalkedItem> expected =
        withoutResponses(irkittest::asItems(toRlcEvents(t, o)));
    size_t markers = 0;
    for (const WalkedItem& item : expected) {
        markers += item.kind == 'M';
    }
    ASSERT_EQ(markers, defaultCaptureButtons().size() + 2 + 2)
        << "one release per button, per noise burst, for RC5 and for the last NEC press";

    for (uint32_t seed = 0; seed <= 40; ++seed) {
        SCOPED_TRACE("split seed " + std::to_string(seed));
        o.randomSplitSeed = seed;
        const std::vector<UsbPacket> packets = packetize(t, o);
        EXPECT_EQ(irkittest::walk(packets), irkittest::asItems(toRlcEvents(t, o)));
        const uint64_t mark = emu::debuglog::mark();
        EXPECT_EQ(throughParser(packets), expected);
        EXPECT_EQ(emu::debuglog::count("response type is 9f,id is 11", mark), 1u);
        EXPECT_EQ(emu::debuglog::count("response type is e0,id is 14", mark), 1u);
        EXPECT_EQ(emu::debuglog::count("response type is ff,id is fe", mark), 1u);
        EXPECT_EQ(emu::debuglog::count("response type is e7,id is c", mark), 1u);
    }
}

TEST(RlcRoundTripTest, EveryRealCaptureReadsAndReachesTheDecoderAsItsQuantisedPeriods) {
    const auto manifest = capturetest::loadManifest();
    if (!manifest) {
        GTEST_SKIP() << "no captures at " << capturetest::capturesDir();
    }
    ASSERT_EQ(manifest->size(), 242u) << "the manifest lists 242 captures";
    uint32_t seed = 1;
    for (const capturetest::CaptureEntry& e : *manifest) {
        const Mode2Result capture = readMode2File(capturetest::capturesDir() + "/" + e.file);
        ASSERT_TRUE(capture.ok()) << capture.error;
        ASSERT_TRUE(capture.timings.size() > 2 && capture.timings.front().pulse) << e.file;
        ASSERT_EQ(parseMode2(writeMode2(capture.timings)).timings, capture.timings) << e.file;
        PacketizerOptions o;
        o.randomSplitSeed = seed++;
        const std::vector<WalkedItem> expected =
            irkittest::asItems(toRlcEvents(capture.timings, o));
        const std::vector<UsbPacket> packets = packetize(capture.timings, o);
        ASSERT_EQ(irkittest::walk(packets), expected) << e.file;
        ASSERT_EQ(throughParser(packets), expected) << e.file;
    }
}
