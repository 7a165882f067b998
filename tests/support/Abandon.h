#ifndef TAMSOR_TESTS_ABANDON_H
#define TAMSOR_TESTS_ABANDON_H

// Handles of entries whose file system is destroyed under them: neither they nor their entries may be used or
// released afterwards. A test hands a copy to abandon() while the file system lives, which keeps it, untouched,
// in a list that is never freed (so LeakSanitizer and valgrind see it reachable), then excuses the allocator
// blocks it holds from the per-test leak check (TestMain.cpp).

#include <cstdint>
#include <vector>

namespace Tamsor::Testing {

template <class Handle>
void abandon(const Handle& handle) {
    static std::vector<const Handle*>* pKept = new std::vector<const Handle*>;  // never freed: stays reachable
    pKept->push_back(new Handle(handle));
}
void excuseBlocks(std::uint64_t uiBlocks);  // the running test's leak check overlooks this many more blocks

}  // namespace Tamsor::Testing

#endif
