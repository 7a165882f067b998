#ifndef TAMSOR_TESTS_RESIDUE_H
#define TAMSOR_TESTS_RESIDUE_H

// What a run of a file system may leave behind: the allocator's live blocks, the scrambling descriptor records
// and the process's open descriptors. Taken before the file system is made, checked after it is gone. For test
// programs only (it reaches the library's private descriptor table).

#include <gtest/gtest.h>

#include <filesystem>

#include "EncryptedFileHandleTable.h"
#include "tamsor/infra/StaticMemAllocator.h"

namespace Tamsor::Testing {

inline long openDescriptorCount() {
    return long(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

struct Residue {
    long blocks = long(StaticMemAllocator::totalLiveBlocks()), descriptors = openDescriptorCount();
    long records = long(EncryptedFileHandleTable::instance().size());

    ::testing::AssertionResult isBackAsItWas() const {
        const Residue now;
        if (now.blocks == blocks && now.records == records && now.descriptors == descriptors)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "left behind: " << now.blocks - blocks << " allocator blocks, " << now.records - records
               << " descriptor records, " << now.descriptors - descriptors << " open descriptors";
    }
};

}  // namespace Tamsor::Testing

#endif
