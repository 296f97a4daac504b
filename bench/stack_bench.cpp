// Figures of the whole stack in real time on real threads: the virtual receiver, the
// driver loaded by the emulated HID class driver, two read-report requests pending.
//
//   stack_bench [keys]   (default 10000)
//
// - key latency: from queueing the USB packet that carries a frame's last bit (the bus
//   thread completes a waiting read with it at once) to the completion of the class
//   driver's read-report request with the key report; median, p99 and maximum;
// - the parse thread's wake-ups per second while nothing arrives;
// - the driver's pool per started device, and whether traffic makes it grow;
// - start-to-first-report (the start request, the class driver's descriptor requests and
//   reads, then one frame) and stop times of one device.
#include "emu/hidclass/ClassDriver.h"
#include "emu/kernel/Kernel.h"
#include "emu/usbbus/VirtualReceiver.h"
#include "frame/DriverEntry.h"
#include "irkit/Encoders.h"
#include "irkit/Packetizer.h"
#include "transfer/PoolTag.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kReads = 16;

double us(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

std::vector<irkit::UsbPacket> frameOf(uint8_t command) {
    irkit::Timings timings = irkit::necFrame(0x04, command);
    irkit::append(timings, irkit::space(20000));
    irkit::PacketizerOptions options;
    options.endWithMarker = false;
    return irkit::packetize(timings, options);
}

void fail(const char* what) {
    std::fprintf(stderr, "stack_bench: %s\n", what);
    std::exit(1);
}

} // namespace

int main(int argc, char** argv) {
    const size_t keys = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 10000;
    emu::clock::useRealTime(1.0);

    emu::usb::VirtualReceiver receiver;
    emu::hid::ClassDriver hidclass(&DriverEntry);
    if (!NT_SUCCESS(hidclass.load()) || !NT_SUCCESS(hidclass.addDevice(receiver.pdo())))
        fail("the driver did not load");
    // A key sent as soon as the class driver has its reads pending (a report that finds
    // none is dropped, as on Windows).
    Clock::time_point startAt = Clock::now();
    if (!NT_SUCCESS(hidclass.start()))
        fail(hidclass.lastError().c_str());
    for (const auto& packet : frameOf(0x16))
        receiver.queueInPacket(packet.bytes);
    if (!hidclass.keys().waitForDelivered(1))
        fail("no first report");
    const double startToReport = us(Clock::now() - startAt);
    if (!receiver.waitUntilIdle() || !receiver.waitForWaitingTransfers(kReads))
        fail("the reads did not come back");
    hidclass.keys().take();

    const emu::PoolTagStats started = emu::pool::stats(RAVO_POOL_TAG);

    // Key latency. Two buttons in turn, so that every frame is a new key.
    std::atomic<int64_t> queuedAt{0};
    std::vector<double> latencies;
    latencies.reserve(keys);
    hidclass.keys().setListener([&](const emu::hid::KeyEvent& key) {
        if (!key.release())
            latencies.push_back((Clock::now().time_since_epoch().count() - queuedAt.load()) /
                                1000.0);
    });
    const std::vector<irkit::UsbPacket> frames[2] = {frameOf(0x15), frameOf(0x16)};
    for (size_t k = 0; k < keys; k++) {
        size_t before = hidclass.keys().delivered();
        for (const auto& packet : frames[k % 2]) {
            queuedAt = Clock::now().time_since_epoch().count();
            receiver.queueInPacket(packet.bytes);
            if (!receiver.waitUntilIdle() || !receiver.waitForWaitingTransfers(kReads))
                fail("the driver stopped reading");
        }
        if (hidclass.keys().delivered() != before + 2)
            fail("a frame gave no key");
        hidclass.keys().take();
    }
    hidclass.keys().setListener(nullptr);
    const emu::PoolTagStats traffic = emu::pool::stats(RAVO_POOL_TAG);

    // Idle wake-ups of the parse thread (the only system thread).
    const uint64_t wakeUps = emu::threads::systemThreadWakeUps();
    const auto idleFrom = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const double idleSeconds = us(Clock::now() - idleFrom) / 1e6;
    const double wakeUpsPerSecond = (emu::threads::systemThreadWakeUps() - wakeUps) / idleSeconds;

    Clock::time_point stopAt = Clock::now();
    hidclass.stop();
    const double stopTime = us(Clock::now() - stopAt);

    std::sort(latencies.begin(), latencies.end());
    auto at = [&](double q) { return latencies[static_cast<size_t>(q * (latencies.size() - 1))]; };
    std::printf("key latency over %zu keys: median %.1f us, p99 %.1f us, max %.1f us\n",
                latencies.size(), at(0.5), at(0.99), latencies.back());
    std::printf("parse thread wake-ups while idle: %.2f per second\n", wakeUpsPerSecond);
    std::printf("driver pool per started device: %llu blocks, %llu bytes; after the keys: "
                "%llu blocks, %llu bytes (%s)\n",
                (unsigned long long)started.liveBlocks, (unsigned long long)started.liveBytes,
                (unsigned long long)traffic.liveBlocks, (unsigned long long)traffic.liveBytes,
                traffic.liveBytes == started.liveBytes ? "no growth" : "GREW");
    std::printf("start to first report: %.0f us; stop: %.0f us\n", startToReport, stopTime);
    return 0;
}
