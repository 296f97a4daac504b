// The IR toolkit through round trips: signals reach the driver's parser as their quantised
// periods however they are cut, mode2 text reads back, real captures match their frames.
#include "decode/RlcParse.h"
#include "emu/kernel/Kernel.h"
#include "irkit/DefaultCapture.h"
#include "irkit/Encoders.h"
#include "irkit/Mode2.h"
#include "irkit/Packetizer.h"
#include "tests/support/CaptureManifest.h"

#include <gtest/gtest.h>

using namespace irkit;

namespace {

// Samples as (level, units), -1 for a release.
using Trace = std::vector<std::pair<int, int>>;

Trace expectedTrace(const std::vector<RlcEvent>& events) {
    Trace trace;
    for (const RlcEvent& e : events)
        if (e.kind == RlcEvent::Kind::Sample)
            trace.emplace_back(e.pulse ? 1 : 0, e.units);
        else if (e.kind == RlcEvent::Kind::EndOfSignal)
            trace.emplace_back(-1, 0);
    return trace;
}

// What the parse thread would see. The driver image has no RTTI, so UBSan's vptr check
// is off for the one function that touches the driver object.
__attribute__((no_sanitize("vptr"))) Trace throughParser(const std::vector<UsbPacket>& packets) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    RLC_parse parser(&status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    parser.isKeyReleased();
    Trace trace;
    for (const UsbPacket& packet : packets) {
        EXPECT_LE(packet.bytes.size(), kReceiverPacketBytes);
        IrSample out[IR_DATA_BUFFER_SAMPLES] = {};
        parser.parse(packet.bytes.data(), out, static_cast<ULONG>(packet.bytes.size()));
        for (size_t i = 0; i < IR_DATA_BUFFER_SAMPLES && !isTerminator(out[i]); ++i)
            trace.emplace_back(out[i].level, out[i].duration);
        if (parser.isKeyReleased()) {
            // The marker reaches the decoders as the longest space, behind the samples.
            EXPECT_TRUE(!trace.empty() &&
                        trace.back() == std::make_pair(0, int(RLC_SILENCE_UNITS)));
            if (!trace.empty())
                trace.pop_back();
            trace.emplace_back(-1, 0);
        }
    }
    return trace;
}

TEST(IrkitRoundTripTest, EncodedSignalsReachTheParserAsTheirQuantisedPeriodsHoweverCut) {
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
    PacketizerOptions o;
    o.responses = {{0, makeResponse(0x9F, 0x11)},
                   {40, makeResponse(0xE0, 0x14)},
                   {41, makeResponse(0xFF, 0xFE)},
                   {500, makeResponse(0xE7, 0x0C)}};
    const Trace expected = expectedTrace(toRlcEvents(t, o));
    EXPECT_EQ(std::count(expected.begin(), expected.end(), std::make_pair(-1, 0)),
              long(defaultCaptureButtons().size() + 2 + 2))
        << "one release per button, per noise burst, for RC5 and for the last NEC press";
    for (uint32_t seed = 0; seed <= 40; ++seed) {
        o.randomSplitSeed = seed;
        const uint64_t mark = emu::debuglog::mark();
        EXPECT_EQ(expected, throughParser(packetize(t, o))) << "split seed " << seed;
        for (const char* response : {"9f,id is 11", "e0,id is 14", "ff,id is fe", "e7,id is c"})
            EXPECT_EQ(1u, emu::debuglog::count(std::string("response type is ") + response, mark))
                << response << ", split seed " << seed;
    }
}

TEST(IrkitRoundTripTest, Mode2TextReadsBackWhatWasWrittenAndNamesWhatIsWrong) {
    EXPECT_EQ(defaultCapture(), parseMode2(defaultCaptureMode2()).timings);
    const Timings frame = distort(encode(Protocol::Nec, 0x04, 0x16), {1.0, 80, 9});
    EXPECT_EQ(frame, parseMode2(writeMode2(frame)).timings);
    EXPECT_EQ((Timings{pulse(9000), space(4500), pulse(600), space(30700)}),
              parseMode2("# a capture\r\n+9000 -4500\n pulse 560 # comment\npulse 40\n"
                         "space 700\ntimeout 30000\n")
                  .timings)
        << "neighbours of one level merge";
    const std::pair<const char*, const char*> bad[] = {
        {"pulse 100\nplse 5\n", "line 2: unknown word 'plse'"},
        {"pulse\n", "line 1: missing value after 'pulse'"},
        {"pulse 9\nspace -5", "line 2: negative value '-5' after 'space'"},
        {"pulse 0", "line 1: zero duration after 'pulse'"},
        {"timeout 4294967296", "line 1: value '4294967296' is too large after 'timeout'"},
        {"+10 20", "line 1: expected +N or -N, found '20'"},
        {"\n\n+10 -x", "line 3: non-numeric value 'x' in '-x'"},
    };
    for (const auto& c : bad)
        EXPECT_EQ(c.second, parseMode2(c.first).error) << c.first;
}

bool near(uint32_t captured, uint32_t encoded) {
    // Wide enough for real remotes' skewed duty cycles, narrow enough to keep 560 and 1690
    // (a 0 and a 1) apart.
    const double ratio = double(captured) / encoded;
    return ratio > 0.55 && ratio < 1.45;
}

// Every capture reads, writes back, and reaches the parser as its quantised periods
// however it is cut; NEC and RC5 captures match the frame encoded from their ground truth
// level by level, from the frame's first pulse on (some begin with a stray flash).
TEST(IrkitRoundTripTest, RealCapturesReachTheParserAndMatchTheirEncodedFrames) {
    const auto manifest = capturetest::loadManifest();
    if (!manifest)
        GTEST_SKIP() << "no captures at " << capturetest::capturesDir();
    ASSERT_EQ(manifest->size(), 242u) << "the manifest lists 242 captures";
    uint32_t seed = 1;
    int matched = 0;
    for (const capturetest::CaptureEntry& e : *manifest) {
        const Timings capture = readMode2File(capturetest::capturesDir() + "/" + e.file).timings;
        ASSERT_TRUE(capture.size() > 2 && capture.front().pulse) << e.file;
        ASSERT_EQ(parseMode2(writeMode2(capture)).timings, capture) << e.file;
        PacketizerOptions o;
        o.randomSplitSeed = seed++;
        ASSERT_EQ(expectedTrace(toRlcEvents(capture, o)), throughParser(packetize(capture, o)))
            << e.file;
        if (e.category != "nec" && e.category != "rc5")
            continue;
        const Timings encoded = e.category == "rc5" ? rc5Frame(e.address, e.command7, e.toggle != 0)
                                : e.necStandard     ? encode(Protocol::Nec, e.address, e.command)
                                                    : encode(Protocol::NecExtended,
                                                             e.address | e.addressInv << 8, e.command);
        size_t start = 0;
        while (start + 1 < capture.size() &&
               !(capture[start].pulse &&
                 near(capture[start].microseconds, encoded[0].microseconds) &&
                 near(capture[start + 1].microseconds, encoded[1].microseconds)))
            ++start;
        ASSERT_GE(capture.size(), start + encoded.size()) << e.file << ": no whole frame found";
        for (size_t i = 0; i < encoded.size(); ++i) {
            ASSERT_EQ(capture[start + i].pulse, encoded[i].pulse) << e.file << " period " << i;
            ASSERT_TRUE(near(capture[start + i].microseconds, encoded[i].microseconds))
                << e.file << " period " << i << ": " << capture[start + i].microseconds
                << " us captured, " << encoded[i].microseconds << " us encoded";
        }
        ++matched;
    }
    EXPECT_EQ(matched, 130 + 36) << "the manifest lists 130 NEC and 36 RC5 captures";
}

} // namespace
