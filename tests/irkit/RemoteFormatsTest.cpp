// Remote files as people keep them: each reader on the cases that break readers (odd and
// missing counts, declared lengths that lie, CRLF and comments between mixed signals, two
// remotes with pre_data and toggle bits), errors that name their line and what was
// expected, formats told by their content, and the writers reading back to what the
// receiver made of the original.
#include "irkit/Broadlink.h"
#include "irkit/Encoders.h"
#include "irkit/FlipperIr.h"
#include "irkit/LircdConf.h"
#include "irkit/Pronto.h"
#include "irkit/RemoteFile.h"

#include <gtest/gtest.h>
#include <sstream>

using namespace irkit;

namespace irkit {
void PrintTo(const IrTiming& t, std::ostream* os) {
    *os << (t.pulse ? "+" : "-") << t.microseconds;
}
} // namespace irkit

namespace {

struct Read {
    std::vector<RemoteButton> buttons;
    std::string error;
};

Read readAll(RemoteFormat format, const std::string& text) {
    std::istringstream in(text);
    auto reader = makeButtonReader(format, in);
    Read read;
    RemoteButton button;
    while (reader->next(button))
        read.buttons.push_back(button);
    read.error = reader->error();
    return read;
}

// Periods as the receiver reports them: level and 50 us units.
std::vector<std::pair<bool, uint32_t>> units(const Timings& timings) {
    std::vector<std::pair<bool, uint32_t>> out;
    for (const IrTiming& t : timings)
        out.emplace_back(t.pulse, std::max(1u, (t.microseconds + 25) / 50));
    return out;
}

Timings pronto(std::initializer_list<uint32_t> counts, uint32_t word = 0x6D) {
    Timings t;
    bool level = true;
    for (uint32_t c : counts) {
        append(t, IrTiming{level, prontoMicroseconds(c, word)});
        level = !level;
    }
    return t;
}

const Timings kRaw = {pulse(9024), space(4512), pulse(579), space(552), pulse(601)};

struct Expected {
    std::string name;
    Timings timings; // empty: protocol names the button
    std::string protocol = "";
};

struct ReadCase {
    const char* what;
    RemoteFormat format;
    std::string text;
    std::vector<Expected> buttons;
    std::string note = ""; // a note some button carries
};

TEST(RemoteFormatsTest, ReadersHandOutEveryButtonAsOnePressSendsIt) {
    const uint8_t necExt[4] = {0x04, 0xFB, 0x1A, 0xE6}; // NECext sends its second byte as given
    const std::string ir =
        "Filetype: IR signals file\r\nVersion: 1\r\n# learned\r\n#\r\nname: Raw\r\n"
        "type: raw\r\nfrequency: 38000\r\nduty_cycle: 0.330000\r\ndata: 9024 4512 579\r\n"
        "data: 552 601\r\n# typed in\r\nname: Ok\r\ntype: parsed\r\nprotocol: NEC\r\n"
        "address: 04 00 00 00\r\ncommand: 06 00 00 00\r\nname: Up\r\ntype: parsed\r\n"
        "protocol: NECext\r\naddress: 04 FB 00 00\r\ncommand: 1A E6 00 00\r\n#\r\nname: Tv\r\n"
        "type: parsed\r\nprotocol: RC5X\r\naddress: 05 00 00 00\r\ncommand: 0C 00 00 00\r\n"
        "name: Sony\r\ntype: parsed\r\nprotocol: SIRC\r\naddress: 01 00 00 00\r\n"
        "command: 15 00 00 00\r\n";
    const std::string lircd =
        "# two remotes\nbegin remote\n  name tv\n  bits 16\n  flags SPACE_ENC|CONST_LENGTH\n"
        "  header 9000 4500\n  one 560 1690\n  zero 560 560\n  ptrail 560\n"
        "  pre_data_bits 16\n  pre_data 0x20DF\n  gap 108000\n  toggle_bit_mask 0x8000\n"
        "  foot 100 100\n  begin codes\n    KEY_OK 0x609F # Enter\n    KEY_2 0x6897 0x609F\n"
        "  end codes\nend remote\nbegin remote\n  name amp\n  flags RAW_CODES\n"
        "  begin raw_codes\n    name KEY_A\n 9024 4512\n 579 552 601\n    name KEY_B\n 500\n"
        "  end raw_codes\nend remote\nbegin remote\n  name rc5\n  bits 13\n  flags RC5\n"
        "  one 889 889\n  zero 889 889\n  begin codes\n  KEY_UP 0x1010\n  end codes\nend remote\n";
    Timings twoThenOk = necFrame(0x04, 0x16);
    append(twoThenOk, space(108000));
    append(twoThenOk, necFrame(0x04, 0x06));
    const std::string json =
        "{\"manufacturer\": \"X\", \"models\": [\"a\", 1, true, null],\n \"commands\": {\"off\": "
        "\"b64:JgAFAAABJ5MS\",\n \"cool\": {\"16\": \"26000400ff0a0d05\"},\n"
        " \"lamp\": \"sgAEABAgECA=\", \"toggles\": [\"JgADAAoUHgA=\", \"JgADAAoUHgA=\"]}}";
    const double tick = 1e6 / 32768;
    auto ticks = [&](bool level, uint32_t n) { return IrTiming{level, uint32_t(n * tick + 0.5)}; };
    const ReadCase cases[] = {
        {"flipper: raw and parsed, comments, CRLF, a raw signal over two data lines",
         RemoteFormat::Flipper,
         ir,
         {{"Raw", kRaw},
          {"Ok", necFrame(0x04, 0x06)},
          {"Up", necFrameBytes(necExt)},
          {"Tv", rc5Frame(5, 0x4C, false)},
          {"Sony", {}, "SIRC"}}},
        {"pronto: learned once part, repeat part only, RC5 and RC6 forms",
         RemoteFormat::Pronto,
         "# codes\nOnce: 0000 006D 0002 0001 0156 00AB 0015 0F80 0156 0056\n"
         "0000 006D 0000 0001 0156 0056\nStandby: 5000 0073 0000 0001 0005 004C\n"
         "Menu: 6000 0073 0000 0001 0000 0054\n",
         {{"Once", pronto({0x156, 0xAB, 0x15, 0xF80})},
          {"code 1", pronto({0x156, 0x56})},
          {"Standby", rc5Frame(5, 0x4C, false), "RC5 (Pronto 5000)"},
          {"Menu", {}, "RC6 (Pronto 6000)"}},
         "repeat part only"},
        {"broadlink lines: base64 with the long escape and trailer, hex sent twice",
         RemoteFormat::Broadlink,
         "Power: JgAIAAABJ5MSAA0FAAA=\n# hex\n26010500ff0a140d0500\n",
         {{"Power", {ticks(true, 295), ticks(false, 147), ticks(true, 18), ticks(false, 3333)}},
          {"code 1",
           {ticks(true, 255), ticks(false, 10), ticks(true, 20), ticks(false, 3333),
            ticks(true, 255), ticks(false, 10), ticks(true, 20)}}},
         "sent 2 times"},
        {"broadlink JSON: buttons by their keys, other values passed over",
         RemoteFormat::Broadlink,
         json,
         {{"off", {ticks(true, 295), ticks(false, 147), ticks(true, 18)}},
          {"cool/16", {ticks(true, 255), ticks(false, 10)}},
          {"lamp", {}, "433 MHz radio (Broadlink type 0xB2)"},
          {"toggles/1", {ticks(true, 10), ticks(false, 20), ticks(true, 30)}},
          {"toggles/2", {ticks(true, 10), ticks(false, 20), ticks(true, 30)}}}},
        {"lircd: two remotes, pre_data, toggle bits, raw codes, an encoding not modelled",
         RemoteFormat::LircdConf,
         lircd,
         {{"tv/KEY_OK", necFrame(0x04, 0x06)},
          {"tv/KEY_2", twoThenOk},
          {"amp/KEY_A", kRaw},
          {"amp/KEY_B", {pulse(500)}},
          {"rc5/KEY_UP", {}, "RC5 (a lircd.conf encoding this reader does not model)"}},
         "'toggle_bit_mask 0x8000' (line 13): toggle bits sent as written"},
    };
    for (const ReadCase& c : cases) {
        const Read read = readAll(c.format, c.text);
        EXPECT_EQ(read.error, "") << c.what;
        ASSERT_EQ(read.buttons.size(), c.buttons.size()) << c.what;
        bool noted = c.note.empty();
        for (size_t i = 0; i < c.buttons.size(); ++i) {
            const RemoteButton& b = read.buttons[i];
            EXPECT_EQ(b.name, c.buttons[i].name) << c.what;
            EXPECT_EQ(b.timings, c.buttons[i].timings) << c.what << ": " << b.name;
            if (!c.buttons[i].protocol.empty()) {
                EXPECT_EQ(b.protocol, c.buttons[i].protocol) << c.what << ": " << b.name;
            }
            for (const std::string& note : b.notes)
                noted = noted || note.find(c.note) != std::string::npos;
        }
        EXPECT_TRUE(noted) << c.what << ": no button notes " << c.note;
    }
}

TEST(RemoteFormatsTest, MalformedFilesNameTheirLineAndWhatWasExpected) {
    const std::string flipperHead = "Filetype: IR signals file\nVersion: 1\n";
    const struct {
        RemoteFormat format;
        std::string text;
        size_t before; // buttons handed out before the error
        std::string error;
    } cases[] = {
        {RemoteFormat::Pronto,
         "A: 0000 006D 0001 0000 0156 00AB\nB: 0000 006D 0002 0000 0156 00AB 0015\n", 1,
         "line 2: an odd count of 3 burst words (each burst is an on and an off word); the header "
         "announces 2 once and 0 repeat burst pairs, 4 words"},
        {RemoteFormat::Pronto, "0000 006D 0002 0000 0156 00AB\n", 0,
         "line 1: the header announces 2 once and 0 repeat burst pairs, 4 words, but 2 follow"},
        {RemoteFormat::Pronto, "\n0000 0000 0001 0000 0156 00AB\n", 0,
         "line 2: carrier word 0000 (word 2): a learned code needs its carrier's period to time "
         "its bursts"},
        {RemoteFormat::Pronto, "0000 006D 0000 0000\n", 0,
         "line 1: no burst pairs: words 3 and 4 (once and repeat pair counts) are 0000"},
        {RemoteFormat::Pronto, "0000 006D 0001 0000 0156 0G00\n", 0,
         "line 1: expected 4 hex digits in word 6, found '0G00'"},
        {RemoteFormat::Pronto, "1234 006D 0000 0000\n", 0,
         "line 1: form 1234 (word 1) is none of 0000, 0100, 5000, 5001, 6000, 6001, 900A"},
        {RemoteFormat::Broadlink, "a: JgADAAoUHgA=\nb: 260002000a141e\n", 1,
         "line 2: byte 6: 0x1E after the 2 bytes of durations that bytes 2-3 declare: the "
         "declared length is shorter than the data"},
        {RemoteFormat::Broadlink, "260008000a141e\n", 0,
         "line 1: cut short: bytes 2-3 declare 8 bytes of durations, but the packet ends after 3 "
         "(at byte 7)"},
        {RemoteFormat::Broadlink, "26000300000a0b0c\n", 0,
         "line 1: byte 7: 0x0C after the 3 bytes of durations that bytes 2-3 declare: the "
         "declared length is shorter than the data"},
        {RemoteFormat::Broadlink, "26000200000a\n", 0,
         "line 1: byte 4: a long duration (0x00) needs two more bytes inside the declared length, "
         "which ends at byte 6"},
        {RemoteFormat::Broadlink, "Jg!A\n", 0,
         "line 1: character 3 '!' is not base64 (nor is the text hex digits)"},
        {RemoteFormat::Broadlink, "{\"a\": \"JgADAAoUHgA=\",\n \"b\" \"x\"}", 1,
         "line 2: expected ':' after the key 'b', found '\"'"},
        {RemoteFormat::Flipper,
         flipperHead + "name: A\ntype: parsed\nprotocol: NEC\n"
                       "address: 04 00 00 00\nname: B\n",
         0, "line 3: signal 'A' has no 'command:' (expected before the next 'name:' or the end)"},
        {RemoteFormat::Flipper, flipperHead + "name: A\ntype: parsed\nprotocol: NEC\naddress: 4\n",
         0, "line 6: expected four hex bytes after 'address:' (as '04 00 00 00'), found '4'"},
        {RemoteFormat::Flipper, flipperHead + "name: A\ntype: raw\ndata: 100 0\n", 0,
         "line 5: expected a duration of 1 to 4294967295 us in value 2 of 'data:', found '0'"},
        {RemoteFormat::Flipper, "Version: 1\n", 0,
         "line 1: expected 'Filetype: IR signals file', found 'Version: 1'"},
        {RemoteFormat::Flipper,
         flipperHead + "name: A\ntype: parsed\nprotocol: NEC\n"
                       "address: 00 01 00 00\ncommand: 01 00 00 00\n",
         0, "line 6: NEC address 0x100 is above 0xFF"},
        {RemoteFormat::LircdConf, "begin remote\n name a\n flags SPACE_ENC|FANCY\n", 0,
         "line 3: unknown flag 'FANCY'"},
        {RemoteFormat::LircdConf, "begin remote\n name a\n one 1 1\n zero 1 1\n begin codes\n", 0,
         "line 5: remote 'a' lists codes without 'bits', 'one' and 'zero' to send them with"},
        {RemoteFormat::LircdConf,
         "begin remote\n name a\n bits 8\n one 1 1\n zero 1 1\n begin codes\n K 0x1FF\n", 0,
         "line 7: code 0x1FF does not fit the remote's 8 bits"},
        {RemoteFormat::LircdConf, "begin remote\n name a\n flags RAW_CODES\n begin raw_codes\n", 0,
         "line 4: the file ends inside remote 'a' (expected 'end raw_codes')"},
    };
    for (const auto& c : cases) {
        const Read read = readAll(c.format, c.text);
        EXPECT_EQ(read.error, c.error) << c.text;
        EXPECT_EQ(read.buttons.size(), c.before) << c.text;
    }
}

TEST(RemoteFormatsTest, FormatsAreToldByTheirContent) {
    const std::pair<std::string, std::optional<RemoteFormat>> cases[] = {
        {"\xEF\xBB\xBF# x\r\nFiletype: IR signals file\r\n", RemoteFormat::Flipper},
        {"# made by irrecord\n\nbegin remote\n", RemoteFormat::LircdConf},
        {"  {\"commands\": {}}", RemoteFormat::Broadlink},
        {"Power: b64:JgAEAAoUHgA=\n", RemoteFormat::Broadlink},
        {"260004000a141e00\n", RemoteFormat::Broadlink},
        {"Power: 0000 006D 0001 0000 0156 00AB\n", RemoteFormat::Pronto},
        {"Using driver default on device /dev/lirc0\npulse 900\n", RemoteFormat::Mode2},
        {"+9000 -4500 +560\n", RemoteFormat::Mode2},
        {"hello world\n", std::nullopt},
        {"# only a comment\n", std::nullopt},
    };
    for (const auto& [text, format] : cases) {
        std::string why;
        EXPECT_EQ(detectFormat(text, &why), format) << text;
        EXPECT_EQ(why.empty(), format.has_value()) << text << ": " << why;
    }
}

// What the writers make reads back to what the receiver made of the original, unit for
// unit, though Pronto and Broadlink count in units of their own.
TEST(RemoteFormatsTest, WrittenFilesReadBackToTheReceiversUnits) {
    const std::vector<NamedTimings> buttons = {
        {"nec", distort(encode(Protocol::Nec, 0x04, 0x16, {2, 0, 0, false}), {1.03, 90, 5})},
        {"rc5", distort(rc5Frame(7, 0x35, true), {0.96, 70, 6})},
    };
    const std::pair<RemoteFormat, std::string> files[] = {
        {RemoteFormat::Pronto, writeProntoLines(buttons)},
        {RemoteFormat::Broadlink, writeBroadlinkLines(buttons, true)},
        {RemoteFormat::Broadlink, writeBroadlinkLines(buttons, false)},
        {RemoteFormat::Flipper, writeFlipperIr(buttons)},
        {RemoteFormat::LircdConf, writeLircdConf("r", buttons)},
    };
    for (const auto& [format, text] : files) {
        const Read read = readAll(format, text);
        ASSERT_EQ(read.error, "") << text;
        ASSERT_EQ(read.buttons.size(), buttons.size()) << text;
        for (size_t i = 0; i < buttons.size(); ++i) {
            auto got = units(read.buttons[i].timings);
            if (!got.back().first && format != RemoteFormat::Flipper &&
                format != RemoteFormat::LircdConf)
                got.pop_back(); // the silence that completes the last pair
            EXPECT_EQ(got, units(buttons[i].timings)) << formatName(format) << " " << text;
        }
    }
}

} // namespace
