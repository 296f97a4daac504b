// What no driver test pins down on its own: tick-exact time-outs on the controllable clock,
// the remove lock, and the driver's pool operators.
#include "emu/kernel/Kernel.h"
#include "platform/Diagnostics.h"
#include "transfer/PoolOperators.h"
#include "transfer/PoolTag.h"

#include <atomic>
#include <gtest/gtest.h>
#include <string>
#include <thread>

namespace {

TEST(TimeoutTest, RelativeWaitEndsExactlyWhenTheManualClockPassesItsDeadline) {
    emu::clock::useManualTime();
    constexpr LONGLONG kFiveSeconds = 50000000;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    for (bool signal : {false, true}) {
        std::atomic<NTSTATUS> result{STATUS_PENDING};
        std::thread waiter([&] {
            LARGE_INTEGER timeout;
            timeout.QuadPart = -kFiveSeconds;
            result = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        });
        ASSERT_TRUE(emu::clock::waitForTimedWaiters(1));
        emu::clock::advance(kFiveSeconds - 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(STATUS_PENDING, result.load()) << "one tick before the deadline";
        if (signal)
            KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        else
            emu::clock::advance(1);
        waiter.join();
        EXPECT_EQ(signal ? STATUS_SUCCESS : STATUS_TIMEOUT, result.load());
    }
    emu::clock::useRealTime();
}

TEST(RemoveLockTest, AcquireFailsOnceRemovalStartedAndTheWaitEndsWithTheLastRelease) {
    IO_REMOVE_LOCK lock;
    IoInitializeRemoveLockEx(&lock, 0, 0, 0, sizeof(IO_REMOVE_LOCK));
    int held = 0, probe = 0, remove = 0;
    ASSERT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(&lock, &held));
    ASSERT_EQ(STATUS_SUCCESS, IoAcquireRemoveLock(&lock, &remove));
    std::atomic<bool> removed{false};
    std::thread remover([&] {
        IoReleaseRemoveLockAndWait(&lock, &remove);
        removed = true;
    });
    // Probing through the lock's own calls: the test reads none of its fields.
    while (IoAcquireRemoveLock(&lock, &probe) == STATUS_SUCCESS) {
        IoReleaseRemoveLock(&lock, &probe);
        std::this_thread::yield();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(removed.load()) << "the holder of the first tag still holds the lock";
    IoReleaseRemoveLock(&lock, &held);
    remover.join();
    EXPECT_TRUE(removed.load());
}

// The driver's allocation operators: pool of the driver's tag, failures reported in hex,
// deleting null reported (and a break only when asked for).
TEST(PoolOperatorTest, FailuresAndNullDeletesAreReported) {
    uint64_t mark = emu::debuglog::mark();
    emu::PoolTagStats before = emu::pool::stats(RAVO_POOL_TAG);
    void* block = poolNewArray(64);
    EXPECT_EQ(before.liveBlocks + 1, emu::pool::stats(RAVO_POOL_TAG).liveBlocks);
    poolDeleteArray(block);
    emu::pool::failNthAllocation(1);
    EXPECT_EQ(nullptr, poolNewArray(80));
    emu::pool::failNthAllocation(1);
    EXPECT_EQ(nullptr, poolNew(0x88));
    uint64_t breaks = emu::debuggerBreaks();
    poolDelete(nullptr);
    BreakOnError = 1;
    poolDeleteArray(nullptr);
    BreakOnError = 0;
    EXPECT_EQ(breaks + 1, emu::debuggerBreaks()) << "a break only with BreakOnError";
    EXPECT_EQ(
        (std::vector<std::string>{"ravo (error): FAIL: generic replacement new [] size 50",
                                  "ravo (error): FAIL: generic replacement new size 88",
                                  "ravo (error): FAIL: generic replacement delete got NULL",
                                  "ravo (error): FAIL: generic replacement delete [] got NULL",
                                  "*** break into the kernel debugger"}),
        emu::debuglog::textSince(mark));
    EXPECT_EQ(before.liveBlocks, emu::pool::stats(RAVO_POOL_TAG).liveBlocks);
}

} // namespace
