// Plug and Play and power requests from the managers' threads while keys flow from the
// receiver and the class driver cancels and resends its reads: whatever interleaving,
// every request completes once, nothing leaks and the stack comes apart cleanly.
#include "StackFixture.h"

#include <atomic>
#include <mutex>
#include <thread>

using namespace stack;

class StackConcurrencyTest : public StackTest {};

TEST_F(StackConcurrencyTest, PnpAndPowerWhileKeysFlowAndReadsAreCancelled) {
    up();
    std::atomic<bool> done{false};
    const std::vector<irkit::UsbPacket> packets = frame(0x16);
    std::thread feeder([&] {
        while (!done) {
            for (const auto& packet : packets)
                receiver->queueInPacket(packet.bytes);
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    std::thread canceller([&] {
        while (!done) {
            hidclass->cancelReads(true);
            std::this_thread::sleep_for(std::chrono::microseconds(700));
        }
    });
    // Power and Plug and Play take turns on the same transfer and its objects. No device
    // power request comes in the middle of a start, whose URBs a sleeping device would
    // fail: the class driver owns the power policy and asks for none then.
    std::mutex starting;
    std::thread power([&] {
        while (!done) {
            std::lock_guard<std::mutex> guard(starting);
            EXPECT_EQ(STATUS_SUCCESS, hidclass->pnp().setDevicePower(PowerDeviceD3).status);
            EXPECT_EQ(STATUS_SUCCESS, hidclass->pnp().setDevicePower(PowerDeviceD0).status);
        }
    });
    for (int round = 0; round < 4; round++) {
        EXPECT_TRUE(hidclass->keys().waitForDelivered(hidclass->keys().delivered() + 1))
            << "keys flow in round " << round;
        EXPECT_EQ(STATUS_SUCCESS, hidclass->pnp().pnp(IRP_MN_QUERY_REMOVE_DEVICE).status);
        EXPECT_EQ(STATUS_SUCCESS, hidclass->pnp().pnp(IRP_MN_CANCEL_REMOVE_DEVICE).status);
        EXPECT_EQ(STATUS_SUCCESS, hidclass->stop().status);
        std::lock_guard<std::mutex> guard(starting);
        ASSERT_EQ(STATUS_SUCCESS, hidclass->start()) << hidclass->lastError();
    }
    done = true;
    feeder.join();
    canceller.join();
    power.join();
    ASSERT_TRUE(emu::workitems::waitIdle());
    for (const auto& key : hidclass->keys().take())
        EXPECT_TRUE(key.wellFormed);
    EXPECT_EQ(STATUS_SUCCESS, hidclass->remove().status);
    EXPECT_EQ(0, emu::runningSystemThreads());
}
