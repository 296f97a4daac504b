// The buffer queue between read completions and the parse thread: order, the
// already-queued guard, the event that follows the count, and timed waits on the
// emulated clock.
#include "emu/kernel/Kernel.h"
#include "transfer/BufferQueue.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

constexpr LONGLONG kMs = 10000; // 100 ns units per millisecond

bool eventSet(BufferQueue& queue) {
    return KeReadStateEvent(&queue._event) != 0;
}

class BufferQueueTest : public ::testing::Test {
protected:
    void SetUp() override { emu::clock::useManualTime(); }
    void TearDown() override { emu::clock::useRealTime(); }

    BufferQueue queue;
    TransferBuffer a, b, c;
};

TEST_F(BufferQueueTest, FirstInFirstOutWithTheEventFollowingTheCount) {
    EXPECT_FALSE(eventSet(queue)) << "not signalled at construction";
    queue.putBuffer(&a);
    EXPECT_TRUE(eventSet(queue)) << "set by the first put into an empty queue";
    EXPECT_EQ(a._queued, 1);
    queue.putBuffer(&b);
    queue.putBuffer(&c);
    queue.putBuffer(&a); // already queued: nothing changes
    EXPECT_EQ(queue._count, 3u);

    EXPECT_EQ(queue.getBuffer(), &a);
    EXPECT_EQ(a._queued, 0);
    EXPECT_EQ(queue.getBuffer(), &b);
    EXPECT_TRUE(eventSet(queue)) << "still one buffer queued";
    EXPECT_EQ(queue.getBuffer(), &c);
    EXPECT_FALSE(eventSet(queue)) << "cleared by the get that takes the last buffer";
    EXPECT_EQ(queue.getBuffer(), nullptr) << "a re-put of a queued buffer must not link it twice";
    EXPECT_EQ(queue._count, 0u);
}

TEST_F(BufferQueueTest, SignalEndsWaitsUntilABufferHasBeenPutAndTaken) {
    queue.signal();
    EXPECT_EQ(queue.getBuffer(), nullptr);
    EXPECT_TRUE(eventSet(queue)) << "a get on an empty queue leaves a set event set";
    queue.waitForBuffer(1000); // the clock stands still: only the event can end this wait
    queue.putBuffer(&a);
    EXPECT_EQ(queue.getBuffer(), &a);
    EXPECT_FALSE(eventSet(queue)) << "taking the last buffer ends the signalled state";
}

TEST_F(BufferQueueTest, WaitEndsExactlyWhenItsTimeOutHasPassed) {
    for (ULONG ms : {1000u, 500000u}) { // the second does not fit ms * 10000 in 32 bits
        std::atomic<bool> returned{false};
        std::thread waiter([&] {
            queue.waitForBuffer(ms);
            returned = true;
        });
        ASSERT_TRUE(emu::clock::waitForTimedWaiters(1));
        emu::clock::advance(ms * kMs - 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_FALSE(returned) << "a wait of " << ms << " ms must not end 100 ns early";
        emu::clock::advance(1);
        waiter.join(); // ends only if the time-out did
    }
}

// A completion and a failed submission putting the same buffer at once link it once.
TEST(BufferQueueConcurrencyTest, RacingPutsOfOneBufferQueueItOnce) {
    constexpr int kRounds = 500;
    BufferQueue queue;
    TransferBuffer buffer;
    std::atomic<int> round{-1}, arrived{0}, finished{0};
    auto putter = [&] {
        for (int r = 0; r < kRounds; ++r) {
            while (round.load() < r)
                std::this_thread::yield();
            arrived.fetch_add(1);
            // Both threads are released together for the put; spin briefly, then yield to
            // the other thread on a busy machine.
            for (int spins = 0; arrived.load() < 2 * (r + 1); ++spins) {
                if (spins > 200)
                    std::this_thread::yield();
            }
            emu::ScopedIrql dispatch(DISPATCH_LEVEL); // completions run at DISPATCH_LEVEL
            queue.putBuffer(&buffer);
            finished.fetch_add(1);
        }
    };
    std::thread first(putter), second(putter);
    int linkedTwice = 0;
    for (int r = 0; r < kRounds; ++r) {
        round = r;
        while (finished.load() < 2 * (r + 1))
            std::this_thread::yield();
        if (queue._count != 1 || queue.getBuffer() != &buffer || queue.getBuffer() != nullptr)
            ++linkedTwice;
    }
    first.join();
    second.join();
    EXPECT_EQ(linkedTwice, 0) << "rounds in which two puts left other than one queued buffer";
}

// Producers stand for read completions, each cycling its own buffers; the consumer is the
// parse thread. Every put arrives exactly once and each producer's buffers in order.
TEST(BufferQueueConcurrencyTest, EveryPutArrivesOnceAndInOrder) {
    emu::clock::useRealTime(1000.0); // a 1000 ms wait costs a millisecond
    constexpr int kProducers = 3, kBuffersEach = 4, kRounds = 1000;
    BufferQueue queue;
    std::vector<TransferBuffer> buffers(kProducers * kBuffersEach);
    std::vector<std::atomic<bool>> inQueue(buffers.size());
    std::vector<std::atomic<int>> sequence(buffers.size());
    for (size_t i = 0; i < buffers.size(); ++i)
        buffers[i]._index = static_cast<ULONG>(i);

    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int round = 0; round < kRounds; ++round) {
                for (int k = 0; k < kBuffersEach; ++k) {
                    size_t i = p * kBuffersEach + k;
                    while (inQueue[i].load(std::memory_order_acquire))
                        std::this_thread::yield();
                    sequence[i].store(round, std::memory_order_relaxed);
                    inQueue[i].store(true, std::memory_order_release);
                    emu::ScopedIrql dispatch(DISPATCH_LEVEL);
                    queue.putBuffer(&buffers[i]);
                }
            }
        });
    }
    std::vector<int> received(buffers.size(), 0);
    int total = 0, failures = 0;
    while (total < kProducers * kBuffersEach * kRounds) {
        queue.waitForBuffer(1000);
        while (TransferBuffer* buffer = queue.getBuffer()) {
            size_t i = buffer->_index;
            if (buffer->_queued != 0 || sequence[i].load(std::memory_order_relaxed) != received[i])
                ++failures;
            ++received[i];
            ++total;
            inQueue[i].store(false, std::memory_order_release);
        }
    }
    for (auto& producer : producers)
        producer.join();
    emu::clock::useRealTime();
    EXPECT_EQ(failures, 0) << "each buffer taken once per put, unqueued, in the order put";
    EXPECT_EQ(queue.getBuffer(), nullptr);
    EXPECT_EQ(queue._count, 0u);
    EXPECT_EQ(KeReadStateEvent(&queue._event), 0) << "an emptied queue has its event cleared";
}

} // namespace
