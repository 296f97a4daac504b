// Pool accounting and fault injection, the driver's allocation operators, and the debug
// output of DbgPrint with the kernel's format rules.
#include "emu/kernel/Kernel.h"
#include "platform/Diagnostics.h"
#include "transfer/PoolOperators.h"
#include "transfer/PoolTag.h"

#include <gtest/gtest.h>

namespace {
constexpr ULONG kTestTag = 'T' | ('e' << 8) | ('s' << 16) | ('t' << 24);
}

TEST(PoolTest, PerTagAccountingTracksLiveBlocksBytesAndHighWater) {
    emu::PoolTagStats before = emu::pool::stats(kTestTag);
    void* a = ExAllocatePoolWithTag(NonPagedPool, 100, kTestTag);
    void* b = ExAllocatePoolWithTag(NonPagedPool, 28, kTestTag);
    emu::PoolTagStats during = emu::pool::stats(kTestTag);
    EXPECT_EQ(before.liveBlocks + 2, during.liveBlocks);
    EXPECT_EQ(before.liveBytes + 128, during.liveBytes);
    ExFreePool(a);
    void* c = ExAllocatePoolWithTag(NonPagedPool, 10, kTestTag);
    emu::PoolTagStats after = emu::pool::stats(kTestTag);
    EXPECT_EQ(before.liveBytes + 38, after.liveBytes);
    EXPECT_GE(after.highWaterBytes, before.liveBytes + 128)
        << "the high-water mark remembers the peak";
    ExFreePool(b);
    ExFreePool(c);
    EXPECT_EQ(before.liveBlocks, emu::pool::stats(kTestTag).liveBlocks);
}

TEST(PoolTest, FaultInjectionFailsTheNthAllocationOrAGivenSize) {
    emu::pool::failNthAllocation(2);
    void* first = ExAllocatePoolWithTag(NonPagedPool, 8, kTestTag);
    void* second = ExAllocatePoolWithTag(NonPagedPool, 8, kTestTag);
    void* third = ExAllocatePoolWithTag(NonPagedPool, 8, kTestTag);
    EXPECT_NE(nullptr, first);
    EXPECT_EQ(nullptr, second);
    EXPECT_NE(nullptr, third) << "the injected failure happens once";
    emu::pool::failAllocationsOfSize(80);
    EXPECT_EQ(nullptr, ExAllocatePoolWithTag(NonPagedPool, 80, kTestTag));
    EXPECT_EQ(nullptr, ExAllocatePoolWithTag(NonPagedPool, 80, kTestTag));
    void* other = ExAllocatePoolWithTag(NonPagedPool, 81, kTestTag);
    EXPECT_NE(nullptr, other);
    emu::pool::clearFaults();
    void* now = ExAllocatePoolWithTag(NonPagedPool, 80, kTestTag);
    EXPECT_NE(nullptr, now);
    for (void* p : {first, third, other, now})
        ExFreePool(p);
}

TEST(PoolOperatorTest, FailedArrayAllocationReportsItsSizeInHex) {
    emu::debuglog::clear();
    uint64_t mark = emu::debuglog::mark();
    emu::pool::failNthAllocation(1);
    EXPECT_EQ(nullptr, poolNewArray(80));
    EXPECT_EQ(1u,
              emu::debuglog::count("ravo (error): FAIL: generic replacement new [] size 50", mark));
    emu::pool::failNthAllocation(1);
    EXPECT_EQ(nullptr, poolNew(0x88));
    EXPECT_EQ(1u,
              emu::debuglog::count("ravo (error): FAIL: generic replacement new size 88", mark));
}

TEST(PoolOperatorTest, DeleteOfNullIsReportedAndFreesNothing) {
    uint64_t mark = emu::debuglog::mark();
    uint64_t breaks = emu::debuggerBreaks();
    emu::PoolTagStats before = emu::pool::stats(RAVO_POOL_TAG);
    poolDelete(nullptr);
    poolDeleteArray(nullptr);
    EXPECT_TRUE(
        emu::debuglog::contains("ravo (error): FAIL: generic replacement delete got NULL", mark));
    EXPECT_TRUE(emu::debuglog::contains(
        "ravo (error): FAIL: generic replacement delete [] got NULL", mark));
    EXPECT_EQ(breaks, emu::debuggerBreaks()) << "BreakOnError is off";
    EXPECT_EQ(before.liveBlocks, emu::pool::stats(RAVO_POOL_TAG).liveBlocks);
}

TEST(PoolOperatorTest, BlocksComeFromTheDriversTagAndAreNotCleared) {
    emu::PoolTagStats before = emu::pool::stats(RAVO_POOL_TAG);
    auto* block = static_cast<unsigned char*>(poolNewArray(64));
    ASSERT_NE(nullptr, block);
    EXPECT_TRUE(emu::pool::isPoolBlock(block));
    EXPECT_EQ(before.liveBlocks + 1, emu::pool::stats(RAVO_POOL_TAG).liveBlocks);
    int zeros = 0;
    for (int i = 0; i < 64; ++i)
        zeros += block[i] == 0;
    EXPECT_EQ(0, zeros) << "the pool hands out what it has, not zeros";
    poolDeleteArray(block);
    EXPECT_EQ(before.liveBlocks, emu::pool::stats(RAVO_POOL_TAG).liveBlocks);
}

TEST(PoolOperatorTest, BreakOnErrorBreaksAfterTheErrorMessage) {
    uint64_t breaks = emu::debuggerBreaks();
    BreakOnError = 1;
    poolDelete(nullptr);
    BreakOnError = 0;
    EXPECT_EQ(breaks + 1, emu::debuggerBreaks());
}

TEST(DebugOutputTest, KernelFormatsFollowTheLlp64Model) {
    uint64_t mark = emu::debuglog::mark();
    DbgPrint("a=%lx b=%d c=%u d=%I64x e=%llu\n", (ULONG)0xDEADBEEF, (LONG)-5, (ULONG)7,
             (ULONGLONG)0x123456789ull, (ULONGLONG)42);
    DbgPrint("p=%p q=%08p w=%04X s=%s pct=%% h=%hx\n", (void*)0x1234, (void*)0xABCD, 0x1F, "text",
             0x12345);
    auto text = emu::debuglog::textSince(mark);
    ASSERT_EQ(2u, text.size());
    EXPECT_EQ("a=deadbeef b=-5 c=7 d=123456789 e=42", text[0]);
    EXPECT_EQ("p=0000000000001234 q=000000000000ABCD w=001F s=text pct=% h=2345", text[1]);
}

TEST(DebugOutputTest, PrefixAndMessageFormOneLineAndLevelsGateThem) {
    uint64_t mark = emu::debuglog::mark();
    LONG saved = DebugLevel;
    DebugLevel = 1;
    RAVO_TRACE("hidden trace %d\n", 1);
    RAVO_INFO("info %d\n", 2);
    RAVO_NOTICE("notice\n");
    RAVO_ERROR("error %x\n", 0xC000009A);
    DebugLevel = -1;
    RAVO_NOTICE("hidden notice\n");
    RAVO_ALWAYS("always\n");
    DebugLevel = saved;
    std::vector<std::string> expected = {"ravo: info 2", "ravo: notice",
                                         "ravo (error): error c000009a", "always"};
    EXPECT_EQ(expected, emu::debuglog::textSince(mark));
}

TEST(DebugOutputTest, TheLogIsBoundedHoweverLongTheDriverPrints) {
    uint64_t mark = emu::debuglog::mark();
    size_t lines = emu::debuglog::capacity() * 3;
    for (size_t i = 0; i < lines; ++i)
        RAVO_TRACE("DataTransfer::sendBuffer %u\n", (ULONG)i);
    auto kept = emu::debuglog::linesSince(mark);
    EXPECT_EQ(emu::debuglog::capacity(), kept.size());
    EXPECT_EQ("ravo: DataTransfer::sendBuffer " + std::to_string(lines - 1), kept.back().text);
    EXPECT_GE(emu::debuglog::droppedLines(), lines - emu::debuglog::capacity());
}

TEST(DebugOutputTest, AssertionsAreRecordedAndExecutionGoesOn) {
    emu::clearAssertions();
    int value = 3;
    RAVO_ASSERT(value == 4, "device");
    RAVO_ASSERT(value == 3, "device");
    auto records = emu::assertions();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("value == 4", records[0].expression);
    EXPECT_EQ("device", records[0].source);
    EXPECT_GT(records[0].line, 0u);
}
