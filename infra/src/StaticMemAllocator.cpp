#include "tamsor/infra/StaticMemAllocator.h"

#include <cstddef>
#include <map>
#include <mutex>
#include <new>
#include <string_view>

#if defined(__SANITIZE_ADDRESS__)
#define TAMSOR_ALLOCATOR_PASSTHROUGH 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAMSOR_ALLOCATOR_PASSTHROUGH 1
#endif
#endif

namespace Tamsor {

namespace {

const std::size_t kGranule = 16;  // every block is aligned to, and a multiple of, 16 bytes
const std::size_t kClassCount = StaticMemAllocator::kMaxSmallSize / kGranule;

// A free block holds the link to the next free block of its size class.
struct FreeBlock {
    FreeBlock* pNext;
};

struct SizeClass {
    FreeBlock* pFree = nullptr;  // recycled blocks
    char* pCarve = nullptr;      // unused rest of the newest slab
    std::size_t uiCarveLeft = 0;
};

struct PendingFailure {
    unsigned int uiCountdown = 0;
};

// The allocator's whole state, behind one mutex. Made on first use and never destroyed, so that objects
// released during static destruction can still hand their blocks back.
struct AllocatorState {
    std::mutex mutex;
    SizeClass classes[kClassCount];
    std::map<std::string, AllocationStats, std::less<>> statsByTag;
    std::map<std::string, PendingFailure, std::less<>> failuresByTag;
};

AllocatorState& state() {
    static AllocatorState* pState = new AllocatorState;
    return *pState;
}

std::string_view tagText(const char* tag) {
    return tag ? std::string_view(tag) : std::string_view();
}

AllocationStats& statsLocked(AllocatorState& s, std::string_view tag) {
    auto it = s.statsByTag.find(tag);
    if (it == s.statsByTag.end()) it = s.statsByTag.emplace(std::string(tag), AllocationStats()).first;
    return it->second;
}

// True when a test asked this allocation to fail.
bool consumeFailureLocked(AllocatorState& s, std::string_view tag) {
    if (s.failuresByTag.empty()) return false;
    auto it = s.failuresByTag.find(tag);
    if (it == s.failuresByTag.end()) return false;
    if (--it->second.uiCountdown != 0) return false;
    s.failuresByTag.erase(it);
    return true;
}

#ifndef TAMSOR_ALLOCATOR_PASSTHROUGH
const std::size_t kSlabSize = 64 * 1024;

std::size_t classIndex(unsigned int size) {
    return size == 0 ? 0 : (size - 1) / kGranule;
}

void* takeSmallBlockLocked(AllocatorState& s, unsigned int size) {
    const std::size_t index = classIndex(size);
    SizeClass& sizeClass = s.classes[index];
    if (sizeClass.pFree) {
        FreeBlock* pBlock = sizeClass.pFree;
        sizeClass.pFree = pBlock->pNext;
        return pBlock;
    }
    const std::size_t blockSize = (index + 1) * kGranule;
    if (sizeClass.uiCarveLeft < blockSize) {
        sizeClass.pCarve = static_cast<char*>(::operator new(kSlabSize));
        sizeClass.uiCarveLeft = kSlabSize;
    }
    void* pBlock = sizeClass.pCarve;
    sizeClass.pCarve += blockSize;
    sizeClass.uiCarveLeft -= blockSize;
    return pBlock;
}

void giveSmallBlockLocked(AllocatorState& s, void* block, unsigned int size) {
    SizeClass& sizeClass = s.classes[classIndex(size)];
    FreeBlock* pBlock = static_cast<FreeBlock*>(block);
    pBlock->pNext = sizeClass.pFree;
    sizeClass.pFree = pBlock;
}
#endif

}  // namespace

void* StaticMemAllocator::allocate(unsigned int size, const char* tag) {
    AllocatorState& s = state();
    const std::string_view tagView = tagText(tag);
    void* pBlock = nullptr;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (consumeFailureLocked(s, tagView)) throw std::bad_alloc();
#ifndef TAMSOR_ALLOCATOR_PASSTHROUGH
        if (size <= kMaxSmallSize) pBlock = takeSmallBlockLocked(s, size);
#endif
    }
    if (!pBlock) pBlock = ::operator new(size == 0 ? 1 : size);
    std::lock_guard<std::mutex> lock(s.mutex);
    AllocationStats& stats = statsLocked(s, tagView);
    ++stats.allocations;
    ++stats.liveBlocks;
    stats.liveBytes += size;
    return pBlock;
}

void StaticMemAllocator::deallocate(void* block, unsigned int size, const char* tag) {
    if (!block) return;
    AllocatorState& s = state();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        AllocationStats& stats = statsLocked(s, tagText(tag));
        ++stats.frees;
        --stats.liveBlocks;
        stats.liveBytes -= size;
#ifndef TAMSOR_ALLOCATOR_PASSTHROUGH
        if (size <= kMaxSmallSize) {
            giveSmallBlockLocked(s, block, size);
            return;
        }
#endif
    }
    ::operator delete(block);
}

AllocationStats StaticMemAllocator::statsFor(const std::string& tag) {
    AllocatorState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.statsByTag.find(tag);
    return it == s.statsByTag.end() ? AllocationStats() : it->second;
}

std::uint64_t StaticMemAllocator::totalLiveBlocks() {
    AllocatorState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    std::uint64_t total = 0;
    for (const auto& entry : s.statsByTag) total += entry.second.liveBlocks;
    return total;
}

std::vector<std::string> StaticMemAllocator::tagsWithLiveBlocks() {
    AllocatorState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    std::vector<std::string> tags;
    for (const auto& entry : s.statsByTag)
        if (entry.second.liveBlocks != 0) tags.push_back(entry.first);
    return tags;
}

void StaticMemAllocator::failAllocation(const std::string& tag, unsigned int nth) {
    AllocatorState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (nth == 0)
        s.failuresByTag.erase(tag);
    else
        s.failuresByTag[tag].uiCountdown = nth;
}

}  // namespace Tamsor
