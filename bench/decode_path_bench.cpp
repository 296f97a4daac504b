// Nanoseconds per 32-byte packet through the decode path: packet parser, NEC decoder and
// key translation with its reports completing read-report requests, on a stream of NEC
// frames with buttons held and released and some timing jitter.
//
// Two figures: with DebugLevel as the driver is built (2: every trace message goes to the
// debugger) and with DebugLevel 0 (notices and errors only), which shows the cost of the
// path itself. Run with --benchmark_repetitions=N for a median.
#include "tools/DecodeHalf.h"

#include "irkit/DefaultCapture.h"
#include "platform/Diagnostics.h"

#include <benchmark/benchmark.h>

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

} // namespace

BENCHMARK(BM_DecodePath_AsBuilt);
BENCHMARK(BM_DecodePath_Quiet);
BENCHMARK(BM_DecodePath_QuietNoReads);

BENCHMARK_MAIN();
