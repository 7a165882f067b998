#ifndef TAMSOR_TESTS_ABANDON_H
#define TAMSOR_TESTS_ABANDON_H

// Handles of entries whose file system is destroyed under them. Such an entry, and its handles, may be neither
// used nor released afterwards: a test hands a copy of the handle to abandon() while the file system still
// lives, drops its own copies, destroys the file system and never looks back. The copy is kept, untouched, in
// a list that is never freed, so LeakSanitizer and valgrind see what it holds as reachable; the test then
// excuses the allocator blocks it holds, which the per-test leak check (TestMain.cpp) takes off its count.

#include <cstdint>

namespace Tamsor {
namespace Testing {

// Keeps `pHandle` (made with new) for the rest of the process.
void keepForever(const void* pHandle);

template <class Handle>
void abandon(const Handle& handle) {
    keepForever(new Handle(handle));
}

// The leak check of the running test overlooks `uiBlocks` more live allocator blocks.
void excuseBlocks(std::uint64_t uiBlocks);

}  // namespace Testing
}  // namespace Tamsor

#endif
