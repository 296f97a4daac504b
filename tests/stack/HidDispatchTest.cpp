// Every internal HID request the class driver may pass on, for an application or on its own,
// with each buffer an application can give: none (with a length), empty, one byte short,
// exact, huge and at an odd address. The class driver checks every answer for writes outside
// it, Information past the buffer and requests left pending (UserRequests.h); the table says
// which status and which bytes come back. Keys arrive whole after.
#include "StackFixture.h"
#include "hid/HidDescriptors.h"
#include "platform/Diagnostics.h"

#include <algorithm>
#include <cstring>

using namespace stack;

namespace {

enum Shape { kNull, kEmpty, kShort, kExact, kHuge, kOdd, kShapes };
const char* const kShapeNames[kShapes] = {"null", "empty", "one short", "exact", "huge", "odd"};
constexpr ULONG kHugeLength = 1u << 20;

constexpr NTSTATUS S = STATUS_SUCCESS, IP = STATUS_INVALID_PARAMETER, TS = STATUS_BUFFER_TOO_SMALL,
                   NS = STATUS_NOT_SUPPORTED;

struct Row {
    const char* name;
    ULONG code;
    ULONG exact;          // the length the request asks for
    ULONG answer;         // the whole answer's length; 0: nothing is written
    const void* expected; // its bytes
    NTSTATUS status[kShapes];
};

const HID_DEVICE_ATTRIBUTES kAttributes = {32, 0xBEEF, 0xFEED, 0x0101, {}};

// clang-format off
const Row kRows[] = {
    {"DeviceDescriptor", IOCTL_HID_GET_DEVICE_DESCRIPTOR, 9, 9, &HidDescriptor, {IP, S, S, S, S, S}},
    {"ReportDescriptor", IOCTL_HID_GET_REPORT_DESCRIPTOR, 192, 192, HidReportDescriptor, {IP, S, S, S, S, S}},
    // Nothing is written unless the whole record fits.
    {"Attributes", IOCTL_HID_GET_DEVICE_ATTRIBUTES, 32, 32, &kAttributes, {IP, TS, TS, S, S, S}},
    {"Activate", IOCTL_HID_ACTIVATE_DEVICE, 1, 0, nullptr, {S, S, S, S, S, S}},
    {"Deactivate", IOCTL_HID_DEACTIVATE_DEVICE, 1, 0, nullptr, {S, S, S, S, S, S}},
    // Accepted without reading the packet, which may be missing.
    {"WriteReport", IOCTL_HID_WRITE_REPORT, 9, 0, nullptr, {S, S, S, S, S, S}},
    {"GetFeature", IOCTL_HID_GET_FEATURE, 9, 0, nullptr, {NS, NS, NS, NS, NS, NS}},
    {"SetFeature", IOCTL_HID_SET_FEATURE, 9, 0, nullptr, {NS, NS, NS, NS, NS, NS}},
    {"GetInputReport", IOCTL_HID_GET_INPUT_REPORT, 9, 0, nullptr, {NS, NS, NS, NS, NS, NS}},
    {"SetOutputReport", IOCTL_HID_SET_OUTPUT_REPORT, 9, 0, nullptr, {NS, NS, NS, NS, NS, NS}},
    // 126 characters and the terminating null: the longest USB string.
    {"GetString", IOCTL_HID_GET_STRING, 254, 0, nullptr, {NS, NS, NS, NS, NS, NS}},
    {"GetIndexedString", IOCTL_HID_GET_INDEXED_STRING, 254, 0, nullptr, {NS, NS, NS, NS, NS, NS}},
    {"GetPhysicalDescriptor", IOCTL_GET_PHYSICAL_DESCRIPTOR, 64, 0, nullptr, {NS, NS, NS, NS, NS, NS}},
    {"BelowTheTable", 0xB0000, 16, 0, nullptr, {NS, NS, NS, NS, NS, NS}},
    {"AboveTheTable", 0xB002B, 16, 0, nullptr, {NS, NS, NS, NS, NS, NS}},
};
// clang-format on

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

class HidRequestTest : public StackTest, public ::testing::WithParamInterface<Row> {};

TEST_P(HidRequestTest, EveryBufferIsAnsweredWithinItsBytesAndKeysFollow) {
    const Row& row = GetParam();
    up();
    for (int shape = 0; shape < kShapes; shape++) {
        SCOPED_TRACE(kShapeNames[shape]);
        emu::hid::UserBuffer buffer;
        buffer.null = shape == kNull;
        buffer.length = shape == kEmpty  ? 0
                        : shape == kHuge ? kHugeLength
                                         : row.exact - (shape == kShort ? 1 : 0);
        buffer.misalign = shape == kOdd ? 1 : 0;
        buffer.reportId = 1;
        buffer.argument =
            row.code == IOCTL_HID_GET_STRING ? emu::hid::kStringProduct | 0x0409 << 16 : 1;
        emu::hid::UserRequestOutcome got = hidclass->userRequest(row.code, buffer);
        EXPECT_EQ("", got.fault);
        EXPECT_EQ(row.status[shape], got.io.status);
        ULONG information =
            NT_SUCCESS(row.status[shape]) && !buffer.null ? std::min(buffer.length, row.answer) : 0;
        ASSERT_EQ(information, got.io.information);
        EXPECT_EQ(0, information == 0 ? 0 : memcmp(row.expected, got.answer.data(), information));
    }
    press(0x16);
    EXPECT_EQ((std::vector<Bytes>{{1, 0, 0, 0x1f, 0, 0, 0, 0, 0}, kRelease}), reports());
}

INSTANTIATE_TEST_SUITE_P(Requests, HidRequestTest, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

// Programs that list HID devices ask each for its strings, and any program may send the
// rest as often as it likes: none of that may print an error or, with BreakOnError, break
// into the debugger. A code no class driver sends still does both.
TEST_F(StackTest, WhatUserModeSendsIsNoErrorOfTheDriver) {
    up();
    BreakOnError = 1;
    const uint64_t mark = emu::debuglog::mark();
    const uint64_t breaks = emu::debuggerBreaks();
    for (const emu::hid::HidRequestKind& kind : emu::hid::hidRequestKinds()) {
        for (int i = 0; i < 20; i++)
            EXPECT_EQ("", hidclass->userRequest(kind.code, {}).fault);
    }
    const size_t errors = emu::debuglog::count("(error)", mark);
    const uint64_t userBreaks = emu::debuggerBreaks() - breaks;
    hidclass->userRequest(0xB002B, {});
    BreakOnError = 0;
    EXPECT_EQ(0u, errors) << "error messages for requests user mode makes";
    EXPECT_EQ(0u, userBreaks);
    EXPECT_EQ(1u, emu::debuglog::count("(error)", mark)) << "one for a code nobody sends";
    EXPECT_EQ(userBreaks + 1, emu::debuggerBreaks() - breaks);
}

} // namespace
