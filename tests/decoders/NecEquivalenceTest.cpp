// The streaming NEC decoder against the one that decoded every kept frame again from its
// leader: the same buffers to both, call by call, over every real capture cut into packets
// of every size and at random, the captures back to back, and random noise.
#include "tests/decoders/DecoderTestSupport.h"
#include "tests/decoders/NecRedecodeReference.h"

#include "decode/RlcParse.h"
#include "irkit/Mode2.h"
#include "irkit/Packetizer.h"
#include "tests/support/CaptureManifest.h"

#include <random>

using namespace dectest;

namespace {

struct Pair {
    Built<NEC_Protocol> streaming;
    Built<NEC_RedecodeReference> reference;
    size_t calls = 0;
    size_t keys = 0;

    void feed(const IrSample* buffer) {
        IrSample a[IR_DATA_BUFFER_SAMPLES];
        IrSample b[IR_DATA_BUFFER_SAMPLES];
        std::copy(buffer, buffer + IR_DATA_BUFFER_SAMPLES, a);
        std::copy(buffer, buffer + IR_DATA_BUFFER_SAMPLES, b);
        KeyInfo x = {};
        KeyInfo y = {};
        streaming->decode(a, &x);
        reference->decode(b, &y);
        ++calls;
        keys += y.valid;
        ASSERT_EQ(x.valid, y.valid) << "call " << calls;
        ASSERT_EQ(x.key, y.key) << "call " << calls;
        ASSERT_EQ(x.toggle, y.toggle) << "call " << calls;
    }

    void packets(const std::vector<irkit::UsbPacket>& packets) {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        std::optional<RLC_parse> parser;
        parser.emplace(&status);
        for (const irkit::UsbPacket& packet : packets) {
            IrSample buffer[IR_DATA_BUFFER_SAMPLES] = {};
            parser->parse(packet.bytes.data(), buffer, static_cast<ULONG>(packet.bytes.size()));
            feed(buffer);
            if (::testing::Test::HasFatalFailure())
                return;
        }
    }
};

} // namespace

TEST(NecEquivalenceTest, EveryCaptureUnderEveryPacketSplit) {
    std::optional<std::vector<capturetest::CaptureEntry>> manifest = capturetest::loadManifest();
    if (!manifest)
        GTEST_SKIP() << "no captures at " << capturetest::capturesDir();
    irkit::Timings session;
    Pair pair;
    for (const capturetest::CaptureEntry& entry : *manifest) {
        irkit::Mode2Result periods =
            irkit::readMode2File(capturetest::capturesDir() + "/" + entry.file);
        ASSERT_TRUE(periods.ok()) << periods.error;
        irkit::append(session, periods.timings);
        irkit::append(session, irkit::space(150000));
        for (size_t size = 1; size <= 32; ++size) {
            irkit::PacketizerOptions options;
            options.maxPacketBytes = size;
            pair.packets(irkit::packetize(periods.timings, options));
            ASSERT_FALSE(HasFatalFailure()) << entry.file << " in packets of " << size;
        }
        for (uint32_t seed = 1; seed <= 32; ++seed) {
            irkit::PacketizerOptions options;
            options.randomSplitSeed = seed;
            options.endWithMarker = seed % 2 == 0;
            pair.packets(irkit::packetize(periods.timings, options));
            ASSERT_FALSE(HasFatalFailure()) << entry.file << " split with seed " << seed;
        }
    }
    for (uint32_t seed = 0; seed <= 8; ++seed) {
        irkit::PacketizerOptions options;
        options.randomSplitSeed = seed;
        pair.packets(irkit::packetize(session, options));
        ASSERT_FALSE(HasFatalFailure()) << "back to back, seed " << seed;
    }
    std::cout << pair.calls << " buffers, " << pair.keys << " keys, the same from both\n";
}

TEST(NecEquivalenceTest, RandomSamplesInRandomBuffers) {
    const unsigned likely[] = {6, 11, 16, 17, 29, 34, 39, 40, 53, 85, 90, 95, 127, 5, 28};
    std::mt19937 random(99);
    Pair pair;
    for (int call = 0; call < 300000; ++call) {
        IrSample buffer[IR_DATA_BUFFER_SAMPLES] = {};
        size_t count = random() % IR_DATA_BUFFER_SAMPLES + (call % 97 == 0 ? 1 : 0);
        for (size_t i = 0; i < count && i < IR_DATA_BUFFER_SAMPLES; ++i) {
            unsigned units = random() % 4 ? likely[random() % 15] : random() % 128;
            buffer[i] = IrSample{static_cast<UCHAR>(random() % 2), static_cast<UCHAR>(units)};
        }
        if (count < IR_DATA_BUFFER_SAMPLES)
            buffer[count] = IrSample{1, 0};
        pair.feed(buffer);
        ASSERT_FALSE(HasFatalFailure());
    }
    // Whole frames among the noise, so that keys are compared too.
    for (int round = 0; round < 20000; ++round) {
        Samples stream;
        for (int i = random() % 4; i > 0; --i)
            stream.push_back(IrSample{static_cast<UCHAR>(random() % 2),
                                      static_cast<UCHAR>(likely[random() % 15])});
        NecTiming timing;
        timing.silence = random() % 3 ? 127 : likely[random() % 15];
        timing.stopPulse = random() % 8 != 0;
        append(stream, necFrame(random() % 256, random() % 256, timing));
        for (size_t at = 0; at < stream.size();) {
            size_t count = std::min<size_t>(1 + random() % 30, stream.size() - at);
            IrSample buffer[IR_DATA_BUFFER_SAMPLES] = {};
            std::copy(stream.begin() + at, stream.begin() + at + count, buffer);
            buffer[count] = IrSample{1, 0};
            pair.feed(buffer);
            ASSERT_FALSE(HasFatalFailure());
            at += count;
        }
    }
    EXPECT_GT(pair.keys, 1000u) << "frames among the noise decode";
}
