// The internal HID requests as the class driver sends them to a started device: what is
// copied, how much is reported, and that nothing is written outside the caller's buffer.
#include "StackFixture.h"
#include "hid/HidDescriptors.h"

#include <cstring>

using namespace stack;

namespace {

constexpr UCHAR kGuard = 0xA5;
constexpr ULONG kNoBuffer = ~0u; // the row passes a null buffer

struct Row {
    const char* name;
    ULONG code;
    ULONG length;
    NTSTATUS status;
    ULONG information;
    const void* expected; // the first `information` bytes
};

const HID_DEVICE_ATTRIBUTES kAttributes = {32, 0xBEEF, 0xFEED, 0x0101, {}};

// Each copy at its edges: exactly the size that fits, one byte short, one byte over.
const Row kRows[] = {
    {"DeviceDescriptorExact", IOCTL_HID_GET_DEVICE_DESCRIPTOR, 9, STATUS_SUCCESS, 9,
     &HidDescriptor},
    {"DeviceDescriptorOneShort", IOCTL_HID_GET_DEVICE_DESCRIPTOR, 8, STATUS_SUCCESS, 8,
     &HidDescriptor},
    {"DeviceDescriptorOneOver", IOCTL_HID_GET_DEVICE_DESCRIPTOR, 10, STATUS_SUCCESS, 9,
     &HidDescriptor},
    {"ReportDescriptorExact", IOCTL_HID_GET_REPORT_DESCRIPTOR, 192, STATUS_SUCCESS, 192,
     HidReportDescriptor},
    {"ReportDescriptorOneShort", IOCTL_HID_GET_REPORT_DESCRIPTOR, 191, STATUS_SUCCESS, 191,
     HidReportDescriptor},
    {"ReportDescriptorOneOver", IOCTL_HID_GET_REPORT_DESCRIPTOR, 193, STATUS_SUCCESS, 192,
     HidReportDescriptor},
    {"ReportDescriptorEmpty", IOCTL_HID_GET_REPORT_DESCRIPTOR, 0, STATUS_SUCCESS, 0, nullptr},
    {"AttributesExact", IOCTL_HID_GET_DEVICE_ATTRIBUTES, 32, STATUS_SUCCESS, 32, &kAttributes},
    {"AttributesOneOver", IOCTL_HID_GET_DEVICE_ATTRIBUTES, 33, STATUS_SUCCESS, 32, &kAttributes},
    // Shorter than the record: nothing may be written past the caller's bytes.
    {"AttributesOneShort", IOCTL_HID_GET_DEVICE_ATTRIBUTES, 31, STATUS_BUFFER_TOO_SMALL, 0,
     nullptr},
    {"AttributesNoBuffer", IOCTL_HID_GET_DEVICE_ATTRIBUTES, kNoBuffer, STATUS_INVALID_PARAMETER, 0,
     nullptr},
    {"DeviceDescriptorNoBuffer", IOCTL_HID_GET_DEVICE_DESCRIPTOR, kNoBuffer,
     STATUS_INVALID_PARAMETER, 0, nullptr},
    {"ReadReportEmpty", IOCTL_HID_READ_REPORT, 0, STATUS_INVALID_PARAMETER, 0, nullptr},
    {"GetString", IOCTL_HID_GET_STRING, 16, STATUS_NOT_SUPPORTED, 0, nullptr},
    {"BelowTheTable", 0xB0000, 16, STATUS_NOT_SUPPORTED, 0, nullptr},
    {"AboveTheTable", 0xB002B, 16, STATUS_NOT_SUPPORTED, 0, nullptr},
    {"Activate", IOCTL_HID_ACTIVATE_DEVICE, 0, STATUS_SUCCESS, 0, nullptr},
    {"Deactivate", IOCTL_HID_DEACTIVATE_DEVICE, 0, STATUS_SUCCESS, 0, nullptr},
};

emu::RequestOutcome hidRequest(PDEVICE_OBJECT fdo, ULONG code, void* buffer, ULONG length) {
    return emu::sendAndWait(
        fdo,
        [=](PIRP irp, PIO_STACK_LOCATION stack) {
            stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            stack->Parameters.DeviceIoControl.IoControlCode = code;
            stack->Parameters.DeviceIoControl.OutputBufferLength = length;
            irp->UserBuffer = buffer;
        },
        "HID request");
}

class HidDispatchTest : public StackTest, public ::testing::WithParamInterface<Row> {};

TEST_P(HidDispatchTest, AnswersWithinTheCallersBuffer) {
    const Row& row = GetParam();
    up();
    UCHAR buffer[300];
    memset(buffer, kGuard, sizeof buffer);
    bool none = row.length == kNoBuffer;
    emu::RequestOutcome io =
        hidRequest(hidclass->fdo(), row.code, none ? nullptr : buffer, none ? 32 : row.length);
    EXPECT_EQ(row.status, io.status);
    EXPECT_EQ(row.information, io.information);
    if (row.expected != nullptr) {
        EXPECT_EQ(0, memcmp(row.expected, buffer, row.information));
    }
    for (ULONG i = row.information; i < sizeof buffer; i++)
        ASSERT_EQ(kGuard, buffer[i]) << "byte " << i << " written past the answer";
}

INSTANTIATE_TEST_SUITE_P(Requests, HidDispatchTest, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
