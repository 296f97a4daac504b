// The real captures and their ground truth, read in place. The manifest is scanned entry by
// entry for the flat fields the tests need; nested objects carry none of these names.
#pragma once

#include <cctype>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace capturetest {

struct CaptureEntry {
    std::string file; // relative to the captures folder
    std::string category;
    std::string protocol;
    long address = -1;
    long addressInv = -1;
    long command = -1; // NEC command byte
    bool necStandard = false;
    long toggle = -1;
    long command6 = -1; // RC5 command bits
    long command7 = -1; // RC5X command, field bit folded in
    long fieldBit = -1; // RC5 second start bit
    long frames = -1;   // RC5 frames in the capture
    bool q50LeaderOk = false;
    long q50BitsOutOfWindow = -1;
    long leaderPulseUs = -1;
    long leaderSpaceUs = -1;
};

inline std::string capturesDir() {
    return RAVO_CAPTURES_DIR;
}

// The value of "key": in a chunk of the manifest, without quotes; empty when absent.
inline std::string field(const std::string& chunk, const std::string& key) {
    size_t at = chunk.find("\"" + key + "\":");
    if (at == std::string::npos) {
        return "";
    }
    at = chunk.find_first_not_of(" \n", at + key.size() + 3);
    if (at != std::string::npos && chunk[at] == '"') {
        return chunk.substr(at + 1, chunk.find('"', at + 1) - at - 1);
    }
    const size_t end = chunk.find_first_of(",}\n", at);
    return chunk.substr(at, end - at);
}

// A non-negative number, or -1 when the field is absent or not a number (null).
inline long numberField(const std::string& chunk, const std::string& key) {
    const std::string value = field(chunk, key);
    return value.empty() || !isdigit(static_cast<unsigned char>(value[0])) ? -1 : std::stol(value);
}

inline std::optional<std::vector<CaptureEntry>> loadManifest() {
    std::ifstream in(capturesDir() + "/manifest.json");
    if (!in) {
        return std::nullopt;
    }
    std::stringstream buffer;
    buffer << in.rdbuf();
    const std::string text = buffer.str();
    std::vector<CaptureEntry> entries;
    const std::string marker = "\"file\":";
    size_t at = text.find(marker);
    while (at != std::string::npos) {
        const size_t next = text.find(marker, at + 1);
        const std::string chunk = text.substr(at, next == std::string::npos ? next : next - at);
        CaptureEntry entry;
        entry.file = field(chunk, "file");
        entry.category = field(chunk, "category");
        entry.protocol = field(chunk, "protocol");
        entry.address = numberField(chunk, "address");
        entry.addressInv = numberField(chunk, "address_inv");
        entry.command = numberField(chunk, "command");
        entry.toggle = numberField(chunk, "toggle");
        entry.command6 = numberField(chunk, "command6");
        entry.command7 = numberField(chunk, "command7_rc5x");
        entry.fieldBit = numberField(chunk, "field_bit");
        entry.frames = numberField(chunk, "frames_decoded");
        entry.q50LeaderOk = field(chunk, "q50_leader_ok") == "true";
        entry.q50BitsOutOfWindow = numberField(chunk, "q50_bits_out_of_window");
        entry.leaderPulseUs = numberField(chunk, "leader_pulse_us");
        entry.leaderSpaceUs = numberField(chunk, "leader_space_us");
        entry.necStandard = field(chunk, "nec_standard") == "true";
        entries.push_back(entry);
        at = next;
    }
    return entries;
}

} // namespace capturetest
