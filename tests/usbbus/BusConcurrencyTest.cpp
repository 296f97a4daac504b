// Submissions, completions, aborts, cancels and removal racing. Every request must complete
// exactly once (the emulated verifier stops the process on a second completion or one with
// a cancel routine still set), and no byte the device sent may be lost or delivered twice.
#include "tests/usbbus/BusHarness.h"

#include <atomic>
#include <memory>
#include <random>
#include <thread>

using namespace bustest;

namespace {

struct Delivered {
    std::atomic<uint64_t> bytes{0};
    std::atomic<uint64_t> sum{0};
    void add(const UCHAR* data, ULONG length) {
        uint64_t s = 0;
        for (ULONG i = 0; i < length; ++i)
            s += data[i];
        bytes += length;
        sum += s;
    }
};

class UsbBusConcurrencyTest : public ::testing::TestWithParam<CompletionMode> {};

TEST_P(UsbBusConcurrencyTest, ReadsCancelsAndAbortsRacingLoseAndDuplicateNothing) {
    VirtualReceiver bus;
    std::vector<uint8_t> config;
    ASSERT_EQ(STATUS_SUCCESS, selectFirst(bus, config));
    bus.setCompletionMode(GetParam());
    USBD_PIPE_HANDLE pipe = bus.pipeHandle(0x81);
    Delivered delivered;
    std::atomic<bool> feeding{true};
    std::atomic<int> failures{0};
    std::atomic<int> workersDone{0};

    auto worker = [&](unsigned seed) {
        std::mt19937 random(seed);
        Request r(bus.pdo());
        UCHAR data[32];
        int expected = 0;
        for (int i = 0; i < 300 || feeding; ++i) {
            bulkUrb(r.urb(), pipe, data, 1 + random() % 32, true);
            r.submit();
            if (random() % 3 == 0) {
                for (unsigned spin = random() % 200; spin > 0; --spin)
                    std::this_thread::yield();
                IoCancelIrp(r.irp);
            }
            if (!r.wait(20000)) {
                failures++;
                workersDone++;
                return;
            }
            if (r.completions != ++expected)
                failures++;
            NTSTATUS s = r.status();
            ULONG n = r.transferred();
            if (s == STATUS_SUCCESS)
                delivered.add(data, n);
            else if ((s != STATUS_CANCELLED) || n != 0)
                failures++;
        }
        workersDone++;
    };
    auto aborter = [&] {
        Request r(bus.pdo());
        // Also ends the reads left waiting once the data has run out.
        while (workersDone < 4) {
            pipeUrb(r.urb(), URB_FUNCTION_ABORT_PIPE, pipe);
            r.submit();
            if (!r.wait(20000) || r.status() != STATUS_SUCCESS)
                failures++;
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    };

    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 4; ++t)
        threads.emplace_back(worker, 100 + t);
    threads.emplace_back(aborter);
    uint64_t fedBytes = 0, fedSum = 0;
    std::mt19937 random(7);
    for (int p = 0; p < 800; ++p) {
        std::vector<uint8_t> packet(1 + random() % 40);
        for (auto& b : packet) {
            b = static_cast<uint8_t>(random());
            fedSum += b;
        }
        fedBytes += packet.size();
        bus.queueInPacket(std::move(packet));
        if (p % 16 == 0)
            std::this_thread::yield();
    }
    feeding = false;
    for (auto& t : threads)
        t.join();
    ASSERT_EQ(0, failures.load()) << "every request ends once, as success or cancellation";

    // Whatever the cancelled reads did not take is still queued: read it out.
    Request r(bus.pdo());
    UCHAR data[32];
    while (bus.queuedInPackets() > 0) {
        bulkUrb(r.urb(), pipe, data, sizeof data, true);
        r.submit();
        ASSERT_TRUE(r.wait());
        ASSERT_EQ(STATUS_SUCCESS, r.status());
        delivered.add(data, r.transferred());
    }
    EXPECT_EQ(fedBytes, delivered.bytes.load()) << "every byte sent arrives exactly once";
    EXPECT_EQ(fedSum, delivered.sum.load());
    ASSERT_TRUE(bus.waitUntilIdle());
    EXPECT_EQ(0u, bus.outstandingRequests());
}

INSTANTIATE_TEST_SUITE_P(Modes, UsbBusConcurrencyTest,
                         ::testing::Values(CompletionMode::Deferred, CompletionMode::Immediate),
                         [](const ::testing::TestParamInfo<CompletionMode>& info) {
                             return info.param == CompletionMode::Deferred ? "Deferred"
                                                                           : "Immediate";
                         });

} // namespace
