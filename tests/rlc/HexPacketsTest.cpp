// Packets written as hex text, and the dump tool that reads them.
#include "irkit/HexPackets.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

using irkit::parseHexPackets;

namespace {

using Bytes = std::vector<uint8_t>;

TEST(HexPacketsTest, EveryAcceptedSpellingGivesTheSameBytes) {
    const char* spellings[] = {"84 B4 35",          "84b435",          "0x84,0xB4,0x35",
                               "0X84, 0xb4 ,0x35,", "\t84  B4\t35 \r", "84B4 35 # cut group",
                               "0x84 b435"};
    for (const char* text : spellings) {
        irkit::HexPacketsResult r = parseHexPackets(text);
        ASSERT_TRUE(r.ok()) << "'" << text << "' is accepted, not: " << r.error;
        ASSERT_EQ(1u, r.packets.size()) << "'" << text << "' is one packet";
        EXPECT_EQ((Bytes{0x84, 0xB4, 0x35}), r.packets[0].bytes) << "'" << text << "'";
    }
    irkit::HexPacketsResult single = parseHexPackets("0x5");
    ASSERT_TRUE(single.ok()) << single.error;
    EXPECT_EQ(Bytes{0x05}, single.packets[0].bytes) << "a prefixed single digit is one byte";
}

TEST(HexPacketsTest, PacketsKeepTheirLinesAndCommentsAndBlankLinesAreSkipped) {
    irkit::HexPacketsResult r = parseHexPackets("# header\n\n84 B4 35\r\n   \n5A 8B 80 # end\n"
                                                "#only a comment\n9f14");
    ASSERT_TRUE(r.ok()) << r.error;
    ASSERT_EQ(3u, r.packets.size());
    EXPECT_EQ(3u, r.packets[0].line);
    EXPECT_EQ(5u, r.packets[1].line);
    EXPECT_EQ((Bytes{0x5A, 0x8B, 0x80}), r.packets[1].bytes);
    EXPECT_EQ(7u, r.packets[2].line) << "a last line without a line end counts";
    EXPECT_EQ((Bytes{0x9F, 0x14}), r.packets[2].bytes);
    EXPECT_TRUE(parseHexPackets("").packets.empty());
}

TEST(HexPacketsTest, APacketHoldsOneTo32Bytes) {
    std::string line32, line33;
    for (int i = 0; i < 32; ++i)
        line32 += "81 ";
    line33 = line32 + "81";
    irkit::HexPacketsResult full = parseHexPackets(line32);
    ASSERT_TRUE(full.ok()) << full.error;
    EXPECT_EQ(32u, full.packets[0].bytes.size());

    irkit::HexPacketsResult over = parseHexPackets("81\n" + line33 + "\n81\n");
    EXPECT_FALSE(over.ok());
    EXPECT_EQ(2u, over.errorLine);
    EXPECT_EQ("33 bytes, but a packet holds at most 32", over.error);
}

TEST(HexPacketsTest, MalformedLinesAreNamedWithWhatIsWrong) {
    struct Case {
        const char* text;
        size_t line;
        const char* error;
    } cases[] = {
        {"84 B4\n8G", 2, "'8G' is not a hex byte ('G' is no hex digit)"},
        {"845", 1, "'845' has an odd number of hex digits"},
        {"84\n\n0x845", 3, "'0x845' is more than one byte"},
        {"0x", 1, "'0x' has no hex digits"},
        {"84,,B4", 1, "two commas without a byte between them"},
        {", 84", 1, "a comma before the first byte"},
        {"pulse 450", 1, "'pulse' is not a hex byte ('p' is no hex digit)"},
        {"-84", 1, "'-84' is not a hex byte ('-' is no hex digit)"},
    };
    for (const Case& c : cases) {
        irkit::HexPacketsResult r = parseHexPackets(c.text);
        EXPECT_FALSE(r.ok()) << "'" << c.text << "' is rejected";
        EXPECT_EQ(c.line, r.errorLine) << "'" << c.text << "'";
        EXPECT_EQ(c.error, r.error) << "'" << c.text << "'";
    }
}

TEST(HexPacketsTest, FormattedBytesReadBackAndAMissingFileIsNamed) {
    Bytes all;
    for (int b = 0; b < 32; ++b)
        all.push_back(static_cast<uint8_t>(b * 8 + 7));
    EXPECT_EQ("07 0F 17", irkit::formatHexBytes({0x07, 0x0F, 0x17}));
    irkit::HexPacketsResult r = parseHexPackets(irkit::formatHexBytes(all));
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(all, r.packets[0].bytes);

    irkit::HexPacketsResult missing = irkit::readHexPacketsFile("/nonexistent/packets.hex");
    EXPECT_FALSE(missing.ok());
    EXPECT_EQ(0u, missing.errorLine);
    EXPECT_NE(std::string::npos, missing.error.find("/nonexistent/packets.hex"))
        << "the error names the path: " << missing.error;
}

// The dump tool is built beside the test executables.
class RlcDumpToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        char self[4096];
        ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
        ASSERT_GT(n, 0) << "the test finds its own path";
        self[n] = 0;
        std::string dir(self);
        tool = dir.substr(0, dir.rfind('/')) + "/rlc_dump";
        if (access(tool.c_str(), X_OK) != 0)
            GTEST_SKIP() << "rlc_dump is not built beside the tests at " << tool;
        char pattern[] = "/tmp/rlc_dump_test_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern)) << "a scratch folder";
        scratch = pattern;
    }
    void TearDown() override {
        if (!scratch.empty())
            std::system(("rm -rf '" + scratch + "'").c_str());
    }

    std::string write(const std::string& name, const std::string& text) {
        std::string path = scratch + "/" + name;
        std::ofstream(path) << text;
        return path;
    }
    static std::string slurp(const std::string& path) {
        std::ifstream in(path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // Runs the tool; returns its exit code and fills out and err.
    int run(const std::string& args, std::string* out, std::string* err) {
        std::string o = scratch + "/out", e = scratch + "/err";
        int rc = std::system((tool + " " + args + " >'" + o + "' 2>'" + e + "'").c_str());
        *out = slurp(o);
        *err = slurp(e);
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }

    std::string tool, scratch;
};

TEST_F(RlcDumpToolTest, TheBuiltInFrameShowsSamplesCarriesAndTheMarker) {
    std::string out, err;
    ASSERT_EQ(0, run("", &out, &err)) << err;
    EXPECT_NE(std::string::npos, out.find("pulse  6350us  (level 1, 127 units)")) << out;
    EXPECT_NE(std::string::npos, out.find("space  4500us  (level 0, 90 units)")) << out;
    EXPECT_NE(std::string::npos, out.find("2 bytes carried to the next packet")) << out;
    EXPECT_NE(std::string::npos, out.find("end of signal")) << out;
    EXPECT_TRUE(err.empty()) << err;
}

TEST_F(RlcDumpToolTest, AFileOfPacketsIsDumpedInOrder) {
    std::string path = write("good.hex", "# cut group\n84 B4 35\n5a8b80\n0x9F,0x14,0x00\n");
    std::string out, err;
    ASSERT_EQ(0, run("'" + path + "'", &out, &err)) << err;
    const char* expected = "packet 1 (line 2, 3 bytes): 84 B4 35\n"
                           "  no complete sample\n"
                           "  3 bytes carried to the next packet\n"
                           "packet 2 (line 3, 3 bytes): 5A 8B 80\n"
                           "  pulse  2600us  (level 1, 52 units)\n"
                           "  space  2650us  (level 0, 53 units)\n"
                           "  space  4500us  (level 0, 90 units)\n"
                           "  pulse   550us  (level 1, 11 units)\n"
                           "  space  6350us  (level 0, 127 units)\n"
                           "  end of signal\n"
                           "packet 3 (line 4, 3 bytes): 9F 14 00\n"
                           "  log: ravo: response type is 9f,id is 14\n"
                           "  no complete sample\n";
    EXPECT_EQ(expected, out);
}

TEST_F(RlcDumpToolTest, MalformedInputIsNamedAndNothingIsDumped) {
    std::string path = write("bad.hex", "84 B4 35\n5A 8B 80\n\n84 ZZ\n");
    std::string out, err;
    EXPECT_EQ(1, run("'" + path + "'", &out, &err));
    EXPECT_EQ(path + ":4: 'ZZ' is not a hex byte ('Z' is no hex digit)\n", err);
    EXPECT_TRUE(out.empty()) << "the good lines before the error are not shown: " << out;

    EXPECT_EQ(1, run("'" + write("empty.hex", "# nothing\n") + "'", &out, &err));
    EXPECT_NE(std::string::npos, err.find("no packets")) << err;
    EXPECT_TRUE(out.empty()) << out;

    EXPECT_EQ(1, run("'" + scratch + "/absent.hex'", &out, &err));
    EXPECT_NE(std::string::npos, err.find("absent.hex")) << err;
    EXPECT_EQ(2, run("a b", &out, &err)) << "two arguments are a usage error";
}

} // namespace
