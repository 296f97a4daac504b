// Requests racing the Plug and Play and power paths. Every request must complete exactly
// once, nothing may hang or leak, and no read may slip into a queue already drained.
#include "tests/driver/DriverHarness.h"
#include "transfer/DataTransfer.h"

#include <atomic>
#include <thread>

namespace {

using driver_harness::DriverHarness;

class DriverConcurrencyTest : public DriverHarness {};

// The class driver keeps sending reads, from several threads and at DISPATCH_LEVEL, while
// keys flow and the device is removed: the removal must not wait forever for a read that
// arrived behind its drain, and every read ends.
TEST_F(DriverConcurrencyTest, ReadsArrivingDuringRemovalAllEnd) {
    for (int round = 0; round < 20; round++) {
        if (round > 0)
            reload(false);
        ASSERT_EQ(STATUS_SUCCESS, pnp(IRP_MN_START_DEVICE));
        std::atomic<bool> stop{false};
        std::atomic<int> completed{0};
        std::atomic<int> sent{0};
        std::vector<std::thread> readers;
        for (int t = 0; t < 2; t++) {
            readers.emplace_back([&] {
                UCHAR buffer[9];
                while (!stop.load()) {
                    emu::ScopedIrql dispatch(DISPATCH_LEVEL);
                    PIRP irp = emu::allocateWorldIrp(_fdo->StackSize, [&](PIRP c) {
                        completed++;
                        IoFreeIrp(c);
                    });
                    PIO_STACK_LOCATION stack = emu::firstStackLocation(irp);
                    stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
                    stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_HID_READ_REPORT;
                    stack->Parameters.DeviceIoControl.OutputBufferLength = sizeof buffer;
                    irp->UserBuffer = buffer;
                    (void)IofCallDriver(_fdo, irp);
                    sent++;
                }
            });
        }
        press(0x54);
        while (sent.load() < 4)
            std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 4));
        EXPECT_EQ(STATUS_SUCCESS, pnp(IRP_MN_REMOVE_DEVICE));
        stop = true;
        for (auto& reader : readers)
            reader.join();
        EXPECT_GT(completed.load(), 0) << "round " << round;
        EXPECT_EQ(0, emu::liveIrps()) << "round " << round << ": a read never ended";
    }
}

// Plug and Play stops and starts the device while power requests put it to sleep and
// wake it: the two paths take turns on the same transfer and its objects.
TEST_F(DriverConcurrencyTest, PowerAndPlugAndPlayTakeTurnsOnTheTransfer) {
    reload(true);
    startWithReads();
    std::atomic<bool> stop{false};
    std::thread power([&] {
        while (!stop.load()) {
            EXPECT_EQ(STATUS_SUCCESS, setDevicePower(PowerDeviceD3));
            EXPECT_EQ(STATUS_SUCCESS, setDevicePower(PowerDeviceD0));
        }
    });
    for (int i = 0; i < 40; i++) {
        press(0x54);
        EXPECT_EQ(STATUS_SUCCESS, pnp(i % 2 ? IRP_MN_START_DEVICE : IRP_MN_STOP_DEVICE));
    }
    stop = true;
    power.join();
    ASSERT_TRUE(emu::workitems::waitIdle());
    EXPECT_EQ(STATUS_SUCCESS, pnp(IRP_MN_REMOVE_DEVICE));
    EXPECT_TRUE(_receiver->waitUntilIdle());
    EXPECT_EQ(0u, _receiver->outstandingRequests());
}

} // namespace
