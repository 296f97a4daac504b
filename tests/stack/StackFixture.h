// The whole stack: a virtual receiver, the driver loaded by the emulated HID class driver
// through DriverEntry, its PnP manager. Time is manual; each packet is settled (taken,
// parsed, its buffer sent back as a read) before the next, so reports come in known order.
#pragma once

#include "emu/hidclass/ClassDriver.h"
#include "emu/kernel/Kernel.h"
#include "emu/usbbus/VirtualReceiver.h"
#include "frame/DriverEntry.h"
#include "irkit/Encoders.h"
#include "irkit/Packetizer.h"
#include "transfer/PoolTag.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <thread>
#include <vector>

namespace stack {

using Bytes = std::vector<uint8_t>;
constexpr size_t kReads = 16; // reads the driver keeps on the data pipe
const Bytes kRelease = {1, 0, 0, 0, 0, 0, 0, 0, 0};

// One NEC frame of the button, then the silence of a button let go (or of the next frame).
inline std::vector<irkit::UsbPacket> frame(uint8_t command, bool letGo = true) {
    irkit::Timings timings = irkit::necFrame(0x04, command);
    uint32_t gapUs = irkit::kNecPeriodUs - static_cast<uint32_t>(irkit::totalMicroseconds(timings));
    irkit::append(timings, irkit::space(letGo ? 250000 : gapUs));
    irkit::PacketizerOptions options;
    options.endWithMarker = letGo;
    return irkit::packetize(timings, options);
}

// Moves the manual clock along meanwhile, for the driver's waits with a time-out.
inline bool waitForNoSystemThread() {
    for (int i = 0; i < 5000 && emu::runningSystemThreads() != 0; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        emu::clock::advance(10 * 10000);
    }
    return emu::runningSystemThreads() == 0;
}

class StackTest : public ::testing::Test {
protected:
    void SetUp() override {
        emu::clock::useManualTime();
        // Windows 10, or the build RAVO_OS_BUILD names (ctest runs the stack on 2600 too).
        const char* build = std::getenv("RAVO_OS_BUILD");
        ULONG number = build != nullptr ? std::strtoul(build, nullptr, 10) : 19045;
        emu::setOsVersion(number < 6000 ? 5 : 10, 1, number);
        receiver = std::make_unique<emu::usb::VirtualReceiver>();
        hidclass = std::make_unique<emu::hid::ClassDriver>(&DriverEntry);
    }
    void TearDown() override {
        hidclass.reset(); // removes and unloads: the verifier checks pool and requests
        receiver.reset();
        emu::pool::clearFaults();
    }

    // Load, add, start; the start's status (the class driver's view).
    NTSTATUS bringUp() {
        NTSTATUS status = hidclass->load();
        if (NT_SUCCESS(status))
            status = hidclass->addDevice(receiver->pdo());
        if (NT_SUCCESS(status))
            status = hidclass->start();
        return status;
    }
    void up() {
        ASSERT_EQ(STATUS_SUCCESS, bringUp()) << hidclass->lastError();
        ASSERT_TRUE(receiver->waitForWaitingTransfers(kReads)) << "16 reads on the data pipe";
    }

    // Sends the packets one by one, each settled.
    void send(const std::vector<irkit::UsbPacket>& packets) {
        for (const auto& packet : packets) {
            receiver->queueInPacket(packet.bytes);
            ASSERT_TRUE(receiver->waitUntilIdle() && receiver->waitForWaitingTransfers(kReads))
                << "the driver must take the packet and send its read again";
        }
    }
    void press(uint8_t command, bool letGo = true) { send(frame(command, letGo)); }

    std::vector<Bytes> reports() {
        std::vector<Bytes> got;
        for (auto& key : hidclass->keys().take()) {
            EXPECT_TRUE(key.wellFormed) << "a report the report descriptor declares";
            got.push_back(key.report);
        }
        return got;
    }

    std::unique_ptr<emu::usb::VirtualReceiver> receiver;
    std::unique_ptr<emu::hid::ClassDriver> hidclass;
};

} // namespace stack
