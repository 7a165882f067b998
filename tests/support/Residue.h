#ifndef TAMSOR_TESTS_RESIDUE_H
#define TAMSOR_TESTS_RESIDUE_H

// What a run of a file system may leave behind: the allocator's live blocks, the scrambling descriptor records
// and the process's open descriptors. Taken before the file system is made, checked after it is gone. For test
// programs only (it reaches the library's private descriptor table).

#include <dirent.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

#include "EncryptedFileHandleTable.h"
#include "tamsor/infra/StaticMemAllocator.h"

namespace Tamsor {
namespace Testing {

inline int openDescriptorCount() {
    DIR* pDir = ::opendir("/proc/self/fd");
    if (!pDir) return -1;
    int count = 0;
    while (::readdir(pDir)) ++count;
    ::closedir(pDir);
    return count;
}

struct Residue {
    std::uint64_t uiBlocks = StaticMemAllocator::totalLiveBlocks();
    std::size_t uiRecords = EncryptedFileHandleTable::instance().size();
    int descriptors = openDescriptorCount();

    ::testing::AssertionResult isBackAsItWas() const {
        const Residue now;
        if (now.uiBlocks != uiBlocks || now.uiRecords != uiRecords || now.descriptors != descriptors)
            return ::testing::AssertionFailure()
                   << "left behind: " << (now.uiBlocks - uiBlocks) << " allocator blocks, "
                   << (now.uiRecords - uiRecords) << " descriptor records, " << (now.descriptors - descriptors)
                   << " open descriptors";
        return ::testing::AssertionSuccess();
    }
};

}  // namespace Testing
}  // namespace Tamsor

#endif
