// What the replay tool says about what it saw: the meaning of each HID report, the NEC
// frames of the capture measured against the decoder's windows, and the summary.
#pragma once

#include "irkit/Encoders.h"

#include <cstdint>
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

// What a replay gave, for the summary and the explanations.
struct ReplayOutcome {
    size_t packets = 0;
    size_t markers = 0;                                 // end-of-signal markers
    std::vector<std::pair<uint64_t, uint32_t>> decoded; // packet time, NEC command
    std::vector<PrintedReport> reports;
};

// The summary line and what did not decode, and why.
void printSummary(const ReplayOutcome& outcome, const irkit::Timings& capture);

} // namespace replay
