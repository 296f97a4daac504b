// The read-report queue driven through real requests; the emulated verifier stops the run
// on a double completion or a completion with the cancel routine still set.
#include "HidReadHarness.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

using namespace queues_test;

namespace {

const UCHAR kKey[9] = {1, 0, 0, 0x1E, 0, 0, 0, 0, 0};
const UCHAR kRelease[9] = {};

void expectReport(const Read& read, const UCHAR* report, ULONG length, const char* which) {
    ASSERT_TRUE(read.done()) << which << " completed";
    EXPECT_EQ(read.status, STATUS_SUCCESS) << which;
    EXPECT_EQ(read.information, length) << which;
    EXPECT_TRUE(read.pendingReturned) << which << " was marked pending before it was queued";
    EXPECT_EQ(memcmp(read.buffer, report, length), 0) << which << " holds its report";
    EXPECT_EQ(read.buffer[length], kCanary) << which << ": nothing written past the report";
}

class ReadReportQueueTest : public ::testing::Test {
protected:
    HidReadHarness hid;
};

TEST_F(ReadReportQueueTest, ReportsGoInArrivalOrderAndOnlyIntoBuffersTheyFit) {
    hid.queue.sendReport(kKey, sizeof kKey);     // nobody waits: dropped, not kept
    Read& first = hid.submit(9, DISPATCH_LEVEL); // the class driver may call at DISPATCH_LEVEL
    Read& small = hid.submit(4);
    Read& third = hid.submit(16);
    Read& empty = hid.submit(0);
    Read& unbuffered = hid.prepare(9, false);
    hid.dispatch(unbuffered);
    for (Read* refused : {&empty, &unbuffered}) {
        EXPECT_EQ(refused->dispatchStatus, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(refused->status, STATUS_INVALID_PARAMETER) << "completed by the dispatcher";
    }
    EXPECT_EQ(first.dispatchStatus, STATUS_PENDING);
    EXPECT_FALSE(first.done()) << "a report sent before the request is not kept for it";
    EXPECT_EQ(hid.outstanding(), 3) << "refused requests are not counted";
    EXPECT_EQ(hid.queue._count, 3u);

    hid.queue.sendReport(kKey, sizeof kKey);
    hid.queue.sendReport(kKey, sizeof kKey);
    expectReport(first, kKey, sizeof kKey, "first");
    ASSERT_TRUE(small.done());
    EXPECT_EQ(small.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(small.information, 0u);
    for (UCHAR byte : small.buffer)
        ASSERT_EQ(byte, kCanary) << "a 4-byte buffer must not receive any of a 9-byte report";
    EXPECT_FALSE(third.done()) << "the too-long report is not offered to another request";
    hid.queue.sendReport(kRelease, sizeof kRelease);
    expectReport(third, kRelease, sizeof kRelease, "third");
    EXPECT_EQ(hid.outstanding(), 0);
    EXPECT_EQ(hid.queue._count, 0u);
}

// A read that passed the device's state test just before a stop closed the queue is
// refused, not left pending on a stopped device; the next start opens the queue again.
TEST_F(ReadReportQueueTest, AReadThatArrivesAfterAStopClosedTheQueueIsRefused) {
    hid.queue.close();
    Read& late = hid.submit(9, DISPATCH_LEVEL);
    ASSERT_TRUE(late.done()) << "not kept on a stopped device";
    EXPECT_EQ(late.status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(late.dispatchStatus, STATUS_PENDING) << "marked pending, so returned pending";
    EXPECT_EQ(hid.outstanding(), 0);
    hid.queue.open();
    Read& next = hid.submit(9);
    EXPECT_FALSE(next.done()) << "kept after the start";
    hid.queue.close();
    EXPECT_EQ(next.status, STATUS_NO_SUCH_DEVICE) << "failed by the next stop";
}

// IoCancelIrp finds no routine on a request that is not queued yet; the queue must notice
// the flag itself, or the canceller waits until a key or a flush comes by.
TEST_F(ReadReportQueueTest, RequestCancelledBeforeItWasQueuedCompletesAtOnce) {
    Read& read = hid.prepare(9);
    EXPECT_FALSE(IoCancelIrp(read.irp));
    hid.dispatch(read, DISPATCH_LEVEL);
    EXPECT_EQ(read.dispatchStatus, STATUS_PENDING) << "marked pending, owned by the queue";
    ASSERT_TRUE(read.done()) << "completed without waiting for a report or a flush";
    EXPECT_EQ(read.status, STATUS_CANCELLED);
    EXPECT_EQ(read.information, 0u);
    EXPECT_TRUE(read.pendingReturned) << "STATUS_PENDING was returned, so it must be marked";
    EXPECT_EQ(hid.outstanding(), 0) << "counted and counted down";
    EXPECT_EQ(hid.queue._count, 0u);
    Read& next = hid.submit(9);
    hid.queue.sendReport(kKey, sizeof kKey);
    expectReport(next, kKey, sizeof kKey, "the next request");
}

// Holds the device's cancel lock on a thread of its own, so that a cancel routine stops
// after IoCancelIrp took the request over and before it unlinks it.
class CancelLockHolder {
public:
    explicit CancelLockHolder(PKSPIN_LOCK lock)
        : _thread([this, lock] {
              KIRQL irql = KeAcquireSpinLockRaiseToDpc(lock);
              _held = true;
              while (!_release.load())
                  std::this_thread::yield();
              KeReleaseSpinLock(lock, irql);
          }) {
        while (!_held.load())
            std::this_thread::yield();
    }
    void release() {
        _release = true;
        _thread.join();
    }
    ~CancelLockHolder() {
        if (_thread.joinable())
            release();
    }

private:
    std::atomic<bool> _held{false}, _release{false};
    std::thread _thread;
};

// Starts IoCancelIrp on a thread and returns once the I/O manager has cleared the routine.
std::thread cancelInBackground(Read& read) {
    std::thread canceller([&read] { IoCancelIrp(read.irp); });
    while (__atomic_load_n(&read.irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr)
        std::this_thread::yield();
    return canceller;
}

class ReadReportQueueConcurrencyTest : public ReadReportQueueTest {};

// The release report that follows a key must not die with a request that is being
// cancelled: the host would see the key held down and repeating.
TEST_F(ReadReportQueueConcurrencyTest, ReportSkipsARequestBeingCancelled) {
    Read& keyRead = hid.submit(9);
    Read& cancelling = hid.submit(9);
    Read& releaseRead = hid.submit(9);
    hid.queue.sendReport(kKey, sizeof kKey);
    CancelLockHolder hold(hid.cancelLock());
    std::thread canceller = cancelInBackground(cancelling);
    hid.queue.sendReport(kRelease, sizeof kRelease); // pops the request being cancelled first
    expectReport(keyRead, kKey, sizeof kKey, "the key request");
    expectReport(releaseRead, kRelease, sizeof kRelease, "the next request");
    EXPECT_FALSE(cancelling.done()) << "the cancel routine owns it";
    hold.release();
    canceller.join();
    ASSERT_TRUE(cancelling.done());
    EXPECT_EQ(cancelling.status, STATUS_CANCELLED);
    EXPECT_EQ(hid.outstanding(), 0);
}

TEST_F(ReadReportQueueConcurrencyTest, DrainWaitsForACancelInProgress) {
    Read& cancelling = hid.submit(9);
    Read& queued = hid.submit(9);
    CancelLockHolder hold(hid.cancelLock());
    std::thread canceller = cancelInBackground(cancelling);
    std::atomic<bool> drained{false};
    std::atomic<int> completionsSeenByDrain{-1};
    std::thread remover([&] {
        hid.queue.drain();
        completionsSeenByDrain = cancelling.completions.load();
        drained = true;
    });
    while (!queued.done())
        std::this_thread::yield(); // the flush got the other request
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(drained) << "drain must wait while the cancel routine still holds a request";
    hold.release();
    canceller.join();
    remover.join();
    EXPECT_EQ(completionsSeenByDrain, 1) << "drain returned only after the cancel completed";
    EXPECT_EQ(queued.status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(cancelling.status, STATUS_CANCELLED);
}

// Dispatch (some at DISPATCH_LEVEL), reports, flushes and cancellation (some before the
// request is even dispatched) all at once. Every request ends exactly once with a status
// its path allows, no report is delivered twice, and the queue ends empty and idle.
TEST_F(ReadReportQueueConcurrencyTest, CompletersAndCancellersRaceWithoutLossOrDoubleCompletion) {
    constexpr int kRounds = 12, kReads = 96;
    std::vector<int> deliveries;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<Read*> reads;
        for (int i = 0; i < kReads; ++i)
            reads.push_back(&hid.prepare(16));
        std::atomic<bool> go{false}, sent{false};
        std::atomic<int> dispatched{0}, sentCount{0};
        auto start = [&] {
            while (!go.load())
                std::this_thread::yield();
        };
        std::thread dispatcher([&] {
            start();
            for (int i = 0; i < kReads; ++i) {
                hid.dispatch(*reads[i], i % 2 ? DISPATCH_LEVEL : PASSIVE_LEVEL);
                dispatched.fetch_add(1);
            }
        });
        std::thread canceller([&] {
            start();
            for (int i = 0; i < kReads; i += 3)
                IoCancelIrp(reads[i]->irp);
        });
        // Reports start once some requests are in, flushes once some reports went out, so
        // that every round delivers something while all four paths still overlap.
        std::thread sender([&] {
            while (dispatched.load() < kReads / 4)
                std::this_thread::yield();
            for (int id = 0; id < kReads; ++id) {
                UCHAR report[9] = {};
                int tagged = round * kReads + id + 1;
                memcpy(report, &tagged, sizeof tagged);
                hid.queue.sendReport(report, sizeof report);
                sentCount.fetch_add(1);
            }
            sent = true;
        });
        std::thread flusher([&] {
            while (sentCount.load() < kReads / 4)
                std::this_thread::yield();
            while (!sent.load()) {
                hid.queue.flushReads();
                std::this_thread::yield();
            }
        });
        go = true;
        for (auto* thread : {&dispatcher, &canceller, &sender, &flusher})
            thread->join();
        hid.queue.drain();
        for (int i = 0; i < kReads; ++i) {
            const Read& read = *reads[i];
            ASSERT_EQ(read.completions.load(), 1) << "round " << round << " request " << i;
            if (read.status == STATUS_SUCCESS) {
                int tagged;
                memcpy(&tagged, read.buffer, sizeof tagged);
                ASSERT_EQ(read.information, 9u);
                deliveries.push_back(tagged);
            } else if (read.status == STATUS_CANCELLED) {
                ASSERT_EQ(i % 3, 0) << "only the requests cancelled end cancelled";
            } else {
                ASSERT_EQ(read.status, STATUS_NO_SUCH_DEVICE) << "round " << round;
            }
        }
        ASSERT_EQ(hid.outstanding(), 0);
        ASSERT_EQ(hid.queue._count, 0u);
        ASSERT_TRUE(CheckedList::isEmpty(&hid.queue._list));
    }
    std::sort(deliveries.begin(), deliveries.end());
    EXPECT_EQ(std::adjacent_find(deliveries.begin(), deliveries.end()), deliveries.end())
        << "a report reached at most one request";
    EXPECT_GE(deliveries.size(), size_t(kRounds)) << "every round delivered reports";
}

} // namespace
