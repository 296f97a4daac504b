// What the replay tool says about what it saw: the meaning of each HID report, the NEC
// frames of the capture measured against the decoder's windows, and the summary.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace replay {

std::string keyboardMeaning(const std::vector<uint8_t>& report);
std::string reportMeaning(const std::vector<uint8_t>& report);
bool isKeyboardRelease(const std::vector<uint8_t>& report);
std::string hexBytes(const std::vector<uint8_t>& bytes);
std::string seconds(uint64_t microseconds);
std::string milliseconds(uint64_t microseconds);

// One report the class driver received.
struct PrintedReport {
    uint64_t timeUs; // emulated time of delivery, from the start of the capture
    int command;     // IR command decoded from the packet that produced it, -1 when none
    std::vector<uint8_t> bytes;
};

void printReportHeader();
void printReport(const PrintedReport& report);

// What a replay gave, for the summary: counts only, so that it stays the same size
// however long the captures are.
struct ReplayOutcome {
    bool rc5 = false;
    size_t packets = 0;
    uint64_t endUs = 0;       // the end of the replay: the silence that ends the last signal
    size_t markers = 0;       // end-of-signal markers
    size_t decodedFrames = 0; // frames the decoder completed
    size_t keys = 0;          // reports other than a release
    std::map<uint32_t, size_t> byCommand;
    // NEC frames measured against the windows.
    size_t frames = 0;
    size_t repeatCodes = 0;
    size_t rejected = 0;
    size_t lost = 0; // fit every window yet not decoded
    uint32_t longestPulseUs = 0;
};

// The summary line and what did not decode.
void printSummary(const ReplayOutcome& outcome);

} // namespace replay
