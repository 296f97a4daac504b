// The replay tool as a person uses it: what it prints for the default capture (through the
// whole driver, with the times the class driver received the reports), for frames that
// miss the decoder's windows or barely fit them, for RC5 captures, for captures played back
// to back or read from standard input, the drawing it makes, and how it refuses bad input.
#include "irkit/Encoders.h"
#include "irkit/Mode2.h"

#include <array>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct ToolRun {
    int exitCode = -1;
    std::string out; // stdout and stderr
};

std::string toolPath() {
    std::array<char, 4096> self{};
    ssize_t length = readlink("/proc/self/exe", self.data(), self.size() - 1);
    std::string dir(self.data(), length > 0 ? static_cast<size_t>(length) : 0);
    return dir.substr(0, dir.rfind('/')) + "/ravo_replay";
}

// Runs the tool (or, with a command, that command) through the shell.
ToolRun runTool(const std::string& arguments, const std::string& command0 = "") {
    ToolRun run;
    std::string command = (command0.empty() ? toolPath() + " " + arguments : command0) + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    std::array<char, 4096> chunk;
    size_t got;
    while ((got = fread(chunk.data(), 1, chunk.size(), pipe)) > 0) {
        run.out.append(chunk.data(), got);
    }
    int status = pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// Of this process alone (the same tests run side by side in other builds on the machine),
// and removed with it.
std::string tempPath(const std::string& name) {
    static struct Made {
        std::vector<std::string> paths;
        ~Made() {
            for (const auto& path : paths)
                std::remove(path.c_str());
        }
    } made;
    made.paths.push_back(testing::TempDir() + "/ravo-" + std::to_string(getpid()) + "-" + name);
    return made.paths.back();
}

std::string writeCapture(const std::string& name, const std::string& text) {
    std::string path = tempPath(name);
    std::ofstream(path) << text;
    return path;
}

bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

// The meaning column of every report line, in order:
// "   0.168 s  0x16        01 00 00 1f 00 00 00 00 00   2".
// Time, a command column of 11, the report bytes in lower-case hex, then the meaning.
std::vector<std::string> meanings(const std::string& out) {
    std::vector<std::string> result;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.size() < 30 || line.compare(8, 4, " s  ") != 0) {
            continue;
        }
        const std::string command = line.substr(12, 11);
        if (command != std::string(11, ' ') &&
            !(command.compare(0, 2, "0x") == 0 && command.compare(4, 7, "       ") == 0)) {
            continue;
        }
        size_t at = 24;
        size_t bytes = 0;
        while (at + 1 < line.size() && isHex(line[at]) && isHex(line[at + 1])) {
            bytes++;
            at += 2;
            if (at + 1 < line.size() && line[at] == ' ' && isHex(line[at + 1])) {
                at++;
            }
        }
        size_t meaning = line.find_first_not_of(' ', at);
        if (bytes == 0 || meaning == std::string::npos || meaning < at + 2) {
            continue;
        }
        result.push_back(line.substr(meaning));
    }
    return result;
}

class ReplayToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, access(toolPath().c_str(), X_OK))
            << "ravo_replay must be built next to this test: " << toolPath();
    }
};

} // namespace

TEST_F(ReplayToolTest, DefaultCaptureShowsEachKeyWithItsReleaseAndTime) {
    ToolRun run = runTool("");
    ASSERT_EQ(0, run.exitCode) << run.out;
    std::vector<std::string> lines = meanings(run.out);
    ASSERT_FALSE(lines.empty()) << run.out;
    ASSERT_EQ(0u, lines.size() % 2) << run.out;
    std::vector<std::string> keys;
    size_t rightArrows = 0;
    for (size_t i = 0; i < lines.size(); i += 2) {
        EXPECT_EQ("release", lines[i + 1]) << "every key is followed by its release";
        rightArrows += lines[i] == "Right Arrow" ? 1 : 0;
        if (keys.empty() || keys.back() != lines[i]) {
            keys.push_back(lines[i]);
        }
    }
    const std::vector<std::string> expected = {
        "2", "Enter", "Ctrl+Alt+F12", "Right Arrow", "consumer control, no key (empty report)",
        "2"};
    EXPECT_EQ(expected, keys) << run.out;
    // Nine frames of a held arrow give three keys; any shortfall must be explained.
    EXPECT_GE(rightArrows, 1u);
    if (rightArrows < 3) {
        EXPECT_NE(std::string::npos, run.out.find("fit every window but were not decoded"))
            << run.out;
    }
    EXPECT_NE(std::string::npos, run.out.find("NEC repeat code(s)")) << run.out;
    // The last key comes 100 ms into the silence after the capture, and the output says so.
    EXPECT_NE(std::string::npos, run.out.find("   3.211 s  capture 1 ends")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("clock ran to 3.311 s")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("   0.168 s  0x16        01 00 00 1f"))
        << "the first key carries the time of its packet and its IR command\n"
        << run.out;
}

TEST_F(ReplayToolTest, TheReportsComeThroughTheWholeDriver) {
    ToolRun run = runTool("--driver-log");
    ASSERT_EQ(0, run.exitCode) << run.out;
    for (const char* step :
         {"DriverEntry", "IRP_MN_START_DEVICE", "Select Configuration successful",
          "THE KEY INFORMATION IS 0x16", "IRP_MN_REMOVE_DEVICE"}) {
        EXPECT_NE(std::string::npos, run.out.find(step)) << "the driver's log shows " << step;
    }
}

// Three frames: a leader pulse too short, a leader space too long, and one that fits with
// a single space 50 us inside its window.
std::string windowsCapture() {
    irkit::Timings frame = irkit::necFrame(0x04, 0x16);
    frame[0].microseconds = 8300;
    irkit::Timings capture = frame;
    for (int k = 1; k <= 2; k++) {
        irkit::append(capture, irkit::space(150000));
        frame = irkit::necFrame(0x04, 0x16);
        frame[k == 1 ? 1 : 7].microseconds = k == 1 ? 5000 : 1900; // bit 2 of byte 0 is a 1
        irkit::append(capture, frame);
    }
    return writeCapture("windows.mode2", irkit::writeMode2(capture));
}

TEST_F(ReplayToolTest, EveryFrameShowsItsMarginsOrTheWindowItMissed) {
    ToolRun run = runTool(windowsCapture());
    ASSERT_EQ(0, run.exitCode) << run.out;
    EXPECT_EQ(std::vector<std::string>({"2", "release"}), meanings(run.out)) << run.out;
    for (const char* line :
         {"NEC frame rejected: leader pulse 8.30 ms is 0.45 ms below the window 8.75-9.25 ms",
          "NEC frame rejected: leader space 5.00 ms is 0.25 ms above the window 4.25-4.75 ms; "
          "margins before: leader pulse +0.25 ms",
          "NEC frame 04 fb 16 e9, command 0x16; margins: leader pulse +0.25 ms, leader space "
          "+0.25 ms, worst bit +0.05 ms (bit 2 of byte 0: space 1.90 ms)",
          "2 frame(s) the NEC decoder rejects"}) {
        EXPECT_NE(std::string::npos, run.out.find(line)) << line << "\n" << run.out;
    }
}

// Counts the drawing's marks by class, through an XML parser that refuses a malformed file.
TEST_F(ReplayToolTest, TheSvgIsWellFormedAndMarksFramesWindowsAndReports) {
    if (system("python3 -c 'import xml.etree.ElementTree' 2>/dev/null") != 0) {
        GTEST_SKIP() << "python3 with xml.etree is needed to parse the SVG";
    }
    const std::string svg = tempPath("replay.svg");
    std::remove(svg.c_str());
    ToolRun run = runTool("--svg " + svg + " " + windowsCapture());
    ASSERT_EQ(0, run.exitCode) << run.out;
    ToolRun parsed = runTool(
        "",
        "python3 -c \"import sys, xml.etree.ElementTree as E; r = E.parse(sys.argv[1]).getroot(); "
        "c = [e.get('class') for e in r.iter()]; t = ' '.join(e.text or '' for e in r.iter()); "
        "print(*[c.count(k) for k in ('ok', 'bad', 'window', 'key', 'rel')], "
        "'04 fb 16 e9' in t, '+0.05 ms' in t, '-0.45 ms leader pulse' in t)\" " +
            svg);
    EXPECT_EQ("1 2 2 1 1 True True True\n", parsed.out);
}

TEST_F(ReplayToolTest, Rc5CapturesReplayThroughTheRc5Decoder) {
    irkit::Timings rc5 = irkit::rc5Frame(5, 12, false);
    std::string path = writeCapture("rc5.mode2", irkit::writeMode2(rc5));
    ToolRun nec = runTool(path);
    ASSERT_EQ(0, nec.exitCode) << nec.out;
    EXPECT_NE(std::string::npos, nec.out.find("holds no NEC leader")) << nec.out;
    EXPECT_NE(std::string::npos, nec.out.find("longest pulse is 1.78 ms")) << nec.out;

    ToolRun run = runTool("--protocol rc5 " + path);
    ASSERT_EQ(0, run.exitCode) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("1 RC5 frame(s) decoded")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("Commands decoded: 0x4C x1")) << run.out;
    EXPECT_EQ(std::string::npos, run.out.find("NEC frame")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("0x4C        02 00 00 00")) << "a report from it";
    EXPECT_EQ(2, runTool("--protocol sony " + path).exitCode);
}

TEST_F(ReplayToolTest, CapturesPlayBackToBackWithTheGapBetween) {
    irkit::Timings first = irkit::necFrame(0x04, 0x16); // 67.5 ms, no silence after it
    std::string a = writeCapture("a.mode2", irkit::writeMode2(first));
    std::string b = writeCapture("b.mode2", irkit::writeMode2(irkit::necFrame(0x04, 0x06)));
    // Drawn too: the second capture's caption opens a row just ahead of its signal, which
    // must still take all 34 pulses of its frame.
    const std::string svg = tempPath("two.svg");
    ToolRun run = runTool("--gap 400 --svg " + svg + " " + a + " " + b);
    ASSERT_EQ(0, run.exitCode) << run.out;
    EXPECT_EQ(std::vector<std::string>({"2", "release", "Enter", "release"}), meanings(run.out))
        << run.out;
    // The second starts 400 ms after the first ends; each key comes 100 ms into the silence.
    for (const char* text : {"Capture 2 from 0.468 s", "   0.168 s  0x16", "   0.636 s  0x06"}) {
        EXPECT_NE(std::string::npos, run.out.find(text)) << text << "\n" << run.out;
    }
    std::stringstream drawing;
    drawing << std::ifstream(svg).rdbuf();
    const std::string text = drawing.str();
    size_t pulses = 0;
    for (size_t at = text.find("class=\"pulse\""); at != std::string::npos;
         at = text.find("class=\"pulse\"", at + 1)) {
        pulses++;
    }
    EXPECT_EQ(68u, pulses) << text;
    // Without a gap the two frames are one signal: one packet holds a marker, although the
    // parser also reports a release after its first packet.
    ToolRun joined = runTool("--packets --gap 0 " + a + " " + b);
    EXPECT_NE(std::string::npos, joined.out.find("1 end-of-signal marker(s)")) << joined.out;
    EXPECT_NE(std::string::npos, joined.out.find("end of signal\n")) << joined.out;
    EXPECT_EQ(joined.out.find("end of signal\n"), joined.out.rfind("end of signal\n"));
}

TEST_F(ReplayToolTest, StandardInputWithAMode2HeaderIsReplayed) {
    std::string path = writeCapture(
        "header.mode2", "Using driver default on device /dev/lirc0\nTrying device: /dev/lirc0\n" +
                            irkit::writeMode2(irkit::necFrame(0x04, 0x16)));
    ToolRun run = runTool("- < " + path);
    ASSERT_EQ(0, run.exitCode) << run.out;
    EXPECT_EQ(std::vector<std::string>({"2", "release"}), meanings(run.out)) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("Capture 1 from 0.000 s: standard input"));
    EXPECT_NE(std::string::npos, run.out.find("skipped 2 lines that hold no period")) << run.out;
}

TEST_F(ReplayToolTest, BadInputIsRefusedWithItsReason) {
    struct Case {
        std::string arguments;
        int exitCode;
        const char* says;
    };
    const std::string bad = writeCapture("bad.mode2", "pulse 9000\nspace 4500\npulse 560x\n");
    const std::string binary = writeCapture("binary.mode2", "pulse 9000\n\x01\xfe\n");
    const Case cases[] = {
        {bad, 1, "bad.mode2: line 3: non-numeric value '560x'"},
        {binary, 1, "line 2: unknown word '\\x01\\xfe'"},
        {"- < " + bad, 1, "standard input: line 3"},
        {testing::TempDir(), 1, "a directory, not a capture file"},
        {testing::TempDir() + "/no-such-capture.mode2", 1, "no-such-capture.mode2: No such file"},
        {"--no-such-option", 2, "unknown option --no-such-option"},
        {"--gap x " + bad, 2, "--gap takes"},
    };
    for (const Case& c : cases) {
        ToolRun run = runTool(c.arguments);
        EXPECT_EQ(c.exitCode, run.exitCode) << c.arguments << "\n" << run.out;
        EXPECT_NE(std::string::npos, run.out.find(c.says)) << c.arguments << "\n" << run.out;
        EXPECT_EQ(std::string::npos, run.out.find("Summary")) << "no summary after an error";
    }
}

namespace {

// Every verdict the table gives, one button each, through a fresh driver per button.
TEST(ReplayRemoteTest, EachButtonGetsItsVerdictAndTheSummaryCountsThem) {
    const irkit::Timings late = irkit::distort(irkit::necFrame(0x04, 0x0D), {1.04, 0, 1});
    std::string data;
    for (const irkit::IrTiming& t : late)
        data += " " + std::to_string(t.microseconds);
    const std::string remote = writeCapture(
        "remote.ir",
        "Filetype: IR signals file\r\nVersion: 1\r\n#\r\nname: Enter\r\ntype: parsed\r\n"
        "protocol: NEC\r\naddress: 04 00 00 00\r\ncommand: 06 00 00 00\r\n#\r\nname: Mute\r\n"
        "type: parsed\r\nprotocol: NEC\r\naddress: 04 00 00 00\r\ncommand: 33 00 00 00\r\n"
        "name: Late\r\ntype: raw\r\nfrequency: 38000\r\nduty_cycle: 0.33\r\ndata:" +
            data +
            "\r\nname: Held\r\ntype: raw\r\nfrequency: 38000\r\nduty_cycle: 0.33\r\n"
            "data: 9000 2250 560\r\nname: Power\r\ntype: parsed\r\nprotocol: Samsung32\r\n"
            "address: 07 00 00 00\r\ncommand: 02 00 00 00\r\nname: Back\r\ntype: parsed\r\n"
            "protocol: RC5\r\naddress: 00 00 00 00\r\ncommand: 07 00 00 00\r\n");
    const std::string page = tempPath("remote.html");
    ToolRun run = runTool("--remote " + remote + " --html " + page);
    ASSERT_EQ(run.exitCode, 0) << run.out;
    for (const char* line :
         {"\nEnter   key Enter: 01 00 00 28 00 00 00 00 00 (command 0x06)\n",
          "\nMute    no key: command 0x33 is not in the key map\n",
          "\nLate    no key: leader pulse 9.35 ms is 0.10 ms above the window 8.75-9.25 ms\n",
          "\nHeld    repeat code only\n",
          "\nPower   another protocol: Samsung32, as the file says\n",
          "\nBack    another protocol: RC5, as the file says\n",
          "\n1 of 6 buttons give a key; 1 decode to a command without a key; 1 miss a timing "
          "window (by at most 0.10 ms)\n"})
        EXPECT_NE(run.out.find(line), std::string::npos) << line << "in:\n" << run.out;
    std::ifstream in(page);
    const std::string html((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t rows = 0, svgs = 0;
    for (size_t at = 0; (at = html.find("<tr class=\"button", at)) != std::string::npos; ++at)
        ++rows;
    for (size_t at = 0;
         (at = html.find("<details><summary>waveform</summary><svg", at)) != std::string::npos;
         ++at)
        ++svgs;
    EXPECT_EQ(rows, 6u);
    EXPECT_EQ(svgs, 5u) << "every button with a signal has its drawing; Samsung32 has none";
    EXPECT_EQ(html.find("<script"), std::string::npos);
    EXPECT_EQ(html.find("http"), html.find("http://www.w3.org/2000/svg")) << "nothing fetched";

    // The RC5 decoder takes the RC5 button; the field bit is bit 6 of its command.
    run = runTool("--protocol rc5 --remote " + remote);
    EXPECT_NE(run.out.find("\nBack    key Left Arrow: 01 00 00 50 00 00 00 00 00 (command 0x47)\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\nEnter   another protocol: NEC, as the file says\n"),
              std::string::npos)
        << run.out;
}

TEST(ReplayRemoteTest, AFileThatCannotBeReadPlaysNothingAndSaysWhere) {
    const std::string pronto = writeCapture(
        "bad.pronto", "A: 0000 006D 0001 0000 0156 00AB\nB: 0000 0000 0001 0000 0156 00AB\n");
    const std::string odd = writeCapture("odd.txt", "what is this\n");
    const struct {
        std::string arguments;
        int exitCode;
        std::string message;
    } cases[] = {
        {"--remote " + pronto, 1,
         "bad.pronto (read as pronto): line 2: carrier word 0000 (word 2): a learned code needs "
         "its carrier's period to time its bursts\n"},
        {"--remote " + odd, 1, "odd.txt: line 1: 'what is this' is none of the formats"},
        {"--format lircd --remote " + pronto, 1,
         "(read as lircd): line 1: expected 'begin remote', found 'A: 0000"},
        {"--format morse --remote " + pronto, 2, "unknown format 'morse'"},
        {"--html x.html " + pronto, 2, "--format and --html go with --remote"},
    };
    for (const auto& c : cases) {
        ToolRun run = runTool(c.arguments);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.arguments << ":\n" << run.out;
        EXPECT_NE(run.out.find(c.message), std::string::npos) << c.arguments << ":\n" << run.out;
        EXPECT_EQ(run.out.find("buttons, each pressed"), std::string::npos) << run.out;
    }
}

} // namespace
