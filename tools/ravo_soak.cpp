// Soak: the whole driver taken through its life again and again; the builds alternate on
// both sides of 6000 from cycle to cycle.
//
// The lifecycle (the default): load, add, start, keys, stop and start, sleep and wake,
// surprise removal during traffic, remove, unload, with the class driver cancelling and
// resending its reads from another thread all the while. The certification scenarios
// (tools/soak/Certification.h), one per cycle, each in turn: the Plug and Play scenarios
// with the receiver pulled out after each of their steps, a sleep in S3 and one in S4 with
// keys before, during and after each, a reinstall while an application reads, the receiver
// unplugged while a request is on its way.
//
// With --low-resources N, every allocation of the lifecycle fails with a chance of 1 in N,
// as Driver Verifier's low resources simulation fails them, decided by the seed and the
// cycle, so that a cycle is run again the same way with the same seed and --first. A step
// that fails then is forgiven only when the driver said why in an error message (and the
// cycle goes on to its end); keys may be lost so, never cut or made up.
//
// The emulated verifier stops the process on any broken rule (a request completed twice or
// never, pool left at unload); so does a cycle that does not end within its bound, or that
// leaves a request, a thread or a handle behind.
//
//   ravo_soak [cycles] [--scenario lifecycle|pnp|sleep|reinstall|concurrent|all]
//             [--low-resources N] [--seed S] [--first K]      (default: 10000 lifecycles)
//
// Prints cycles per second and the largest pool the driver held; under low resources also
// the allocations failed and the cycles that fell short.
#include "emu/hidclass/ClassDriver.h"
#include "emu/kernel/Kernel.h"
#include "emu/usbbus/VirtualReceiver.h"
#include "frame/DriverEntry.h"
#include "irkit/Encoders.h"
#include "irkit/Packetizer.h"
#include "tools/soak/Certification.h"
#include "transfer/PoolTag.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
// Far more than a cycle takes even under a sanitizer: past it the cycle counts as hung.
constexpr auto kCycleBound = std::chrono::seconds(60);

struct Options {
    unsigned cycles = 10000;
    std::string scenario = "lifecycle";
    uint64_t lowResources = 0; // 1 in N allocations fail; 0: none
    uint64_t seed = 1;
    unsigned first = 0;
};

// The driver's error messages so far: counted as they are printed, since the log's ring
// does not keep a whole cycle of read traffic.
std::atomic<uint64_t> g_errors{0};

struct Counts {
    std::atomic<unsigned> shortCycles{0}; // cycles a failed allocation cut short
    std::atomic<uint64_t> failedAllocations{0};
    std::mutex lock;
    std::map<std::string, unsigned> shortBy; // what failed, and how often
};

// Says what went wrong, with the driver's last messages, and ends the run.
[[noreturn]] void fail(unsigned cycle, const char* what, const std::string& why = "") {
    std::fprintf(stderr, "ravo_soak: cycle %u: %s%s%s\n", cycle, what, why.empty() ? "" : ": ",
                 why.c_str());
    const std::vector<std::string> lines = emu::debuglog::textSince(0);
    for (size_t i = lines.size() > 20 ? lines.size() - 20 : 0; i < lines.size(); i++)
        std::fprintf(stderr, "  | %s\n", lines[i].c_str());
    std::exit(1);
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
    for (int attempt = 0; attempt < 40; attempt++) {
        queue(receiver, keys);
        if (hidclass.keys().waitForDelivered(before + 1, 50))
            return true;
    }
    return false;
}

// One life of one device. Under low resources a step that fails ends the life early, when
// the driver said why.
void life(unsigned n, const Options& options, Counts& counts) {
    emu::usb::VirtualReceiver receiver;
    emu::hid::ClassDriver hidclass(&DriverEntry);
    const auto keys = press(n % 2 ? 0x16 : 0x54);
    const uint64_t errorsBefore = g_errors.load();
    // Whether the life goes on: a failure is the run's end unless allocations fail and the
    // driver said why.
    auto holds = [&](bool ok, const char* what, const std::string& why = "") {
        if (ok)
            return true;
        if (options.lowResources == 0 || g_errors.load() == errorsBefore)
            fail(n, what, why.empty() ? "without an error message" : why);
        counts.shortCycles++;
        std::lock_guard<std::mutex> guard(counts.lock);
        counts.shortBy[what]++;
        return false;
    };

    std::atomic<bool> done{false};
    std::thread canceller;
    [&] {
        if (!holds(NT_SUCCESS(hidclass.load()), "load", hidclass.lastError()) ||
            !holds(NT_SUCCESS(hidclass.addDevice(receiver.pdo())), "add", hidclass.lastError()) ||
            !holds(NT_SUCCESS(hidclass.start()), "start", hidclass.lastError()))
            return;
        canceller = std::thread([&] {
            while (!done) {
                hidclass.cancelReads(true);
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
        });
        if (!holds(keyArrives(receiver, hidclass, keys), "no key delivered after the start") ||
            !holds(hidclass.stop().status == STATUS_SUCCESS, "stop") ||
            !holds(NT_SUCCESS(hidclass.start()), "start after stop", hidclass.lastError()))
            return;
        queue(receiver, keys);
        if (!holds(hidclass.pnp().setDevicePower(PowerDeviceD3).status == STATUS_SUCCESS, "D3") ||
            !holds(hidclass.pnp().setDevicePower(PowerDeviceD0).status == STATUS_SUCCESS, "D0") ||
            !holds(emu::workitems::waitIdle(), "the power-up's restart never ran") ||
            !holds(keyArrives(receiver, hidclass, keys), "no key after the wake-up"))
            return;
        queue(receiver, keys);
        receiver.surpriseRemove();
        holds(hidclass.surpriseRemove().status == STATUS_SUCCESS, "surprise removal");
    }();
    done = true;
    if (canceller.joinable())
        canceller.join();
    for (const auto& key : hidclass.keys().take())
        if (!key.wellFormed)
            fail(n, "a report the report descriptor does not declare");
    receiver.surpriseRemove();
    // The class driver removes the stack and unloads the driver (the verifier checks what
    // the image left) as it goes.
}

void lifecycle(unsigned n, const Options& options, Counts& counts) {
    const uint64_t failedBefore = emu::pool::failedAllocations();
    if (options.lowResources != 0)
        emu::pool::failRandomly(options.lowResources, options.seed * 1000003 + n);
    life(n, options, counts); // allocations fail until the driver has unloaded
    emu::pool::clearFaults();
    counts.failedAllocations += emu::pool::failedAllocations() - failedBefore;
}

void certificationCycle(unsigned n, const std::string& scenario) {
    using namespace certification;
    std::vector<std::pair<Pnp, size_t>> pnp;
    for (Pnp s : kPnpScenarios)
        for (size_t k = 0; k < stepsOf(s); k++)
            pnp.emplace_back(s, k);
    static const char* const kAll[] = {"lifecycle", "pnp", "sleep", "reinstall", "concurrent"};
    std::string which = scenario;
    unsigned turn = n;
    if (scenario == "all") {
        which = kAll[n % 5];
        turn = n / 5;
    }
    std::string failure;
    if (which == "pnp")
        failure = runPnp(pnp[turn % pnp.size()].first, pnp[turn % pnp.size()].second);
    else if (which == "sleep")
        failure = runSleep(2); // S3, then S4
    else if (which == "reinstall")
        failure = runReinstall();
    else if (which == "concurrent")
        failure = runConcurrent(kMoments[turn % std::size(kMoments)]);
    if (!failure.empty())
        fail(n, which.c_str(), failure);
}

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; i++) {
        const bool value = i + 1 < argc;
        if (std::strcmp(argv[i], "--scenario") == 0 && value)
            o.scenario = argv[++i];
        else if (std::strcmp(argv[i], "--low-resources") == 0 && value)
            o.lowResources = std::strtoull(argv[++i], nullptr, 10);
        else if (std::strcmp(argv[i], "--seed") == 0 && value)
            o.seed = std::strtoull(argv[++i], nullptr, 10);
        else if (std::strcmp(argv[i], "--first") == 0 && value)
            o.first = std::strtoul(argv[++i], nullptr, 10);
        else if (argv[i][0] != '-')
            o.cycles = std::strtoul(argv[i], nullptr, 10);
        else
            return false;
    }
    const std::string known = " lifecycle pnp sleep reinstall concurrent all ";
    return o.cycles != 0 && known.find(" " + o.scenario + " ") != std::string::npos &&
           (o.lowResources == 0 || o.scenario == "lifecycle");
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr, "usage: ravo_soak [cycles] [--scenario lifecycle|pnp|sleep|reinstall|"
                             "concurrent|all] [--low-resources N] [--seed S] [--first K]\n"
                             "  --low-resources goes with the lifecycle only\n");
        return 2;
    }
    // Real time: a faster clock would turn the driver's 5-second USB time-out into
    // milliseconds that a loaded machine's bus thread can miss.
    emu::clock::useRealTime(1.0);
    emu::debuglog::setEcho(std::getenv("RAVO_SOAK_TRACE") != nullptr);
    emu::debuglog::setLineSink([](const emu::DebugLine& line) {
        if (line.text.find("ravo (error)") != std::string::npos)
            g_errors++;
    });
    Counts counts;
    const auto start = Clock::now();
    for (unsigned n = options.first; n < options.first + options.cycles; n++) {
        emu::setOsVersion(n % 2 ? 5 : 10, 1, n % 2 ? 2600 : 19045);
        auto one = std::async(std::launch::async, [&] {
            if (options.scenario == "lifecycle" || (options.scenario == "all" && n % 5 == 0))
                lifecycle(n, options, counts);
            else
                certificationCycle(n, options.scenario);
        });
        if (one.wait_for(kCycleBound) != std::future_status::ready)
            fail(n, "did not end in time");
        one.get();
        if (emu::runningSystemThreads() != 0 || emu::liveIrps() != 0 || emu::openHandles() != 0)
            fail(n, "a thread, a request or a handle outlived its device");
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("ravo_soak: %u %s cycles in %.1f s (%.1f cycles/s); largest pool held: %llu "
                "bytes\n",
                options.cycles, options.scenario.c_str(), seconds, options.cycles / seconds,
                static_cast<unsigned long long>(emu::pool::stats(RAVO_POOL_TAG).highWaterBytes));
    if (options.lowResources != 0)
        std::printf("ravo_soak: 1 in %llu allocations failed (seed %llu): %llu failed, %u cycles "
                    "cut short with an error message\n",
                    static_cast<unsigned long long>(options.lowResources),
                    static_cast<unsigned long long>(options.seed),
                    static_cast<unsigned long long>(counts.failedAllocations.load()),
                    counts.shortCycles.load());
    for (const auto& [what, times] : counts.shortBy)
        std::printf("  %u x %s\n", times, what.c_str());
    return 0;
}
