// The checked list: order and emptiness answers, and the fail-fast on every kind of damage
// its checks look for.
#include "emu/kernel/Kernel.h"
#include "transfer/BufferQueue.h"
#include "transfer/CheckedList.h"

#include <gtest/gtest.h>

namespace {

struct ThreeEntries {
    ThreeEntries() {
        CheckedList::init(&head);
        for (auto& entry : entries)
            CheckedList::insertTail(&head, &entry);
    }
    LIST_ENTRY head;
    LIST_ENTRY entries[3];
};

} // namespace

TEST(CheckedListTest, KeepsArrivalOrderAndReportsWhenTheLastEntryLeaves) {
    ThreeEntries list;
    EXPECT_FALSE(CheckedList::removeEntry(&list.entries[1])) << "two entries remain";
    EXPECT_EQ(CheckedList::removeHead(&list.head), &list.entries[0]) << "oldest first";
    EXPECT_EQ(list.head.Flink, &list.entries[2]);
    EXPECT_EQ(list.entries[2].Blink, &list.head) << "links repaired after the removals";
    EXPECT_TRUE(CheckedList::removeEntry(&list.entries[2])) << "the list is empty now";
    EXPECT_TRUE(CheckedList::isEmpty(&list.head));
    EXPECT_EQ(list.head.Blink, &list.head);
    EXPECT_EQ(CheckedList::removeHead(&list.head), nullptr)
        << "an empty list yields no entry, never its head";
}

class CheckedListDeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
    LIST_ENTRY stray{};
};

TEST_F(CheckedListDeathTest, InsertIntoAHeadWhoseNeighbourLostItsBackLink) {
    ThreeEntries list;
    LIST_ENTRY entry;
    list.entries[0].Blink = &stray;
    EXPECT_DEATH(CheckedList::insertTail(&list.head, &entry), "corrupt list entry");
    ThreeEntries other;
    other.entries[2].Flink = &stray;
    EXPECT_DEATH(CheckedList::insertTail(&other.head, &entry), "corrupt list entry");
}

TEST_F(CheckedListDeathTest, RemoveHeadWithADamagedSecondEntry) {
    ThreeEntries list;
    list.entries[1].Blink = &stray;
    EXPECT_DEATH(CheckedList::removeHead(&list.head), "corrupt list entry");
}

TEST_F(CheckedListDeathTest, RemoveEntryWhoseNeighboursDoNotPointBack) {
    ThreeEntries list;
    list.entries[0].Flink = &stray;
    EXPECT_DEATH(CheckedList::removeEntry(&list.entries[1]), "corrupt list entry");
    ThreeEntries other;
    other.entries[2].Blink = &stray;
    EXPECT_DEATH(CheckedList::removeEntry(&other.entries[1]), "corrupt list entry");
}

TEST_F(CheckedListDeathTest, BufferQueueStopsOnAnOverwrittenLink) {
    BufferQueue queue;
    TransferBuffer a, b;
    queue.putBuffer(&a);
    queue.putBuffer(&b);
    b._link.Blink = &stray; // a stray write into a queued buffer
    EXPECT_DEATH(queue.getBuffer(), "corrupt list entry");
}
