// Requests racing the removal and the power path from other threads: every request ends
// exactly once, nothing hangs, and no read slips into a queue already drained.
#include "StackFixture.h"

#include <atomic>
#include <thread>

using namespace stack;

namespace {

class RemovalConcurrencyTest : public StackTest {};

// Reads arrive from several threads at DISPATCH_LEVEL while keys flow and the device is
// removed: a read that came in behind the drain would hold the removal forever.
TEST_F(RemovalConcurrencyTest, ReadsArrivingDuringRemovalAllEnd) {
    for (int round = 0; round < 10; round++) {
        if (round > 0) {
            hidclass = std::make_unique<emu::hid::ClassDriver>(&DriverEntry);
            receiver = std::make_unique<emu::usb::VirtualReceiver>();
        }
        up();
        std::atomic<bool> stop{false};
        std::atomic<int> sent{0};
        std::atomic<int> completed{0};
        std::vector<std::thread> readers;
        for (int t = 0; t < 2; t++) {
            readers.emplace_back([&] {
                UCHAR buffer[9];
                while (!stop.load()) {
                    emu::ScopedIrql dispatch(DISPATCH_LEVEL);
                    PIRP irp = emu::allocateWorldIrp(hidclass->fdo()->StackSize, [&](PIRP c) {
                        completed++;
                        IoFreeIrp(c);
                    });
                    PIO_STACK_LOCATION stack = emu::firstStackLocation(irp);
                    stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
                    stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_HID_READ_REPORT;
                    stack->Parameters.DeviceIoControl.OutputBufferLength = sizeof buffer;
                    irp->UserBuffer = buffer;
                    (void)IofCallDriver(hidclass->fdo(), irp);
                    sent++;
                }
            });
        }
        for (const auto& packet : frame(0x16))
            receiver->queueInPacket(packet.bytes);
        while (sent.load() < 4)
            std::this_thread::yield();
        // The removal itself, sent while the readers go on; the class driver deletes its
        // device object only after they stopped.
        EXPECT_EQ(STATUS_SUCCESS, hidclass->pnp().pnp(IRP_MN_REMOVE_DEVICE).status)
            << "round " << round;
        stop = true;
        for (auto& reader : readers)
            reader.join();
        EXPECT_EQ(sent.load(), completed.load()) << "round " << round << ": a read never ended";
        hidclass->remove(); // refused by the removed device; deletes the device object
        hidclass.reset();
        receiver.reset();
    }
}

} // namespace
