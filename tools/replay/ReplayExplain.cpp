#include "tools/replay/ReplayExplain.h"

#include "hid/HidDescriptors.h"
#include "irkit/Packetizer.h"

#include <cstdio>
#include <cstring>
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

void printSummary(const ReplayOutcome& outcome) {
    const char* name = outcome.rc5 ? "RC5" : "NEC";
    std::printf("\nSummary: %zu USB packets, %zu %s frame(s) decoded, %zu end-of-signal "
                "marker(s), %zu key report(s) each followed by a release.\n",
                outcome.packets, outcome.decodedFrames, name, outcome.markers, outcome.keys);
    std::printf("  The receiver's clock ran to %s: the silence that ends the last signal is "
                "heard\n  for 100 ms after the captures.\n",
                seconds(outcome.endUs).c_str() + std::strspn(seconds(outcome.endUs).c_str(), " "));
    if (!outcome.byCommand.empty()) {
        std::printf("  Commands decoded:");
        for (const auto& [command, count] : outcome.byCommand) {
            std::printf(" 0x%02X x%zu", command, count);
        }
        std::printf("\n");
        if (outcome.keys < outcome.decodedFrames) {
            std::printf("  Frames of a button held without an end of signal between them are "
                        "reported once,\n  or at every fourth frame for the arrow keys.\n");
        }
    }
    if (outcome.rc5) {
        if (!outcome.byCommand.empty()) {
            std::printf("  The RC5 decoder puts the field bit as received in bit 6 of the command: "
                        "0x40 is set\n  for the commands 0-63 of a plain RC5 remote.\n");
        }
        if (outcome.decodedFrames == 0) {
            std::printf("\nNothing decoded: no RC5 frame (14 bits of two 889 us halves) was "
                        "found.\n");
        }
        std::printf("\n");
        return;
    }
    const size_t candidates = outcome.frames - outcome.repeatCodes;
    if (outcome.decodedFrames == 0) {
        std::printf("\nNothing decoded: ");
        if (outcome.frames == 0) {
            std::printf("the capture holds no NEC leader (a pulse of about 9 ms, then a space "
                        "of about 4.5 ms);\n  its longest pulse is %s. It is probably not from "
                        "an NEC remote (try --protocol rc5).\n",
                        milliseconds(outcome.longestPulseUs).c_str());
        } else if (candidates == 0) {
            std::printf("the capture holds only NEC repeat codes (a held button), which carry\n"
                        "  no command; the frame that starts a press is not in it.\n");
        } else {
            std::printf("%zu possible NEC frame(s), none decoded (see above).\n", candidates);
        }
    }
    if (outcome.repeatCodes != 0) {
        std::printf("\n%zu NEC repeat code(s): a held button; they carry no command and add no "
                    "key.\n",
                    outcome.repeatCodes);
    }
    if (outcome.rejected != 0) {
        std::printf("\n%zu frame(s) the NEC decoder rejects, each shown above with the window it "
                    "missed.\n",
                    outcome.rejected);
    }
    if (outcome.lost != 0) {
        std::printf("\n%zu frame(s) fit every window but were not decoded.\n", outcome.lost);
    }
    std::printf("\n");
}

} // namespace replay
