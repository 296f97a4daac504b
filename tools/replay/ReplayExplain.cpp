#include "tools/replay/ReplayExplain.h"

#include "hid/HidDescriptors.h"
#include "irkit/Packetizer.h"

#include <cstdio>
#include <map>

namespace replay {

namespace {

// ---------------------------------------------------------------------------------------
// What a report means to a host.

const char* keyboardUsageName(uint8_t usage) {
    static const char* const names[] = {
        // 0x1E..0x38
        "1", "2", "3", "4", "5", "6", "7", "8", "9", "0", "Enter", "Escape", "Backspace", "Tab",
        "Space", "-", "=", "[", "]", "\\", "#", ";", "'", "`", ",", ".", "/",
        // 0x39..0x52
        "Caps Lock", "F1", "F2", "F3", "F4", "F5", "F6", "F7", "F8", "F9", "F10", "F11", "F12",
        "Print Screen", "Scroll Lock", "Pause", "Insert", "Home", "Page Up", "Delete", "End",
        "Page Down", "Right Arrow", "Left Arrow", "Down Arrow", "Up Arrow"};
    static char letter[2];
    if (usage >= 0x04 && usage <= 0x1D) {
        letter[0] = static_cast<char>('A' + usage - 0x04);
        letter[1] = 0;
        return letter;
    }
    if (usage >= 0x1E && usage <= 0x52) {
        return names[usage - 0x1E];
    }
    if (usage == 0x65) {
        return "Application";
    }
    return nullptr;
}

// The character a shifted symbol key types, for the keys the key map combines with Shift.
const char* shiftedSymbol(uint8_t usage) {
    switch (usage) {
        case 0x2D:
            return "_";
        case 0x2E:
            return "+";
        default:
            return nullptr;
    }
}

} // namespace

std::string keyboardMeaning(const std::vector<uint8_t>& report) {
    static const char* const modifiers[] = {"Ctrl",       "Shift",       "Alt",       "GUI",
                                            "Right Ctrl", "Right Shift", "Right Alt", "Right GUI"};
    std::string text;
    uint8_t modifierBits = report[1];
    for (int bit = 0; bit < 8; bit++) {
        if (modifierBits & (1u << bit)) {
            text += std::string(modifiers[bit]) + "+";
        }
    }
    bool anyKey = false;
    for (size_t slot = 3; slot < report.size(); slot++) {
        uint8_t usage = report[slot];
        if (usage == 0) {
            continue;
        }
        if (anyKey) {
            text += " ";
        }
        anyKey = true;
        const char* name = keyboardUsageName(usage);
        char unknown[24];
        if (name == nullptr) {
            std::snprintf(unknown, sizeof unknown, "usage 0x%02X", usage);
            name = unknown;
        }
        text += name;
        const char* shifted = shiftedSymbol(usage);
        if (shifted != nullptr && (modifierBits & 0x22) != 0) {
            text += std::string(" (") + shifted + ")";
        }
    }
    if (!anyKey) {
        if (modifierBits == 0) {
            return "release";
        }
        text.pop_back(); // modifiers alone
    }
    return text;
}

namespace {

std::string bitsMeaning(const std::vector<uint8_t>& report, const char* const names[][8]) {
    std::string text;
    for (size_t byte = 1; byte < report.size(); byte++) {
        for (int bit = 0; bit < 8; bit++) {
            if (report[byte] & (1u << bit)) {
                const char* name = names[byte - 1][bit];
                text += text.empty() ? "" : " + ";
                text += name != nullptr ? name : "reserved bit";
            }
        }
    }
    return text;
}

} // namespace

std::string reportMeaning(const std::vector<uint8_t>& report) {
    if (report.empty()) {
        return "empty read";
    }
    switch (report[0]) {
        case HID_KEYBOARD_REPORT_ID:
            if (report.size() != HID_KEYBOARD_REPORT_LENGTH) {
                return "keyboard report of unexpected length";
            }
            return keyboardMeaning(report);
        case HID_CONSUMER_REPORT_ID: {
            static const char* const names[][8] = {
                {"Volume Up", "Volume Down", "Mute"},
                {"Channel Up", "Channel Down"},
                {"Play", "Stop", "Pause", "Record", "Fast Forward", "Rewind"}};
            if (report.size() != HID_CONSUMER_REPORT_LENGTH) {
                return "consumer-control report of unexpected length";
            }
            std::string bits = bitsMeaning(report, names);
            return bits.empty() ? "consumer control, no key (empty report)"
                                : "consumer control: " + bits;
        }
        case HID_SYSTEM_CONTROL_REPORT_ID:
            if (report.size() < 2) {
                return "system-control report of unexpected length";
            }
            if (report[1] == 0) {
                return "system control, no key";
            }
            return report[1] == HID_SYSTEM_POWER_DOWN_USAGE
                       ? "system control: Power Down"
                       : "system control: usage " + std::to_string(report[1]);
        case HID_VENDOR_REPORT_ID:
            return "vendor-defined report";
        default:
            return "unknown report ID " + std::to_string(report[0]);
    }
}

std::string hexBytes(const std::vector<uint8_t>& bytes) {
    std::string text;
    char byte[4];
    for (uint8_t value : bytes) {
        std::snprintf(byte, sizeof byte, "%02x ", value);
        text += byte;
    }
    if (!text.empty()) {
        text.pop_back();
    }
    return text;
}

std::string seconds(uint64_t microseconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%8.3f s", microseconds / 1e6);
    return text;
}

std::string milliseconds(uint64_t microseconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f ms", microseconds / 1e3);
    return text;
}

bool isKeyboardRelease(const std::vector<uint8_t>& report) {
    return report.size() == HID_KEYBOARD_REPORT_LENGTH && report[0] == HID_KEYBOARD_REPORT_ID &&
           keyboardMeaning(report) == "release";
}

void printReportHeader() {
    std::printf("%10s  %-11s %-28s %s\n", "time", "IR command", "HID report", "meaning");
}

void printReport(const PrintedReport& report) {
    char command[16] = "";
    if (report.command >= 0 && !report.bytes.empty() && !isKeyboardRelease(report.bytes)) {
        std::snprintf(command, sizeof command, "0x%02X", report.command);
    }
    std::printf("%s  %-11s %-28s %s\n", seconds(report.timeUs).c_str(), command,
                hexBytes(report.bytes).c_str(), reportMeaning(report.bytes).c_str());
}

namespace {

// ---------------------------------------------------------------------------------------
// Frames measured against the NEC decoder's windows, to explain what did not decode.

constexpr uint32_t kUnitUs = irkit::kRlcUnitUs;

struct Window {
    uint32_t low, high; // in 50 us units, both ends included
    bool holds(uint32_t units) const { return units >= low && units <= high; }
};
constexpr Window kLeaderPulse{175, 185};
constexpr Window kLeaderSpace{85, 95};
constexpr Window kBitPulse{6, 16};
constexpr Window kZeroSpace{6, 16};
constexpr Window kOneSpace{29, 39};
constexpr Window kRepeatSpace{40, 50}; // about 2.25 ms: an NEC repeat code

// Units as the receiver reports a period: rounded to the nearest 50 us, at least 1.
uint32_t units(uint32_t microseconds) {
    uint32_t rounded = (microseconds + kUnitUs / 2) / kUnitUs;
    return rounded == 0 ? 1 : rounded;
}

std::string windowText(const Window& window) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f-%.2f ms", window.low * kUnitUs / 1e3,
                  window.high * kUnitUs / 1e3);
    return text;
}

struct FrameVerdict {
    uint64_t startUs = 0; // leader pulse start
    uint64_t endUs = 0;   // end of the last period looked at
    bool fits = false;    // every window holds and the command checks
    bool repeatCode = false;
    int command = -1;   // when all 32 bits were read
    std::string reason; // why it does not fit
};

// Every period that could start an NEC frame (a pulse of 6 ms or more), judged as the
// decoder would judge it.
std::vector<FrameVerdict> diagnoseFrames(const irkit::Timings& raw) {
    irkit::Timings timings = irkit::normalized(raw);
    std::vector<uint64_t> starts(timings.size() + 1, 0);
    for (size_t i = 0; i < timings.size(); i++) {
        starts[i + 1] = starts[i] + timings[i].microseconds;
    }
    std::vector<FrameVerdict> verdicts;
    for (size_t i = 0; i < timings.size(); i++) {
        if (!timings[i].pulse || timings[i].microseconds < 6000) {
            continue;
        }
        FrameVerdict verdict;
        verdict.startUs = starts[i];
        verdict.endUs = starts[i + 1];
        const uint32_t leader = timings[i].microseconds;
        if (!kLeaderPulse.holds(units(leader))) {
            verdict.reason = "leader pulse " + milliseconds(leader) + " is outside the window " +
                             windowText(kLeaderPulse);
            verdicts.push_back(verdict);
            continue;
        }
        if (i + 1 >= timings.size()) {
            verdict.reason = "the capture ends after the leader pulse";
            verdicts.push_back(verdict);
            continue;
        }
        const uint32_t space = timings[i + 1].microseconds;
        verdict.endUs = starts[i + 2];
        if (kRepeatSpace.holds(units(space))) {
            verdict.repeatCode = true;
            verdict.reason =
                "a repeat code (leader space " + milliseconds(space) + "): it carries no command";
            verdicts.push_back(verdict);
            continue;
        }
        if (!kLeaderSpace.holds(units(space))) {
            verdict.reason = "leader space " + milliseconds(space) + " is outside the window " +
                             windowText(kLeaderSpace);
            verdicts.push_back(verdict);
            continue;
        }
        uint32_t bytes[4] = {};
        size_t at = i + 2;
        for (int bit = 0; bit < 32 && verdict.reason.empty(); bit++, at += 2) {
            char where[48];
            std::snprintf(where, sizeof where, "bit %d (byte %d)", bit % 8, bit / 8);
            if (at + 1 >= timings.size()) {
                verdict.reason = std::string("the capture ends at ") + where;
                break;
            }
            uint32_t pulseUs = timings[at].microseconds;
            uint32_t spaceUs = timings[at + 1].microseconds;
            verdict.endUs = starts[at + 2];
            if (!kBitPulse.holds(units(pulseUs))) {
                verdict.reason = std::string(where) + ": pulse " + milliseconds(pulseUs) +
                                 " is outside the window " + windowText(kBitPulse);
            } else if (kOneSpace.holds(units(spaceUs))) {
                bytes[bit / 8] |= 1u << (bit % 8);
            } else if (!kZeroSpace.holds(units(spaceUs))) {
                verdict.reason = std::string(where) + ": space " + milliseconds(spaceUs) +
                                 " fits neither " + windowText(kZeroSpace) + " (0) nor " +
                                 windowText(kOneSpace) + " (1)";
            }
        }
        if (verdict.reason.empty()) {
            verdict.command = static_cast<int>(bytes[2]);
            if (((~bytes[3]) & 0xFF) != bytes[2]) {
                char text[96];
                std::snprintf(text, sizeof text,
                              "command 0x%02X is not followed by its complement (0x%02X)", bytes[2],
                              bytes[3]);
                verdict.reason = text;
            } else {
                verdict.fits = true;
            }
        }
        verdicts.push_back(verdict);
    }
    return verdicts;
}

} // namespace

void printSummary(const ReplayOutcome& outcome, const irkit::Timings& capture) {
    const auto& reports = outcome.reports;
    const auto& decoded = outcome.decoded;
    size_t keys = 0;
    for (const auto& report : reports) {
        if (!isKeyboardRelease(report.bytes)) {
            keys++;
        }
    }
    std::map<uint32_t, size_t> byCommand;
    for (const auto& [time, command] : decoded) {
        byCommand[command]++;
    }
    std::printf("\nSummary: %zu USB packets, %zu NEC frame(s) decoded, %zu end-of-signal "
                "marker(s), %zu key report(s) each followed by a release.\n",
                outcome.packets, decoded.size(), outcome.markers, keys);
    if (!byCommand.empty()) {
        std::printf("  Commands decoded:");
        for (const auto& [command, count] : byCommand) {
            std::printf(" 0x%02X x%zu", command, count);
        }
        std::printf("\n");
        if (keys < decoded.size()) {
            std::printf("  Frames of a button held without an end of signal between them are "
                        "reported once,\n  or at every fourth frame for the arrow keys.\n");
        }
    }

    // What did not decode, and why.
    std::vector<FrameVerdict> verdicts = diagnoseFrames(capture);
    std::vector<const FrameVerdict*> missed;
    size_t repeatCodes = 0;
    std::vector<const FrameVerdict*> lost; // fit every window yet not decoded
    size_t next = 0;
    for (size_t v = 0; v < verdicts.size(); v++) {
        const FrameVerdict& verdict = verdicts[v];
        if (verdict.repeatCode) {
            repeatCodes++;
            continue;
        }
        if (!verdict.fits) {
            missed.push_back(&verdict);
            continue;
        }
        // The decoder reports a frame with the packet that holds its last bit, which is
        // sent before the last bit of the next whole frame is known.
        uint64_t until = UINT64_MAX;
        for (size_t w = v + 1; w < verdicts.size(); w++) {
            if (verdicts[w].command >= 0) {
                until = verdicts[w].endUs;
                break;
            }
        }
        while (next < decoded.size() && decoded[next].first < verdict.endUs) {
            next++;
        }
        if (next < decoded.size() && decoded[next].first < until &&
            static_cast<int>(decoded[next].second) == verdict.command) {
            next++;
        } else {
            lost.push_back(&verdict);
        }
    }

    if (decoded.empty()) {
        std::printf("\nNothing decoded: ");
        if (verdicts.empty()) {
            uint32_t longest = 0;
            for (const auto& timing : capture) {
                if (timing.pulse && timing.microseconds > longest) {
                    longest = timing.microseconds;
                }
            }
            std::printf("the capture holds no NEC leader (a pulse of about 9 ms, then a space "
                        "of about 4.5 ms);\n  its longest pulse is %s. It is probably not from "
                        "an NEC remote.\n",
                        milliseconds(longest).c_str());
        } else if (repeatCodes == verdicts.size()) {
            std::printf("the capture holds only NEC repeat codes (a held button), which carry\n"
                        "  no command; the frame that starts a press is not in it.\n");
        } else {
            std::printf("%zu possible NEC frame(s), none decoded (see below).\n",
                        verdicts.size() - repeatCodes);
        }
    }
    if (repeatCodes != 0) {
        std::printf("\n%zu NEC repeat code(s): a held button; they carry no command and add no "
                    "key.\n",
                    repeatCodes);
    }
    if (!missed.empty()) {
        std::printf("\n%zu frame(s) the NEC decoder rejects (windows: leader pulse %s, leader "
                    "space %s,\n  bit pulse %s, space %s for 0 and %s for 1; durations are "
                    "rounded to 50 us):\n",
                    missed.size(), windowText(kLeaderPulse).c_str(),
                    windowText(kLeaderSpace).c_str(), windowText(kBitPulse).c_str(),
                    windowText(kZeroSpace).c_str(), windowText(kOneSpace).c_str());
        const size_t shown = 10;
        for (size_t i = 0; i < missed.size() && i < shown; i++) {
            std::printf("%s  %s\n", seconds(missed[i]->startUs).c_str(), missed[i]->reason.c_str());
        }
        if (missed.size() > shown) {
            std::printf("  ... and %zu more\n", missed.size() - shown);
        }
    }
    if (!lost.empty()) {
        std::printf("\n%zu frame(s) fit every window but were not decoded:\n", lost.size());
        for (const FrameVerdict* verdict : lost) {
            std::printf("%s  command 0x%02X\n", seconds(verdict->startUs).c_str(),
                        verdict->command);
        }
    }
    if (decoded.empty() || !missed.empty() || !lost.empty()) {
        std::printf("\n");
    }
}

} // namespace replay
