// Key translation into a read-report queue whose requests are kept pending as the HID class
// driver keeps them, against the key map rows written out independently of the driver.
#include "decode/IrCommand.h"
#include "decode/IrControl.h"
#include "decode/KeyMap.h"
#include "emu/hidclass/ReadReportClient.h"
#include "emu/hidclass/ReportDescriptorParser.h"
#include "emu/kernel/Kernel.h"
#include "frame/MinidriverExtension.h"
#include "hid/HidDescriptors.h"
#include "hid/ReadReportQueue.h"
#include "tests/hid/KeyMapRows.h"

#include <gtest/gtest.h>
#include <vector>

namespace {

using namespace keymap_rows;

class KeyTranslationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ReadReportQueue::initCancelLock(fdo.fdo());
        client.keepPending(2);
    }
    void TearDown() override {
        client.stopResending();
        queue.flushReads();
        EXPECT_EQ(0u, client.pending()) << "a flush completes every pending read";
        EXPECT_EQ(0u, client.refused()) << "no read may be refused";
    }
    // Feeds the command `arrivals` times without a release; answers at which arrivals
    // (1-based) a report went out, each followed by the release.
    std::vector<int> arrivalsReported(uint8_t command, int arrivals, const Bytes& report) {
        std::vector<int> reported;
        for (int i = 1; i <= arrivals; i++) {
            control.processKey(command);
            std::vector<Bytes> reports;
            for (auto& read : client.take())
                reports.push_back(read.bytes);
            if (reports.empty())
                continue;
            EXPECT_EQ((std::vector<Bytes>{report, kRelease}), reports) << "arrival " << i;
            reported.push_back(i);
        }
        control.processKey(IR_KEY_RELEASE);
        EXPECT_TRUE(client.take().empty()) << "a release sends nothing of its own";
        return reported;
    }

    ReadReportQueue queue;
    emu::hid::StandInFdo fdo{sizeof(MinidriverExtension), [this](PDEVICE_OBJECT, PIRP irp) {
                                 NTSTATUS status = queue.queueRead(irp);
                                 if (status != STATUS_PENDING) {
                                     irp->IoStatus.Status = status;
                                     IofCompleteRequest(irp, IO_NO_INCREMENT);
                                 }
                                 return status;
                             }};
    emu::hid::ReadReportClient client{fdo.fdo(), HID_KEYBOARD_REPORT_LENGTH};
    IR_Control control{&queue, KEY_MAP_DEFAULT};
};

TEST_F(KeyTranslationTest, EveryCommandSendsItsReportThenTheReleaseAndOnlyArrowsRepeat) {
    for (const Row& row : kRows) {
        bool arrow = row.command == 0x07 || row.command == 0x47 || row.command == 0x1A ||
                     row.command == 0x48;
        std::vector<int> expected = arrow ? std::vector<int>{1, 5, 9} : std::vector<int>{1};
        EXPECT_EQ(expected, arrivalsReported(row.command, 11, row.report)) << row.key << " held";
    }
    for (uint8_t unknown : {0x33, 0x00, 0xFE})
        EXPECT_EQ(std::vector<int>{1}, arrivalsReported(unknown, 3, kEmptyConsumer))
            << "command 0x" << std::hex << int(unknown) << " is not in the key map";
}

TEST_F(KeyTranslationTest, WithNoReadPendingReportsAreLostButTheKeyCountsAsReported) {
    client.stopResending();
    queue.flushReads();
    client.take();
    control.processKey(0x16);
    EXPECT_TRUE(client.take().empty()) << "nobody to receive the reports";
    client.keepPending(2);
    EXPECT_EQ(std::vector<int>{}, arrivalsReported(0x16, 1, keyboard(0, 0x1F)))
        << "a held key is not reported again when reads come back";
    EXPECT_EQ(std::vector<int>{1}, arrivalsReported(0x16, 1, keyboard(0, 0x1F)));
}

TEST(KeyCommandTest, KeyCodesNoRowCarriesBuildTheirOwnReports) {
    IR_Command command(KEY_MAP_DEFAULT);
    const std::pair<ULONG, Bytes> cases[] = {
        {0x020001, {2, 0x01, 0, 0}},
        {0x0200FF, {2, 0x07, 0, 0}}, // volume bits only
        {0x0400FF, {2, 0, 0x03, 0}},
        {0x0800FF, {2, 0, 0, 0x3F}}, // channel, transport
        {0x060001, {2, 0, 0, 0}},
        {0x010066, {4, 0x81}},                      // system power down
        {0x100200, {1, 0x02, 0, 0, 0, 0, 0, 0, 0}}, // a modifier alone
    };
    for (const auto& c : cases) {
        command._KEY_CODE = c.first;
        command.buildReport();
        EXPECT_EQ(c.second, Bytes(command.report(), command.report() + command.reportLength()))
            << "key code 0x" << std::hex << c.first;
    }
    IR_Command beyond(static_cast<UCHAR>(KeyMapCount));
    beyond.initialize(0x16);
    EXPECT_EQ(0u, beyond._KEY_CODE) << "no key map, no key code, and no read past the table";
}

// The lengths the driver sends with must be the ones a host computes from its descriptor.
TEST(HidDescriptorTest, HostsParseFourCollectionsWithTheDriversReportLengths) {
    auto parsed = emu::hid::parseReportDescriptor(
        Bytes(HidReportDescriptor, HidReportDescriptor + HID_REPORT_DESCRIPTOR_SIZE));
    ASSERT_TRUE(parsed.ok) << parsed.error;
    // A one-byte Logical Maximum of 0xFF reads as -1 to a parser that takes it signed.
    EXPECT_TRUE(parsed.warnings.empty()) << parsed.warnings[0];
    ASSERT_EQ(4u, parsed.collections.size());
    const std::pair<UCHAR, size_t> reports[] = {
        {HID_KEYBOARD_REPORT_ID, HID_KEYBOARD_REPORT_LENGTH},
        {HID_CONSUMER_REPORT_ID, HID_CONSUMER_REPORT_LENGTH},
        {HID_VENDOR_REPORT_ID, HID_VENDOR_REPORT_LENGTH},
        {HID_SYSTEM_CONTROL_REPORT_ID, HID_SYSTEM_CONTROL_REPORT_LENGTH}};
    for (const auto& r : reports) {
        ASSERT_NE(nullptr, parsed.report(r.first)) << "report ID " << int(r.first);
        EXPECT_EQ(r.second, parsed.report(r.first)->inputLength()) << "report " << int(r.first);
    }
    EXPECT_EQ(size_t(HID_KEYBOARD_REPORT_LENGTH), parsed.maxInputLength());
    const USHORT reportLength = HidDescriptor.DescriptorList[0].wReportLength;
    EXPECT_EQ(HID_REPORT_DESCRIPTOR_SIZE, reportLength) << "the class descriptor serves it whole";
}

} // namespace
