// The replay tool as a person uses it: what it prints for the default capture (through the
// whole driver, with the times the class driver received the reports), for a capture whose
// frames miss the decoder's windows, for a capture of another protocol, and how it refuses
// a malformed file.
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

ToolRun runTool(const std::string& arguments) {
    ToolRun run;
    std::string command = toolPath() + " " + arguments + " 2>&1";
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

std::string writeCapture(const std::string& name, const std::string& text) {
    std::string path = testing::TempDir() + "/" + name;
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

TEST_F(ReplayToolTest, FramesOutsideTheWindowsAreExplained) {
    irkit::Timings frame = irkit::necFrame(0x04, 0x16);
    frame[0].microseconds = 8300; // a remote whose leader is too short for the decoder
    irkit::append(frame, irkit::space(150000));
    irkit::append(frame, irkit::necFrame(0x04, 0x16));
    // The second frame: leader pulse, then a leader space too long (67 periods a frame).
    frame[frame.size() - 66].microseconds = 5000;
    std::string path = writeCapture("short_leader.mode2", irkit::writeMode2(frame));
    ToolRun run = runTool(path);
    ASSERT_EQ(0, run.exitCode) << run.out;
    EXPECT_TRUE(meanings(run.out).empty()) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("Nothing decoded")) << run.out;
    EXPECT_NE(std::string::npos,
              run.out.find("leader pulse 8.30 ms is outside the window 8.75-9.25 ms"))
        << run.out;
    EXPECT_NE(std::string::npos,
              run.out.find("leader space 5.00 ms is outside the window 4.25-4.75 ms"))
        << run.out;
}

TEST_F(ReplayToolTest, OtherProtocolsAreNamedAsNotNec) {
    irkit::Timings rc5 = irkit::rc5Frame(5, 12, false);
    std::string path = writeCapture("rc5.mode2", irkit::writeMode2(rc5));
    ToolRun run = runTool(path);
    ASSERT_EQ(0, run.exitCode) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("holds no NEC leader")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("longest pulse is 1.78 ms")) << run.out;
}

TEST_F(ReplayToolTest, MalformedCaptureNamesTheLineAndFails) {
    std::string path = writeCapture("bad.mode2", "pulse 9000\nspace 4500\npulse 560x\n");
    ToolRun run = runTool(path);
    EXPECT_NE(0, run.exitCode) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("line 3")) << run.out;
    EXPECT_EQ(std::string::npos, run.out.find("Summary")) << "nothing is replayed";

    ToolRun missing = runTool(testing::TempDir() + "/no-such-capture.mode2");
    EXPECT_NE(0, missing.exitCode) << missing.out;
    EXPECT_NE(std::string::npos, missing.out.find("no-such-capture.mode2")) << missing.out;

    ToolRun usage = runTool("--no-such-option");
    EXPECT_EQ(2, usage.exitCode) << usage.out;
}
