// The descriptor bytes hosts see, read back through the emulated HID class driver's item
// parser: collections, report IDs and report lengths, and how the parser copes with
// descriptors that are cut, unbalanced or hostile.
#include "emu/hidclass/ReportDescriptorParser.h"
#include "hid/HidDescriptors.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <random>
#include <vector>

using emu::hid::ParsedReportDescriptor;
using emu::hid::parseReportDescriptor;

namespace {

std::vector<uint8_t> driverDescriptor() {
    return std::vector<uint8_t>(HidReportDescriptor,
                                HidReportDescriptor + HID_REPORT_DESCRIPTOR_SIZE);
}

// The bytes hosts receive, sixteen to a row: the modifier bits a Variable item, the key slots
// and the system-control usage counted from 1, its Logical Maximum 255 in two bytes.
const uint8_t kExpectedReportDescriptor[] = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x85, 0x01, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00,
    0x25, 0x01, 0x95, 0x08, 0x75, 0x01, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x15, 0x01,
    0x25, 0x65, 0x19, 0x01, 0x29, 0x65, 0x95, 0x06, 0x75, 0x08, 0x81, 0x00, 0xC0, 0x05, 0x01, 0x09,
    0x80, 0xA1, 0x01, 0x85, 0x04, 0x15, 0x01, 0x26, 0xFF, 0x00, 0x19, 0x01, 0x29, 0xFF, 0x95, 0x01,
    0x75, 0x08, 0x81, 0x00, 0xC0, 0x05, 0x0C, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x02, 0x15, 0x00, 0x25,
    0x01, 0x75, 0x01, 0x95, 0x01, 0x09, 0xE9, 0x81, 0x02, 0x09, 0xEA, 0x81, 0x02, 0x09, 0xE2, 0x81,
    0x02, 0x75, 0x01, 0x95, 0x05, 0x81, 0x01, 0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x01, 0x09,
    0x9C, 0x81, 0x02, 0x09, 0x9D, 0x81, 0x02, 0x75, 0x01, 0x95, 0x06, 0x81, 0x01, 0x15, 0x00, 0x25,
    0x01, 0x75, 0x01, 0x95, 0x01, 0x09, 0xB0, 0x81, 0x02, 0x09, 0xB7, 0x81, 0x02, 0x09, 0xB1, 0x81,
    0x02, 0x09, 0xB2, 0x81, 0x02, 0x09, 0xB3, 0x81, 0x02, 0x09, 0xB4, 0x81, 0x02, 0x75, 0x01, 0x95,
    0x02, 0x81, 0x01, 0xC0, 0x06, 0xBC, 0xFF, 0x09, 0x88, 0xA1, 0x01, 0x85, 0x03, 0x09, 0x4B, 0x15,
    0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x01, 0x81, 0x02, 0x75, 0x01, 0x95, 0x07, 0x81, 0x01, 0xC0,
};

// A minimal well-formed descriptor for the malformed cases to start from: one application
// collection with one 8-bit input of report ID 1.
std::vector<uint8_t> smallDescriptor() {
    return {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x85, 0x01,
            0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0xC0};
}

void expectFailure(const std::vector<uint8_t>& bytes, size_t offset, const char* fragment) {
    ParsedReportDescriptor parsed = parseReportDescriptor(bytes);
    EXPECT_FALSE(parsed.ok) << "expected a parse error containing '" << fragment << "'";
    EXPECT_EQ(offset, parsed.errorOffset) << parsed.error;
    EXPECT_NE(std::string::npos, parsed.error.find(fragment))
        << "error text should contain '" << fragment << "', got: " << parsed.error;
}

} // namespace

TEST(HidDescriptorTest, ClassDescriptorBytesAndAttributes) {
    const uint8_t expected[] = {0x09, 0x21, 0x10, 0x01, 0x00, 0x01, 0x22, 0xC0, 0x00};
    ASSERT_EQ(sizeof(expected), sizeof(HidDescriptor));
    EXPECT_EQ(0, std::memcmp(expected, &HidDescriptor, sizeof(expected)))
        << "HID descriptor must read 09 21 10 01 00 01 22 C0 00";
    EXPECT_EQ(HidDescriptor.bLength, sizeof(HidDescriptor)) << "bLength is the copy length";
    // Read by value: the packed field is unaligned, and gtest would bind a reference to it.
    const USHORT reportLength = HidDescriptor.DescriptorList[0].wReportLength;
    EXPECT_EQ(HID_REPORT_DESCRIPTOR_SIZE, reportLength)
        << "the length field must serve the whole report descriptor, no more";
    EXPECT_EQ(0xBEEF, HID_DEVICE_VENDOR_ID);
    EXPECT_EQ(0xFEED, HID_DEVICE_PRODUCT_ID);
    EXPECT_EQ(0x0101, HID_DEVICE_VERSION_NUMBER);
}

TEST(HidDescriptorTest, ReportDescriptorBytesAreUnchanged) {
    ASSERT_EQ(sizeof(kExpectedReportDescriptor), size_t(HID_REPORT_DESCRIPTOR_SIZE));
    for (size_t i = 0; i < sizeof(kExpectedReportDescriptor); i++) {
        EXPECT_EQ(kExpectedReportDescriptor[i], HidReportDescriptor[i])
            << "report descriptor byte at offset " << i;
    }
}

TEST(HidDescriptorTest, ParsesIntoFourApplicationCollectionsWithTheirReportLengths) {
    ParsedReportDescriptor parsed = parseReportDescriptor(driverDescriptor());
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_TRUE(parsed.usesReportIds);

    struct Expected {
        uint16_t page, usage;
        uint8_t id;
        size_t inputLength;
    } expected[] = {
        {0x01, 0x06, HID_KEYBOARD_REPORT_ID, 9},       // keyboard
        {0x01, 0x80, HID_SYSTEM_CONTROL_REPORT_ID, 2}, // system control
        {0x0C, 0x01, HID_CONSUMER_REPORT_ID, 4},       // consumer control
        {0xFFBC, 0x88, HID_VENDOR_REPORT_ID, 2},       // vendor-defined
    };
    ASSERT_EQ(4u, parsed.collections.size());
    ASSERT_EQ(4u, parsed.reports.size());
    for (size_t i = 0; i < 4; i++) {
        const auto& collection = parsed.collections[i];
        EXPECT_EQ(expected[i].page, collection.usagePage) << "collection " << i;
        EXPECT_EQ(expected[i].usage, collection.usage) << "collection " << i;
        ASSERT_EQ(1u, collection.reportIds.size()) << "collection " << i << " has one report";
        EXPECT_EQ(expected[i].id, collection.reportIds[0]) << "collection " << i;
        EXPECT_EQ(expected[i].inputLength, collection.maxInputLength) << "collection " << i;

        const auto* report = parsed.report(expected[i].id);
        ASSERT_NE(nullptr, report) << "report ID " << int(expected[i].id);
        EXPECT_EQ(expected[i].inputLength, report->inputLength())
            << "input report " << int(expected[i].id) << " including its ID byte";
        EXPECT_EQ(i, report->collection);
        EXPECT_EQ(0u, report->outputLength()) << "the device has no output reports";
        EXPECT_EQ(0u, report->featureLength()) << "the device has no feature reports";
    }
    EXPECT_EQ(size_t(HID_KEYBOARD_REPORT_LENGTH), parsed.maxInputLength());
    // The lengths the driver sends with must be the ones a host computes.
    EXPECT_EQ(size_t(HID_KEYBOARD_REPORT_LENGTH), parsed.report(1)->inputLength());
    EXPECT_EQ(size_t(HID_CONSUMER_REPORT_LENGTH), parsed.report(2)->inputLength());
    EXPECT_EQ(size_t(HID_VENDOR_REPORT_LENGTH), parsed.report(3)->inputLength());
    EXPECT_EQ(size_t(HID_SYSTEM_CONTROL_REPORT_LENGTH), parsed.report(4)->inputLength());
}

TEST(HidDescriptorTest, NoLogicalRangeReadsInverted) {
    ParsedReportDescriptor parsed = parseReportDescriptor(driverDescriptor());
    ASSERT_TRUE(parsed.ok) << parsed.error;
    // A one-byte Logical Maximum of 0xFF would read as -1 here: 255 takes two bytes.
    EXPECT_TRUE(parsed.warnings.empty()) << parsed.warnings[0];
}

TEST(ReportDescriptorParserTest, TruncatedItemsAreErrorsAtTheItem) {
    auto bytes = driverDescriptor();
    // Cut inside the three-byte vendor Usage Page at offset 164.
    bytes.resize(166);
    expectFailure(bytes, 164, "truncated: needs 2 data bytes, 1 remain");
    // Cut right after an item prefix that announces data.
    expectFailure(std::vector<uint8_t>{0x05}, 0, "truncated: needs 1 data bytes, 0 remain");
    // A four-byte item with two bytes left.
    expectFailure(std::vector<uint8_t>{0x07, 0x01, 0x02}, 0, "needs 4 data bytes, 2 remain");
    // A long item whose data runs past the end, and one without its size byte.
    expectFailure(std::vector<uint8_t>{0xFE, 0x05, 0x10, 0x00}, 0, "long item truncated");
    expectFailure(std::vector<uint8_t>{0xFE}, 0, "long item truncated");
}

TEST(ReportDescriptorParserTest, EveryCutOfTheDescriptorFailsOrEndsOutsideACollection) {
    // A cut is well-formed only behind an End Collection or behind the global and local
    // items that precede the next Collection; it then holds the collections closed so far.
    const std::map<size_t, size_t> wellFormedCuts = {
        {45, 1}, {47, 1}, {49, 1}, {69, 2}, {71, 2}, {73, 2}, {164, 3}, {167, 3}, {169, 3},
    };
    auto full = driverDescriptor();
    for (size_t length = 0; length < full.size(); length++) {
        std::vector<uint8_t> cut(full.begin(), full.begin() + length);
        ParsedReportDescriptor parsed = parseReportDescriptor(cut);
        auto clean = wellFormedCuts.find(length);
        if (clean != wellFormedCuts.end()) {
            ASSERT_TRUE(parsed.ok) << "cut at " << length << ": " << parsed.error;
            EXPECT_EQ(clean->second, parsed.collections.size()) << "cut at " << length;
        } else {
            EXPECT_FALSE(parsed.ok) << "cut at " << length << " must not parse as whole";
            EXPECT_FALSE(parsed.error.empty()) << "cut at " << length;
            EXPECT_LE(parsed.errorOffset, length) << "cut at " << length << ": " << parsed.error;
        }
    }
}

TEST(ReportDescriptorParserTest, UnbalancedCollectionsAreErrors) {
    auto bytes = driverDescriptor();
    bytes.pop_back(); // the vendor collection at offset 169 stays open
    expectFailure(bytes, 169, "1 collection(s) not closed");

    bytes = driverDescriptor();
    bytes.push_back(0xC0);
    expectFailure(bytes, 192, "End Collection without an open collection");

    // A physical collection opened inside the application collection, neither closed: the
    // innermost open one is named.
    auto nested = smallDescriptor();
    nested.pop_back();
    nested.insert(nested.end(), {0xA1, 0x00});
    expectFailure(nested, 14, "2 collection(s) not closed");
}

TEST(ReportDescriptorParserTest, StructuralFaultsAreNamed) {
    // An Input item before any collection.
    expectFailure({0x75, 0x08, 0x95, 0x01, 0x81, 0x02}, 4,
                  "main item outside any application collection");
    // A top-level collection that is not an application.
    expectFailure({0x09, 0x01, 0xA1, 0x00, 0xC0}, 2, "is not an application");
    // Report ID 0 is reserved.
    auto bytes = smallDescriptor();
    bytes[7] = 0x00;
    expectFailure(bytes, 6, "report ID 0 outside 1 to 255");
    // The same report ID in two application collections.
    bytes = smallDescriptor();
    auto twice = bytes;
    twice.insert(twice.end(), bytes.begin(), bytes.end());
    expectFailure(twice, 15 + 12, "report ID 1 is used by two application collections");
    // Fields without a report ID followed by fields with one.
    expectFailure(
        {0x09, 0x06, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0x85, 0x02, 0x81, 0x02, 0xC0},
        12, "after fields without a report ID");
    // Pop with nothing pushed; a reserved item type.
    expectFailure({0xB4}, 0, "Pop without Push");
    expectFailure({0x0C}, 0, "reserved type 3");
    // No collection at all.
    expectFailure({}, 0, "no application collection");
}

TEST(ReportDescriptorParserTest, HugeReportSizesAndCountsDoNotOverflow) {
    // Report Size 0xFFFFFFFF times Report Count 0xFFFFFFFF wraps 32-bit arithmetic.
    expectFailure({0x09, 0x06, 0xA1, 0x01, 0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF,
                   0xFF, 0x81, 0x02, 0xC0},
                  14, "grows beyond 65535 bytes");
    // Each item alone fits; their sum does not.
    std::vector<uint8_t> many = {0x09, 0x06, 0xA1, 0x01, 0x75, 0x08, 0x96, 0xFF, 0x7F};
    for (int i = 0; i < 3; i++) {
        many.insert(many.end(), {0x81, 0x02});
    }
    many.push_back(0xC0);
    expectFailure(many, 13, "grows beyond");
}

TEST(ReportDescriptorParserTest, PushPopAndLongItemsKeepTheLayoutRight) {
    // Push, widen the field, pop: the Input after Pop uses the pushed 8-bit size again.
    // A long item in between is skipped whole.
    std::vector<uint8_t> bytes = {0x09, 0x06, 0xA1, 0x01, 0x85, 0x05, 0x75, 0x08, 0x95, 0x02, 0xA4,
                                  0x75, 0x20, 0xFE, 0x02, 0x11, 0xA1, 0xC0, 0xB4, 0x81, 0x02, 0xC0};
    ParsedReportDescriptor parsed = parseReportDescriptor(bytes);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    ASSERT_NE(nullptr, parsed.report(5));
    EXPECT_EQ(3u, parsed.report(5)->inputLength()) << "two 8-bit fields and the ID byte";
}

TEST(ReportDescriptorParserTest, DescriptorsWithoutReportIdsHaveNoIdByte) {
    std::vector<uint8_t> bytes = {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x75, 0x01, 0x95,
                                  0x03, 0x81, 0x02, 0x75, 0x05, 0x95, 0x01, 0x81, 0x01,
                                  0x75, 0x08, 0x95, 0x02, 0x81, 0x06, 0x91, 0x02, 0xC0};
    ParsedReportDescriptor parsed = parseReportDescriptor(bytes);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_FALSE(parsed.usesReportIds);
    ASSERT_NE(nullptr, parsed.report(0));
    EXPECT_EQ(3u, parsed.report(0)->inputLength()) << "3 + 5 + 16 bits, no ID byte";
    EXPECT_EQ(2u, parsed.report(0)->outputLength()) << "one output of 2 x 8 bits";
}

TEST(ReportDescriptorParserTest, RandomMutationsNeverReadOutOfBounds) {
    // Run under the address sanitizer this catches any read past the buffer; in every
    // build a result is either well-formed or names an offset inside the input.
    std::mt19937 random(12345);
    auto full = driverDescriptor();
    for (int round = 0; round < 20000; round++) {
        std::vector<uint8_t> bytes = full;
        int edits = 1 + random() % 4;
        for (int e = 0; e < edits; e++) {
            bytes[random() % bytes.size()] = static_cast<uint8_t>(random());
        }
        bytes.resize(random() % (bytes.size() + 1));
        // An exact-size heap copy lets the sanitizer see a read one past the end.
        std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size() + (bytes.empty() ? 1 : 0)]);
        std::copy(bytes.begin(), bytes.end(), exact.get());
        ParsedReportDescriptor parsed = parseReportDescriptor(exact.get(), bytes.size());
        if (parsed.ok) {
            ASSERT_FALSE(parsed.collections.empty()) << "round " << round;
            for (const auto& report : parsed.reports) {
                ASSERT_LT(report.collection, parsed.collections.size()) << "round " << round;
            }
        } else {
            ASSERT_FALSE(parsed.error.empty()) << "round " << round;
            ASSERT_LE(parsed.errorOffset, bytes.size()) << "round " << round;
        }
    }
}
