// Lifecycle soak: the whole driver taken through its life again and again under traffic,
// with the class driver cancelling and resending its reads from another thread all the
// while. Each cycle: load, add, start, keys, stop and start, sleep and wake, surprise
// removal during traffic, remove, unload; the builds alternate on both sides of 6000.
// The emulated verifier stops the process on any broken rule (a request completed twice
// or never, pool of the driver's tag left at unload); a cycle that does not end within
// its bound stops it too.
//
//   ravo_soak [cycles]   (default 10000)
//
// Prints cycles per second and the largest pool the driver held.
#include "emu/hidclass/ClassDriver.h"
#include "emu/kernel/Kernel.h"
#include "emu/usbbus/VirtualReceiver.h"
#include "frame/DriverEntry.h"
#include "irkit/Encoders.h"
#include "irkit/Packetizer.h"
#include "transfer/PoolTag.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
// Far more than a cycle takes even under a sanitizer: past it the cycle counts as hung.
constexpr auto kCycleBound = std::chrono::seconds(60);

[[noreturn]] void fail(unsigned cycle, const char* what, const std::string& why = "") {
    std::fprintf(stderr, "ravo_soak: cycle %u: %s%s%s\n", cycle, what, why.empty() ? "" : ": ",
                 why.c_str());
    std::exit(1);
}

void expect(unsigned cycle, bool ok, const char* what, const std::string& why = "") {
    if (!ok)
        fail(cycle, what, why);
}

std::vector<irkit::UsbPacket> press(uint8_t command) {
    irkit::Timings timings = irkit::necFrame(0x04, command);
    irkit::append(timings, irkit::space(150000));
    return irkit::packetize(timings);
}

void queue(emu::usb::VirtualReceiver& receiver, const std::vector<irkit::UsbPacket>& packets) {
    for (const auto& packet : packets)
        receiver.queueInPacket(packet.bytes);
}

// A report that finds no read pending is dropped, and the canceller keeps taking reads
// away: press until one key arrives.
bool keyArrives(emu::usb::VirtualReceiver& receiver, emu::hid::ClassDriver& hidclass,
                const std::vector<irkit::UsbPacket>& keys) {
    const size_t before = hidclass.keys().delivered();
    for (int attempt = 0; attempt < 100; attempt++) {
        queue(receiver, keys);
        if (hidclass.keys().waitForDelivered(before + 1, 50))
            return true;
    }
    return false;
}

// One life of one device; returns the largest pool the driver held during it.
uint64_t cycle(unsigned n) {
    emu::setOsVersion(n % 2 ? 5 : 10, 1, n % 2 ? 2600 : 19045);
    emu::usb::VirtualReceiver receiver;
    emu::hid::ClassDriver hidclass(&DriverEntry);
    const auto keys = press(n % 2 ? 0x16 : 0x54);
    expect(n, NT_SUCCESS(hidclass.load()), "load");
    expect(n, NT_SUCCESS(hidclass.addDevice(receiver.pdo())), "add");
    expect(n, NT_SUCCESS(hidclass.start()), "start", hidclass.lastError());

    std::atomic<bool> done{false};
    std::thread canceller([&] {
        while (!done) {
            hidclass.cancelReads(true);
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    uint64_t pool = 0;
    auto sample = [&] { pool = std::max(pool, emu::pool::stats(RAVO_POOL_TAG).liveBytes); };

    expect(n, keyArrives(receiver, hidclass, keys), "no key delivered after the start");
    sample();
    expect(n, hidclass.stop().status == STATUS_SUCCESS, "stop");
    expect(n, NT_SUCCESS(hidclass.start()), "start after stop", hidclass.lastError());
    queue(receiver, keys);
    expect(n, hidclass.pnp().setDevicePower(PowerDeviceD3).status == STATUS_SUCCESS, "D3");
    expect(n, hidclass.pnp().setDevicePower(PowerDeviceD0).status == STATUS_SUCCESS, "D0");
    expect(n, emu::workitems::waitIdle(), "the power-up's restart never ran");
    expect(n, keyArrives(receiver, hidclass, keys), "no key after the wake-up");
    sample();
    queue(receiver, keys);
    receiver.surpriseRemove();
    expect(n, hidclass.surpriseRemove().status == STATUS_SUCCESS, "surprise removal");
    done = true;
    canceller.join();
    expect(n, hidclass.remove().status == STATUS_SUCCESS, "remove");
    return pool; // the class driver's destructor unloads and checks pool and requests
}

} // namespace

int main(int argc, char** argv) {
    const unsigned cycles = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 10000;
    if (cycles == 0) {
        std::fprintf(stderr, "usage: ravo_soak [cycles]\n");
        return 2;
    }
    // Real time: a faster clock would turn the driver's 5-second USB time-out into
    // milliseconds that a loaded machine's bus thread can miss.
    emu::clock::useRealTime(1.0);
    uint64_t largest = 0;
    const auto start = Clock::now();
    for (unsigned n = 0; n < cycles; n++) {
        auto one = std::async(std::launch::async, cycle, n);
        if (one.wait_for(kCycleBound) != std::future_status::ready)
            fail(n, "did not end in time");
        largest = std::max(largest, one.get());
        if (emu::runningSystemThreads() != 0 || emu::liveIrps() != 0 || emu::openHandles() != 0)
            fail(n, "a thread, a request or a handle outlived its device");
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("ravo_soak: %u cycles in %.1f s (%.1f cycles/s); largest pool held: %llu bytes\n",
                cycles, seconds, cycles / seconds, static_cast<unsigned long long>(largest));
    return 0;
}
