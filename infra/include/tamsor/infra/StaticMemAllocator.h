#ifndef TAMSOR_INFRA_STATICMEMALLOCATOR_H
#define TAMSOR_INFRA_STATICMEMALLOCATOR_H

#include <cstdint>
#include <string>
#include <vector>

namespace Tamsor {

// Per-tag allocation counters of StaticMemAllocator.
struct AllocationStats {
    std::uint64_t allocations = 0;  // blocks handed out under the tag since the process started
    std::uint64_t frees = 0;        // blocks taken back under the tag
    std::uint64_t liveBlocks = 0;   // allocations - frees
    std::uint64_t liveBytes = 0;    // bytes of the live blocks
};

// The small-object allocator: blocks of up to kMaxSmallSize bytes come from size-classed free lists carved
// out of 64 KiB slabs; larger blocks go to operator new. Every call names a tag, and the allocator keeps
// counters per tag (by the tag's text), so that "this object came from the allocator under tag X" and
// "nothing is left alive" are facts a test or a tool can read.
//
// All operations are safe from any thread. Slabs are kept until the process ends (blocks are recycled
// through the free lists, never returned to the system). Under AddressSanitizer every block goes straight
// to operator new, so that use after free and leaks of the library's objects stay visible; the counters
// work the same way.
//
// deallocate must be given the same size and tag as the allocate that made the block.
class StaticMemAllocator {
  public:
    static const unsigned int kMaxSmallSize = 512;

    // A block of at least `size` bytes, aligned for any object. Throws std::bad_alloc when no memory can be
    // had, or when a test has asked for the failure (failAllocation).
    static void* allocate(unsigned int size, const char* tag);
    static void deallocate(void* block, unsigned int size, const char* tag);

    // Counters of one tag (all zero for a tag never used).
    static AllocationStats statsFor(const std::string& tag);
    // Live blocks over every tag.
    static std::uint64_t totalLiveBlocks();
    // Tags with live blocks, for a leak report.
    static std::vector<std::string> tagsWithLiveBlocks();

    // Fault injection for tests: the `nth` next allocate under `tag` (1 = the very next one) throws
    // std::bad_alloc instead of allocating. nth 0 clears it.
    static void failAllocation(const std::string& tag, unsigned int nth);
};

}  // namespace Tamsor

#endif
