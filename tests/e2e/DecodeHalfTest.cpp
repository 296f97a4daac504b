// The decode half end to end: remote-control timings become receiver packets, the packets
// go through the driver's parser, NEC decoder and key translation exactly as the parse
// thread hands them on, and the reports come back through read-report requests that the
// HID class driver's stand-in keeps pending.
#include "tools/DecodeHalf.h"

#include "emu/kernel/Kernel.h"
#include "irkit/Encoders.h"
#include "irkit/Mode2.h"
#include "irkit/Packetizer.h"
#include "tests/hid/KeyMapRows.h"

#include <fstream>
#include <gtest/gtest.h>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

using namespace keymap_rows;
using ravo_tools::DecodeHalf;

namespace {

constexpr uint16_t kAddress = 0x04;
// Longer than the receiver's end-of-signal silence: the button was let go.
constexpr uint32_t kLetGoUs = 250000;

// A button held for `frames` full frames (some remotes repeat the whole frame), then
// `repeatCodes` NEC repeat codes, all 108 ms apart, then let go: one piece per frame or
// repeat code with the silence behind it.
std::vector<irkit::Timings> held(uint8_t command, unsigned frames, unsigned repeatCodes = 0) {
    std::vector<irkit::Timings> pieces;
    const irkit::Timings frame = irkit::necFrame(kAddress, command);
    const uint32_t gapUs =
        irkit::kNecPeriodUs - static_cast<uint32_t>(irkit::totalMicroseconds(frame));
    for (unsigned i = 0; i < frames + repeatCodes; i++) {
        irkit::Timings piece = i < frames ? frame : irkit::necRepeatCode();
        irkit::append(piece, irkit::space(gapUs));
        pieces.push_back(piece);
    }
    irkit::append(pieces.back(), irkit::space(kLetGoUs));
    return pieces;
}

// One press of a button, let go at once.
irkit::Timings press(uint8_t command) {
    return held(command, 1)[0];
}

// The reports the host received since the last call, in order.
std::vector<Bytes> collect(DecodeHalf& half) {
    std::vector<Bytes> reports;
    for (auto& read : half.client().take()) {
        EXPECT_EQ(STATUS_SUCCESS, read.status) << "read " << read.sequence;
        reports.push_back(read.bytes);
    }
    return reports;
}

// Delivers every packet of the timings and answers the reports the host received.
std::vector<Bytes> play(DecodeHalf& half, const irkit::Timings& timings,
                        const irkit::PacketizerOptions& options = {}) {
    for (const auto& packet : irkit::packetize(timings, options)) {
        half.deliver(packet.bytes.data(), static_cast<ULONG>(packet.bytes.size()));
    }
    return collect(half);
}

// Delivers each piece in packets of its own, as a receiver that sends what it has when
// the light stays off for a while: every frame starts a packet. (A frame whose leader
// pulse ends one packet and goes on in the next is not decoded; that is the decoder's
// rule and not what these cases are about.)
std::vector<Bytes> playPieces(DecodeHalf& half, const std::vector<irkit::Timings>& pieces) {
    for (size_t i = 0; i < pieces.size(); i++) {
        irkit::PacketizerOptions options;
        options.endWithMarker = i + 1 == pieces.size();
        for (const auto& packet : irkit::packetize(pieces[i], options)) {
            half.deliver(packet.bytes.data(), static_cast<ULONG>(packet.bytes.size()));
        }
    }
    return collect(half);
}

std::vector<Bytes> pairs(const Bytes& report, size_t count) {
    std::vector<Bytes> expected;
    for (size_t i = 0; i < count; i++) {
        expected.push_back(report);
        expected.push_back(kRelease);
    }
    return expected;
}

} // namespace

TEST(DecodeHalfTest, EveryKeyMapRowReachesTheHostAsItsReportThenTheRelease) {
    irkit::Timings capture;
    std::vector<Bytes> expected;
    for (const Row& row : kRows) {
        irkit::append(capture, press(row.command));
        expected.push_back(row.report);
        expected.push_back(kRelease);
    }
    // Whole 32-byte packets, then packets cut at random lengths so that groups, frames
    // and markers fall across packet boundaries everywhere.
    for (uint32_t seed : {0u, 1u, 2u, 3u, 4u}) {
        DecodeHalf half;
        ASSERT_EQ(STATUS_SUCCESS, half.status());
        irkit::PacketizerOptions options;
        options.randomSplitSeed = seed;
        EXPECT_EQ(expected, play(half, capture, options)) << "split seed " << seed;
        EXPECT_EQ(2u, half.client().pending()) << "reads are resent as they complete";
    }
}

TEST(DecodeHalfTest, HeldButtonsRepeatOnlyForArrowKeys) {
    for (const Row& row : kRows) {
        DecodeHalf half;
        bool arrow = row.command == 0x07 || row.command == 0x47 || row.command == 0x1A ||
                     row.command == 0x48;
        // Ten full frames without a release: arrows at frames 1, 5 and 9, the rest once.
        EXPECT_EQ(pairs(row.report, arrow ? 3 : 1), playPieces(half, held(row.command, 10)))
            << row.key << " held for ten frames";
        EXPECT_EQ(IR_KEY_RELEASE, half.control()._last_key) << "let go at the end";
    }
}

TEST(DecodeHalfTest, RepeatCodesOfAHeldButtonAddNothing) {
    DecodeHalf half;
    EXPECT_EQ(pairs(keyboard(0, 0x4F), 1), playPieces(half, held(0x07, 1, 12)))
        << "repeat codes carry no command; only the full frame counts";
}

TEST(DecodeHalfTest, ReleaseBetweenPressesMakesTwoKeys) {
    DecodeHalf half;
    EXPECT_EQ(pairs(keyboard(0, 0x1F), 2), playPieces(half, {press(0x16), press(0x16)}))
        << "let go between two presses";
    // The same two frames 108 ms apart, with no end of signal between: one key.
    EXPECT_EQ(pairs(keyboard(0, 0x1F), 1), playPieces(half, held(0x16, 2)));

    // Another button between two frames of the first one, no let-go anywhere: three keys.
    std::vector<irkit::Timings> pieces = {held(0x16, 2)[0], held(0x15, 2)[0], press(0x16)};
    EXPECT_EQ((std::vector<Bytes>{keyboard(0, 0x1F), kRelease, keyboard(0, 0x20), kRelease,
                                  keyboard(0, 0x1F), kRelease}),
              playPieces(half, pieces));
}

TEST(DecodeHalfTest, UnknownCommandsSendTheEmptyConsumerReport) {
    DecodeHalf half;
    for (uint8_t command : {0x33, 0x00, 0x99, 0xFE}) {
        EXPECT_EQ(pairs(kEmptyConsumer, 1), playPieces(half, held(command, 3)))
            << "command 0x" << std::hex << int(command) << " once, as 2 0 0 0, then the release";
    }
}

TEST(DecodeHalfTest, CommandFFActsAsARelease) {
    // The NEC command 0xFF is the release code itself: it sends nothing and lets a held
    // button count again.
    DecodeHalf half;
    std::vector<irkit::Timings> pieces = {held(0x16, 2)[0], held(0xFF, 2)[0], press(0x16)};
    EXPECT_EQ(pairs(keyboard(0, 0x1F), 2), playPieces(half, pieces));
}

TEST(DecodeHalfTest, WithNoReadPendingReportsAreLostButTheButtonStaysHeld) {
    DecodeHalf half(0);
    // First frame of a held button while the class driver has no read pending.
    std::vector<irkit::Timings> pieces = held(0x16, 2);
    irkit::PacketizerOptions noMarker;
    noMarker.endWithMarker = false;
    EXPECT_TRUE(play(half, pieces[0], noMarker).empty());
    EXPECT_EQ(0x16u, half.control()._last_key) << "the lost key still counts as reported";

    // Reads arrive; the button is still held for another frame, then let go.
    half.client().keepPending(2);
    EXPECT_TRUE(play(half, pieces[1]).empty()) << "the held button is not reported again";
    EXPECT_EQ(IR_KEY_RELEASE, half.control()._last_key);
    EXPECT_EQ(pairs(keyboard(0, 0x1F), 1), play(half, press(0x16)));
}

// ---------------------------------------------------------------------------------------
// Real captures: what the decode half makes of remotes nobody here encoded.

namespace {

struct Capture {
    std::string file;
    std::string category;
    std::string protocol;
    long command = -1;
    bool insideWindows = false; // leader and every bit inside the decoder's windows
};

// The manifest is flat enough per entry to be read by key: every entry starts with its
// "file" and nested objects use none of the keys read here.
std::string textField(const std::string& entry, const std::string& key) {
    size_t at = entry.find("\"" + key + "\":");
    if (at == std::string::npos) {
        return "";
    }
    size_t open = entry.find('"', at + key.size() + 3);
    size_t close = open == std::string::npos ? open : entry.find('"', open + 1);
    return close == std::string::npos ? "" : entry.substr(open + 1, close - open - 1);
}

long numberField(const std::string& entry, const std::string& key) {
    size_t at = entry.find("\"" + key + "\":");
    if (at == std::string::npos) {
        return -1;
    }
    size_t digits = entry.find_first_not_of(' ', at + key.size() + 3);
    return std::strtol(entry.c_str() + digits, nullptr, 10);
}

bool hasField(const std::string& entry, const std::string& keyAndValue) {
    return entry.find(keyAndValue) != std::string::npos;
}

std::vector<Capture> readManifest(const std::string& dir) {
    std::ifstream in(dir + "/manifest.json");
    std::stringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    std::vector<Capture> captures;
    const std::string marker = "\"file\":";
    for (size_t at = all.find(marker); at != std::string::npos;) {
        size_t next = all.find(marker, at + 1);
        std::string entry = all.substr(at, next == std::string::npos ? next : next - at);
        Capture capture;
        capture.file = textField(entry, "file");
        capture.category = textField(entry, "category");
        capture.protocol = textField(entry, "protocol");
        capture.command = numberField(entry, "command");
        capture.insideWindows = hasField(entry, "\"q50_leader_ok\": true") &&
                                numberField(entry, "q50_bits_out_of_window") == 0;
        captures.push_back(capture);
        at = next;
    }
    return captures;
}

} // namespace

TEST(DecodeHalfCaptureTest, RealCapturesGiveTheirKeyExactlyWhenInsideTheWindows) {
    const std::string dir = RAVO_CAPTURES_DIR;
    if (!std::ifstream(dir + "/manifest.json")) {
        GTEST_SKIP() << "no captures at " << dir << " (the shared ir-captures folder)";
    }
    std::vector<Capture> captures = readManifest(dir);
    ASSERT_EQ(242u, captures.size()) << "manifest entries";
    size_t decoding = 0;
    size_t midea = 0;
    for (const Capture& capture : captures) {
        irkit::Mode2Result mode2 = irkit::readMode2File(dir + "/" + capture.file);
        ASSERT_TRUE(mode2.ok()) << capture.file << ": " << mode2.error;
        DecodeHalf half;
        std::vector<Bytes> reports = play(half, mode2.timings);
        if (capture.category == "nec" && capture.insideWindows) {
            decoding++;
            const Row* row = rowFor(static_cast<uint8_t>(capture.command));
            const Bytes& expected = row ? row->report : kEmptyConsumer;
            ASSERT_FALSE(reports.empty())
                << capture.file << " must decode to command " << capture.command;
            ASSERT_EQ(0u, reports.size() % 2) << capture.file;
            for (size_t i = 0; i < reports.size(); i += 2) {
                EXPECT_EQ(expected, reports[i]) << capture.file << " report " << i;
                EXPECT_EQ(kRelease, reports[i + 1]) << capture.file << " report " << i + 1;
            }
        } else if (capture.protocol == "MIDEA24") {
            // Every byte of these frames is followed by its complement, so their first 32
            // bits are a well-formed NEC frame; the decoder reads no further and takes them.
            midea++;
        } else {
            EXPECT_TRUE(reports.empty())
                << capture.file << " (" << capture.category << ") must give no key, got "
                << reports.size() << " reports";
        }
    }
    EXPECT_EQ(81u, decoding) << "NEC captures inside every window";
    EXPECT_EQ(2u, midea) << "captures of 24-bit frames that read as NEC";
}
