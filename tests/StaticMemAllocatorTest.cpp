// StaticMemAllocator: exact per-tag counters, tags by text, alignment and usable size of every block, the
// injected failure, and many threads allocating and freeing at once.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tamsor/infra/StaticMemAllocator.h"

namespace Tamsor {
namespace {

struct Block {
    unsigned char* pBytes;
    unsigned int uiSize;
    unsigned char pattern;
};

unsigned char patternAt(unsigned char seed, unsigned int index) {
    return static_cast<unsigned char>(seed + index * 7u);
}

void fill(const Block& block) {
    for (unsigned int i = 0; i < block.uiSize; ++i) block.pBytes[i] = patternAt(block.pattern, i);
}

bool intact(const Block& block) {
    for (unsigned int i = 0; i < block.uiSize; ++i)
        if (block.pBytes[i] != patternAt(block.pattern, i)) return false;
    return true;
}

// "allocations frees liveBlocks liveBytes" of a tag.
std::string countersOf(const std::string& tag) {
    const AllocationStats stats = StaticMemAllocator::statsFor(tag);
    return std::to_string(stats.allocations) + " " + std::to_string(stats.frees) + " " +
           std::to_string(stats.liveBlocks) + " " + std::to_string(stats.liveBytes);
}

bool hasLiveBlocks(const char* tag) {
    const std::vector<std::string> live = StaticMemAllocator::tagsWithLiveBlocks();
    return std::find(live.begin(), live.end(), tag) != live.end();
}

// Tags are compared by text, not by address; a null block is no block.
TEST(StaticMemAllocatorTest, CountersFollowEveryCallExactly) {
    char tag[] = "SMA counters";
    char sameText[] = "SMA counters";
    const std::uint64_t totalBefore = StaticMemAllocator::totalLiveBlocks();
    EXPECT_EQ("0 0 0 0", countersOf("SMA never used"));

    void* pSmall = StaticMemAllocator::allocate(10, tag);
    void* pMedium = StaticMemAllocator::allocate(512, sameText);
    void* pLarge = StaticMemAllocator::allocate(1000, tag);
    EXPECT_EQ("3 0 3 1522", countersOf(tag));
    EXPECT_EQ(totalBefore + 3, StaticMemAllocator::totalLiveBlocks());
    EXPECT_TRUE(hasLiveBlocks(tag));
    StaticMemAllocator::deallocate(pMedium, 512, tag);
    EXPECT_EQ("3 1 2 1010", countersOf(sameText));
    StaticMemAllocator::deallocate(nullptr, 64, tag);
    StaticMemAllocator::deallocate(pLarge, 1000, tag);
    StaticMemAllocator::deallocate(pSmall, 10, sameText);
    EXPECT_EQ("3 3 0 0", countersOf(tag));
    EXPECT_EQ("0 0 0 0", countersOf("SMA counter"));
    EXPECT_EQ(totalBefore, StaticMemAllocator::totalLiveBlocks());
    EXPECT_FALSE(hasLiveBlocks(tag));
}

// All blocks are alive at once while each is filled with its own pattern: a block shorter than asked for,
// or two blocks that overlap, spoil a pattern.
TEST(StaticMemAllocatorTest, BlocksAreAlignedAndWritableOverTheirWholeSize) {
    const char* tag = "SMA alignment";
    std::vector<Block> blocks;
    for (unsigned int size = 0; size <= 600; ++size) {
        Block block = {static_cast<unsigned char*>(StaticMemAllocator::allocate(size, tag)), size,
                       static_cast<unsigned char>(size * 13u)};
        ASSERT_NE(nullptr, block.pBytes) << "size " << size;
        EXPECT_EQ(0u, reinterpret_cast<std::uintptr_t>(block.pBytes) % 16) << "size " << size;
        fill(block);
        blocks.push_back(block);
    }
    for (const Block& block : blocks) {
        EXPECT_TRUE(intact(block)) << "size " << block.uiSize;
        StaticMemAllocator::deallocate(block.pBytes, block.uiSize, tag);
    }

    // Freed blocks may come back; they are as usable the second time.
    for (unsigned int size : {0u, 1u, 16u, 17u, 512u, 513u}) {
        Block block = {static_cast<unsigned char*>(StaticMemAllocator::allocate(size, tag)), size, 0x5a};
        EXPECT_EQ(0u, reinterpret_cast<std::uintptr_t>(block.pBytes) % 16);
        fill(block);
        EXPECT_TRUE(intact(block));
        StaticMemAllocator::deallocate(block.pBytes, size, tag);
    }
    EXPECT_EQ("607 607 0 0", countersOf(tag));
}

TEST(StaticMemAllocatorTest, InjectedFailureHitsExactlyTheNthAllocationOfItsTag) {
    const char* tag = "SMA failure";
    const char* other = "SMA failure other";
    StaticMemAllocator::failAllocation(tag, 3);

    std::vector<void*> blocks;
    blocks.push_back(StaticMemAllocator::allocate(24, tag));
    void* pOther = StaticMemAllocator::allocate(24, other);  // other tags do not count down
    blocks.push_back(StaticMemAllocator::allocate(2000, tag));
    EXPECT_THROW(StaticMemAllocator::allocate(24, std::string("SMA failure").c_str()), std::bad_alloc);
    EXPECT_EQ("2 0 2 2024", countersOf(tag));

    // Only the one: later allocations go through.
    for (int i = 0; i < 4; ++i) blocks.push_back(StaticMemAllocator::allocate(24, tag));
    EXPECT_EQ(6u, StaticMemAllocator::statsFor(tag).allocations);

    StaticMemAllocator::failAllocation(tag, 1);
    EXPECT_THROW(StaticMemAllocator::allocate(8, tag), std::bad_alloc);
    StaticMemAllocator::failAllocation(tag, 1);
    StaticMemAllocator::failAllocation(tag, 0);  // cleared before it fired
    blocks.push_back(StaticMemAllocator::allocate(8, tag));

    StaticMemAllocator::deallocate(pOther, 24, other);
    StaticMemAllocator::deallocate(blocks[0], 24, tag);
    StaticMemAllocator::deallocate(blocks[1], 2000, tag);
    for (std::size_t i = 2; i < 6; ++i) StaticMemAllocator::deallocate(blocks[i], 24, tag);
    StaticMemAllocator::deallocate(blocks[6], 8, tag);
    EXPECT_EQ("7 7 0 0", countersOf(tag));
    EXPECT_EQ("1 1 0 0", countersOf(other));
}

// Eight threads allocate, fill, check and free blocks of random sizes, under one shared tag and under tags
// of their own that they create while the others run.
TEST(StaticMemAllocatorTest, EightThreadsKeepCountersExactAndBlocksApart) {
    const int kThreads = 8;
    const char* shared = "SMA threads shared";
    const AllocationStats sharedBefore = StaticMemAllocator::statsFor(shared);
    std::atomic<std::uint64_t> sharedAllocations{0};
    std::vector<std::uint64_t> ownAllocations(kThreads, 0);  // each written by its own thread only
    std::atomic<int> spoiled{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string own = "SMA thread " + std::to_string(t);
            std::mt19937 random(1234u + static_cast<unsigned int>(t));
            std::vector<std::pair<Block, const char*>> live;
            for (int step = 0; step < 20000 || !live.empty(); ++step) {
                if (step < 20000 && (live.empty() || (live.size() < 32 && random() % 2 == 0))) {
                    const unsigned int size = random() % 8 == 0 ? 513 + random() % 1500 : random() % 513;
                    const char* tag = random() % 2 ? shared : own.c_str();
                    Block block = {static_cast<unsigned char*>(StaticMemAllocator::allocate(size, tag)), size,
                                   static_cast<unsigned char>(random())};
                    fill(block);
                    live.emplace_back(block, tag);
                    if (tag == shared)
                        ++sharedAllocations;
                    else
                        ++ownAllocations[t];
                } else {
                    const std::size_t index = random() % live.size();
                    if (!intact(live[index].first)) ++spoiled;
                    StaticMemAllocator::deallocate(live[index].first.pBytes, live[index].first.uiSize,
                                                   live[index].second);
                    live[index] = live.back();
                    live.pop_back();
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(0, spoiled.load());
    const AllocationStats sharedAfter = StaticMemAllocator::statsFor(shared);
    EXPECT_EQ(sharedAllocations.load(), sharedAfter.allocations - sharedBefore.allocations);
    EXPECT_EQ(sharedAllocations.load(), sharedAfter.frees - sharedBefore.frees);
    EXPECT_EQ(0u, sharedAfter.liveBlocks + sharedAfter.liveBytes);
    for (int t = 0; t < kThreads; ++t) {
        const std::string n = std::to_string(ownAllocations[t]);
        EXPECT_EQ(n + " " + n + " 0 0", countersOf("SMA thread " + std::to_string(t)));
    }
}

}  // namespace
}  // namespace Tamsor
