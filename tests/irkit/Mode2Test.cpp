// The mode2 reader on good and malformed text (real captures: RlcRoundTripTest).
#include "irkit/Mode2.h"

#include <gtest/gtest.h>

using namespace irkit;

TEST(Mode2ReaderTest, ReadsWordsSignedValuesCommentsAndTimeouts) {
    const Mode2Result r = parseMode2("# a capture\r\n"
                                     "pulse 9000\r\n"
                                     "\n"
                                     "   space   4500   # leader space\n"
                                     "+560 -1690\t+560\n"
                                     "pulse 40\n" // a pulse behind a pulse: one period
                                     "space 700\n"
                                     "timeout 30000\n" // silence behind a space: one period
                                     "+560");
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.errorLine, 0u);
    EXPECT_EQ(r.timings, (Timings{pulse(9000), space(4500), pulse(560), space(1690), pulse(600),
                                  space(30700), pulse(560)}));
    EXPECT_EQ(parseMode2("").timings, Timings{});
}

TEST(Mode2ReaderTest, ErrorsNameTheLineAndWhatIsWrong) {
    struct Case {
        const char* text;
        size_t line;
        const char* message;
    };
    const Case cases[] = {
        {"pulse 100\nplse 5\n", 2, "line 2: unknown word 'plse'"},
        {"pulse\n", 1, "line 1: missing value after 'pulse'"},
        {"pulse 9\nspace -5", 2, "line 2: negative value '-5' after 'space'"},
        {"# x\npulse 12a", 2, "line 2: non-numeric value '12a' after 'pulse'"},
        {"pulse 0", 1, "line 1: zero duration after 'pulse'"},
        {"timeout 4294967296", 1, "line 1: value '4294967296' is too large after 'timeout'"},
        {"pulse 10 20", 1, "line 1: unexpected '20' after the value"},
        {"+10 20", 1, "line 1: expected +N or -N, found '20'"},
        {"\n\n+10 -x", 3, "line 3: non-numeric value 'x' in '-x'"},
        {"+10\n-", 2, "line 2: missing value in '-'"},
        {"+5 --5", 1, "line 1: negative value '-5' in '--5'"},
    };
    for (const Case& c : cases) {
        const Mode2Result r = parseMode2(c.text);
        EXPECT_FALSE(r.ok()) << "text should be rejected: " << c.text;
        EXPECT_EQ(r.errorLine, c.line) << c.text;
        EXPECT_EQ(r.error, c.message) << c.text;
    }
    const Mode2Result partial = parseMode2("pulse 100\nspace 200\nbogus 1\npulse 5");
    EXPECT_EQ(partial.timings, (Timings{pulse(100), space(200)})) << "what came before the error";

    const Mode2Result missing = readMode2File("/nonexistent/capture.mode2");
    EXPECT_FALSE(missing.ok());
    EXPECT_NE(missing.error.find("cannot open '/nonexistent/capture.mode2'"), std::string::npos)
        << missing.error;
}

TEST(Mode2ReaderTest, WriterRoundTripsThroughTheReader) {
    const Timings t{pulse(1), space(4294967295u), pulse(889), space(1778), pulse(560)};
    EXPECT_EQ(writeMode2(t), "pulse 1\nspace 4294967295\npulse 889\nspace 1778\npulse 560\n");
    EXPECT_EQ(parseMode2(writeMode2(t)).timings, t);
}
