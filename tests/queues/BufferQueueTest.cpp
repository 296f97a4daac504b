// The buffer queue between read completions and the parse thread, and the fail-fast of the
// checked list it keeps its buffers in.
#include "emu/kernel/Kernel.h"
#include "transfer/BufferQueue.h"
#include "platform/CheckedList.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace {

bool eventSet(BufferQueue& queue) {
    return KeReadStateEvent(&queue._event) != 0;
}

TEST(BufferQueueTest, FirstInFirstOutWithTheEventFollowingTheCount) {
    BufferQueue queue;
    TransferBuffer a, b;
    EXPECT_FALSE(eventSet(queue)) << "not signalled at construction";
    queue.putBuffer(&a);
    EXPECT_TRUE(eventSet(queue)) << "set by the first put into an empty queue";
    queue.putBuffer(&b);
    queue.putBuffer(&a); // already queued: a failed submission after its completion
    EXPECT_EQ(queue._count, 2u);
    EXPECT_EQ(queue.getBuffer(), &a);
    EXPECT_EQ(a._queued, 0);
    EXPECT_TRUE(eventSet(queue)) << "still one buffer queued";
    EXPECT_EQ(queue.getBuffer(), &b);
    EXPECT_FALSE(eventSet(queue)) << "cleared by the get that takes the last buffer";
    EXPECT_EQ(queue.getBuffer(), nullptr) << "a re-put of a queued buffer must not link it twice";
    queue.signal();
    EXPECT_EQ(queue.getBuffer(), nullptr);
    EXPECT_TRUE(eventSet(queue)) << "a get on an empty queue leaves a signal standing";
}

TEST(BufferQueueTest, WaitEndsExactlyWhenItsTimeOutHasPassed) {
    emu::clock::useManualTime();
    BufferQueue queue;
    for (ULONG ms : {1000u, 500000u}) { // the second does not fit ms * 10000 in 32 bits
        std::atomic<bool> returned{false};
        std::thread waiter([&] {
            queue.waitForBuffer(ms);
            returned = true;
        });
        ASSERT_TRUE(emu::clock::waitForTimedWaiters(1));
        emu::clock::advance(LONGLONG(ms) * 10000 - 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_FALSE(returned) << "a wait of " << ms << " ms must not end 100 ns early";
        emu::clock::advance(1);
        waiter.join(); // ends only if the time-out did
    }
    emu::clock::useRealTime();
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
            for (int spins = 0; arrived.load() < 2 * (r + 1); ++spins)
                if (spins > 200)
                    std::this_thread::yield();
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

struct ThreeEntries {
    ThreeEntries() {
        CheckedList::init(&head);
        for (auto& entry : entries)
            CheckedList::insertTail(&head, &entry);
    }
    LIST_ENTRY head, entries[3], stray{}, spare{};
};

TEST(CheckedListTest, KeepsArrivalOrderAndReportsWhenTheLastEntryLeaves) {
    ThreeEntries list;
    EXPECT_FALSE(CheckedList::removeEntry(&list.entries[1])) << "two entries remain";
    EXPECT_EQ(CheckedList::removeHead(&list.head), &list.entries[0]) << "oldest first";
    EXPECT_EQ(list.entries[2].Blink, &list.head) << "links repaired after the removals";
    EXPECT_TRUE(CheckedList::removeEntry(&list.entries[2])) << "the list is empty now";
    EXPECT_TRUE(CheckedList::isEmpty(&list.head));
    EXPECT_EQ(CheckedList::removeHead(&list.head), nullptr)
        << "an empty list yields no entry, never its head";
}

// Each row damages one link and makes the one call whose check must see it.
struct Damage {
    const char* name;
    void (*damageAndUse)(ThreeEntries&);
};
const Damage kDamages[] = {
    {"InsertBehindAHeadWhoseFirstLostItsBackLink",
     [](ThreeEntries& l) {
         l.entries[0].Blink = &l.stray;
         CheckedList::insertTail(&l.head, &l.spare);
     }},
    {"InsertBehindALastEntryPointingAway",
     [](ThreeEntries& l) {
         l.entries[2].Flink = &l.stray;
         CheckedList::insertTail(&l.head, &l.spare);
     }},
    {"RemoveHeadWithADamagedSecondEntry",
     [](ThreeEntries& l) {
         l.entries[1].Blink = &l.stray;
         CheckedList::removeHead(&l.head);
     }},
    {"RemoveEntryWhosePredecessorPointsAway",
     [](ThreeEntries& l) {
         l.entries[0].Flink = &l.stray;
         CheckedList::removeEntry(&l.entries[1]);
     }},
    {"RemoveEntryWhoseSuccessorPointsAway",
     [](ThreeEntries& l) {
         l.entries[2].Blink = &l.stray;
         CheckedList::removeEntry(&l.entries[1]);
     }},
};

class CheckedListDeathTest : public ::testing::TestWithParam<Damage> {};

TEST_P(CheckedListDeathTest, DamagedLinkStopsTheSystem) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ThreeEntries list;
    EXPECT_DEATH(GetParam().damageAndUse(list), "corrupt list entry");
}

INSTANTIATE_TEST_SUITE_P(Links, CheckedListDeathTest, ::testing::ValuesIn(kDamages),
                         [](const ::testing::TestParamInfo<Damage>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
