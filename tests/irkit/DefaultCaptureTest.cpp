// The replay tool's default capture, read back with a reference NEC reading of its periods:
// the buttons it claims, in order, with their releases, and noise that decodes to nothing.
#include "ReferenceWalk.h"

#include "decode/KeyMap.h"
#include "irkit/DefaultCapture.h"
#include "irkit/Mode2.h"

#include <gtest/gtest.h>

using namespace irkit;

namespace {

bool within(uint32_t us, uint32_t low, uint32_t high) {
    return us >= low && us <= high;
}

struct Press {
    int address = -1, command = -1;
    unsigned frames = 0, repeatCodes = 0, noisePulses = 0;
};

// Signals are separated by silences of 100 ms or more.
std::vector<Press> readPresses(const Timings& t) {
    std::vector<Press> presses(1);
    for (size_t i = 0; i < t.size();) {
        if (!t[i].pulse) {
            if (t[i].microseconds >= 100000) {
                presses.emplace_back();
            }
            ++i;
        } else if (within(t[i].microseconds, 8500, 9500) && i + 2 < t.size() &&
                   within(t[i + 1].microseconds, 2000, 2500)) {
            ++presses.back().repeatCodes;
            i += 3;
        } else if (within(t[i].microseconds, 8500, 9500) && i + 66 < t.size()) {
            uint32_t bits = 0;
            for (int b = 0; b < 32; ++b) {
                EXPECT_TRUE(within(t[i + 2 + 2 * b].microseconds, 400, 700));
                bits |= uint32_t(t[i + 3 + 2 * b].microseconds > 1000) << b;
            }
            EXPECT_EQ((bits >> 24) & 0xFF, ~(bits >> 16) & 0xFF) << "inverse command byte";
            EXPECT_EQ((bits >> 8) & 0xFF, ~bits & 0xFF) << "inverse address byte";
            Press& press = presses.back();
            EXPECT_TRUE(press.frames == 0 || press.command == int((bits >> 16) & 0xFF));
            press.address = bits & 0xFF;
            press.command = (bits >> 16) & 0xFF;
            ++press.frames;
            i += 67;
        } else {
            EXPECT_LT(t[i].microseconds, 1000u) << "noise is short flashes";
            ++presses.back().noisePulses;
            ++i;
        }
    }
    return presses;
}

bool inKeyMap(uint8_t command) {
    const KeyMap& map = KeyMaps[KEY_MAP_DEFAULT];
    for (ULONG i = 0; i < (map.count & 0xFF); ++i) {
        if ((map.p_entries[i].ir_command & 0xFF) == command) {
            return true;
        }
    }
    return false;
}

} // namespace

TEST(DefaultCaptureTest, HoldsTheListedButtonsWithReleasesAndNoiseBetween) {
    const Timings t = defaultCapture();
    EXPECT_EQ(t, defaultCapture()) << "the same capture on every call";
    ASSERT_TRUE(t.front().pulse && t.back().pulse);
    const std::vector<Press> presses = readPresses(t);
    const std::vector<CaptureButton>& buttons = defaultCaptureButtons();
    size_t b = 0, noise = 0;
    for (const Press& press : presses) {
        if (press.frames == 0) {
            EXPECT_GE(press.noisePulses, 3u) << "a signal without frames is a noise burst";
            EXPECT_EQ(press.repeatCodes, 0u);
            ++noise;
            continue;
        }
        ASSERT_LT(b, buttons.size()) << "more presses than buttons listed";
        const CaptureButton& button = buttons[b++];
        SCOPED_TRACE(button.name);
        EXPECT_EQ(press.address, button.address);
        EXPECT_EQ(press.command, button.command);
        EXPECT_EQ(press.frames, button.frames);
        EXPECT_EQ(press.repeatCodes, button.repeatCodes);
        EXPECT_EQ(press.noisePulses, 0u);
        EXPECT_EQ(inKeyMap(button.command), button.inKeyMap);
    }
    EXPECT_EQ(b, buttons.size());
    EXPECT_EQ(noise, 2u);
    const auto held = std::find_if(buttons.begin(), buttons.end(),
                                   [](const CaptureButton& x) { return x.command == 0x07; });
    ASSERT_NE(held, buttons.end());
    EXPECT_GE(held->frames, 9u) << "enough frames for the auto-repeat filter to show";
    EXPECT_FALSE(std::all_of(buttons.begin(), buttons.end(),
                             [](const CaptureButton& x) { return x.inKeyMap; }));
}

TEST(DefaultCaptureTest, Mode2TextAndPacketsCarryTheSameCapture) {
    const Mode2Result text = parseMode2(defaultCaptureMode2());
    ASSERT_TRUE(text.ok()) << text.error;
    EXPECT_EQ(text.timings, defaultCapture());

    const std::vector<UsbPacket> packets = packetize(defaultCapture());
    const std::vector<irkittest::WalkedItem> items = irkittest::walk(packets);
    EXPECT_EQ(std::count(items.begin(), items.end(), irkittest::WalkedItem::marker()),
              long(defaultCaptureButtons().size() + 2))
        << "one end-of-signal marker per button and per noise burst";
}
