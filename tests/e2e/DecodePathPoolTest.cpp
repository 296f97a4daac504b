// The decode path must not allocate once it runs: packets, frames, keys and releases all
// reuse what the parser, the decoder and the key translation took at creation.
#include "tools/DecodeHalf.h"

#include "emu/kernel/Kernel.h"
#include "irkit/DefaultCapture.h"
#include "transfer/PoolTag.h"

#include <gtest/gtest.h>

TEST(DecodePathPoolTest, TenThousandPacketsInSteadyStateAllocateNothing) {
    ravo_tools::DecodeHalf half;
    ASSERT_EQ(STATUS_SUCCESS, half.status());
    const std::vector<irkit::UsbPacket> packets = irkit::heldButtonsPackets();
    ASSERT_GT(packets.size(), 50u);

    // One pass first, so that every path (key, repeat, release, unknown command) has run.
    size_t keysInWarmUp = 0;
    for (const auto& packet : packets) {
        auto outcome = half.deliver(packet.bytes.data(), static_cast<ULONG>(packet.bytes.size()));
        keysInWarmUp += outcome.keyDecoded ? 1 : 0;
    }
    ASSERT_GT(keysInWarmUp, 10u) << "the stream must decode keys, or the test proves nothing";

    const uint64_t allocations = emu::pool::allocationCount();
    const emu::PoolTagStats before = emu::pool::stats(RAVO_POOL_TAG);
    const uint64_t reportsBefore = half.client().completedCount();
    size_t keys = 0, releases = 0;
    for (size_t i = 0; i < 10000; i++) {
        const auto& packet = packets[i % packets.size()];
        auto outcome = half.deliver(packet.bytes.data(), static_cast<ULONG>(packet.bytes.size()));
        keys += outcome.keyDecoded ? 1 : 0;
        releases += outcome.released ? 1 : 0;
    }
    const emu::PoolTagStats after = emu::pool::stats(RAVO_POOL_TAG);

    EXPECT_EQ(allocations, emu::pool::allocationCount()) << "no pool allocation of any tag";
    EXPECT_EQ(before.totalAllocations, after.totalAllocations) << "no allocation under Wemb";
    EXPECT_EQ(before.liveBlocks, after.liveBlocks) << "no block freed or leaked";
    EXPECT_EQ(before.liveBytes, after.liveBytes);
    EXPECT_GT(keys, 500u) << "frames decoded over the 10,000 packets";
    EXPECT_GT(releases, 100u) << "end-of-signal markers over the 10,000 packets";
    EXPECT_GT(half.client().completedCount() - reportsBefore, 200u)
        << "reports completed read-report requests all along";
}
