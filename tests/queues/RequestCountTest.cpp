// The count of outstanding read-report requests and its idle event, which the removal of
// a device waits on.
#include "emu/kernel/Kernel.h"
#include "hid/RequestCount.h"
#include "platform/Diagnostics.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

namespace {

bool idle(RequestCount& count) {
    return KeReadStateEvent(&count._idle_event) != 0;
}

thread_local bool t_completer = false;

TEST(RequestCountTest, WaitReturnsOnlyOnceTheLastRequestIsCountedDown) {
    RequestCount count;
    count.wait(); // fresh: nothing outstanding, returns at once
    count.increment();
    count.increment();
    count.decrement();
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        count.wait();
        returned = true;
    });
    // The removal's drain waits alertably: an alert must not end it early.
    ASSERT_TRUE(emu::threads::waitForAlertableWaiters(1));
    EXPECT_EQ(1, emu::threads::alertWaiters());
    ASSERT_TRUE(emu::threads::waitForAlertableWaiters(1)) << "waiting again after the alert";
    EXPECT_FALSE(returned) << "one request is still outstanding";
    uint64_t mark = emu::debuglog::mark();
    count.decrement();
    waiter.join();
    EXPECT_TRUE(idle(count));
    EXPECT_EQ(emu::debuglog::count("Request Count decremented to 0", mark), 1u);
    EXPECT_EQ(emu::debuglog::count("last request completed, signalling event", mark), 1u);

    emu::clearAssertions();
    mark = emu::debuglog::mark();
    count.decrement();
    auto assertions = emu::assertions();
    ASSERT_EQ(assertions.size(), 1u) << "the decrement below zero is reported";
    EXPECT_EQ(assertions[0].expression, "count >= 0");
    EXPECT_EQ(assertions[0].source, "RequestCount");
    EXPECT_FALSE(emu::debuglog::contains("last request completed", mark)) << "and signals nothing";
    emu::clearAssertions();
}

// A completion takes the count to 0 and, before it reaches the event, a new request takes
// it back to 1. The completion's late "idle" must not stand: a removal would then stop
// waiting while the new request is still held.
TEST(RequestCountConcurrencyTest, LateIdleSignalDoesNotOutliveANewRequest) {
    ASSERT_GE(DebugLevel, 1) << "the completer is held at its information message";
    RequestCount count;
    count.increment();
    std::mutex lock;
    std::condition_variable changed;
    bool paused = false, resume = false;
    // The completer prints its message between the decrement and the event update; its
    // own log line is where it is held.
    emu::debuglog::setLineSink([&](const emu::DebugLine& line) {
        if (!t_completer || line.text.find("Request Count decremented to 0") == std::string::npos)
            return;
        std::unique_lock<std::mutex> guard(lock);
        paused = true;
        changed.notify_all();
        changed.wait(guard, [&] { return resume; });
    });
    std::thread completion([&] {
        t_completer = true;
        count.decrement();
    });
    {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [&] { return paused; });
    }
    count.increment(); // the new request, while the completion is held after its decrement
    {
        std::lock_guard<std::mutex> guard(lock);
        resume = true;
    }
    changed.notify_all();
    completion.join();
    emu::debuglog::setLineSink(nullptr);
    EXPECT_FALSE(idle(count)) << "a request is outstanding, so the idle event must be clear";
    count.decrement();
    EXPECT_TRUE(idle(count));
}

} // namespace
