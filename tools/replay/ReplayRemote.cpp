#include "tools/replay/ReplayRemote.h"

#include "decode/KeyMap.h"
#include "tools/replay/ReplayExplain.h"
#include "tools/replay/ReplayFrames.h"
#include "tools/replay/ReplayHtml.h"
#include "tools/replay/ReplayStream.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sys/stat.h>

namespace replay {

namespace {

constexpr size_t kMostNameColumn = 28;
constexpr size_t kMostNotes = 20; // distinct notes listed under the table

std::string hexByte(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

bool givesKey(const std::vector<uint8_t>& report) {
    const std::string meaning = reportMeaning(report);
    return meaning != "release" && meaning != "empty read" &&
           meaning.find("no key") == std::string::npos &&
           meaning.find("unexpected") == std::string::npos;
}

bool inKeyMap(uint32_t command) {
    const KeyMap& map = KeyMaps[KEY_MAP_DEFAULT];
    for (ULONG i = 0; i < (map.count & 0xFF); ++i) {
        if ((map.p_entries[i].ir_command & 0xFF) == (command & 0xFF)) {
            return true;
        }
    }
    return false;
}

bool near(uint32_t us, uint32_t lowUs, uint32_t highUs) {
    return us >= lowUs && us <= highUs;
}

// Name as the table shows it: no control characters.
std::string shownName(const std::string& name) {
    std::string text;
    for (unsigned char c : name) {
        text += c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c);
    }
    return text;
}

bool isRc5Name(const std::string& protocol) {
    return protocol.rfind("RC5", 0) == 0 && protocol.rfind("RC5X (Pronto", 0) != 0;
}

} // namespace

std::string protocolByTiming(const irkit::Timings& timings) {
    if (timings.size() < 2) {
        return "unknown (a single pulse)";
    }
    const uint32_t p = timings[0].microseconds, s = timings[1].microseconds;
    if (near(p, 7500, 10500) && near(s, 3500, 5500)) {
        return "NEC (9 ms leader)";
    }
    if (near(p, 7500, 10500) && near(s, 1800, 2700)) {
        return "NEC repeat code";
    }
    if (near(p, 3000, 5500) && near(s, 3000, 5500)) {
        return "Samsung32 (4.5 ms leader)";
    }
    if (near(p, 2300, 3000) && near(s, 750, 1100)) {
        return "RC6 (2.67 ms leader)";
    }
    if (near(p, 2000, 2800) && near(s, 400, 750)) {
        return "SIRC (2.4 ms leader)";
    }
    if (near(p, 3000, 3800) && near(s, 1400, 2000)) {
        return "Kaseikyo (3.5 ms leader)";
    }
    // RC5 is made of 889 us halves: every period inside a frame one or two of them.
    bool manchester = true;
    for (size_t i = 0; i + 1 < timings.size() && i < 40 && manchester; ++i) {
        const uint32_t us = timings[i].microseconds;
        manchester =
            near(us, 620, 1160) || near(us, 1240, 2310) || (!timings[i].pulse && us > 20000);
    }
    if (manchester) {
        return "RC5 (889 us half bits)";
    }
    char text[96];
    std::snprintf(text, sizeof text, "unknown (first pulse %.2f ms, then space %.2f ms)", p / 1e3,
                  s / 1e3);
    return text;
}

ButtonVerdict judgeButton(const irkit::RemoteButton& button, const RunRecord* record, bool rc5) {
    ButtonVerdict v;
    if (record == nullptr || button.timings.empty()) {
        v.text = "another protocol: " + button.protocol + ", as the file says";
        return v;
    }
    std::vector<std::vector<uint8_t>> seen;
    for (const PrintedReport& report : record->reports) {
        if (!givesKey(report.bytes) ||
            std::find(seen.begin(), seen.end(), report.bytes) != seen.end()) {
            continue;
        }
        seen.push_back(report.bytes);
        v.kind = VerdictKind::Key;
        v.text += (v.text.empty() ? "key " : ", then key ") + reportMeaning(report.bytes) + ": " +
                  hexBytes(report.bytes) +
                  (report.command >= 0 ? " (command " + hexByte(report.command) + ")" : "");
    }
    if (v.kind == VerdictKind::Key) {
        return v;
    }
    if (!record->decoded.empty()) {
        const uint32_t command = record->decoded.front();
        v.kind = VerdictKind::Command;
        v.text = "no key: command " + hexByte(command) +
                 (inKeyMap(command) ? " maps to no key in the key map (an empty report)"
                                    : " is not in the key map");
        return v;
    }
    const std::string named = button.protocol + ", as the file says";
    if (rc5) {
        if (!button.protocol.empty() && !isRc5Name(button.protocol)) {
            v.text = "another protocol: " + named;
        } else {
            const std::string read = protocolByTiming(button.timings);
            v.text = read.rfind("RC5", 0) == 0
                         ? "no key: no RC5 frame decoded, though the timing reads as RC5"
                         : "another protocol: " + read + ", as its timing reads";
        }
        return v;
    }
    // The rejected frame nearest to fitting says what to fix.
    const FrameVerdict* nearest = nullptr;
    const FrameVerdict* refused = nullptr;
    bool repeats = false, fits = false;
    for (const FrameVerdict& frame : record->verdicts) {
        repeats = repeats || frame.repeatCode;
        fits = fits || frame.fits;
        if (frame.fits || frame.repeatCode) {
            continue;
        }
        if (frame.missed.window == nullptr) {
            refused = refused != nullptr ? refused : &frame;
        } else if (nearest == nullptr || frame.missed.marginUs > nearest->missed.marginUs) {
            nearest = &frame;
        }
    }
    if (nearest != nullptr) {
        v.kind = VerdictKind::Window;
        v.missUs = static_cast<uint32_t>(-nearest->missed.marginUs);
        v.text = "no key: " + missText(nearest->missed);
    } else if (refused != nullptr) {
        v.text = "no key: NEC frame refused: " + refused->reason;
    } else if (fits) {
        v.text = "no key: an NEC frame fit every window but was not decoded";
    } else if (repeats) {
        v.text = "repeat code only";
    } else if (!button.protocol.empty() && button.protocol.rfind("NEC", 0) != 0) {
        v.text = "another protocol: " + named;
    } else {
        v.text = "another protocol: " + protocolByTiming(button.timings) + ", as its timing reads";
    }
    return v;
}

namespace {

// Opens the file, or says why not.
bool openRemote(const char* path, std::ifstream& file, std::string* error) {
    struct stat info {};
    if (stat(path, &info) != 0) {
        *error = std::string(path) + ": " + std::strerror(errno);
        return false;
    }
    if (S_ISDIR(info.st_mode)) {
        *error = std::string(path) + ": a directory, not a remote file";
        return false;
    }
    file.open(path, std::ios::binary);
    if (!file) {
        *error = std::string(path) + ": cannot be read (" + std::strerror(errno) + ")";
        return false;
    }
    return true;
}

int failed(const std::string& what) {
    std::fflush(stdout);
    std::fprintf(stderr, "ravo_replay: %s\n", what.c_str());
    return 1;
}

} // namespace

int runRemote(const Options& options) {
    const char* path = options.remotePath;
    std::string error;
    std::ifstream file;
    if (!openRemote(path, file, &error)) {
        return failed(error);
    }
    irkit::RemoteFormat format;
    if (options.format != nullptr) {
        const auto named = irkit::formatByName(options.format);
        if (!named) {
            std::fprintf(stderr,
                         "ravo_replay: unknown format '%s' (flipper, pronto, broadlink, "
                         "lircd or mode2)\n",
                         options.format);
            return 2;
        }
        format = *named;
    } else {
        std::string head(irkit::kDetectBytes, '\0');
        file.read(head.data(), static_cast<std::streamsize>(head.size()));
        head.resize(static_cast<size_t>(file.gcount()));
        const auto detected = irkit::detectFormat(head, &error);
        if (!detected) {
            return failed(std::string(path) + ": " + error);
        }
        format = *detected;
    }
    // The whole file is read once before any button is played: a file that turns out
    // malformed halfway plays nothing.
    size_t buttons = 0, nameWidth = 6;
    {
        file.clear();
        file.seekg(0);
        auto reader = irkit::makeButtonReader(format, file);
        irkit::RemoteButton button;
        while (reader->next(button)) {
            ++buttons;
            nameWidth = std::max(nameWidth, std::min(kMostNameColumn, button.name.size()));
        }
        if (!reader->ok()) {
            return failed(std::string(path) + " (read as " + irkit::formatName(format) +
                          "): " + reader->error());
        }
    }
    if (buttons == 0) {
        return failed(std::string(path) + " (read as " + irkit::formatName(format) +
                      "): no button in the file");
    }
    RemotePage page;
    if (options.htmlPath != nullptr &&
        (!std::ofstream(options.htmlPath, std::ios::app) || !page.open(&error))) {
        return failed(error.empty() ? std::string("cannot write the page to ") + options.htmlPath
                                    : error);
    }
    const bool rc5 = options.protocol == Protocol::Rc5;
    const std::string heading = std::string(path) + " (" + irkit::formatName(format) +
                                "): " + std::to_string(buttons) +
                                " buttons, each pressed once through a fresh driver with its " +
                                (rc5 ? "RC5" : "NEC") + " decoder";
    std::printf("%s\n\n%-*s  %s\n", heading.c_str(), static_cast<int>(nameWidth), "button",
                "what the host gets");

    file.clear();
    file.seekg(0);
    auto reader = irkit::makeButtonReader(format, file);
    irkit::RemoteButton button;
    size_t keys = 0, commands = 0, windows = 0;
    uint32_t worstMissUs = 0;
    std::set<std::string> notes;
    while (reader->next(button)) {
        RunRecord record;
        record.drawSvg = options.htmlPath != nullptr;
        if (!button.timings.empty()) {
            PeriodSource source(shownName(button.name), button.timings);
            ReplayOutcome outcome;
            if (!runThroughDriver(options, source, &outcome, &error, &record)) {
                return failed(shownName(button.name) + ": " + error);
            }
        }
        const ButtonVerdict verdict =
            judgeButton(button, button.timings.empty() ? nullptr : &record, rc5);
        keys += verdict.kind == VerdictKind::Key;
        commands += verdict.kind == VerdictKind::Command;
        if (verdict.kind == VerdictKind::Window) {
            ++windows;
            worstMissUs = std::max(worstMissUs, verdict.missUs);
        }
        std::printf("%-*s  %s\n", static_cast<int>(nameWidth), shownName(button.name).c_str(),
                    verdict.text.c_str());
        std::string noteText;
        for (const std::string& note : button.notes) {
            noteText += (noteText.empty() ? "" : "; ") + note;
            if (notes.size() < kMostNotes) {
                notes.insert(note);
            }
        }
        if (options.htmlPath != nullptr) {
            static const char* const kKinds[] = {"key", "command", "window", "other"};
            page.row(button.name, kKinds[static_cast<int>(verdict.kind)], verdict.text, noteText,
                     record.svg);
        }
    }
    if (!reader->ok()) {
        return failed(std::string(path) + " changed while it was read: " + reader->error());
    }
    char summary[256];
    std::snprintf(summary, sizeof summary,
                  "%zu of %zu buttons give a key; %zu decode to a command without a key; %zu miss "
                  "a timing window",
                  keys, buttons, commands, windows);
    std::string summaryText = summary;
    if (windows != 0) {
        summaryText += " (by at most " + milliseconds(worstMissUs) + ")";
    }
    std::printf("\n%s\n", summaryText.c_str());
    if (!notes.empty()) {
        std::printf("\nAs the reader took the file:\n");
        for (const std::string& note : notes) {
            std::printf("  %s\n", note.c_str());
        }
    }
    if (options.htmlPath != nullptr) {
        if (!page.finish(options.htmlPath, heading, summaryText, &error)) {
            return failed(error);
        }
        std::printf("\nPage written to %s\n", options.htmlPath);
    }
    return 0;
}

} // namespace replay
