// Non-paged pool with tags, per-tag accounting and fault injection. Blocks come back filled
// with a pattern, never zeroed, and (outside AddressSanitizer, which guards them itself)
// with a guard area behind them that is checked when they are freed.
#include "Internal.h"

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <map>
#include <unordered_map>

#if defined(__SANITIZE_ADDRESS__)
#define RAVO_POOL_GUARD 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RAVO_POOL_GUARD 0
#endif
#endif
#ifndef RAVO_POOL_GUARD
#define RAVO_POOL_GUARD 1
#endif

namespace emu {

namespace {

constexpr UCHAR kFreshFill = 0xC5;
constexpr UCHAR kGuardFill = 0xFD;
constexpr size_t kGuardBytes = RAVO_POOL_GUARD ? 16 : 0;
constexpr size_t kRecentlyFreed = 4096;

struct Block {
    size_t bytes;
    ULONG tag;
    // The code that asked for the block (or that the kernel allocated it for): the driver
    // image that must free it.
    const void* owner;
};

struct PoolState {
    std::mutex lock;
    std::unordered_map<const void*, Block> live;
    // Remembered so that a second free names itself; each entry carries the number of the
    // free that put it there, since malloc may hand the address out and it be freed again.
    std::unordered_map<const void*, uint64_t> recentlyFreed;
    std::deque<std::pair<const void*, uint64_t>> freedOrder;
    uint64_t frees = 0;
    std::map<ULONG, PoolTagStats> tags;
    uint64_t allocations = 0;
    uint64_t failAt = 0;
    bool failBySize = false;
    size_t failSize = 0;
    bool failAll = false;
    uint64_t failOneIn = 0; // random failures: 1 in failOneIn, 0 for none
    uint64_t failSeed = 0;
    uint64_t failBase = 0; // allocations made before failRandomly
    bool anyFailed = false;
    uint64_t failures = 0;
    ULONG lastFailedTag = 0;
    size_t lastFailedBytes = 0;
};

PoolState& poolState() {
    static PoolState* state = new PoolState();
    return *state;
}

std::string tagText(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text.push_back(c >= 32 && c < 127 ? c : '?');
    }
    return text;
}

} // namespace

namespace pool {

PoolTagStats stats(ULONG tag) {
    PoolState& pool = poolState();
    std::lock_guard<std::mutex> guard(pool.lock);
    auto found = pool.tags.find(tag);
    return found == pool.tags.end() ? PoolTagStats{} : found->second;
}

uint64_t allocationCount() {
    PoolState& pool = poolState();
    std::lock_guard<std::mutex> guard(pool.lock);
    return pool.allocations;
}

void failNthAllocation(uint64_t n) {
    PoolState& pool = poolState();
    std::lock_guard<std::mutex> guard(pool.lock);
    pool.failAt = n == 0 ? 0 : pool.allocations + n;
}

void failAllocationsOfSize(size_t bytes) {
    PoolState& pool = poolState();
    std::lock_guard<std::mutex> guard(pool.lock);
    pool.failBySize = true;
    pool.failSize = bytes;
}

void failAllAllocations(bool fail) {
    PoolState& pool = poolState();
    std::lock_guard<std::mutex> guard(pool.lock);
    pool.failAll = fail;
}

void failRandomly(uint64_t oneIn, uint64_t seed) {
    PoolState& pool = poolState();
    std::lock_guard<std::mutex> guard(pool.lock);
    pool.failOneIn = oneIn;
    pool.failSeed = seed;
    pool.failBase = pool.allocations;
}

void clearFaults() {
    PoolState& pool = poolState();
    std::lock_guard<std::mutex> guard(pool.lock);
    pool.failOneIn = 0;
    pool.failAt = 0;
    pool.failBySize = false;
    pool.failAll = false;
}

uint64_t failedAllocations() {
    PoolState& pool = poolState();
    std::lock_guard<std::mutex> guard(pool.lock);
    return pool.failures;
}

bool lastFailure(ULONG& tag, size_t& bytes) {
    PoolState& pool = poolState();
    std::lock_guard<std::mutex> guard(pool.lock);
    tag = pool.lastFailedTag;
    bytes = pool.lastFailedBytes;
    return pool.anyFailed;
}

void verifyNoLeaks(ULONG tag, const char* when) {
    PoolTagStats s = stats(tag);
    if (s.liveBlocks != 0)
        verifierFailure("pool leaked at teardown",
                        "%llu block(s), %llu bytes, of pool tag '%s' still allocated %s",
                        (unsigned long long)s.liveBlocks, (unsigned long long)s.liveBytes,
                        tagText(tag).c_str(), when);
}

void attributeTo(const void* block, const void* callerAddress) {
    PoolState& pool = poolState();
    std::lock_guard<std::mutex> guard(pool.lock);
    auto found = pool.live.find(block);
    if (found != pool.live.end())
        found->second.owner = callerAddress;
}

bool isPoolBlock(const void* p) {
    PoolState& pool = poolState();
    std::lock_guard<std::mutex> guard(pool.lock);
    return pool.live.count(p) != 0;
}

} // namespace pool

void findLivePoolOf(const std::function<bool(const void*)>& ownedByImage, uint64_t& blocks,
                    uint64_t& bytes, ULONG& firstTag, size_t& firstBytes) {
    PoolState& pool = poolState();
    std::lock_guard<std::mutex> guard(pool.lock);
    blocks = bytes = 0;
    for (const auto& [address, block] : pool.live) {
        if (!ownedByImage(block.owner))
            continue;
        if (blocks++ == 0) {
            firstTag = block.tag;
            firstBytes = block.bytes;
        }
        bytes += block.bytes;
    }
}

std::string poolTagText(ULONG tag) {
    return tagText(tag);
}

namespace {

// splitmix64: a well-mixed number for each allocation number and seed.
uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

} // namespace

bool allocationFails(size_t bytes, ULONG tag) {
    PoolState& pool = poolState();
    std::lock_guard<std::mutex> guard(pool.lock);
    uint64_t number = ++pool.allocations;
    bool fail = pool.failAll || (pool.failAt != 0 && number == pool.failAt) ||
                (pool.failBySize && bytes == pool.failSize) ||
                (pool.failOneIn != 0 &&
                 mix(pool.failSeed ^ mix(number - pool.failBase)) % pool.failOneIn == 0);
    if (pool.failAt != 0 && number == pool.failAt)
        pool.failAt = 0;
    if (fail) {
        pool.tags[tag].failedAllocations++;
        pool.failures++;
        pool.anyFailed = true;
        pool.lastFailedTag = tag;
        pool.lastFailedBytes = bytes;
    }
    return fail;
}

} // namespace emu

namespace emu {

void* allocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag, const void* owner) {
    if (PoolType == PagedPool)
        emu::requireIrqlAtMost(APC_LEVEL, "ExAllocatePoolWithTag(PagedPool)");
    else
        emu::requireIrqlAtMost(DISPATCH_LEVEL, "ExAllocatePoolWithTag");
    if (emu::allocationFails(NumberOfBytes, Tag))
        return nullptr;
    emu::PoolState& pool = emu::poolState();
    size_t bytes = NumberOfBytes == 0 ? 1 : NumberOfBytes;
    auto* block = static_cast<UCHAR*>(malloc(bytes + emu::kGuardBytes));
    if (block == nullptr)
        return nullptr;
    memset(block, emu::kFreshFill, bytes);
    memset(block + bytes, emu::kGuardFill, emu::kGuardBytes);
    std::lock_guard<std::mutex> guard(pool.lock);
    pool.live[block] = emu::Block{NumberOfBytes, Tag, owner};
    pool.recentlyFreed.erase(block);
    emu::PoolTagStats& s = pool.tags[Tag];
    s.liveBlocks++;
    s.liveBytes += NumberOfBytes;
    s.totalAllocations++;
    if (s.liveBytes > s.highWaterBytes)
        s.highWaterBytes = s.liveBytes;
    return block;
}

} // namespace emu

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return emu::allocatePool(PoolType, NumberOfBytes, Tag, __builtin_return_address(0));
}

VOID ExFreePool(PVOID P) {
    emu::requireIrqlAtMost(DISPATCH_LEVEL, "ExFreePool");
    emu::PoolState& pool = emu::poolState();
    emu::Block block;
    {
        std::lock_guard<std::mutex> guard(pool.lock);
        auto found = pool.live.find(P);
        if (found == pool.live.end()) {
            if (pool.recentlyFreed.count(P))
                emu::verifierFailure("pool freed twice", "ExFreePool on %p, freed before", P);
            emu::verifierFailure("pool freed that is not from the pool",
                                 "ExFreePool on %p, which the pool never handed out", P);
        }
        block = found->second;
        pool.live.erase(found);
        emu::PoolTagStats& s = pool.tags[block.tag];
        s.liveBlocks--;
        s.liveBytes -= block.bytes;
        uint64_t number = ++pool.frees;
        pool.recentlyFreed[P] = number;
        pool.freedOrder.emplace_back(P, number);
        if (pool.freedOrder.size() > emu::kRecentlyFreed) {
            auto oldest = pool.freedOrder.front();
            pool.freedOrder.pop_front();
            auto entry = pool.recentlyFreed.find(oldest.first);
            if (entry != pool.recentlyFreed.end() && entry->second == oldest.second)
                pool.recentlyFreed.erase(entry);
        }
    }
    auto* bytes = static_cast<UCHAR*>(P);
    size_t size = block.bytes == 0 ? 1 : block.bytes;
    for (size_t i = 0; i < emu::kGuardBytes; ++i) {
        if (bytes[size + i] != emu::kGuardFill)
            emu::verifierFailure("pool block overrun",
                                 "a write ran past the end of the %zu-byte block %p (tag '%s')",
                                 block.bytes, P, emu::tagText(block.tag).c_str());
    }
    free(P);
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
    {
        emu::PoolState& pool = emu::poolState();
        std::lock_guard<std::mutex> guard(pool.lock);
        auto found = pool.live.find(P);
        if (found != pool.live.end() && found->second.tag != Tag)
            emu::verifierFailure("pool freed with the wrong tag",
                                 "ExFreePoolWithTag on %p with tag '%s'; it was allocated as '%s'",
                                 P, emu::tagText(Tag).c_str(),
                                 emu::tagText(found->second.tag).c_str());
    }
    ExFreePool(P);
}

} // extern "C"
