// Time to parse one full 32-byte packet of NEC-like samples, as the receiver sends them
// while a button is held: groups of four, cut at every packet end, so that every call also
// completes the group carried from the previous one.
#include "decode/RlcParse.h"
#include "emu/kernel/Kernel.h"
#include "transfer/PoolTag.h"

#include <benchmark/benchmark.h>
#include <optional>
#include <vector>

namespace {

// Samples of NEC frames: 9 ms leader (two samples), 4.5 ms space, 32 bits of 560 us pulses
// and 560 or 1690 us spaces, the stop pulse and a long gap.
std::vector<uint8_t> necSamples(uint8_t command) {
    std::vector<uint8_t> s = {0x80 | 127, 0x80 | 53, 90};
    uint32_t frame =
        0x00u | 0xFFu << 8 | uint32_t(command) << 16 | uint32_t(uint8_t(~command)) << 24;
    for (int bit = 0; bit < 32; ++bit) {
        s.push_back(0x80 | 11);
        s.push_back((frame >> bit) & 1 ? 34 : 11);
    }
    s.push_back(0x80 | 11);
    s.push_back(127);
    return s;
}

std::vector<std::vector<uint8_t>> necPackets() {
    std::vector<uint8_t> samples;
    for (int c = 0; c < 8; ++c) {
        std::vector<uint8_t> frame = necSamples(uint8_t(0x10 + c * 7));
        samples.insert(samples.end(), frame.begin(), frame.end());
    }
    std::vector<uint8_t> stream;
    for (size_t at = 0; at < samples.size(); at += 4) {
        size_t n = std::min<size_t>(4, samples.size() - at);
        stream.push_back(uint8_t(0x80 + n));
        stream.insert(stream.end(), samples.begin() + long(at), samples.begin() + long(at + n));
    }
    std::vector<std::vector<uint8_t>> packets;
    // Whole 32-byte packets only; the stream's tail is left out.
    for (size_t at = 0; at + 32 <= stream.size(); at += 32)
        packets.emplace_back(stream.begin() + long(at), stream.begin() + long(at + 32));
    return packets;
}

void BM_ParseNecPacket(benchmark::State& state) {
    std::vector<std::vector<uint8_t>> packets = necPackets();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::optional<RLC_parse> parser;
    parser.emplace(&status);
    if (status != STATUS_SUCCESS) {
        state.SkipWithError("the parser could not be created");
        return;
    }
    IrSample out[IR_DATA_BUFFER_SAMPLES];
    size_t next = 0;
    uint64_t samples = 0;
    uint64_t allocations = emu::pool::allocationCount();
    uint64_t logMark = emu::debuglog::mark();
    for (auto _ : state) {
        // The parse thread clears the buffer before every packet; so does this loop.
        RtlZeroMemory(out, sizeof(out));
        parser->parse(packets[next].data(), out, 32);
        benchmark::DoNotOptimize(out);
        samples += out[0].duration;
        if (++next == packets.size())
            next = 0;
    }
    benchmark::DoNotOptimize(samples);
    state.counters["pool_allocations"] = double(emu::pool::allocationCount() - allocations);
    state.counters["log_lines"] = double(emu::debuglog::linesSince(logMark).size());
    state.counters["carried_at_end"] = double(parser->carried());
    state.SetItemsProcessed(int64_t(state.iterations()));
    state.SetBytesProcessed(int64_t(state.iterations()) * 32);
}
BENCHMARK(BM_ParseNecPacket);

} // namespace

BENCHMARK_MAIN();
