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

TEST(StaticMemAllocatorTest, CountersFollowEveryCallExactly) {
    const char* tag = "SMA counters";
    const std::uint64_t totalBefore = StaticMemAllocator::totalLiveBlocks();
    const AllocationStats none = StaticMemAllocator::statsFor("SMA never used");
    EXPECT_EQ(0u, none.allocations + none.frees + none.liveBlocks + none.liveBytes);

    void* pSmall = StaticMemAllocator::allocate(10, tag);
    void* pMedium = StaticMemAllocator::allocate(512, tag);
    void* pLarge = StaticMemAllocator::allocate(1000, tag);
    AllocationStats stats = StaticMemAllocator::statsFor(tag);
    EXPECT_EQ(3u, stats.allocations);
    EXPECT_EQ(0u, stats.frees);
    EXPECT_EQ(3u, stats.liveBlocks);
    EXPECT_EQ(1522u, stats.liveBytes);
    EXPECT_EQ(totalBefore + 3, StaticMemAllocator::totalLiveBlocks());
    std::vector<std::string> live = StaticMemAllocator::tagsWithLiveBlocks();
    EXPECT_NE(live.end(), std::find(live.begin(), live.end(), tag));

    StaticMemAllocator::deallocate(pMedium, 512, tag);
    stats = StaticMemAllocator::statsFor(tag);
    EXPECT_EQ(3u, stats.allocations);
    EXPECT_EQ(1u, stats.frees);
    EXPECT_EQ(2u, stats.liveBlocks);
    EXPECT_EQ(1010u, stats.liveBytes);

    StaticMemAllocator::deallocate(nullptr, 64, tag);  // a null block is no block
    StaticMemAllocator::deallocate(pLarge, 1000, tag);
    StaticMemAllocator::deallocate(pSmall, 10, tag);
    stats = StaticMemAllocator::statsFor(tag);
    EXPECT_EQ(3u, stats.allocations);
    EXPECT_EQ(3u, stats.frees);
    EXPECT_EQ(0u, stats.liveBlocks);
    EXPECT_EQ(0u, stats.liveBytes);
    EXPECT_EQ(totalBefore, StaticMemAllocator::totalLiveBlocks());
    live = StaticMemAllocator::tagsWithLiveBlocks();
    EXPECT_EQ(live.end(), std::find(live.begin(), live.end(), tag));
}

TEST(StaticMemAllocatorTest, TagsAreComparedByText) {
    char first[] = "SMA same text";
    char second[] = "SMA same text";
    ASSERT_NE(static_cast<void*>(first), static_cast<void*>(second));
    const AllocationStats otherBefore = StaticMemAllocator::statsFor("SMA same tex");

    void* pBlock = StaticMemAllocator::allocate(40, first);
    EXPECT_EQ(1u, StaticMemAllocator::statsFor(second).liveBlocks);
    StaticMemAllocator::deallocate(pBlock, 40, second);

    const AllocationStats stats = StaticMemAllocator::statsFor(std::string("SMA same text"));
    EXPECT_EQ(1u, stats.allocations);
    EXPECT_EQ(1u, stats.frees);
    EXPECT_EQ(0u, stats.liveBlocks);
    EXPECT_EQ(0u, stats.liveBytes);
    EXPECT_EQ(otherBefore.allocations, StaticMemAllocator::statsFor("SMA same tex").allocations);
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
    EXPECT_EQ(601u, StaticMemAllocator::statsFor(tag).liveBlocks);
    EXPECT_EQ(600u * 601u / 2, StaticMemAllocator::statsFor(tag).liveBytes);
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
    EXPECT_EQ(0u, StaticMemAllocator::statsFor(tag).liveBlocks);
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
    AllocationStats stats = StaticMemAllocator::statsFor(tag);
    EXPECT_EQ(2u, stats.allocations);
    EXPECT_EQ(2u, stats.liveBlocks);
    EXPECT_EQ(2024u, stats.liveBytes);

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
    stats = StaticMemAllocator::statsFor(tag);
    EXPECT_EQ(7u, stats.allocations);
    EXPECT_EQ(7u, stats.frees);
    EXPECT_EQ(0u, stats.liveBytes);
    EXPECT_EQ(1u, StaticMemAllocator::statsFor(other).allocations);
}

// Eight threads allocate, fill, check and free blocks of random sizes under one shared tag and one tag each.
TEST(StaticMemAllocatorTest, EightThreadsKeepCountersExactAndBlocksApart) {
    const int kThreads = 8;
    const int kSteps = 20000;
    const char* shared = "SMA threads shared";
    const std::string ownTags[kThreads] = {"SMA thread 0", "SMA thread 1", "SMA thread 2", "SMA thread 3",
                                           "SMA thread 4", "SMA thread 5", "SMA thread 6", "SMA thread 7"};
    const AllocationStats sharedBefore = StaticMemAllocator::statsFor(shared);
    std::vector<AllocationStats> ownBefore;
    for (const std::string& tag : ownTags) ownBefore.push_back(StaticMemAllocator::statsFor(tag));
    std::atomic<std::uint64_t> sharedAllocations{0};
    std::vector<std::uint64_t> ownAllocations(kThreads, 0);  // each written by its own thread only
    std::atomic<int> spoiled{0};

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(1234u + static_cast<unsigned int>(t));
            std::vector<std::pair<Block, const char*>> live;
            std::uint64_t made = 0;
            for (int step = 0; step < kSteps; ++step) {
                const bool bAllocate = live.empty() || (live.size() < 32 && random() % 2 == 0);
                if (bAllocate) {
                    const unsigned int size = random() % 8 == 0 ? 513 + random() % 1500 : random() % 513;
                    const char* tag = random() % 2 ? shared : ownTags[t].c_str();
                    Block block = {static_cast<unsigned char*>(StaticMemAllocator::allocate(size, tag)), size,
                                   static_cast<unsigned char>(random())};
                    fill(block);
                    live.emplace_back(block, tag);
                    if (tag == shared)
                        ++made;
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
            for (const auto& entry : live) {
                if (!intact(entry.first)) ++spoiled;
                StaticMemAllocator::deallocate(entry.first.pBytes, entry.first.uiSize, entry.second);
            }
            sharedAllocations += made;
        });
    }
    for (std::thread& thread : threads) thread.join();

    EXPECT_EQ(0, spoiled.load());
    const AllocationStats sharedAfter = StaticMemAllocator::statsFor(shared);
    EXPECT_EQ(sharedAllocations.load(), sharedAfter.allocations - sharedBefore.allocations);
    EXPECT_EQ(sharedAllocations.load(), sharedAfter.frees - sharedBefore.frees);
    EXPECT_EQ(0u, sharedAfter.liveBlocks);
    EXPECT_EQ(0u, sharedAfter.liveBytes);
    for (int t = 0; t < kThreads; ++t) {
        const AllocationStats stats = StaticMemAllocator::statsFor(ownTags[t]);
        EXPECT_GT(ownAllocations[t], 0u);
        EXPECT_EQ(ownAllocations[t], stats.allocations - ownBefore[t].allocations) << ownTags[t];
        EXPECT_EQ(ownAllocations[t], stats.frees - ownBefore[t].frees) << ownTags[t];
        EXPECT_EQ(0u, stats.liveBlocks) << ownTags[t];
        EXPECT_EQ(0u, stats.liveBytes) << ownTags[t];
    }
}

}  // namespace
}  // namespace Tamsor
