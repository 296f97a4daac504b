// Key translation against a real read-report queue whose requests are kept pending the
// way the HID class driver keeps them: the exact bytes each command produces, the release
// report after every key, repeat filtering of held buttons, and reports with nobody
// listening.
#include "decode/IrCommand.h"
#include "decode/IrControl.h"
#include "decode/KeyMap.h"
#include "emu/hidclass/ReadReportClient.h"
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
        ASSERT_EQ(2u, client.pending()) << "two reads pending before any key";
    }

    void TearDown() override {
        client.stopResending();
        queue.flushReads();
        EXPECT_EQ(0u, client.pending()) << "a flush completes every pending read";
        EXPECT_EQ(0u, client.refused()) << "no read may be refused";
    }

    // The reports delivered since the last call; failed reads are flagged.
    std::vector<Bytes> delivered() {
        std::vector<Bytes> reports;
        for (auto& read : client.take()) {
            EXPECT_EQ(STATUS_SUCCESS, read.status) << "read " << read.sequence;
            reports.push_back(read.bytes);
        }
        return reports;
    }

    // Feeds the same command `arrivals` times and answers at which arrivals (1-based) a
    // report pair went out, checking each pair.
    std::vector<int> arrivalsReported(uint8_t command, int arrivals, const Bytes& report) {
        std::vector<int> reported;
        for (int i = 1; i <= arrivals; i++) {
            control.processKey(command);
            auto reports = delivered();
            if (reports.empty()) {
                continue;
            }
            EXPECT_EQ((std::vector<Bytes>{report, kRelease}), reports) << "arrival " << i;
            reported.push_back(i);
        }
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

} // namespace

TEST_F(KeyTranslationTest, EveryKeyMapRowSendsItsReportThenTheRelease) {
    for (const Row& row : kRows) {
        control.processKey(row.command);
        EXPECT_EQ((std::vector<Bytes>{row.report, kRelease}), delivered())
            << "command 0x" << std::hex << int(row.command) << " (" << row.key << ")";
        control.processKey(IR_KEY_RELEASE);
        EXPECT_TRUE(delivered().empty()) << "a release sends nothing of its own";
    }
    EXPECT_EQ(2u * 25u, client.completedCount()) << "two reads completed per row";
}

TEST_F(KeyTranslationTest, CommandsOutsideTheKeyMapSendTheEmptyConsumerReport) {
    for (uint8_t command : {0x33, 0x00, 0x02, 0x4C, 0xFE}) {
        control.processKey(command);
        EXPECT_EQ((std::vector<Bytes>{kEmptyConsumer, kRelease}), delivered())
            << "command 0x" << std::hex << int(command);
        EXPECT_EQ(0u, control._command._KEY_CODE) << "no key code for an unknown command";
        EXPECT_EQ(4u, control._command.reportLength());
    }
    // Held, an unknown command is reported once, like any key that does not repeat.
    EXPECT_EQ(std::vector<int>{}, arrivalsReported(0xFE, 5, kEmptyConsumer));
}

TEST_F(KeyTranslationTest, HeldArrowKeysRepeatEveryFourthArrival) {
    for (uint8_t command : {0x07, 0x47, 0x1A, 0x48}) {
        const Row* row = rowFor(command);
        ASSERT_NE(nullptr, row);
        EXPECT_EQ((std::vector<int>{1, 5, 9, 13}), arrivalsReported(command, 14, row->report))
            << row->key << " held without a release";
        control.processKey(IR_KEY_RELEASE);
    }
}

TEST_F(KeyTranslationTest, HeldKeysThatDoNotRepeatAreReportedOnce) {
    // F10 and F9 carry the modifier kind too, so they are not auto-repeat codes.
    for (uint8_t command : {0x4B, 0x4F, 0x16, 0x1C, 0x06, 0x4A}) {
        const Row* row = rowFor(command);
        ASSERT_NE(nullptr, row);
        EXPECT_EQ(std::vector<int>{1}, arrivalsReported(command, 9, row->report))
            << row->key << " held without a release";
        control.processKey(IR_KEY_RELEASE);
    }
}

TEST_F(KeyTranslationTest, ReleaseOrAnotherKeyBetweenPressesMakesANewKey) {
    EXPECT_EQ(std::vector<int>{1}, arrivalsReported(0x16, 2, keyboard(0, 0x1F)));
    control.processKey(IR_KEY_RELEASE);
    EXPECT_EQ(IR_KEY_RELEASE, control._last_key);
    EXPECT_EQ(std::vector<int>{1}, arrivalsReported(0x16, 1, keyboard(0, 0x1F)))
        << "after a release the same command is a new key";

    // A release also restarts the repeat count of an arrow.
    EXPECT_EQ(std::vector<int>{1}, arrivalsReported(0x07, 3, keyboard(0, 0x4F)));
    control.processKey(IR_KEY_RELEASE);
    EXPECT_EQ((std::vector<int>{1, 5}), arrivalsReported(0x07, 5, keyboard(0, 0x4F)));

    // Alternating keys without releases: each arrival is a new key.
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(std::vector<int>{1}, arrivalsReported(0x47, 1, keyboard(0, 0x50)));
        EXPECT_EQ(std::vector<int>{1}, arrivalsReported(0x07, 1, keyboard(0, 0x4F)));
    }
    // An arrow held three times, another key, the arrow again: counted from scratch.
    EXPECT_EQ(std::vector<int>{1}, arrivalsReported(0x1A, 3, keyboard(0, 0x52)));
    EXPECT_EQ(std::vector<int>{1}, arrivalsReported(0x16, 1, keyboard(0, 0x1F)));
    EXPECT_EQ((std::vector<int>{1, 5}), arrivalsReported(0x1A, 5, keyboard(0, 0x52)));
}

TEST_F(KeyTranslationTest, ReleaseCodeSendsNothingAndOnlyClearsTheLastKey) {
    control.processKey(IR_KEY_RELEASE);
    control.processKey(IR_KEY_RELEASE);
    EXPECT_TRUE(delivered().empty()) << "255 (also the NEC command 0xFF) sends nothing";
    EXPECT_EQ(IR_KEY_RELEASE, control._last_key);
    EXPECT_EQ(2u, client.pending()) << "no read was used";

    control.processKey(0x1C);
    delivered();
    ASSERT_EQ(0x1Cu, control._last_key);
    control.processKey(IR_KEY_RELEASE);
    EXPECT_EQ(IR_KEY_RELEASE, control._last_key);
    EXPECT_TRUE(delivered().empty());
}

TEST_F(KeyTranslationTest, WithNoReadPendingReportsAreLostButTheKeyIsHeld) {
    client.stopResending();
    queue.flushReads();
    client.take();
    ASSERT_EQ(0u, client.pending());

    control.processKey(0x16);
    EXPECT_TRUE(client.take().empty()) << "nobody to receive the reports";
    EXPECT_EQ(0x16u, control._last_key) << "the key counts as reported";

    // Reads arrive again while the button is still held: nothing more for it.
    client.keepPending(2);
    control.processKey(0x16);
    EXPECT_TRUE(delivered().empty()) << "a held key is not reported again";
    control.processKey(IR_KEY_RELEASE);
    control.processKey(0x16);
    EXPECT_EQ((std::vector<Bytes>{keyboard(0, 0x1F), kRelease}), delivered());
}

TEST(KeyCommandTest, KeyCodesNoRowCarriesBuildTheirOwnReports) {
    IR_Command command(KEY_MAP_DEFAULT);
    struct Case {
        ULONG keyCode;
        Bytes report;
        ULONG length;
    } cases[] = {
        // Consumer-control kinds put their mask into byte 1, 2 or 3; padding bits stay 0.
        {0x020001, {2, 0x01, 0, 0}, 4}, // Volume Increment
        {0x020004, {2, 0x04, 0, 0}, 4}, // Mute
        {0x0200FF, {2, 0x07, 0, 0}, 4}, // only the three declared volume bits
        {0x040002, {2, 0, 0x02, 0}, 4}, // Channel Decrement
        {0x0400FF, {2, 0, 0x03, 0}, 4},
        {0x080010, {2, 0, 0, 0x10}, 4}, // Fast Forward
        {0x0800FF, {2, 0, 0, 0x3F}, 4},
        // Other kinds without a keyboard bit are the empty report.
        {0x060001, {2, 0, 0, 0}, 4},
        {0x000081, {2, 0, 0, 0}, 4},
        // Power: the system-control report, System Power Down, in its own 2 bytes.
        {0x010066, {4, 0x81}, 2},
        // A modifier alone still makes a keyboard report.
        {0x100200, {1, 0x02, 0, 0, 0, 0, 0, 0, 0}, 9},
    };
    for (const Case& c : cases) {
        command._KEY_CODE = c.keyCode;
        command.buildReport();
        ASSERT_EQ(c.length, command.reportLength()) << "key code 0x" << std::hex << c.keyCode;
        EXPECT_EQ(c.report, Bytes(command.report(), command.report() + c.length))
            << "key code 0x" << std::hex << c.keyCode;
        for (ULONG i = c.length; i < IR_COMMAND_REPORT_BYTES; i++) {
            EXPECT_EQ(0, command._report[i]) << "byte " << i << " behind the report is zero";
        }
    }
}

TEST(KeyCommandTest, AutoRepeatCodesAreTheEightKeyboardCodesExactly) {
    IR_Command command(KEY_MAP_DEFAULT);
    const ULONG repeating[] = {0x010043, 0x010042, 0x01004B, 0x01004E,
                               0x010052, 0x010051, 0x010050, 0x01004F};
    for (ULONG code : repeating) {
        command._KEY_CODE = code;
        EXPECT_TRUE(command.isAutoRepeatKey()) << "0x" << std::hex << code;
    }
    for (ULONG code : {0x110043u, 0x110042u, 0x01001Eu, 0x0u, 0x11004Fu, 0x01014Fu}) {
        command._KEY_CODE = code;
        EXPECT_FALSE(command.isAutoRepeatKey()) << "0x" << std::hex << code;
    }
}

TEST(KeyCommandTest, KeyMapNumberBeyondTheTableFindsNothing) {
    IR_Command command(static_cast<UCHAR>(KeyMapCount));
    command.initialize(0x16);
    EXPECT_EQ(0u, command._KEY_CODE) << "no key map, no key code, and no read past the table";
    EXPECT_EQ(kEmptyConsumer, Bytes(command.report(), command.report() + 4));
}
