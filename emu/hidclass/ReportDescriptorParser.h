// A HID report-descriptor item parser for the emulated HID class driver: it walks the
// short (and long) items, keeps the global, local and main state of the HID item model,
// and works out the top-level application collections and the length of every report,
// as a host's HID parser does before it sends its first read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace emu::hid {

// Bits of one report of each kind, for one report ID (0 when the descriptor uses none).
struct ReportLayout {
    uint8_t reportId = 0;
    uint64_t inputBits = 0;
    uint64_t outputBits = 0;
    uint64_t featureBits = 0;
    size_t collection = 0; // index into ParsedReportDescriptor::collections

    // Report lengths in bytes as they travel, the report ID byte included when there is
    // one; 0 when the descriptor declares no item of that kind for this ID.
    size_t inputLength() const { return lengthOf(inputBits); }
    size_t outputLength() const { return lengthOf(outputBits); }
    size_t featureLength() const { return lengthOf(featureBits); }

private:
    size_t lengthOf(uint64_t bits) const {
        if (bits == 0) {
            return 0;
        }
        return static_cast<size_t>((bits + 7) / 8) + (reportId != 0 ? 1 : 0);
    }
};

// A top-level collection: what a host exposes as one HID device of its own.
struct ApplicationCollection {
    uint16_t usagePage = 0;
    uint16_t usage = 0;
    size_t offset = 0;              // of its Collection item
    std::vector<uint8_t> reportIds; // in order of first appearance
    // Longest input report of the collection, report ID included: the buffer size a host
    // gives its reads for this collection.
    size_t maxInputLength = 0;
};

struct ParsedReportDescriptor {
    bool ok = false;
    // When !ok: what is wrong, and the offset of the item at fault.
    std::string error;
    size_t errorOffset = 0;
    // Oddities a strict host may frown upon but that do not stop parsing.
    std::vector<std::string> warnings;

    bool usesReportIds = false;
    std::vector<ApplicationCollection> collections;
    std::vector<ReportLayout> reports; // in order of first appearance

    const ReportLayout* report(uint8_t reportId) const;
    // Longest input report of the whole device, report ID included.
    size_t maxInputLength() const;
};

ParsedReportDescriptor parseReportDescriptor(const uint8_t* bytes, size_t size);

inline ParsedReportDescriptor parseReportDescriptor(const std::vector<uint8_t>& bytes) {
    return parseReportDescriptor(bytes.data(), bytes.size());
}

} // namespace emu::hid
