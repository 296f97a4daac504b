// Encoder timings against the protocol definitions, and against real remotes: every NEC
// and RC5 capture must have the shape of the frame encoded from its ground truth.
#include "tests/support/CaptureManifest.h"

#include "irkit/Encoders.h"
#include "irkit/Mode2.h"

#include <cmath>
#include <gtest/gtest.h>

using namespace irkit;

namespace {

// Reads the four bytes of an NEC frame, insisting on the exact nominal periods.
std::vector<uint8_t> necBytes(const Timings& t, size_t first = 0) {
    std::vector<uint8_t> bytes(4, 0);
    EXPECT_EQ(t.at(first), pulse(9000)) << "leader pulse of 9000 us expected";
    EXPECT_EQ(t.at(first + 1), space(4500)) << "leader space of 4500 us expected";
    for (size_t bit = 0; bit < 32; ++bit) {
        EXPECT_EQ(t.at(first + 2 + 2 * bit), pulse(560)) << "560 us pulse expected, bit " << bit;
        const IrTiming s = t.at(first + 3 + 2 * bit);
        EXPECT_TRUE(s == space(560) || s == space(1690))
            << "560/1690 us space expected, bit " << bit;
        if (s.microseconds == 1690) {
            bytes[bit / 8] |= static_cast<uint8_t>(1u << (bit % 8)); // least significant first
        }
    }
    EXPECT_EQ(t.at(first + 66), pulse(560)) << "560 us stop pulse expected";
    return bytes;
}

// RC5 halves (true = pulse), the leading idle half included, padded to 28 with silence.
std::vector<bool> rc5Halves(const Timings& t) {
    std::vector<bool> halves{false};
    for (const IrTiming& period : t) {
        EXPECT_TRUE(period.microseconds == 889 || period.microseconds == 1778)
            << "RC5 periods are one or two 889 us halves, got " << period.microseconds;
        for (uint32_t n = period.microseconds / 889; n > 0; --n) {
            halves.push_back(period.pulse);
        }
    }
    while (halves.size() < 28) {
        halves.push_back(false);
    }
    return halves;
}

uint32_t rc5Bits(const std::vector<bool>& halves) {
    EXPECT_EQ(halves.size(), 28u) << "14 bits of two halves expected";
    uint32_t value = 0;
    for (size_t bit = 0; bit < 14; ++bit) {
        EXPECT_NE(halves[2 * bit], halves[2 * bit + 1]) << "Manchester bit " << bit;
        value = value << 1 | (halves[2 * bit + 1] ? 1 : 0);
    }
    return value;
}

bool near(uint32_t captured, uint32_t encoded) {
    // Wide enough for real remotes' skewed duty cycles, narrow enough to keep 560 and 1690
    // (a 0 and a 1) apart.
    const double ratio = double(captured) / encoded;
    return ratio > 0.55 && ratio < 1.45;
}

// Same levels in order and every duration near its encoded one, from the frame's first
// pulse on (some captures begin with a stray flash).
void expectSameShape(const Timings& capture, const Timings& encoded, const std::string& name) {
    size_t start = 0;
    while (start + 1 < capture.size() &&
           !(capture[start].pulse && near(capture[start].microseconds, encoded[0].microseconds) &&
             near(capture[start + 1].microseconds, encoded[1].microseconds))) {
        ++start;
    }
    ASSERT_GE(capture.size(), start + encoded.size()) << name << ": no whole frame found";
    for (size_t i = 0; i < encoded.size(); ++i) {
        const IrTiming& c = capture[start + i];
        ASSERT_EQ(c.pulse, encoded[i].pulse) << name << " period " << start + i;
        ASSERT_TRUE(near(c.microseconds, encoded[i].microseconds))
            << name << " period " << start + i << ": " << c.microseconds << " us captured, "
            << encoded[i].microseconds << " us encoded";
    }
}

} // namespace

TEST(NecEncoderTest, StandardFrameCarriesAddressCommandAndInversesLsbFirst) {
    const Timings frame = necFrame(0x00, 0x16);
    ASSERT_EQ(frame.size(), 67u) << "leader (2) + 64 bit periods + stop pulse";
    EXPECT_EQ(necBytes(frame), (std::vector<uint8_t>{0x00, 0xFF, 0x16, 0xE9}));
    // Command 0x16 goes out as bits 0,1,1,0,1,0,0,0 and its inverse as 1,0,0,1,0,1,1,1.
    const char* expected = "0110100010010111";
    for (size_t bit = 0; bit < 16; ++bit) {
        const bool one = frame[3 + 2 * (16 + bit)].microseconds == 1690;
        EXPECT_EQ(one, expected[bit] == '1') << "command bit " << bit;
    }
    EXPECT_EQ(necBytes(necFrame(0xA5, 0x3C)), (std::vector<uint8_t>{0xA5, 0x5A, 0x3C, 0xC3}));
}

TEST(NecEncoderTest, ExtendedFrameSendsSixteenBitAddressLowByteFirst) {
    EXPECT_EQ(necBytes(necFrame(0x1234, 0x5A, true)),
              (std::vector<uint8_t>{0x34, 0x12, 0x5A, 0xA5}));
    EXPECT_EQ(necBytes(encode(Protocol::NecExtended, 0xBF00, 0x01)),
              (std::vector<uint8_t>{0x00, 0xBF, 0x01, 0xFE}));
}

TEST(NecEncoderTest, RepeatCodesFollowEvery108MillisecondsAndTrailingSpaceIsLast) {
    EncodeOptions options;
    options.repeats = 3;
    options.trailingSpaceUs = 150000;
    const Timings t = encode(Protocol::Nec, 0x04, 0x07, options);
    ASSERT_EQ(t.size(), 67u + 3 * 4 + 1) << "frame, then (gap + 3 periods) per repeat, trailer";
    necBytes(t);
    uint64_t start = 0;
    for (int r = 0; r < 3; ++r) {
        const size_t at = 68 + 4 * r; // behind the frame and the gap
        uint64_t repeatStart = 0;
        for (size_t i = 0; i < at; ++i) {
            repeatStart += t[i].microseconds;
        }
        EXPECT_EQ(repeatStart - start, 108000u) << "start-to-start distance of repeat " << r;
        EXPECT_FALSE(t[at - 1].pulse) << "a gap precedes repeat " << r;
        EXPECT_EQ(t[at], pulse(9000));
        EXPECT_EQ(t[at + 1], space(2250));
        EXPECT_EQ(t[at + 2], pulse(560));
        start = repeatStart;
    }
    EXPECT_EQ(t.back(), space(150000));

    options.periodUs = 60000; // shorter than the 67.98 ms frame
    EXPECT_THROW(encode(Protocol::Nec, 0x04, 0x07, options), std::invalid_argument);
    EXPECT_THROW(encode(Protocol::Nec, 0x100, 0x07), std::invalid_argument);
    EXPECT_THROW(encode(Protocol::Nec, 0x04, 0x100), std::invalid_argument);
}

TEST(Rc5EncoderTest, ManchesterHalvesCarryStartFieldToggleAddressAndCommand) {
    struct Case {
        uint8_t address, command;
        bool toggle;
    };
    for (const Case c : {Case{0, 0x35, false}, Case{31, 0x7F, true}, Case{0x15, 0x40, false},
                         Case{1, 0x00, true}, Case{0x0A, 0x2A, true}}) {
        SCOPED_TRACE("address " + std::to_string(c.address) + " command " +
                     std::to_string(c.command));
        const Timings t = rc5Frame(c.address, c.command, c.toggle);
        ASSERT_FALSE(t.empty());
        EXPECT_TRUE(t.front().pulse && t.back().pulse) << "starts and ends with a pulse";
        for (size_t i = 1; i < t.size(); ++i) {
            EXPECT_NE(t[i].pulse, t[i - 1].pulse) << "neighbouring halves merged, period " << i;
        }
        const uint32_t bits = rc5Bits(rc5Halves(t));
        const uint32_t field = (c.command & 0x40) ? 0 : 1;
        EXPECT_EQ(bits, 1u << 13 | field << 12 | uint32_t(c.toggle) << 11 |
                            uint32_t(c.address) << 6 | (c.command & 0x3Fu));
    }
    EXPECT_THROW(encode(Protocol::Rc5, 32, 1), std::invalid_argument);
    EXPECT_THROW(encode(Protocol::Rc5, 1, 128), std::invalid_argument);
}

TEST(Rc5EncoderTest, HeldButtonRepeatsTheWholeFrameEveryPeriod) {
    EncodeOptions options;
    options.repeats = 2;
    options.toggle = true;
    const Timings frame = rc5Frame(5, 12, true);
    const Timings t = encode(Protocol::Rc5, 5, 12, options);
    ASSERT_EQ(t.size(), 3 * frame.size() + 2);
    for (size_t copy = 0; copy < 3; ++copy) {
        const size_t at = copy * (frame.size() + 1);
        EXPECT_EQ(Timings(t.begin() + at, t.begin() + at + frame.size()), frame) << copy;
        EXPECT_EQ(totalMicroseconds(Timings(t.begin(), t.begin() + at)), copy * 113778u);
    }
}

TEST(DistortionTest, ScaleAndSeededJitterStayWithinBoundsAndRepeat) {
    const Timings frame = necFrame(0x10, 0x20);
    const Timings a = distort(frame, {1.1, 40, 7});
    ASSERT_EQ(a.size(), frame.size());
    bool moved = false;
    for (size_t i = 0; i < frame.size(); ++i) {
        const double scaled = frame[i].microseconds * 1.1;
        EXPECT_EQ(a[i].pulse, frame[i].pulse);
        EXPECT_NEAR(a[i].microseconds, scaled, 40.5) << "period " << i;
        moved |= std::abs(a[i].microseconds - scaled) > 1;
    }
    EXPECT_TRUE(moved) << "jitter of 40 us should move some period";
    EXPECT_EQ(distort(frame, {1.1, 40, 7}), a) << "same seed, same result";
    EXPECT_NE(distort(frame, {1.1, 40, 8}), a) << "another seed, another result";
    EXPECT_EQ(distort(Timings{pulse(3)}, {0.1, 0, 1}), Timings{pulse(1)}) << "floor of 1 us";
}

TEST(EncoderCaptureTest, EveryNecAndRc5CaptureHasTheShapeOfItsEncodedFrame) {
    const auto manifest = capturetest::loadManifest();
    if (!manifest) {
        GTEST_SKIP() << "no captures at " << capturetest::capturesDir();
    }
    int nec = 0, rc5 = 0;
    for (const capturetest::CaptureEntry& e : *manifest) {
        if (e.category != "nec" && e.category != "rc5") {
            continue;
        }
        const Mode2Result capture = readMode2File(capturetest::capturesDir() + "/" + e.file);
        ASSERT_TRUE(capture.ok()) << capture.error;
        if (e.category == "nec") {
            const Timings encoded =
                e.necStandard
                    ? encode(Protocol::Nec, e.address, e.command)
                    : encode(Protocol::NecExtended, e.address | e.addressInv << 8, e.command);
            expectSameShape(capture.timings, encoded, e.file);
            ++nec;
        } else {
            const Timings encoded = rc5Frame(e.address, e.command7, e.toggle != 0);
            expectSameShape(capture.timings, encoded, e.file);
            ++rc5;
        }
    }
    EXPECT_EQ(nec, 130) << "the manifest lists 130 NEC captures";
    EXPECT_EQ(rc5, 36) << "the manifest lists 36 RC5 captures";
}
