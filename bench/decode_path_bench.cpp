// Nanoseconds through the decode path: packet parser, NEC decoder and key translation with
// its reports completing read-report requests. Per packet on a synthetic stream of NEC
// frames with buttons held and released and some timing jitter; per pulse or space and per
// packet on the NEC captures of the real-capture folder, each followed by the receiver's
// end-of-signal marker.
//
// Two figures: with DebugLevel as the driver is built (2: every trace message goes to the
// debugger) and with DebugLevel 0 (notices and errors only), which shows the cost of the
// path itself. Run with --benchmark_repetitions=N for a median.
#include "tools/DecodeHalf.h"

#include "irkit/DefaultCapture.h"
#include "irkit/Mode2.h"
#include "irkit/Packetizer.h"
#include "platform/Diagnostics.h"
#include "tests/support/CaptureManifest.h"

#include <benchmark/benchmark.h>

#include <cstdio>

namespace {

void decodePath(benchmark::State& state, LONG debugLevel, unsigned pendingReads) {
    const LONG saved = DebugLevel;
    DebugLevel = debugLevel;
    const std::vector<irkit::UsbPacket> packets = irkit::heldButtonsPackets();
    ravo_tools::DecodeHalf half(pendingReads);
    size_t next = 0;
    uint64_t keys = 0;
    for (auto _ : state) {
        const irkit::UsbPacket& packet = packets[next];
        auto outcome = half.deliver(packet.bytes.data(), static_cast<ULONG>(packet.bytes.size()));
        keys += outcome.keyDecoded ? 1 : 0;
        next = next + 1 == packets.size() ? 0 : next + 1;
    }
    // The client keeps every completed read; drop them so memory stays flat.
    half.client().take();
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.counters["frames_per_packet"] =
        benchmark::Counter(static_cast<double>(keys) / static_cast<double>(state.iterations()));
    half.shutDown();
    DebugLevel = saved;
}

// Reports complete read-report requests that the class driver's stand-in resends.
void BM_DecodePath_AsBuilt(benchmark::State& state) {
    decodePath(state, 2, 2);
}
void BM_DecodePath_Quiet(benchmark::State& state) {
    decodePath(state, 0, 2);
}
// No read pending: the reports are dropped, which leaves out the emulated class driver's
// request handling and shows the driver's own share.
void BM_DecodePath_QuietNoReads(benchmark::State& state) {
    decodePath(state, 0, 0);
}

// The NEC captures of the real-capture folder, each followed by the end-of-signal marker,
// as the receiver's packets. Empty when the folder is absent.
struct RealCaptures {
    std::vector<irkit::UsbPacket> packets;
    uint64_t samples = 0; // pulses and spaces of the captures
};

const RealCaptures& realCaptures() {
    static const RealCaptures loaded = [] {
        RealCaptures captures;
        std::optional<std::vector<capturetest::CaptureEntry>> manifest =
            capturetest::loadManifest();
        if (!manifest) {
            return captures;
        }
        for (const capturetest::CaptureEntry& entry : *manifest) {
            if (entry.category != "nec") {
                continue;
            }
            irkit::Mode2Result periods =
                irkit::readMode2File(capturetest::capturesDir() + "/" + entry.file);
            for (irkit::UsbPacket& packet : irkit::packetize(periods.timings)) {
                captures.packets.push_back(std::move(packet));
            }
            captures.samples += periods.timings.size();
        }
        std::printf("real captures: %zu packets, %llu pulses and spaces\n", captures.packets.size(),
                    static_cast<unsigned long long>(captures.samples));
        return captures;
    }();
    return loaded;
}

// The whole path over the real NEC captures, per sample and per packet.
void realCapturePath(benchmark::State& state, LONG debugLevel, unsigned pendingReads) {
    const RealCaptures& captures = realCaptures();
    if (captures.packets.empty()) {
        state.SkipWithError("no captures at " RAVO_CAPTURES_DIR);
        return;
    }
    const LONG saved = DebugLevel;
    DebugLevel = debugLevel;
    ravo_tools::DecodeHalf half(pendingReads);
    uint64_t keys = 0;
    for (auto _ : state) {
        for (const irkit::UsbPacket& packet : captures.packets) {
            keys += half.deliver(packet.bytes.data(), static_cast<ULONG>(packet.bytes.size()))
                        .keyDecoded;
        }
        half.client().take();
    }
    const double runs = static_cast<double>(state.iterations());
    using benchmark::Counter;
    state.counters["ns_per_sample"] =
        Counter(runs * static_cast<double>(captures.samples), Counter::kIsRate | Counter::kInvert);
    state.counters["ns_per_packet"] = Counter(runs * static_cast<double>(captures.packets.size()),
                                              Counter::kIsRate | Counter::kInvert);
    state.counters["keys_per_run"] = Counter(static_cast<double>(keys) / runs);
    half.shutDown();
    DebugLevel = saved;
}

void BM_RealCaptures_AsBuilt(benchmark::State& state) {
    realCapturePath(state, 2, 2);
}
void BM_RealCaptures_Quiet(benchmark::State& state) {
    realCapturePath(state, 0, 2);
}
// No read pending: the reports are dropped, which leaves out the emulated class driver's
// request handling (an IRP allocated, completed and sent again for every report).
void BM_RealCaptures_AsBuiltNoReads(benchmark::State& state) {
    realCapturePath(state, 2, 0);
}
void BM_RealCaptures_QuietNoReads(benchmark::State& state) {
    realCapturePath(state, 0, 0);
}

} // namespace

BENCHMARK(BM_RealCaptures_AsBuilt);
BENCHMARK(BM_RealCaptures_Quiet);
BENCHMARK(BM_RealCaptures_AsBuiltNoReads);
BENCHMARK(BM_RealCaptures_QuietNoReads);
BENCHMARK(BM_DecodePath_AsBuilt);
BENCHMARK(BM_DecodePath_Quiet);
BENCHMARK(BM_DecodePath_QuietNoReads);

BENCHMARK_MAIN();
