// What a LIRC user has: the output of mode2 and ir-ctl, read whole or as a stream.
#include "irkit/Mode2.h"
#include "tests/support/CaptureManifest.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using namespace irkit;

TEST(Mode2InputTest, LircHeaderAndCarrierLinesAreSkippedWithOneNote) {
    const Mode2Result r = parseMode2("Using driver default on device /dev/lirc0\n"
                                     "Trying device: /dev/lirc0\n"
                                     "Using device: /dev/lirc0\n"
                                     "space 16777215\npulse 9000\nspace 4500\n"
                                     "carrier 38000\npulse 560\ntimeout 125000\n");
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.timings,
              (Timings{space(16777215), pulse(9000), space(4500), pulse(560), space(125000)}));
    EXPECT_EQ(r.note, "skipped 4 lines that hold no period (header or carrier; first: line 1 "
                      "'Using driver default on device /dev/lirc0')");
    EXPECT_EQ(parseMode2("pulse 5\n").note, "") << "nothing skipped, nothing to say";
    EXPECT_EQ(parseMode2("pulse 5\nUsing\n").error, "line 2: unknown word 'Using'");
}

TEST(Mode2InputTest, BytesThatAreNotTextAreShownEscaped) {
    struct Case {
        std::string text;
        std::string error;
    };
    std::string longWord = "line 1: unknown word '";
    for (int i = 0; i < 64; ++i)
        longWord += "\\x80";
    longWord += "...'";
    const Case cases[] = {
        {"pulse 1\n\x7f"
         "ELF\x02\x01\n",
         "line 2: unknown word '\\x7fELF\\x02\\x01'"},
        {"pulse \xff\xfe\n", "line 1: non-numeric value '\\xff\\xfe' after 'pulse'"},
        {"+5 -\x1b[1m", "line 1: non-numeric value '\\x1b[1m' in '-\\x1b[1m'"},
        {std::string("pulse 1\nspace\0\n", 15), "line 2: unknown word 'space\\x00'"},
        {std::string(70, '\x80'), longWord},
        {"pulse 1\n" + std::string(kMode2MaxLineBytes + 1, '+'),
         "line 2: longer than 4096 characters"},
    };
    for (const Case& c : cases) {
        const Mode2Result r = parseMode2(c.text);
        EXPECT_EQ(r.error, c.error);
        for (char ch : r.error)
            EXPECT_TRUE(ch >= 0x20 && ch < 0x7F) << "raw byte " << int(ch) << " in " << r.error;
    }
}

// The stream is read a period at a time; neighbours of one level still merge across
// lines, and every real capture reads as the whole-file reader reads it.
TEST(Mode2InputTest, StreamingReaderGivesWhatTheWholeTextGives) {
    std::istringstream merged("pulse 100\npulse 50\n+5 -7\n-3\ntimeout 10\n+1\nbogus\n+2");
    Mode2Reader reader(merged);
    Timings got;
    for (IrTiming period{}; reader.next(period);)
        got.push_back(period);
    EXPECT_EQ(got, (Timings{pulse(155), space(20), pulse(1)})) << "what came before the error";
    EXPECT_EQ(reader.error(), "line 7: unknown word 'bogus'");
    EXPECT_EQ(reader.errorLine(), 7u);

    std::optional<std::vector<capturetest::CaptureEntry>> manifest = capturetest::loadManifest();
    if (!manifest)
        GTEST_SKIP() << "no captures at " << capturetest::capturesDir();
    for (const capturetest::CaptureEntry& entry : *manifest) {
        const std::string path = capturetest::capturesDir() + "/" + entry.file;
        std::ifstream file(path);
        Mode2Reader stream(file);
        Timings streamed;
        for (IrTiming period{}; stream.next(period);)
            streamed.push_back(period);
        EXPECT_TRUE(stream.ok()) << entry.file << ": " << stream.error();
        EXPECT_EQ(streamed, readMode2File(path).timings) << entry.file;
    }
}
