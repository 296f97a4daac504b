// Real remote-control captures replayed through the receiving half of the driver: mode2
// periods -> the receiver's USB packets -> RLC_parse -> decoder, one packet at a time as
// the parse thread does it. The manifest's ground truth says what each must give.
#include "decode/NecProtocol.h"
#include "decode/Rc5Protocol.h"
#include "decode/RlcParse.h"
#include "irkit/Broadlink.h"
#include "irkit/FlipperIr.h"
#include "irkit/LircdConf.h"
#include "irkit/Mode2.h"
#include "irkit/Pronto.h"
#include "irkit/Packetizer.h"
#include "tests/support/CaptureManifest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <random>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using capturetest::capturesDir;
using Capture = capturetest::CaptureEntry;

irkit::Timings periodsOf(const Capture& capture) {
    irkit::Mode2Result periods = irkit::readMode2File(capturesDir() + "/" + capture.file);
    EXPECT_TRUE(periods.ok()) << capture.file << ": " << periods.error;
    return periods.timings;
}

// Replays periods as the receiver's packets and returns every key the decoder reported, in
// order.
std::vector<ULONG> replay(const irkit::Timings& periods, IR_Protocol& decoder,
                          const irkit::PacketizerOptions& options = {}) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::optional<RLC_parse> parser;
    parser.emplace(&status);
    EXPECT_EQ(status, STATUS_SUCCESS) << "the parser's work buffer should be allocated";
    parser->reset();
    decoder.reset();
    std::vector<ULONG> keys;
    for (const irkit::UsbPacket& packet : irkit::packetize(periods, options)) {
        IrSample data[IR_DATA_BUFFER_SAMPLES] = {};
        KeyInfo info = {};
        parser->parse(packet.bytes.data(), data, static_cast<ULONG>(packet.bytes.size()));
        decoder.decode(data, &info);
        if (info.valid)
            keys.push_back(info.key);
    }
    return keys;
}

// The commands of the NEC frames in the periods by the decoder's windows, read straight off
// the rounded periods, without packets or 127-unit pieces: leader, 32 bits, the stop pulse,
// then a space longer than a bit's or the end of the signal.
std::vector<ULONG> necFramesInPeriods(const irkit::Timings& periods) {
    auto units = [](const irkit::IrTiming& t) { return (t.microseconds + 25) / 50; };
    auto in = [&](const irkit::IrTiming& t, bool pulse, uint32_t low, uint32_t high) {
        return t.pulse == pulse && units(t) >= low && units(t) <= high;
    };
    std::vector<ULONG> commands;
    for (size_t i = 0; i + 67 <= periods.size(); ++i) {
        if (!in(periods[i], true, 175, 185) || !in(periods[i + 1], false, 85, 95))
            continue;
        uint32_t bits = 0;
        bool ok = true;
        for (size_t bit = 0; bit < 32 && ok; ++bit) {
            const irkit::IrTiming& space = periods[i + 3 + 2 * bit];
            ok = in(periods[i + 2 + 2 * bit], true, 6, 16) &&
                 (in(space, false, 6, 16) || in(space, false, 29, 39));
            if (ok && units(space) >= 29)
                bits |= 1u << bit;
        }
        ok = ok && in(periods[i + 66], true, 6, 16) &&
             (i + 67 == periods.size() || in(periods[i + 67], false, 40, ~0u));
        if (ok && ((bits >> 16) & 0xFF) == (~bits >> 24 & 0xFF))
            commands.push_back((bits >> 16) & 0xFF);
    }
    return commands;
}

std::string keysText(const std::vector<ULONG>& keys) {
    std::ostringstream text;
    text << "{";
    for (ULONG key : keys)
        text << " 0x" << std::hex << key;
    text << " }";
    return text.str();
}

class CaptureReplayTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::optional<std::vector<Capture>> loaded = capturetest::loadManifest();
        if (!loaded)
            GTEST_SKIP() << "no captures at " << capturesDir() << " (manifest.json missing)";
        _captures = *loaded;
        ASSERT_FALSE(_captures.empty()) << "the manifest should list captures";
    }

    std::vector<const Capture*> select(bool (*pick)(const Capture&)) const {
        std::vector<const Capture*> picked;
        for (const Capture& capture : _captures)
            if (pick(capture))
                picked.push_back(&capture);
        return picked;
    }

    template <typename Decoder> Decoder& decoder(std::optional<Decoder>& slot) {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        slot.emplace(&status);
        EXPECT_EQ(status, STATUS_SUCCESS) << "the decoder's buffers should be allocated";
        return *slot;
    }

    std::vector<Capture> _captures;
};

bool necInsideWindows(const Capture& c) {
    return c.category == "nec" && c.q50LeaderOk && c.q50BitsOutOfWindow == 0;
}
bool noNecKeyExpected(const Capture& c) {
    return c.category == "negative" || c.category == "nec_repeat_only" ||
           c.category == "nec_nonstandard";
}

} // namespace

// Inside every window a capture gives its command and nothing else, never more keys than
// it has frames; outside a window it gives nothing.
TEST_F(CaptureReplayTest, NecCapturesDecodeExactlyWhenInsideEveryWindow) {
    std::optional<NEC_Protocol> slot;
    NEC_Protocol& nec = decoder(slot);
    int inside = 0, decoded = 0, outside = 0, silent = 0;
    for (const Capture* capture : select([](const Capture& c) { return c.category == "nec"; })) {
        ASSERT_GE(capture->command, 0) << capture->file << " names its command";
        irkit::Timings periods = periodsOf(*capture);
        std::vector<ULONG> keys = replay(periods, nec);
        size_t frames = necFramesInPeriods(periods).size();
        if (!necInsideWindows(*capture)) {
            EXPECT_EQ(frames, 0u) << capture->file << ": the manifest and the periods disagree";
            EXPECT_TRUE(keys.empty()) << capture->file << " (leader " << capture->leaderPulseUs
                                      << " us + " << capture->leaderSpaceUs
                                      << " us) lies outside a window yet gave " << keysText(keys);
            ++outside;
            silent += keys.empty();
            continue;
        }
        bool exact = !keys.empty() && keys.size() <= frames;
        for (ULONG key : keys)
            exact = exact && key == static_cast<ULONG>(capture->command);
        EXPECT_TRUE(exact) << capture->file << " should decode to 0x" << std::hex
                           << capture->command << " at most once a frame, gave " << keysText(keys);
        ++inside;
        decoded += exact;
    }
    EXPECT_GT(inside, 0);
    std::cout << "NEC inside every window: " << decoded << " of " << inside
              << " decoded to their command; outside a window: " << silent << " of " << outside
              << " gave no key\n";
}

// Other protocols on NEC timing (MIDEA24 sends each byte followed by its inverse) open with
// 32 bits that pass every bit rule; their frames go on past the stop pulse, so no key.
TEST_F(CaptureReplayTest, OtherProtocolsRepeatsAndNonstandardGiveNoNecKey) {
    std::vector<const Capture*> captures = select(noNecKeyExpected);
    ASSERT_FALSE(captures.empty());
    std::optional<NEC_Protocol> slot;
    NEC_Protocol& nec = decoder(slot);
    std::map<std::string, std::pair<int, int>> byCategory; // silent, total
    for (const Capture* capture : captures) {
        std::vector<ULONG> keys = replay(periodsOf(*capture), nec);
        EXPECT_TRUE(keys.empty()) << capture->file << " (" << capture->category << ", "
                                  << capture->protocol << ") gave " << keysText(keys);
        byCategory[capture->category].first += keys.empty();
        byCategory[capture->category].second++;
    }
    for (const auto& [category, counts] : byCategory)
        std::cout << category << ": " << counts.first << " of " << counts.second
                  << " gave no NEC key\n";
}

// The closing half of a frame that ends in a 0 bit is the silence after it, which the
// receiver reports as the end-of-signal marker: every capture decodes, whether the silence
// comes as the marker or as a space.
TEST_F(CaptureReplayTest, Rc5DecodesToCommandWithFieldBitAsBit6) {
    std::vector<const Capture*> captures =
        select([](const Capture& c) { return c.category == "rc5"; });
    ASSERT_FALSE(captures.empty());
    std::optional<RC5_Protocol> slot;
    RC5_Protocol& rc5 = decoder(slot);
    irkit::PacketizerOptions silenceAsSpace;
    silenceAsSpace.endWithMarker = false;
    for (const Capture* capture : captures) {
        ASSERT_GE(capture->command6, 0) << capture->file << " names its command";
        ASSERT_GE(capture->fieldBit, 0) << capture->file << " names its field bit";
        ULONG expected = static_cast<ULONG>(capture->command6 | capture->fieldBit << 6);
        irkit::Timings periods = periodsOf(*capture);
        irkit::Timings withSilence = periods;
        irkit::append(withSilence, irkit::space(20000));
        for (const std::vector<ULONG>& keys :
             {replay(periods, rc5), replay(withSilence, rc5, silenceAsSpace)}) {
            EXPECT_FALSE(keys.empty()) << capture->file;
            for (ULONG key : keys)
                EXPECT_EQ(key, expected) << capture->file << " gave " << keysText(keys);
        }
    }
}

// A receiver hears one press after another, each followed by silence that its end-of-signal
// marker reports. Nothing of one signal (a leader cut by a packet end, a kept frame, a half
// bit) may change what the next one gives: back to back, every capture gives the keys it
// gives alone, in the folder's order and shuffled, under either decoder.
TEST_F(CaptureReplayTest, CapturesBackToBackGiveWhatEachGivesAlone) {
    std::vector<irkit::Timings> periods;
    for (const Capture& capture : _captures)
        periods.push_back(periodsOf(capture));
    std::vector<size_t> order(periods.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::vector<size_t> shuffled = order;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(2026));
    std::optional<NEC_Protocol> necSlot;
    std::optional<RC5_Protocol> rc5Slot;
    for (IR_Protocol* decoder : {static_cast<IR_Protocol*>(&this->decoder(necSlot)),
                                 static_cast<IR_Protocol*>(&this->decoder(rc5Slot))}) {
        for (const std::vector<size_t>* sequence : {&order, &shuffled}) {
            irkit::Timings session;
            std::vector<ULONG> alone;
            for (size_t index : *sequence) {
                irkit::append(session, periods[index]);
                irkit::append(session, irkit::space(150000));
                std::vector<ULONG> keys = replay(periods[index], *decoder);
                alone.insert(alone.end(), keys.begin(), keys.end());
            }
            EXPECT_FALSE(alone.empty());
            irkit::PacketizerOptions options;
            options.randomSplitSeed = sequence == &order ? 0 : 5;
            EXPECT_EQ(keysText(replay(session, *decoder, options)), keysText(alone))
                << (sequence == &order ? "in the folder's order" : "shuffled");
        }
    }
}

// Every capture written as each format the toolkit writes, all in one file, read back:
// each gives the keys its mode2 file gives, under either decoder.
TEST_F(CaptureReplayTest, WrittenAsEachRemoteFormatCapturesGiveTheirKeys) {
    std::vector<irkit::NamedTimings> all;
    for (const Capture& capture : _captures)
        all.push_back({capture.file.substr(capture.file.rfind('/') + 1), periodsOf(capture)});
    const std::pair<irkit::RemoteFormat, std::string> files[] = {
        {irkit::RemoteFormat::Pronto, irkit::writeProntoLines(all)},
        {irkit::RemoteFormat::Broadlink, irkit::writeBroadlinkLines(all, true)},
        {irkit::RemoteFormat::Flipper, irkit::writeFlipperIr(all)},
        {irkit::RemoteFormat::LircdConf, irkit::writeLircdConf("captures", all)},
    };
    std::optional<NEC_Protocol> necSlot;
    std::optional<RC5_Protocol> rc5Slot;
    IR_Protocol* decoders[] = {&decoder(necSlot), &decoder(rc5Slot)};
    std::vector<std::string> expected[2];
    size_t keyed = 0;
    for (const irkit::NamedTimings& capture : all)
        for (int d = 0; d < 2; ++d) {
            expected[d].push_back(keysText(replay(capture.timings, *decoders[d])));
            keyed += expected[d].back() != "{ }";
        }
    EXPECT_GT(keyed, 100u) << "the NEC captures inside every window and the RC5 captures give keys";
    for (const auto& [format, text] : files) {
        std::string head = text.substr(0, irkit::kDetectBytes), why;
        EXPECT_EQ(irkit::detectFormat(head, &why), format) << why;
        std::istringstream in(text);
        auto reader = irkit::makeButtonReader(format, in);
        irkit::RemoteButton button;
        size_t i = 0;
        for (; reader->next(button) && i < all.size(); ++i)
            for (int d = 0; d < 2; ++d)
                EXPECT_EQ(keysText(replay(button.timings, *decoders[d])), expected[d][i])
                    << irkit::formatName(format) << " " << all[i].name << (d ? " rc5" : " nec");
        EXPECT_EQ(reader->error(), "") << irkit::formatName(format);
        EXPECT_EQ(i, all.size()) << irkit::formatName(format);
    }
}
