// Packets written as hex text, as the dump tool reads them.
#include "irkit/HexPackets.h"

#include <gtest/gtest.h>

namespace {

TEST(HexPacketsTest, FormattedPacketsReadBackAndMalformedLinesAreNamed) {
    std::vector<uint8_t> all;
    for (int b = 0; b < 32; ++b)
        all.push_back(static_cast<uint8_t>(b * 8 + 7));
    std::string text = "# header\n\n" + irkit::formatHexBytes(all) + "\r\n0x5A,0x8b, 80 # end\n9f";
    irkit::HexPacketsResult r = irkit::parseHexPackets(text);
    ASSERT_TRUE(r.ok()) << r.error;
    ASSERT_EQ(3u, r.packets.size());
    EXPECT_EQ(all, r.packets[0].bytes);
    EXPECT_EQ((std::vector<uint8_t>{0x5A, 0x8B, 0x80}), r.packets[1].bytes);
    EXPECT_EQ(5u, r.packets[2].line) << "a last line without a line end counts";
    EXPECT_EQ("33 bytes, but a packet holds at most 32",
              irkit::parseHexPackets(irkit::formatHexBytes(std::vector<uint8_t>(33, 1))).error);
    EXPECT_EQ("'8G' is not a hex byte ('G' is no hex digit)", irkit::parseHexPackets("8G").error);
    EXPECT_EQ("'845' has an odd number of hex digits", irkit::parseHexPackets("845").error);
}

} // namespace
